// A plain zip writer (stored members) for the packaging tool and the tests;
// the updater itself never writes archives.
#include <fcntl.h>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "oem/zip_names.h"
#include "sys/fd.h"
#include "sys/io.h"

namespace oem {
namespace {

uint32_t Crc32(const std::string& data) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1U) != 0 ? 0xedb88320U ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    uint32_t crc = 0xffffffffU;
    for (unsigned char ch : data) crc = table[(crc ^ ch) & 0xffU] ^ (crc >> 8);
    return crc ^ 0xffffffffU;
}

void Put16(std::string& out, uint32_t v) {
    out += static_cast<char>(v & 0xff);
    out += static_cast<char>((v >> 8) & 0xff);
}
void Put32(std::string& out, uint32_t v) {
    Put16(out, v & 0xffff);
    Put16(out, v >> 16);
}

}  // namespace

int WriteStoredZip(const char* path, const std::vector<ZipMember>& members) {
    std::string body;
    std::string dir;
    if (members.size() > 0xffff) return -1;
    for (const ZipMember& m : members) {
        if (m.name.size() > 0xffff || m.data.size() > 0x7fffffff ||
            body.size() + m.data.size() + m.name.size() > 0x7fffffff) {
            return -1;
        }
        const auto offset = static_cast<uint32_t>(body.size());
        const uint32_t crc = Crc32(m.data);
        const auto size = static_cast<uint32_t>(m.data.size());
        const auto name_len = static_cast<uint32_t>(m.name.size());
        // Local header: version 1.0, no flags, stored.
        Put32(body, 0x04034b50);
        Put16(body, 10);
        Put16(body, 0);
        Put16(body, 0);
        Put16(body, m.dos_time);
        Put16(body, m.dos_date);
        Put32(body, crc);
        Put32(body, size);
        Put32(body, size);
        Put16(body, name_len);
        Put16(body, 0);
        body += m.name;
        body += m.data;
        // Central entry, made on Unix (3) so that the mode is read.
        Put32(dir, 0x02014b50);
        Put16(dir, 0x0314);
        Put16(dir, 10);
        Put16(dir, 0);
        Put16(dir, 0);
        Put16(dir, m.dos_time);
        Put16(dir, m.dos_date);
        Put32(dir, crc);
        Put32(dir, size);
        Put32(dir, size);
        Put16(dir, name_len);
        Put32(dir, 0);  // extra and comment lengths
        Put32(dir, 0);  // disk number and internal attributes
        Put32(dir, m.mode << 16);
        Put32(dir, offset);
        dir += m.name;
    }
    std::string end;
    Put32(end, 0x06054b50);
    Put32(end, 0);
    Put16(end, static_cast<uint32_t>(members.size()));
    Put16(end, static_cast<uint32_t>(members.size()));
    Put32(end, static_cast<uint32_t>(dir.size()));
    Put32(end, static_cast<uint32_t>(body.size()));
    Put16(end, 0);
    sys::UniqueFd fd(::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd || !sys::WriteFull(fd.get(), body.data(), body.size()) ||
        !sys::WriteFull(fd.get(), dir.data(), dir.size()) ||
        !sys::WriteFull(fd.get(), end.data(), end.size())) {
        return -1;
    }
    return 0;
}

}  // namespace oem
