#include "tools/pack/reader.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <vector>

#include "oem/zip_names.h"
#include "package/crypto.h"
#include "package/integrity.h"
#include "sys/io.h"
#include "tools/pack/custom.h"

namespace pack {
namespace {

struct Role {
    const char* word;
    uint32_t position;
    const char* label;
};
constexpr Role kRoles[] = {
    {"uboot", 0, "u-boot"},          {"config", 2, "config"}, {"uimage", 3, "uImage"},
    {"program", 4, "program"},       {"web", 5, "web files"}, {"updater", 8, "updater"},
    {"custom", 10, "customisation"}, {"mdc", 11, "mdc.bin"},
};

const char* RoleLabel(uint32_t position) {
    for (const Role& r : kRoles) {
        if (r.position == position) return r.label;
    }
    return "-";
}

std::vector<std::string> SplitBoards(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t d = text.find('$', start);
        out.push_back(text.substr(start, d == std::string::npos ? std::string::npos : d - start));
        if (d == std::string::npos) break;
        start = d + 1;
    }
    return out;
}

enum class SigState { NotChecked, Unsigned, Ok, Failed, KeyProblem };

enum class FullState { NotChecked, Absent, Ok, Bad };

struct CheckOutcome {
    int crc_result = 0;
    uint32_t counted_crc = 0;
    SigState sig = SigState::NotChecked;
    std::string sig_detail;
    FullState full = FullState::NotChecked;
    std::string full_detail;
};

// CRC, legacy digest and whole-file hash in one pass; the two signatures
// are then judged with the given public key.
CheckOutcome CheckPackage(int fd, const Package& p, const std::string& pub_key) {
    CheckOutcome c;
    uint8_t digsig[kDigestSize] = {};
    bool have_digsig = false;
    const auto* block = reinterpret_cast<const uint8_t*>(p.bytes_front.data() + kSigOffset);
    if (!pub_key.empty()) {
        bool zero = true;
        for (size_t i = 0; i < kSigSize; ++i) zero = zero && block[i] == 0;
        const pkg::RsaOutcome r = pkg::RecoverDigest(pub_key.c_str(), block, digsig);
        if (zero) {
            c.sig = SigState::Unsigned;
        } else if (r.stage == pkg::RsaStage::Open) {
            c.sig = SigState::KeyProblem;
            c.sig_detail = "cannot open public key '" + pub_key + "'";
        } else if (r.stage == pkg::RsaStage::Read) {
            c.sig = SigState::KeyProblem;
            c.sig_detail = "public key '" + pub_key + "' does not hold N and E";
        } else if (r.stage != pkg::RsaStage::Ok) {
            c.sig = SigState::Failed;
            c.sig_detail = "the signature block does not open with this key";
        } else {
            have_digsig = true;
        }
    }
    pkg::ScanOptions options;
    options.crc = true;
    options.digest = true;
    options.zero_signature = true;
    options.full = true;
    pkg::ScanResult scan;
    const bool scanned = pkg::ScanPackage(fd, options, &scan) == 0;
    c.counted_crc = scan.crc;
    c.crc_result = scanned && scan.crc == p.head.HeadCrc ? 0 : -1;
    if (have_digsig) {
        const bool same = scanned && std::memcmp(digsig, scan.digest, kDigestSize) == 0;
        c.sig = same ? SigState::Ok : SigState::Failed;
        if (!same) c.sig_detail = "the digest of the package differs from the signed one";
    }
    if (c.sig != SigState::NotChecked && c.sig != SigState::KeyProblem) {
        pkg::FullSignature full = pkg::FullSignature::Bad;
        const pkg::RsaOutcome r = pkg::CheckFullSignature(pub_key.c_str(), block, scan.full, &full);
        c.full = !scanned                             ? FullState::Bad
                 : full == pkg::FullSignature::Ok     ? FullState::Ok
                 : full == pkg::FullSignature::Absent ? FullState::Absent
                                                      : FullState::Bad;
        if (r.stage == pkg::RsaStage::Ok && full == pkg::FullSignature::Absent &&
            !pkg::FullSignatureAbsent(block, pkg::kFullSigMaxBytes)) {
            c.full_detail =
                "the tail holds none for this key (padding, a spoilt one, or a "
                "key over 2048 bits)";
        }
    }
    return c;
}

const char* FullText(FullState s) {
    switch (s) {
        case FullState::NotChecked:
            return "not checked";
        case FullState::Absent:
            return "absent";
        case FullState::Ok:
            return "ok";
        case FullState::Bad:
            return "bad";
    }
    return "";
}

const char* SigText(SigState s) {
    switch (s) {
        case SigState::NotChecked:
            return "not checked (no public key given)";
        case SigState::Unsigned:
            return "FAILED: the package is not signed (zero signature block)";
        case SigState::Ok:
            return "ok";
        case SigState::Failed:
            return "FAILED";
        case SigState::KeyProblem:
            return "not checked";
    }
    return "";
}

std::string Printable(const char* text) {
    std::string out;
    for (const char* p = text; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char b[5];
            std::snprintf(b, sizeof(b), "\\x%02x", c);
            out += b;
        }
    }
    return out;
}

