// update-pack: the vendor side of the update package. Makes key pairs and
// packages, shows and verifies them, and copies sub-images out. The command
// table at the end holds one row per command with its options and help;
// cli.h parses them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "package/crypto.h"
#include "package/format.h"
#include "package/integrity.h"
#include "package/version.h"
#include "package/writer.h"
#include "sys/fd.h"
#include "sys/io.h"
#include "tools/pack/cli.h"
#include "tools/pack/custom.h"
#include "tools/pack/keyfile.h"
#include "tools/pack/keys.h"
#include "tools/pack/output.h"
#include "tools/pack/reader.h"
#include "tools/pack/sign.h"

#ifndef UPDATE_PACK_VERSION
#define UPDATE_PACK_VERSION "unknown"
#endif

namespace {

using pack::Args;
using pack::Fail;
using pack::kExitFailed;
using pack::kExitIo;
using pack::kExitOk;
using pack::kExitUsage;
using pack::ParseNumber;
using pack::ParsePosition;
using pack::Usage;

// A one-line progress bar, drawn only on a terminal.
class ProgressBar {
  public:
    explicit ProgressBar(bool enabled) : enabled_(enabled && ::isatty(STDOUT_FILENO) == 1) {}
    ~ProgressBar() { Finish(); }
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;
    void Update(const char* step, uint64_t done, uint64_t total) {
        if (!enabled_) return;
        if (step_ != step) {
            Finish();
            step_ = step;
            last_ = -1;
        }
        const int percent = total == 0 ? 100 : static_cast<int>(done * 100 / total);
        if (percent == last_) return;
        last_ = percent;
        constexpr int kWidth = 32;
        char bar[kWidth + 1];
        const int filled = percent * kWidth / 100;
        for (int i = 0; i < kWidth; ++i) bar[i] = i < filled ? '#' : '-';
        bar[kWidth] = '\0';
        std::printf("\r  %-7s [%s] %3d%%  %.1f/%.1f MiB", step, bar, percent,
                    static_cast<double>(done) / 1048576.0, static_cast<double>(total) / 1048576.0);
        std::fflush(stdout);
        drawn_ = true;
    }
    void Finish() {
        if (drawn_) {
            std::printf("\n");
            std::fflush(stdout);
        }
        drawn_ = false;
    }

  private:
    bool enabled_;
    std::string step_;
    int last_ = -1;
    bool drawn_ = false;
};

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// "" when path names a regular file (what an input of create must be).
std::string CheckInputFile(const char* what, const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return std::string(what) + " '" + path + "': " + std::strerror(errno);
    }
    if (!S_ISREG(st.st_mode)) return std::string(what) + " '" + path + "' is not a regular file";
    return "";
}

// ---- keygen

// The one modulus size the format carries with both signatures: the full
// signature has room for 2048 bits, and a shorter key is too weak to sign with.
constexpr uint64_t kKeyBits = 2048;

int Keygen(const Args& args) {
    if (!args.Plain().empty())
        return Usage("keygen", "unexpected argument '" + args.Plain()[0] + "'");
    auto bits = ParseNumber(args.Get("bits", std::to_string(kKeyBits)), UINT32_MAX);
    if (!bits || *bits != kKeyBits) {
        return Usage("keygen", "--bits " + args.Get("bits") +
                                   ": the package format carries 2048-bit keys only (a shorter "
                                   "key is weak, a longer one leaves no room for the full "
                                   "signature)");
    }
    auto exponent = ParseNumber(args.Get("exponent", "65537"), UINT32_MAX);
    if (!exponent || *exponent < 3 || *exponent % 2 == 0) {
        return Usage("keygen", "--exponent must be an odd number of at least 3");
    }
    const std::string dir = args.Get("dir", ".");
    const std::string pri = dir + "/" + args.Get("private", "pri_key");
    const std::string pub = dir + "/" + args.Get("public", "pub_key");
    if (pri == pub) return Usage("keygen", "the private and the public key file are the same");
    if (!args.Has("force")) {
        for (const std::string& p : {pri, pub}) {
            if (FileExists(p))
                return Fail("keygen", "'" + p + "' exists (use --force to replace it)");
        }
    }
    const std::string format = args.Get("format", "hex");
    if (format != "hex" && format != "pem") {
        return Usage("keygen", "--format is hex or pem, not '" + format + "'");
    }
    pkg::crypto::RsaKeyText key;
    int ret = pkg::crypto::RsaGenerate(static_cast<unsigned>(*bits),
                                       static_cast<unsigned>(*exponent), &key);
    if (ret != 0) return Fail("keygen", "key generation failed (code " + std::to_string(ret) + ")");
    if (format == "pem") {
        // The device reads the public key in hex: that file stays as it is.
        std::string why;
        ret = pkg::WriteKeyFiles(key, pri.c_str(), pub.c_str());
        if (ret == 0 && !pack::WritePemKeys(key, pri, pub + ".pem", &why)) {
            return Fail("keygen", why, kExitIo);
        }
        for (std::string& number : key) std::fill(number.begin(), number.end(), '\0');
        if (ret == 0) {
            std::printf(
                "wrote %s (private, PEM, keep it safe), %s (public: install as "
                "/.pub_key) and %s.pem (public, PEM)\n",
                pri.c_str(), pub.c_str(), pub.c_str());
            return kExitOk;
        }
    } else {
        ret = pkg::WriteKeyFiles(key, pri.c_str(), pub.c_str());
        for (std::string& number : key) std::fill(number.begin(), number.end(), '\0');
    }
    if (ret != 0) {
        return Fail("keygen",
                    "cannot write the key files in '" + dir + "': " + std::strerror(errno),
                    kExitIo);
    }
    std::printf("wrote %s (private, keep it safe) and %s (public: install as /.pub_key)\n",
                pri.c_str(), pub.c_str());
    return kExitOk;
}

