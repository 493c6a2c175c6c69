#include "fetch/fetch.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <type_traits>

// The classic progress callback is what the download status file is built
// around; it is still supported, only marked deprecated.
#define CURL_DISABLE_DEPRECATION 1
#include <curl/curl.h>
#ifdef UPDATE_CURL_MBEDTLS
#include <arpa/inet.h>
#include <mbedtls/asn1.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509.h>
#include <mbedtls/x509_crt.h>
#endif

#include "base/progress.h"
#include "package/integrity.h"
#include "sys/fd.h"
#include "sys/io.h"
#include "sys/log.h"
#include "sys/path.h"
#include "sys/quote.h"
#include "sys/runner.h"
#include "sys/text.h"

// libcurl calls the callbacks through these exact types.
static_assert(std::is_same_v<decltype(&DOWNLOAD_OnWrite), curl_write_callback>);
static_assert(std::is_same_v<decltype(&DOWNLOAD_OnProgress), curl_progress_callback>);

namespace {
constexpr const char* kLogUnit = sys::kUnitUpdate;

constexpr const char* kFetchDir = "/tmp";
constexpr int kTftpBlockSize = 8192;
constexpr int kShellTries = 3;
constexpr const char* kPasswordMask = "******";
constexpr long kLowSpeedLimit = 1;  // bytes per second
constexpr long kLowSpeedTime = 30;  // seconds
constexpr long kMaxRedirects = 3;
// libcurl's receive buffer. Its default (16 KiB) costs plain HTTP one read,
// one write and one progress round per 16 KiB; TLS delivers a record (at most
// 16 KiB) per read whatever this is.
constexpr long kReceiveBuffer = 512L * 1024;

std::mutex g_sleep_mutex;
std::function<void(unsigned)>& Sleeper() {
    static std::function<void(unsigned)> sleeper;
    return sleeper;
}

void Pause(unsigned seconds) {
    std::function<void(unsigned)> sleeper;
    {
        std::lock_guard<std::mutex> lock(g_sleep_mutex);
        sleeper = Sleeper();
    }
    if (sleeper) {
        sleeper(seconds);
    } else {
        ::sleep(seconds);
    }
}

std::string Quote(const char* value) {
    return sys::ShellQuote(value != nullptr ? value : "");
}

int ShellFetch(uint16_t trans, const char* remote, const char* user, const char* password,
               const char* file) {
    const fetch::ToolLine tool =
        fetch::FetchToolLine(trans, remote, user, password, file, kImageFilePath);
    const std::string head = std::string("mkdir -p ") + kFetchDir + ";";
    const std::string tail = " 2>>/var/log/update.log";
    const std::string cmd = head + tool.cmd + tail;
    const std::string shown = head + tool.shown + tail;
    ULOG("loading Program.bin....\n");
    ULOG_ONLY("loading cmd: %s\n", shown.c_str());
    for (int run = 0; run < kShellTries; ++run) {
        if (UPDATE_SystemMasked(cmd.c_str(), shown.c_str()) == 0) {
            ULOG("done!\n");
            return 0;
        }
        Pause(1);
    }
    ULOG("load bin file failed! please try again!\n");
    return -1;
}

int CloudFailure(int code) {
    ULOG("download version failed.\n");
    ULOG("Get remote bin file failed.\n");
    return code;
}

void SetStatus(uint32_t status) {
    ProgressLock lock;
    UPDATE_DownloadStat().status = status;
}

struct CurlCleanup {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlHandle = std::unique_ptr<CURL, CurlCleanup>;

// The progress callback's user pointer: fixed, never read.
char g_progress_tag;

// The transfer a cloud fetch runs, for the write callback (set and used on
// the fetching thread only). libcurl calls the progress callback once per
// round of up to 100 reads, and one read can span more than a percent: the
// write callback writes a chunk in pieces that end where the percentage
// changes and reports after each, so the status file shows every percentage
// whatever the server's speed or the package's size.
struct Transfer {
    CURL* handle = nullptr;
    curl_off_t received = 0;  // this attempt's bytes, as libcurl counts them
};
thread_local Transfer t_transfer;

struct TransferScope {
    explicit TransferScope(CURL* handle) { t_transfer = Transfer{handle, 0}; }
    ~TransferScope() { t_transfer = Transfer{}; }
    TransferScope(const TransferScope&) = delete;
    TransferScope& operator=(const TransferScope&) = delete;
};

// The attempt's announced length, 0 while unknown (or outside a fetch).
curl_off_t AnnouncedLength() {
    curl_off_t total = -1;
    if (t_transfer.handle == nullptr ||
        curl_easy_getinfo(t_transfer.handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &total) !=
            CURLE_OK) {
        return 0;
    }
    return total > 0 ? total : 0;
}

// How many of the next `left` bytes reach the next change of percentage.
std::size_t PieceToNextPercent(std::size_t left, curl_off_t total) {
    const curl_off_t done = t_transfer.received;
    if (total <= 0 || done >= total || total > INT64_MAX / 101) return left;
    const curl_off_t percent = done * 100 / total;
    const curl_off_t next = ((percent + 1) * total + 99) / 100;
    const auto gap = static_cast<std::size_t>(std::max<curl_off_t>(next - done, 1));
    return std::min(left, gap);
}

// The line the download status file holds, as this process last wrote it;
// guarded by the progress mutex. libcurl calls the progress callback many
// times a second with the same figures: while a cloud fetch runs (its URL is
// set), the file (opened with synchronous writes) and, through the report,
// the rate file are rewritten only when the line would say something new.
struct WrittenLine {
    bool known = false;
    uint32_t status = 0;
    uint32_t rate = 0;
};
WrittenLine g_written;

void WriteStatLine(void (*report)(uint32_t));

// The failed fetch's last line: the caller reports the fetch's own code
// right after, and that code is the only one the watchdog may see.
void WriteFinalStat() {
    WriteStatLine(UPDATE_ReportRateBeforeResult);
}

#ifdef UPDATE_CURL_MBEDTLS
// mbedTLS (2.28) matches the server's certificate against DNS names and the
// common name only, never against an iPAddress subject alternative name, and
// libcurl hands it the host of an https://192.168.1.10/ URL as a name: a
// correct certificate for the address would fail with a name mismatch. While
// libcurl's TLS backend is mbedTLS, each connection to an IP literal gets a
// verify callback that lifts exactly that mismatch for the server's own
// certificate when one of its iPAddress names is the URL's address, byte for
// byte. Every other verdict (chain, dates, usage) stays.
struct IpPeer {
    unsigned char addr[16] = {};
    std::size_t len = 0;  // 4 or 16 for an IP literal host, else 0
};

bool CurlUsesMbedtls() {
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    return info != nullptr && info->ssl_version != nullptr &&
           std::strncmp(info->ssl_version, "mbedTLS/", 8) == 0;
}

// The address of the URL's host if it is an IP literal ("10.0.0.1", "[::1]",
// "[fe80::1%25eth0]").
bool HostAddress(const char* url, IpPeer* peer) {
    peer->len = 0;
    std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> u(curl_url(), curl_url_cleanup);
    char* host = nullptr;
    if (!u || curl_url_set(u.get(), CURLUPART_URL, url, 0) != CURLUE_OK ||
        curl_url_get(u.get(), CURLUPART_HOST, &host, 0) != CURLUE_OK) {
        return false;
    }
    // No allocation here: nothing may throw through libcurl's C frames. A
    // host longer than any address literal is a name.
    char name[64] = {};
    const std::size_t len = std::strlen(host);
    const bool fits = len < sizeof name;
    if (fits) std::memcpy(name, host, len);
    curl_free(host);
    if (!fits) return false;
    if (name[0] == '[') {
        name[std::strcspn(name, "%]")] = '\0';
        if (::inet_pton(AF_INET6, name + 1, peer->addr) == 1) peer->len = 16;
    } else if (::inet_pton(AF_INET, name, peer->addr) == 1) {
        peer->len = 4;
    }
    return peer->len != 0;
}

// mbedTLS keeps every subjectAltName entry in subject_alt_names: an iPAddress
// as its context-specific tag 7 with the raw 4 or 16 bytes.
int VerifyIpName(void* data, mbedtls_x509_crt* crt, int depth, uint32_t* flags) {
    const auto* peer = static_cast<const IpPeer*>(data);
    if (depth != 0 || peer->len == 0 || (*flags & MBEDTLS_X509_BADCERT_CN_MISMATCH) == 0) {
        return 0;
    }
    constexpr int kIpTag = MBEDTLS_ASN1_CONTEXT_SPECIFIC | MBEDTLS_X509_SAN_IP_ADDRESS;
    for (const mbedtls_x509_sequence* san = &crt->subject_alt_names; san != nullptr;
         san = san->next) {
        if (san->buf.tag == kIpTag && san->buf.len == peer->len &&
            std::memcmp(san->buf.p, peer->addr, peer->len) == 0) {
            *flags &= ~static_cast<uint32_t>(MBEDTLS_X509_BADCERT_CN_MISMATCH);
            break;
        }
    }
    return 0;
}

// Called for each new TLS connection, redirects included, with the
// connection's own mbedTLS configuration; the URL is then the one connected to.
CURLcode OnTlsConfig(CURL* handle, void* config, void* data) {
    auto* peer = static_cast<IpPeer*>(data);
    char* url = nullptr;
    if (curl_easy_getinfo(handle, CURLINFO_EFFECTIVE_URL, &url) == CURLE_OK && url != nullptr &&
        HostAddress(url, peer)) {
        mbedtls_ssl_conf_verify(static_cast<mbedtls_ssl_config*>(config), VerifyIpName, peer);
    }
    return CURLE_OK;
}
static_assert(std::is_same_v<decltype(&OnTlsConfig), curl_ssl_ctx_callback>);
#endif

int CloudFetch(const char* url) {
    const std::string image = sys::DevicePath(kImageFilePath);
    if (::access(image.c_str(), F_OK) == 0) return 0;

    int ret = DOWNLOAD_InitStat();
    if (ret != 0) {
        ULOG("failed to init download stat");
        return CloudFailure(ret);
    }
    {
        ProgressLock lock;
        DOWNLOAD_STAT_S& stat = UPDATE_DownloadStat();
        sys::CopyText(stat.url, url);
        sys::CopyText(stat.local_path, kImageFilePath);
        stat.total = 0;
        stat.received = 0;
    }

    sys::UniqueFile file(std::fopen(image.c_str(), "w+be"));
    if (!file) {
        ULOG("Fail to open file\n");
        return CloudFailure(-1);
    }
    // Every chunk reaches the file before the next one is accepted.
    std::setvbuf(file.get(), nullptr, _IONBF, 0);

#ifdef UPDATE_CURL_MBEDTLS
    IpPeer peer;  // outlives the handle
#endif
    CurlHandle curl(curl_easy_init());
    if (!curl) {
        file.reset();
        ULOG("NULL pointer");
        return CloudFailure(-1);
    }
    CURL* h = curl.get();
    curl_easy_setopt(h, CURLOPT_URL, url);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, DOWNLOAD_OnWrite);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, kLowSpeedLimit);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, kLowSpeedTime);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, file.get());
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_PROGRESSFUNCTION, DOWNLOAD_OnProgress);
    curl_easy_setopt(h, CURLOPT_PROGRESSDATA, &g_progress_tag);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(h, CURLOPT_BUFFERSIZE, kReceiveBuffer);
