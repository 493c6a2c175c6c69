#include <gtest/gtest.h>
#include <mtd/mtd-abi.h>

#include <fstream>
#include <string>
#include <vector>

#include "flash/mtd.h"
#include "flash/tools.h"
#include "sys/scratch.h"

namespace {

using flash::MemFlash;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

struct ToolRun {
    int status;
    std::string out, err;
};

class ToolsTest : public ::testing::Test {
  protected:
    ToolRun Tool(int (*entry)(int, char**), std::vector<std::string> args) {
        std::vector<char*> argv;
        argv.reserve(args.size());
        for (auto& a : args) argv.push_back(a.data());
        CaptureStdout();
        CaptureStderr();
        int status = entry(static_cast<int>(argv.size()), argv.data());
        std::string out = GetCapturedStdout();
        return {status, out, GetCapturedStderr()};
    }
    std::string Source(std::size_t n) {
        std::string bytes(n, '\0');
        for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
        WriteFileBytes(dir_ / "src", bytes);
        return bytes;
    }
    static void WriteFileBytes(const std::string& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    ScratchDir dir_;
    flash::MemMtdMap map_;
    flash::ScopedMtdOpener opener_{map_.Opener()};
};

TEST_F(ToolsTest, FlashcpErasesWritesAndVerifiesInChunks) {
    auto chip = map_.Add("/dev/mtd4", 0x40000, 0x10000);
    const std::string bytes = Source(20000);
    ToolRun r = Tool(UPDATE_FlashcpMain, {"flashcp", "-o", "0x10000", dir_ / "src", "/dev/mtd4"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(
        r.out,
        "\rErasing block: 1/1 (100%) \n"
        "\rWriting kb: 0/19 (0%) \rWriting kb: 8/19 (42%) \rWriting kb: 16/19 (84%) \n"
        "\rVerifying kb: 0/19 (0%) \rVerifying kb: 8/19 (42%) \rVerifying kb: 16/19 (84%) \n");
    EXPECT_EQ(std::string(chip->data().begin() + 0x10000, chip->data().begin() + 0x10000 + 20000),
              bytes);
    EXPECT_EQ(chip->Count(MemFlash::Op::Erase), 1);
    std::vector<std::string> writes;
    for (const auto& e : chip->log)
        if (e.rfind("write", 0) == 0) writes.push_back(e);
    EXPECT_EQ(writes, (std::vector<std::string>{"write 65536 8192", "write 73728 8192",
                                                "write 81920 3616"}));
}

TEST_F(ToolsTest, FlashcpRefusesImpossibleCopiesBeforeErasing) {
    auto chip = map_.Add("/dev/mtd4", 0x40000, 0x10000);
    chip->Fill(0, "keep", 4);
    Source(0x18000);
    for (std::vector<std::string> opts : {std::vector<std::string>{"-g", "100"},  // past the source
                                          {"-o", "0x30000"},                      // past the device
                                          {"-o", "0x8000"},                       // inside a block
                                          {"-v"}}) {
        opts.insert(opts.begin(), "flashcp");
        opts.insert(opts.end(), {dir_ / "src", "/dev/mtd4"});
        ToolRun r = Tool(UPDATE_FlashcpMain, opts);
        EXPECT_EQ(r.status, 1) << opts[1];
        EXPECT_TRUE(r.err.rfind("update: ", 0) == 0 || r.err.rfind("Usage: ", 0) == 0) << r.err;
        EXPECT_EQ(chip->Count(MemFlash::Op::Erase) + chip->Count(MemFlash::Op::Write), 0);
    }
    EXPECT_EQ(std::string(chip->data().begin(), chip->data().begin() + 4), "keep");
}

TEST_F(ToolsTest, EraseallSkipsBadBlocksOrStopsAskingWhenUnsupported) {
    auto nand = map_.Add("/dev/mtd5", 0x40000, 0x10000, MTD_NANDFLASH);
    nand->MarkBad(1);
    ToolRun r = Tool(UPDATE_FlashEraseallMain, {"flash_eraseall", "/dev/mtd5"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("update: \nSkipping bad block at 0x00010000\n"), std::string::npos);
    EXPECT_NE(r.out.find("\rErasing 64 Kibyte @ 40000 - 100% complete.\n"), std::string::npos);
    EXPECT_EQ(nand->Count(MemFlash::Op::Erase), 3);

    auto nor = map_.Add("/dev/mtd6", 0x40000, 0x10000);
    nor->FailOn(MemFlash::Op::BadBlock, EOPNOTSUPP);
    EXPECT_EQ(Tool(UPDATE_FlashEraseallMain, {"flash_eraseall", "/dev/mtd6"}).status, 0);
    EXPECT_EQ(nor->Count(MemFlash::Op::BadBlock), 1);
    EXPECT_EQ(nor->Count(MemFlash::Op::Erase), 4);

    nand->FailOn(MemFlash::Op::BadBlock, EOPNOTSUPP);
    r = Tool(UPDATE_FlashEraseallMain, {"flash_eraseall", "/dev/mtd5"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "update: bad block check not available\n");
}

}  // namespace
