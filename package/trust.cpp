#include "package/trust.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "package/crypto.h"
#include "package/format.h"
#include "package/integrity.h"
#include "sys/fd.h"
#include "sys/log.h"
#include "sys/path.h"

namespace pkg {
namespace {

namespace fs = std::filesystem;
constexpr const char* kLogUnit = sys::kUnitUpdate;

std::mutex g_key_mutex;
std::string g_digest_key;

std::string Normalised(const std::string& hex) {
    std::string out;
    for (char c : hex) {
        if (out.empty() && c == '0') continue;
        out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out.empty() ? "0" : out;
}

// The names of "*.pub" files of a directory (device path), sorted; names
// outside [A-Za-z0-9._-] are left out.
std::vector<std::string> KeyNames(const std::string& device_dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(sys::DevicePath(device_dir.c_str()), ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const size_t suffix = std::char_traits<char>::length(kTrustSuffix);
        if (name.size() <= suffix ||
            name.compare(name.size() - suffix, suffix, kTrustSuffix) != 0 || name[0] == '.' ||
            !it->is_regular_file(ec)) {
            continue;
        }
        const bool plain = std::all_of(name.begin(), name.end(), [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '_' ||
                   c == '-';
        });
        if (plain) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

struct Key {
    std::string path;  // device path
    std::string text;  // the file as it is, copied as it is
    std::string n, e;
    bool readable = false;
    bool Same(const Key& other) const {
        return readable && other.readable && n == other.n && e == other.e;
    }
};

// Key files hold two lines of at most 4096 bits each.
constexpr size_t kKeyFileMax = 4096;

Key LoadKey(const std::string& device_path) {
    Key key{device_path, {}, {}, {}, false};
    const std::string path = sys::DevicePath(device_path.c_str());
    key.readable = ReadPublicKey(path, &key.n, &key.e);
    sys::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    char buf[kKeyFileMax];
    const ssize_t n = fd ? ReadFull(fd.get(), buf, sizeof buf) : -1;
    if (n <= 0 || static_cast<size_t>(n) == sizeof buf) {
        key.readable = false;
    } else {
        key.text.assign(buf, static_cast<size_t>(n));
    }
    return key;
}

std::string Fingerprint(const Key& key) {
    return KeyFingerprint(sys::DevicePath(key.path.c_str()));
}

// Writes text to the device path through a temporary file renamed over it.
bool ReplaceFile(const std::string& device_path, const std::string& text) {
    const std::string path = sys::DevicePath(device_path.c_str());
    const std::string tmp = path + ".new";
    sys::UniqueFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd || ::fchmod(fd.get(), 0644) != 0 || !WriteFull(fd.get(), text.data(), text.size()) ||
        ::fsync(fd.get()) != 0) {
        (void)::unlink(tmp.c_str());
        return false;
    }
    fd.reset();
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        (void)::unlink(tmp.c_str());
        return false;
    }
    return true;
}

void SyncDir(const std::string& device_dir) {
    sys::UniqueFd dir(
        ::open(sys::DevicePath(device_dir.c_str()).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir) (void)::fsync(dir.get());
}

}  // namespace

std::vector<std::string> TrustedKeyPaths() {
    std::vector<std::string> paths;
    if (::access(sys::DevicePath(kPublicKeyPath).c_str(), F_OK) == 0) {
        paths.emplace_back(kPublicKeyPath);
    }
    for (const std::string& name : KeyNames(kTrustDir)) {
        paths.push_back(std::string(kTrustDir) + "/" + name);
    }
    return paths;
}

bool ReadPublicKey(const std::string& host_path, std::string* n, std::string* e) {
    sys::UniqueFile file(std::fopen(host_path.c_str(), "re"));
    if (!file || ReadKeyNumber(file.get(), n) != 0 || ReadKeyNumber(file.get(), e) != 0) {
        return false;
    }
    crypto::Rsa rsa;
    if (rsa.SetPublic(*n, *e) != 0 || rsa.KeyBytes() == 0 || rsa.KeyBytes() > kSigSize) {
        return false;
    }
    *n = Normalised(*n);
    *e = Normalised(*e);
    return true;
}

std::string KeyFingerprint(const std::string& host_path) {
    std::string n;
    std::string e;
    if (!ReadPublicKey(host_path, &n, &e)) return "unreadable";
    if (n.size() % 2 != 0) n.insert(0, "0");
    std::vector<uint8_t> bytes(n.size() / 2);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(std::stoul(n.substr(2 * i, 2), nullptr, 16));
    }
    uint8_t hash[crypto::kSha256Size];
    if (!crypto::Sha256Digest(bytes.data(), bytes.size(), hash)) return "unreadable";
    std::string out = "sha256:";
    char hex[3];
    for (size_t i = 0; i < 8; ++i) {
        std::snprintf(hex, sizeof hex, "%02x", hash[i]);
        out += hex;
    }
    return out;
}

void NoteDigestKey(const std::string& device_path) {
    const std::lock_guard<std::mutex> lock(g_key_mutex);
    g_digest_key = device_path;
}

std::string DigestKey() {
    const std::lock_guard<std::mutex> lock(g_key_mutex);
    return g_digest_key;
}

int ApplyTrustChanges() {
    std::error_code ec;
    if (!fs::is_directory(sys::DevicePath(kTrustChangesDir), ec)) return 0;
    if (!UPDATE_FullSignatureHeld()) {
        ULOG("Trusted key changes refused: the package's full signature did not hold.\n");
        return -1;
    }
    std::vector<Key> added;
    std::vector<Key> removed;
    for (auto [dir, list] : {std::pair{kTrustChangesDir, &added}, {kTrustRemovedDir, &removed}}) {
        for (const std::string& name : KeyNames(dir)) {
            list->push_back(LoadKey(std::string(dir) + "/" + name));
            if (!list->back().readable) {
                ULOG("Trusted key changes refused: %s/%s is not a usable key.\n", dir,
                     name.c_str());
                return -1;
            }
        }
    }
    auto is_removed = [&](const Key& key) {
        return std::any_of(removed.begin(), removed.end(),
                           [&](const Key& r) { return r.Same(key); });
    };
    // The set as it will be: the keys kept, the ones added (an added name
    // replaces the file of that name).
    std::vector<Key> current;
    for (const std::string& path : TrustedKeyPaths()) current.push_back(LoadKey(path));
    std::vector<Key> to_add;
    for (const Key& key : added) {
        if (!is_removed(key)) to_add.push_back(key);
    }
    auto added_name = [&](const Key& key) {
        for (const Key& a : to_add) {
            if (fs::path(a.path).filename() == fs::path(key.path).filename() &&
                key.path != kPublicKeyPath) {
                return true;
            }
        }
        return false;
    };
    size_t remaining = to_add.size();
    for (const Key& key : current) {
        if (key.readable && !is_removed(key) && !added_name(key)) ++remaining;
    }
    if (remaining == 0) {
        ULOG("Trusted key changes refused: the recorder would trust no key.\n");
        return -1;
    }

    if (!to_add.empty() && ::mkdir(sys::DevicePath(kTrustDir).c_str(), 0755) != 0 &&
        errno != EEXIST) {
        ULOG("Trusted key changes failed: cannot make %s.\n", kTrustDir);
        return -1;
    }
    int ret = 0;
    for (const Key& key : to_add) {
        const std::string path =
            std::string(kTrustDir) + "/" + fs::path(key.path).filename().string();
        if (!ReplaceFile(path, key.text)) {
            ULOG("Trusted key %s could not be written.\n", path.c_str());
            return -1;
        }
        ULOG("Trusted key added: %s (%s).\n", path.c_str(), Fingerprint(key).c_str());
    }
    SyncDir(kTrustDir);
    for (const Key& key : current) {
        if (!is_removed(key)) continue;
        const std::string fp = Fingerprint(key);
        if (key.path != kPublicKeyPath) {
            if (::unlink(sys::DevicePath(key.path.c_str()).c_str()) != 0) ret = -1;
            ULOG("Trusted key removed: %s (%s).\n", key.path.c_str(), fp.c_str());
            continue;
        }
        // The first key of "/.pub_keys" that stays takes the place of "/.pub_key".
        std::string next;
        for (const std::string& path : TrustedKeyPaths()) {
            const Key candidate = LoadKey(path);
            if (path != kPublicKeyPath && candidate.readable && !is_removed(candidate)) {
                next = path;
                if (!ReplaceFile(kPublicKeyPath, candidate.text)) {
                    ULOG("Trusted key %s could not be written.\n", kPublicKeyPath);
                    return -1;
                }
                SyncDir("/");
                (void)::unlink(sys::DevicePath(path.c_str()).c_str());
                break;
            }
        }
        ULOG("Trusted key removed: %s (%s); %s takes its place.\n", kPublicKeyPath, fp.c_str(),
             next.c_str());
    }
    SyncDir(kTrustDir);
    return ret;
}

}  // namespace pkg
