// The package layout: the table reader, copying sub-images out, the package
// directory, the head split and the positional look-ups.
#include "package/format.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "flash/platform.h"
#include "package/helpers.h"
#include "sys/path.h"
#include "sys/scratch.h"

namespace {

using pkgtest::RawPackage;
using pkgtest::Stdout;
using pkgtest::WriteFile;

class FormatTest : public testing::Test {
  protected:
    void TearDown() override { UPDATE_SetSubImageCount(0); }
    // Reads the table of pkg_ holding bytes; out_ gets what it printed.
    FileTable Table(const std::string& bytes) {
        WriteFile(pkg_, bytes);
        FileTable table;
        out_ = Stdout([&] { table = UPDATE_GetFileStruct(pkg_.c_str()); });
        return table;
    }
    ScratchDir dir_;
    const std::string pkg_ = dir_ / "Program.bin";
    std::string out_;
};

TEST_F(FormatTest, TableIsReadLittleEndianAndCountIsKept) {
    FileTable table = Table(RawPackage("h", "b", 3,
                                       {{"uboot.bin", 0x01020304, 4096, 0x10},
                                        {"", 0, 0, 0},
                                        {"config.bin", 7, 0xA0B0C0D0, 0xFFFFFFFF}},
                                       5000));
    EXPECT_EQ(out_, "sub image count 3\n");
    ASSERT_TRUE(table);
    EXPECT_EQ(UPDATE_SubImageCount(), 3u);
    EXPECT_STREQ(table[0].FileName, "uboot.bin");
    EXPECT_EQ(table[0].FileLength, 0x01020304u);
    EXPECT_EQ(table[0].FileOffset, 4096u);
    EXPECT_EQ(table[0].FlashOffset, 0x10u);
    EXPECT_EQ(table[1].FileLength, 0u);
    EXPECT_EQ(table[2].FileOffset, 0xA0B0C0D0u);
    EXPECT_EQ(table[2].FlashOffset, 0xFFFFFFFFu);

    // Positions at or past the end of the table are absent.
    EXPECT_EQ(UPDATE_EntryAt(table.get(), 2), &table[2]);
    EXPECT_EQ(UPDATE_EntryAt(table.get(), 3), nullptr);
    EXPECT_EQ(UPDATE_EntryAt(table.get(), UINT64_MAX), nullptr);
    EXPECT_EQ(UPDATE_EntryAt(nullptr, 0), nullptr);

    // Clearing the count after deciphering keeps the table readable.
    UPDATE_SetSubImageCount(0);
    EXPECT_EQ(UPDATE_SubImageCount(), 0u);
    EXPECT_EQ(UPDATE_EntryAt(table.get(), 2), &table[2]);
    EXPECT_EQ(UPDATE_EntryAt(table.get(), 3), nullptr);
}

TEST_F(FormatTest, TableCutShortByEndOfFileLeavesZeroEntries) {
    // Count 4, but the file ends 10 bytes into the second entry.
    FileTable table = Table(RawPackage(
        "h", "b", 4, {{"a", 11, 22, 33}, {"bbbbbbbbbbbbbbb", 1, 2, 3}}, 2052 + 144 + 10));
    ASSERT_TRUE(table);
    EXPECT_EQ(UPDATE_SubImageCount(), 4u);
    EXPECT_EQ(table[0].FileLength, 11u);
    EXPECT_STREQ(table[1].FileName, "bbbbbbbbbb");
    EXPECT_EQ(table[1].FileLength, 0u);
    // The entries the file cannot hold are absent, like zeroed ones.
    for (uint64_t pos : {2, 3}) {
        const SubImageEntry* e = UPDATE_EntryAt(table.get(), pos);
        EXPECT_TRUE(e == nullptr || e->FileLength == 0) << pos;
    }
}

TEST_F(FormatTest, HostileCountHoldsOnlyWhatTheFileContains) {
    // A count of four thousand million in a 5000-byte file must not make the
    // updater allocate 600 GB before the package is verified.
    FileTable table = Table(RawPackage("h", "b", 0xF0000000u, {{"a", 11, 22, 33}}, 5000));
    EXPECT_EQ(out_, "sub image count 4026531840\n");
    ASSERT_TRUE(table);
    EXPECT_EQ(UPDATE_SubImageCount(), 0xF0000000u);
    EXPECT_EQ(UPDATE_EntryAt(table.get(), 0)->FileLength, 11u);
    EXPECT_EQ(UPDATE_EntryAt(table.get(), 100), nullptr);
    EXPECT_EQ(UPDATE_EntryAt(table.get(), 0xEFFFFFFFu), nullptr);
}

TEST_F(FormatTest, TableFailures) {
    // Count 0, no room for a count, an empty file.
    for (const std::string& bytes :
         {RawPackage("h", "b", 0, {}, 4096), std::string(2050, 'x'), std::string()}) {
        SCOPED_TRACE(bytes.size());
        UPDATE_SetSubImageCount(9);
        EXPECT_FALSE(Table(bytes));
        EXPECT_EQ(out_, "Read image file failed. BinFile:" + pkg_ + "\n");
    }
    const std::string missing = dir_ / "none.bin";
    EXPECT_EQ(Stdout([&] { EXPECT_FALSE(UPDATE_GetFileStruct(missing.c_str())); }),
              "Get patifition failed. BinFile:" + missing + "\n");
}

TEST_F(FormatTest, UnpackCopiesTheRegion) {
    std::string bytes(1000000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
    WriteFile(pkg_, bytes);
    const std::string out = dir_ / "out.bin";
    struct Case {
        uint32_t offset, length;
        std::string expect;
    };
    const Case cases[] = {
        {4096, 300000, bytes.substr(4096, 300000)},  // spans two buffers
        {0, 262144, bytes.substr(0, 262144)},        // exactly one buffer
        {999000, 5000, bytes.substr(999000)},        // runs past the end: copied as far as it goes
        {123, 0, std::string()},                     // length 0: empty target
        {2000000, 10, std::string()},                // starts past the end
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.offset);
        EXPECT_EQ(UPDATE_UnpackFile(pkg_.c_str(), c.offset, c.length, out.c_str()), 0);
        EXPECT_EQ(ReadWholeFile(out), c.expect);
        struct stat st {};
        ASSERT_EQ(::stat(out.c_str(), &st), 0);
        const mode_t mask = ::umask(0);
        ::umask(mask);
        EXPECT_EQ(st.st_mode & 0777, 0777u & ~mask);
    }
}

TEST_F(FormatTest, UnpackFailures) {
    WriteFile(pkg_, std::string(100, 'a'));
    const std::string missing = dir_ / "missing.bin", bad = dir_ / "no/such/dir/out";
    struct Case {
        std::string from, to;
        int ret;
        std::string message;
    };
    const Case cases[] = {
        {missing, dir_ / "o", -3, "Get Binfile: " + missing + " failed\n"},
        {pkg_, bad, -3, "open pszUnpackFileName file:" + bad + ". fail\n"},
        {dir_.path(), dir_ / "o", -5, "read bin file fail\n"},  // a directory opens, reads fail
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Stdout([&] {
                      EXPECT_EQ(UPDATE_UnpackFile(c.from.c_str(), 0, 1, c.to.c_str()), c.ret);
                  }),
                  c.message);
    }
}

