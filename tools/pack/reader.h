// The reading side of update-pack: a package's head, board list and table,
// the report of 'info', the checks of 'verify' and the entry 'extract' copies.
// Everything works on an open descriptor; reports go to the stream the caller
// gives. Nothing reads past the file, and the table holds at most the entries
// the updater reads, whatever count the package gives.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "package/format.h"

namespace pack {

// A number of the command line (decimal or 0x hex) of at most max.
std::optional<uint64_t> ParseNumber(const std::string& text, uint64_t max);
// A table position: a number or a role word ("uboot", "program", "custom"...).
std::optional<uint32_t> ParsePosition(const std::string& text);

struct Package {
    std::string bytes_front;  // the first 4096 bytes (or fewer)
    uint64_t size = 0;
    uint32_t count = 0;
    FileTable table;  // the entries the updater reads (a forged count is not allocated)
    ImageHeadFields head{};
    std::string boards;
};

// Reads the head, board list and table of the package open at fd; name
// stands for it in *why. 0, or -1 with the reason in *why.
[[nodiscard]] int ReadPackage(int fd, const std::string& name, Package* p, std::string* why);

// Writes the report of 'info' (head, boards, table, customisation archive,
// CRC and signatures; pub_key empty: no signature check) to out. 0, or -1
// when out failed.
[[nodiscard]] int WriteInfo(int fd, const std::string& name, const Package& p,
                            const std::string& pub_key, std::FILE* out);

// Checks CRC and signatures as the updater does and writes the three result
// lines to out (null: nothing). 0 when every check holds, 1 when one fails.
// An empty pub_key checks the CRC alone (the signatures are "not checked").
[[nodiscard]] int Verify(int fd, const Package& p, const std::string& pub_key, std::FILE* out);

// The report of 'info --json' and 'verify --json': one JSON object (schema in
// tools/pack/README.md) to out (null: nothing). The verdict as Verify gives
// it, or -1 when out failed.
[[nodiscard]] int WriteJson(int fd, const std::string& name, const Package& p,
                            const std::string& pub_key, std::FILE* out);

// Copies the sub-image of entry e out of the package open at fd (called
// name) into out_fd. 0; 1 when the package ends before the sub-image does
// (a truncated package); -1 when a read or write failed. *why says which.
[[nodiscard]] int CopyEntry(int fd, const std::string& name, const Package& p,
                            const SubImageEntry& e, int out_fd, std::string* why);

// The entry at position pos for 'extract': 0 with *entry set, or -1 with the
// reason in *why (past the table, absent).
[[nodiscard]] int EntryToExtract(const Package& p, uint32_t pos, SubImageEntry* entry,
                                 std::string* why);

}  // namespace pack
