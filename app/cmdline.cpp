#include "app/cmdline.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <string_view>

#include "base/platform.h"
#include "package/version.h"
#include "sys/log.h"
#include "sys/quote.h"
#include "sys/text.h"

namespace {
constexpr const char* kLogUnit = sys::kUnitUpdate;

// The first two fields read as one word: UpdateType low, InfoMode high. The
// info options store the whole word and so drop the image words before them.
void StoreInfoWord(UPDATE_PARA_S* para, uint16_t info_mode) {
    para->UpdateType = 0;
    para->InfoMode = info_mode;
}

struct ImageWord {
    const char* word;
    uint32_t mask;
};

constexpr ImageWord kImageWords[] = {
    {"uImage", kImageKernel},
    {"program", kImageProgram},
    {"program.img", kImageProgram},
    {"u-boot", kImageUboot},
    {"u-boot.bin", kImageUboot},
    {"uboot", kImageUboot},
    {"config", kImageConfig},
    {"config.img", kImageConfig},
    {"activex", kImageWeb},
    {"activex.img", kImageWeb},
    {"slaveuboot", kImageSlaveUboot},
    {"slavekernel", kImageSlaveKernel},
    {"slaveprogram", kImageSlaveProgram},
    {"tvconfig", kImageTvconfig},
    {"tvconfig.img", kImageTvconfig},
    {"all", kImageAll},
};

// Allowed argument counts (program name included) by first word.
struct CountRule {
    const char* word;
    int min;
    int max;
};

constexpr int kNoLimit = std::numeric_limits<int>::max();
constexpr CountRule kCountRules[] = {
    {"-tftp", 4, 10},      {"-ftp", 4, 14},         {"-mycloud", 4, 10},
    {"-web", 3, kNoLimit}, {"-local", 3, kNoLimit}, {"-fix", 3, 3},
};

bool CountOutOfRange(int argc, const char* first) {
    for (const CountRule& rule : kCountRules) {
        if (std::strcmp(first, rule.word) == 0) return argc < rule.min || argc > rule.max;
    }
    return false;
}

bool Is(std::string_view word, std::initializer_list<std::string_view> names) {
    for (std::string_view name : names) {
        if (word == name) return true;
    }
    return false;
}

// Appends a word and one blank. Once a word no longer fits whole, it and all
// words after it are dropped, so the line never hands a cut word on.
void AppendUnknown(char* unknown, bool& full, std::string_view word) {
    if (unknown == nullptr || full) return;
    std::size_t len = ::strnlen(unknown, kUnknownLineSize);
    if (len + word.size() + 1 > kUnknownLineSize - 1) {
        full = true;
        return;
    }
    std::memcpy(unknown + len, word.data(), word.size());
    unknown[len + word.size()] = ' ';
    unknown[len + word.size() + 1] = '\0';
}

uint64_t SelectedSupportMask() {
    const PLATFORM_INFO_S* platform = UPDATE_Platform();
    return platform != nullptr ? platform->SupportMask : 0;
}

constexpr const char* kUsageLines[] = {
    "update software of device.\n",
    "Usage: update PROTOCOL [remote ip/local path] FILE [OPTION]\n",
    "Usage: update PROTOCOL [remote ip/local path/url] FILE [OPTION]\n",
    "PROTOCOL:",
    "        -tftp           load remote file with tftp protocol",
    "        -ftp            load remote file with  ftp protocol",
    "        -local          load file from local path",
    "        -mycloud        load file from cloud",
    "FILE:",
    "        all             update uImage, program and webctrl of device",
    "        uImage          update uImage  of device",
    "        program         update program of device",
    "        config          update config of device",
    "        u-boot          update u-boot  of device",
    "        activex         update activex and logo of device",
};

constexpr struct {
    uint32_t mask;
    const char* line;
} kSlaveUsageLines[] = {
    {kImageSlaveUboot, "        slaveuboot      update slave uboot of device"},
    {kImageSlaveKernel, "        slavekernel     update slave kernel of device"},
    {kImageSlaveProgram, "        slaveprogram    update slave program of device"},
};

constexpr const char* kOptionUsageLines[] = {
    "OPTION:",
    "        -username ftp username to be used",
    "        -password ftp password to be used",
    "        -reboot   reboot  device after update",
    "        -wait     not reboot device after update",
    "        -force    force update and ignore version",
    "        -path     path of files in tftp or ftp server",
    "        -check    check the package only, write nothing",
    "        -debug    load one raw image into its partition",
    "        -help     print help",
};

void Unknown(char* dst) {
    sys::CopyText(dst, kVersionTextSize, "Unknown");
}

// The parser; marks in secret (when given) the words taken as a password.
int Scan(int argc, char** argv, UPDATE_PARA_S* para, char* unknown, uint64_t support_mask,
         std::vector<bool>* secret) {
    para->UpdateType = 0;
    para->InfoMode = kInfoUsage;
    para->TransType = kTransTftp;
    para->ForceFlag = 0;
    para->RebootFlag = 1;
    para->DebugFlag = 0;
    para->PathFlag = 0;
    para->CheckFlag = 0;
    sys::CopyText(para->remote, "");
    sys::CopyText(para->user, "admin");
    sys::CopyText(para->password, "ravel");
    sys::CopyText(para->path, "");
    sys::CopyText(para->url, "");

    if (argc >= 2 && CountOutOfRange(argc, argv[1])) return -1;

    int result = 0;
    bool first_stage = true;
    bool unknown_full = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view word = argv[i];
        // A value-taking option as the last word gets an empty value.
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : ""; };