// The verdict of 'verify': the CRC holds, the legacy signature holds (or was
// not asked for), and the full signature is not bad.
bool Passes(const CheckOutcome& c) {
    return c.crc_result == 0 && (c.sig == SigState::Ok || c.sig == SigState::NotChecked) &&
           c.full != FullState::Bad;
}

// Why the first bytes of a file are not a package's, or "": a package opens
// with its head, text of at least four "$"-separated fields ended by a NUL
// within 256 bytes, and its board list, text ended by a NUL within 1280.
std::string NotAPackage(const std::string& front) {
    auto text = [&front](size_t at, size_t size, const char* what) -> std::string {
        const size_t end = front.find('\0', at);
        if (end == std::string::npos || end >= at + size) {
            return std::string("its ") + what + " is not text ended within " +
                   std::to_string(size) + " bytes";
        }
        for (size_t i = at; i < end; ++i) {
            const auto c = static_cast<unsigned char>(front[i]);
            if (c < 0x20 || c >= 0x7F) return std::string("its ") + what + " is not text";
        }
        return "";
    };
    std::string why = text(0, kHeadSize, "head");
    if (why.empty()) why = text(kHeadSize, kCompatSize, "board list");
    if (why.empty() &&
        std::count(front.begin(),
                   front.begin() + static_cast<std::ptrdiff_t>(::strnlen(front.data(), kHeadSize)),
                   '$') < 3) {
        why = "its head lacks the fields up to the CRC";
    }
    return why;
}

// The result lines of both 'info' and 'verify'.
void WriteSignatures(const CheckOutcome& c, std::FILE* out) {
    std::fprintf(out, "legacy signature: %s%s%s\n", SigText(c.sig),
                 c.sig_detail.empty() ? "" : ": ", c.sig_detail.c_str());
    std::fprintf(out, "full signature: %s%s%s\n", FullText(c.full),
                 c.full_detail.empty() ? "" : ": ", c.full_detail.c_str());
}

}  // namespace

std::optional<uint64_t> ParseNumber(const std::string& text, uint64_t max) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return std::nullopt;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0' || v > max) return std::nullopt;
    return v;
}

std::optional<uint32_t> ParsePosition(const std::string& text) {
    for (const Role& r : kRoles) {
        if (text == r.word) return r.position;
    }
    auto v = ParseNumber(text, UINT32_MAX - 1);
    if (!v) return std::nullopt;
    return static_cast<uint32_t>(*v);
}

int ReadPackage(int fd, const std::string& path, Package* p, std::string* why) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *why = "'" + path + "' is not a regular file";
        return -1;
    }
    p->size = static_cast<uint64_t>(st.st_size);
    p->bytes_front.assign(kBodyOffset, '\0');
    const ssize_t n = pkg::PreadFull(fd, p->bytes_front.data(), kBodyOffset, 0);
    if (n < static_cast<ssize_t>(kTableOffset)) {
        *why = "'" + path + "' is too short for a package (" + std::to_string(p->size) + " bytes)";
        return -1;
    }
    const std::string wrong = NotAPackage(p->bytes_front);
    if (!wrong.empty()) {
        *why = "'" + path + "' is not an update package (" + wrong + ")";
        return -1;
    }
    int ret = pkg::ReadTable(fd, &p->count, &p->table);
    if (ret != 0) {
        *why = ret == -5 ? "'" + path + "' has a sub-image count of 0"
                         : "cannot read the table of '" + path + "'";
        return -1;
    }
    char head[kHeadSize];
    std::memcpy(head, p->bytes_front.data(), kHeadSize);
    UPDATE_SplitHead(head, &p->head);
    p->boards.assign(p->bytes_front.data() + kHeadSize,
                     ::strnlen(p->bytes_front.data() + kHeadSize, kCompatSize));
    return 0;
}

