// Customisation archive, manufacturing information, boot logo and languages.
#include "oem/oem.h"

#include <fcntl.h>
#include <mxml.h>
#include <sys/stat.h>
#include <unistd.h>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "oem/zip_names.h"
#include "sys/fd.h"
#include "sys/io.h"
#include "sys/log.h"
#include "sys/path.h"
#include "sys/quote.h"
#include "sys/runner.h"

namespace {
constexpr const char* kLogUnit = sys::kUnitUpdate;
constexpr std::size_t kCmdLen = 512;

bool Exists(const std::string& device_path) {
    struct stat st {};
    return ::stat(sys::DevicePath(device_path.c_str()).c_str(), &st) == 0;
}

// Formats a command line into the 512-byte buffer; false when it would be cut.
template <typename... Args>
bool Format(char (&cmd)[kCmdLen], const char* fmt, Args... args) {
    const int n = std::snprintf(cmd, kCmdLen, fmt, args...);
    return n >= 0 && static_cast<std::size_t>(n) < kCmdLen;
}

// Logs a loader command line (log only) and runs it.
int RunLogged(const char* cmd) {
    ULOG_ONLY("%s", cmd);
    return UPDATE_System(cmd);
}

// The identity items that stay the device's own.
constexpr std::array<std::string_view, 3> kIdentityKeys = {"DEVICE_SERIAL_NUMBER", "MAC_ADDRESS",
                                                           "BOARD_SERIAL_NUMBER"};

// The key of a line: the text before its first ':' (or '=' in the device's
// own lines), without surrounding blanks.
std::string_view KeyOf(std::string_view line) {
    std::size_t end = line.find_first_of(":=\r\n");
    std::string_view key = line.substr(0, end == std::string_view::npos ? line.size() : end);
    while (!key.empty() && (key.front() == ' ' || key.front() == '\t')) key.remove_prefix(1);
    while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.remove_suffix(1);
    return key;
}

// The device's line for exactly `key` (line end included), or "" when the
// device has none. `name` is the identity name that `key` begins with.
std::string DeviceLine(std::string_view name, std::string_view key) {
    char cmd[kCmdLen];
    if (!Format(cmd, "cat /proc/env | grep %.*s", static_cast<int>(name.size()), name.data()))
        return {};
    std::string out;
    if (sys::CurrentRunner().ReadCommand(cmd, out, 65536) != 0) return {};
    std::size_t pos = 0;
    while (pos < out.size()) {
        std::size_t end = out.find('\n', pos);
        end = end == std::string::npos ? out.size() : end + 1;
        std::string_view line(out.data() + pos, end - pos);
        if (KeyOf(line) == key) {
            std::string found(line);
            if (found.back() != '\n') found += '\n';
            return found;
        }
        pos = end;
    }
    return {};
}

void ManuInfoFailed(const char* path) {
    ULOG_ONLY("UPDATE_AdaptManuInfo file failed: %s.\n", path);
    ULOG_ONLY("UPDATE_LoadManuInfo failed.\n");
}

// "flash_tool w /tmp/<name>"; a failure is logged with `shown`.
void FlashToolWrite(const char* name, const char* shown) {
    char cmd[kCmdLen];
    if (!Format(cmd, "flash_tool w /tmp/%s", name) || RunLogged(cmd) != 0) {
        ULOG_ONLY("UPDATE_LoadLogoFile %s failed.\n", shown);
    }
}

struct LanguageRow {
    unsigned number;
    const char* code;
};

constexpr std::array<LanguageRow, 41> kLanguages = {{
    {0, "ZH"},     {1, "EN"},  {2, "ZH_TW"}, {3, "JA"},  {4, "KO"},  {5, "FR"},   {6, "ES"},
    {7, "RU"},     {8, "DE"},  {9, "FA"},    {10, "PL"}, {11, "ID"}, {12, "TH"},  {13, "PT"},
    {14, "AR"},    {15, "IW"}, {16, "IT"},   {17, "EL"}, {18, "CS"}, {19, "TR"},  {20, "DA"},
    {21, "NO"},    {22, "RO"}, {23, "DU"},   {24, "SK"}, {25, "HU"}, {26, "BUL"}, {27, "CRO"},
    {28, "LV"},    {29, "UK"}, {30, "SER"},  {31, "VN"}, {32, "UZ"}, {33, "KK"},  {34, "ES_MX"},
    {35, "PT_BR"}, {36, "FI"}, {37, "SV"},   {38, "SW"}, {40, "ET"}, {41, "LT"},
}};

struct XmlTree {
    mxml_node_t* node = nullptr;
    XmlTree() = default;
    XmlTree(const XmlTree&) = delete;
    XmlTree& operator=(const XmlTree&) = delete;
    ~XmlTree() {
        if (node != nullptr) mxmlDelete(node);
    }
};

}  // namespace

