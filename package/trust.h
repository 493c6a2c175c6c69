// The recorder's trust set: the public keys whose signatures it accepts.
//
// "/.pub_key" (the one key older updaters know) and every "/.pub_keys/*.pub",
// in that order and then by name; each file holds N and E in the key-file
// format. The signature check is on while any of these files exists, and a
// package passes when its signatures hold with any key of the set.
//
// A package changes the set through its customisation archive:
// "oem/pub_keys/NAME.pub" installs as "/.pub_keys/NAME.pub", and each
// "oem/pub_keys/removed/*.pub" removes every trusted key with the same N and
// E, wherever it is kept. The changes are taken only from a package whose
// full signature held; every key named must read; a change that would leave
// the recorder without a key is refused whole. Keys are added before any is
// removed, every file is replaced by a rename, and "/.pub_key" is never
// deleted: when its key goes, the first remaining key of "/.pub_keys" takes
// its place (an older updater reads only "/.pub_key" and would switch the
// check off without it). A power cut at any point thus leaves a set that
// holds a key of the new set.
#pragma once

#include <string>
#include <vector>

namespace pkg {

inline constexpr const char* kTrustDir = "/.pub_keys";
inline constexpr const char* kTrustSuffix = ".pub";
// Where the customisation archive's key changes are unpacked.
inline constexpr const char* kTrustChangesDir = "/tmp/oem/pub_keys";
inline constexpr const char* kTrustRemovedDir = "/tmp/oem/pub_keys/removed";

// The device paths of the trust set's key files, in the order above.
std::vector<std::string> TrustedKeyPaths();
// N and E of the public key file at host_path, as lower-case hexadecimal
// without leading zeros, when the key reads and is usable (at most 4096 bits).
bool ReadPublicKey(const std::string& host_path, std::string* n, std::string* e);
// "sha256:" and the first 16 hexadecimal digits of the SHA-256 of the key's
// modulus (big-endian bytes), the name the log gives a key; "unreadable"
// for a file that does not read as a key.
std::string KeyFingerprint(const std::string& host_path);

// The key (device path) that recovered the latest digest of this process.
void NoteDigestKey(const std::string& device_path);
std::string DigestKey();

// Applies the key changes unpacked under kTrustChangesDir, by the rules
// above: 0 when there were none or all were made, -1 when they were refused
// or a file could not be written (logged either way).
[[nodiscard]] int ApplyTrustChanges();

}  // namespace pkg
