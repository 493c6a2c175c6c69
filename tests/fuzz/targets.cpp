// libFuzzer targets, one per parser that takes outside bytes. This file is
// built once per target with FUZZ_<NAME> defined (tests/fuzz/CMakeLists.txt);
// each target calls the project's own functions and traps when a result
// breaks a rule the caller relies on.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/cmdline.h"
#include "base/mem_mtd.h"
#include "env/env.h"
#include "oem/oem.h"
#include "package/decrypt.h"
#include "package/format.h"
#include "package/integrity.h"
#include "package/version.h"
#include "sys/fake_runner.h"
#include "sys/fd.h"
#include "sys/runner.h"
#include "tools/pack/reader.h"

namespace {

#define FUZZ_REQUIRE(cond) \
    if (!(cond)) __builtin_trap()

// The input cut at NUL bytes (at most max words; the last takes the rest).
[[maybe_unused]] std::vector<std::string> Words(const uint8_t* data, size_t size, size_t max) {
    std::vector<std::string> words(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0 && words.size() < max) {
            words.emplace_back();
        } else {
            words.back() += static_cast<char>(data[i]);
        }
    }
    return words;
}

// A read-only stream over bytes (null for no bytes).
[[maybe_unused]] sys::UniqueFile Stream(const std::string& bytes) {
    if (bytes.empty()) return sys::UniqueFile(nullptr);
    return sys::UniqueFile(fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "r"));
}

// An anonymous file holding the bytes: the descriptor entry points read it.
[[maybe_unused]] sys::UniqueFd MemFile(const uint8_t* data, size_t size) {
    sys::UniqueFd fd(memfd_create("fuzz", MFD_CLOEXEC));
    if (fd && size > 0) FUZZ_REQUIRE(sys::WriteFull(fd.get(), data, size));
    return fd;
}