const char* UPDATE_LanguageCode(unsigned number) {
    for (const LanguageRow& row : kLanguages) {
        if (row.number == number) return row.code;
    }
    return "";
}

int UPDATE_AdaptManuInfo(const char* in_path, const char* out_path) {
    sys::UniqueFile in(std::fopen(sys::DevicePath(in_path).c_str(), "r+e"));
    if (!in) {
        ULOG("Read MaunInfoFile: %s failed\n", in_path);
        return -1;
    }
    char cmd[kCmdLen];
    if (Format(cmd, "rm -rf %s", sys::ShellQuote(out_path).c_str())) (void)UPDATE_System(cmd);
    sys::UniqueFd out(
        ::open(sys::DevicePath(out_path).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0777));
    if (!out) {
        ULOG("Write MaunInfoFile: %s failed\n", out_path);
        return -1;
    }
    return oem::MergeManuInfo(in.get(), out.get(), out_path);
}

int oem::MergeManuInfo(std::FILE* in, int out_fd, const char* out_name) {
    char* raw = nullptr;
    std::size_t cap = 0;
    ssize_t n = 0;
    int ret = 0;
    while ((n = ::getline(&raw, &cap, in)) > 0) {
        std::string line(raw, static_cast<std::size_t>(n));
        const std::string_view key = KeyOf(line);
        for (std::string_view name : kIdentityKeys) {
            if (key.substr(0, name.size()) != name) continue;
            std::string device = DeviceLine(name, key);
            if (!device.empty()) line = std::move(device);
            break;
        }
        if (!sys::WriteFull(out_fd, line.data(), line.size())) {
            ULOG("Write MaunInfoFile: %s failed\n", out_name);
            ret = -1;
            break;
        }
    }
    std::free(raw);
    return ret;
}

int UPDATE_LoadManuInfo() {
    ULOG_ONLY("UPDATE_LoadManuInfo file : %s.\n", kManuInfoPath);
    if (!Exists(kManuInfoPath)) return 0;
    if (UPDATE_AdaptManuInfo(kManuInfoPath, kManuInfoTmpPath) != 0) {
        ManuInfoFailed(kManuInfoPath);
        return -1;
    }
    char cmd[kCmdLen];
    if (!Format(cmd, "loadtools %s ManuInfo", kManuInfoTmpPath) || RunLogged(cmd) != 0) {
        ULOG_ONLY("UPDATE_LoadManuInfo failed.\n");
        return -1;
    }
    return 0;
}

int UPDATE_LoadCfgInfo(const char* path) {
    if (path == nullptr || !Exists(path)) return 0;
    char cmd[kCmdLen];
    if (!Format(cmd, "loadtools %s CfgInfo", sys::ShellQuote(path).c_str())) return -1;
    return RunLogged(cmd);
}

int UPDATE_LoadLogoFile() {
    char cmd[kCmdLen];
    if (Exists(std::string(kOemDir) + "/" + kBootLogoName)) {
        if (Format(cmd, "mv %s/%s /tmp/", kOemDir, kBootLogoName)) (void)UPDATE_System(cmd);
        FlashToolWrite(kBootLogoName, kBootLogoName);
    }
    if (!Exists(std::string(kOemDir) + "/" + kResZipName)) return 0;
    if (Format(cmd, "cd %s;tar zcvf /tmp/%s %s;cd -", kOemDir, kResTarName, kResZipName)) {
        (void)UPDATE_System(cmd);
    }
    FlashToolWrite(kResTarName, kResZipName);
    return 0;
}

int UPDATE_LoadCustom(const char* zip_path) {
    if (zip_path == nullptr) return -1;
    // Nothing is unpacked from an archive whose names reach outside "/tmp/oem".
    std::string why;
    if (oem::CheckZipNames(zip_path, "oem/", why) != 0) {
        ULOG("custom archive %s refused: it %s.\n", zip_path, why.c_str());
        ULOG_ONLY("tar file %s failed.\n", zip_path);
        return -1;
    }
    char cmd[kCmdLen];
    if (!Format(cmd, "mkdir -p %s;unzip -o %s -d %s </dev/null", kOemDir,
                sys::ShellQuote(zip_path).c_str(), "/tmp")) {
        ULOG_ONLY("tar file %s failed.\n", zip_path);
        return -1;
    }
    ULOG_ONLY("%s .\n", cmd);
    const int ret = UPDATE_System(cmd);
    if (ret != 0) {
        ULOG_ONLY("tar file %s failed.\n", zip_path);
        return ret;
    }
    (void)UPDATE_LoadManuInfo();
    if (UPDATE_LoadCfgInfo(kOemCfgInfoPath) != 0) ULOG_ONLY("UPDATE_LoadCfgInfo failed.\n");
    return UPDATE_LoadLogoFile();
}