// ---- create

bool ReadBoardsFile(const std::string& path, std::vector<std::string>* boards, std::string* why) {
    *why = CheckInputFile("--boards-file", path);
    if (!why->empty()) return false;
    sys::UniqueFile f(std::fopen(path.c_str(), "re"));
    if (!f) {
        *why = "cannot read '" + path + "': " + std::strerror(errno);
        return false;
    }
    char line[4096];
    while (std::fgets(line, sizeof(line), f.get()) != nullptr) {
        std::string s(line);
        const size_t hash = s.find('#');
        if (hash != std::string::npos) s.erase(hash);
        const size_t b = s.find_first_not_of(" \t\r\n");
        if (b == std::string::npos) continue;
        const size_t e = s.find_last_not_of(" \t\r\n");
        boards->push_back(s.substr(b, e - b + 1));
    }
    if (std::ferror(f.get()) != 0) {
        *why = "cannot read '" + path + "': " + std::strerror(errno);
        return false;
    }
    return true;
}

// --encrypt and --encrypt-at.
bool ParseEncrypt(const Args& args, pkg::PackPlan* plan, std::string* why) {
    plan->encrypt = args.Has("encrypt");
    if (!args.Has("encrypt-at")) return true;
    if (!plan->encrypt) {
        *why = "--encrypt-at needs --encrypt";
        return false;
    }
    std::string text = args.Get("encrypt-at");
    for (int r = 0; r < 3; ++r) {
        const size_t comma = text.find(',');
        if ((r < 2) != (comma != std::string::npos)) break;
        auto pos = ParsePosition(text.substr(0, comma));
        if (!pos) break;
        plan->encrypt_positions[r] = *pos;
        if (r == 2) return true;
        text.erase(0, comma + 1);
    }
    *why = "--encrypt-at wants three table positions U,K,P, not '" + args.Get("encrypt-at") + "'";
    return false;
}

// Machines an updater may be built for, as ELF names them.
struct Machine {
    const char* name;
    uint16_t number;    // e_machine
    uint8_t elf_class;  // 1: 32-bit, 2: 64-bit
};
constexpr Machine kMachines[] = {
    {"aarch64", 183, 2}, {"arm", 40, 1},      {"x86_64", 62, 2},
    {"i386", 3, 1},      {"riscv64", 243, 2}, {"mips", 8, 1},
};
#if defined(__aarch64__)
constexpr const char* kHostMachine = "aarch64";
#elif defined(__x86_64__)
constexpr const char* kHostMachine = "x86_64";
#elif defined(__arm__)
constexpr const char* kHostMachine = "arm";
#else
constexpr const char* kHostMachine = "unknown";
#endif

// --updater FILE must be a program the recorder runs: an ELF executable of
// its architecture (--updater-arch, aarch64 by default; "host" is the
// machine update-pack runs on, for tests), or with --updater-arch script a
// "#!" script.
std::string CheckUpdater(const std::string& path, std::string arch) {
    std::string why = CheckInputFile("--updater", path);
    if (!why.empty()) return why;
    if (arch == "host") arch = kHostMachine;
    sys::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    uint8_t h[20] = {};
    const ssize_t n = fd ? sys::ReadFull(fd.get(), h, sizeof(h)) : -1;
    if (n < 0) return "--updater '" + path + "': " + std::strerror(errno);
    const std::string named = "--updater '" + path + "'";
    if (arch == "script") {
        if (n >= 2 && h[0] == '#' && h[1] == '!') return "";
        return named + " is not a script (it does not start with \"#!\")";
    }
    const Machine* want = nullptr;
    for (const Machine& m : kMachines) {
        if (arch == m.name) want = &m;
    }
    if (want == nullptr) {
        return "--updater-arch '" + arch +
               "' is not one of aarch64, arm, x86_64, i386, riscv64, mips, host, script";
    }
    if (n < static_cast<ssize_t>(sizeof(h)) || std::memcmp(h,
                                                           "\x7f"
                                                           "ELF",
                                                           4) != 0) {
        return named + " is not an ELF program (the recorder runs the package's updater as one; " +
               "--updater-arch script stores a \"#!\" script)";
    }
    const bool little = h[5] == 1;
    const uint16_t type = little ? static_cast<uint16_t>(h[16] | h[17] << 8)
                                 : static_cast<uint16_t>(h[16] << 8 | h[17]);
    const uint16_t machine = little ? static_cast<uint16_t>(h[18] | h[19] << 8)
                                    : static_cast<uint16_t>(h[18] << 8 | h[19]);
    if (type != 2 && type != 3) {
        return named + " is an ELF file but not an executable (type " + std::to_string(type) + ")";
    }
    if (machine != want->number || h[4] != want->elf_class) {
        const char* is = "another machine";
        for (const Machine& m : kMachines) {
            if (m.number == machine && m.elf_class == h[4]) is = m.name;
        }
        return named + " is built for " + is + ", not " + want->name +
               " (--updater-arch names the recorder's machine)";
    }
    return "";
}

