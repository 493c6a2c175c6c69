// What a key file given to update-pack holds, judged before any key
// operation: the hexadecimal key files of keygen (the public one with N and
// E, the private one with N, E, D, P, Q, DP, DQ, QP) or a PEM file. The key
// reader of the updater takes the first two numbers of any file, so a
// private key given as the public one would "work"; this is where such a
// mix-up is caught and named.
#pragma once

#include <string>

namespace pack {

enum class KeyKind { Public, Private };

// "" when the file at path holds a key of the wanted kind in a form this
// tool reads; otherwise the message, naming the file and what it holds
// (the option it came from, e.g. "--pub-key", leads the message).
std::string CheckKeyFile(const std::string& path, KeyKind wanted, const char* option);

}  // namespace pack