        if (Is(word, {"-version", "-ver", "-v"})) {
            StoreInfoWord(para, kInfoFull);
            first_stage = false;
        } else if (Is(word, {"-i", "-innerversion"})) {
            StoreInfoWord(para, kInfoInner);
            first_stage = false;
        } else if (Is(word, {"-d", "-debug"})) {
            para->DebugFlag = 1;
        } else if (Is(word, {"-help", "-h"})) {
            StoreInfoWord(para, kInfoUsage);
            first_stage = false;
        } else if (word == "-tftp") {
            para->TransType = kTransTftp;
            sys::CopyText(para->remote, value());
        } else if (word == "-ftp") {
            para->TransType = kTransFtp;
            sys::CopyText(para->remote, value());
        } else if (word == "-local") {
            para->TransType = kTransLocal;
            para->RebootFlag = 1;
            para->PathFlag = 1;
            sys::CopyText(para->path, value());
        } else if (word == "-mycloud") {
            para->TransType = kTransCloud;
            sys::CopyText(para->url, value());
        } else if (Is(word, {"-check", "-c"})) {
            para->CheckFlag = 1;
        } else if (Is(word, {"-reboot", "-r"})) {
            para->RebootFlag = 1;
        } else if (Is(word, {"-wait", "-w"})) {
            para->RebootFlag = 0;
        } else if (Is(word, {"-force", "-f"})) {
            para->ForceFlag = 1;
        } else if (Is(word, {"-path", "-P"})) {
            para->PathFlag = 1;
            sys::CopyText(para->path, value());
        } else if (word == "-loop") {
            first_stage = false;
        } else if (Is(word, {"-u", "-username"})) {
            sys::CopyText(para->user, value());
        } else if (Is(word, {"-p", "-password"})) {
            if (secret != nullptr && i + 1 < argc)
                (*secret)[static_cast<std::size_t>(i) + 1] = true;
            sys::CopyText(para->password, value());
        } else if (Is(word, {"0", "1"})) {
            // Accepted for old front ends; no effect.
        } else {
            bool image = false;
            for (const ImageWord& w : kImageWords) {
                if (word == w.word) {
                    para->UpdateType =
                        static_cast<uint16_t>(para->UpdateType | (w.mask & support_mask));
                    image = true;
                    break;
                }
            }
            if (!image) {
                // The words reach a shell line of the hand-over: each is
                // quoted there as one word.
                AppendUnknown(unknown, unknown_full, sys::ShellQuote(word));
                result = -1;
            }
        }
    }

    if (first_stage) {
        para->UpdateType = static_cast<uint16_t>(para->UpdateType | kImageFirstStage);
    }
    return result;
}

}  // namespace

namespace app {

int ParseArgsForMask(int argc, char** argv, UPDATE_PARA_S* para, char* unknown,
                     uint64_t support_mask) {
    return Scan(argc, argv, para, unknown, support_mask, nullptr);
}

std::vector<bool> PasswordWords(int argc, char** argv) {
    std::vector<bool> secret(argc > 0 ? static_cast<std::size_t>(argc) : 0, false);
    UPDATE_PARA_S scratch{};
    (void)Scan(argc, argv, &scratch, nullptr, 0, &secret);
    return secret;
}

void ShowUsageForMask(uint64_t support_mask) {
    std::printf("Update %s\n", kUpdateToolVersion);
    for (const char* line : kUsageLines) std::printf("%s\n", line);
    for (const auto& slave : kSlaveUsageLines) {
        if ((support_mask & slave.mask) != 0) std::printf("%s\n", slave.line);
    }
    for (const char* line : kOptionUsageLines) std::printf("%s\n", line);
    std::fflush(stdout);
}

}  // namespace app

