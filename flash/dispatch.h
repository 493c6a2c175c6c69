// The partition update dispatcher: what of a verified package is written
// where, and in which order.
//
//   UPDATE_UpdateAll        splits the request's image mask into steps: the
//                           platform's standard set at once ("All.bin"), then
//                           one step per further image kind, in bit order (a
//                           first stage that hands over: one step "All.bin"
//                           with the whole request);
//   UPDATE_UpdateStep       completes a step's mask and runs the dispatcher;
//   UPDATE_UpdatePartition  checks the package once per run (CRC, signature)
//                           before its first write, prepares (OEM scratch,
//                           languages, tool host, deciphering, customisation)
//                           and writes the step's images in a fixed order with
//                           the progress 60, 65, 70, 80 and 85 between them.
//
// In a first-stage run of a package that carries its own update program,
// the dispatcher checks the package and hands the step over to that program
// (a second stage), which writes it.
// Unit tests replace the dispatcher under the step loop with their own
// (flash::SetPartitionUpdater) to see the steps' order and names.
#pragma once

#include <cstdint>

struct UPDATE_PARA_S;
class FileTable;

// One update step; the worker fills the constant fields once.
struct UPDATE_TASK_S {
    UPDATE_PARA_S* Para;
    uint64_t Type;                   // image mask of this step
    char FileName[32];               // "All.bin" or the name of the image kind
    const char* pszBinFile;          // path of the package file
    const FileTable* pstFileStruct;  // the package's sub-image table, with its length
    uint32_t HeadCrc;                // expected package CRC
    const uint8_t* DigSig;           // 32-byte signature digest
    // Set once the package's CRC and signature held in this run: later steps
    // do not read the package again.
    bool Verified;
};

// The package's second name while a hand-over runs.
struct UPDATE_LINK_S {
    char LinkFile[513];  // directory + "/ln" + step name
    char BinFile[513];   // directory + "/Program.bin"
    int32_t Linked;      // 1 when LinkFile was made as a hard link of BinFile
};

// 0 when every step succeeded, else the first failing step's code.
[[nodiscard]] int UPDATE_UpdateAll(UPDATE_TASK_S* task);
// One step: the dispatcher's result.
[[nodiscard]] int UPDATE_UpdateStep(UPDATE_TASK_S* task);
// The dispatcher proper: 0, or the code of the first check or write that failed.
[[nodiscard]] int UPDATE_UpdatePartition(UPDATE_TASK_S* task, UPDATE_LINK_S* link);
// CRC (unless forced) and signature (where the device has a public key) of
// the task's package in one pass; an encrypted package outside RAM is first
// copied to "/tmp/Program.bin". 0, -9 or -12 (reported), or the copy's code.
[[nodiscard]] int UPDATE_VerifyPackage(UPDATE_TASK_S* task);
// Creates LinkFile as a hard link of BinFile: 0 or -1.
[[nodiscard]] int UPDATE_LinkBin(UPDATE_LINK_S* link);
// Prints one success line per updated image kind after a successful run.
void UPDATE_ShowSuccess(const UPDATE_PARA_S* para);
// Whether this run left the writing to the package's own update program (its
// success lines and record are then that program's).
[[nodiscard]] bool UPDATE_HandedOver();

// Where a package that must be deciphered in place is put when it lies
// outside RAM (a -local package on the operator's media is never altered).
inline constexpr const char* kRamPackagePath = "/tmp/Program.bin";

namespace flash {

using PartitionUpdater = int (*)(UPDATE_TASK_S* task, UPDATE_LINK_S* link);
// Replaces the dispatcher under the step loop; nullptr restores it.
void SetPartitionUpdater(PartitionUpdater updater);

}  // namespace flash
