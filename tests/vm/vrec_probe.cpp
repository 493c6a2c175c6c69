// vrec-probe: runs inside the virtual recorder and drives the project's own
// MTD and boot-environment code against the kernel's devices.
//
//   vrec-probe info DEV...   "DEV type size erasesize writesize" (MEMGETINFO)
//   vrec-probe bad DEV       offset of each bad block (MEMGETBADBLOCK), hex
//   vrec-probe erase DEV     erases every block (MEMERASE); bad ones are listed
//   vrec-probe env SIZE      re-checksums both environment copies; prints the result
#include <fcntl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/mtd.h"
#include "env/env.h"

namespace {

std::unique_ptr<flash::MtdDevice> Open(const char* dev, flash::MtdInfo* info) {
    std::unique_ptr<flash::MtdDevice> mtd = flash::OpenMtd(dev, O_RDWR);
    if (!mtd || mtd->GetInfo(info) != 0) {
        std::fprintf(stderr, "vrec-probe: %s: %s\n", dev, std::strerror(errno));
        return nullptr;
    }
    return mtd;
}

int Info(int argc, char** argv) {
    for (int i = 0; i < argc; ++i) {
        flash::MtdInfo info;
        if (!Open(argv[i], &info)) return 1;
        std::printf("%s %u %u %u %u\n", argv[i], unsigned{info.type}, info.size, info.erasesize,
                    info.writesize);
    }
    return 0;
}

// For each block: bad (1 listed as bad), erase (erases it; failures listed).
int Blocks(const char* dev, bool erase) {
    flash::MtdInfo info;
    std::unique_ptr<flash::MtdDevice> mtd = Open(dev, &info);
    if (!mtd || info.erasesize == 0) return 1;
    int failed = 0;
    for (uint32_t off = 0; off < info.size; off += info.erasesize) {
        int rc = erase ? mtd->Erase(FLASH_ERASE_INFO_S{off, info.erasesize}) : mtd->IsBadBlock(off);
        if (rc != 0) {
            std::printf("0x%x\n", off);
            ++failed;
        }
    }
    return erase && failed != 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "info") == 0) return Info(argc - 2, argv + 2);
    if (argc == 3 && std::strcmp(argv[1], "bad") == 0) return Blocks(argv[2], false);
    if (argc == 3 && std::strcmp(argv[1], "erase") == 0) return Blocks(argv[2], true);
    if (argc == 3 && std::strcmp(argv[1], "env") == 0) {
        int rc = UpdateEnvCrcForSize(static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 0)));
        std::printf("env %d\n", rc);
        return rc == 0 ? 0 : 1;
    }
    std::fprintf(stderr, "usage: vrec-probe info DEV... | bad DEV | erase DEV | env SIZE\n");
    return 2;
}