TEST_F(FormatTest, ReplaceUpdateUnpacksToTmpBusybox) {
    ASSERT_EQ(::mkdir((dir_ / "tmp").c_str(), 0755), 0);
    sys::SetDeviceRootForTests(dir_.path());
    std::string bytes(8192, 'p');
    bytes.replace(5000, 6, "UPDATE");
    WriteFile(pkg_, bytes);
    SubImageEntry entry{};
    std::strcpy(entry.FileName, "update");
    entry.FileOffset = 5000;
    entry.FileLength = 6;
    pkgtest::ScopedLog log(dir_ / "update.log");
    // Log only.
    EXPECT_EQ(Stdout([&] { EXPECT_EQ(UPDATE_ReplaceUpdate(&entry, pkg_.c_str()), 0); }), "");
    EXPECT_EQ(ReadWholeFile(dir_ / "tmp/busybox"), "UPDATE");
    const std::string missing = dir_ / "none.bin";
    EXPECT_EQ(Stdout([&] { EXPECT_EQ(UPDATE_ReplaceUpdate(&entry, missing.c_str()), -3); }),
              "Get Binfile: " + missing + " failed\n");
    const std::vector<std::string> expect = {
        "replace update ......",
        "read FileName:update, FileLength:6, FileOffset: 5000, pszBinFile: " + pkg_,
        "replace update ......",
        "read FileName:update, FileLength:6, FileOffset: 5000, pszBinFile: " + missing,
        "Get Binfile: " + missing + " failed",
        "unpack update to /tmp/busybox failed.",
    };
    EXPECT_EQ(log.Messages(), expect);
    EXPECT_NE(UPDATE_ReplaceUpdate(nullptr, pkg_.c_str()), 0);
    sys::SetDeviceRootForTests("");
}

