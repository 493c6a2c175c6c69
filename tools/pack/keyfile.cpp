#include "tools/pack/keyfile.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>

namespace pack {
namespace {

constexpr size_t kMaxKeyFile = size_t{64} * 1024;

// The numbers of a key file: lines ending in a run of hexadecimal digits
// (what the updater's reader takes), or -1 when a non-blank line holds none.
int CountNumbers(const std::string& text) {
    int numbers = 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())) != 0) {
            line.pop_back();
        }
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        if (std::isxdigit(static_cast<unsigned char>(line.back())) == 0) return -1;
        ++numbers;
    }
    return numbers;
}

}  // namespace

std::string CheckKeyFile(const std::string& path, KeyKind wanted, const char* option) {
    const std::string named = std::string(option) + " '" + path + "'";
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return named + ": " + std::strerror(errno);
    if (!S_ISREG(st.st_mode)) return named + " is not a regular file";
    if (static_cast<size_t>(st.st_size) > kMaxKeyFile) {
        return named + " is too large for a key file (" + std::to_string(st.st_size) + " bytes)";
    }
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in && !in.eof()) return named + ": cannot read it";
    const char* want = wanted == KeyKind::Public ? "a public key file (N and E)"
                                                 : "a private key file (N, E, D, P, Q, DP, DQ, QP)";
    const size_t begin = text.find("-----BEGIN ");
    if (begin != std::string::npos) {
        const size_t label_end = text.find("-----", begin + 11);
        const std::string label = label_end == std::string::npos
                                      ? "unknown"
                                      : text.substr(begin + 11, label_end - begin - 11);
        const bool is_public = label == "PUBLIC KEY" || label == "RSA PUBLIC KEY";
        const bool is_private = label == "PRIVATE KEY" || label == "RSA PRIVATE KEY";
        if ((is_public && wanted == KeyKind::Public) || (is_private && wanted == KeyKind::Private))
            return "";
        return named + " is a PEM file (" + label + "): give " + want +
               (is_private ? ", and keep the private key away from the checking side" : "");
    }
    const int numbers = CountNumbers(text);
    if (numbers == 2 && wanted == KeyKind::Public) return "";
    if (numbers == 8 && wanted == KeyKind::Private) return "";
    if (numbers == 8) {
        return named + " holds a private key (eight numbers N, E, D, P, Q, DP, DQ, QP): give " +
               want + ", and keep the private key away from the checking side";
    }
    if (numbers == 2) {
        return named + " holds a public key (two numbers N and E): give " + want;
    }
    return named + " is not a key file of this tool (" +
           (numbers < 0 ? std::string("a line does not end in a hexadecimal number")
                        : std::to_string(numbers) + " number(s)") +
           "): give " + want;
}

}  // namespace pack
