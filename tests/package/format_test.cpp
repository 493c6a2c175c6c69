// The package layout: the table reader, copying sub-images out, the package
// directory, the head split and the positional look-ups.
#include "package/format.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/platform.h"
#include "package/checked.h"
#include "package/helpers.h"
#include "sys/scratch.h"

namespace {

using namespace pkgtest;  // NOLINT(google-build-using-namespace)

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

TEST_F(FormatTest, TableReadLittleEndianCutShortForgedOrFailing) {
    struct Case {
        uint32_t count;
        size_t size;  // of the file: 2206 ends 10 bytes into the second entry
        uint32_t held;
    };
    for (const Case& c : {Case{3, 5000, 3}, Case{4, 2206, 4}, Case{0xFFFFFFFFu, 5000, 32}}) {
        SCOPED_TRACE(c.count);
        FileTable table = Table(RawPackage("h", "b", c.count,
                                           {{"uboot.bin", 0x01020304, 4096, 0x10},
                                            {"bbbbbbbbbbbbbbb", 0, 0, 0},
                                            {"config.bin", 7, 0xA0B0C0D0, 0xFFFFFFFF}},
                                           c.size));
        EXPECT_EQ(out_, "sub image count " + std::to_string(c.count) + "\n");
        ASSERT_EQ(table.size(), c.held);
        EXPECT_EQ(UPDATE_SubImageCount(), c.count);
        EXPECT_STREQ(table[0].FileName, "uboot.bin");
        EXPECT_EQ(table[0].FileLength, 0x01020304u);
        EXPECT_STREQ(table[1].FileName, c.size > 3000 ? "bbbbbbbbbbbbbbb" : "bbbbbbbbbb");
        EXPECT_EQ(UPDATE_EntryAt(&table, 2)->FileOffset, c.size > 3000 ? 0xA0B0C0D0u : 0u);
        EXPECT_EQ(UPDATE_EntryAt(&table, c.held), nullptr);  // absent past the table
        EXPECT_EQ(UPDATE_EntryAt(&table, UINT64_MAX), nullptr);
        UPDATE_SetSubImageCount(0);  // as after deciphering: the table stays readable
        EXPECT_EQ(UPDATE_EntryAt(&table, 2), &table[2]);
    }
    EXPECT_EQ(UPDATE_EntryAt(nullptr, 0), nullptr);
    // Count 0, no room for a count, an empty file, no file.
    for (const std::string& bytes :
         {RawPackage("h", "b", 0, {}, 4096), std::string(2050, 'x'), std::string()}) {
        EXPECT_FALSE(Table(bytes));
        EXPECT_EQ(out_, "Read image file failed. BinFile:" + pkg_ + "\n");
    }
    const std::string missing = dir_ / "none.bin";
    EXPECT_EQ(Stdout([&] { EXPECT_FALSE(UPDATE_GetFileStruct(missing.c_str())); }),
              "Get patifition failed. BinFile:" + missing + "\n");
}

TEST_F(FormatTest, ForgedCountInA1GiBPackageNeverSizesTheTable) {
    // Sparse: no disk, but a table sized by the file would take 1 GiB of memory.
    WriteFile(pkg_, RawPackage("h", "b", 0xFFFFFFFFu, {{"a", 11, 22, 33}}, 4096));
    ASSERT_EQ(::truncate(pkg_.c_str(), 1L << 30), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::freopen("/dev/null", "w", stdout) == nullptr) ::_exit(2);
        ::_exit(UPDATE_GetFileStruct(pkg_.c_str()) ? 0 : 1);
    }
    int status = 0;
    struct rusage peak {
    }, own{};
    ASSERT_EQ(::wait4(child, &status, 0, &peak), child);
    ASSERT_EQ(::getrusage(RUSAGE_SELF, &own), 0);
    EXPECT_EQ(status, 0);
    // The child starts with this process's pages; what it adds is the table's.
    EXPECT_LT(peak.ru_maxrss - own.ru_maxrss, 8 * 1024) << "KiB more at the peak";
}