int WriteInfo(int fd, const std::string& path, const Package& p, const std::string& pub_key,
              std::FILE* out) {
    std::fprintf(out, "Package %s (%" PRIu64 " bytes)\n\n", path.c_str(), p.size);
    std::fprintf(out, "Head (%u field%s):\n", p.head.FieldCount, p.head.FieldCount == 1 ? "" : "s");
    std::fprintf(out, "  inner version   %s\n", Printable(p.head.InnerVersion).c_str());
    std::fprintf(out, "  unused field    %s\n", Printable(p.head.Unused).c_str());
    std::fprintf(out, "  public version  %s\n", Printable(p.head.PubVersion).c_str());
    std::fprintf(out, "  head CRC        %s (0x%08X)\n", Printable(p.head.HeadCrcText).c_str(),
                 p.head.HeadCrc);
    std::fprintf(out, "  key suffix      %s\n", Printable(p.head.KeySuffix).c_str());
    std::fprintf(out, "  encrypt flag    %s\n",
                 p.head.EncryptFlag[0] == '\0'
                     ? "(none: plain package)"
                     : (Printable(p.head.EncryptFlag) + (std::strcmp(p.head.EncryptFlag, "ECI") == 0
                                                             ? " (enciphered sub-images)"
                                                             : " (plain package)"))
                           .c_str());
    if (std::strcmp(p.head.EncryptFlag, "ECI") == 0) {
        std::fprintf(out,
                     "  encryption      sampled AES-256 (16 of every 272 bytes) of the u-boot,\n"
                     "                  uImage and program sub-images; keys from the head\n");
    }

    const std::vector<std::string> boards = SplitBoards(p.boards);
    std::fprintf(out, "\nBoards (%zu):\n", p.boards.empty() ? 0 : boards.size());
    for (size_t i = 0; i < boards.size() && !p.boards.empty(); ++i) {
        std::fprintf(out, "  %-20s%s\n", Printable(boards[i].c_str()).c_str(),
                     i >= 64 ? "  (past the 64th entry: never examined)" : "");
    }

    std::fprintf(out, "\nSub-images (table of %u):\n", p.count);
    std::fprintf(out, "  %-4s %-14s %-24s %10s %10s %10s\n", "pos", "role", "name", "length",
                 "offset", "flash");
    for (uint32_t i = 0; i < p.table.size(); ++i) {
        const SubImageEntry& e = p.table[i];
        char name[sizeof(e.FileName) + 1] = {};
        std::memcpy(name, e.FileName, sizeof(e.FileName));
        if (e.FileLength == 0) {
            std::fprintf(out, "  %-4u %-14s (absent)\n", i, RoleLabel(i));
            continue;
        }
        const bool past_end = static_cast<uint64_t>(e.FileOffset) + e.FileLength > p.size;
        std::fprintf(out, "  %-4u %-14s %-24s %10u %10u 0x%08X%s\n", i, RoleLabel(i),
                     Printable(name).c_str(), e.FileLength, e.FileOffset, e.FlashOffset,
                     past_end ? "  (runs past the end of the file)" : "");
    }
    if (p.table.size() < p.count) {
        std::fprintf(out, "  positions %u to %u are never read (absent)\n", p.table.size(),
                     p.count - 1);
    }

    // The members of the customisation archive, when the package carries one.
    const uint32_t custom = *ParsePosition("custom");
    if (custom < p.table.size() && p.table[custom].FileLength != 0) {
        const SubImageEntry& e = p.table[custom];
        if (static_cast<uint64_t>(e.FileOffset) + e.FileLength <= p.size)
            ShowCustom(fd, e.FileOffset, e.FileLength, out);
    }
    const CheckOutcome c = CheckPackage(fd, p, pub_key);
    std::fprintf(out, "\nCRC:       ");
    if (c.crc_result == 0) {
        std::fprintf(out, "ok (0x%08X)\n", c.counted_crc);
    } else {
        std::fprintf(out, "FAILED (head says %u, counted %u)\n", p.head.HeadCrc, c.counted_crc);
    }
    WriteSignatures(c, out);
    return std::ferror(out) != 0 ? -1 : 0;
}

