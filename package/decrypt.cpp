#include "package/decrypt.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "base/platform.h"
#include "package/crypto.h"
#include "sys/fd.h"
#include "sys/io.h"
#include "sys/log.h"
#include "sys/path.h"
#include "sys/quote.h"
#include "sys/runner.h"
#include "sys/text.h"

namespace {
constexpr const char* kLogUnit = sys::kUnitUpdate;
constexpr size_t kCommandSize = 512;
// Bytes the tool reads, deciphers and writes back at a time.
constexpr size_t kChunkGroups = 15420;  // about 4 MiB of 272-byte groups

uint8_t Rotl(uint8_t v, unsigned n) {
    return static_cast<uint8_t>((v << n) | (v >> (8 - n)));
}
}  // namespace

namespace pkg {

void KeyBlock(const char* material, uint8_t* block) {
    std::memset(block, 0xFF, kKeyBlockSize);
    if (material != nullptr) std::memcpy(block, material, ::strnlen(material, kKeyBlockSize));
}

void KeyFold(const uint8_t* block, uint8_t* key) {
    for (size_t i = 0; i < kAesKeyBytes; ++i) key[i] = block[i] ^ block[kKeyBlockSize - 1 - i];
}

void KeyStep(uint8_t* key) {
    for (size_t j = 0; j < kAesKeyBytes; ++j) {
        key[j] ^= Rotl(key[(j + kAesKeyBytes - 1) % kAesKeyBytes], 1);
    }
}

uint32_t SampleOffset(uint32_t k, uint32_t stride) {
    if (k == 0 || stride == 0) return 0;
    uint8_t r = 1;
    for (uint32_t i = 0; i < k; ++i) r = Rotl(r, 3);
    return r % stride;
}

void SamplePositions(uint32_t stride, uint64_t* pos) {
    for (uint32_t k = 0; k < kGroupSamples; ++k) {
        pos[k] = uint64_t{k} * stride + SampleOffset(k, stride);
    }
}

uint64_t FullGroups(uint64_t start, uint64_t length, uint64_t file_size, uint32_t stride) {
    if (stride == 0 || start >= file_size) return 0;
    const uint64_t group = uint64_t{kGroupSamples} * stride;
    const uint64_t need = uint64_t{kGroupSamples - 1} * stride;  // a group needs R > 15 S
    uint64_t pos[kGroupSamples];
    SamplePositions(stride, pos);
    const uint64_t last = pos[kGroupSamples - 1];
    if (length <= need || file_size - start <= last) return 0;
    uint64_t by_length = (length - need - 1) / group + 1;
    uint64_t by_file = (file_size - 1 - start - last) / group + 1;
    return std::min(by_length, by_file);
}

uint64_t RegionReach(uint64_t start, uint64_t length, uint64_t file_size, uint32_t stride) {
    const uint64_t end = start + length;
    const uint64_t groups = FullGroups(start, length, file_size, stride);
    if (groups == 0) return end;
    uint64_t pos[kGroupSamples];
    SamplePositions(stride, pos);
    const uint64_t reach =
        start + (groups - 1) * kGroupSamples * stride + pos[kGroupSamples - 1] + 1;
    return std::max(end, reach);
}

bool CipherGroups(uint8_t* buf, uint64_t groups, uint32_t stride, uint8_t* key, bool encrypt) {
    crypto::Aes256 aes;
    uint64_t pos[kGroupSamples];
    SamplePositions(stride, pos);
    const uint64_t group = uint64_t{kGroupSamples} * stride;
    uint8_t in[kGroupSamples];
    uint8_t out[kGroupSamples];
    bool ok = true;
    for (uint64_t g = 0; g < groups && ok; ++g) {
        uint8_t* p = buf + g * group;
        KeyStep(key);
        ok = encrypt ? aes.SetEncryptKey(key) : aes.SetDecryptKey(key);
        for (size_t k = 0; k < kGroupSamples; ++k) in[k] = p[pos[k]];
        ok = ok && aes.Block(in, out);
        if (ok) {
            for (size_t k = 0; k < kGroupSamples; ++k) p[pos[k]] = out[k];
        }
    }
    aes.Clear();
    return ok;
}

}  // namespace pkg

// ---- The aes_decrypt tool