#ifdef UPDATE_CURL_MBEDTLS
    if (CurlUsesMbedtls()) {
        curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, OnTlsConfig);
        curl_easy_setopt(h, CURLOPT_SSL_CTX_DATA, &peer);
    }
#endif
    const TransferScope scope(h);

    // 64-bit, so that packages above 2 GiB resume at the right byte.
    curl_off_t offset = 0;
    CURLcode res = CURLE_OK;
    for (;;) {
        t_transfer.received = 0;
        res = curl_easy_perform(h);
        long code = 0;
        curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code);
        if (res != CURLE_OK || code != 200) {
            ULOG("Http breakpoint transmission fails. err is %d/%d\n", static_cast<int>(res),
                 static_cast<int>(code));
        }
        curl_off_t announced = -1;
        curl_off_t received = 0;
        curl_easy_getinfo(h, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
        curl_easy_getinfo(h, CURLINFO_SIZE_DOWNLOAD_T, &received);
        const curl_off_t before = offset;

        if (res == CURLE_OK) {
            // An error page is no package: take it out of the image file.
            bool error_page = code >= 400;
            if (error_page && ::ftruncate(fileno(file.get()), before) != 0) {
                ULOG_ONLY("ftruncate %s: %s\n", kImageFilePath, std::strerror(errno));
            }
            // The whole file counts: what earlier attempts brought plus what
            // this one announced.
            bool too_small = error_page || announced < 0 || before + announced < kSmallestDownload;
            SetStatus(too_small ? kDownloadTooSmall : kDownloadRunning);
            if (too_small) {
                WriteFinalStat();
                ULOG("File too small, maybe no file on website.");
            }
            curl.reset();
            file.reset();
            return too_small ? CloudFailure(2) : 0;
        }

        offset += received;
        curl_easy_setopt(h, CURLOPT_RESUME_FROM_LARGE, offset);
        // A stall after some data resumes; a stall without data, or after
        // all of the announced data, has failed.
        if (res == CURLE_OPERATION_TIMEDOUT && received != 0 && received != announced) continue;
        break;
    }

    curl.reset();
    SetStatus(kDownloadFailed);
    file.reset();
    WriteFinalStat();
    (void)UPDATE_System("rm -rf /tmp/Program.bin /tmp/download_stat.log");
    ULOG("Fail to call curl_easy_perform, err:%d", static_cast<int>(res));
    return CloudFailure(4);
}