int Verify(int fd, const Package& p, const std::string& pub_key, std::FILE* out) {
    const CheckOutcome c = CheckPackage(fd, p, pub_key);
    if (out != nullptr) {
        if (c.crc_result == 0) {
            std::fprintf(out, "CRC: ok\n");
        } else {
            std::fprintf(out, "CRC: FAILED (head says %u, counted %u)\n", p.head.HeadCrc,
                         c.counted_crc);
        }
        WriteSignatures(c, out);
    }
    return Passes(c) ? 0 : 1;
}

int EntryToExtract(const Package& p, uint32_t pos, SubImageEntry* entry, std::string* why) {
    if (pos >= p.count) {
        *why = "position " + std::to_string(pos) + " lies past the table of " +
               std::to_string(p.count) + " entries";
        return -1;
    }
    if (pos >= p.table.size() || p.table[pos].FileLength == 0) {
        *why = "the entry at position " + std::to_string(pos) + " is absent";
        return -1;
    }
    *entry = p.table[pos];
    return 0;
}

namespace {

using Json = nlohmann::ordered_json;

const char* SigWord(SigState s) {
    switch (s) {
        case SigState::NotChecked:
        case SigState::KeyProblem:
            return "not-checked";
        case SigState::Unsigned:
            return "unsigned";
        case SigState::Ok:
            return "ok";
        case SigState::Failed:
            return "bad";
    }
    return "";
}

const char* FullWord(FullState s) {
    return s == FullState::NotChecked ? "not-checked" : FullText(s);
}

// The SHA-256 of [offset, offset + length) of fd in hexadecimal, or "" when
// the region cannot be read whole.
std::string RegionSha256(int fd, uint64_t offset, uint64_t length) {
    pkg::crypto::Sha256 sha;
    constexpr size_t kChunk = 262144;
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[kChunk]);
    if (!buf || !sha.Begin()) return "";
    while (length > 0) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(length, kChunk));
        if (pkg::PreadFull(fd, buf.get(), want, static_cast<off_t>(offset)) !=
                static_cast<ssize_t>(want) ||
            !sha.Update(buf.get(), want)) {
            return "";
        }
        offset += want;
        length -= want;
    }
    uint8_t digest[pkg::crypto::kSha256Size];
    if (!sha.Finish(digest)) return "";
    std::string hex;
    for (uint8_t b : digest) {
        char h[3];
        std::snprintf(h, sizeof(h), "%02x", b);
        hex += h;
    }
    return hex;
}

