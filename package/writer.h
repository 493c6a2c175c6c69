// The producer side of the package format: lays out a package from a head, a
// board list and sub-image files, fills in its CRC and signs it. Used by the
// update-pack tool and by tests that need real packages.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "package/format.h"

namespace pkg {

struct PackImage {
    uint32_t position = 0;      // table position
    std::string path;           // file with the sub-image's bytes
    uint32_t flash_offset = 0;  // FlashOffset of the entry
    std::string name;           // FileName of the entry (empty: the file's base name)
};

struct PackPlan {
    // Head fields in order (the CRC field is computed).
    std::string inner_version;
    std::string unused;
    std::string pub_version;
    std::string key_suffix;
    std::string encrypt_flag;
    std::vector<std::string> boards;
    std::vector<PackImage> images;
    uint32_t count = 0;       // table entries; 0: the highest image position + 1
    std::string private_key;  // key file ("pri_key" format); empty: no signature
    // With a key: also the full signature (a key of at most 2048 bits);
    // false leaves the signature block's tail zero (legacy signature only).
    bool full_signature = true;
    // Encipher the sub-images at these table positions (u-boot, uImage,
    // program) in the sampled form and mark the head "ECI". A region whose
    // last group reaches past its end is followed by padding, so no group
    // ever reaches into another sub-image.
    bool encrypt = false;
    uint32_t encrypt_positions[3] = {0, 3, 4};
    // Progress of the long steps ("copy", "digest"); may be empty.
    std::function<void(const char* step, uint64_t done, uint64_t total)> progress;
};

struct PackReport {
    uint32_t head_crc = 0;
    uint8_t digest[kDigestSize] = {};
    bool is_signed = false;
    bool full_signed = false;
    size_t key_bytes = 0;
    uint64_t size = 0;
    std::vector<std::string> warnings;
};

// The key material of a head: the first 64 characters of inner version +
// public version + key suffix.
std::string KeyMaterialOf(const PackPlan& plan);

// Checks the package plan against the format's limits; empty when it fits, else the reason.
std::string CheckPackPlan(const PackPlan& plan);
// The head text for given fields and CRC.
std::string HeadText(const PackPlan& plan, uint32_t head_crc);
// Writes the package to out_path (through a temporary file renamed at the
// end). 0, or -1 with the reason in *error.
[[nodiscard]] int WritePackage(const PackPlan& plan, const std::string& out_path,
                               PackReport* report, std::string* error);
// The same into an open descriptor (read-write, seekable, empty) that the
// caller owns; out_name names it in *error.
[[nodiscard]] int WritePackageTo(const PackPlan& plan, int out_fd, const std::string& out_name,
                                 PackReport* report, std::string* error);

}  // namespace pkg