TEST_F(FormatTest, PositionsFollowTheProgramSlotAndLieInTheTable) {
    for (uint32_t key = 0; key < 32; ++key) {
        if (UPDATE_SelectPlatformKey(key) != 0) continue;
        const uint64_t p = UPDATE_Platform()->Parts[kSlotProgram].Index;
        EXPECT_EQ(p, 4u) << key;  // every profile puts the program at 4
        EXPECT_EQ(UPDATE_UpdaterPosition(), p + 4);
        EXPECT_EQ(UPDATE_CustomPosition(), p + 6);
        EXPECT_LT(UPDATE_MdcPosition(), kMaxTableEntries);
        EXPECT_EQ(UPDATE_MdcPosition(), p + 7);
        for (const PART_SLOT_S& slot : UPDATE_Platform()->Parts) {
            EXPECT_LT(slot.Index, kMaxTableEntries) << key;
        }
    }
    ASSERT_EQ(UPDATE_SelectPlatform(), 0);
}

TEST_F(FormatTest, UnpackCopiesTheRegionOrFails) {
    std::string bytes(1000000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
    WriteFile(pkg_, bytes);
    const std::string out = dir_ / "out.bin", missing = dir_ / "missing.bin",
                      bad = dir_ / "no/such/dir/out";
    struct Case {
        std::string from, to;
        uint32_t offset, length;
        int ret;
        std::string copy_or_message;
    };
    const Case cases[] = {
        {pkg_, out, 4096, 300000, 0, bytes.substr(4096, 300000)},  // spans two buffers
        {pkg_, out, 0, 262144, 0, bytes.substr(0, 262144)},        // exactly one buffer
        {pkg_, out, 999000, 5000, 0, bytes.substr(999000)},  // runs past the end: as far as it goes
        {pkg_, out, 123, 0, 0, ""},                          // length 0: empty target
        {pkg_, out, 2000000, 10, 0, ""},                     // starts past the end
        {missing, out, 0, 1, -3, "Get Binfile: " + missing + " failed\n"},
        {pkg_, bad, 0, 1, -3, "open pszUnpackFileName file:" + bad + ". fail\n"},
        {dir_.path(), out, 0, 1, -5, "read bin file fail\n"},  // a directory opens, reads fail
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        const std::string printed = Stdout([&] {
            EXPECT_EQ(UPDATE_UnpackFile(c.from.c_str(), c.offset, c.length, c.to.c_str()), c.ret);
        });
        EXPECT_EQ(c.ret == 0 ? ReadWholeFile(out) : printed, c.copy_or_message);
    }
    struct stat st {};
    ASSERT_EQ(::stat(out.c_str(), &st), 0);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0777u & ~mask);
}

