// update-sweep: the corruption sweep. Makes deterministic corrupted variants
// of good signed packages and runs each through the updater's own check path
// (head and signature block, sub-image table, board and version rules, CRC
// and digest), as a normal and as a forced ("-f": no CRC, no version rule)
// update. Every variant must be refused; an accepted one is explained or the
// sweep fails:
//   unchanged        the variant has the package's bytes;
//   unread-signature only signature-block bytes past the legacy signature
//                    differ (a full signature spoilt there reads as absent:
//                    the content is still the signed one);
//   xor-fold         the variant's 262144-byte chunks are the package's, with
//                    chunks swapped or a pair of equal chunks added: the
//                    known weakness of the digest's XOR fold. "dup-pair-crc"
//                    adds a pair made to keep the CRC, "swap-pair-crc" swaps
//                    two chunks and adds a pair that restores the CRC: a
//                    normal update accepts both (--expect-fold requires it).
//                    Only for packages without a full signature: one that
//                    carries it must refuse them all.
//
//   update-sweep --pub-key FILE --board TYPE --local-pub VERSION
//                [--local-inner VERSION] [--variants N] [--seed S]
//                [--work DIR] [--expect-fold] [--emit DIR] PACKAGE...
// --emit writes every variant a normal update refuses to DIR/P-N.bin and a
// line "P-N.bin CLASS STEP" to DIR/index, for runs of the real updater.
// Exit 0 when every acceptance is explained (with --expect-fold: and a normal
// update accepted an XOR-fold variant), 1 otherwise, 2 wrong usage.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "base/request.h"
#include "fetch/fetch.h"
#include "package/crypto.h"
#include "package/format.h"
#include "package/integrity.h"
#include "package/version.h"
#include "sys/fd.h"
#include "sys/path.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t kChunk = kPackageChunkSize;
constexpr uint32_t kSweepType = 0x3f;  // a second stage's "all": every rule applies

enum Kind {
    kBitFlip,
    kByteRun,
    kTruncate,
    kExtend,
    kSwapChunks,
    kSwapRegions,
    kDupPair,
    kDupPairCrc,
    kSwapPairCrc,
    kDupChunk,
    kCount,
    kHeadField,
    kForgedCrc,
    kTableEntry,
    kSignature,
    kKinds
};
constexpr const char* kKindNames[kKinds] = {
    "bit-flip",    "byte-run",   "truncate",     "extend",        "swap-chunks",
    "swap-region", "dup-pair",   "dup-pair-crc", "swap-pair-crc", "dup-chunk",
    "count",       "head-field", "forged-crc",   "table-entry",   "signature"};

struct Options {
    std::string pub_key, board, local_pub, local_inner = "QTPXV300R006B13", work;
    unsigned variants = 10000;
    uint64_t seed = 1;
    bool expect_fold = false;
    std::string emit;
    std::vector<std::string> packages;
};

struct Device {
    VersionFileValues local{};
    std::string board, path;
    size_t key_bytes = 512;
};

Bytes ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

bool WriteAll(const std::string& path, const Bytes& b) {
    sys::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    return fd && sys::WriteFull(fd.get(), b.data(), b.size());
}

// The check path of the updater on the device file, as a normal or a forced
// update: "accepted" or the step that refused.
const char* Check(const Device& dev, bool force) {
    char head[kImageHeadSize] = {};
    char compat[kCompatListSize] = {};
    uint8_t digsig[kDigestSize] = {};
    if (UPDATE_GetImageHead(kTransLocal, 0, kSweepType, "", "", "", "/tmp/Program.bin", "", head,
                            compat, digsig) != 0) {
        return "signature-block";
    }
    const std::string path = sys::DevicePath("/tmp/Program.bin");
    FileTable table = UPDATE_GetFileStruct(path.c_str());
    if (!table) return "table";
    uint32_t crc = 0;
    switch (pkg::CheckUpdateValidFor(force ? 1 : 0, 0, kSweepType, head, compat, dev.local,
                                     dev.board.c_str(), &crc)) {
        case 0:
            break;
        case kBoardIncompatible:
            return "board";
        case kCrossGradeForbidden:
            return "cross-grade";
        default:
            return "version";
    }
    if (force) return UPDATE_CheckDigSig(path.c_str(), digsig) == 0 ? "accepted" : "signature";
    int crc_result = 0, sig_result = 0;
    (void)UPDATE_CheckCrcAndDigSig(crc, path.c_str(), digsig, &crc_result, &sig_result);
    if (crc_result != 0) return "crc";
    return sig_result == 0 ? "accepted" : "signature";
}

