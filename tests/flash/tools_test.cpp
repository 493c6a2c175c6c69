#include <gtest/gtest.h>
#include <mtd/mtd-abi.h>

#include <fstream>
#include <string>
#include <vector>

#include "base/mem_mtd.h"
#include "base/mtd.h"
#include "flash/tools.h"
#include "sys/scratch.h"

namespace {

using flash::MemFlash;
namespace gt = testing::internal;

class ToolsTest : public ::testing::Test {
  protected:
    // Runs a tool; its status, standard output and standard error.
    std::vector<std::string> Tool(int (*entry)(int, char**), std::vector<std::string> args) {
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        gt::CaptureStdout();
        gt::CaptureStderr();
        const int status = entry(static_cast<int>(argv.size()), argv.data());
        std::string out = gt::GetCapturedStdout();
        return {std::to_string(status), out, gt::GetCapturedStderr()};
    }
    void Source(std::size_t n) { std::ofstream(src_, std::ios::binary) << std::string(n, 'x'); }
    ScratchDir dir_;
    std::string src_ = dir_ / "src";
    flash::MemMtdMap map_;
    flash::ScopedMtdOpener opener_{map_.Opener()};
    std::shared_ptr<MemFlash> chip_ = map_.Add("/dev/mtd4", 0x40000, 0x10000);
};

// flashcp's erase, chunked writes and verify are checked on the kernel's MTD
// drivers (VrecFlash.NorToolsAndWriter).
TEST_F(ToolsTest, FlashcpRefusesImpossibleCopiesBeforeErasing) {
    chip_->Fill(0, "keep", 4);
    Source(0x18000);
    // past the source, past the device, inside an erase block, an unknown option
    for (std::string opt : {"-g100", "-o0x30000", "-o0x8000", "-v"}) {
        auto r = Tool(UPDATE_FlashcpMain, {"flashcp", opt, src_, "/dev/mtd4"});
        EXPECT_EQ(r[0], "1") << opt;
        EXPECT_EQ(r[2].rfind(opt == "-v" ? "Usage: flashcp [-v]" : "update: ", 0), 0u) << r[2];
    }
    EXPECT_EQ(chip_->Count(MemFlash::Op::Erase) + chip_->Count(MemFlash::Op::Write), 0);
    EXPECT_EQ(std::string(chip_->data().begin(), chip_->data().begin() + 4), "keep");
}

// Copies that end exactly at the device's end, over old data: every block
// they cover is erased first (flash keeps a bit cleared until then).
TEST_F(ToolsTest, FlashcpFillsToTheDevicesEndOverOldData) {
    struct Row {
        std::size_t bytes;
        std::string offset;
        int erases;
    };
    for (const Row& row :
         {Row{0x40000, "-o0", 4}, Row{0x20000, "-o0x20000", 2}, Row{0x18000, "-o0x20000", 2}}) {
        chip_->data().assign(chip_->data().size(), 0x00);  // old data everywhere
        const int before = chip_->Count(MemFlash::Op::Erase);
        Source(row.bytes);
        auto r = Tool(UPDATE_FlashcpMain, {"flashcp", row.offset, src_, "/dev/mtd4"});
        EXPECT_EQ(r[0], "0") << row.offset << r[2];
        EXPECT_EQ(chip_->Count(MemFlash::Op::Erase) - before, row.erases) << row.offset;
        const std::size_t at = row.bytes == 0x40000 ? 0 : 0x20000;
        EXPECT_EQ(std::string(chip_->data().begin() + at, chip_->data().begin() + at + row.bytes),
                  std::string(row.bytes, 'x'))
            << row.offset;
    }
}

TEST_F(ToolsTest, EraseallSkipsBadBlocksOrStopsAskingWhenUnsupported) {
    auto nand = map_.Add("/dev/mtd5", 0x40000, 0x10000, MTD_NANDFLASH);
    nand->MarkBad(1);
    auto r = Tool(UPDATE_FlashEraseallMain, {"flash_eraseall", "/dev/mtd5"});
    EXPECT_EQ(r[0], "0") << r[2];
    EXPECT_EQ(nand->Count(MemFlash::Op::Erase), 3);

    chip_->FailOn(MemFlash::Op::BadBlock, EOPNOTSUPP);  // NOR: no bad-block support
    EXPECT_EQ(Tool(UPDATE_FlashEraseallMain, {"flash_eraseall", "/dev/mtd4"})[0], "0");
    EXPECT_EQ(chip_->Count(MemFlash::Op::BadBlock), 1);
    EXPECT_EQ(chip_->Count(MemFlash::Op::Erase), 4);

    nand->FailOn(MemFlash::Op::BadBlock, EOPNOTSUPP);
    r = Tool(UPDATE_FlashEraseallMain, {"flash_eraseall", "/dev/mtd5"});
    EXPECT_EQ(r[0] + r[2], "1update: bad block check not available\n");
}

}  // namespace
