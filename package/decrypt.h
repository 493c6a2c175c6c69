// Deciphering an encrypted package ("ECI" in the head's EncryptFlag) in place,
// and the aes_decrypt tool that does the work on one region of the file.
//
// An encrypted region stores its bytes in a sampled AES-256 form: in every
// group of 16 x 17 = 272 bytes, 16 bytes taken at fixed places within the
// 17-byte strides form one AES block, enciphered under a key that takes one
// key step before each group. Keys derive from the key material of the head
// (UPDATE_KeyMaterial()); none is stored in the program.
//
// UPDATE_DecryptBin writes the key file "/var/tmp/update_keyfac" and runs six
// jobs, each "/tmp/busybox aes_decrypt ..." on one region: u-boot, uImage and
// the program image cut into four parts. A job whose last group reaches past
// its region into the region of another job finishes before that job starts,
// so the result never depends on the order of the jobs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "package/format.h"

inline constexpr const char* kKeyFilePath = "/var/tmp/update_keyfac";
inline constexpr size_t kKeyBlockSize = 64;    // key field of a key-file record
inline constexpr size_t kKeyNameSize = 128;    // name field of a key-file record
inline constexpr size_t kKeyRecordSize = 192;  // name field + key field
inline constexpr size_t kAesKeyBytes = 32;
inline constexpr size_t kGroupSamples = 16;
inline constexpr uint32_t kSampleStride = 17;
inline constexpr size_t kGroupBytes = kGroupSamples * kSampleStride;  // 272
inline constexpr int kDecryptJobs = 6;
inline constexpr int kProgramParts = 4;

// One deciphering job: a region of the package and its key.
struct DECRYPT_JOB_S {
    const char* BinFile;  // package path (borrowed)
    SubImageEntry Entry;  // FileOffset, FileLength give the region; FileName is reported
    const char* KeyFile;  // key file path (borrowed)
    uint64_t KeyOffset;   // byte of the job's key field in the key file
    int Result;           // 0 when the job succeeded
};

// Deciphers the u-boot, uImage and program sub-images of an encrypted package
// in place. count is the sub-image count of the head; the table is walked by
// its own size, never by count. key_material: the head's key material (at
// most 64 characters). 0 when every job succeeded, else non-zero.
[[nodiscard]] int UPDATE_DecryptBin(const char* pszBinFile, uint32_t count,
                                    const FileTable* pstFileStruct, const char* key_material);

// Removes KeySuffix and EncryptFlag from the head: 16 zero bytes at the
// character after the second-to-last "$". 0, or -1 (no silent success when the
// head holds fewer than two "$").
[[nodiscard]] int UPDATE_ClearEncryptFlag(const char* pszBinFile);

// Cuts the program entry into four parts of whole groups (the first G mod 4
// parts get one group more); the last FileLength mod 272 bytes belong to no
// part. parts receives four entries.
void UPDATE_SplitProgram(const SubImageEntry* program, SubImageEntry* parts /*4*/);

// Appends the four program-part records (name "%s-part%d", key field) to the
// open key file fd; the keys continue the chain over the parts. 0 or -1.
[[nodiscard]] int UPDATE_WriteKeyParts(int fd, const uint8_t* key_block /*64*/,
                                       const SubImageEntry* parts /*4*/);

// Body of one job thread: runs the job's aes_decrypt command, sets job->Result.
void* UPDATE_DecryptThread(void* job);

// The aes_decrypt tool: aes_decrypt -f file -s start -L length -S stride -K
// keyfile -p keyoffset. argv[0] is the tool name. Returns 0 or -1.
int UPDATE_AesDecryptMain(int argc, char** argv);

namespace pkg {

// The 64-byte key block: 0xFF, with the key material copied over its start.
void KeyBlock(const char* material, uint8_t* block /*64*/);
// K[i] = k[i] ^ k[63 - i], i = 0..31.
void KeyFold(const uint8_t* block /*64*/, uint8_t* key /*32*/);
// One key step: K[j] ^= rotl1(K[j - 1]) for j = 0..31 in order (K[31] for j = 0).
void KeyStep(uint8_t* key /*32*/);
// Offset of sample k within its stride: 0 for k = 0, else r(k) mod stride with
// r(0) = 1 and r rotated left by 3 bits per step.
uint32_t SampleOffset(uint32_t k, uint32_t stride);
// Byte positions of a group's 16 samples relative to its start.
void SamplePositions(uint32_t stride, uint64_t* pos /*16*/);

// The full groups the tool finds in a region [start, start + length) of a file
// of file_size bytes with the given stride: a group counts when its 16th
// sample lies in the file and at most 15 bytes past the region's end.
uint64_t FullGroups(uint64_t start, uint64_t length, uint64_t file_size, uint32_t stride);
// One past the last byte the region's full groups touch (at least the region's end).
uint64_t RegionReach(uint64_t start, uint64_t length, uint64_t file_size, uint32_t stride);

// Enciphers (encrypt = true) or deciphers the sampled groups of buf in place;
// buf holds the groups (the last needs only up to its 16th sample); key evolves
// over them (one key step before each group). false on a crypto failure.
[[nodiscard]] bool CipherGroups(uint8_t* buf, uint64_t groups, uint32_t stride, uint8_t* key,
                                bool encrypt);

}  // namespace pkg
