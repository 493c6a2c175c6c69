#include "devsim_fixture.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>

extern char** environ;

namespace devsim {
namespace fs = std::filesystem;

namespace {

std::string EnvOr(const char* name, const std::string& fallback) {
    const char* v = getenv(name);
    return v && *v ? v : fallback;
}

std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> parts(1);
    for (char c : line) c == '\t' ? (void)parts.emplace_back() : parts.back().push_back(c);
    return parts;
}

// A device path relative to the device root.
std::string Rel(const std::string& device_path) {
    return device_path.substr(std::min(device_path.find_first_not_of('/'), device_path.size()));
}

int CountPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
    int n = 0;
    for (const auto& l : lines) n += l.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
}

}  // namespace

std::string ReadFile(const std::string& path, bool* ok) {
    std::ifstream in(path, std::ios::binary);
    if (ok) *ok = static_cast<bool>(in);
    if (!in) return "";
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Test processes run side by side and share the build tree's material: a
// file appears whole, by rename, or not at all.
void WriteFile(const std::string& path, const std::string& content, unsigned mode) {
    fs::create_directories(fs::path(path).parent_path());
    const std::string tmp = path + ".tmp." + std::to_string(getpid());
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << content;
        out.close();
        // A test whose state or served file is missing would fail far from the cause.
        if (!out) ADD_FAILURE() << "cannot write " << path;
    }
    chmod(tmp.c_str(), mode);
    fs::rename(tmp, path);
}

std::string SignerKeys(const std::string& who) {
    const std::string dir = Sandbox::BuildDir() + "/e2e-material/" + who;
    if (!fs::exists(dir + "/pri_key")) {
        const std::string tmp = dir + ".tmp." + std::to_string(getpid());
        fs::create_directories(tmp);
        const std::string cmd = "'" + Sandbox::BuildDir() +
                                "/bin/update-pack' keygen --bits 2048 --force --dir '" + tmp +
                                "' > /dev/null";
        if (std::system(cmd.c_str()) != 0) ADD_FAILURE() << cmd;
        std::error_code ec;
        fs::rename(tmp, dir, ec);  // another test process may have been first
        fs::remove_all(tmp, ec);
    }
    return dir;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(gen());
    return s;
}

