// A runner for unit tests that records every command instead of running it
// (library update_sys_testing, never linked into the updater).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "sys/runner.h"

namespace sys {

// A runner that records every command and answers from a script.
class FakeRunner : public Runner {
  public:
    std::vector<std::string> commands;  // every command, in order ("exec: a b c" for vectors)
    std::vector<int> results;           // results handed out in order; then default_result
    int default_result = 0;
    std::string read_output;  // what ReadCommand answers
    int read_result = 0;

    int System(const char* cmd) override;
    int PlainSystem(const char* cmd) override;
    int Exec(const std::vector<std::string>& argv) override;
    int ReadCommand(const char* cmd, std::string& out, std::size_t max_bytes) override;
    int Replace(const char* path, char* const argv[]) override;

  private:
    int Next();
    std::size_t next_ = 0;
};

}  // namespace sys