namespace {

constexpr int kToolWords = 12;
constexpr size_t kPathChars = 254, kNumberChars = 126;

struct AES_CMD_PARA_S {
    char File[kPathChars + 1];
    char KeyFile[kPathChars + 1];
    char Start[kNumberChars + 1];
    char Length[kNumberChars + 1];
    char Stride[kNumberChars + 1];
    char KeyOffset[kNumberChars + 1];
    bool HasKey;
};

// Leading-number decimal reading: 0 when the word is no number. false for a
// negative value, which names no place in a file.
bool ReadNumber(const char* text, uint64_t* value) {
    char* end = nullptr;
    long long v = std::strtoll(text, &end, 10);
    if (v < 0) return false;
    *value = static_cast<uint64_t>(v);
    return true;
}

void DecodeWords(int argc, char** argv, AES_CMD_PARA_S* para) {
    for (int i = 1; i + 1 < argc; ++i) {
        const char* word = argv[i];
        const char* value = argv[i + 1];
        if (std::strcmp(word, "-f") == 0) {
            sys::CopyText(para->File, value);
        } else if (std::strcmp(word, "-s") == 0) {
            sys::CopyText(para->Start, value);
        } else if (std::strcmp(word, "-L") == 0) {
            sys::CopyText(para->Length, value);
        } else if (std::strcmp(word, "-S") == 0) {
            sys::CopyText(para->Stride, value);
        } else if (std::strcmp(word, "-p") == 0) {
            sys::CopyText(para->KeyOffset, value);
        } else if (std::strcmp(word, "-K") == 0) {
            sys::CopyText(para->KeyFile, value);
            para->HasKey = true;
        }
    }
}

// Writes back [offset, offset + len) of buf, but only the bytes below limit;
// the sample bytes at or past limit (a last group reaching past the region)
// are written one by one so that no other byte of a neighbour is rewritten.
bool WriteBack(int fd, const uint8_t* buf, uint64_t offset, uint64_t len, uint64_t limit,
               const uint64_t* tail_samples, size_t tail_count, const char* path) {
    uint64_t head = offset < limit ? std::min(len, limit - offset) : 0;
    ssize_t n = head > 0 ? ::pwrite(fd, buf, head, static_cast<off_t>(offset)) : 0;
    if (n != static_cast<ssize_t>(head)) {
        std::printf("write file %s failed! ulSampleWriteLen = %ld \n", path, static_cast<long>(n));
        return false;
    }
    for (size_t i = 0; i < tail_count; ++i) {
        uint64_t at = tail_samples[i];
        if (at < limit || at >= offset + len) continue;
        n = ::pwrite(fd, buf + (at - offset), 1, static_cast<off_t>(at));
        if (n != 1) {
            std::printf("write file %s failed! ulSampleWriteLen = %ld \n", path,
                        static_cast<long>(n));
            return false;
        }
    }
    return true;
}

// The work of one of two threads: groups [0, count) of buf under key.
struct HalfWork {
    uint8_t* buf;
    uint64_t count;
    uint32_t stride;
    uint8_t key[kAesKeyBytes];
    bool ok;
};

void* DecipherHalf(void* arg) {
    auto* w = static_cast<HalfWork*>(arg);
    w->ok = pkg::CipherGroups(w->buf, w->count, w->stride, w->key, false);
    return nullptr;
}

// Deciphers count groups of buf with the key chain starting at key, the
// second half in a thread of its own (its key stepped ahead); key ends as
// after the last group. Without a thread, all in this one.
bool DecipherTwoWays(uint8_t* buf, uint64_t count, uint32_t stride, uint8_t* key) {
    const uint64_t first = count / 2;
    HalfWork second{buf + first * kGroupSamples * stride, count - first, stride, {}, false};
    std::memcpy(second.key, key, kAesKeyBytes);
    for (uint64_t g = 0; g < first; ++g) pkg::KeyStep(second.key);
    pthread_t thread{};
    if (first == 0 || pthread_create(&thread, nullptr, DecipherHalf, &second) != 0) {
        return pkg::CipherGroups(buf, count, stride, key, false);
    }
    const bool ok = pkg::CipherGroups(buf, first, stride, key, false);
    pthread_join(thread, nullptr);
    std::memcpy(key, second.key, kAesKeyBytes);
    std::memset(second.key, 0, kAesKeyBytes);
    return ok && second.ok;
}

// Sampled form: reads the full groups in large blocks, deciphers them in
// memory and writes them back.
bool DecryptSampled(int fd, const char* path, uint64_t start, uint64_t length, uint64_t size,
                    uint32_t stride, uint8_t* key) {
    const uint64_t groups = pkg::FullGroups(start, length, size, stride);
    if (groups == 0) return true;
    const uint64_t group = uint64_t{kGroupSamples} * stride;
    uint64_t pos[kGroupSamples];
    pkg::SamplePositions(stride, pos);
    const uint64_t chunk_groups = std::max<uint64_t>(1, (kChunkGroups * kGroupBytes) / group);
    const uint64_t buf_size = std::min(groups, chunk_groups) * group;
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[buf_size]);
    if (!buf) {
        std::printf("malloc pstCmdPara failed.\n");
        return false;
    }
    const uint64_t end = start + length;
    for (uint64_t g = 0; g < groups; g += chunk_groups) {
        const uint64_t count = std::min(chunk_groups, groups - g);
        const uint64_t offset = start + g * group;
        // The last group needs only up to its 16th sample.
        const uint64_t len = (count - 1) * group + pos[kGroupSamples - 1] + 1;
        if (sys::PreadFull(fd, buf.get(), len, offset) != static_cast<ssize_t>(len)) {
            std::printf("read file %s failed! \n", path);
            return false;
        }
        if (!DecipherTwoWays(buf.get(), count, stride, key)) return false;
        uint64_t tail[kGroupSamples];
        const uint64_t last = offset + (count - 1) * group;
        for (size_t k = 0; k < kGroupSamples; ++k) tail[k] = last + pos[k];
        if (!WriteBack(fd, buf.get(), offset, len, end, tail, kGroupSamples, path)) return false;
    }
    return true;
}

