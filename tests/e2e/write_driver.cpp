// write-flash DEV FILE PART_SIZE FILE_OFFSET LENGTH: UPDATE_WriteFlash once,
// with the update log open; status 0 written, 1 not. For the end-to-end tests
// and the writer benchmark inside the simulated recorder only: the writer
// runs dd, sync and the cache drop on device paths.
#include <cstdio>
#include <cstdlib>

#include "flash/platform.h"
#include "flash/writer.h"
#include "sys/log.h"

int main(int argc, char** argv) {
    if (argc != 6 || UPDATE_SelectPlatform() != 0) {
        std::fprintf(stderr, "usage: write-flash DEV FILE PART_SIZE FILE_OFFSET LENGTH\n");
        return 2;
    }
    (void)sys::LogOpen(sys::kUpdateLogPath);
    const int ret = UPDATE_WriteFlash(
        argv[1], argv[2], std::strtoll(argv[3], nullptr, 0), UPDATE_Platform()->FlashType,
        std::strtoull(argv[4], nullptr, 0), std::strtoull(argv[5], nullptr, 0), 0);
    return ret == 0 ? 0 : 1;
}
