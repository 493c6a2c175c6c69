// The one runner module: every external command of the program starts here.
// UPDATE_System runs a shell command line, UPDATE_Exec an argument vector,
// and ReadCommand reads a command's output through a pipe. Unit tests replace
// the runner with one that records the command text instead of running it
// (sys/fake_runner.h, a test-only library).
#pragma once

#include <string>
#include <vector>

namespace sys {

class Runner {
  public:
    virtual ~Runner() = default;
    // Shell command line: the exit status, the signal number if killed, -1 if it did not run.
    virtual int System(const char* cmd) = 0;
    // The same, but the runner's own messages show `shown` instead of the
    // command: a command that carries a secret passes its masked text.
    virtual int SystemShown(const char* cmd, const char* /*shown*/) { return System(cmd); }
    // The C library's system(), for the few commands whose result is ignored.
    virtual int PlainSystem(const char* cmd) = 0;
    // Argument vector, no shell: the exit status, or -1.
    virtual int Exec(const std::vector<std::string>& argv) = 0;
    // Reads the standard output of a shell command line (at most max_bytes).
    // Returns 0 when the pipe opened, -1 when it did not.
    virtual int ReadCommand(const char* cmd, std::string& out, std::size_t max_bytes) = 0;
    // Replaces the process image (execv); returns only on failure, with -1.
    virtual int Replace(const char* path, char* const argv[]) = 0;
};

// The real runner (vfork and exec).
Runner& RealRunner();
// The runner in use; SetRunner(nullptr) restores the real one.
Runner& CurrentRunner();
void SetRunner(Runner* runner);

// Restores the previous runner when it leaves scope (for tests).
class ScopedRunner {
  public:
    explicit ScopedRunner(Runner& runner);
    ~ScopedRunner();
    ScopedRunner(const ScopedRunner&) = delete;
    ScopedRunner& operator=(const ScopedRunner&) = delete;

  private:
    Runner* previous_;
};

}  // namespace sys

// Runs one shell command line through the current runner.
[[nodiscard]] int UPDATE_System(const char* cmd);
// Runs a command line that carries a secret; the runner's messages show the
// masked text `shown` in its place.
[[nodiscard]] int UPDATE_SystemMasked(const char* cmd, const char* shown);
// Runs an argument vector (first element: program path) without a shell.
[[nodiscard]] int UPDATE_Exec(const std::vector<std::string>& argv);
// Number of running processes of a name, or -1.
[[nodiscard]] int FUNC_CountPid(const char* name);
