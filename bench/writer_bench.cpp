// The eMMC writer against a plain dd: a 256 MiB image written into the
// simulated recorder's program partition by UPDATE_WriteFlash (dd, two syncs,
// the cache drop and the read-back comparison) and by "dd ...; sync" typed by
// hand, in the same sandbox, alternately. Prints the best time of each and
// the ratio; the target is the writer within 1.5 times the plain dd. The
// sandbox's disk is a loop device over a host file, so the figures follow the
// host's load: take the best of several rounds.
// Needs root and the simulated recorder (tools/devsim); runs only there.
//
//   bench_writer [--size MIB] [--rounds N]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "devsim_fixture.h"

int main(int argc, char** argv) {
    unsigned long mib = 256;
    int rounds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--size") == 0) mib = std::strtoul(argv[i + 1], nullptr, 10);
        if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::atoi(argv[i + 1]);
    }
    const std::string reason = devsim::Sandbox::CheckPrerequisites();
    if (!reason.empty()) {
        std::fprintf(stderr, "bench_writer: %s\n", reason.c_str());
        return 1;
    }
    devsim::Sandbox sb;
    sb.Init(devsim::Sandbox::BuildDir() + "/bench-runs/writer");
    const unsigned long offset = 4096;
    const unsigned long length = mib << 20;
    std::string package(offset + length, '\0');
    std::mt19937_64 gen(5);
    for (std::size_t i = 0; i + 8 <= package.size(); i += 8) {
        const uint64_t v = gen();
        std::memcpy(&package[i], &v, 8);
    }
    sb.WriteState("var/pkg/Program.bin", package);
    package.clear();
    package.shrink_to_fit();
    sb.WriteState("usr/bin/write-flash",
                  devsim::ReadFile(devsim::Sandbox::BuildDir() + "/bin/write-flash"), 0755);
    sb.SetServers("none");
    sb.SetDisk("small", static_cast<int>(mib + 16));
    sb.SetTimeout(1200);

    const std::string n = std::to_string(length);
    const std::string o = std::to_string(offset);
    const std::string dd = "dd if=/var/pkg/Program.bin of=/dev/mmcblk0p5 bs=1M count=" + n +
                           " skip=" + o + " iflag=skip_bytes,count_bytes 2>/dev/null; sync";
    // BusyBox's "time -p" prints "real SECONDS" on standard error.
    const std::string line = "for i in $(seq " + std::to_string(rounds) + "); do time -p sh -c '" +
                             dd + "' && time -p write-flash /dev/mmcblk0p5 " +
                             "/var/pkg/Program.bin 0x80000000 " + o + " " + n +
                             " > /dev/null || exit 1; done";
    devsim::RunResult r = sb.Shell(line);
    if (r.status != 0) {
        std::fprintf(stderr, "bench_writer: sandbox run failed (%d)\n%s%s%s\n", r.status,
                     r.out.c_str(), r.err.c_str(), r.harness.c_str());
        return 1;
    }
    double best_dd = 1e30, best_writer = 1e30;
    int k = 0;
    for (const std::string& l : devsim::SplitLines(r.err)) {
        if (l.rfind("real ", 0) != 0) continue;
        double& best = k++ % 2 == 0 ? best_dd : best_writer;
        best = std::min(best, std::strtod(l.c_str() + 5, nullptr));
    }
    std::printf("image %lu MiB, best of %d\n", mib, rounds);
    std::printf("plain dd + sync      %7.3f s  %7.1f MiB/s\n", best_dd, mib / best_dd);
    std::printf("UPDATE_WriteFlash    %7.3f s  %7.1f MiB/s (dd, syncs, drop, read-back)\n",
                best_writer, mib / best_writer);
    std::printf("ratio writer / dd    %7.2f  (target <= 1.5)\n", best_writer / best_dd);
    std::error_code ec;
    std::filesystem::remove_all(sb.Dir(), ec);
    return 0;
}