Json MakeJson(int fd, const std::string& name, const Package& p, const std::string& pub_key,
              const CheckOutcome& c) {
    Json j;
    j["schema"] = "update-pack/1";
    j["file"] = Printable(name.c_str());
    j["size"] = p.size;
    j["head"] = {{"fields", p.head.FieldCount},
                 {"inner_version", Printable(p.head.InnerVersion)},
                 {"unused", Printable(p.head.Unused)},
                 {"pub_version", Printable(p.head.PubVersion)},
                 {"head_crc", p.head.HeadCrc},
                 {"key_suffix", Printable(p.head.KeySuffix)},
                 {"encrypt_flag", Printable(p.head.EncryptFlag)}};
    Json boards = Json::array();
    if (!p.boards.empty()) {
        for (const std::string& b : SplitBoards(p.boards)) boards.push_back(Printable(b.c_str()));
    }
    j["boards"] = boards;
    Json entries = Json::array();
    for (uint32_t i = 0; i < p.table.size(); ++i) {
        const SubImageEntry& e = p.table[i];
        char entry_name[sizeof(e.FileName) + 1] = {};
        std::memcpy(entry_name, e.FileName, sizeof(e.FileName));
        const bool present = e.FileLength != 0;
        const bool inside = static_cast<uint64_t>(e.FileOffset) + e.FileLength <= p.size;
        Json sha = nullptr;
        if (present && inside) {
            const std::string hex = RegionSha256(fd, e.FileOffset, e.FileLength);
            if (!hex.empty()) sha = hex;
        }
        entries.push_back({{"position", i},
                           {"role", RoleLabel(i)},
                           {"name", Printable(entry_name)},
                           {"present", present},
                           {"length", e.FileLength},
                           {"offset", e.FileOffset},
                           {"flash_offset", e.FlashOffset},
                           {"inside_file", inside},
                           {"sha256", sha}});
    }
    j["table"] = {{"count", p.count}, {"read", p.table.size()}, {"entries", entries}};
    const bool eci = std::strcmp(p.head.EncryptFlag, "ECI") == 0;
    j["encryption"] = {{"enciphered", eci},
                       {"scheme", eci ? Json("sampled-aes-256") : Json(nullptr)},
                       {"confidential", false}};
    const uint32_t custom = *ParsePosition("custom");
    Json cj = nullptr;
    if (custom < p.table.size() && p.table[custom].FileLength != 0) {
        const SubImageEntry& e = p.table[custom];
        std::string why;
        std::vector<std::string> names;
        const bool ok =
            static_cast<uint64_t>(e.FileOffset) + e.FileLength <= p.size &&
            oem::CheckZipRegion(fd, e.FileOffset, e.FileLength, "oem/", why, &names) == 0;
        Json members = Json::array();
        for (const std::string& n : names) members.push_back(Printable(n.c_str()));
        cj = {{"length", e.FileLength},
              {"accepted", ok},
              {"reason", ok ? Json(nullptr) : Json(why.empty() ? "runs past the end" : why)},
              {"members", members}};
    }
    j["custom"] = cj;
    j["crc"] = {
        {"ok", c.crc_result == 0}, {"expected", p.head.HeadCrc}, {"counted", c.counted_crc}};
    j["signatures"] = {{"key", pub_key.empty() ? Json(nullptr) : Json(Printable(pub_key.c_str()))},
                       {"legacy", {{"result", SigWord(c.sig)}, {"detail", c.sig_detail}}},
                       {"full", {{"result", FullWord(c.full)}, {"detail", c.full_detail}}}};
    j["verdict"] = Passes(c) ? "pass" : "fail";
    return j;
}

}  // namespace

int WriteJson(int fd, const std::string& name, const Package& p, const std::string& pub_key,
              std::FILE* out) {
    const CheckOutcome c = CheckPackage(fd, p, pub_key);
    const int verdict = Passes(c) ? 0 : 1;
    if (out == nullptr) return verdict;
    try {
        const std::string text =
            MakeJson(fd, name, p, pub_key, c).dump(2, ' ', true, Json::error_handler_t::replace);
        if (std::fprintf(out, "%s\n", text.c_str()) < 0 || std::fflush(out) != 0) return -1;
    } catch (const std::exception&) {  // out of memory
        return -1;
    }
    return verdict;
}

int CopyEntry(int fd, const std::string& name, const Package& p, const SubImageEntry& e, int out_fd,
              std::string* why) {
    const uint64_t end = static_cast<uint64_t>(e.FileOffset) + e.FileLength;
    auto truncated = [&]() {
        *why = "the sub-image (bytes " + std::to_string(e.FileOffset) + " to " +
               std::to_string(end) + ") runs past the end of '" + name + "' (" +
               std::to_string(p.size) + " bytes): the package is truncated";
        return 1;
    };
    if (end > p.size) return truncated();
    constexpr size_t kChunk = 262144;
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[kChunk]);
    if (!buf) {
        *why = "out of memory";
        return -1;
    }
    uint64_t at = e.FileOffset;
    while (at < end) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(end - at, kChunk));
        const ssize_t n = pkg::PreadFull(fd, buf.get(), want, static_cast<off_t>(at));
        if (n < 0) {
            *why = "cannot read '" + name + "': " + std::strerror(errno);
            return -1;
        }
        if (static_cast<size_t>(n) != want) return truncated();
        if (!sys::WriteFull(out_fd, buf.get(), want)) {
            *why = std::string("cannot write the sub-image: ") + std::strerror(errno);
            return -1;
        }
        at += want;
    }
    return 0;
}

}  // namespace pack