// Opens the download status file the way every writer does: write-only,
// created, synchronous writes.
sys::UniqueFd OpenStatFile(int extra_flags) {
    std::string path = sys::DevicePath(kDownloadStatPath);
    return sys::UniqueFd(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_SYNC | O_CLOEXEC | extra_flags, 0777));
}

}  // namespace

namespace fetch {
ToolLine FetchToolLine(uint16_t trans, const char* remote, const char* user, const char* password,
                       const char* name, const char* local) {
    ToolLine line;
    if (trans == kTransFtp) {
        const std::string head = "ftpget -u " + Quote(user) + " -p ";
        const std::string tail = " " + Quote(remote) + " " + local + " " + Quote(name);
        line.cmd = head + Quote(password) + tail;
        // An empty password has nothing to hide and is shown as it is run.
        const bool secret = password != nullptr && password[0] != '\0';
        line.shown = head + (secret ? std::string(kPasswordMask) : Quote(password)) + tail;
    } else {
        line.cmd = "tftp -g -r " + Quote(name) + " -l " + local + " " + Quote(remote) + " -b " +
                   std::to_string(kTftpBlockSize);
        line.shown = line.cmd;
    }
    return line;
}

void SetSleeper(std::function<void(unsigned)> sleeper) {
    std::lock_guard<std::mutex> lock(g_sleep_mutex);
    Sleeper() = std::move(sleeper);
}
}  // namespace fetch

