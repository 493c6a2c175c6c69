// Deciphering: key fold and step, sample places, the program split, the tool
// against answers from the openssl command line (AES-256-ECB), the mark, and
// the order of the deciphering jobs.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "package/decrypt.h"
#include "sys/fake_runner.h"
#include "sys/path.h"
#include "tests/package/helpers.h"

namespace {

using pkgtest::WriteFile;

const char kMaterial[] = "QTPXV300R006B13B0142P17suffix";

std::string Hex(const uint8_t* p, size_t n) {
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; ++i) s += (std::snprintf(b, sizeof(b), "%02x", p[i]), b);
    return s;
}

int Tool(std::vector<std::string> words) {
    words.insert(words.begin(), "aes_decrypt");
    std::vector<char*> argv;
    argv.reserve(words.size());
    for (std::string& w : words) argv.push_back(w.data());
    return UPDATE_AesDecryptMain(static_cast<int>(argv.size()), argv.data());
}

TEST(Decrypt, KeyFoldStepAndSamplePlaces) {
    uint8_t block[kKeyBlockSize], key[kAesKeyBytes];
    pkg::KeyBlock(kMaterial, block);
    pkg::KeyFold(block, key);
    EXPECT_EQ(Hex(key, 32), "aeabafa7a9cccfcfadcfcfc9bdceccbdcfcecbcdafcec88c8a99999687000000");
    pkg::KeyStep(key);
    EXPECT_EQ(Hex(key, 32), "aef64223ef13e91c95e406c536a289ae92eb1cf544464404829ca0d72850a041");
    uint64_t pos[kGroupSamples];
    pkg::SamplePositions(kSampleStride, pos);
    EXPECT_EQ(std::vector<uint64_t>(pos, pos + 16),
              (std::vector<uint64_t>{0, 25, 47, 53, 84, 94, 106, 134, 137, 161, 183, 189, 220, 230,
                                     242, 270}));
    // {start, length, file size} -> full groups: 272 and 271 bytes are one,
    // 200 none; 271 with the 16th sample past the file none; 799 (255 past 2 groups) 2.
    struct {
        uint64_t start, length, size, groups;
    } const rows[] = {{0, 272, 1000, 1}, {0, 271, 1000, 1}, {0, 200, 1000, 0},
                      {0, 271, 270, 0},  {5, 544, 549, 2},  {0, 799, 9999, 2}};
    for (const auto& r : rows) {
        EXPECT_EQ(pkg::FullGroups(r.start, r.length, r.size, kSampleStride), r.groups) << r.length;
    }
}

TEST(Decrypt, ProgramSplit) {
    SubImageEntry program{};
    std::strcpy(program.FileName, "program.img");
    program.FileOffset = 8192;
    program.FileLength = 1088 * 3 + 272 * 2 + 100;
    SubImageEntry parts[kProgramParts];
    UPDATE_SplitProgram(&program, parts);
    const uint32_t groups[] = {4, 4, 3, 3};
    uint32_t at = 8192;
    for (int n = 0; n < kProgramParts; ++n) {
        EXPECT_EQ(parts[n].FileLength, groups[n] * 272);
        EXPECT_EQ(parts[n].FileOffset, at);
        at += parts[n].FileLength;
    }
    EXPECT_EQ(at + 100, program.FileOffset + program.FileLength);  // the tail stays plain
}

TEST(Decrypt, ToolModesMatchOpensslAnswers) {
    ScratchDir dir;
    std::string data(272 * 2 + 10, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 7 + 3) & 0xFF);
    std::string keys(128, 'n');
    keys += kMaterial;
    keys.resize(192, '\xFF');
    WriteFile(dir / "keys", keys);
    uint64_t pos[kGroupSamples];
    pkg::SamplePositions(kSampleStride, pos);
    // -S 17 to the end (two full groups, the last 10 bytes a partial one) and
    // -S 0 on 32 bytes.
    struct {
        const char *stride, *length;
        std::string expected[2];
    } const rows[] = {
        {"17", "0", {"0ccb1c53c86ab433226ed0c1667ddace", "f5e31c6e0c91e80e5883741650dcbf2d"}},
        {"0", "32", {"357bf96191da94e7333f8661ac4f29cf", "8326632ca7ddabfe6a26a72adf4e89cd"}},
    };
    for (const auto& r : rows) {
        WriteFile(dir / "f", data);
        EXPECT_EQ(Tool({"-f", dir / "f", "-s", "0", "-L", r.length, "-S", r.stride, "-K",
                        dir / "keys", "-p", "128"}),
                  0);
        std::string got = ReadWholeFile(dir / "f");
        const bool sampled = r.stride[0] == '1';
        std::string expected = data;
        for (size_t g = 0; g < 2; ++g) {
            for (size_t k = 0; k < 16; ++k) {
                const size_t at = sampled ? g * 272 + pos[k] : g * 16 + k;
                expected[at] =
                    static_cast<char>(std::stoi(r.expected[g].substr(2 * k, 2), nullptr, 16));
            }
        }
        EXPECT_TRUE(got == expected) << r.stride;
    }
    // 11 words: refused, the file unchanged.
    WriteFile(dir / "f", data);
    EXPECT_NE(pkgtest::Stdout([&] {
                  EXPECT_EQ(
                      Tool({"-f", dir / "f", "-s", "0", "-L", "0", "-S", "17", "-K", "k", "-p"}),
                      -1);
              }).find("DecodePara failed."),
              std::string::npos);
    EXPECT_EQ(ReadWholeFile(dir / "f"), data);
}