// The dates of a customisation archive made from a directory:
// $SOURCE_DATE_EPOCH when set, else 1980-01-01 00:00, so the same directory
// always gives the same bytes.
bool ArchiveTime(std::time_t* when, std::string* why) {
    const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
    *when = 315532800;  // 1980-01-01 00:00:00 UTC
    if (epoch == nullptr || epoch[0] == '\0') return true;
    auto v = ParseNumber(epoch, 4354819199ULL);  // 2107-12-31 23:59:59, the last zip date
    if (!v) {
        *why = std::string("SOURCE_DATE_EPOCH '") + epoch +
               "' is not a number of seconds from 1970 up to the end of 2107";
        return false;
    }
    *when = static_cast<std::time_t>(*v);
    return true;
}

// --custom DIR|ZIP, --mdc FILE and --updater FILE: the customisation archive,
// mdc.bin and the package's own update program at their positions. A zip
// made from a directory lives in *made until the package is written.
int AddExtras(const Args& args, const std::string& out, pkg::PackPlan* plan,
              std::unique_ptr<pack::TempFile>* made, std::string* why) {
    struct Extra {
        const char* option;
        const char* role;
        const char* name;
    };
    for (const Extra& x : {Extra{"custom", "custom", "custom.zip"}, Extra{"mdc", "mdc", "mdc.bin"},
                           Extra{"updater", "updater", "update"}}) {
        if (!args.Has(x.option)) continue;
        const uint32_t pos = *ParsePosition(x.role);
        for (const pkg::PackImage& image : plan->images) {
            if (image.position == pos) {
                *why = std::string("--") + x.option + " and --image " + x.role +
                       "= name the same entry";
                return kExitUsage;
            }
        }
        pkg::PackImage image;
        image.position = pos;
        image.name = x.name;
        image.path = args.Get(x.option);
        if (x.option == std::string("custom")) {
            std::time_t when = 0;
            if (!ArchiveTime(&when, why)) return kExitUsage;
            if (!pack::PrepareCustom(image.path, out, when, &image.path, made, why))
                return kExitFailed;
        } else if (x.option == std::string("updater")) {
            *why = CheckUpdater(image.path, args.Get("updater-arch", "aarch64"));
            if (!why->empty()) return kExitUsage;
        } else {
            *why = CheckInputFile("--mdc", image.path);
            if (!why->empty()) return kExitUsage;
        }
        plan->images.push_back(image);
    }
    return kExitOk;
}

// The public version must be one the updater's version rule reads, or the
// device takes the package for "not newer" and refuses it. A version ending
// in "T" (a test build) is always newer and passes.
bool ReadablePubVersion(const std::string& pub) {
    ParsedVersion v{};
    return pub.back() == 'T' || UPDATE_ParseVersion(pub.c_str(), &v) == 1;
}

