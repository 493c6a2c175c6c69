// A full local update against the plain copy of its images: `update -local
// /var/pkg/ all -wait` of a signed package of about 1 GiB (kernel, program,
// web files) into the simulated recorder's eMMC at the platform's sizes
// (--disk full), checks and read-backs included, then "dd" of the same three
// images out of the same package typed by hand, in the same sandbox. Prints
// both times and the ratio (target: the update within 1.5 times the dd).
// One untimed copy first allocates the sparse disk image's blocks. The update's time includes
// its one fixed pause (1 s after the tool preparation), also printed apart.
// With --emmc-mbps W:R the sandbox's eMMC writes at most W and reads at most
// R MB/s (the devsim fault emmc-mbps), as a recorder's medium does; without
// it the eMMC is a loop file at the build machine's page-cache speed, where
// the copy costs less than the checks that must come before it.
// With --usb-mbps R the package lies on the removable medium "/mnt/usb"
// instead, read at most at R MB/s (the devsim fault usb-mbps, which counts
// the bytes the medium serves): the update is then held against one plain
// read of the package from the medium plus the dd of its images out of that
// read's copy (target: within 1.2 times), and the bytes it reads from the
// medium against the package's size (target: at most 1.05 times).
// Needs root and the simulated recorder (tools/devsim); runs only there.
//
//   bench_update [--program-mib N] [--emmc-mbps W:R] [--usb-mbps R] [--log]
//   (--log: the whole update log)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "devsim_fixture.h"

namespace {
int Host(const std::string& line) {
    return std::system(line.c_str());
}

void PrintLog(devsim::Sandbox& sb, bool whole_log) {
    // Where the update's time goes, from the log's time stamps (1 s steps).
    for (const std::string& l : devsim::SplitLines(sb.UpdateLog())) {
        if (whole_log) {
            std::printf("  %s\n", l.c_str());
            continue;
        }
        for (const char* mark :
             {"UPDATE_LoadUpdate", "cp lib and tools.", "loading Program.bin", "update reads",
              "start check sha256", "Count sha256 over", "update uImage...", "update program...",
              "update web", "read back", "done!"}) {
            if (l.find(mark) != std::string::npos) {
                std::printf("  %s\n", l.c_str());
                break;
            }
        }
    }
}

// The package on "/mnt/usb" at usb_mbps: one plain read of it, the dd of its
// images from that read's copy, then the update; the medium's bytes counted.
int UsbRun(devsim::Sandbox& sb, const unsigned long* sizes, const std::string& usb_mbps,
           bool whole_log) {
    std::filesystem::create_directories(sb.StateDir() + "/mnt/usb");
    std::filesystem::rename(sb.StateDir() + "/var/pkg/Program.bin",
                            sb.StateDir() + "/mnt/usb/Program.bin");
    const auto package = std::filesystem::file_size(sb.StateDir() + "/mnt/usb/Program.bin");
    sb.AddFault("usb-mbps=" + usb_mbps);
    std::string dd = "sh -c '";
    const char* parts[3] = {"/dev/mmcblk0p4", "/dev/mmcblk0p5", "/dev/mmcblk0p6"};
    unsigned long offset = 4096;
    for (int i = 0; i < 3; ++i) {
        dd += "dd if=/var/ref.bin of=" + std::string(parts[i]) +
              " bs=1M iflag=skip_bytes,count_bytes skip=" + std::to_string(offset) +
              " count=" + std::to_string(sizes[i] << 20) + " 2>/dev/null; ";
        offset += sizes[i] << 20;
    }
    dd += "sync'";
    // The reference's read of the medium is its only one; the update's bytes
    // are the rest of what the medium served.
    devsim::RunResult r =
        sb.Shell("time -p cat /mnt/usb/Program.bin > /var/ref.bin; " + dd +
                 " >/dev/null 2>&1; sync; " + "time -p " + dd + "; rm -f /var/ref.bin; sync; " +
                 "time -p update -local /mnt/usb/ all -wait > /dev/null");
    double times[3] = {0, 0, 0};  // read, dd, update
    int k = 0;
    for (const std::string& l : devsim::SplitLines(r.err)) {
        if (l.rfind("real ", 0) == 0 && k < 3) times[k++] = std::strtod(l.c_str() + 5, nullptr);
    }
    const std::string served = devsim::ReadFile(sb.OutDir() + "/usb.log");
    if (r.status != 0 || k != 3 || served.rfind("served ", 0) != 0) {
        std::fprintf(stderr, "bench_update: sandbox run failed (%d)\n%s%s%s\n", r.status,
                     r.out.c_str(), r.err.c_str(), r.harness.c_str());
        return 1;
    }
    const double size = static_cast<double>(package);
    const double update_bytes = std::strtod(served.c_str() + 7, nullptr) - size;
    const double reference = times[0] + times[1];
    std::printf(
        "package %.0f MiB (kernel %lu, program %lu, web %lu), signed, on /mnt/usb at %s "
        "MB/s\n",
        size / (1 << 20), sizes[0], sizes[1], sizes[2], usb_mbps.c_str());
    std::printf("update -local /mnt/usb/ all -wait  %7.2f s\n", times[2]);
    std::printf("read of the package + dd + sync   %7.2f s  (read %.2f s, dd %.2f s)\n", reference,
                times[0], times[1]);
    std::printf("ratio update / reference          %7.2f  (target <= 1.2)\n", times[2] / reference);
    std::printf("without the 1 s pause             %7.2f\n", (times[2] - 1.0) / reference);
    std::printf("medium bytes read by the update   %.0f = %.3f x the package (target <= 1.05)\n",
                update_bytes, update_bytes / size);
    PrintLog(sb, whole_log);
    return 0;
}
}  // namespace