TEST_F(FormatTest, BinDir) {
    const std::string long_prefix(511, 'd');
    struct Case {
        std::string path;
        int ret;
        std::string dir;
        std::string message;
    };
    const Case cases[] = {
        {"Program.bin", 0, ".", ""},
        {"/tmp/Program.bin", 0, "/tmp/", ""},
        {"/mnt/usb/fw/Program.bin.1", 0, "/mnt/usb/fw/", ""},
        {long_prefix + "Program.bin", 0, long_prefix, ""},
        {long_prefix + "dProgram.bin", -1, "",
         "update invalid bin file " + long_prefix +
             "dProgram.bin (unexpected size 512, max 511).\n"},
        {"/tmp/program.bin", -1, "",
         "update invalid bin file /tmp/program.bin (no Program.bin).\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.substr(0, 40));
        char dir[512] = "unchanged";
        EXPECT_EQ(Stdout([&] { EXPECT_EQ(UPDATE_GetBinDir(c.path.c_str(), dir), c.ret); }),
                  c.message);
        EXPECT_TRUE(c.ret != 0 || std::string(dir) == c.dir) << dir;
    }
}

TEST_F(FormatTest, StepNames) {
    const std::pair<uint32_t, const char*> names[] = {
        {0x1, "uImage.bin"},   {0x2, "Program.bin"},        {0x4, "Uboot.bin"},
        {0x20, "Activex.bin"}, {0x400, "SlaveProgram.bin"}, {0, "All.bin"},
        {0x3, "All.bin"}};
    for (const auto& [bits, name] : names) EXPECT_STREQ(UPDATE_StepName(bits), name) << bits;
}

TEST_F(FormatTest, PositionsFollowTheProgramSlot) {
    ASSERT_EQ(UPDATE_SelectPlatform(), 0);
    const uint64_t p = UPDATE_Platform()->Parts[kSlotProgram].Index;
    EXPECT_EQ(p, 4u);  // every profile puts the program at 4
    EXPECT_EQ(UPDATE_UpdaterPosition(), p + 4);
    EXPECT_EQ(UPDATE_CustomPosition(), p + 6);
    EXPECT_EQ(UPDATE_MdcPosition(), p + 7);
}

TEST(HeadSplit, Fields) {
    struct Case {
        std::string head;
        const char* inner;
        const char* pub;
        uint32_t crc;
        const char* suffix;
        const char* flag;
        uint32_t fields;
    };
    const Case cases[] = {
        {"QTPXV300R006B13$x$B0102$123$KEY$ECI", "QTPXV300R006B13", "B0102", 123, "KEY", "ECI", 6},
        {"IN$x$PUB$7$K$F$extra$more", "IN", "PUB", 7, "K", "F", 8},  // extra fields ignored
        {"IN$x$PUB", "IN", "PUB", 0, "", "", 3},                     // no HeadCrc: 0
        {"IN", "IN", "", 0, "", "", 1},
        {"", "", "", 0, "", "", 1},
        {"a$b$c$12345678901$d$e", "a", "c", 1234567890, "d", "e", 6},  // cut to 10 digits
        {"a$b$c$4294967297$d$e", "a", "c", 1, "d", "e", 6},            // low 32 bits
        {"a$b$c$9999999999$d$e", "a", "c", static_cast<uint32_t>(9999999999ull), "d", "e", 6},
        {"a$b$c$-1$d$e", "a", "c", 0xFFFFFFFFu, "d", "e", 6},
        {"a$b$c$  42x$d$e", "a", "c", 42, "d", "e", 6},
        {"a$b$c$$d$ECIECIECIECIECIECI", "a", "c", 0, "d", "ECIECIECIECIECIE", 6},  // flag cut to 16
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.head);
        char head[kHeadSize] = {};
        std::memcpy(head, c.head.data(), c.head.size());
        ImageHeadFields f{};
        UPDATE_SplitHead(head, &f);
        EXPECT_STREQ(f.InnerVersion, c.inner);
        EXPECT_STREQ(f.PubVersion, c.pub);
        EXPECT_EQ(f.HeadCrc, c.crc);
        EXPECT_STREQ(f.KeySuffix, c.suffix);
        EXPECT_STREQ(f.EncryptFlag, c.flag);
        EXPECT_EQ(f.FieldCount, c.fields);
        EXPECT_STREQ(head, c.inner);  // the buffer now reads as the first field
    }
}

TEST(HeadSplit, LongFieldsAreCutAndHeadWithoutNulStaysInBounds) {
    // Nothing but field text in all 256 bytes; a guard byte follows.
    struct {
        char head[kHeadSize];
        char guard[8];
    } buf;
    std::memset(buf.head, 'A', sizeof(buf.head));
    std::memcpy(buf.head + 200, "$P$3$9$K$", 9);
    std::memset(buf.guard, 'Z', sizeof(buf.guard));
    ImageHeadFields f{};
    UPDATE_SplitHead(buf.head, &f);
    EXPECT_EQ(std::string(f.InnerVersion), std::string(128, 'A'));
    EXPECT_STREQ(f.Unused, "P");
    EXPECT_STREQ(f.PubVersion, "3");
    EXPECT_EQ(f.HeadCrc, 9u);
    EXPECT_STREQ(f.KeySuffix, "K");
    // The flag runs to the end of the head (47 characters), cut to 16.
    EXPECT_EQ(std::string(f.EncryptFlag), std::string(16, 'A'));

    std::memset(buf.head, 'B', sizeof(buf.head));
    UPDATE_SplitHead(buf.head, &f);
    EXPECT_EQ(std::string(f.InnerVersion), std::string(128, 'B'));
    EXPECT_EQ(std::strlen(buf.head), kHeadSize - 1);
    EXPECT_EQ(buf.guard[0], 'Z');
}

}  // namespace