// Plain form: every whole 16-byte block of the region, one key step each.
bool DecryptPlain(int fd, const char* path, uint64_t start, uint64_t length, uint64_t size,
                  uint8_t* key) {
    const uint64_t end = std::min(start + length, size);
    if (start >= end) return true;
    const uint64_t blocks = (end - start) / kGroupSamples;
    const uint64_t chunk_blocks = (kChunkGroups * kGroupBytes) / kGroupSamples;
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow)
                                       uint8_t[std::min(blocks, chunk_blocks) * kGroupSamples + 1]);
    if (!buf) return false;
    pkg::crypto::Aes256 aes;
    for (uint64_t b = 0; b < blocks; b += chunk_blocks) {
        const uint64_t count = std::min(chunk_blocks, blocks - b);
        const uint64_t offset = start + b * kGroupSamples;
        const uint64_t len = count * kGroupSamples;
        if (sys::PreadFull(fd, buf.get(), len, offset) != static_cast<ssize_t>(len)) return false;
        for (uint64_t i = 0; i < count; ++i) {
            uint8_t* p = buf.get() + i * kGroupSamples;
            uint8_t out[kGroupSamples];
            pkg::KeyStep(key);
            if (!aes.SetDecryptKey(key) || !aes.Block(p, out)) return false;
            std::memcpy(p, out, kGroupSamples);
        }
        ssize_t n = ::pwrite(fd, buf.get(), len, static_cast<off_t>(offset));
        if (n != static_cast<ssize_t>(len)) {
            std::printf("write file %s failed! ulWriteLen = %ld \n", path, static_cast<long>(n));
            return false;
        }
    }
    aes.Clear();
    return true;
}

}  // namespace

namespace {

// No words, or a request for help: the tool's usage rather than "DecodePara failed.".
bool WantsUsage(int argc, char** argv) {
    if (argc < 2) return true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) return true;
    }
    return false;
}

}  // namespace

