#include "vrec_fixture.h"

#include <fcntl.h>

#include <cstdlib>
#include <filesystem>

#include "devsim_fixture.h"

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
std::string Ff(std::size_t n) {
    return std::string(n, '\xff');
}
std::string Mark(const std::string& name, const std::string& sh) {
    return "echo =" + name + "; " + sh + "; echo =" + name + " $?; ";
}
std::string Step(const std::string& out, const std::string& step) {
    const std::size_t from = out.find("=" + step + "\n");
    const std::size_t to = out.find("=" + step + " ", from);
    return from == std::string::npos || to == std::string::npos
               ? "(missing)"
               : out.substr(from + step.size() + 2, to - from - step.size() - 2);
}
std::string Rc(const std::string& out, const std::string& step) {
    const std::size_t at = out.find("=" + step + " ");
    if (at == std::string::npos) return "?";
    const std::size_t from = at + step.size() + 2;
    return out.substr(from, out.find('\n', from) - from);
}
std::string VrecRun::Image(int mtd) const {
    return devsim::ReadFile(dir + "/out/mtd/mtd" + std::to_string(mtd) + ".img");
}

void VrecTest::SetUp() {
    dir_ = std::string(UPDATE_BINARY_DIR) + "/vm-runs/" + devsim::TestRunName();
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
    return devsim::SpawnScript(std::string(UPDATE_SOURCE_DIR) + "/tools/vrec/vrec", args, log_file,
                               O_TRUNC);
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
