#include "package/writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <set>

#include "package/decrypt.h"
#include "package/integrity.h"
#include "sys/fd.h"

namespace pkg {
namespace {

// Highest table size the tool writes; the format itself has no bound.
constexpr uint32_t kMaxCount = 4096;
constexpr size_t kBoardsExamined = 64;
constexpr size_t kBoardChars = 19;

std::string ErrnoText() {
    return std::strerror(errno);
}

std::string BaseName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string CheckField(const char* what, const std::string& value, size_t max) {
    if (value.size() > max) {
        return std::string(what) + " is " + std::to_string(value.size()) +
               " characters long; the head keeps at most " + std::to_string(max);
    }
    if (value.find('$') != std::string::npos) {
        return std::string(what) + " must not contain '$' (it separates the head fields)";
    }
    if (value.find('\0') != std::string::npos) return std::string(what) + " contains a NUL byte";
    return std::string();
}

uint32_t TableCount(const PackPlan& plan) {
    if (plan.count != 0) return plan.count;
    uint32_t highest = 0;
    for (const PackImage& image : plan.images) highest = std::max(highest, image.position + 1);
    return std::max<uint32_t>(highest, 1);
}

std::string BoardText(const PackPlan& plan) {
    std::string text;
    for (size_t i = 0; i < plan.boards.size(); ++i) {
        if (i != 0) text += '$';
        text += plan.boards[i];
    }
    return text;
}

class TempFile {
  public:
    explicit TempFile(const std::string& target) : path_(target + ".tmp-XXXXXX") {
        fd_.reset(::mkostemp(path_.data(), O_CLOEXEC));
        if (!fd_) path_.clear();
    }
    ~TempFile() {
        if (!path_.empty()) ::unlink(path_.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    int fd() const { return fd_.get(); }
    const std::string& path() const { return path_; }
    bool Commit(const std::string& target) {
        if (::fchmod(fd_.get(), 0644) != 0 || ::fsync(fd_.get()) != 0) return false;
        fd_.reset();
        if (::rename(path_.c_str(), target.c_str()) != 0) return false;
        path_.clear();
        return true;
    }

  private:
    std::string path_;
    sys::UniqueFd fd_;
};

// Which encrypted role the image at a position has: 0 u-boot, 1 uImage,
// 2 program, -1 none.
int EncryptRole(const PackPlan& plan, uint32_t position) {
    if (!plan.encrypt) return -1;
    for (int r = 0; r < 3; ++r) {
        if (plan.encrypt_positions[r] == position) return r;
    }
    return -1;
}

// Groups enciphered in an image of size bytes, and the padding its last
// group needs past the image.
uint64_t EncryptGroups(int role, uint64_t size) {
    if (role == 2) return size / kGroupBytes;  // the program's tail stays plain
    return FullGroups(0, size, UINT64_MAX, kSampleStride);
}
uint64_t EncryptPad(int role, uint64_t size) {
    if (role < 0 || role == 2) return 0;
    return RegionReach(0, size, UINT64_MAX, kSampleStride) - size;
}

}  // namespace

std::string KeyMaterialOf(const PackPlan& plan) {
    return (plan.inner_version + plan.pub_version + plan.key_suffix).substr(0, kKeyBlockSize);
}

std::string CheckPackPlan(const PackPlan& plan) {
    std::string err;
    if (!(err = CheckField("inner version", plan.inner_version, kInnerVersionChars)).empty() ||
        !(err = CheckField("unused field", plan.unused, kUnusedChars)).empty() ||
        !(err = CheckField("public version", plan.pub_version, kPubVersionChars)).empty() ||
        !(err = CheckField("key suffix", plan.key_suffix, kKeySuffixChars)).empty() ||
        !(err = CheckField("encrypt flag", plan.encrypt_flag, kEncryptFlagChars)).empty()) {
        return err;
    }
    if (HeadText(plan, 0xFFFFFFFFu).size() >= kHeadSize) {
        return "the head fields together exceed " + std::to_string(kHeadSize - 1) + " characters";
    }
    if (plan.boards.size() > kBoardsExamined) {
        return "the board list has " + std::to_string(plan.boards.size()) +
               " entries; the updater examines only the first " + std::to_string(kBoardsExamined);
    }
    for (const std::string& board : plan.boards) {
        if (board.empty()) return "empty board type in the board list";
        if (!(err = CheckField("board type", board, kCompatSize)).empty()) return err;
    }
    if (BoardText(plan).size() >= kCompatSize) {
        return "the board list exceeds " + std::to_string(kCompatSize - 1) + " characters";
    }
    const uint32_t count = TableCount(plan);
    if (count > kMaxCount) return "a table of more than " + std::to_string(kMaxCount) + " entries";
    std::set<uint32_t> seen;
    for (const PackImage& image : plan.images) {
        if (image.position >= count) {
            return "image position " + std::to_string(image.position) + " lies past the table of " +
                   std::to_string(count) + " entries";
        }
        if (image.position >= kMaxTableEntries) {
            return "image position " + std::to_string(image.position) +
                   " is never read by the updater (last position " +
                   std::to_string(kMaxTableEntries - 1) + ")";
        }
        if (!seen.insert(image.position).second) {
            return "two images at position " + std::to_string(image.position);
        }
        const std::string name = image.name.empty() ? BaseName(image.path) : image.name;
        if (name.size() >= sizeof(SubImageEntry::FileName)) {
            return "image name '" + name + "' is longer than 127 characters";
        }
    }
    if (plan.encrypt) {
        if (!plan.encrypt_flag.empty() && plan.encrypt_flag != "ECI") {
            return "--encrypt marks the head \"ECI\"; it cannot carry the flag '" +
                   plan.encrypt_flag + "'";
        }
        const uint32_t* at = plan.encrypt_positions;
        if (at[0] == at[1] || at[0] == at[2] || at[1] == at[2]) {
            return "the u-boot, uImage and program positions of --encrypt must differ";
        }
        for (int r = 0; r < 3; ++r) {
            if (at[r] >= count || at[r] >= kMaxTableEntries) {
                return "--encrypt: the table of " + std::to_string(count) +
                       " entries does not reach position " + std::to_string(at[r]) +
                       ", so the updater could not decipher the package";
            }
        }
    }
    return std::string();
}

std::string HeadText(const PackPlan& plan, uint32_t head_crc) {
    return plan.inner_version + "$" + plan.unused + "$" + plan.pub_version + "$" +
           std::to_string(head_crc) + "$" + plan.key_suffix + "$" +
           (plan.encrypt ? std::string("ECI") : plan.encrypt_flag);
}

int WritePackageTo(const PackPlan& plan, int out_fd, const std::string& out_name,
                   PackReport* report, std::string* error) {
    *report = PackReport{};
    auto fail = [&](std::string why) {
        *error = std::move(why);
        return -1;
    };
    std::string why = CheckPackPlan(plan);
    if (!why.empty()) return fail(why);
    for (const std::string& board : plan.boards) {
        if (board.size() > kBoardChars) {
            report->warnings.push_back("board type '" + board + "' is longer than " +
                                       std::to_string(kBoardChars) +
                                       " characters; only the first 19 are compared");
        }
    }

    // Layout: the sub-images follow the table, from byte 4096 on, in table order.
    const uint32_t count = TableCount(plan);
    const uint64_t table_end = kTableOffset + static_cast<uint64_t>(count) * kEntrySize;
    const uint64_t data_start = std::max<uint64_t>(kBodyOffset, table_end);
    std::vector<PackImage> images = plan.images;
    std::sort(images.begin(), images.end(),
              [](const PackImage& a, const PackImage& b) { return a.position < b.position; });
    std::vector<SubImageEntry> table(count);
    std::vector<uint64_t> sizes;
    std::vector<uint64_t> pads;
    uint64_t offset = data_start;
    uint64_t total = 0;
    for (const PackImage& image : images) {
        struct stat st {};
        if (::stat(image.path.c_str(), &st) != 0) {
            return fail("cannot read image '" + image.path + "': " + ErrnoText());
        }
        if (!S_ISREG(st.st_mode)) return fail("image '" + image.path + "' is not a regular file");
        const auto size = static_cast<uint64_t>(st.st_size);
        if (size == 0) {
            report->warnings.push_back("image '" + image.path +
                                       "' is empty; the updater reads its entry as absent");
        }
        if (size > UINT32_MAX || offset > UINT32_MAX) {
            return fail("image '" + image.path + "' does not fit the 32-bit fields of the table");
        }
        SubImageEntry& entry = table[image.position];
        const std::string name = image.name.empty() ? BaseName(image.path) : image.name;
        std::memcpy(entry.FileName, name.data(), name.size());
        entry.FileLength = static_cast<uint32_t>(size);
        entry.FileOffset = static_cast<uint32_t>(offset);
        entry.FlashOffset = image.flash_offset;
        sizes.push_back(size);
        pads.push_back(EncryptPad(EncryptRole(plan, image.position), size));
        offset += size + pads.back();
        total += size;
    }

    // Everything before the first sub-image: head (filled in last), board
    // list, zero signature block, count, table, zero padding.
    std::vector<uint8_t> front(data_start, 0);
    const std::string boards = BoardText(plan);
    std::memcpy(front.data() + kHeadSize, boards.data(), boards.size());
    EncodeU32(front.data() + kCountOffset, count);
    for (uint32_t i = 0; i < count; ++i) {
        EncodeEntry(table[i], front.data() + kTableOffset + static_cast<size_t>(i) * kEntrySize);
    }
    uint32_t crc =
        UPDATE_PacketCrc(front.data() + kBodyOffset, front.size() - kBodyOffset, 0xFFFFFFFFu);
    if (!WriteFull(out_fd, front.data(), front.size())) {
        return fail("cannot write '" + out_name + "': " + ErrnoText());
    }

    // Whole groups per chunk, so enciphering never splits a group; one group
    // more of room for the padding after the last one.
    constexpr size_t kChunk = kPackageChunkSize / kGroupBytes * kGroupBytes;
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[kChunk + kGroupBytes]);
    if (!buf) return fail("out of memory");
    uint8_t key_block[kKeyBlockSize];
    KeyBlock(KeyMaterialOf(plan).c_str(), key_block);
    uint64_t copied = 0;
    for (size_t i = 0; i < images.size(); ++i) {
        sys::UniqueFd in(::open(images[i].path.c_str(), O_RDONLY | O_CLOEXEC));
        if (!in) return fail("cannot open image '" + images[i].path + "': " + ErrnoText());
        const int role = EncryptRole(plan, images[i].position);
        uint64_t groups = role >= 0 ? EncryptGroups(role, sizes[i]) : 0;
        uint8_t key[kAesKeyBytes];
        KeyFold(key_block, key);
        uint64_t left = sizes[i];
        while (left > 0) {
            const size_t want = static_cast<size_t>(std::min<uint64_t>(left, kChunk));
            const ssize_t n = ReadFull(in.get(), buf.get(), want);
            if (n < 0) return fail("cannot read image '" + images[i].path + "': " + ErrnoText());
            if (static_cast<size_t>(n) != want) {
                return fail("image '" + images[i].path + "' changed size while being packed");
            }
            size_t len = want;
            if (want == left) {  // the last chunk carries the padding
                std::memset(buf.get() + want, 0, static_cast<size_t>(pads[i]));
                len += static_cast<size_t>(pads[i]);
            }
            // The last chunk holds all remaining groups; the others whole ones.
            const uint64_t now =
                want == left ? groups : std::min<uint64_t>(groups, len / kGroupBytes);
            if (now > 0 && !CipherGroups(buf.get(), now, kSampleStride, key, true)) {
                return fail("enciphering image '" + images[i].path + "' failed");
            }
            groups -= now;
            crc = UPDATE_PacketCrc(buf.get(), len, crc);
            if (!WriteFull(out_fd, buf.get(), len)) {
                return fail("cannot write '" + out_name + "': " + ErrnoText());
            }
            left -= want;
            copied += want;
            if (plan.progress) plan.progress("copy", copied, total);
        }
        std::memset(key, 0, sizeof(key));
    }
    std::memset(key_block, 0, sizeof(key_block));