int UPDATE_ParseArgs(int argc, char** argv, UPDATE_PARA_S* para, char* unknown) {
    return app::ParseArgsForMask(argc, argv, para, unknown, SelectedSupportMask());
}

void UPDATE_ShowUsage() {
    app::ShowUsageForMask(SelectedSupportMask());
}

void UPDATE_ShowVersion(int mode) {
    if (mode != kInfoInner && mode != kInfoFull) return;

    VersionFileValues v;
    if (UPDATE_ReadVersionValues(&v) != 0) {
        v.build_date[0] = '\0';
        v.build_time[0] = '\0';
    }
    char* pub = v.pub;
    char* neu = v.neu;
    char* inn = v.inn;
    const char* build_date = v.build_date;
    const char* build_time = v.build_time;
    if (pub[0] == '\0') Unknown(pub);
    if (inn[0] == '\0') Unknown(inn);
    if (neu[0] == '\0') {
        Unknown(neu);
    } else if (build_date[0] != '\0') {
        char scratch[kVersionTextSize] = {};
        UPDATE_FormatBuildDate(build_date, scratch, neu);
    }

    if (mode == kInfoInner) {
        std::printf("Inerversion: %s\n", inn);
        std::fflush(stdout);
        return;
    }

    char board[kProbeTextSize] = {};
    char uboot[kProbeTextSize] = {};
    (void)UPDATE_GetBoardType(board);
    (void)UPDATE_GetUbootVersion(uboot);
    if (board[0] == '\0') sys::CopyText(board, "Unknown");
    if (uboot[0] == '\0') sys::CopyText(uboot, "Unknown");

    std::printf("Current version: %s\n", pub);
    std::printf("New Pub version: %s\n", neu);
    std::printf("Inerversion: %s\n", inn);
    std::printf("Board type: %s\n", board);
    std::printf("Uboot version: %s\n", uboot);
    std::printf("Build date: %s %s\n", build_date, build_time);
    std::fflush(stdout);
}

int UPDATE_CheckIpFormat(const char* ip) {
    if (ip == nullptr) return -1;
    int dots = 0;
    int group = 0;
    for (const char* c = ip; *c != '\0'; ++c) {
        if (*c >= '0' && *c <= '9') {
            ++group;
        } else if (*c == '.') {
            if (group == 0 || group > 3) {
                ULOG("ip address  error(j)\n");
                return -1;
            }
            ++dots;
            group = 0;
        } else {
            return -1;
        }
    }
    if (dots != 3 || group == 0 || group > 3) {
        ULOG("ip address  error(i)\n");
        return -1;
    }
    return 0;
}

int UPDATE_CheckRemote(const UPDATE_PARA_S* para) {
    if (para->TransType == 2 || para->TransType == kTransLocal || para->TransType == kTransCloud) {
        return 0;
    }
    if (para->remote[0] == '\0') {
        UPDATE_ShowUsage();
        return -1;
    }
    char remote[sizeof(para->remote) + 1] = {};
    sys::CopyText(remote, sys::FieldText(para->remote));
    if (UPDATE_CheckIpFormat(remote) != 0) {
        ULOG("invalid remote address: %s\n", remote);
        return -1;
    }
    return 0;
}

int UPDATE_GetFileNames(const UPDATE_PARA_S* para, char* remote_name, char* local_path) {
    const std::string_view path = sys::FieldText(para->path);
    if (para->PathFlag == 1) {
        std::snprintf(remote_name, kFileNameSize, "%.*s/%s", static_cast<int>(path.size()),
                      path.data(), kPackageFileName);
        const bool fetched = para->TransType == kTransTftp || para->TransType == kTransFtp ||
                             para->TransType == kTransTftpAlt;
        sys::CopyText(local_path, kFileNameSize, fetched ? kLocalPackagePath : remote_name);
    } else if (para->TransType == kTransCloud) {
        sys::CopyText(remote_name, kFileNameSize, kLocalPackagePath);
        sys::CopyText(local_path, kFileNameSize, kLocalPackagePath);
    } else {
        sys::CopyText(remote_name, kFileNameSize, kPackageFileName);
        sys::CopyText(local_path, kFileNameSize, kLocalPackagePath);
    }
    return 0;
}
