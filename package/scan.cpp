// One read pass over a package for its CRC and its digest.
//
// The file is cut into contiguous parts on chunk boundaries; each part is read
// by its own thread through its own 262144-byte buffer. The digest fold is an
// XOR and does not depend on order, so the parts' folds are simply joined;
// each part's CRC is counted from a zero register and the parts are joined in
// file order with CrcShift.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "package/format.h"
#include "package/integrity.h"
#include "sys/priority.h"

namespace pkg {
namespace {

constexpr uint64_t kToEnd = UINT64_MAX;
// Below this size one thread reads the whole file.
constexpr uint64_t kParallelMinBytes = 16 * kPackageChunkSize;
constexpr unsigned kMaxThreads = 8;

struct Part {
    uint64_t start = 0;
    uint64_t end = kToEnd;  // kToEnd: to the end of the file
    // Results.
    int ret = 0;
    uint32_t crc = 0;        // from a zero register, over the part's bytes at 4096 and later
    uint64_t crc_bytes = 0;  // how many bytes that is
    uint8_t fold[32] = {};   // XOR of the (hash + 0x30) of the part's chunks
};

class Progress {
  public:
    Progress(const ScanOptions& options, uint64_t total) : options_(options), total_(total) {}
    // Counts and reports under one lock, so the reported counts only grow.
    void Add(uint64_t n) {
        if (!options_.progress) return;
        std::lock_guard<std::mutex> lock(mutex_);
        done_ += n;
        options_.progress(done_, total_);
    }

  private:
    const ScanOptions& options_;
    uint64_t total_;
    uint64_t done_ = 0;
    std::mutex mutex_;
};

void ScanPartBody(int fd, const ScanOptions& options, Part* part, Progress* progress) {
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[kPackageChunkSize]);
    if (!buf) {
        part->ret = -2;
        return;
    }
    std::unique_ptr<crypto::Sha256> sha;
    if (options.digest) {
        sha.reset(new (std::nothrow) crypto::Sha256());
        if (!sha) {
            part->ret = -2;
            return;
        }
    }
    uint64_t pos = part->start;
    for (;;) {
        size_t want = kPackageChunkSize;
        if (part->end != kToEnd) {
            if (pos >= part->end) break;
            want = static_cast<size_t>(std::min<uint64_t>(kPackageChunkSize, part->end - pos));
        }
        const ssize_t got = PreadFull(fd, buf.get(), want, pos);
        if (got < 0) {
            part->ret = -5;
            return;
        }
        const auto n = static_cast<size_t>(got);
        if (n == 0 && part->end == kToEnd) break;
        // A part before the last must be whole: the file shrank under us.
        if (n < want && part->end != kToEnd) {
            part->ret = -5;
            return;
        }
        if (options.crc && pos + n > kBodyOffset) {
            const size_t skip = pos >= kBodyOffset ? 0 : static_cast<size_t>(kBodyOffset - pos);
            part->crc = UPDATE_PacketCrc(buf.get() + skip, n - skip, part->crc);
            part->crc_bytes += n - skip;
        }
        if (options.digest) {
            if (options.zero_signature && pos < kSigOffset + kSigSize && pos + n > kSigOffset) {
                const uint64_t from = std::max<uint64_t>(pos, kSigOffset);
                const uint64_t to = std::min<uint64_t>(pos + n, kSigOffset + kSigSize);
                std::memset(buf.get() + (from - pos), 0, static_cast<size_t>(to - from));
            }
            uint8_t hash[crypto::kSha256Size];
            if (!sha->Digest(buf.get(), n, hash)) {
                part->ret = -1;
                return;
            }
            for (size_t i = 0; i < 32; ++i) part->fold[i] ^= static_cast<uint8_t>(hash[i] + 0x30);
        }
        progress->Add(n);
        pos += n;
        if (n < want) break;  // end of file
    }
}

// Runs on its own thread: nothing may escape it.
// Each part runs at background priority: a check runs beside the recording.
void ScanPart(int fd, const ScanOptions& options, Part* part, Progress* progress) noexcept {
    sys::BackgroundPriority background(sys::BackgroundPriority::Work::kCpu);
    try {
        ScanPartBody(fd, options, part, progress);
    } catch (...) {
        part->ret = -2;
    }
}

unsigned ThreadCount(const ScanOptions& options) {
    if (options.threads != 0) return options.threads;
    unsigned cores = std::thread::hardware_concurrency();
    if (cores == 0) cores = 1;
    return std::min(cores, kMaxThreads);
}

}  // namespace

namespace {

int ScanPackageBody(int fd, const ScanOptions& options, ScanResult* result) {
    const uint64_t first = options.digest ? 0 : kBodyOffset;
    if (::lseek(fd, static_cast<off_t>(first), SEEK_SET) < 0) return -4;

    uint64_t size = 0;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) size = static_cast<uint64_t>(st.st_size);
    const uint64_t bytes = size > first ? size - first : 0;
    const uint64_t chunks = (bytes + kPackageChunkSize - 1) / kPackageChunkSize;