int Create(const Args& args) {
    if (!args.Plain().empty())
        return Usage("create", "unexpected argument '" + args.Plain()[0] + "'");
    const std::string out = args.Get("output");
    if (out.empty()) return Usage("create", "the package to write is missing (-o FILE)");
    if (args.Get("inner").empty())
        return Usage("create", "the inner version is missing or empty (--inner TEXT)");
    if (args.Get("pub").empty())
        return Usage("create", "the public version is missing or empty (--pub TEXT)");

    pkg::PackPlan plan;
    plan.inner_version = args.Get("inner");
    plan.unused = args.Get("unused");
    plan.pub_version = args.Get("pub");
    plan.key_suffix = args.Get("key-suffix");
    plan.encrypt_flag = args.Get("encrypt-flag");
    if (!ReadablePubVersion(plan.pub_version)) {
        return Usage("create", "--pub '" + plan.pub_version +
                                   "' is not a public version the updater reads (a release "
                                   "letter D, A, T, C, B, R, E or F, a type and a main number, "
                                   "then optional P, L and C parts, e.g. B0142P17); every "
                                   "device would refuse the package as not newer");
    }
    if (plan.encrypt_flag == "ECI" && !args.Has("allow-plain-eci")) {
        return Usage("create",
                     "--encrypt-flag ECI marks the sub-images as enciphered, but they are "
                     "stored plain and the updater would spoil them by deciphering (use "
                     "--allow-plain-eci to write the mark anyway, for tests)");
    }
    std::string why;
    if (!ParseEncrypt(args, &plan, &why)) return Usage("create", why);

    // Signing: a key, or an explicit --unsigned.
    if (args.Has("key") && args.Has("unsigned"))
        return Usage("create", "--key and --unsigned contradict each other");
    if (args.Has("legacy-only") && !args.Has("key"))
        return Usage("create",
                     "--legacy-only chooses the signatures of --key, but no key is given");
    if (!args.Has("key") && !args.Has("unsigned")) {
        return Usage("create",
                     "no --key: the package would be unsigned, and a device with /.pub_key "
                     "refuses it; give --key PRI_KEY, or --unsigned to make it so");
    }
    std::vector<std::string> inputs;  // every file read, none of which may be the output
    // A PEM key or a token key signs after the package is laid out, as 'sign' does.
    std::unique_ptr<pack::SigningKey> signer;
    if (args.Has("key")) {
        const std::string key = args.Get("key");
        if (key.rfind("pkcs11:", 0) == 0 || pack::IsPemFile(key)) {
            signer = pack::OpenSigningKey(key, &why);
            if (!signer) return Fail("create", why);
        } else {
            plan.private_key = key;
            why = pack::CheckKeyFile(plan.private_key, pack::KeyKind::Private, "--key");
            if (!why.empty()) return Usage("create", why);
        }
        if (key.rfind("pkcs11:", 0) != 0) inputs.push_back(key);
    }
    plan.full_signature = !args.Has("legacy-only");

    plan.boards = args.All("board");
    for (const std::string& file : args.All("boards-file")) {
        if (!ReadBoardsFile(file, &plan.boards, &why)) return Usage("create", why);
        inputs.push_back(file);
    }
    if (plan.boards.empty()) {
        std::fprintf(
            stderr, "update-pack create: warning: no board types; no board accepts this package\n");
    }
    for (const std::string& item : args.All("image")) {
        const size_t eq = item.find('=');
        if (eq == std::string::npos || eq == 0 || eq + 1 == item.size()) {
            return Usage("create", "--image wants POS=FILE[@FLASH], not '" + item + "'");
        }
        auto pos = ParsePosition(item.substr(0, eq));
        if (!pos)
            return Usage("create", "bad table position '" + item.substr(0, eq) + "' in --image");
        pkg::PackImage image;
        image.position = *pos;
        image.path = item.substr(eq + 1);
        const size_t at = image.path.rfind('@');
        if (at != std::string::npos && at > 0) {
            auto flash = ParseNumber(image.path.substr(at + 1), UINT32_MAX);
            if (flash) {
                image.flash_offset = static_cast<uint32_t>(*flash);
                image.path.erase(at);
            }
        }
        why = CheckInputFile("image file", image.path);
        if (!why.empty()) return Fail("create", why);
        plan.images.push_back(image);
    }
    if (plan.images.empty() && !args.Has("custom") && !args.Has("mdc") && !args.Has("updater")) {
        return Usage("create",
                     "no sub-image: a package needs at least one (--image, --custom, "
                     "--mdc or --updater)");
    }
    if (args.Has("updater-arch") && !args.Has("updater"))
        return Usage("create", "--updater-arch needs --updater");
    for (const pkg::PackImage& image : plan.images) inputs.push_back(image.path);
    for (const char* extra : {"custom", "mdc", "updater"}) {
        if (args.Has(extra)) inputs.push_back(args.Get(extra));
    }
    // Before anything is opened for writing.
    why = pack::CheckOutput(out, inputs);
    if (!why.empty()) return Usage("create", why);

    std::unique_ptr<pack::TempFile> custom_zip;  // a zip made from a --custom directory
    const int extras = AddExtras(args, out, &plan, &custom_zip, &why);
    if (extras == kExitUsage) return Usage("create", why);
    if (extras != kExitOk) return Fail("create", why);
    for (const std::string& item : args.All("name")) {
        const size_t eq = item.find('=');
        auto pos = eq == std::string::npos ? std::nullopt : ParsePosition(item.substr(0, eq));
        if (!pos) return Usage("create", "--name wants POS=NAME, not '" + item + "'");
        bool found = false;
        for (pkg::PackImage& image : plan.images) {
            if (image.position == *pos) {
                image.name = item.substr(eq + 1);
                found = true;
            }
        }
        if (!found) return Usage("create", "--name " + item + ": no --image at that position");
    }
    if (args.Has("count")) {
        auto count = ParseNumber(args.Get("count"), 4096);
        if (!count || *count == 0)
            return Usage("create", "--count must be a number from 1 to 4096");
        plan.count = static_cast<uint32_t>(*count);
    }
    why = pkg::CheckPackPlan(plan);
    if (!why.empty()) return Usage("create", why);

    pack::Output output(out);
    const bool quiet = args.Has("quiet");
    // With -o - standard output carries the package: the summary goes to standard error.
    std::FILE* report_to = output.ToStdout() ? stderr : stdout;
    ProgressBar bar(!quiet && !output.ToStdout());
    plan.progress = [&bar](const char* step, uint64_t done, uint64_t total) {
        bar.Update(step, done, total);
    };
    if (!output.Open(&why)) return Fail("create", why, kExitIo);
    pkg::PackReport report;
    if (pkg::WritePackageTo(plan, output.fd(), out, &report, &why) != 0 ||
        (signer &&
         pack::SignOpenPackage(output.fd(), *signer, plan.full_signature, false, &why) != 0) ||
        !output.Commit(&why)) {
        bar.Finish();
        return Fail("create", why);
    }
    bar.Finish();
    if (signer) {
        report.is_signed = true;
        report.full_signed = plan.full_signature;
        report.key_bytes = signer->Bytes();
    }
    for (const std::string& w : report.warnings) {
        std::fprintf(stderr, "update-pack create: warning: %s\n", w.c_str());
    }
    if (!quiet) {
        std::fprintf(report_to, "wrote %s: %" PRIu64 " bytes, %zu sub-image(s), head CRC %u, %s\n",
                     output.ToStdout() ? "standard output" : out.c_str(), report.size,
                     plan.images.size(), report.head_crc,
                     report.is_signed
                         ? ("signed with a " + std::to_string(report.key_bytes * 8) + "-bit key" +
                            (report.full_signed ? " (legacy and full signatures)"
                                                : " (legacy signature only)"))
                               .c_str()
                         : "not signed");
    }
    return kExitOk;
}