// The digests of a file's chunks (signature block read as zero), each kept
// once per odd number of occurrences: equal sets give equal XOR folds.
std::vector<std::string> OddChunks(const Bytes& b) {
    std::map<std::string, int> seen;
    for (size_t at = 0; at < b.size(); at += kChunk) {
        Bytes chunk(b.begin() + static_cast<long>(at),
                    b.begin() + static_cast<long>(std::min(b.size(), at + kChunk)));
        if (at == 0) {
            for (size_t i = kSigOffset; i < std::min(chunk.size(), kSigOffset + kSigSize); ++i) {
                chunk[i] = 0;
            }
        }
        uint8_t d[32];
        if (!pkg::crypto::Sha256Digest(chunk.data(), chunk.size(), d)) return {};
        ++seen[std::string(reinterpret_cast<char*>(d), sizeof d)];
    }
    std::vector<std::string> odd;
    for (const auto& [digest, n] : seen) {
        if (n % 2 == 1) odd.push_back(digest);
    }
    return odd;
}

// Why an accepted variant is harmless, or "UNEXPLAINED". A package with a
// full signature binds every byte but the unused middle of the signature
// block, so the XOR fold explains nothing there.
const char* Explain(const Bytes& good, const Bytes& v, const Device& dev) {
    if (v == good) return "unchanged";
    const bool full = good.size() >= kSigOffset + kSigSize &&
                      !pkg::FullSignatureAbsent(good.data() + kSigOffset, dev.key_bytes);
    if (v.size() == good.size()) {
        size_t first = 0;
        while (first < v.size() && v[first] == good[first]) ++first;
        size_t last = v.size();
        while (last > first && v[last - 1] == good[last - 1]) --last;
        // Past the legacy signature only the full one is read: spoilt, it
        // reads as absent, and the signed content is the package's own.
        if (first >= kSigOffset + dev.key_bytes && last <= kSigOffset + kSigSize) {
            return "unread-signature";
        }
    }
    if (full) return "UNEXPLAINED";
    return OddChunks(v) == OddChunks(good) ? "xor-fold" : "UNEXPLAINED";
}

