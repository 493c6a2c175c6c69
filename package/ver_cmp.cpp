// Public-version grammar and comparison.
#include <cstring>

#include "package/version.h"
#include "sys/log.h"

namespace {
constexpr const char* kLogUnit = sys::kUnitVerCmp;

// A version text read by position; positions past the end read as NUL.
class Text {
  public:
    explicit Text(const char* s) : s_(s), len_(std::strlen(s)) {}
    char At(size_t i) const { return i < len_ ? s_[i] : '\0'; }
    void Copy(size_t from, size_t n, char* dst) const {
        for (size_t i = 0; i < n; ++i) dst[i] = At(from + i);
    }

  private:
    const char* s_;
    size_t len_;
};

// First Value digit of each release letter; D lowest, E and F highest.
char ReleaseDigit(char letter) {
    switch (letter) {
        case 'D':
            return '0';
        case 'A':
            return '1';
        case 'T':
            return '2';
        case 'C':
            return '3';
        case 'B':
        case 'R':
            return '4';
        case 'E':
        case 'F':
            return '5';
        default:
            return '\0';
    }
}

bool StartsPart(char c) {
    return c == 'C' || c == 'L' || c == 'P' || c == '\0';
}

bool EndsWithT(const char* s) {
    const size_t n = std::strlen(s);
    return n > 0 && s[n - 1] == 'T';
}

}  // namespace

int UPDATE_ParseVersion(const char* text, ParsedVersion* out) {
    *out = ParsedVersion{};
    std::memcpy(out->Value, "000000000", 10);
    if (text == nullptr) return 0;
    const Text t(text);
    const char release = ReleaseDigit(t.At(0));
    if (release == '\0') return 0;
    out->Value[0] = release;

    size_t type_chars = 0;
    if (StartsPart(t.At(5))) {
        out->Form = VersionForm::Short;
        type_chars = 2;
    } else if (StartsPart(t.At(6))) {
        out->Form = VersionForm::Long;
        type_chars = 3;
    } else {
        return 0;
    }
    std::memcpy(out->Type, out->Form == VersionForm::Short ? "00000" : "000000",
                out->Form == VersionForm::Short ? 6 : 7);
    t.Copy(1, type_chars, out->Type);
    t.Copy(1 + type_chars, 2, out->Value + 1);
    size_t pos = 3 + type_chars;

    // Optional parts in the order P, L, C; nothing is checked after a C part.
    if (t.At(pos) == 'P') {
        t.Copy(pos + 1, 2, out->Value + 3);
        pos += 3;
        if (t.At(pos) != 'L' && t.At(pos) != 'C' && t.At(pos) != '\0') return 0;
    }
    if (t.At(pos) == 'L') {
        t.Copy(pos + 1, 2, out->Value + 5);
        t.Copy(pos + 1, 2, out->LNumber);
        out->LcKind = kLcL;
        pos += 3;
        if (t.At(pos) != 'C' && t.At(pos) != '\0') return 0;
    }
    if (t.At(pos) == 'C') {
        t.Copy(pos + 1, 3, out->Type + type_chars);
        t.Copy(pos + 4, 2, out->Value + 7);
        if (out->LcKind == kLcNone) out->LcKind = kLcCOnly;
    } else if (t.At(pos) != '\0') {
        return 0;
    }
    return 1;
}

int ver_cmp(const char* image_pub, const char* local_pub) {
    if (image_pub == nullptr || local_pub == nullptr) return -1;
    if (EndsWithT(image_pub) || EndsWithT(local_pub)) return 1;

    ParsedVersion image{};
    ParsedVersion local{};
    if (UPDATE_ParseVersion(image_pub, &image) == 0) {
        ULOG("Invalid img version %s\n", image_pub);
        return 0;
    }
    if (UPDATE_ParseVersion(local_pub, &local) == 0) {
        ULOG("Invalid board version %s\n", local_pub);
        return 0;
    }
    ULOG(
        "Image version %s (Type %s, Value %s, L/C %d), Board version %s (Type %s, Value %s, L/C "
        "%d)\n",
        image_pub, image.Type, image.Value, image.LcKind, local_pub, local.Type, local.Value,
        local.LcKind);

    const bool local_short = local.Form == VersionForm::Short;
    size_t type_len = 0;
    size_t value_len = 0;
    if (local.LcKind == kLcCOnly && image.LcKind != kLcCOnly) {
        type_len = local_short ? 2 : 3;
        value_len = 7;
    } else {
        type_len = local_short ? 5 : 6;
        value_len = 9;
        if (local.LcKind == kLcL && image.LcKind == kLcNone &&
            std::strncmp(local.LNumber, "70", 2) >= 0) {
            ULOG("Board version limit update L%s\n", local.LNumber);
            return -1;
        }
    }
    if (std::strncmp(image.Type, local.Type, type_len) != 0) return -1;
    const int value = std::strncmp(image.Value, local.Value, value_len);
    if (value > 0) return 1;
    if (value == 0) return 0;
    return -1;
}