int UPDATE_GetRemoteFile(uint16_t trans, const char* remote, const char* user, const char* password,
                         const char* file, const char* url) {
    switch (trans) {
        case kTransTftp:
        case kTransTftpAlt:
        case kTransFtp:
            return ShellFetch(trans, remote, user, password, file);
        case kTransCloud:
            return CloudFetch(url != nullptr ? url : "");
        default:
            return 0;
    }
}

int UPDATE_GetImageHead(uint16_t trans, uint16_t check, uint32_t update_type, const char* remote,
                        const char* user, const char* password, const char* file, const char* url,
                        char* head, char* compat, uint8_t* digsig) {
    int ret = UPDATE_GetRemoteFile(trans, remote, user, password, file, url);
    if (ret != 0) {
        ULOG("Get remote bin file failed.\n");
        return ret;
    }

    const bool fetched = trans == kTransTftp || trans == kTransFtp || trans == kTransTftpAlt;
    const char* chosen = fetched ? kImageFilePath : (file != nullptr ? file : "");
    ULOG_ONLY("open file:%s\n", chosen);
    std::string path = sys::DevicePath(chosen);
    sys::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        ULOG("Get version failed (error %s)\n", std::strerror(errno));
        return -3;
    }
    // Short reads are accepted: a short image simply has a short head.
    if (sys::ReadFull(fd.get(), head, kImageHeadSize) < 0 ||
        sys::ReadFull(fd.get(), compat, kCompatListSize) < 0) {
        ULOG("Read version file failed!\n");
        return -5;
    }
    ULOG_ONLY("read head:%.*s, compatlist:%.*s\n", static_cast<int>(strnlen(head, kImageHeadSize)),
              head, static_cast<int>(strnlen(compat, kCompatListSize)), compat);

    // Every run reads the signature: a first stage writes the package itself
    // until the hand-over to a package's own program is built.
    (void)update_type;
    (void)check;
    if (!UPDATE_HasPublicKey()) return 0;

    std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[kSignBlockSize]);
    if (!block) {
        std::printf("malloc failed!\n");
        std::fflush(stdout);
        return -2;
    }
    std::memset(block.get(), 0, kSignBlockSize);
    if (sys::ReadFull(fd.get(), block.get(), kSignBlockSize) < 0) {
        ULOG("Read digital signature file failed!\n");
        return -5;
    }
    if (rsa_decrypt(block.get(), digsig) != 0) {
        ULOG("Decrypt sha256 data failed!\n");
        return -1;
    }
    return 0;
}

