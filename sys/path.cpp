#include "sys/path.h"

namespace sys {
namespace {
std::string& Root() {
    static std::string root;
    return root;
}
}  // namespace

std::string DevicePath(const char* path) {
    if (Root().empty()) return path;
    return Root() + path;
}

void SetDeviceRoot(const std::string& root) {
    Root() = root;
}

}  // namespace sys
