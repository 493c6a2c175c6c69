#include "package/version.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "base/platform.h"
#include "package/format.h"
#include "sys/fd.h"
#include "sys/log.h"
#include "sys/path.h"
#include "sys/text.h"

namespace {
constexpr const char* kLogUnit = sys::kUnitUpdate;

constexpr const char* kProgramVersionFile = "/program/.version";
constexpr const char* kRootVersionFile = "/.version";
constexpr const char* kUnknown = "Unknown";

constexpr size_t kBoardListEntries = 64;
constexpr size_t kBoardTypeChars = 19;
constexpr size_t kBaselineChars = 15;

// Values the validity check leaves for later steps of the run. Written once by
// the worker before anyone reads them.
struct KeptValues {
    char local_inner[kVersionTextSize + 1];
    char local_pub[kVersionTextSize + 1];
    char local_new[kVersionTextSize + 1];
    char image_pub[kPubVersionChars + 1];
    char encrypt_flag[kEncryptFlagChars + 1];
    char key_material[kKeyMaterialChars + 1];
};
KeptValues g_kept{};

struct ForbiddenPair {
    const char* one;
    const char* other;
};
constexpr ForbiddenPair kForbiddenPairs[] = {
    {"QTCXV500R002B01", "QTCXV500R002B70"},
    {"QTCXV500R006B01", "QTCXV500R006B70"},
    {"QTPXV300R006B13", "QTPXV300R006B70"},
};

bool SameBaseline(const char* a, const char* b) {
    return std::strncmp(a, b, kBaselineChars) == 0;
}

// First whitespace-delimited token of text, cut to the value size.
void FirstToken(const char* text, char* dst) {
    char token[kVersionTextSize];
    if (std::sscanf(text, "%127s", token) == 1) sys::CopyText(dst, kVersionTextSize, token);
}

}  // namespace

namespace pkg {

void ReadVersionLines(std::FILE* file, char* pub, char* neu, char* inn, char* build_date,
                      char* build_time) {
    char line[kVersionTextSize];
    bool line_start = true;
    while (std::fgets(line, sizeof(line), file) != nullptr) {
        // Only the first 127 characters of a line count; the rest of a longer
        // line is skipped rather than read as a line of its own.
        const bool at_start = line_start;
        line_start = std::strchr(line, '\n') != nullptr;
        if (!at_start) continue;
        if (std::strncmp(line, "PUB:", 4) == 0) {
            FirstToken(line + 4, pub);
        } else if (std::strncmp(line, "NEW:", 4) == 0) {
            FirstToken(line + 4, neu);
        } else if (std::strncmp(line, "INN:", 4) == 0) {
            FirstToken(line + 4, inn);
        } else if (std::strncmp(line, "BUILD:", 6) == 0) {
            char date[kVersionTextSize];
            char time[kVersionTextSize];
            int n = std::sscanf(line + 6, "%127s %127s", date, time);
            if (n >= 1) sys::CopyText(build_date, kVersionTextSize, date);
            if (n >= 2) sys::CopyText(build_time, kVersionTextSize, time);
        }
    }
}

}  // namespace pkg

int UPDATE_ReadVersionFile(char* pub, char* neu, char* inn, char* build_date, char* build_time) {
    std::string path = sys::DevicePath(kProgramVersionFile);
    if (::access(path.c_str(), F_OK) != 0) path = sys::DevicePath(kRootVersionFile);
    sys::UniqueFile file(std::fopen(path.c_str(), "re"));
    if (!file) {
        ULOG("open version file error\n");
        sys::CopyText(pub, kVersionTextSize, kUnknown);
        sys::CopyText(neu, kVersionTextSize, kUnknown);
        sys::CopyText(inn, kVersionTextSize, kUnknown);
        return -1;
    }
    pkg::ReadVersionLines(file.get(), pub, neu, inn, build_date, build_time);
    return 0;
}

int UPDATE_ReadVersionValues(VersionFileValues* values) {
    *values = VersionFileValues{};
    return UPDATE_ReadVersionFile(values->pub, values->neu, values->inn, values->build_date,
                                  values->build_time);
}

void UPDATE_FormatBuildDate(const char* date, char* scratch, char* version) {
    int year = 0;
    unsigned char month = 0;
    unsigned char day = 0;
    (void)std::sscanf(date, "%d-%hhu-%hhu", &year, &month, &day);
    std::snprintf(scratch, kVersionTextSize, ".%02d%02hhu%02hhu", year % 100, month, day);
    sys::AppendText(version, kVersionTextSize, scratch);
}

int UPDATE_CheckBoardCompat(char* compatlist, const char* board_type) {
    const size_t end = ::strnlen(compatlist, kCompatSize);
    size_t start = 0;
    for (size_t examined = 0; examined < kBoardListEntries; ++examined) {
        void* dollar = std::memchr(compatlist + start, '$', end - start);
        const size_t stop =
            dollar != nullptr ? static_cast<size_t>(static_cast<char*>(dollar) - compatlist) : end;
        if (dollar != nullptr) compatlist[stop] = '\0';
        char entry[kBoardTypeChars + 1];
        sys::CopyText(entry, std::string_view(compatlist + start, stop - start));
        ULOG_ONLY("Get compatible board type: %s, pszBoardType: %s\n", entry, board_type);
        if (std::strncmp(entry, board_type, kBoardTypeChars) == 0) {
            ULOG("Board Compatible\n");
            return 0;
        }
        if (dollar == nullptr) break;
        start = stop + 1;
    }
    ULOG("Board type is not compatible.\n");
    return -1;
}

