// write-flash: runs the real sub-image writer once inside the simulated
// recorder, for the end-to-end tests and the writer benchmark. Never run it
// on the host: the writer runs dd, sync and the cache drop on device paths.
//
//   write-flash DEV FILE PART_SIZE FILE_OFFSET LENGTH   UPDATE_WriteFlash, status 0 or 1
//   write-flash --time-shell LINE                        runs LINE, prints its seconds
//   write-flash --verify DEV FILE FILE_OFFSET LENGTH     the read-back alone, prints its seconds
// With WRITE_FLASH_TIME set, the writer's seconds are printed as well.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "flash/platform.h"
#include "flash/writer.h"
#include "sys/log.h"
#include "sys/runner.h"

namespace {
double Seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
}  // namespace

int main(int argc, char** argv) {
    const auto start = std::chrono::steady_clock::now();
    if (argc == 3 && std::strcmp(argv[1], "--time-shell") == 0) {
        const int rc = UPDATE_System(argv[2]);
        std::printf("seconds %.3f\n", Seconds(start));
        return rc == 0 ? 0 : 1;
    }
    if (argc == 6 && std::strcmp(argv[1], "--verify") == 0) {
        const int rc = flash::VerifyCopy(argv[2], argv[3], std::strtoull(argv[4], nullptr, 0),
                                         std::strtoull(argv[5], nullptr, 0));
        std::printf("seconds %.3f\n", Seconds(start));
        return rc == 0 ? 0 : 1;
    }
    if (argc != 6 || UPDATE_SelectPlatform() != 0) {
        std::fprintf(stderr, "usage: write-flash DEV FILE PART_SIZE FILE_OFFSET LENGTH\n");
        return 2;
    }
    (void)sys::LogOpen(sys::kUpdateLogPath);
    const int ret = UPDATE_WriteFlash(
        argv[1], argv[2], std::strtoll(argv[3], nullptr, 0), UPDATE_Platform()->FlashType,
        std::strtoull(argv[4], nullptr, 0), std::strtoull(argv[5], nullptr, 0), 0);
    if (std::getenv("WRITE_FLASH_TIME") != nullptr) std::printf("seconds %.3f\n", Seconds(start));
    std::printf("result %d\n", ret);
    return ret == 0 ? 0 : 1;
}
