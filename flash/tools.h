// The program's own MTD tools, reached through the multi-call entry:
//
//   flashcp [-g file_offset] [-l file_length] [-o flash_offset] FILE DEVICE
//       erases the blocks the range covers, writes it, reads it back and
//       compares;
//   flash_eraseall DEVICE
//       erases the whole device, skipping bad blocks.
//
// They run with the update log closed: failures go to standard error as
// "update: ..." lines, progress to standard output, and the entry returns 1
// (the process's exit status) on every failure. flashcp checks the source
// range, the device range and the erase-block alignment before its first
// erase, so a copy that cannot succeed leaves the device as it was.
//
// Devices are opened through flash::OpenMtd, so unit tests run the tools
// against in-memory flash and the kernel's MTD drivers take the same requests
// (MEMGETINFO, MEMERASE, MEMGETBADBLOCK) on the recorder.
#pragma once

// Argument vectors start with the tool name. 0 on success, 1 on failure.
[[nodiscard]] int UPDATE_FlashcpMain(int argc, char** argv);
[[nodiscard]] int UPDATE_FlashEraseallMain(int argc, char** argv);
