// update-pack: the vendor side of the update package. Makes key pairs and
// packages, shows and verifies them, and copies sub-images out.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "package/crypto.h"
#include "package/format.h"
#include "package/integrity.h"
#include "package/writer.h"
#include "sys/fd.h"
#include "tools/pack/custom.h"
#include "tools/pack/reader.h"

namespace {

using pack::ParseNumber;
using pack::ParsePosition;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr const char* kMainHelp =
    "Usage: update-pack <command> [options]\n"
    "\n"
    "Makes and inspects update packages (Program.bin) for the recorder's updater.\n"
    "\n"
    "Commands:\n"
    "  keygen    make an RSA key pair (\"pri_key\" and the public key file)\n"
    "  create    make a package from a head, a board list and sub-image files\n"
    "  info      show a package's head, board list and table, and whether its\n"
    "            CRC and signature hold\n"
    "  verify    check a package's CRC and signature; the exit status tells\n"
    "  extract   copy one sub-image out of a package\n"
    "\n"
    "Run 'update-pack <command> --help' for the options of a command.\n"
    "Exit status: 0 success, 1 failure (a check failed, a file could not be\n"
    "read or written), 2 wrong usage.\n";

constexpr const char* kKeygenHelp =
    "Usage: update-pack keygen [options]\n"
    "\n"
    "Makes an RSA key pair in the updater's key-file formats: the private key\n"
    "file holds N, E, D, P, Q, DP, DQ, QP and the public key file N and E, one\n"
    "hexadecimal number per line (\"N = 00C1...\"). Install the public key file\n"
    "on the device as /.pub_key; keep the private key with the packaging side.\n"
    "\n"
    "Options:\n"
    "  --bits N         modulus size, 1024 to 4096 (default 2048: larger keys\n"
    "                   leave no room for the full signature)\n"
    "  --exponent E     public exponent (default 65537)\n"
    "  --dir DIR        directory of the two files (default .)\n"
    "  --private NAME   private key file name (default pri_key)\n"
    "  --public NAME    public key file name (default pub_key)\n"
    "  --force          overwrite existing key files\n"
    "  --help           show this text\n";

constexpr const char* kCreateHelp =
    "Usage: update-pack create -o FILE --inner TEXT --pub TEXT [options]\n"
    "\n"
    "Makes a package: head, board list, signature block, sub-image table and the\n"
    "sub-images, laid out in table order from byte 4096 (after the table when it\n"
    "is longer). The head's CRC is counted over everything from byte 4096 on; the\n"
    "digest is taken with a zero signature block and, given a private key, signed\n"
    "into the block.\n"
    "\n"
    "Head:\n"
    "  --inner TEXT        inner version (baseline), up to 128 characters\n"
    "  --unused TEXT       the head's second field, read and not used (default empty)\n"
    "  --pub TEXT          public version, up to 128 characters (e.g. B0142P17)\n"
    "  --key-suffix TEXT   key suffix, up to 128 characters (default empty)\n"
    "  --encrypt-flag TEXT encryption mark, up to 16 characters (default empty)\n"
    "\n"
    "Boards (at most 64; the updater compares the first 19 characters):\n"
    "  --board TYPE        a compatible board type; repeat for more\n"
    "  --boards-file FILE  board types, one per line ('#' starts a comment)\n"
    "\n"
    "Sub-images:\n"
    "  --image POS=FILE[@FLASH]\n"
    "                      put FILE at table position POS with flash offset FLASH\n"
    "                      (decimal or 0x hex, default 0). POS is a number or one\n"
    "                      of: uboot 0, config 2, uimage 3, program 4, web 5,\n"
    "                      updater 8, custom 10, mdc 11 (program at 4 as in every\n"
    "                      platform profile). A file whose name itself ends in\n"
    "                      @<number> needs an explicit @FLASH.\n"
    "  --custom DIR|ZIP    the customisation archive at position 10: a zip whose\n"
    "                      names all lie under oem/ (checked as the updater does),\n"
    "                      or a directory whose files are stored under oem/\n"
    "  --mdc FILE          the file the updater writes as mdc.bin (position 11)\n"
    "  --updater FILE      the package's own update program (position 8): a first\n"
    "                      stage hands the update over to it\n"
    "  --name POS=NAME     table name of the entry at POS (default: file base name)\n"
    "  --count N           table entries (default: highest position + 1);\n"
    "                      positions without an image are absent entries\n"
    "\n"
    "Signature:\n"
    "  --key FILE          private key file (pri_key format); without it the\n"
    "                      signature block stays zero. Signs twice: the legacy\n"
    "                      signature (chunk digest) and the full signature\n"
    "                      (SHA-256 of the whole file, key of at most 2048 bits)\n"
    "  --legacy-only       the legacy signature only (block tail stays zero)\n"
    "\n"
    "Other:\n"
    "  -o, --output FILE   the package to write (replaced atomically)\n"
    "  --encrypt           encipher the u-boot, uImage and program sub-images in\n"
    "                      the sampled form and mark the head \"ECI\"; the keys come\n"
    "                      from --inner, --pub and --key-suffix\n"
    "  --encrypt-at U,K,P  table positions of u-boot, uImage and program that the\n"
    "                      updater's platform deciphers (default 0,3,4)\n"
    "  --allow-plain-eci   allow --encrypt-flag ECI on plain sub-images (tests only:\n"
    "                      the updater would decipher and spoil them)\n"
    "  --quiet             no progress bar and no summary\n"
    "  --help              show this text\n";

constexpr const char* kInfoHelp =
    "Usage: update-pack info FILE [--pub-key KEY]\n"
    "\n"
    "Shows the head fields, the board list and the sub-image table of a package,\n"
    "and whether its CRC holds; with a public key file also whether its legacy\n"
    "and full signatures hold. Exit status 0 when the package could be read.\n"
    "\n"
    "Options:\n"
    "  --pub-key KEY   public key file (N and E, as /.pub_key on the device)\n"
    "  --help          show this text\n";

constexpr const char* kVerifyHelp =
    "Usage: update-pack verify FILE [--pub-key KEY] [--quiet]\n"
    "\n"
    "Checks a package as the updater does: the CRC of everything from byte 4096\n"
    "on against the head, and with a public key file the legacy and the full\n"
    "signature (a package without a full signature passes; one whose full\n"
    "signature is bad fails). Exit status 0 when every check holds, 1 when one\n"
    "fails, 2 on wrong usage.\n"
    "\n"
    "Options:\n"
    "  --pub-key KEY   public key file; without it the signature is not checked\n"
    "  --quiet         print nothing, only set the exit status\n"
    "  --help          show this text\n";

constexpr const char* kExtractHelp =
    "Usage: update-pack extract FILE POS -o OUT\n"
    "\n"
    "Copies the sub-image at table position POS (a number or a name as in\n"
    "'create --help') out of the package into OUT.\n"
    "\n"
    "Options:\n"
    "  -o, --output OUT   the file to write\n"
    "  --help             show this text\n";

int Usage(const char* command, const std::string& why) {
    std::fprintf(stderr, "update-pack%s%s: %s\n", command[0] != '\0' ? " " : "", command,
                 why.c_str());
    std::fprintf(stderr, "Try 'update-pack %s%s--help'.\n", command, command[0] != '\0' ? " " : "");
    return kExitUsage;
}

int Fail(const char* command, const std::string& why) {
    std::fprintf(stderr, "update-pack %s: %s\n", command, why.c_str());
    return kExitFailed;
}

// Command-line words of one command: options with values ("--opt VALUE" or
// "--opt=VALUE"), flags and plain arguments.
class Args {
  public:
    Args(int argc, char** argv, int first) {
        for (int i = first; i < argc; ++i) words_.emplace_back(argv[i]);
    }
    // Scans the words; false with *why set on an unknown option or a missing value.
    bool Parse(const std::vector<std::string>& with_value, const std::vector<std::string>& flags,
               std::string* why) {
        for (size_t i = 0; i < words_.size(); ++i) {
            std::string w = words_[i];
            if (w == "--") {
                for (++i; i < words_.size(); ++i) plain_.push_back(words_[i]);
                break;
            }
            if (w.size() < 2 || w[0] != '-') {
                plain_.push_back(w);
                continue;
            }
            std::string value;
            bool has_value = false;
            const size_t eq = w.find('=');
            if (w.rfind("--", 0) == 0 && eq != std::string::npos) {
                value = w.substr(eq + 1);
                w = w.substr(0, eq);
                has_value = true;
            }
            if (Contains(flags, w)) {
                if (has_value) {
                    *why = "option '" + w + "' takes no value";
                    return false;
                }
                values_[w].push_back("");
                continue;
            }
            if (!Contains(with_value, w)) {
                *why = "unknown option '" + w + "'";
                return false;
            }
            if (!has_value) {
                if (i + 1 >= words_.size()) {
                    *why = "option '" + w + "' needs a value";
                    return false;
                }
                value = words_[++i];
            }
            values_[w].push_back(value);
        }
        return true;
    }
    bool Has(const std::string& opt) const { return values_.count(opt) != 0; }
    std::string Get(const std::string& opt, const std::string& fallback = "") const {
        auto it = values_.find(opt);
        return it == values_.end() ? fallback : it->second.back();
    }
    std::vector<std::string> All(const std::string& opt) const {
        auto it = values_.find(opt);
        return it == values_.end() ? std::vector<std::string>() : it->second;
    }
    const std::vector<std::string>& Plain() const { return plain_; }
    bool WantsHelp() const {
        for (const std::string& w : words_) {
            if (w == "--help" || w == "-h") return true;
        }
        return false;
    }

