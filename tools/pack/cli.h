// The command line of update-pack: one table row per command, with its
// options and its help, parsed by getopt_long. A command sees its words as
// an Args (options by long name, then the plain arguments); the help of
// 'update-pack COMMAND --help' and 'update-pack help COMMAND' is made from
// the same rows, so the two never drift apart.
//
// Adding a command: write `int Run(const pack::Args&)` and add a row to the
// command table in main.cpp with its options.
#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace pack {

struct Command;

// Exit status of every command, documented in tools/pack/README.md; scripts rely on them.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // a check failed, or the input is not a sound package
inline constexpr int kExitUsage = 2;   // wrong command line: nothing was read or written
inline constexpr int kExitIo = 3;      // a file could not be opened, read or written

// One option of a command.
struct Option {
    const char* name;     // long name without the dashes ("output")
    char short_name;      // 0 for none ('o' gives -o FILE and -oFILE)
    const char* value;    // the value's name in the help ("FILE"); nullptr: a flag
    bool repeatable;      // may be given more than once (all values kept, in order)
    const char* help;     // help text; '\n' starts a continuation line
    const char* group{};  // a heading printed before this option in the help
};

// The parsed words of one command.
class Args {
  public:
    bool Has(const std::string& name) const { return values_.count(name) != 0; }
    // The value of a single-value option (fallback when absent).
    std::string Get(const std::string& name, const std::string& fallback = "") const;
    // Every value of a repeatable option, in command-line order.
    std::vector<std::string> All(const std::string& name) const;
    const std::vector<std::string>& Plain() const { return plain_; }

  private:
    friend bool ParseArgs(const Command&, int, char**, Args*, std::string*);
    std::map<std::string, std::vector<std::string>> values_;
    std::vector<std::string> plain_;
};

// One row of the command table.
struct Command {
    const char* name;
    const char* summary;   // one line for the command list
    const char* synopsis;  // after "Usage: update-pack NAME "
    const char* about;     // paragraphs before the options
    std::vector<Option> options;
    int (*run)(const Args&);
};

// Parses argv[1..argc) (argv[0] is the command's name) by the command's
// options. false with *why set on an unknown option, a missing value or a
// single-value option given twice.
[[nodiscard]] bool ParseArgs(const Command& command, int argc, char** argv, Args* args,
                             std::string* why);

// The help of one command.
void WriteHelp(const Command& command, std::FILE* out);

// "update-pack COMMAND: WHY" and a pointer to the help; returns kExitUsage.
int Usage(const char* command, const std::string& why);
// "update-pack COMMAND: WHY"; returns kExitFailed (or the given status).
int Fail(const char* command, const std::string& why, int status = kExitFailed);

}  // namespace pack