// ---- info, verify, extract

// The package named on the command line, open and read. kExitOk, or the
// exit status with the command's message printed unless quiet.
int OpenPackage(const char* command, const std::string& path, bool quiet, sys::UniqueFd* fd,
                pack::Package* p) {
    std::string why;
    fd->reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!*fd) {
        why = "cannot open '" + path + "': " + std::strerror(errno);
        if (!quiet) Fail(command, why);
        return kExitIo;
    }
    if (pack::ReadPackage(fd->get(), path, p, &why) == 0) return kExitOk;
    if (!quiet) Fail(command, why);
    return kExitFailed;
}

// The --pub-key file as the checks read it: a PEM public key is written in
// hex to a temporary file that lives as long as *temp.
std::string PubKeyPath(const Args& args, std::unique_ptr<pack::TempFile>* temp) {
    std::string path = args.Get("pub-key");
    if (path.empty() || !pack::IsPemFile(path)) return path;
    std::string n, e, why;
    if (!pack::ReadPublicKey(path, &n, &e, &why)) return path;  // the check then names it
    *temp = std::make_unique<pack::TempFile>("-", "pub-key");
    const std::string text = "N = " + n + "\nE = " + e + "\n";
    if (!(*temp)->ok() || !sys::WriteFull((*temp)->fd(), text.data(), text.size())) return path;
    return (*temp)->path();
}

// --pub-key for info and verify: "" when absent or a public key file, else the refusal.
std::string CheckPubKey(const Args& args) {
    if (!args.Has("pub-key")) return "";
    return pack::CheckKeyFile(args.Get("pub-key"), pack::KeyKind::Public, "--pub-key");
}

int Info(const Args& args) {
    if (args.Plain().size() != 1) return Usage("info", "give exactly one package file");
    const std::string why = CheckPubKey(args);
    if (!why.empty()) return Usage("info", why);
    const std::string path = args.Plain()[0];
    sys::UniqueFd fd;
    pack::Package p;
    const int opened = OpenPackage("info", path, false, &fd, &p);
    if (opened != kExitOk) return opened;
    std::unique_ptr<pack::TempFile> pem_key;
    const std::string key = PubKeyPath(args, &pem_key);
    if (args.Has("json")) {
        return pack::WriteJson(fd.get(), path, p, key, stdout) < 0 ? kExitIo : kExitOk;
    }
    return pack::WriteInfo(fd.get(), path, p, key, stdout) != 0 ? kExitIo : kExitOk;
}

