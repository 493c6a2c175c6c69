// devsim-init's removable medium (faults usb-mbps=R and usb-swap): a FUSE
// file system, served by a thread of devsim-init itself, laid over the
// device's "/mnt/usb" and passing its files through read-only, at most at R
// MB/s (10^6 bytes per second) with usb-mbps. It counts every byte it
// serves (OUT/usb.log, "served N" at the end of the run), so a benchmark sees
// how often an update reads its medium. With usb-swap a file that has been
// served whole once (as many bytes as it holds, in any reads) is served from
// its twin NAME.swap afterwards: a stick whose content changes after the
// check (swapped, or malicious).
#pragma once

#include <string>

namespace devsim {

// Parses "R" (MB/s above 0); false for anything else.
bool ParseUsbSpeed(const std::string& text, double* read_mbps);

// Lays the medium over dir (an existing directory of the device root):
// read_mbps 0 is unthrottled. "" or the reason.
std::string StartSlowUsb(const std::string& dir, double read_mbps, bool swap);

// Unmounts, ends the serving thread and writes "served N\n" to log.
void StopSlowUsb(const std::string& log);

}  // namespace devsim