// The head's "$" fields with field i replaced; false when it would not fit.
bool SetHeadField(Bytes& v, size_t index, const std::string& value) {
    std::string head(reinterpret_cast<const char*>(v.data()),
                     ::strnlen(reinterpret_cast<const char*>(v.data()), kHeadSize));
    std::vector<std::string> fields(1);
    for (char c : head) {
        if (c == '$') {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    if (index >= fields.size()) return false;
    fields[index] = value;
    std::string joined;
    for (size_t i = 0; i < fields.size(); ++i) joined += (i != 0 ? "$" : "") + fields[i];
    if (joined.size() >= kHeadSize) return false;
    std::memset(v.data(), 0, kHeadSize);
    std::memcpy(v.data(), joined.data(), joined.size());
    return true;
}

// x with map(x) == target for a GF(2)-linear map of 32-bit words.
bool SolveLinear(const std::function<uint32_t(uint32_t)>& map, uint32_t target, uint32_t* x) {
    uint32_t basis[32] = {}, how[32] = {};
    for (int i = 0; i < 32; ++i) {
        uint32_t v = map(1U << i), c = 1U << i;
        for (int b = 31; b >= 0 && v != 0; --b) {
            if (((v >> b) & 1U) == 0) continue;
            if (basis[b] == 0) {
                basis[b] = v;
                how[b] = c;
                break;
            }
            v ^= basis[b];
            c ^= how[b];
        }
    }
    uint32_t r = 0;
    for (int b = 31; b >= 0; --b) {
        if (((target >> b) & 1U) == 0) continue;
        if (basis[b] == 0) return false;
        target ^= basis[b];
        r ^= how[b];
    }
    *x = r;
    return true;
}

// Appends X X (one chunk each) to a package of whole chunks, X random but
// for its last 4 bytes, chosen so that the CRC from byte 4096 becomes c. CRC registers are linear:
// crc(r, A B) = shift(crc(r, A), |B|) ^ crc(0, B).
bool AppendCrcPair(Bytes& v, uint32_t c, std::mt19937_64& rng) {
    if (v.size() % kChunk != 0 || v.size() <= kBodyOffset) return false;
    const uint32_t now =
        pkg::PacketCrcTable(v.data() + kBodyOffset, v.size() - kBodyOffset, 0xFFFFFFFF);
    const uint32_t want_pair = c ^ pkg::CrcShift(now, 2 * kChunk);  // crc(0, X X)
    uint32_t want_x = 0, w = 0;
    if (!SolveLinear([](uint32_t x) { return pkg::CrcShift(x, kChunk) ^ x; }, want_pair, &want_x)) {
        return false;
    }
    Bytes x(kChunk);
    for (auto& b : x) b = static_cast<uint8_t>(rng());
    const uint32_t head = pkg::CrcShift(pkg::PacketCrcTable(x.data(), kChunk - 4, 0), 4);
    auto tail_crc = [](uint32_t t) {
        const uint8_t b[4] = {static_cast<uint8_t>(t >> 24), static_cast<uint8_t>(t >> 16),
                              static_cast<uint8_t>(t >> 8), static_cast<uint8_t>(t)};
        return pkg::PacketCrcTable(b, 4, 0);
    };
    if (!SolveLinear(tail_crc, want_x ^ head, &w)) return false;
    for (int i = 0; i < 4; ++i) x[kChunk - 4 + i] = static_cast<uint8_t>(w >> (24 - 8 * i));
    v.insert(v.end(), x.begin(), x.end());
    v.insert(v.end(), x.begin(), x.end());
    return pkg::PacketCrcTable(v.data() + kBodyOffset, v.size() - kBodyOffset, 0xFFFFFFFF) == c;
}

class Mutator {
  public:
    Mutator(const Bytes& good, const Bytes& other, uint64_t seed)
        : good_(good), other_(other), rng_(seed) {}

    Bytes Make(Kind kind) {
        Bytes v = good_;
        const size_t n = v.size();
        switch (kind) {
            case kBitFlip:
                v[Pos(n)] ^= static_cast<uint8_t>(1U << Below(8));
                break;
            case kByteRun: {
                const size_t at = Pos(n), len = std::min(n - at, 1 + Below(64));
                const int fill = static_cast<int>(Below(3));
                for (size_t i = at; i < at + len; ++i) {
                    v[i] = fill == 0 ? 0 : fill == 1 ? 0xFF : static_cast<uint8_t>(Below(256));
                }
                break;
            }
            case kTruncate: {
                constexpr size_t kEdges[] = {0, 255, 256, 1536, 2048, 2052, 4095, 4096};
                v.resize(Below(2) == 0 ? kEdges[Below(8)] : Below(n));
                break;
            }
            case kExtend: {
                const size_t len = 1 + Below(Below(2) == 0 ? 16 : 300000);
                for (size_t i = 0; i < len; ++i)
                    v.push_back(Below(2) == 0 ? 0 : static_cast<uint8_t>(Below(256)));
                break;
            }
            case kSwapChunks: {
                // Two different whole chunks past the first.
                const size_t chunks = n / kChunk;
                if (chunks < 3) return Make(kSwapRegions);
                const size_t a = 1 + Below(chunks - 1);
                size_t b = 1 + Below(chunks - 2);
                if (b >= a) ++b;
                std::swap_ranges(v.begin() + static_cast<long>(a * kChunk),
                                 v.begin() + static_cast<long>((a + 1) * kChunk),
                                 v.begin() + static_cast<long>(b * kChunk));
                break;
            }
            case kSwapRegions: {
                const size_t len = 1 + Below(std::min<size_t>(4096, n / 2));
                const size_t a = Below(n / 2 - len + 1), b = n / 2 + Below(n - n / 2 - len + 1);
                std::swap_ranges(v.begin() + static_cast<long>(a),
                                 v.begin() + static_cast<long>(a + len),
                                 v.begin() + static_cast<long>(b));
                break;
            }
            case kDupPair:
            case kDupChunk: {
                // Copies of a whole chunk at the end (a pair cancels in the fold).
                const size_t chunks = n / kChunk;
                const size_t c = chunks > 1 ? 1 + Below(chunks - 1) : 0;
                const Bytes chunk(good_.begin() + static_cast<long>(c * kChunk),
                                  good_.begin() + static_cast<long>(std::min(n, (c + 1) * kChunk)));
                for (int k = 0; k < (kind == kDupPair ? 2 : 1); ++k)
                    v.insert(v.end(), chunk.begin(), chunk.end());
                break;
            }
            case kDupPairCrc:
            case kSwapPairCrc: {
                // The package's CRC kept by a pair; with chunks swapped first.
                const uint32_t c =
                    pkg::PacketCrcTable(v.data() + kBodyOffset, n - kBodyOffset, 0xFFFFFFFF);
                if (kind == kSwapPairCrc) v = Make(kSwapChunks);
                if (!AppendCrcPair(v, c, rng_)) return Make(kDupPair);
                break;
            }
            case kCount: {
                const uint32_t count = pkg::DecodeU32(v.data() + kCountOffset);
                const uint32_t forged[] = {0,
                                           1,
                                           count - 1,
                                           count + 1,
                                           kMaxTableEntries,
                                           kMaxTableEntries + 1,
                                           0xFFFFFFFF,
                                           static_cast<uint32_t>(rng_())};
                pkg::EncodeU32(v.data() + kCountOffset, forged[Below(8)]);
                break;
            }
            case kHeadField: {
                const int how = static_cast<int>(Below(3));
                if (how == 0) {
                    v[Below(kHeadSize)] = static_cast<uint8_t>(32 + Below(95));
                } else if (how == 1) {
                    constexpr const char* kValues[] = {"V9.99.99",    "",  "QTCXV500R002B70",
                                                       "99999999999", "$", "ECI"};
                    if (!SetHeadField(v, Below(6), kValues[Below(6)])) v[Below(kHeadSize)] ^= 1;
                } else {
                    for (size_t i = 0; i < kHeadSize; ++i) {
                        if (v[i] == '$' && Below(3) == 0) v[i] = '#';
                    }
                }
                break;
            }
            case kForgedCrc: {
                // A body byte changed and the head's CRC made to match it.
                v[kBodyOffset + Below(n - kBodyOffset)] ^= static_cast<uint8_t>(1 + Below(255));
                const uint32_t crc =
                    pkg::PacketCrcTable(v.data() + kBodyOffset, n - kBodyOffset, 0xFFFFFFFF);
                if (!SetHeadField(v, 3, std::to_string(crc))) v[0] ^= 1;
                break;
            }
            case kTableEntry: {
                const uint32_t count =
                    std::min(pkg::DecodeU32(v.data() + kCountOffset), kMaxTableEntries);
                uint8_t* e = v.data() + kTableOffset + kEntrySize * Below(std::max(count, 1U));
                const size_t field = 128 + 4 * Below(4);
                const uint32_t values[] = {0, 0xFFFFFFFF, static_cast<uint32_t>(n),
                                           static_cast<uint32_t>(n + 1),
                                           static_cast<uint32_t>(rng_())};
                if (Below(5) == 0) {
                    e[Below(128)] = static_cast<uint8_t>(Below(256));
                } else {
                    pkg::EncodeU32(e + field, values[Below(5)]);
                }
                break;
            }
            case kSignature: {
                uint8_t* s = v.data() + kSigOffset;
                switch (Below(5)) {
                    case 0:
                        s[Below(kSigSize)] ^= static_cast<uint8_t>(1U << Below(8));
                        break;
                    case 1:
                        std::memset(s, 0, kSigSize);
                        break;
                    case 2:
                        for (size_t i = 0; i < kSigSize; ++i) s[i] = static_cast<uint8_t>(rng_());
                        break;
                    case 3:
                        std::memcpy(s, other_.data() + kSigOffset, kSigSize);
                        break;
                    default:
                        std::memmove(s + 1, s, kSigSize - 1);
                        break;
                }
                break;
            }
            default:
                break;
        }
        return v;
    }

  private:
    size_t Below(size_t n) { return n == 0 ? 0 : static_cast<size_t>(rng_() % n); }
    // Half of the positions fall in the 4096 bytes of head, lists and table.
    size_t Pos(size_t n) { return Below(2) == 0 ? Below(std::min(n, kBodyOffset)) : Below(n); }

    const Bytes& good_;
    const Bytes& other_;
    std::mt19937_64 rng_;
};

int Usage() {
    std::fprintf(
        stderr,
        "usage: update-sweep --pub-key FILE --board TYPE --local-pub VERSION "
        "[--local-inner V] [--variants N] [--seed S] [--work DIR] [--expect-fold] [--emit DIR] "
        "PACKAGE...\n");
    return 2;
}

struct Tally {
    unsigned made = 0;
    std::map<std::string, unsigned> normal, forced;
};

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--pub-key")
            o.pub_key = next();
        else if (a == "--board")
            o.board = next();
        else if (a == "--local-pub")
            o.local_pub = next();
        else if (a == "--local-inner")
            o.local_inner = next();
        else if (a == "--variants")
            o.variants = static_cast<unsigned>(std::stoul(next()));
        else if (a == "--seed")
            o.seed = std::stoull(next());
        else if (a == "--work")
            o.work = next();
        else if (a == "--expect-fold")
            o.expect_fold = true;
        else if (a == "--emit")
            o.emit = next();
        else if (!a.empty() && a[0] == '-')
            return Usage();
        else
            o.packages.push_back(a);
    }
    if (o.pub_key.empty() || o.board.empty() || o.local_pub.empty() || o.packages.empty())
        return Usage();

    // The device: a root holding the public key; the variant is its "/tmp/Program.bin".
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path root =
        o.work.empty() ? fs::temp_directory_path() / ("update-sweep-" + std::to_string(::getpid()))
                       : fs::path(o.work);
    fs::create_directories(root / "tmp", ec);
    fs::copy_file(o.pub_key, root / ".pub_key", fs::copy_options::overwrite_existing, ec);
    if (ec)
        return std::fprintf(stderr, "update-sweep: %s: %s\n", o.pub_key.c_str(),
                            ec.message().c_str()),
               1;
    sys::SetDeviceRoot(root.string());
    Device dev;
    dev.board = o.board;
    dev.path = (root / "tmp/Program.bin").string();
    std::snprintf(dev.local.pub, sizeof dev.local.pub, "%s", o.local_pub.c_str());
    std::snprintf(dev.local.inn, sizeof dev.local.inn, "%s", o.local_inner.c_str());
    {
        sys::UniqueFile key(std::fopen(o.pub_key.c_str(), "re"));
        std::string hex;
        if (key && pkg::ReadKeyNumber(key.get(), &hex) == 0) {
            const size_t digits = hex.size() - std::min(hex.size(), hex.find_first_not_of('0'));
            dev.key_bytes = (digits + 1) / 2;
        }
    }

    // The checks' messages go to standard output: the report goes to the other stream.
    std::FILE* report = fdopen(::dup(STDOUT_FILENO), "w");
    if (report == nullptr || std::freopen("/dev/null", "w", stdout) == nullptr) return 1;

    std::FILE* index = nullptr;
    if (!o.emit.empty()) {
        fs::create_directories(o.emit, ec);
        index = std::fopen((o.emit + "/index").c_str(), "we");
        if (index == nullptr)
            return std::fprintf(report, "update-sweep: cannot write %s\n", o.emit.c_str()), 1;
    }
    std::vector<Bytes> goods;
    for (const std::string& p : o.packages) goods.push_back(ReadAll(p));
    bool ok = true, fold_seen = false;
    for (size_t p = 0; p < goods.size(); ++p) {
        const Bytes& good = goods[p];
        const char* as_is = WriteAll(dev.path, good) ? Check(dev, false) : "unwritable";
        if (std::strcmp(as_is, "accepted") != 0 || std::strcmp(Check(dev, true), "accepted") != 0) {
            std::fprintf(report, "update-sweep: %s is not accepted as it is (%s)\n",
                         o.packages[p].c_str(), as_is);
            return 1;
        }
        Mutator mutator(good, goods[(p + 1) % goods.size()], o.seed + p);
        std::vector<Tally> tally(kKinds);
        double check_seconds = 0;
        const auto start = std::chrono::steady_clock::now();
        for (unsigned i = 0; i < o.variants; ++i) {
            const auto kind = static_cast<Kind>(i % kKinds);
            const Bytes v = mutator.Make(kind);
            if (!WriteAll(dev.path, v)) return 1;
            const auto t0 = std::chrono::steady_clock::now();
            std::string verdict[2] = {Check(dev, false), Check(dev, true)};
            check_seconds +=
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            for (int f = 0; f < 2; ++f) {
                if (verdict[f] != "accepted") continue;
                verdict[f] = std::string("accepted:") + Explain(good, v, dev);
                if (verdict[f] == "accepted:UNEXPLAINED") {
                    ok = false;
                    const std::string keep = dev.path + ".unexplained." + std::to_string(i);
                    (void)WriteAll(keep, v);
                    std::fprintf(report, "UNEXPLAINED acceptance (%s, %s): variant %u kept as %s\n",
                                 kKindNames[kind], f != 0 ? "forced" : "normal", i, keep.c_str());
                }
                if (f == 0 && verdict[f] == "accepted:xor-fold") fold_seen = true;
            }
            if (!o.emit.empty() && verdict[0].rfind("accepted", 0) != 0) {
                const std::string name = std::to_string(p) + "-" + std::to_string(i) + ".bin";
                if (!WriteAll(o.emit + "/" + name, v)) return 1;
                std::fprintf(index, "%s %s %s\n", name.c_str(), kKindNames[kind],
                             verdict[0].c_str());
            }
            Tally& t = tally[kind];
            ++t.made;
            ++t.normal[verdict[0]];
            ++t.forced[verdict[1]];
        }
        const double total =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::fprintf(report, "package %s (%zu bytes), %u variants, seed %llu\n",
                     o.packages[p].c_str(), good.size(), o.variants,
                     static_cast<unsigned long long>(o.seed) + p);
        std::fprintf(report, "  %-13s %6s  %-44s %s\n", "class", "count", "normal update",
                     "forced update");
        auto line = [](const std::map<std::string, unsigned>& m) {
            std::string s;
            for (const auto& [k, n] : m) s += k + "=" + std::to_string(n) + " ";
            return s;
        };
        for (int k = 0; k < kKinds; ++k) {
            if (tally[k].made == 0) continue;
            std::fprintf(report, "  %-13s %6u  %-44s %s\n", kKindNames[k], tally[k].made,
                         line(tally[k].normal).c_str(), line(tally[k].forced).c_str());
        }
        std::fprintf(report, "  time per variant: %.3f ms (both checks %.3f ms)\n",
                     o.variants != 0 ? total * 1e3 / o.variants : 0.0,
                     o.variants != 0 ? check_seconds * 1e3 / o.variants : 0.0);
    }
    if (o.expect_fold && !fold_seen) {
        std::fprintf(report, "update-sweep: no normal update accepted an XOR-fold variant\n");
        ok = false;
    }
    std::fprintf(report, "%s\n", ok ? "every acceptance explained" : "FAILED");
    if (index != nullptr) std::fclose(index);
    if (o.work.empty()) fs::remove_all(root, ec);
    std::fclose(report);
    return ok ? 0 : 1;
}
