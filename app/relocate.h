// Self-relocation: every update run executes from a copy of the program in
// "/tmp", never from the partition it rewrites.
#pragma once

inline constexpr const char* kRelocatedPath = "/tmp/memupdate";
inline constexpr const char* kHandoverPath = "/tmp/busybox";

// 0 when the process already runs from its temporary copy; does not return
// when it re-executes; non-zero on failure.
[[nodiscard]] int UPDATE_RunFromTmp(char** argv);
