#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/nvram.h"
#include "sys/emulated.h"
#include "sys/path.h"
#include "sys/scratch.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

struct FakeNvram : NvramDevice {
    FakeNvram(std::vector<NVRAM_ITEM_S>* s, bool r) : stored(s), refuse(r) {}
    int Store(NVRAM_ITEM_S* item) override {
        errno = EIO;
        if (!refuse) stored->push_back(*item);
        return refuse ? -1 : 0;
    }
    std::vector<NVRAM_ITEM_S>* stored;
    bool refuse;
};

// The real device path without its node and with a node that is no nvram
// driver, then a device that stores the item and one that refuses it.
TEST(Nvram, StoresTheItemOrReportsTheRefusal) {
    ScratchDir dir;
    std::filesystem::create_directories(dir / "dev");
    sys::SetDeviceRoot(dir.path());
    NVRAM_ITEM_S item{};
    std::strcpy(item.name, "sync_mmap");
    std::strcpy(item.value, "1");
    auto set = [&](int result) {
        CaptureStdout();
        EXPECT_EQ(SetEnvToFlash(&item), result);
        return GetCapturedStdout();
    };
    const std::string refused = "Failed to set nvram value(1) of sync_mmap, errno(";
    EXPECT_EQ(set(-1), "open /dev/hal_nvram\n");
    std::ofstream(dir / "dev/hal_nvram") << "";
    EXPECT_EQ(set(-1), refused + strerror(testenv::NoDriverErrno()) + ")\n");
    std::vector<NVRAM_ITEM_S> stored;
    std::vector<std::string> opened;
    for (bool refuse : {false, true}) {
        SetNvramOpener([&](const char* path) {
            opened.emplace_back(path);
            return std::make_unique<FakeNvram>(&stored, refuse);
        });
        EXPECT_EQ(set(refuse ? -1 : 0), refuse ? refused + "Input/output error)\n" : "");
    }
    SetNvramOpener(nullptr);
    sys::SetDeviceRoot("");
    EXPECT_EQ(opened, std::vector<std::string>(2, "/dev/hal_nvram"));
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(std::string(stored[0].name) + "=" + stored[0].value, "sync_mmap=1");
}

}  // namespace