int DOWNLOAD_InitStat() {
    {
        ProgressLock lock;
        DOWNLOAD_STAT_S& stat = UPDATE_DownloadStat();
        stat.total = 0;
        stat.received = 0;
        stat.rate = 0;
        stat.status = kDownloadPrepared;
        stat.url[0] = '\0';
        stat.local_path[0] = '\0';
        g_written = WrittenLine{};
    }
    sys::UniqueFd fd = OpenStatFile(O_TRUNC);
    if (!fd) {
        ULOG("failed to open");
        return -3;
    }
    char line[1000];
    int len = std::snprintf(line, sizeof(line), "Stat:%u,DownladRate:%u", kDownloadPrepared, 0u);
    if (::write(fd.get(), line, static_cast<std::size_t>(len)) != len) {
        ULOG("failed to write");
        return -6;
    }
    ProgressLock lock;
    g_written = WrittenLine{true, kDownloadPrepared, 0};
    return 0;
}

namespace {
// Writes the current line; folds it into the overall rate through report
// (not called when the file could not be written).
void WriteStatLine(void (*report)(uint32_t)) {
    uint32_t status;
    uint32_t rate;
    {
        ProgressLock lock;
        status = UPDATE_DownloadStat().status;
        rate = UPDATE_DownloadStat().rate;
    }
    char line[1000];
    int len = std::snprintf(line, sizeof(line), "Stat:%u,DownladRate:%u", status, rate);

    // Not truncated at open: the content is replaced under the lock, so a
    // reader never sees the file empty between two writers.
    sys::UniqueFd fd = OpenStatFile(0);
    if (!fd) {
        ULOG("failed to open");
        return;
    }
    if (::flock(fd.get(), LOCK_EX) == 0) {
        if (::ftruncate(fd.get(), 0) != 0 ||
            ::write(fd.get(), line, static_cast<std::size_t>(len)) != len) {
            ULOG("failed to write");
            ::flock(fd.get(), LOCK_UN);
            return;
        }
        ProgressLock lock;
        g_written = WrittenLine{true, status, rate};
    }
    ::flock(fd.get(), LOCK_UN);
    fd.reset();
    report(0);
}
}  // namespace

void DOWNLOAD_WriteStat() {
    WriteStatLine(UPDATE_ReportRate);
}

int DOWNLOAD_OnProgress(void* /*unused*/, double total, double received, double /*ultotal*/,
                        double /*ulnow*/) {
    {
        ProgressLock lock;
        DOWNLOAD_STAT_S& stat = UPDATE_DownloadStat();
        stat.total = total;
        stat.received = received;
        stat.status = kDownloadRunning;
        // Before the server announces a length there is no percentage yet.
        double rate = total > 0 ? received * 100.0 / total : 0.0;
        stat.rate = rate > 0 && rate < 4294967296.0 ? static_cast<uint32_t>(rate) : 0;
        if (g_written.known && stat.url[0] != '\0' && g_written.status == stat.status &&
            g_written.rate == stat.rate) {
            return 0;
        }
    }
    DOWNLOAD_WriteStat();
    return 0;
}

std::size_t DOWNLOAD_OnWrite(char* data, std::size_t size, std::size_t count, void* file) {
    auto* stream = static_cast<FILE*>(file);
    const std::size_t bytes = size * count;
    const curl_off_t total = AnnouncedLength();
    std::size_t done = 0;
    while (done < bytes) {
        const std::size_t piece = PieceToNextPercent(bytes - done, total);
        const std::size_t written = std::fwrite(data + done, 1, piece, stream);
        // Flushed piece by piece: a resumed attempt starts where the file ends.
        std::fflush(stream);
        done += written;
        if (t_transfer.handle != nullptr) {
            t_transfer.received += static_cast<curl_off_t>(written);
            (void)DOWNLOAD_OnProgress(&g_progress_tag, static_cast<double>(total),
                                      static_cast<double>(t_transfer.received), 0.0, 0.0);
        }
        if (written < piece) break;
    }
    return size == 0 ? 0 : done / size;
}
