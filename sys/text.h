// Bounded text copies for the fixed-size text fields of records: the copy is
// cut silently to the field and always NUL-terminated.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

namespace sys {

inline void CopyText(char* dst, std::size_t cap, std::string_view src) {
    if (cap == 0) return;
    std::size_t n = src.size() < cap - 1 ? src.size() : cap - 1;
    std::memcpy(dst, src.data(), n);
    dst[n] = '\0';
}

template <std::size_t N>
void CopyText(char (&dst)[N], std::string_view src) {
    CopyText(dst, N, src);
}

inline void CopyText(char* dst, std::size_t cap, const char* src) {
    CopyText(dst, cap, src != nullptr ? std::string_view(src) : std::string_view());
}

template <std::size_t N>
void CopyText(char (&dst)[N], const char* src) {
    CopyText(dst, N, src);
}

// Appends src to the NUL-terminated text in dst as far as cap allows.
inline void AppendText(char* dst, std::size_t cap, std::string_view src) {
    std::size_t len = ::strnlen(dst, cap);
    if (len + 1 >= cap) return;
    CopyText(dst + len, cap - len, src);
}

template <std::size_t N>
void AppendText(char (&dst)[N], std::string_view src) {
    AppendText(dst, N, src);
}

// Length of a text field that may lack its NUL byte.
template <std::size_t N>
std::string_view FieldText(const char (&field)[N]) {
    return std::string_view(field, ::strnlen(field, N));
}

}  // namespace sys
