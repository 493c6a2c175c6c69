// The archive is read here rather than listed with "unzip -l": a listing is
// text meant for people (names with spaces or line ends are ambiguous in it)
// and shows the central directory only, while BusyBox unzip extracts by
// walking the local headers from the start of the file. So both are read:
// every central entry must point at the next local header in turn, with the
// same name, and no bytes may hide between them.
#include "oem/zip_names.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <cstdint>
#include <set>
#include <string_view>
#include <vector>

#include "sys/fd.h"
#include "sys/io.h"
#include "sys/path.h"

namespace oem {
namespace {

constexpr uint32_t kLocalSig = 0x04034b50;
constexpr uint32_t kCentralSig = 0x02014b50;
constexpr uint32_t kEndSig = 0x06054b50;
constexpr uint32_t kDescriptorSig = 0x08074b50;
constexpr std::size_t kLocalLen = 30;
constexpr std::size_t kCentralLen = 46;
constexpr std::size_t kEndLen = 22;
constexpr std::size_t kMaxComment = 0xffff;
constexpr uint16_t kFlagDescriptor = 0x8;

uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// A name that unpacks under `top`: relative, no "..", "." or empty component
// (but a folder's trailing "/"), no NUL. One spelling per path, so that two
// names never unpack to one file ("oem/x" and "oem/./x").
bool SafeName(std::string_view name, std::string_view top) {
    if (name.size() <= top.size() || name.substr(0, top.size()) != top) {
        return name == top.substr(0, top.size() - 1) || name == top;
    }
    if (name.find('\0') != std::string_view::npos) return false;
    std::size_t pos = 0;
    while (pos <= name.size()) {
        std::size_t end = name.find('/', pos);
        if (end == std::string_view::npos) end = name.size();
        const std::string_view part = name.substr(pos, end - pos);
        if (part == ".." || part == "." || (part.empty() && end != name.size())) return false;
        pos = end + 1;
    }
    return true;
}

}  // namespace

int CheckZipNames(const char* path, const char* top, std::string& why) {
    sys::UniqueFd fd(::open(sys::DevicePath(path).c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        why = "cannot be read";
        return -1;
    }
    return CheckZipRegion(fd.get(), 0, static_cast<uint64_t>(st.st_size), top, why, nullptr);
}

int CheckZipRegion(int fd, uint64_t base, uint64_t size, const char* top, std::string& why,
                   std::vector<std::string>* names) {
    if (size < kEndLen) {
        why = "is not a zip archive";
        return -1;
    }
    // The end record sits in the last 22 + 65535 bytes; take the last match.
    const uint64_t tail_len = size < kEndLen + kMaxComment ? size : kEndLen + kMaxComment;
    std::vector<uint8_t> tail(tail_len);
    if (sys::PreadFull(fd, tail.data(), tail.size(), base + size - tail_len) !=
        static_cast<ssize_t>(tail.size())) {
        why = "cannot be read";
        return -1;
    }
    std::size_t end_at = tail.size() - kEndLen + 1;
    do {
        --end_at;
    } while (end_at > 0 && Le32(&tail[end_at]) != kEndSig);
    if (Le32(&tail[end_at]) != kEndSig) {
        why = "is not a zip archive";
        return -1;
    }
    const uint8_t* end = &tail[end_at];
    const uint16_t count = Le16(end + 10);
    const uint32_t cd_len = Le32(end + 12);
    const uint32_t cd_off = Le32(end + 16);
    const uint64_t end_pos = size - tail_len + end_at;
    if (Le16(end + 4) != 0 || Le16(end + 6) != 0 || Le16(end + 8) != count ||
        static_cast<uint64_t>(cd_off) + cd_len != end_pos) {
        why = "has a directory this unpacker does not accept (split, zip64 or misplaced)";
        return -1;
    }
    std::vector<uint8_t> cd(cd_len);
    if (sys::PreadFull(fd, cd.data(), cd.size(), base + cd_off) !=
        static_cast<ssize_t>(cd.size())) {
        why = "cannot be read";
        return -1;
    }
    std::size_t at = 0;
    std::set<std::string_view> seen;  // names point into `cd`
    uint64_t next_local = 0;          // where the streaming unzip expects the next local header
    for (unsigned i = 0; i < count; ++i) {
        if (cd.size() - at < kCentralLen || Le32(&cd[at]) != kCentralSig) {
            why = "has a broken central directory";
            return -1;
        }
        const uint8_t* e = &cd[at];
        const uint16_t flags = Le16(e + 8);
        const uint32_t csize = Le32(e + 20);
        const std::size_t name_len = Le16(e + 28);
        const std::size_t rest = name_len + Le16(e + 30) + Le16(e + 32);
        const uint32_t mode = Le32(e + 38) >> 16;
        const uint32_t local_off = Le32(e + 42);
        if (cd.size() - at - kCentralLen < rest) {
            why = "has a broken central directory";
            return -1;
        }
        const std::string_view name(reinterpret_cast<const char*>(e + kCentralLen), name_len);
        why = "holds the name \"" + std::string(name.substr(0, 200)) + "\"";
        if (!SafeName(name, top)) {
            why += " outside " + std::string(top);
            return -1;
        }
        if (!seen.insert(name).second) {
            why += " twice (unzip would stop to ask which to keep)";
            return -1;
        }
        // Archives made off Unix carry no type (0); links and device nodes are refused.
        const uint32_t type = mode & S_IFMT;
        if (type != 0 && type != S_IFREG && type != S_IFDIR) {
            why += type == S_IFLNK ? ", a symbolic link" : ", a special file";
            return -1;
        }
        uint8_t local[kLocalLen];
        if (local_off != next_local ||
            sys::PreadFull(fd, local, kLocalLen, base + local_off) != kLocalLen ||
            Le32(local) != kLocalSig || Le16(local + 26) != name_len) {
            why += " whose local header disagrees with the directory";
            return -1;
        }
        std::vector<char> local_name(name_len);
        if (sys::PreadFull(fd, local_name.data(), name_len, base + local_off + kLocalLen) !=
                static_cast<ssize_t>(name_len) ||
            std::string_view(local_name.data(), name_len) != name) {
            why += " whose local header disagrees with the directory";
            return -1;
        }
        next_local =
            static_cast<uint64_t>(local_off) + kLocalLen + name_len + Le16(local + 28) + csize;
        if ((flags & kFlagDescriptor) != 0) {
            uint8_t sig[4];
            const bool has_sig =
                sys::PreadFull(fd, sig, 4, base + next_local) == 4 && Le32(sig) == kDescriptorSig;
            next_local += has_sig ? 16 : 12;
        }
        if (names != nullptr) names->emplace_back(name);
        at += kCentralLen + rest;
    }
    if (at != cd.size() || next_local != cd_off) {
        why = "has data outside its directory";
        return -1;
    }
    why.clear();
    return 0;
}

}  // namespace oem
