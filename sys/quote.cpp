#include "sys/quote.h"

namespace sys {

bool IsPlainWord(std::string_view word) {
    if (word.empty()) return false;
    for (char c : word) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        switch (c) {
            case '-':
            case '_':
            case '.':
            case '/':
            case ':':
            case '@':
            case '%':
            case '+':
            case '=':
            case ',':
                plain = true;
                break;
            default:
                break;
        }
        if (!plain) return false;
    }
    return true;
}

std::string ShellQuote(std::string_view word) {
    if (IsPlainWord(word)) return std::string(word);
    std::string out;
    out.reserve(word.size() + 2);
    out.push_back('\'');
    for (char c : word) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out.push_back(c);
        }
    }
    out.push_back('\'');
    return out;
}

}  // namespace sys