std::string Quote(const std::string& v) {
    std::string q = "'";
    for (char c : v) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::vector<std::string> RateLines(const std::string& text) {
    std::vector<std::string> rates;
    for (std::string line : SplitLines(text)) {
        std::erase_if(line, [](char c) { return c == ' ' || c == '\t' || c == '\r'; });
        if (!line.empty()) rates.push_back(line);
    }
    return rates;
}

// ---------------------------------------------------------------- RunResult
int RunResult::SigtermCount() const {
    return CountPrefix(reboot, "SIGTERM ");
}
bool RunResult::RebootRequested() const {
    return CountPrefix(reboot, "rmc/test r ") > 0;
}
bool RunResult::PowerCut() const {
    return CountPrefix(reboot, "power-cut ") > 0;
}

std::vector<std::vector<std::string>> RunResult::ToolCalls(const std::string& name) const {
    std::vector<std::vector<std::string>> calls;
    for (const auto& c : tools)
        if (!c.empty() && c[0] == name) calls.push_back(c);
    return calls;
}

// ---------------------------------------------------------------- Sandbox
std::string Sandbox::DevsimScript() {
    return std::string(UPDATE_SOURCE_DIR) + "/tools/devsim/devsim";
}
std::string Sandbox::BuildDir() {
    return EnvOr("DEVSIM_BUILD", UPDATE_BINARY_DIR);
}
std::string Sandbox::UpdateBinary() {
    return EnvOr("DEVSIM_UPDATE", BuildDir() + "/bin/update");
}

std::string Sandbox::UpdaterWords() {
    return "--updater-arch " + EnvOr("DEVSIM_ARCH", "x86_64") + " --updater " + UpdateBinary();
}

std::string Sandbox::DeviceLoader() {
    return EnvOr("DEVSIM_ARCH", "x86_64") == "aarch64" ? "ld-linux-aarch64.so.1"
                                                       : "ld-linux-x86-64.so.2";
}

int Sandbox::Spawn(const std::vector<std::string>& args, const std::string& stderr_file) {
    return SpawnScript(DevsimScript(), args, stderr_file, O_APPEND);
}

int SpawnScript(const std::string& script, const std::vector<std::string>& args,
                const std::string& log_file, int log_flag) {
    std::vector<std::string> all{"/bin/bash", script};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, log_file.c_str(), O_WRONLY | O_CREAT | log_flag, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

std::string TestRunName() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    for (char& c : name) c = (c == '/') ? '_' : c;
    return name;
}

std::string Sandbox::CheckPrerequisites() {
    static std::once_flag once;
    static std::string reason;
    std::call_once(once, [] {
        std::string log = fs::temp_directory_path() / ("devsim-check." + std::to_string(getpid()));
        int rc = Spawn({"check", "--build", BuildDir()}, log);
        if (rc != 0)
            reason =
                "devsim prerequisites missing (exit " + std::to_string(rc) + "): " + ReadFile(log);
        fs::remove(log);
    });
    return reason;
}

void Sandbox::Init(const std::string& run_dir) {
    dir_ = run_dir;
    std::error_code ec;
    fs::remove_all(dir_, ec);
    fs::create_directories(StateDir());
    fs::create_directories(ServeDir());
    fs::create_directories(OutDir());
}

void Sandbox::WriteState(const std::string& device_path, const std::string& content,
                         unsigned mode) {
    WriteFile(StateDir() + "/" + Rel(device_path), content, mode);
}

void Sandbox::WriteProc(const std::string& name, const std::string& content) {
    WriteFile(StateDir() + "/proc/" + name, content);
}

void Sandbox::Serve(const std::string& name, const std::string& content) {
    WriteFile(ServeDir() + "/" + name, content);
}

RunResult Sandbox::RunUpdate(const std::vector<std::string>& update_args) {
    for (size_t i = 0; i + 1 < update_args.size(); ++i) {
        if ((update_args[i] == "-p" || update_args[i] == "-password") &&
            !update_args[i + 1].empty())
            AddSecret(update_args[i + 1]);
    }
    return Invoke("run", update_args);
}

void Sandbox::ExpectNoSecret() const {
    if (secrets_.empty()) return;
    std::vector<fs::path> files;
    for (const char* rel : {"stdout", "stderr", "tools.log", "rate.log"})
        files.push_back(fs::path(OutDir()) / rel);
    for (const char* dir : {"root", "proc", "dev"}) {
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(fs::path(OutDir()) / dir, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
            if (it->is_regular_file(ec)) files.push_back(it->path());
        }
    }
    for (const auto& f : files) {
        const std::string text = ReadFile(f);
        for (const auto& secret : secrets_)
            EXPECT_EQ(text.find(secret), std::string::npos) << "a secret in " << f.string();
    }
}
RunResult Sandbox::Exec(const std::vector<std::string>& command) {
    return Invoke("exec", command);
}

RunResult Sandbox::Invoke(const std::string& mode, const std::vector<std::string>& cmd) {
    std::ostringstream grace;
    grace << grace_;
    std::vector<std::string> args{mode};
    args.insert(args.end(),
                {"--state", StateDir(), "--serve", ServeDir(), "--out", OutDir(), "--build",
                 BuildDir(), "--timeout", std::to_string(timeout_), "--reboot-grace", grace.str(),
                 "--disk", disk_, "--part-mib", std::to_string(part_mib_)});
    if (mode == "run") args.insert(args.end(), {"--update", UpdateBinary()});
    for (const auto& f : faults_) args.insert(args.end(), {"--fault", f});
    if (!ftp_.empty()) args.insert(args.end(), {"--ftp-login", ftp_});
    if (!servers_.empty()) args.insert(args.end(), {"--servers", servers_});
    args.insert(args.end(), extra_.begin(), extra_.end());
    args.push_back("--");
    args.insert(args.end(), cmd.begin(), cmd.end());

    const std::string harness_log = dir_ + "/devsim.stderr";
    fs::remove(harness_log);
    auto t0 = std::chrono::steady_clock::now();
    RunResult r;
    r.status = Spawn(args, harness_log);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    r.harness = ReadFile(harness_log);
    r.out = ReadOut("stdout");
    r.err = ReadOut("stderr");
    r.rates = RateLines(ReadOut("rate.log"));
    r.reboot = SplitLines(ReadOut("reboot.log"));
    for (const auto& l : SplitLines(ReadOut("tools.log"))) r.tools.push_back(SplitTabs(l));
    ExpectNoSecret();
    return r;
}

std::string Sandbox::ReadOut(const std::string& rel) const {
    return ReadFile(OutDir() + "/" + rel);
}

std::string Sandbox::ReadDevice(const std::string& device_path, bool* exists) const {
    const std::string rel = Rel(device_path);
    const std::string layers[] = {OutDir() + "/root/", StateDir() + "/",
                                  BuildDir() + "/devsim/root/"};
    for (const auto& layer : layers) {
        struct stat st {};
        if (lstat((layer + rel).c_str(), &st) != 0) continue;
        // An overlay whiteout (character device 0:0) means the run removed it.
        if (S_ISCHR(st.st_mode) && st.st_rdev == 0) break;
        bool ok = false;
        std::string text = ReadFile(layer + rel, &ok);
        if (exists) *exists = ok;
        return text;
    }
    if (exists) *exists = false;
    return "";
}

bool Sandbox::ChangedByRun(const std::string& device_path) const {
    struct stat st {};
    return lstat((OutDir() + "/root/" + Rel(device_path)).c_str(), &st) == 0;
}

std::vector<PartitionInfo> Sandbox::Partitions() const {
    std::vector<PartitionInfo> parts;
    for (const auto& line : SplitLines(ReadOut("partitions.txt"))) {
        std::istringstream in(line);
        PartitionInfo p;
        if (in >> p.number >> p.name >> p.offset >> p.size) parts.push_back(p);
    }
    return parts;
}

PartitionInfo Sandbox::Partition(int number) const {
    for (const auto& p : Partitions())
        if (p.number == number) return p;
    return {};
}

std::string Sandbox::ReadDisk(uint64_t offset, size_t length) const {
    std::ifstream in(OutDir() + "/disk.img", std::ios::binary);
    std::string buf(length, '\0');
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(buf.data(), static_cast<std::streamsize>(length));
    buf.resize(static_cast<size_t>(in.gcount()));
    return buf;
}

std::string Sandbox::ReadPartition(int number, uint64_t offset, size_t length) const {
    PartitionInfo p = Partition(number);
    if (p.size == 0 || offset >= p.size) return "";
    if (offset + length > p.size) length = static_cast<size_t>(p.size - offset);
    return ReadDisk(p.offset + offset, length);
}

// ---------------------------------------------------------------- DevsimTest
void DevsimTest::SetUp() {
    const std::string why = CheckPrerequisites();
    // End-to-end tests never pass by skipping: a missing prerequisite fails them.
    ASSERT_TRUE(why.empty()) << why;
    Init(BuildDir() + "/e2e-runs/" + TestRunName());
}

void DevsimTest::TearDown() {
    if (Dir().empty() || HasFailure() || getenv("DEVSIM_KEEP")) return;
    std::error_code ec;
    fs::remove_all(Dir(), ec);
}

}  // namespace devsim