TEST(Decrypt, ClearEncryptFlag) {
    ScratchDir dir;
    std::string pkg(300, 'x');
    pkg.replace(0, 256, std::string("in$$pub$123$suffix$ECI") + std::string(234, '\0'));
    WriteFile(dir / "p", pkg);
    ASSERT_EQ(UPDATE_ClearEncryptFlag((dir / "p").c_str()), 0);
    EXPECT_EQ(ReadWholeFile(dir / "p").substr(0, 28),
              std::string("in$$pub$123$") + std::string(16, '\0'));
    EXPECT_EQ(ReadWholeFile(dir / "p").substr(256), std::string(44, 'x'));
    WriteFile(dir / "p", "only$one" + std::string(300, '\0'));
    EXPECT_EQ(UPDATE_ClearEncryptFlag((dir / "p").c_str()), -1);
}

// Runs each job's tool line in this process instead of "/tmp/busybox", and
// notes when each job began and ended (in the order of the jobs' offsets).
class ToolRunner : public sys::FakeRunner {
  public:
    std::map<uint64_t, std::pair<int, int>> spans;  // -s value -> (start tick, end tick)

    int System(const char* cmd) override {
        std::istringstream in(cmd);
        std::vector<std::string> words;
        for (std::string w; in >> w;) {
            if (w.size() >= 2 && w.front() == '\'') w = w.substr(1, w.size() - 2);
            words.push_back(w);
        }
        words.erase(words.begin(), words.begin() + 2);  // "/tmp/busybox aes_decrypt"
        const uint64_t start = std::stoull(words[3]);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            (void)FakeRunner::System(cmd);
            spans[start].first = tick_++;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const int ret = Tool(words) == 0 ? 0 : 1;
        std::lock_guard<std::mutex> lock(mutex_);
        spans[start].second = tick_++;
        return ret;
    }

  private:
    std::mutex mutex_;
    int tick_ = 0;
};

// The key file goes to <root>/var/tmp.
class DecryptJobs : public testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(dir_ / "var/tmp");
        sys::SetDeviceRoot(dir_.path());
    }
    void TearDown() override { sys::SetDeviceRoot(""); }
    ScratchDir dir_;
};

// A package enciphered by update-pack and deciphered by these jobs is
// written and compared end to end (WriteTest.EncryptedPackageLandsPlain).
TEST_F(DecryptJobs, JobReachingIntoANeighbourRunsFirst) {
    const ScratchDir& dir = dir_;
    // u-boot's last group (260 bytes into it) reaches 11 bytes into uImage.
    const std::string pkg = pkgtest::RawPackage(
        "I$$B0102$0$S$ECI", "", 5,
        {{"ub", 532, 4096, 0}, {}, {}, {"k", 300, 4628, 0}, {"pg", 544, 4928, 0}}, 5472);
    WriteFile(dir / "Program.bin", pkg);
    FileTable table = UPDATE_GetFileStruct((dir / "Program.bin").c_str());
    ToolRunner runner;
    sys::ScopedRunner scoped(runner);
    pkgtest::Stdout([&] {
        EXPECT_EQ(UPDATE_DecryptBin((dir / "Program.bin").c_str(), 5, &table, "IB0102S"), 0);
    });
    ASSERT_EQ(runner.spans.size(), 4u);  // two program parts are empty
    EXPECT_LT(runner.spans[4096].second, runner.spans[4628].first);
    EXPECT_LT(runner.spans[4928].first, runner.spans[4096].second);  // the others run together
    // A table that does not reach the program position fails its jobs.
    FileTable short_table(2);
    pkgtest::Stdout([&] {
        EXPECT_NE(UPDATE_DecryptBin((dir / "Program.bin").c_str(), 2, &short_table, "IB0102S"), 0);
    });
    // Overlapping regions, and one starting in the head, are refused before
    // any job runs.
    for (const int offset : {4600, 3000}) {
        std::string bad = pkg;
        bad[2052 + 3 * 144 + 132] = static_cast<char>(offset & 0xFF);
        bad[2052 + 3 * 144 + 133] = static_cast<char>(offset >> 8);
        WriteFile(dir / "Program.bin", bad);
        table = UPDATE_GetFileStruct((dir / "Program.bin").c_str());
        runner.spans.clear();
        pkgtest::Stdout([&] {
            EXPECT_NE(UPDATE_DecryptBin((dir / "Program.bin").c_str(), 5, &table, "IB0102S"), 0);
        });
        EXPECT_TRUE(runner.spans.empty()) << offset;
        EXPECT_EQ(ReadWholeFile(dir / "Program.bin"), bad);
    }
}

}  // namespace
