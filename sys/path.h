// The device's fixed paths ("/tmp/update_rate.log", "/proc/board_type", ...)
// are opened through DevicePath, which prefixes an optional root. The updater
// never sets the root; unit tests point it at a scratch directory so that
// they never touch the host's own /tmp, /var or /proc files.
#pragma once

#include <string>

namespace sys {

std::string DevicePath(const char* path);

// Sets the root prefix ("" restores the real paths).
void SetDeviceRoot(const std::string& root);

}  // namespace sys
