// The update-pack command line, end to end: tests/package/pack_cli_test.sh runs every
// subcommand of the built tool and checks its output and exit status.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "sys/runner.h"

TEST(UpdatePackCli, AllSubcommands) {
    const std::string tool = std::string(UPDATE_BINARY_DIR) + "/bin/update-pack";
    if (::access(tool.c_str(), X_OK) != 0) GTEST_SKIP() << "update-pack is not built";
    const std::string script = std::string(UPDATE_SOURCE_DIR) + "/tests/package/pack_cli_test.sh";
    EXPECT_EQ(sys::RealRunner().Exec({"/bin/bash", script, tool}), 0);
}
