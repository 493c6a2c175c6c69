// The hand-over path: a command line the updater does not understand is
// passed on to the update program carried by the package.
#pragma once

struct UPDATE_PARA_S;

// Fetches the package, checks its CRC and signature, unpacks its update
// program to "/tmp/busybox" and runs it on the package with the request's
// words and the unknown words (each quoted for the shell, followed by one
// blank). Returns 0 on success or the failing step's code.
[[nodiscard]] int UPDATE_LoadByArgs(UPDATE_PARA_S* para, const char* unknown);