int Verify(const Args& args) {
    if (args.Plain().size() != 1) return Usage("verify", "give exactly one package file");
    if (args.Has("pub-key") == args.Has("no-key")) {
        return Usage("verify", args.Has("no-key")
                                   ? "--pub-key and --no-key contradict each other"
                                   : "give the public key (--pub-key KEY), or --no-key to check "
                                     "the CRC alone and leave the signatures unchecked");
    }
    const std::string why = CheckPubKey(args);
    if (!why.empty()) return Usage("verify", why);
    const std::string path = args.Plain()[0];
    const bool quiet = args.Has("quiet");
    sys::UniqueFd fd;
    pack::Package p;
    const int opened = OpenPackage("verify", path, quiet, &fd, &p);
    if (opened != kExitOk) return opened;
    std::unique_ptr<pack::TempFile> pem_key;
    const std::string key = PubKeyPath(args, &pem_key);
    int verdict = 0;
    if (args.Has("json")) {
        verdict = pack::WriteJson(fd.get(), path, p, key, quiet ? nullptr : stdout);
    } else {
        verdict = pack::Verify(fd.get(), p, key, quiet ? nullptr : stdout);
    }
    return verdict < 0 ? kExitIo : verdict == 0 ? kExitOk : kExitFailed;
}

int Extract(const Args& args) {
    if (args.Plain().size() != 2) return Usage("extract", "give the package file and a position");
    const std::string out = args.Get("output");
    if (out.empty()) return Usage("extract", "the file to write is missing (-o OUT)");
    auto pos = ParsePosition(args.Plain()[1]);
    if (!pos) return Usage("extract", "bad table position '" + args.Plain()[1] + "'");
    const std::string path = args.Plain()[0];
    std::string why = pack::CheckOutput(out, {path});
    if (!why.empty()) return Usage("extract", why);
    sys::UniqueFd fd;
    pack::Package p;
    const int opened = OpenPackage("extract", path, false, &fd, &p);
    if (opened != kExitOk) return opened;
    SubImageEntry e{};
    if (pack::EntryToExtract(p, *pos, &e, &why) != 0) return Fail("extract", why);
    pack::Output output(out);
    if (!output.Open(&why)) return Fail("extract", why, kExitIo);
    const int copied = pack::CopyEntry(fd.get(), path, p, e, output.fd(), &why);
    if (copied != 0) return Fail("extract", why, copied < 0 ? kExitIo : kExitFailed);
    if (!output.Commit(&why)) return Fail("extract", why, kExitIo);
    return kExitOk;
}

// ---- the command table

using pack::Option;

const Option kHelpOption{"help", 'h', nullptr, false, "show this text"};

