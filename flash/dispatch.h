// The partition update dispatcher: the worker's "update all" entry.
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
};

// 0 when every step succeeded, else the first failing step's code.
[[nodiscard]] int UPDATE_UpdateAll(UPDATE_TASK_S* task);
// Prints one success line per updated image kind after a successful run.
void UPDATE_ShowSuccess(const UPDATE_PARA_S* para);