int UPDATE_AesDecryptMain(int argc, char** argv) {
    if (WantsUsage(argc, argv)) {
        std::fprintf(stderr,
                     "Usage: %s -f FILE -s START -L LENGTH -S STRIDE -K KEY_FILE -p KEY_OFFSET\n"
                     "Deciphers the sampled AES-256 form of FILE in place, from byte START for\n"
                     "LENGTH bytes (0: to the end), 16 bytes in every STRIDE x 16 (0: every\n"
                     "byte), with the 64-byte key block at KEY_OFFSET of KEY_FILE.\n",
                     argc > 0 ? argv[0] : "aes_decrypt");
        return -1;
    }
    std::unique_ptr<AES_CMD_PARA_S> para(new (std::nothrow) AES_CMD_PARA_S{});
    if (!para) {
        std::printf("malloc pstCmdPara failed.\n");
        return -1;
    }
    if (argc != kToolWords + 1) {
        std::printf("DecodePara failed.\n");
        return -1;
    }
    DecodeWords(argc, argv, para.get());
    if (!para->HasKey) return -1;
    uint64_t start = 0, length = 0, stride = 0, key_offset = 0;
    if (!ReadNumber(para->Start, &start) || !ReadNumber(para->Length, &length) ||
        !ReadNumber(para->Stride, &stride) || !ReadNumber(para->KeyOffset, &key_offset) ||
        stride > kGroupBytes) {
        std::printf("DecodePara failed.\n");
        return -1;
    }

    uint8_t block[kKeyBlockSize];
    uint8_t key[kAesKeyBytes];
    {
        sys::UniqueFd kfd(::open(para->KeyFile, O_RDONLY | O_CLOEXEC));
        if (!kfd) {
            std::printf("open file %s failed! \n", para->KeyFile);
            return -1;
        }
        if (sys::PreadFull(kfd.get(), block, sizeof(block), key_offset) !=
            static_cast<ssize_t>(sizeof(block))) {
            std::printf("read file %s failed! \n", para->KeyFile);
            return -1;
        }
    }
    pkg::KeyFold(block, key);
    std::memset(block, 0, sizeof(block));

    sys::UniqueFd fd(::open(para->File, O_RDWR | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0) {
        std::printf("open file %s failed! \n", para->File);
        return -1;
    }
    const auto size = static_cast<uint64_t>(st.st_size);
    if (length == 0) length = start < size ? size - start : 0;
    bool ok = stride != 0 ? DecryptSampled(fd.get(), para->File, start, length, size,
                                           static_cast<uint32_t>(stride), key)
                          : DecryptPlain(fd.get(), para->File, start, length, size, key);
    std::memset(key, 0, sizeof(key));
    if (!ok) return -1;
    std::printf("File %s dec completed. Total of %ld bytes were processed! \n", para->File,
                static_cast<long>(length));
    return 0;
}

// ---- The jobs

void UPDATE_SplitProgram(const SubImageEntry* program, SubImageEntry* parts) {
    const uint32_t groups = program->FileLength / kGroupBytes;
    uint32_t offset = program->FileOffset;
    for (int n = 0; n < kProgramParts; ++n) {
        parts[n] = SubImageEntry{};
        const uint32_t count =
            groups / kProgramParts + (static_cast<uint32_t>(n) < groups % kProgramParts ? 1 : 0);
        std::memcpy(parts[n].FileName, program->FileName, sizeof(parts[n].FileName));
        parts[n].FileOffset = offset;
        parts[n].FileLength = count * static_cast<uint32_t>(kGroupBytes);
        offset += parts[n].FileLength;
    }
}

namespace {

bool WriteRecord(int fd, const char* name_field /*128*/, const uint8_t* key_field /*64*/) {
    ssize_t n = ::write(fd, name_field, kKeyNameSize);
    if (n != static_cast<ssize_t>(kKeyNameSize)) {
        std::printf("write file %s failed! ulWriteLen = %ld \n", kKeyFilePath,
                    static_cast<long>(n));
        return false;
    }
    if (!sys::WriteFull(fd, key_field, kKeyBlockSize)) {
        std::printf("write file %s failed! ulWriteLen = %ld \n", kKeyFilePath,
                    static_cast<long>(kKeyBlockSize));
        return false;
    }
    return true;
}

}  // namespace

int UPDATE_WriteKeyParts(int fd, const uint8_t* key_block, const SubImageEntry* parts) {
    uint8_t key[kAesKeyBytes];
    pkg::KeyFold(key_block, key);
    int ret = 0;
    for (int n = 0; n < kProgramParts && ret == 0; ++n) {
        char name[kKeyNameSize] = {};
        std::snprintf(name, sizeof(name), "%.*s-part%d",
                      static_cast<int>(sys::FieldText(parts[n].FileName).size()), parts[n].FileName,
                      n);
        uint8_t field[kKeyBlockSize] = {};
        if (n == 0) {
            std::memcpy(field, key_block, kKeyBlockSize);
        } else {
            std::memcpy(field, key, kAesKeyBytes);
        }
        if (!WriteRecord(fd, name, field)) ret = -1;
        for (uint32_t g = 0; g < parts[n].FileLength / kGroupBytes; ++g) pkg::KeyStep(key);
    }
    std::memset(key, 0, sizeof(key));
    return ret;
}

void* UPDATE_DecryptThread(void* arg) {
    auto* job = static_cast<DECRYPT_JOB_S*>(arg);
    char cmd[kCommandSize];
    const std::string file = sys::ShellQuote(job->BinFile);
    const std::string key = sys::ShellQuote(job->KeyFile);
    int len = std::snprintf(
        cmd, sizeof(cmd), "%s aes_decrypt -f %s -s %lu -L %lu -S %u -K %s -p %lu",
        kUpdaterUnpackPath, file.c_str(), static_cast<unsigned long>(job->Entry.FileOffset),
        static_cast<unsigned long>(job->Entry.FileLength), kSampleStride, key.c_str(),
        static_cast<unsigned long>(job->KeyOffset));
    int ret = (len > 0 && static_cast<size_t>(len) < sizeof(cmd)) ? UPDATE_System(cmd) : -1;
    if (ret != 0) {
        ULOG("update decrypt %s failed!\n", job->Entry.FileName);
        job->Result = ret != 0 ? ret : -1;
    } else {
        job->Result = 0;
    }
    return nullptr;
}

namespace {

// The jobs of one package and the order they must keep: job b waits for job a
// when a's last group reaches into b's region.
struct JobPlan {
    std::array<DECRYPT_JOB_S, kDecryptJobs> jobs{};
    std::array<bool, kDecryptJobs> has_region{};
    std::array<std::array<bool, kDecryptJobs>, kDecryptJobs> waits{};  // waits[b][a]
};

// Checks that every job's region lies in the body of the package and that no
// two regions overlap, then orders neighbours. false with a message otherwise.
bool PlanOrder(JobPlan* plan, uint64_t file_size) {
    for (int a = 0; a < kDecryptJobs; ++a) {
        const SubImageEntry& e = plan->jobs[a].Entry;
        if (!plan->has_region[a]) continue;
        if (e.FileLength == 0) continue;
        const uint64_t end = uint64_t{e.FileOffset} + e.FileLength;
        if (e.FileOffset < kBodyOffset || end > file_size) {
            ULOG("region of %s lies outside the package.\n", e.FileName);
            return false;
        }
    }
    for (int a = 0; a < kDecryptJobs; ++a) {
        const SubImageEntry& ea = plan->jobs[a].Entry;
        if (!plan->has_region[a] || ea.FileLength == 0) continue;
        const uint64_t a_end = uint64_t{ea.FileOffset} + ea.FileLength;
        const uint64_t a_reach =
            pkg::RegionReach(ea.FileOffset, ea.FileLength, file_size, kSampleStride);
        for (int b = 0; b < kDecryptJobs; ++b) {
            const SubImageEntry& eb = plan->jobs[b].Entry;
            if (a == b || !plan->has_region[b] || eb.FileLength == 0) continue;
            const uint64_t b_end = uint64_t{eb.FileOffset} + eb.FileLength;
            if (ea.FileOffset < b_end && eb.FileOffset < a_end) {
                ULOG("regions of %s and %s overlap.\n", ea.FileName, eb.FileName);
                return false;
            }
            if (eb.FileOffset < a_reach && b_end > a_end) plan->waits[b][a] = true;
        }
    }
    return true;
}

// Runs the jobs in rounds: a round starts every job whose predecessors have
// finished and waits for all it started.
int RunJobs(JobPlan* plan) {
    std::array<bool, kDecryptJobs> begun{};
    std::array<bool, kDecryptJobs> done{};  // finished: a round's jobs after its joins
    int result = 0;
    for (int begun_total = 0; begun_total < kDecryptJobs;) {
        std::array<pthread_t, kDecryptJobs> threads{};
        std::array<int, kDecryptJobs> round{};
        int started = 0;
        int picked = 0;
        int create_error = 0;
        for (int j = 0; j < kDecryptJobs && create_error == 0; ++j) {
            if (begun[j]) continue;
            bool ready = true;
            for (int a = 0; a < kDecryptJobs; ++a) ready = ready && (!plan->waits[j][a] || done[a]);
            if (!ready) continue;
            DECRYPT_JOB_S* job = &plan->jobs[j];
            ULOG("To decrypt -f %s \n", job->Entry.FileName);
            if (!plan->has_region[j]) {
                job->Result = -1;  // the table does not reach this job's entry
            } else if (job->Entry.FileLength == 0) {
                job->Result = 0;  // an absent sub-image or an empty part: nothing to do
            } else {
                create_error =
                    pthread_create(&threads[started], nullptr, UPDATE_DecryptThread, job);
                if (create_error != 0) break;
                ++started;
            }
            begun[j] = true;
            round[picked++] = j;
            ++begun_total;
        }
        for (int i = 0; i < started; ++i) pthread_join(threads[i], nullptr);
        if (create_error != 0) return create_error;
        if (picked == 0) return -1;  // no job can start: never with regions that do not overlap
        for (int i = 0; i < picked; ++i) done[round[i]] = true;
    }
    for (const DECRYPT_JOB_S& job : plan->jobs) {
        if (job.Result != 0) result = -1;
    }
    return result;
}

}  // namespace

int UPDATE_DecryptBin(const char* pszBinFile, uint32_t /*count*/, const FileTable* pstFileStruct,
                      const char* key_material) {
    const std::string key_path = sys::DevicePath(kKeyFilePath);
    sys::UniqueFd kfd(::open(key_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0777));
    if (!kfd) {
        std::printf("open file %s failed! \n", kKeyFilePath);
        return -1;
    }
    (void)::fchmod(kfd.get(), 0777);
    std::unique_ptr<JobPlan> plan(new (std::nothrow) JobPlan{});
    if (!plan) {
        ULOG("malloc dec program.img pstFileStruct failed.\n");
        return -1;
    }
    uint8_t block[kKeyBlockSize];
    pkg::KeyBlock(key_material, block);

    const PLATFORM_INFO_S* platform = UPDATE_Platform();
    const uint64_t uboot = platform != nullptr ? platform->Parts[kSlotUboot].Index : 0;
    const uint64_t kernel = platform != nullptr ? platform->Parts[kSlotKernel].Index : 3;
    const uint64_t program = UPDATE_ProgramPosition();
    const uint32_t held = pstFileStruct != nullptr ? pstFileStruct->size() : 0;
    int j = 0;
    int ret = 0;
    for (uint32_t i = 0; i < held && ret == 0; ++i) {
        const SubImageEntry* entry = UPDATE_EntryAt(pstFileStruct, i);
        if (entry == nullptr) break;
        if ((i == uboot || i == kernel) && j < kDecryptJobs) {
            DECRYPT_JOB_S& job = plan->jobs[j];
            job.Entry = *entry;
            job.KeyOffset = uint64_t(j) * kKeyRecordSize + kKeyNameSize;
            plan->has_region[j++] = true;
            if (!WriteRecord(kfd.get(), entry->FileName, block)) ret = -1;
        } else if (i == program && j + kProgramParts <= kDecryptJobs) {
            SubImageEntry parts[kProgramParts];
            UPDATE_SplitProgram(entry, parts);
            for (int n = 0; n < kProgramParts; ++n) {
                DECRYPT_JOB_S& job = plan->jobs[j];
                job.Entry = parts[n];
                job.KeyOffset = uint64_t(j) * kKeyRecordSize + kKeyNameSize;
                plan->has_region[j++] = true;
            }
            if (UPDATE_WriteKeyParts(kfd.get(), block, parts) != 0) ret = -1;
        }
    }
    std::memset(block, 0, sizeof(block));
    if (::close(kfd.release()) != 0) ret = -1;
    if (ret != 0) return ret;
    for (DECRYPT_JOB_S& job : plan->jobs) {
        job.BinFile = pszBinFile;
        job.KeyFile = key_path.c_str();
        job.Result = -1;
    }

    struct stat st {};
    if (::stat(pszBinFile, &st) != 0) {
        ULOG("open file %s failed! \n", pszBinFile);
        return -1;
    }
    if (!PlanOrder(plan.get(), static_cast<uint64_t>(st.st_size))) return -1;
    return RunJobs(plan.get());
}

// ---- The mark

int UPDATE_ClearEncryptFlag(const char* pszBinFile) {
    sys::UniqueFd fd(::open(pszBinFile, O_RDWR | O_CLOEXEC));
    if (!fd) return -1;
    char head[kHeadSize + 1] = {};
    if (sys::PreadFull(fd.get(), head, kHeadSize, 0) != static_cast<ssize_t>(kHeadSize)) return -1;
    const size_t len = ::strnlen(head, kHeadSize);
    size_t seen = 0;
    size_t at = 0;
    for (size_t i = len; i > 0; --i) {
        if (head[i - 1] == '$' && ++seen == 2) {
            at = i;
            break;
        }
    }
    if (seen < 2) return -1;
    // 16 zero bytes, but never past the head into the board list.
    const size_t n = std::min<size_t>(kEncryptFlagChars, kHeadSize - at);
    const char zeros[kEncryptFlagChars] = {};
    if (::pwrite(fd.get(), zeros, n, static_cast<off_t>(at)) != static_cast<ssize_t>(n)) return -1;
    return 0;
}