[[maybe_unused]] std::vector<char*> Argv(std::vector<std::string>& words) {
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    return argv;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    // The parsers' messages go to standard output: keep them off the run's
    // report, in a stream that drops them without a system call.
    cookie_io_functions_t drop{};
    drop.write = [](void*, const char*, size_t n) { return static_cast<ssize_t>(n); };
    if (std::FILE* sink = fopencookie(nullptr, "w", drop)) stdout = sink;
#if defined(FUZZ_AES_ARGS)
    // The tool works on the files its words name: only names in a scratch
    // directory reach it (see below). In memory (/dev/shm) where there is one:
    // a disk file system writes the truncated files back on every input.
    static char shm[] = "/dev/shm/fuzz-aes-XXXXXX", tmp[] = "/tmp/fuzz-aes-XXXXXX";
    static const char* dir = mkdtemp(shm);
    if (dir == nullptr) dir = mkdtemp(tmp);
    if (dir == nullptr || chdir(dir) != 0) __builtin_trap();
    std::atexit([] {
        for (const char* name : {"f", "k"}) (void)unlink(name);
        (void)rmdir(dir);
    });
#endif
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
#if defined(FUZZ_HEAD)
    // The 256-byte text head: split and fields.
    char head[kHeadSize + 1] = {};
    std::memcpy(head, data, std::min(size, kHeadSize));
    ImageHeadFields fields;
    UPDATE_SplitHead(head, &fields);
    FUZZ_REQUIRE(::strnlen(head, kHeadSize) < kHeadSize);
    FUZZ_REQUIRE(std::strlen(fields.PubVersion) <= kPubVersionChars);
    FUZZ_REQUIRE(fields.HeadCrc == UPDATE_HeadCrcValue(fields.HeadCrcText));
#elif defined(FUZZ_BOARDS)
    // Board type (first word, as the probe reads it) and the 1280-byte list.
    std::vector<std::string> w = Words(data, size, 2);
    std::string list = w.size() > 1 ? w[1] : "";
    list.resize(kCompatSize, '\0');
    (void)UPDATE_CheckBoardCompat(list.data(), w[0].c_str());
#elif defined(FUZZ_TABLE)
    // A whole package as the updater reads its table: count, entries, positions.
    sys::UniqueFd fd = MemFile(data, size);
    FileTable table = pkg::GetFileStruct(fd.get(), "fuzz");
    FUZZ_REQUIRE(table.size() <= kMaxTableEntries);
    for (uint64_t pos = 0; pos < 40; ++pos) {
        const SubImageEntry* e = UPDATE_EntryAt(&table, pos);
        FUZZ_REQUIRE((e != nullptr) == (pos < table.size()));
        if (e != nullptr && pos == UPDATE_ProgramPosition()) {
            SubImageEntry parts[kProgramParts];
            UPDATE_SplitProgram(e, parts);
        }
    }
#elif defined(FUZZ_VERSION)
    // Image and local versions, boot-loader revision, version file, head, board list.
    std::vector<std::string> w = Words(data, size, 7);
    w.resize(7);
    const char* image = w[0].c_str();
    const char* local = w[1].c_str();
    ParsedVersion parsed{};
    (void)UPDATE_ParseVersion(image, &parsed);
    const int forward = ver_cmp(image, local);
    FUZZ_REQUIRE(forward >= -1 && forward <= 1);
    // Newer both ways only by the test-version rule (a text ending in "T").
    auto test_version = [](const std::string& s) { return !s.empty() && s.back() == 'T'; };
    if (forward == 1 && !test_version(w[0]) && !test_version(w[1])) {
        FUZZ_REQUIRE(ver_cmp(local, image) != 1);
    }
    (void)UPDATE_NeedForceUboot(local, image, w[2].c_str());
    (void)NeedUpdateEnvFor(local, image, w[3].c_str(), w[2].c_str());
    (void)EnvSizeForVersion(image);
    VersionFileValues values{};
    if (sys::UniqueFile f = Stream(w[4])) {
        pkg::ReadVersionLines(f.get(), values.pub, values.neu, values.inn, values.build_date,
                              values.build_time);
    }
    std::string head = w[5], compat = w[6];
    head.resize(kHeadSize, '\0');
    compat.resize(kCompatSize, '\0');
    uint32_t crc = 0;
    for (uint16_t force = 0; force < 2; ++force) {
        std::string h = head, c = compat;
        const int r =
            pkg::CheckUpdateValidFor(force, 0, 0x3f, h.data(), c.data(), values, values.neu, &crc);
        FUZZ_REQUIRE(r == 0 || r == kVersionNotNewer || r == kBoardIncompatible ||
                     r == kCrossGradeForbidden);
    }
#elif defined(FUZZ_CMDLINE)
    // The updater's words.
    std::vector<std::string> words = Words(data, size, 40);
    words.insert(words.begin(), "update");
    std::vector<char*> argv = Argv(words);
    const int argc = static_cast<int>(words.size());
    UPDATE_PARA_S para{};
    char unknown[kUnknownLineSize] = {};
    (void)app::ParseArgsForMask(argc, argv.data(), &para, unknown, 0xffff);
    FUZZ_REQUIRE(::strnlen(unknown, sizeof unknown) < sizeof unknown);
    FUZZ_REQUIRE(app::PasswordWords(argc, argv.data()).size() == words.size());
    (void)UPDATE_CheckRemote(&para);
    char remote[kFileNameSize], local[kFileNameSize];
    (void)UPDATE_GetFileNames(&para, remote, local);
#elif defined(FUZZ_MANUINFO)
    // The package's manufacturing information (first word) merged with the
    // device's identity lines (second word, what "/proc/env" answers).
    std::vector<std::string> w = Words(data, size, 2);
    w.resize(2);
    sys::FakeRunner runner;
    runner.read_output = w[1];
    sys::ScopedRunner scoped(runner);
    sys::UniqueFile in = Stream(w[0]);
    static sys::UniqueFd out(memfd_create("out", MFD_CLOEXEC));  // emptied for each input
    FUZZ_REQUIRE(out && ::ftruncate(out.get(), 0) == 0 && ::lseek(out.get(), 0, SEEK_SET) == 0);
    if (in) (void)oem::MergeManuInfo(in.get(), out.get(), "out");
#elif defined(FUZZ_DEVCAP)
    // The device capability XML.
    std::string text(reinterpret_cast<const char*>(data), size);
    uint32_t support[4] = {};
    uint8_t lang = kNoLanguage;
    if (sys::UniqueFile f = Stream(text)) {
        if (oem::DevcapLanguageFrom(f.get(), support, lang) == 0) {
            FUZZ_REQUIRE(lang < kLanguageCount && ((support[lang / 32] >> (lang % 32)) & 1U));
        }
    }
#elif defined(FUZZ_ENV)
    // The boot-environment repair on in-memory flash, at 1/256 of the real
    // sizes (the same rules on 512- and 2048-byte copies): byte 0 picks the
    // size and a failing request, byte 1 when it fails; the rest fills both copies.
    if (size < 2) return 0;
    static constexpr EnvGeometry kGeometry{kEnvSizeSmall / 256, kEnvSizeLarge / 256};
    const uint32_t env_size = (data[0] & 1) != 0 ? kGeometry.large : kGeometry.small;
    const int fault = (data[0] >> 1) % 7;  // 0 none; 1-3 primary, 4-6 backup
    flash::MemMtdMap map;
    auto env = map.Add(kEnvDev, env_size, kGeometry.small);
    auto bak = map.Add(kBakEnvDev, env_size, kGeometry.small);
    const size_t half = (size - 2) / 2;
    env->Fill(0, data + 2, std::min<size_t>(half, env_size));
    bak->Fill(0, data + 2 + half, std::min<size_t>(size - 2 - half, env_size));
    const std::vector<uint8_t> env_before = env->data(), bak_before = bak->data();
    using Op = flash::MemFlash::Op;
    constexpr Op kOps[] = {Op::Erase, Op::Write, Op::Read};
    if (fault != 0) (fault <= 3 ? env : bak)->FailOn(kOps[(fault - 1) % 3], 5, data[1] % 4);
    flash::ScopedMtdOpener opener(map.Opener());
    const int ret = RepairEnvCopies(env_size, kGeometry);
    // A copy that was rewritten carries its variables' checksum. Its variables
    // are its own, or the other copy's when only the other one was intact (a
    // copy torn by an earlier cut).
    auto intact = [env_size](const std::vector<uint8_t>& c) {
        for (uint32_t s : {kGeometry.small, kGeometry.large}) {
            if (s <= env_size &&
                pkg::DecodeU32(c.data()) == UPDATE_EnvCrc32(0, c.data() + 4, s - 4))
                return true;
        }
        return false;
    };
    const bool env_torn = !intact(env_before) && intact(bak_before);
    const bool bak_torn = intact(env_before) && !intact(bak_before);
    const std::vector<uint8_t>& env_vars = env_torn ? bak_before : env_before;
    const std::vector<uint8_t>& bak_vars = bak_torn ? env_before : bak_before;
    auto rewritten = [env_size](const std::vector<uint8_t>& now, const std::vector<uint8_t>& was) {
        const uint32_t crc = pkg::DecodeU32(now.data());
        return std::memcmp(now.data() + 4, was.data() + 4, env_size - 4) == 0 &&
               crc == UPDATE_EnvCrc32(0, now.data() + 4, env_size - 4);
    };
    if (ret == 0)
        FUZZ_REQUIRE(rewritten(env->data(), env_vars) && rewritten(bak->data(), bak_vars));
    // A failure on the backup leaves the primary done; one on the primary leaves the backup alone.
    if (ret != 0 && fault >= 4 && kOps[(fault - 1) % 3] != Op::Read) {
        FUZZ_REQUIRE(rewritten(env->data(), env_vars));
    }
    if (ret != 0 && fault >= 1 && fault <= 3) FUZZ_REQUIRE(bak->data() == bak_before);
#elif defined(FUZZ_AES_ARGS)
    // The aes_decrypt tool's words, on a small file and key of its scratch
    // directory: a word naming a path has its slashes turned into "_", so
    // the tool never reaches a file outside that directory.
    std::vector<std::string> words = Words(data, size, 14);
    for (std::string& w : words) {
        for (char& c : w) c = c == '/' ? '_' : c;
    }
    words.insert(words.begin(), "aes_decrypt");
    static const std::string block(8192, 'k');
    for (const char* name : {"f", "k"}) {
        sys::UniqueFd fd(::open(name, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        FUZZ_REQUIRE(fd && sys::WriteFull(fd.get(), block.data(), block.size()));
    }
    std::vector<char*> argv = Argv(words);
    (void)UPDATE_AesDecryptMain(static_cast<int>(words.size()), argv.data());
#elif defined(FUZZ_PACK_READ)
    // A whole package through update-pack's info, verify and extract, with
    // the public key named by FUZZ_PACK_KEY (tools/fuzz.sh signs the seeds with it).
    static const char* key = std::getenv("FUZZ_PACK_KEY");
    static std::FILE* sink = std::fopen("/dev/null", "w");
    FUZZ_REQUIRE(sink != nullptr);
    sys::UniqueFd fd = MemFile(data, size);
    pack::Package p;
    std::string why;
    if (pack::ReadPackage(fd.get(), "fuzz", &p, &why) != 0) return 0;
    FUZZ_REQUIRE(p.table.size() <= kMaxTableEntries && p.table.size() <= p.count);
    FUZZ_REQUIRE(pack::WriteInfo(fd.get(), "fuzz", p, key != nullptr ? key : "", sink) == 0);
    // A signature check only adds to the CRC check.
    if (key != nullptr && pack::Verify(fd.get(), p, key, sink) == 0)
        FUZZ_REQUIRE(pack::Verify(fd.get(), p, "", nullptr) == 0);
    const std::string self = "/proc/self/fd/" + std::to_string(fd.get());
    for (uint32_t pos = 0; pos <= p.table.size(); ++pos) {
        SubImageEntry e{};
        if (pack::EntryToExtract(p, pos, &e, &why) != 0) continue;
        FUZZ_REQUIRE(pos < p.table.size() && e.FileLength != 0);
        const bool inside = static_cast<uint64_t>(e.FileOffset) + e.FileLength <= size;
        const int ret = UPDATE_UnpackFile(self.c_str(), e.FileOffset, e.FileLength, "/dev/null");
        FUZZ_REQUIRE(ret == 0 || !inside);
    }
#else
#error "define one FUZZ_<TARGET>"
#endif
    return 0;
}