const pack::Command kCommands[] = {
    {"keygen",
     "make an RSA key pair (\"pri_key\" and the public key file)",
     "[options]",
     "Makes an RSA key pair in the updater's key-file formats: the private key\n"
     "file holds N, E, D, P, Q, DP, DQ, QP and the public key file N and E, one\n"
     "hexadecimal number per line (\"N = 00C1...\"). Install the public key file\n"
     "on the device as /.pub_key; keep the private key with the packaging side.\n",
     {
         {"bits", 0, "N", false,
          "modulus size: 2048, the only size the format carries\n"
          "(shorter keys are weak, longer ones leave no room\nfor the full signature)"},
         {"exponent", 0, "E", false, "public exponent (default 65537)"},
         {"dir", 0, "DIR", false, "directory of the two files (default .)"},
         {"private", 0, "NAME", false, "private key file name (default pri_key)"},
         {"public", 0, "NAME", false, "public key file name (default pub_key)"},
         {"force", 0, nullptr, false, "overwrite existing key files"},
         {"format", 0, "hex|pem", false,
          "the private key as hex numbers (default) or as PEM\n"
          "(then also PUBLIC.pem); the public key file stays hex,\n"
          "as the recorder reads it"},
         kHelpOption,
     },
     Keygen},
    {"create",
     "make a package from a head, a board list and sub-image files",
     "-o FILE --inner TEXT --pub TEXT (--key PRI_KEY | --unsigned) [options]",
     "Makes a package: head, board list, signature block, sub-image table and the\n"
     "sub-images, laid out in table order from byte 4096 (after the table when it\n"
     "is longer). The head's CRC is counted over everything from byte 4096 on; the\n"
     "digest is taken with a zero signature block and signed into the block.\n"
     "The same inputs always give the same bytes.\n"
     "\n"
     "Table positions (POS) are numbers or words: uboot 0, config 2, uimage 3,\n"
     "program 4, web 5, updater 8, custom 10, mdc 11.\n"
     "\n"
     "--encrypt is not confidentiality: the cipher's keys derive from head fields\n"
     "that the package carries in clear, so anyone holding the package can\n"
     "decipher it. It hides content from casual reading only; the signatures\n"
     "protect integrity, and keeping content secret would need a key the package\n"
     "does not carry.\n",
     {
         {"output", 'o', "FILE", false,
          "the package to write (replaced atomically; - for\nstandard output)", "Output"},
         {"inner", 0, "TEXT", false, "inner version (baseline), up to 128 characters", "Head"},
         {"unused", 0, "TEXT", false, "the head's second field, read and not used"},
         {"pub", 0, "TEXT", false,
          "public version, as the device's version rule reads\nit (e.g. B0142P17)"},
         {"key-suffix", 0, "TEXT", false, "key suffix, up to 128 characters"},
         {"encrypt-flag", 0, "TEXT", false, "encryption mark, up to 16 characters"},
         {"board", 0, "TYPE", true, "a compatible board type; repeat for more",
          "Boards (at most 64; the updater compares the first 19 characters)"},
         {"boards-file", 0, "FILE", true, "board types, one per line ('#' starts a comment)"},
         {"image", 0, "POS=FILE[@FLASH]", true,
          "put FILE at table position POS with flash offset\n"
          "FLASH (decimal or 0x hex, default 0); a file whose\n"
          "name ends in @<number> needs an explicit @FLASH",
          "Sub-images"},
         {"custom", 0, "DIR|ZIP", false,
          "the customisation archive at position 10: a zip\n"
          "whose names all lie under oem/, or a directory whose\n"
          "files are stored under oem/ (dated $SOURCE_DATE_EPOCH,\n"
          "else 1980-01-01)"},
         {"mdc", 0, "FILE", false, "the file the updater writes as mdc.bin (position 11)"},
         {"updater", 0, "FILE", false,
          "the package's own update program (position 8): an\n"
          "ELF executable of the recorder's machine"},
         {"updater-arch", 0, "ARCH", false,
          "the machine of --updater: aarch64 (default), arm,\n"
          "x86_64, i386, riscv64, mips, host (this machine) or\n"
          "script (a \"#!\" script)"},
         {"name", 0, "POS=NAME", true, "table name of the entry at POS (default: file name)"},
         {"count", 0, "N", false,
          "table entries (default: highest position + 1);\n"
          "positions without an image are absent entries"},
         {"key", 0, "PRI_KEY", false,
          "private key file; signs the legacy signature (chunk\n"
          "digest) and the full signature (SHA-256 of the file)",
          "Signature"},
         {"legacy-only", 0, nullptr, false, "the legacy signature only (block tail stays zero)"},
         {"unsigned", 0, nullptr, false,
          "no key: leave the signature block zero (a device\nwith /.pub_key refuses the package)"},
         {"encrypt", 0, nullptr, false,
          "encipher the u-boot, uImage and program sub-images\n"
          "in the sampled form and mark the head \"ECI\"; hides\n"
          "content from casual reading only (see above)",
          "Other"},
         {"encrypt-at", 0, "U,K,P", false,
          "table positions of u-boot, uImage and program that\n"
          "the updater's platform deciphers (default 0,3,4)"},
         {"allow-plain-eci", 0, nullptr, false,
          "allow --encrypt-flag ECI on plain sub-images (tests)"},
         {"quiet", 0, nullptr, false, "no progress bar and no summary"},
         kHelpOption,
     },
     Create},
    {"info",
     "show a package's head, boards and table, and whether its checks hold",
     "FILE [--pub-key KEY] [--json]",
     "Shows the head fields, the board list and the sub-image table of a package,\n"
     "and whether its CRC holds; with a public key file also whether its legacy\n"
     "and full signatures hold. Exit status 0 when the package could be read.\n",
     {
         {"pub-key", 0, "KEY", false, "public key file (N and E, as /.pub_key on the device)"},
         {"json", 0, nullptr, false, "the report as one JSON object (tools/pack/README.md)"},
         kHelpOption,
     },
     Info},
    {"verify",
     "check a package's CRC and signatures; the exit status tells",
     "FILE (--pub-key KEY | --no-key) [--json] [--quiet]",
     "Checks a package as the updater does: the CRC of everything from byte 4096\n"
     "on against the head, and with a public key file the legacy and the full\n"
     "signature (a package without a full signature passes; one whose full\n"
     "signature is bad fails). Exit status 0 when every check holds, 1 when one\n"
     "fails, 2 on wrong usage, 3 when the file cannot be read.\n",
     {
         {"pub-key", 0, "KEY", false, "public key file (N and E)"},
         {"no-key", 0, nullptr, false,
          "check the CRC alone; the signatures are reported as\nnot checked"},
         {"json", 0, nullptr, false, "the report as one JSON object (tools/pack/README.md)"},
         {"quiet", 0, nullptr, false, "print nothing, only set the exit status"},
         kHelpOption,
     },
     Verify},
    {"sign",
     "sign an existing package (a key file or a PKCS#11 token)",
     "IN -o OUT --key KEY [--full-only]",
     "Writes OUT: the package IN with both signatures made by KEY (the legacy\n"
     "one over the chunk digest, the full one over the SHA-256 of the file),\n"
     "checked against the key's public half before anything is written.\n"
     "'create' without a key followed by 'sign' gives the bytes of 'create --key'.\n"
     "A token's PIN comes from $UPDATE_PACK_PIN or the file named by\n"
     "$UPDATE_PACK_PIN_FILE; $UPDATE_PACK_PKCS11_MODULE names the PKCS#11 module.\n",
     {
         {"output", 'o', "OUT", false, "the signed package to write"},
         {"key", 0, "KEY", false,
          "private key: a hex key file, a PEM file (PKCS#1 or\n"
          "PKCS#8) or a pkcs11: URI"},
         {"full-only", 0, nullptr, false,
          "keep the legacy signature (it must hold with KEY)\n"
          "and add or replace the full one"},
         {"quiet", 0, nullptr, false, "no summary"},
         kHelpOption,
     },
     pack::Sign},
    {"digest",
     "print what each signature signs, for an external signer",
     "IN [--legacy-out FILE] [--full-out FILE]",
     "Prints the two values a signing service signs for the package IN (its\n"
     "signature block read as zero): the legacy digest, signed as it is with\n"
     "PKCS#1 v1.5 block type 1 (openssl pkeyutl -sign -pkeyopt\n"
     "rsa_padding_mode:pkcs1), and the SHA-256 of the file, signed with PKCS#1\n"
     "v1.5 and a SHA-256 DigestInfo (openssl pkeyutl -sign -pkeyopt digest:sha256).\n"
     "Then 'update-pack attach' places the two signatures.\n",
     {
         {"legacy-out", 0, "FILE", false, "also write the 32 legacy digest bytes to FILE"},
         {"full-out", 0, "FILE", false, "also write the 32 SHA-256 bytes to FILE"},
         kHelpOption,
     },
     pack::Digest},
    {"attach",
     "place signatures made elsewhere into a package, after checking them",
     "IN --pub-key KEY --legacy-sig FILE [--full-sig FILE] -o OUT",
     "Writes OUT: the package IN with the given signatures (raw, as long as the\n"
     "key) in its signature block. Both are checked with the public key against\n"
     "the package first; a signature that does not hold writes nothing.\n",
     {
         {"output", 'o', "OUT", false, "the signed package to write"},
         {"pub-key", 0, "KEY", false, "public key file (hex or PEM)"},
         {"legacy-sig", 0, "FILE", false, "the legacy signature"},
         {"full-sig", 0, "FILE", false, "the full signature (without it: legacy only)"},
         kHelpOption,
     },
     pack::Attach},
    {"extract",
     "copy one sub-image out of a package",
     "FILE POS -o OUT",
     "Copies the sub-image at table position POS (a number or a word as in\n"
     "'update-pack help create') out of the package into OUT (a new 0644 file,\n"
     "renamed into place when complete; - for standard output).\n",
     {
         {"output", 'o', "OUT", false, "the file to write"},
         kHelpOption,
     },
     Extract},
};