    // The head with the body CRC.
    const std::string head = HeadText(plan, crc);
    uint8_t head_bytes[kHeadSize] = {};
    head.copy(reinterpret_cast<char*>(head_bytes), head.size());  // NUL padding stays
    if (::pwrite(out_fd, head_bytes, sizeof(head_bytes), 0) != static_cast<ssize_t>(kHeadSize)) {
        return fail("cannot write '" + out_name + "': " + ErrnoText());
    }
    report->head_crc = crc;
    report->size = offset;

    // The digest over the finished file with its (still zero) signature block.
    ScanOptions options;
    options.digest = true;
    options.zero_signature = true;
    options.full = !plan.private_key.empty() && plan.full_signature;
    if (plan.progress) {
        options.progress = [&plan](uint64_t done, uint64_t all) {
            plan.progress("digest", done, all);
        };
    }
    ScanResult scan;
    if (ScanPackage(out_fd, options, &scan) != 0) {
        return fail("cannot read back '" + out_name + "' for its digest");
    }
    std::memcpy(report->digest, scan.digest, kDigestSize);

    if (!plan.private_key.empty()) {
        uint8_t block[kSigSize] = {};
        size_t written = 0;
        const RsaOutcome outcome =
            SignDigest(plan.private_key.c_str(), scan.digest, block, sizeof(block), &written);
        switch (outcome.stage) {
            case RsaStage::Ok:
                break;
            case RsaStage::Open:
                return fail("cannot open private key '" + plan.private_key + "'");
            case RsaStage::Read:
                return fail("private key '" + plan.private_key +
                            "' does not hold eight hexadecimal numbers (N, E, D, P, Q, DP, DQ, "
                            "QP), one per line");
            case RsaStage::Seed:
            case RsaStage::Operation:
                return fail("signing with '" + plan.private_key + "' failed (code " +
                            std::to_string(outcome.code) +
                            "); is it a valid RSA key of at most 4096 bits?");
        }
        if (options.full) {
            if (written > kFullSigMaxBytes) {
                return fail("a key of " + std::to_string(written * 8) +
                            " bits leaves no room for the full signature (at most 2048 bits; "
                            "--legacy-only signs without it)");
            }
            const RsaOutcome full = SignFull(plan.private_key.c_str(), scan.full, block);
            if (full.stage != RsaStage::Ok) {
                return fail("full signature with '" + plan.private_key + "' failed (code " +
                            std::to_string(full.code) + ")");
            }
            report->full_signed = true;
        }
        if (::pwrite(out_fd, block, sizeof(block), kSigOffset) !=
            static_cast<ssize_t>(sizeof(block))) {
            return fail("cannot write '" + out_name + "': " + ErrnoText());
        }
        report->is_signed = true;
        report->key_bytes = written;
    }

    return 0;
}

int WritePackage(const PackPlan& plan, const std::string& out_path, PackReport* report,
                 std::string* error) {
    TempFile out(out_path);
    if (out.path().empty()) {
        *error = "cannot create '" + out_path + "': " + ErrnoText();
        return -1;
    }
    if (WritePackageTo(plan, out.fd(), out.path(), report, error) != 0) return -1;
    if (!out.Commit(out_path)) {
        *error = "cannot write '" + out_path + "': " + ErrnoText();
        return -1;
    }
    return 0;
}

}  // namespace pkg
