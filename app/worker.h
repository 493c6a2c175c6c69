// The update worker thread and the watchdog that the main thread runs while
// the worker is busy. They meet only in the progress state.
#pragma once

#include <functional>

// Waits for the end of the update: 0 when it is done (percent above 99, or a
// passed check), the reported error code, or -10 after 601 one-second cycles
// without a new best percent (while a second stage runs, a new content of
// the rate file counts as progress too). The worker's final report ends a cycle's pause
// at once, so a ready verdict is not kept waiting for the next poll.
[[nodiscard]] int UPDATE_Watch();
// Same, with the one-second pause supplied by the caller (tests).
[[nodiscard]] int UPDATE_WatchWith(const std::function<void()>& sleep_one_second);

// Starts entry(arg) as a detached thread; 0, or -1.
[[nodiscard]] int UPDATE_StartThread(void* (*entry)(void*), void* arg);

// The worker thread body; para is the run's UPDATE_PARA_S, borrowed for the
// whole run. Ends by reporting through the progress state; returns null.
void* UPDATE_LoadUpdate(void* para);