    unsigned threads = ThreadCount(options);
    if (bytes < kParallelMinBytes) threads = 1;
    if (threads > chunks) threads = chunks == 0 ? 1 : static_cast<unsigned>(chunks);

    std::vector<Part> parts(threads);
    const uint64_t per = (chunks + threads - 1) / threads;
    // Only the last part may hold the final, partial chunk.
    if (per != 0) threads = static_cast<unsigned>((chunks + per - 1) / per);
    if (threads == 0) threads = 1;
    parts.resize(threads);
    for (unsigned t = 0; t < threads; ++t) {
        parts[t].start = first + t * per * kPackageChunkSize;
        parts[t].end = t + 1 == threads ? kToEnd : first + (t + 1) * per * kPackageChunkSize;
    }

    Progress progress(options, bytes);
    std::vector<std::thread> workers;
    workers.reserve(threads);
    std::vector<unsigned> inline_parts;
    // No allocation may fail once a thread runs: a throw would leave it joinable.
    inline_parts.reserve(threads);
    for (unsigned t = 1; t < threads; ++t) {
        try {
            workers.emplace_back(ScanPart, fd, std::cref(options), &parts[t], &progress);
        } catch (const std::system_error&) {
            inline_parts.push_back(t);
        } catch (const std::bad_alloc&) {
            inline_parts.push_back(t);
        }
    }
    ScanPart(fd, options, &parts[0], &progress);
    for (unsigned t : inline_parts) ScanPart(fd, options, &parts[t], &progress);
    for (std::thread& w : workers) w.join();

    uint32_t crc = 0xFFFFFFFFu;
    std::memset(result->digest, 0x01, sizeof(result->digest));
    for (const Part& part : parts) {
        if (part.ret != 0) return part.ret;
        crc = CrcShift(crc, part.crc_bytes) ^ part.crc;
        for (size_t i = 0; i < 32; ++i) result->digest[i] ^= part.fold[i];
    }
    result->crc = crc;
    return 0;
}

// The pass with the whole-file hash. Threads take chunks in file order; each
// reads its chunk and hashes it on its own, then waits for the chunk's turn
// to feed the CRC and the whole-file hash, which only the turn's holder
// touches. The chunk hashes of several chunks thus run beside one serial
// whole-file hash, and every byte is read once. A sink (the private copy,
// the sub-image digests) is fed by the turn's holder as well, in file order.
class InOrderScan {
  public:
    // buf_size: the bytes read at once, kPackageChunkSize or, for a file of
    // one short chunk, its size + 1.
    InOrderScan(int fd, const ScanOptions& options, uint64_t chunks, size_t buf_size,
                Progress* progress)
        : fd_(fd),
          options_(options),
          chunks_(chunks),
          buf_size_(buf_size),
          progress_(progress),
          end_(chunks) {}

    bool Start() { return !options_.full || full_.Begin(); }

    // Runs on its own thread: nothing may escape it.
    void Work() noexcept {
        sys::BackgroundPriority background(sys::BackgroundPriority::Work::kCpu);
        try {
            WorkBody();
        } catch (...) {
            Fail(-2);
        }
    }

    int Finish(ScanResult* result) {
        if (ret_ != 0) return ret_;
        result->crc = crc_;
        std::memcpy(result->digest, fold_, sizeof(fold_));
        std::memcpy(result->signature, signature_, sizeof(signature_));
        return !options_.full || full_.Finish(result->full) ? 0 : -1;
    }