// The package's own program unpacked to /tmp/busybox and run: the hand-over
// runs in the simulated recorder (WriteTest.FirstStageHandsOverToThePackagesProgram).
TEST_F(FormatTest, BinDir) {
    const std::string long_prefix = "/" + std::string(509, 'd') + "/";  // 511 characters
    struct Case {
        std::string path;
        int ret;
        std::string dir_or_message;
    };
    const Case cases[] = {
        {"Program.bin", 0, "."},
        {"/tmp/Program.bin", 0, "/tmp/"},
        {"/mnt/usb/Program.bin.d/Program.bin", 0, "/mnt/usb/Program.bin.d/"},
        {long_prefix + "Program.bin", 0, long_prefix},
        {"/d" + long_prefix + "Program.bin", -1,
         "update invalid bin file /d" + long_prefix +
             "Program.bin (unexpected size 513, max 511).\n"},
        {"/mnt/usb/fw/Program.bin.1", -1,
         "update invalid bin file /mnt/usb/fw/Program.bin.1 (no Program.bin).\n"},
        {"/tmp/dProgram.bin", -1, "update invalid bin file /tmp/dProgram.bin (no Program.bin).\n"},
        {"/tmp/program.bin", -1, "update invalid bin file /tmp/program.bin (no Program.bin).\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.substr(0, 40));
        char dir[512] = "unchanged";
        const std::string out =
            Stdout([&] { EXPECT_EQ(UPDATE_GetBinDir(c.path.c_str(), dir), c.ret); });
        EXPECT_EQ(c.ret == 0 ? std::string(dir) : out, c.dir_or_message);
    }
}

TEST(HeadSplit, FieldsAreCutAndAHeadWithoutNulStaysInBounds) {
    struct Case {
        std::string head, inner, pub;
        uint32_t crc;
        std::string suffix, flag;
        uint32_t fields;
    };
    const std::string a128(128, 'A'), a16(16, 'A');
    const Case cases[] = {
        {"QTPXV300R006B13$x$B0102$123$KEY$ECI", "QTPXV300R006B13", "B0102", 123, "KEY", "ECI", 6},
        {"IN$x$PUB$7$K$F$extra$more", "IN", "PUB", 7, "K", "F", 8},  // extra fields ignored
        {"IN$x$PUB", "IN", "PUB", 0, "", "", 3},                     // no HeadCrc: 0
        {"", "", "", 0, "", "", 1},
        {"a$b$c$12345678901$d$e", "a", "c", 1234567890, "d", "e", 6},  // cut to 10 digits
        {"a$b$c$4294967297$d$e", "a", "c", 1, "d", "e", 6},            // low 32 bits
        {"a$b$c$-1$d$e", "a", "c", 0xFFFFFFFFu, "d", "e", 6},
        {"a$b$c$  42x$d$e", "a", "c", 42, "d", "e", 6},
        {"a$b$c$$d$ECIECIECIECIECIECI", "a", "c", 0, "d", "ECIECIECIECIECIE", 6},  // flag cut to 16
        // No NUL in all 256 bytes: the last field runs to the end of the head.
        {std::string(200, 'A') + "$P$3$9$K$" + std::string(47, 'A'), a128, "3", 9, "K", a16, 6},
        {std::string(256, 'B'), std::string(128, 'B'), "", 0, "", "", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.head.substr(0, 40));
        char head[kHeadSize] = {};
        c.head.copy(head, kHeadSize);
        ImageHeadFields f{};
        UPDATE_SplitHead(head, &f);
        EXPECT_EQ(f.InnerVersion, c.inner);
        EXPECT_EQ(f.PubVersion, c.pub);
        EXPECT_EQ(f.HeadCrc, c.crc);
        EXPECT_EQ(f.KeySuffix, c.suffix);
        EXPECT_EQ(f.EncryptFlag, c.flag);
        EXPECT_EQ(f.FieldCount, c.fields);
        // The buffer now reads as the first field, within the head.
        EXPECT_EQ(::strnlen(head, kHeadSize),
                  std::min({c.head.find('$'), c.head.size(), kHeadSize - 1}));
    }
}

// The check's read keeps the table it saw; a table of 15 entries reaches past
// the body's start (the fifteenth entry ends at byte 4212), and a table that
// differs from the one read before the check in any entry is told apart.
TEST_F(FormatTest, CheckedReadKeepsATableReachingPastTheBody) {
    std::vector<RawEntry> entries(15, RawEntry{"x", 16, 8192, 0});
    const std::string pkg = RawPackage("I$$B0102$0$S$ECI", "", 15, entries, 9000);
    const FileTable table = Table(pkg);
    ASSERT_EQ(table.size(), 15u);
    for (size_t changed : {size_t{0}, size_t{14}, size_t{99}}) {
        std::string read = pkg;
        if (changed < entries.size()) read[2052 + changed * 144 + 132] = 0x7F;
        pkg::CheckedRead check(-1, nullptr);
        for (size_t at = 0; at < read.size(); at += 1000) {
            const size_t n = std::min<size_t>(1000, read.size() - at);
            ASSERT_TRUE(check.Feed(reinterpret_cast<const uint8_t*>(read.data()) + at, n, at));
        }
        ASSERT_TRUE(check.Finish());
        EXPECT_EQ(check.SameTable(table), changed == 99) << changed;
    }
}

}  // namespace
