// The eMMC sub-image writer on the simulated recorder's disk, through the
// write-flash program (tests/e2e/write_driver.cpp).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "devsim_fixture.h"

namespace {

using devsim::DevsimTest;
using devsim::RunResult;
using testing::HasSubstr;

class WriterTest : public DevsimTest {
  protected:
    void SetUp() override {
        DevsimTest::SetUp();
        for (auto& c : package_) c = static_cast<char>(gen_());
        WriteState("var/pkg/Program.bin", package_);
        WriteState("usr/bin/write-flash", devsim::ReadFile(BuildDir() + "/bin/write-flash"), 0755);
        SetServers("none");
    }
    std::mt19937 gen_{9};
    std::string package_ = std::string(3 << 20, '\0');
};

TEST_F(WriterTest, CopiesExactlyTheImageAndRefusesOnesTooLong) {
    RunResult r = Shell(
        "write-flash /dev/mmcblk0p4 /var/pkg/Program.bin 0x8000000 5000 1048699 && "
        "! write-flash /dev/mmcblk0p15 /var/pkg/Program.bin 0x200000 0 0x200001 && "
        "! write-flash /dev/mmcblk0p2 /var/pkg/Program.bin 0x80000000 0 0x200001");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_THAT(r.out, HasSubstr("does not fit /dev/mmcblk0p15 (partition of 2097152 bytes)"));
    EXPECT_THAT(r.out, HasSubstr("does not fit /dev/mmcblk0p2 (device of 2097152 bytes)"));
    EXPECT_THAT(UpdateLog(), HasSubstr("read back 1048699 bytes of /dev/mmcblk0p4"));
    // Every partition is as made (zero) except the image's bytes.
    for (const devsim::PartitionInfo& p : Partitions()) {
        std::string bytes = ReadPartition(p.number, 0, p.size);
        if (p.number == 4) {
            EXPECT_EQ(bytes.substr(0, 1048699), package_.substr(5000, 1048699));
            bytes.erase(0, 1048699);
        }
        EXPECT_EQ(bytes.find_first_not_of('\0'), std::string::npos) << p.name;
    }
}

}  // namespace
