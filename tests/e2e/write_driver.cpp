// write-flash DEV FILE PART_SIZE FILE_OFFSET LENGTH [FLASH_OFFSET]:
// UPDATE_WriteFlash once for the profile this build selects, with the update
// log open; status 0 written, 1 not. For the end-to-end tests and the writer
// benchmark inside the simulated recorder, and the flash tests inside the
// virtual recorder, only: the writer runs its tools on device paths.
#include <cstdio>
#include <cstdlib>

#include "base/platform.h"
#include "flash/writer.h"
#include "sys/log.h"

int main(int argc, char** argv) {
    if (argc < 6 || argc > 7 || UPDATE_SelectPlatform() != 0) {
        std::fprintf(stderr,
                     "usage: write-flash DEV FILE PART_SIZE FILE_OFFSET LENGTH [FLASH_OFFSET]\n");
        return 2;
    }
    (void)sys::LogOpen(sys::kUpdateLogPath);
    const int ret = UPDATE_WriteFlash(
        argv[1], argv[2], std::strtoll(argv[3], nullptr, 0), UPDATE_Platform()->FlashType,
        std::strtoull(argv[4], nullptr, 0), std::strtoull(argv[5], nullptr, 0),
        argc == 7 ? std::strtoull(argv[6], nullptr, 0) : 0);
    return ret == 0 ? 0 : 1;
}