int main(int argc, char** argv) {
    unsigned long program_mib = 1000;
    bool whole_log = false;
    std::string emmc_mbps;
    std::string usb_mbps;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--log") == 0) {
            whole_log = true;
        } else if (std::strcmp(argv[i], "--emmc-mbps") == 0 && i + 1 < argc) {
            emmc_mbps = argv[++i];
        } else if (std::strcmp(argv[i], "--usb-mbps") == 0 && i + 1 < argc) {
            usb_mbps = argv[++i];
        } else if (std::strcmp(argv[i], "--program-mib") == 0 && i + 1 < argc) {
            program_mib = std::strtoul(argv[++i], nullptr, 10);
        }
    }
    const std::string reason = devsim::Sandbox::CheckPrerequisites();
    if (!reason.empty()) {
        std::fprintf(stderr, "bench_update: %s\n", reason.c_str());
        return 1;
    }
    const std::string build = devsim::Sandbox::BuildDir();
    const std::string pack = build + "/bin/update-pack";
    devsim::Sandbox sb;
    sb.Init(build + "/bench-runs/update");
    const std::string img = sb.Dir() + "/images";
    const std::string keys = sb.Dir() + "/keys";
    const unsigned long sizes[3] = {16, program_mib, 8};  // MiB: kernel, program, web
    const char* roles[3] = {"uimage", "program", "web"};
    std::filesystem::create_directories(img);
    std::filesystem::create_directories(keys);
    std::string cmd = "mkdir -p " + sb.StateDir() + "/var/pkg && " + pack +
                      " keygen --bits 2048 --dir " + keys + " > /dev/null && " + pack +
                      " create --quiet -o " + sb.StateDir() +
                      "/var/pkg/Program.bin --inner QTPXV300R006B21 --pub B0140P17"
                      " --board BRD-K700-Q08@48-X --key " +
                      keys + "/pri_key";
    std::string gen;
    for (int i = 0; i < 3; ++i) {
        gen += "head -c " + std::to_string(sizes[i] << 20) + " /dev/urandom > " + img + "/" +
               roles[i] + " && ";
        cmd += std::string(" --image ") + roles[i] + "=" + img + "/" + roles[i];
    }
    if (Host(gen + cmd) != 0) {
        std::fprintf(stderr, "bench_update: making the package failed\n");
        return 1;
    }
    sb.SetVersion("PUB:B0140P10\nNEW:B0140P10\nINN:QTPXV300R006B20\nBUILD:2026-11-30 10:00:00\n");
    sb.SetBoardType("BRD-K700-Q08@48-X");
    sb.SetUbootRev("U-Boot 2020.01");
    sb.SetPubKey(devsim::ReadFile(keys + "/pub_key"));
    sb.SetServers("none");
    sb.SetDisk("full");
    sb.SetTimeout(1800);
    if (!emmc_mbps.empty()) sb.AddFault("emmc-mbps=" + emmc_mbps);
    if (!usb_mbps.empty()) {
        const int ret = UsbRun(sb, sizes, usb_mbps, whole_log);
        std::error_code ec;
        std::filesystem::remove_all(sb.Dir(), ec);
        return ret;
    }

    // The images lie back to back from byte 4096 in table order.
    std::string dd = "sh -c '";
    const char* parts[3] = {"/dev/mmcblk0p4", "/dev/mmcblk0p5", "/dev/mmcblk0p6"};
    unsigned long offset = 4096;
    for (int i = 0; i < 3; ++i) {
        dd += "dd if=/var/pkg/Program.bin of=" + std::string(parts[i]) +
              " bs=1M iflag=skip_bytes,count_bytes skip=" + std::to_string(offset) +
              " count=" + std::to_string(sizes[i] << 20) + " 2>/dev/null; ";
        offset += sizes[i] << 20;
    }
    dd += "sync'";
    // The disk image is sparse: its first write into a partition allocates the
    // blocks and costs several times a later one. A recorder's eMMC is written
    // through long before, so one untimed copy comes first. The copy by hand
    // is then timed before and after the update, each run after a sync: the
    // same copy varies by up to twice from one run to the next on a virtual
    // build machine (page-cache state), and the mean of the two is the
    // reference. (The sandbox's drop_caches is the device's stand-in file:
    // the package stays in the page cache throughout.)
    // BusyBox's "time -p" prints "real SECONDS" on standard error.
    devsim::RunResult r = sb.Shell(dd + " >/dev/null 2>&1; sync; time -p " + dd +
                                   "; time -p update -local /var/pkg/ all -wait > /dev/null && "
                                   "sync; time -p " +
                                   dd);
    double times[3] = {0, 0, 0};  // dd before, update, dd after
    int k = 0;
    for (const std::string& l : devsim::SplitLines(r.err)) {
        if (l.rfind("real ", 0) == 0 && k < 3) times[k++] = std::strtod(l.c_str() + 5, nullptr);
    }
    if (r.status != 0 || k != 3) {
        std::fprintf(stderr, "bench_update: sandbox run failed (%d)\n%s%s%s\n", r.status,
                     r.out.c_str(), r.err.c_str(), r.harness.c_str());
        return 1;
    }
    const double mib = static_cast<double>(sizes[0] + sizes[1] + sizes[2]);
    const double reference = (times[0] + times[2]) / 2;
    std::printf("package %.0f MiB (kernel %lu, program %lu, web %lu), signed; eMMC %s\n", mib,
                sizes[0], sizes[1], sizes[2],
                emmc_mbps.empty() ? "at page-cache speed"
                                  : ("at " + emmc_mbps + " MB/s (write:read)").c_str());
    std::printf("update -local all -wait  %7.2f s  (CRC, signature, three writes, read-backs)\n",
                times[1]);
    std::printf("dd of the images + sync  %7.2f s  (%.2f s before the update, %.2f s after)\n",
                reference, times[0], times[2]);
    std::printf("ratio update / dd        %7.2f  (target <= 1.5)\n", times[1] / reference);
    std::printf("without the 1 s pause    %7.2f\n", (times[1] - 1.0) / reference);
    PrintLog(sb, whole_log);
    std::error_code ec;
    std::filesystem::remove_all(sb.Dir(), ec);
    return 0;
}
