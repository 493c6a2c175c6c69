#include "sys/fake_runner.h"

namespace sys {

int FakeRunner::Next() {
    return next_ < results.size() ? results[next_++] : default_result;
}

int FakeRunner::System(const char* cmd) {
    if (cmd == nullptr) return -1;
    commands.emplace_back(cmd);
    return Next();
}

int FakeRunner::PlainSystem(const char* cmd) {
    if (cmd == nullptr) return -1;
    commands.emplace_back(cmd);
    return Next();
}

int FakeRunner::Exec(const std::vector<std::string>& argv) {
    std::string line = "exec:";
    for (const auto& a : argv) line += " " + a;
    commands.push_back(line);
    return Next();
}

int FakeRunner::ReadCommand(const char* cmd, std::string& out, std::size_t max_bytes) {
    commands.emplace_back(cmd);
    out = read_output.substr(0, max_bytes);
    return read_result;
}

int FakeRunner::Replace(const char* path, char* const argv[]) {
    std::string line = std::string("replace: ") + path;
    for (int i = 0; argv != nullptr && argv[i] != nullptr; ++i) line += std::string(" ") + argv[i];
    commands.push_back(line);
    return -1;
}

}  // namespace sys
