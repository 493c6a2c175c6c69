#include "app/single.h"

#include <sys/stat.h>
#include <unistd.h>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>

#include "app/prepare.h"
#include "base/platform.h"
#include "base/progress.h"
#include "base/request.h"
#include "fetch/fetch.h"
#include "flash/writer.h"
#include "sys/log.h"
#include "sys/runner.h"
#include "sys/text.h"

namespace {
constexpr const char* kLogUnit = sys::kUnitUpdate;
constexpr int kFetchTries = 3;

struct SingleImage {
    uint32_t bit;
    const char* local;
    const char* remote;
    int slot;
    int row;
};
// In order of priority: only the first image asked for is loaded.
constexpr SingleImage kImages[] = {
    {kImageKernel, "/tmp/uImage", "uImage", kSlotKernel, kRowKernel},
    {kImageProgram, "/tmp/program.img", "program.img", kSlotProgram, kRowProgram},
    {kImageWeb, "/tmp/activex.img", "activex.img", kSlotWeb, kRowActiveX},
    {kImageUboot, "/tmp/u-boot.bin", "u-boot.bin", kSlotUboot, kRowUboot},
    {kImageSlaveUboot, "/tmp/u-boot_slave.bin", "u-boot_slave.bin", kSlotSlaveUboot,
     kRowSlaveUboot},
    {kImageSlaveKernel, "/tmp/uImage_slave", "uImage_slave", kSlotSlaveKernel, kRowSlaveKernel},
    {kImageSlaveProgram, "/tmp/program_slave.img", "program_slave.img", kSlotSlaveProgram,
     kRowSlaveProgram},
    {kImageConfig, "/tmp/config.img", "config.img", kSlotConfig, kRowConfig},
};

// The fetch command and its shown form (FTP password masked); empty for a
// protocol that fetches nothing.
void FetchCommand(const UPDATE_PARA_S& para, const std::string& remote_name,
                  const std::string& local, std::string* cmd, std::string* shown) {
    if (para.TransType != kTransTftp && para.TransType != kTransTftpAlt &&
        para.TransType != kTransFtp) {
        return;
    }
    fetch::ToolLine line = fetch::FetchToolLine(
        para.TransType, std::string(sys::FieldText(para.remote)).c_str(),
        std::string(sys::FieldText(para.user)).c_str(),
        std::string(sys::FieldText(para.password)).c_str(), remote_name.c_str(), local.c_str());
    *cmd = std::move(line.cmd);
    *shown = std::move(line.shown);
}

int Fetch(const std::string& cmd, const std::string& shown) {
    ULOG_ONLY("loadinging....\n");
    ULOG_ONLY("loading cmd: %s\n", shown.c_str());
    std::printf("\n");
    std::fflush(stdout);
    for (int run = 1;; ++run) {
        if (UPDATE_SystemMasked(cmd.c_str(), shown.c_str()) == 0) break;
        ::sleep(1);
        if (run == kFetchTries) {
            ULOG("load image file failed! please try again!\n");
            return -1;
        }
    }
    ULOG_ONLY("loading done!\n");
    return 0;
}

}  // namespace

int UPDATE_LoadSingle(const UPDATE_PARA_S* para) {
    const PLATFORM_INFO_S* platform = UPDATE_Platform();
    const SingleImage* image = nullptr;
    for (const SingleImage& candidate : kImages) {
        if ((para->UpdateType & candidate.bit) != 0) {
            image = &candidate;
            break;
        }
    }
    if (image == nullptr || platform == nullptr) {
        ULOG("not support this type, please check you param!\n");
        return -1;
    }

    // Fetched images land at their fixed name; a -local image is read from
    // the directory named on the command line.
    std::string remote_name = image->remote;
    std::string local = image->local;
    const bool fetched = para->TransType == kTransTftp || para->TransType == kTransFtp ||
                         para->TransType == kTransTftpAlt;
    if (para->PathFlag == 1) {
        remote_name = std::string(sys::FieldText(para->path)) + "/" + image->remote;
        if (!fetched) local = para->TransType == kTransLocal ? remote_name : std::string();
    }
    std::string cmd;
    std::string shown;
    if (fetched) FetchCommand(*para, remote_name, local, &cmd, &shown);

    UPDATE_ReportRate(5);
    if (!UPDATE_ServicesStopped()) UPDATE_StopServices();
    UPDATE_ReportRate(10);

    if (!cmd.empty() && image->bit != kImageConfig) {
        if (Fetch(cmd, shown) != 0) return -1;
    }
    UPDATE_ReportRate(40);

    struct stat st {};
    const int64_t size = !local.empty() && ::stat(local.c_str(), &st) == 0 ? st.st_size : -1;
    // An image that cannot be examined, or is longer than its partition, is
    // refused (the latter by the writer) before anything is erased.
    int ret = -1;
    if (size >= 0 && platform->Layout != nullptr) {
        const PART_LAYOUT_S& row = platform->Layout[image->row];
        ret = UPDATE_WriteImage(platform->Parts[image->slot].Dev, local.c_str(),
                                static_cast<int64_t>(row.Size), platform->FlashType, 0,
                                static_cast<uint64_t>(size), row.Offset);
    }
    if (ret != 0) {
        if (size < 0) ULOG("cannot read image file %s\n", local.c_str());
        ULOG("update uImage failed.\n");
        return ret;
    }
    return 0;
}