const pack::Command* FindCommand(const char* name) {
    for (const pack::Command& c : kCommands) {
        if (std::strcmp(name, c.name) == 0) return &c;
    }
    return nullptr;
}

void WriteMainHelp(std::FILE* out) {
    std::fprintf(out,
                 "Usage: update-pack <command> [options]\n"
                 "       update-pack help <command> | --version\n"
                 "\n"
                 "Makes and inspects update packages (Program.bin) for the recorder's updater.\n"
                 "\n"
                 "Commands:\n");
    for (const pack::Command& c : kCommands) std::fprintf(out, "  %-9s %s\n", c.name, c.summary);
    std::fprintf(out,
                 "\n"
                 "Run 'update-pack help <command>' for the options of a command; options\n"
                 "go in any order, as --opt VALUE, --opt=VALUE, -o FILE or -oFILE.\n"
                 "Exit status: 0 success, 1 a check failed or the input is not a sound\n"
                 "package, 2 wrong usage, 3 a file could not be read or written.\n");
}

// Whether the words ask for help (before a "--").
bool WantsHelp(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) return false;
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        WriteMainHelp(stderr);
        return kExitUsage;
    }
    const std::string first = argv[1];
    if (first == "--help" || first == "-h") {
        WriteMainHelp(stdout);
        return kExitOk;
    }
    if (first == "--version") {
        std::printf("update-pack %s (crypto backend: %s)\n", UPDATE_PACK_VERSION,
                    pkg::crypto::BackendName());
        return kExitOk;
    }
    if (first == "help") {
        if (argc == 2) {
            WriteMainHelp(stdout);
            return kExitOk;
        }
        const pack::Command* c = FindCommand(argv[2]);
        if (c == nullptr || argc > 3)
            return Usage("help", std::string("unknown command '") + argv[2] + "'");
        pack::WriteHelp(*c, stdout);
        return kExitOk;
    }
    const pack::Command* c = FindCommand(argv[1]);
    if (c == nullptr) return Usage("", "unknown command '" + first + "'");
    if (WantsHelp(argc - 1, argv + 1)) {
        pack::WriteHelp(*c, stdout);
        return kExitOk;
    }
    Args args;
    std::string why;
    if (!pack::ParseArgs(*c, argc - 1, argv + 1, &args, &why)) return Usage(c->name, why);
    pack::InstallCleanupHandlers();
    return c->run(args);
}
