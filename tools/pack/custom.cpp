#include "tools/pack/custom.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <vector>

#include "oem/zip_names.h"

namespace pack {
namespace {

namespace fs = std::filesystem;

constexpr const char* kTop = "oem/";
constexpr uintmax_t kMaxArchive = 0x7fffffff;

bool CollectMembers(const fs::path& dir, std::vector<oem::ZipMember>* members, std::string* why) {
    std::error_code ec;
    std::vector<fs::path> paths;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        paths.push_back(it->path());
    }
    if (ec) {
        *why = "cannot read '" + dir.string() + "': " + ec.message();
        return false;
    }
    std::sort(paths.begin(), paths.end());
    members->push_back({kTop, "", 040755});
    uintmax_t total = 0;
    for (const fs::path& p : paths) {
        const fs::file_status st = fs::symlink_status(p, ec);
        std::string name = kTop + fs::relative(p, dir, ec).generic_string();
        if (fs::is_directory(st)) {
            members->push_back({name + "/", "", 040755});
            continue;
        }
        if (!fs::is_regular_file(st)) {
            *why = "'" + p.string() + "' is not a plain file or directory (links are not stored)";
            return false;
        }
        std::ifstream in(p, std::ios::binary);
        std::ostringstream data;
        data << in.rdbuf();
        if (!in) {
            *why = "cannot read '" + p.string() + "'";
            return false;
        }
        total += data.str().size() + name.size();
        if (total > kMaxArchive) {
            *why = "'" + dir.string() + "' holds more than 2 GiB";
            return false;
        }
        const bool runs = (st.permissions() & fs::perms::others_exec) != fs::perms::none;
        members->push_back({name, data.str(), runs ? 0100755U : 0100644U});
    }
    return true;
}

// The MS-DOS date and time of `when` (UTC), clamped to the years 1980 to 2107.
void DosTime(std::time_t when, uint16_t* date, uint16_t* time) {
    std::tm tm{};
    if (::gmtime_r(&when, &tm) == nullptr || tm.tm_year < 80) {
        *date = (1 << 5) | 1;
        *time = 0;
        return;
    }
    if (tm.tm_year > 207) {
        tm = std::tm{};
        tm.tm_year = 207;
        tm.tm_mon = 11;
        tm.tm_mday = 31;
        tm.tm_hour = 23;
        tm.tm_min = 59;
        tm.tm_sec = 58;
    }
    *date = static_cast<uint16_t>((tm.tm_year - 80) << 9 | (tm.tm_mon + 1) << 5 | tm.tm_mday);
    *time = static_cast<uint16_t>(tm.tm_hour << 11 | tm.tm_min << 5 | tm.tm_sec / 2);
}

}  // namespace

bool PrepareCustom(const std::string& source, const std::string& out, std::time_t when,
                   std::string* zip, std::unique_ptr<TempFile>* made, std::string* why) {
    std::error_code ec;
    if (!fs::is_directory(source, ec)) {
        if (oem::CheckZipNames(source.c_str(), kTop, *why) != 0) {
            *why = "--custom '" + source + "' " + *why + " (the updater would refuse it)";
            return false;
        }
        *zip = source;
        return true;
    }
    std::vector<oem::ZipMember> members;
    if (!CollectMembers(source, &members, why)) return false;
    uint16_t date = 0;
    uint16_t time = 0;
    DosTime(when, &date, &time);
    for (oem::ZipMember& m : members) {
        m.dos_date = date;
        m.dos_time = time;
    }
    *made = std::make_unique<TempFile>(out, "custom");
    if (!(*made)->ok()) {
        *why = "cannot make a temporary file beside '" + out + "': " + std::strerror(errno);
        return false;
    }
    (*made)->CloseFd();
    if (oem::WriteStoredZip((*made)->path().c_str(), members) != 0) {
        *why = "cannot write the customisation archive '" + (*made)->path() + "'";
        return false;
    }
    *zip = (*made)->path();
    return true;
}

void ShowCustom(int fd, uint32_t offset, uint32_t length, std::FILE* out) {
    std::string why;
    std::vector<std::string> names;
    std::fprintf(out, "\nCustomisation archive (%u bytes):\n", length);
    if (oem::CheckZipRegion(fd, offset, length, kTop, why, &names) != 0) {
        std::fprintf(out, "  REFUSED by the updater: it %s\n", why.c_str());
        return;
    }
    for (std::string n : names) {
        std::replace_if(
            n.begin(), n.end(), [](char c) { return c < ' ' || c == 0x7f; }, '?');
        std::fprintf(out, "  %s\n", n.c_str());
    }
}

}  // namespace pack
