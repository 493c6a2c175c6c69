// The hand-over pieces shared by the entry and the dispatcher: the encoded
// parameter words of a second stage and its launch, and the state the
// watchdog reads while a second stage runs.
//
// A second stage is the package's own update program at "/tmp/busybox",
// started as "/tmp/busybox update -local DIR WORDS -loop" through the shell
// and waited for. Every value in that line that comes from the command line
// or the package (the directory, the unknown words) is quoted for the shell.
#pragma once

#include <cstddef>

struct UPDATE_PARA_S;

// Size of the parameter text (szUpdatePara) and of the launch line.
inline constexpr std::size_t kUpdateParaSize = 512;

// Appends the FILE word of an image mask to text (kUpdateParaSize bytes):
// "uImage ", "program ", ... or "all " for 0xA3; any other mask appends
// "all " when flag is 0 and nothing when flag is 1.
void UPDATE_EncodeType(unsigned mask, int flag, char* text);
// Appends the words of every image kind of mask: "all " when it holds the
// platform's standard set (standard & 0xA3), then one word per further kind.
void UPDATE_EncodeTypes(unsigned mask, unsigned standard, char* text);
// Appends " -f" for a forced run, then " -r" when reboot is 1, else " -w".
void UPDATE_EncodeOptions(unsigned force, unsigned reboot, char* text);
// The second stage's words for the entry's hand-over: the FILE word, "-f ",
// "-w ", then the unknown words as the parser left them (each quoted for
// the shell and followed by one blank). 0, or -1 when they do not all fit
// (a second stage must not run with fewer words than asked for).
[[nodiscard]] int UPDATE_EncodeArgs(const UPDATE_PARA_S* para, const char* unknown, char* text);
// Runs the package's update program on the package in dir with the words
// para and waits for it: 0, or its non-zero status.
[[nodiscard]] int UPDATE_LaunchNew(const char* dir, const char* para);

// True while a second stage started by this process runs.
[[nodiscard]] bool UPDATE_SecondStageRunning();

namespace app {
// Marks a second stage as running for its lifetime (the launch holds one).
class SecondStageScope {
  public:
    SecondStageScope();
    ~SecondStageScope();
    SecondStageScope(const SecondStageScope&) = delete;
    SecondStageScope& operator=(const SecondStageScope&) = delete;
};
}  // namespace app