  private:
    void Fail(int ret) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (ret_ == 0) ret_ = ret;
        turn_changed_.notify_all();
    }

    void WorkBody() {
        std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[buf_size_]);
        std::unique_ptr<crypto::Sha256> sha(new (std::nothrow) crypto::Sha256());
        if (!buf || !sha) return Fail(-2);
        for (;;) {
            uint64_t chunk = 0;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (ret_ != 0 || next_ >= end_) return;
                chunk = next_++;
            }
            const uint64_t pos = chunk * kPackageChunkSize;
            const ssize_t got = PreadFull(fd_, buf.get(), buf_size_, pos);
            if (got < 0) return Fail(-5);
            const auto n = static_cast<size_t>(got);
            // Only the last chunk may be short: otherwise the file shrank under us.
            if (n < kPackageChunkSize && chunk + 1 < chunks_ && chunks_ != kToEnd) return Fail(-5);
            if (pos < kSigOffset + kSigSize && pos + n > kSigOffset) {
                const uint64_t from = std::max<uint64_t>(pos, kSigOffset);
                const uint64_t to = std::min<uint64_t>(pos + n, kSigOffset + kSigSize);
                std::memcpy(signature_ + (from - kSigOffset), buf.get() + (from - pos), to - from);
                std::memset(buf.get() + (from - pos), 0, static_cast<size_t>(to - from));
            }
            uint8_t hash[crypto::kSha256Size];
            if (n != 0 && options_.digest && !sha->Digest(buf.get(), n, hash)) return Fail(-1);
            {
                std::unique_lock<std::mutex> lock(mutex_);
                turn_changed_.wait(lock, [&] { return ret_ != 0 || turn_ == chunk; });
                if (ret_ != 0) return;
                if (chunk >= end_) {
                    // Taken before the end was known: there is nothing to add.
                    ++turn_;
                    turn_changed_.notify_all();
                    return;
                }
                if (n < kPackageChunkSize) end_ = chunk + 1;
            }
            // This thread holds the turn: the CRC, fold and hash are its own.
            if (pos + n > kBodyOffset && options_.crc) {
                const size_t skip = pos >= kBodyOffset ? 0 : static_cast<size_t>(kBodyOffset - pos);
                crc_ = UPDATE_PacketCrc(buf.get() + skip, n - skip, crc_);
            }
            if (n != 0 && options_.digest) {
                for (size_t i = 0; i < 32; ++i) fold_[i] ^= static_cast<uint8_t>(hash[i] + 0x30);
            }
            if (options_.full && !full_.Update(buf.get(), n)) return Fail(-1);
            if (options_.sink) {
                // The sink takes the bytes as read: the signature block back.
                if (pos < kSigOffset + kSigSize && pos + n > kSigOffset) {
                    const uint64_t from = std::max<uint64_t>(pos, kSigOffset);
                    const uint64_t to = std::min<uint64_t>(pos + n, kSigOffset + kSigSize);
                    std::memcpy(buf.get() + (from - pos), signature_ + (from - kSigOffset),
                                static_cast<size_t>(to - from));
                }
                if (n != 0 && !options_.sink(buf.get(), n, pos)) return Fail(-6);
            }
            progress_->Add(n);
            std::lock_guard<std::mutex> lock(mutex_);
            ++turn_;
            turn_changed_.notify_all();
        }
    }

    const int fd_;
    const ScanOptions& options_;
    const uint64_t chunks_;
    const size_t buf_size_;
    Progress* const progress_;
    std::mutex mutex_;
    std::condition_variable turn_changed_;
    uint64_t next_ = 0;  // the next chunk to take
    uint64_t end_;       // no chunk at or after this one exists
    uint64_t turn_ = 0;  // the chunk whose turn it is
    int ret_ = 0;
    uint32_t crc_ = 0xFFFFFFFFu;
    uint8_t fold_[32] = {0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01,
                         0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01,
                         0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01};
    uint8_t signature_[kSigSize] = {};
    crypto::Sha256 full_;
};

int ScanInOrder(int fd, const ScanOptions& options, ScanResult* result) {
    if (::lseek(fd, 0, SEEK_SET) < 0) return -4;
    uint64_t size = 0;
    bool regular = false;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        size = static_cast<uint64_t>(st.st_size);
        regular = true;
    }
    // A file of unknown size is read by one thread to its end.
    const uint64_t chunks = regular ? size / kPackageChunkSize + 1 : kToEnd;
    unsigned threads = regular && size >= kParallelMinBytes ? ThreadCount(options) : 1;
    Progress progress(options, size);
    // A file of one short chunk needs no more than its bytes and one more
    // (which shows that it grew).
    const size_t buf_size =
        regular && size < kPackageChunkSize ? static_cast<size_t>(size) + 1 : kPackageChunkSize;
    auto scan = std::make_unique<InOrderScan>(fd, options, chunks, buf_size, &progress);
    if (!scan->Start()) return -1;
    std::vector<std::thread> workers;
    workers.reserve(threads);
    for (unsigned t = 1; t < threads; ++t) {
        try {
            workers.emplace_back(&InOrderScan::Work, scan.get());
        } catch (const std::system_error&) {
            break;  // fewer threads: the turns still come in order
        } catch (const std::bad_alloc&) {
            break;
        }
    }
    scan->Work();
    for (std::thread& w : workers) w.join();
    return scan->Finish(result);
}

}  // namespace

int ScanPackage(int fd, const ScanOptions& options, ScanResult* result) {
    *result = ScanResult{};
    try {
        if (options.full || options.sink) return ScanInOrder(fd, options, result);
        return ScanPackageBody(fd, options, result);
    } catch (...) {
        return -2;
    }
}

int PackageDigest(int fd, uint8_t* out) {
    ScanOptions options;
    options.digest = true;
    options.zero_signature = true;
    ScanResult result;
    int ret = ScanPackage(fd, options, &result);
    if (ret == 0) std::memcpy(out, result.digest, sizeof(result.digest));
    return ret;
}

}  // namespace pkg
