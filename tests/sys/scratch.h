// A private scratch directory per test, removed with everything in it.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

class ScratchDir {
  public:
    ScratchDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "update-test-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) != nullptr) path_ = tmpl;
    }
    ~ScratchDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

inline std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Matches text against a shape in which '#' stands for one digit and '+' for
// one or more digits; every other character stands for itself.
inline bool MatchesShape(const std::string& text, const std::string& shape) {
    std::size_t t = 0;
    for (char c : shape) {
        if (c == '#' || c == '+') {
            if (t >= text.size() || text[t] < '0' || text[t] > '9') return false;
            ++t;
            if (c == '+') {
                while (t < text.size() && text[t] >= '0' && text[t] <= '9') ++t;
            }
        } else {
            if (t >= text.size() || text[t] != c) return false;
            ++t;
        }
    }
    return t == text.size();
}