int GetDevcapLanguage(uint32_t (&support)[4], uint8_t& default_lang) {
    const std::string path = sys::DevicePath(kDevcapPath);
    if (!Exists(kDevcapPath)) {
        ULOG("%s inexistence\n", kDevcapPath);
        return -1;
    }
    sys::UniqueFile f(std::fopen(path.c_str(), "re"));
    if (!f) {
        ULOG("Failed to open file(%s)\n", kDevcapPath);
        return -1;
    }
    return oem::DevcapLanguageFrom(f.get(), support, default_lang);
}

int oem::DevcapLanguageFrom(std::FILE* file, uint32_t (&support)[4], uint8_t& default_lang) {
    uint32_t words[4] = {0, 0, 0, 0};
    // Everything the file holds hangs under one node of our own, so that one
    // delete frees it all: several top-level nodes, and what a parse that
    // failed half-way had built already. Its name holds a blank, which no
    // close tag can name: the file cannot close it and leave nodes outside.
    XmlTree tree;
    tree.node = mxmlNewElement(MXML_NO_PARENT, "devcap file");
    if (tree.node == nullptr || mxmlLoadFile(tree.node, file, MXML_OPAQUE_CALLBACK) == nullptr) {
        ULOG("XmlNode is NULL.\n");
        return -1;
    }
    mxml_node_t* custom =
        mxmlFindElement(tree.node, tree.node, "ACustomCfg", nullptr, nullptr, MXML_DESCEND);
    if (custom == nullptr) {
        ULOG("A custom node is NULL.\n");
    } else if (const char* attr = mxmlElementGetAttr(custom, "SupportLanguage")) {
        std::string_view rest(attr);
        for (uint32_t& word : words) {
            const std::size_t comma = rest.find(',');
            const std::string piece(rest.substr(0, comma));
            word = static_cast<uint32_t>(std::strtoul(piece.c_str(), nullptr, 10));
            if (comma == std::string_view::npos) break;
            rest.remove_prefix(comma + 1);
        }
    }
    unsigned lang = kNoLanguage;
    mxml_node_t* cur =
        mxmlFindElement(tree.node, tree.node, "CurLanguage", nullptr, nullptr, MXML_DESCEND);
    if (cur == nullptr) {
        ULOG("Current language node is NULL.\n");
    } else if (const char* text = mxmlGetOpaque(cur)) {
        lang = static_cast<uint8_t>(std::strtoul(text, nullptr, 10));
    }
    if (lang == kNoLanguage && (words[0] | words[1] | words[2] | words[3]) == 0) {
        ULOG("Default and support language are inexistence.\n");
        return -1;
    }
    if (lang >= kLanguageCount || ((words[lang / 32] >> (lang % 32)) & 1U) == 0) {
        ULOG("Default language(%u) is not in support language(%u/%u/%u/%u).\n", lang, words[0],
             words[1], words[2], words[3]);
        return -1;
    }
    for (int i = 0; i < 4; ++i) support[i] = words[i];
    default_lang = static_cast<uint8_t>(lang);
    return 0;
}

int UPDATE_LoadLanguage() {
    uint32_t w[4] = {0, 0, 0, 0};
    uint8_t lang = kNoLanguage;
    const int ret = GetDevcapLanguage(w, lang);
    if (ret != 0) return ret;
    ULOG("Get xml language default:%u, support:%u,%u,%u,%u.\n", lang, w[0], w[1], w[2], w[3]);
    {
        sys::UniqueFile f(std::fopen(sys::DevicePath(kLangCfgInfoPath).c_str(), "we"));
        if (!f) {
            ULOG("Failed to open %s.\n", kLangCfgInfoPath);
            return 0;
        }
        std::fputs("@@\r\nE_CONFIG_VER:1.00\r\n", f.get());
        if (static_cast<int8_t>(lang) >= 0) {
            std::fprintf(f.get(), "DEFAULT_LANGUAGE:%s\r\n", UPDATE_LanguageCode(lang));
        }
        if ((w[0] | w[1] | w[2] | w[3]) != 0) {
            std::fprintf(f.get(), "SUPPORT_LANGUAGE:%x,%x,%x,%x\r\n", w[0], w[1], w[2], w[3]);
        }
        std::fputs("$$\r\n", f.get());
    }
    const int loaded = UPDATE_LoadCfgInfo(kLangCfgInfoPath);
    if (loaded != 0) ULOG("Failed to load %s, %ld.\n", kLangCfgInfoPath, static_cast<long>(loaded));
    (void)UPDATE_System("rm -f /tmp/cfginfo.txt");
    return 0;
}
