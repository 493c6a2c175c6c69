// The kernel MTD opener on a plain file. (The in-memory flash that other
// tests use is a test double; the code it stands in for runs on the
// kernel's MTD drivers in the vm tests.)
#include <gtest/gtest.h>

#include <fcntl.h>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "base/mtd.h"
#include "sys/emulated.h"
#include "sys/path.h"
#include "sys/scratch.h"

namespace {

// The real opener on plain files: the path goes through the device root, and
// the MTD requests reach the kernel, which refuses them for a regular file.
TEST(KernelMtd, PlainFileOpensButRefusesMtdRequests) {
    ScratchDir dir;
    std::filesystem::create_directories(dir / "dev");
    std::ofstream(dir / "dev/mtd3") << "abc";
    sys::SetDeviceRoot(dir.path());
    auto dev = flash::OpenMtd("/dev/mtd3", O_RDWR);
    auto missing = flash::OpenMtd("/dev/mtd4", O_RDWR);
    int missing_errno = errno;
    sys::SetDeviceRoot("");

    ASSERT_TRUE(dev);
    EXPECT_FALSE(missing);
    EXPECT_EQ(missing_errno, ENOENT);
    char buf[8] = {};
    EXPECT_EQ(flash::ReadFully(*dev, buf, sizeof(buf)), 3);
    EXPECT_STREQ(buf, "abc");
    flash::MtdInfo info;
    EXPECT_EQ(dev->GetInfo(&info), -1);
    EXPECT_EQ(errno, testenv::NoDriverErrno());
    EXPECT_EQ(dev->Erase({0, 4096}), -1);
    EXPECT_EQ(dev->Unlock({0, 4096}), -1);
}

}  // namespace
