// The hand-over path: a command line the updater does not understand is
// passed on to the update program carried by the package.
#pragma once

struct UPDATE_PARA_S;

// Checks the request (protocol and remote address) and hands the unknown
// words over. Returns 0 on success or the failing step's code.
[[nodiscard]] int UPDATE_LoadByArgs(UPDATE_PARA_S* para, const char* unknown);