int UPDATE_CheckUpdateValid(uint16_t force, uint16_t check, uint32_t update_type, char* head,
                            char* compatlist, const SubImageEntry* /*table*/, uint32_t* head_crc) {
    VersionFileValues local;
    if (UPDATE_ReadVersionValues(&local) != 0) {
        ULOG_ONLY("get Currentversion failed!\n");
        return kVersionNotNewer;
    }
    char board_type[kProbeTextSize] = {};
    (void)UPDATE_GetBoardType(board_type);
    return pkg::CheckUpdateValidFor(force, check, update_type, head, compatlist, local, board_type,
                                    head_crc);
}

int pkg::CheckUpdateValidFor(uint16_t force, uint16_t check, uint32_t update_type, char* head,
                             char* compatlist, const VersionFileValues& local,
                             const char* board_type, uint32_t* head_crc) {
    sys::CopyText(g_kept.local_inner, local.inn);
    sys::CopyText(g_kept.local_pub, local.pub);
    sys::CopyText(g_kept.local_new, local.neu);

    ImageHeadFields fields{};
    UPDATE_SplitHead(head, &fields);
    sys::CopyText(g_kept.image_pub, fields.PubVersion);
    sys::CopyText(g_kept.encrypt_flag, fields.EncryptFlag);
    if (head_crc != nullptr) *head_crc = fields.HeadCrc;

    if (UPDATE_CheckBoardCompat(compatlist, board_type) != 0) return kBoardIncompatible;

    g_kept.key_material[0] = '\0';
    sys::AppendText(g_kept.key_material, fields.InnerVersion);
    sys::AppendText(g_kept.key_material, fields.PubVersion);
    sys::AppendText(g_kept.key_material, fields.KeySuffix);

    if (force == 1) return 0;

    for (const ForbiddenPair& pair : kForbiddenPairs) {
        if ((SameBaseline(fields.InnerVersion, pair.one) && SameBaseline(local.inn, pair.other)) ||
            (SameBaseline(fields.InnerVersion, pair.other) && SameBaseline(local.inn, pair.one))) {
            ULOG("Local version is %s, but New version is %s\n", local.inn, fields.InnerVersion);
            return kCrossGradeForbidden;
        }
    }

    ULOG_ONLY(
        "BoardType:%s, \nLocal InnerVersion: %s, \nImage InnerVersion: %s, \nLocal PubVersion: "
        "%s, \nImage PubVersion: %s\n",
        board_type, local.inn, fields.InnerVersion, local.pub, fields.PubVersion);

    if ((update_type & kStepFirstStage) != 0 && check != 1) return 0;
    if (ver_cmp(fields.PubVersion, local.pub) > 0) return 0;
    ULOG("Local version bigger than or equal as update version, not need update!\n");
    return kVersionNotNewer;
}

namespace {

// Two characters of a text from a position; positions past the end read as NUL.
struct Pair {
    char c[3];
};
Pair TwoAt(const char* text, size_t pos) {
    Pair p{};
    const size_t len = std::strlen(text);
    if (pos < len) p.c[0] = text[pos];
    if (pos + 1 < len) p.c[1] = text[pos + 1];
    return p;
}
int ComparePair(const Pair& a, const char* b) {
    return std::strncmp(a.c, b, 2);
}

struct ForceRow {
    const char* baselines[4];
    // Image condition: characters 3-4 above major, or equal to major with
    // characters 6-7 at least minor; minor null means characters 3-4 at least major.
    const char* major;
    const char* minor;
    const char* revision_below;
};
constexpr ForceRow kForceRows[] = {
    {{"QTPXV300R004B02", "QTPXV300R004B03", "QTPXV300R007B09", "QTPXV300R007B10"},
     "18",
     "76",
     "07"},
    {{"QTPXV300R006B13", nullptr, nullptr, nullptr}, "41", "17", "07"},
    {{"QTPXV300R001B15", "QTPXV300R001B16", nullptr, nullptr}, "03", nullptr, "07"},
    {{"QTCXV500R006B01", "QTCXV500R006B02", "QTCXV500R006B03", nullptr}, "39", "10", "02"},
};

}  // namespace

bool UPDATE_NeedForceUboot(const char* local_inner, const char* image_pub, const char* uboot_rev) {
    if (local_inner == nullptr || image_pub == nullptr || uboot_rev == nullptr) return false;
    const Pair main = TwoAt(image_pub, 3);
    const Pair minor = TwoAt(image_pub, 6);
    const Pair revision = TwoAt(uboot_rev, 2);
    for (const ForceRow& row : kForceRows) {
        bool baseline = false;
        for (const char* b : row.baselines) {
            if (b != nullptr && SameBaseline(local_inner, b)) baseline = true;
        }
        if (!baseline) continue;
        const int major_cmp = ComparePair(main, row.major);
        const bool image =
            row.minor == nullptr
                ? major_cmp >= 0
                : major_cmp > 0 || (major_cmp == 0 && ComparePair(minor, row.minor) >= 0);
        if (!image) continue;
        if (ComparePair(revision, row.revision_below) < 0) return true;
    }
    return false;
}

const char* UPDATE_LocalInnerVersion() {
    return g_kept.local_inner;
}
const char* UPDATE_LocalPubVersion() {
    return g_kept.local_pub;
}
const char* UPDATE_LocalNewVersion() {
    return g_kept.local_new;
}
const char* UPDATE_ImagePubVersion() {
    return g_kept.image_pub;
}
const char* UPDATE_EncryptFlag() {
    return g_kept.encrypt_flag;
}
const char* UPDATE_KeyMaterial() {
    return g_kept.key_material;
}

void UPDATE_ClearKeyMaterial() {
    std::memset(g_kept.key_material, 0, sizeof(g_kept.key_material));
    std::memset(g_kept.encrypt_flag, 0, sizeof(g_kept.encrypt_flag));
}
