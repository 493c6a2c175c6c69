// devsim-init's eMMC at a recorder's speed (fault emmc-mbps=W:R): a FUSE
// file system, served by a thread of devsim-init itself, that shows the eMMC
// image as DIR/disk.img and passes every read and write through to it at most
// at R and W MB/s (10^6 bytes per second). The loop device is attached to
// that file, so the updater's copies, syncs and read-backs meet the speed of
// a medium instead of the build machine's page cache. A thread of process 1,
// not a process: the end of the run kills every other process before the
// loop device's last flush, which must still reach the image.
#pragma once

#include <string>

namespace devsim {

// Parses "W:R" (MB/s, each above 0); false for anything else.
bool ParseDiskSpeed(const std::string& text, double* write_mbps, double* read_mbps);

// Mounts DIR (an empty directory) and starts serving image there; returns
// DIR/disk.img, or "" with the reason in *why.
std::string StartSlowDisk(const std::string& image, const std::string& dir, double write_mbps,
                          double read_mbps, std::string* why);

// Unmounts and ends the serving thread (after the loop device is gone).
void StopSlowDisk();

}  // namespace devsim
