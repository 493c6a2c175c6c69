#include "tools/pack/reader.h"

#include <sys/stat.h>

#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "package/integrity.h"
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
            return "not checked (no --pub-key given)";
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
    const bool sig_ok =
        (c.sig == SigState::Ok || c.sig == SigState::NotChecked) && c.full != FullState::Bad;
    if (out != nullptr) {
        if (c.crc_result == 0) {
            std::fprintf(out, "CRC: ok\n");
        } else {
            std::fprintf(out, "CRC: FAILED (head says %u, counted %u)\n", p.head.HeadCrc,
                         c.counted_crc);
        }
        WriteSignatures(c, out);
    }
    return c.crc_result == 0 && sig_ok ? 0 : 1;
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

}  // namespace pack