  private:
    static bool Contains(const std::vector<std::string>& v, const std::string& s) {
        for (const std::string& x : v) {
            if (x == s) return true;
        }
        return false;
    }
    std::vector<std::string> words_;
    std::vector<std::string> plain_;
    std::map<std::string, std::vector<std::string>> values_;
};

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

// ---- keygen

int Keygen(int argc, char** argv) {
    Args args(argc, argv, 2);
    if (args.WantsHelp()) return std::fputs(kKeygenHelp, stdout) < 0 ? kExitFailed : kExitOk;
    std::string why;
    if (!args.Parse({"--bits", "--exponent", "--dir", "--private", "--public"}, {"--force"},
                    &why)) {
        return Usage("keygen", why);
    }
    if (!args.Plain().empty())
        return Usage("keygen", "unexpected argument '" + args.Plain()[0] + "'");
    auto bits = ParseNumber(args.Get("--bits", "2048"), 4096);
    if (!bits || *bits < 1024) return Usage("keygen", "--bits must be a number from 1024 to 4096");
    auto exponent = ParseNumber(args.Get("--exponent", "65537"), UINT32_MAX);
    if (!exponent || *exponent < 3 || *exponent % 2 == 0) {
        return Usage("keygen", "--exponent must be an odd number of at least 3");
    }
    const std::string dir = args.Get("--dir", ".");
    const std::string pri = dir + "/" + args.Get("--private", "pri_key");
    const std::string pub = dir + "/" + args.Get("--public", "pub_key");
    if (!args.Has("--force")) {
        for (const std::string& p : {pri, pub}) {
            if (FileExists(p))
                return Fail("keygen", "'" + p + "' exists (use --force to replace it)");
        }
    }
    pkg::crypto::RsaKeyText key;
    int ret = pkg::crypto::RsaGenerate(static_cast<unsigned>(*bits),
                                       static_cast<unsigned>(*exponent), &key);
    if (ret != 0) return Fail("keygen", "key generation failed (code " + std::to_string(ret) + ")");
    if (pkg::WriteKeyFiles(key, pri.c_str(), pub.c_str()) != 0) {
        return Fail("keygen",
                    "cannot write the key files in '" + dir + "': " + std::strerror(errno));
    }
    std::printf("wrote %s (private, keep it safe) and %s (public: install as /.pub_key)\n",
                pri.c_str(), pub.c_str());
    return kExitOk;
}

// ---- create

bool ReadBoardsFile(const std::string& path, std::vector<std::string>* boards, std::string* why) {
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
    return true;
}

// --encrypt and --encrypt-at.
bool ParseEncrypt(const Args& args, pkg::PackPlan* plan, std::string* why) {
    plan->encrypt = args.Has("--encrypt");
    if (!args.Has("--encrypt-at")) return true;
    if (!plan->encrypt) {
        *why = "--encrypt-at needs --encrypt";
        return false;
    }
    std::string text = args.Get("--encrypt-at");
    for (int r = 0; r < 3; ++r) {
        const size_t comma = text.find(',');
        if ((r < 2) != (comma != std::string::npos)) break;
        auto pos = ParsePosition(text.substr(0, comma));
        if (!pos) break;
        plan->encrypt_positions[r] = *pos;
        if (r == 2) return true;
        text.erase(0, comma + 1);
    }
    *why = "--encrypt-at wants three table positions U,K,P, not '" + args.Get("--encrypt-at") + "'";
    return false;
}

// --custom DIR|ZIP, --mdc FILE and --updater FILE: the customisation archive,
// mdc.bin and the package's own update program at their positions.
bool AddCustomAndMdc(const Args& args, const std::string& out, pkg::PackPlan* plan,
                     std::string* made, std::string* why) {
    struct Extra {
        const char* option;
        const char* role;
        const char* name;
    };
    for (const Extra& x :
         {Extra{"--custom", "custom", "custom.zip"}, Extra{"--mdc", "mdc", "mdc.bin"},
          Extra{"--updater", "updater", "update"}}) {
        if (!args.Has(x.option)) continue;
        const uint32_t pos = *ParsePosition(x.role);
        for (const pkg::PackImage& image : plan->images) {
            if (image.position == pos) {
                *why = std::string(x.option) + " and --image " + x.role + "= name the same entry";
                return false;
            }
        }
        pkg::PackImage image;
        image.position = pos;
        image.name = x.name;
        image.path = args.Get(x.option);
        if (x.option == std::string("--custom")) {
            if (!pack::PrepareCustom(image.path, out, &image.path, made, why)) return false;
        } else if (!FileExists(image.path)) {
            *why = std::string(x.option) + " file '" + image.path + "' not found";
            return false;
        }
        plan->images.push_back(image);
    }
    return true;
}

int Create(int argc, char** argv) {
    Args args(argc, argv, 2);
    if (args.WantsHelp()) return std::fputs(kCreateHelp, stdout) < 0 ? kExitFailed : kExitOk;
    std::string why;
    if (!args.Parse({"-o", "--output", "--inner", "--unused", "--pub", "--key-suffix",
                     "--encrypt-flag", "--board", "--boards-file", "--image", "--name", "--count",
                     "--key", "--encrypt-at", "--custom", "--mdc", "--updater"},
                    {"--encrypt", "--allow-plain-eci", "--quiet", "--legacy-only"}, &why)) {
        return Usage("create", why);
    }
    if (!args.Plain().empty())
        return Usage("create", "unexpected argument '" + args.Plain()[0] + "'");
    const std::string out = args.Has("-o") ? args.Get("-o") : args.Get("--output");
    if (out.empty()) return Usage("create", "the package to write is missing (-o FILE)");
    if (!args.Has("--inner")) return Usage("create", "the inner version is missing (--inner TEXT)");
    if (!args.Has("--pub")) return Usage("create", "the public version is missing (--pub TEXT)");

    pkg::PackPlan plan;
    plan.inner_version = args.Get("--inner");
    plan.unused = args.Get("--unused");
    plan.pub_version = args.Get("--pub");
    plan.key_suffix = args.Get("--key-suffix");
    plan.encrypt_flag = args.Get("--encrypt-flag");
    if (plan.encrypt_flag == "ECI" && !args.Has("--allow-plain-eci")) {
        return Usage("create",
                     "--encrypt-flag ECI marks the sub-images as enciphered, but they are "
                     "stored plain and the updater would spoil them by deciphering (use "
                     "--allow-plain-eci to write the mark anyway, for tests)");
    }
    if (!ParseEncrypt(args, &plan, &why)) return Usage("create", why);
    plan.boards = args.All("--board");
    for (const std::string& file : args.All("--boards-file")) {
        if (!ReadBoardsFile(file, &plan.boards, &why)) return Fail("create", why);
    }
    if (plan.boards.empty()) {
        std::fprintf(
            stderr, "update-pack create: warning: no board types; no board accepts this package\n");
    }
    for (const std::string& item : args.All("--image")) {
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
        if (!FileExists(image.path))
            return Fail("create", "image file '" + image.path + "' not found");
        plan.images.push_back(image);
    }
    std::string custom_made;  // a zip made from a --custom directory, removed at the end
    if (!AddCustomAndMdc(args, out, &plan, &custom_made, &why)) {
        if (!custom_made.empty()) ::unlink(custom_made.c_str());
        return Fail("create", why);
    }
    struct RemoveMade {
        const std::string& path;
        ~RemoveMade() {
            if (!path.empty()) ::unlink(path.c_str());
        }
    } remove_made{custom_made};
    for (const std::string& item : args.All("--name")) {
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
    if (args.Has("--count")) {
        auto count = ParseNumber(args.Get("--count"), 4096);
        if (!count || *count == 0)
            return Usage("create", "--count must be a number from 1 to 4096");
        plan.count = static_cast<uint32_t>(*count);
    }
    if (args.Has("--key")) {
        plan.private_key = args.Get("--key");
        if (!FileExists(plan.private_key)) {
            return Fail("create", "private key '" + plan.private_key + "' not found");
        }
    }
    plan.full_signature = !args.Has("--legacy-only");
    why = pkg::CheckPackPlan(plan);
    if (!why.empty()) return Usage("create", why);

    const bool quiet = args.Has("--quiet");
    ProgressBar bar(!quiet);
    plan.progress = [&bar](const char* step, uint64_t done, uint64_t total) {
        bar.Update(step, done, total);
    };
    pkg::PackReport report;
    if (pkg::WritePackage(plan, out, &report, &why) != 0) {
        bar.Finish();
        return Fail("create", why);
    }
    bar.Finish();
    for (const std::string& w : report.warnings) {
        std::fprintf(stderr, "update-pack create: warning: %s\n", w.c_str());
    }
    if (!quiet) {
        std::printf("wrote %s: %" PRIu64 " bytes, %zu sub-image(s), head CRC %u, %s\n", out.c_str(),
                    report.size, plan.images.size(), report.head_crc,
                    report.is_signed
                        ? ("signed with a " + std::to_string(report.key_bytes * 8) + "-bit key" +
                           (report.full_signed ? " (legacy and full signatures)"
                                               : " (legacy signature only)"))
                              .c_str()
                        : "not signed");
    }
    return kExitOk;
}

// The package named on the command line, open and read; false with the
// command's message printed unless quiet.
bool OpenPackage(const char* command, const std::string& path, bool quiet, sys::UniqueFd* fd,
                 pack::Package* p) {
    std::string why;
    fd->reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!*fd) {
        why = "cannot open '" + path + "': " + std::strerror(errno);
    } else if (pack::ReadPackage(fd->get(), path, p, &why) == 0) {
        return true;
    }
    if (!quiet) Fail(command, why);
    return false;
}

int Info(int argc, char** argv) {
    Args args(argc, argv, 2);
    if (args.WantsHelp()) return std::fputs(kInfoHelp, stdout) < 0 ? kExitFailed : kExitOk;
    std::string why;
    if (!args.Parse({"--pub-key"}, {}, &why)) return Usage("info", why);
    if (args.Plain().size() != 1) return Usage("info", "give exactly one package file");
    const std::string path = args.Plain()[0];
    sys::UniqueFd fd;
    pack::Package p;
    if (!OpenPackage("info", path, false, &fd, &p)) return kExitFailed;
    (void)pack::WriteInfo(fd.get(), path, p, args.Get("--pub-key"), stdout);
    return kExitOk;
}

int Verify(int argc, char** argv) {
    Args args(argc, argv, 2);
    if (args.WantsHelp()) return std::fputs(kVerifyHelp, stdout) < 0 ? kExitFailed : kExitOk;
    std::string why;
    if (!args.Parse({"--pub-key"}, {"--quiet"}, &why)) return Usage("verify", why);
    if (args.Plain().size() != 1) return Usage("verify", "give exactly one package file");
    const std::string path = args.Plain()[0];
    const bool quiet = args.Has("--quiet");
    sys::UniqueFd fd;
    pack::Package p;
    if (!OpenPackage("verify", path, quiet, &fd, &p)) return kExitFailed;
    return pack::Verify(fd.get(), p, args.Get("--pub-key"), quiet ? nullptr : stdout) == 0
               ? kExitOk
               : kExitFailed;
}

int Extract(int argc, char** argv) {
    Args args(argc, argv, 2);
    if (args.WantsHelp()) return std::fputs(kExtractHelp, stdout) < 0 ? kExitFailed : kExitOk;
    std::string why;
    if (!args.Parse({"-o", "--output"}, {}, &why)) return Usage("extract", why);
    if (args.Plain().size() != 2) return Usage("extract", "give the package file and a position");
    const std::string out = args.Has("-o") ? args.Get("-o") : args.Get("--output");
    if (out.empty()) return Usage("extract", "the file to write is missing (-o OUT)");
    auto pos = ParsePosition(args.Plain()[1]);
    if (!pos) return Usage("extract", "bad table position '" + args.Plain()[1] + "'");
    const std::string path = args.Plain()[0];
    sys::UniqueFd fd;
    pack::Package p;
    if (!OpenPackage("extract", path, false, &fd, &p)) return kExitFailed;
    SubImageEntry e{};
    if (pack::EntryToExtract(p, *pos, &e, &why) != 0) return Fail("extract", why);
    if (UPDATE_UnpackFile(path.c_str(), e.FileOffset, e.FileLength, out.c_str()) != 0) {
        return Fail("extract", "cannot copy the sub-image to '" + out + "'");
    }
    return kExitOk;
}

struct Command {
    const char* name;
    int (*run)(int, char**);
};
constexpr Command kCommands[] = {
    {"keygen", Keygen}, {"create", Create},   {"info", Info},
    {"verify", Verify}, {"extract", Extract},
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 ||
        std::strcmp(argv[1], "help") == 0) {
        std::fputs(kMainHelp, argc < 2 ? stderr : stdout);
        return argc < 2 ? kExitUsage : kExitOk;
    }
    for (const Command& c : kCommands) {
        if (std::strcmp(argv[1], c.name) == 0) return c.run(argc, argv);
    }
    return Usage("", std::string("unknown command '") + argv[1] + "'");
}
