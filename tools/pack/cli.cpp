#include "tools/pack/cli.h"

#include <getopt.h>

namespace pack {

std::string Args::Get(const std::string& name, const std::string& fallback) const {
    auto it = values_.find(name);
    return it == values_.end() ? fallback : it->second.back();
}

std::vector<std::string> Args::All(const std::string& name) const {
    auto it = values_.find(name);
    return it == values_.end() ? std::vector<std::string>() : it->second;
}

bool ParseArgs(const Command& command, int argc, char** argv, Args* args, std::string* why) {
    // getopt_long's tables: every option gets its index in command.options
    // as its return value (short options map to the same index below).
    std::vector<option> longs;
    std::string shorts = ":";  // ':' first: a missing value returns ':'
    constexpr int kBase = 256;
    for (size_t i = 0; i < command.options.size(); ++i) {
        const Option& o = command.options[i];
        longs.push_back({o.name, o.value != nullptr ? required_argument : no_argument, nullptr,
                         kBase + static_cast<int>(i)});
        if (o.short_name != 0) {
            shorts += o.short_name;
            if (o.value != nullptr) shorts += ':';
        }
    }
    longs.push_back({nullptr, 0, nullptr, 0});
    auto by_short = [&command](int c) -> int {
        for (size_t i = 0; i < command.options.size(); ++i) {
            if (command.options[i].short_name == c) return static_cast<int>(i);
        }
        return -1;
    };
    auto spelled = [&command](size_t i) {
        const Option& o = command.options[i];
        return std::string("--") + o.name;
    };

    optind = 0;  // 0 also resets getopt's internal state for a second parse
    opterr = 0;
    for (;;) {
        const int prev = optind == 0 ? 1 : optind;
        const int c = ::getopt_long(argc, argv, shorts.c_str(), longs.data(), nullptr);
        if (c == -1) break;
        const char* word = prev < argc ? argv[prev] : "";
        if (c == '?') {
            if (optopt >= kBase) {
                *why =
                    "option '" + spelled(static_cast<size_t>(optopt - kBase)) + "' takes no value";
            } else if (optopt != 0) {
                *why = std::string("unknown option '-") + static_cast<char>(optopt) + "'";
            } else {
                *why = "unknown or ambiguous option '" + std::string(argv[optind - 1]) + "'";
            }
            return false;
        }
        if (c == ':') {
            const int i = optopt >= kBase ? optopt - kBase : by_short(optopt);
            *why = "option '" + (i >= 0 ? spelled(static_cast<size_t>(i)) : std::string(word)) +
                   "' needs a value";
            return false;
        }
        const int i = c >= kBase ? c - kBase : by_short(c);
        if (i < 0) {
            *why = std::string("unknown option '") + word + "'";
            return false;
        }
        const Option& o = command.options[static_cast<size_t>(i)];
        std::vector<std::string>& values = args->values_[o.name];
        if (o.value != nullptr && !values.empty() && !o.repeatable) {
            *why = "option '" + spelled(static_cast<size_t>(i)) + "' given twice ('" +
                   values.back() + "' and '" + optarg + "'); it takes one value";
            return false;
        }
        values.push_back(o.value != nullptr ? optarg : "");
    }
    for (int i = optind; i < argc; ++i) args->plain_.emplace_back(argv[i]);
    return true;
}

void WriteHelp(const Command& command, std::FILE* out) {
    std::fprintf(out, "Usage: update-pack %s %s\n\n%s", command.name, command.synopsis,
                 command.about);
    if (command.options.empty()) return;
    if (command.options.front().group == nullptr) std::fprintf(out, "\nOptions:\n");
    for (const Option& o : command.options) {
        if (o.group != nullptr) std::fprintf(out, "\n%s:\n", o.group);
        std::string left = o.short_name != 0 ? std::string("-") + o.short_name + ", " : "";
        left += std::string("--") + o.name;
        if (o.value != nullptr) left += std::string(" ") + o.value;
        constexpr size_t kColumn = 24;
        std::string text = "  " + left;
        if (text.size() + 1 > kColumn) {
            text += "\n";
            text += std::string(kColumn, ' ');
        } else {
            text += std::string(kColumn - text.size(), ' ');
        }
        for (const char* h = o.help; *h != '\0'; ++h) {
            text += *h;
            if (*h == '\n') text += std::string(kColumn, ' ');
        }
        std::fprintf(out, "%s\n", text.c_str());
    }
}

int Usage(const char* command, const std::string& why) {
    const bool named = command[0] != '\0';
    std::fprintf(stderr, "update-pack%s%s: %s\n", named ? " " : "", command, why.c_str());
    std::fprintf(stderr, "Try 'update-pack %s%s--help'.\n", command, named ? " " : "");
    return kExitUsage;
}

int Fail(const char* command, const std::string& why, int status) {
    std::fprintf(stderr, "update-pack %s: %s\n", command, why.c_str());
    return status;
}

}  // namespace pack
