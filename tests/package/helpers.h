// Small helpers of the package tests: files from bytes, key files, hand-made
// packages, head fields, captured output and log text without its stamps.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "package/format.h"
#include "package/known_answers.h"
#include "sys/log.h"
#include "sys/scratch.h"

namespace pkgtest {

inline void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Runs f with standard output captured and returns what it printed.
template <class F>
std::string Stdout(F&& f) {
    testing::internal::CaptureStdout();
    f();
    return testing::internal::GetCapturedStdout();
}

// The key files of the known-answer key: "/.pub_key" and "pri_key".
inline std::string PublicKeyText() {
    return std::string("N = ") + kat::kKeyN + "\nE = " + kat::kKeyE + "\n";
}
inline std::string PrivateKeyText() {
    return PublicKeyText() + "D = " + kat::kKeyD + "\nP = " + kat::kKeyP + "\nQ = " + kat::kKeyQ +
           "\nDP = " + kat::kKeyDP + "\nDQ = " + kat::kKeyDQ + "\nQP = " + kat::kKeyQP + "\n";
}

// The head fields of a package's first 256 bytes.
inline ImageHeadFields HeadOf(const std::string& bytes) {
    char head[kHeadSize] = {};
    std::memcpy(head, bytes.data(), std::min(bytes.size(), kHeadSize));
    ImageHeadFields f{};
    UPDATE_SplitHead(head, &f);
    return f;
}

struct RawEntry {
    std::string name;
    uint32_t length, offset, flash;
};

// A package laid out by hand (independent of the writer): head, board list,
// count and table, cut or padded to size bytes in all.
inline std::string RawPackage(const std::string& head, const std::string& boards, uint32_t count,
                              const std::vector<RawEntry>& entries, size_t size) {
    std::string s(std::max<size_t>(size, 2052 + entries.size() * 144), '\0');
    const auto put = [&s](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    };
    s.replace(0, head.size(), head);
    s.replace(256, boards.size(), boards);
    put(2048, count);
    for (size_t i = 0, at = 2052; i < entries.size(); ++i, at += 144) {
        s.replace(at, entries[i].name.size(), entries[i].name);
        put(at + 128, entries[i].length);
        put(at + 132, entries[i].offset);
        put(at + 136, entries[i].flash);
    }
    s.resize(size);
    return s;
}

// Opens a log in a scratch directory for the life of the object.
class ScopedLog {
  public:
    explicit ScopedLog(const std::string& path) : path_(path) { sys::LogOpen(path.c_str(), "w"); }
    ~ScopedLog() { sys::LogClose(); }
    ScopedLog(const ScopedLog&) = delete;
    ScopedLog& operator=(const ScopedLog&) = delete;
    // The messages, one per line, without date, time and source line.
    std::vector<std::string> Messages() const {
        std::vector<std::string> out;
        std::ifstream in(path_);
        for (std::string line; std::getline(in, line);)
            out.push_back(line.substr(line.find(']') + 1));
        return out;
    }
    void Clear() { sys::LogOpen(path_.c_str(), "w"); }

  private:
    std::string path_;
};

}  // namespace pkgtest
