#include "vrec_fixture.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "devsim_fixture.h"

extern char** environ;

namespace vrec {
namespace fs = std::filesystem;

// Equal byte strings; else where they first differ (never the bytes themselves).
testing::AssertionResult Same(const std::string& a, const std::string& b) {
    if (a == b) return testing::AssertionSuccess();
    std::size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
    return testing::AssertionFailure()
           << "sizes " << a.size() << " and " << b.size() << ", first difference at " << i;
}
std::string VrecRun::Image(int mtd) const {
    return devsim::ReadFile(dir + "/out/mtd/mtd" + std::to_string(mtd) + ".img");
}

void VrecTest::SetUp() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    for (char& c : name) c = (c == '/') ? '_' : c;
    dir_ = std::string(UPDATE_BINARY_DIR) + "/vm-runs/" + name;
    fs::remove_all(dir_);
    fs::create_directories(dir_ + "/in");
}

void VrecTest::TearDown() {
    const char* keep = std::getenv("VREC_KEEP");
    if (!HasFailure() && !(keep != nullptr && *keep != '\0')) fs::remove_all(dir_);
}

void VrecTest::WriteIn(const std::string& name, const std::string& bytes) const {
    devsim::WriteFile(dir_ + "/in/" + name, bytes);
}

int VrecTest::Spawn(const std::vector<std::string>& args, const std::string& log_file) {
    std::vector<std::string> all{"/bin/bash", std::string(UPDATE_SOURCE_DIR) + "/tools/vrec/vrec"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    argv.reserve(all.size() + 1);
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, log_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

VrecRun VrecTest::Run(const std::vector<std::string>& options, const std::string& line) const {
    VrecRun r;
    r.dir = dir_;
    std::string bin = std::string(UPDATE_BINARY_DIR) + "/bin/";
    std::vector<std::string> args{
        "run",        "--build", UPDATE_BINARY_DIR,  "--out",     dir_ + "/out", "--in",
        dir_ + "/in", "--bin",   bin + "vrec-probe", "--timeout", "240"};
    args.insert(args.end(), options.begin(), options.end());
    args.insert(args.end(), {"--", "sh", "-c", line});
    r.status = Spawn(args, dir_ + "/vrec.stderr");
    r.harness = devsim::ReadFile(dir_ + "/vrec.stderr");
    r.out = devsim::ReadFile(dir_ + "/out/stdout");
    r.err = devsim::ReadFile(dir_ + "/out/stderr");
    return r;
}

}  // namespace vrec
