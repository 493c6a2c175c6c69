// Version file, board list, validity check, version grammar and comparison,
// and the forced boot-loader rule.
#include "package/version.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "package/format.h"
#include "package/helpers.h"
#include "sys/fake_runner.h"
#include "sys/path.h"
#include "sys/runner.h"
#include "sys/scratch.h"

namespace {

using pkgtest::Stdout;

// ---- version grammar

// The words of a table row.
std::vector<std::string> Words(const char* row) {
    std::istringstream in(row);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

// The release letter sets the value's first digit: D 0, A 1, T 2, C 3, B and
// R 4, E and F 5; any other letter, a P after P or L, an L after L or a tail
// that fits neither form makes the version invalid. Past the end reads as
// NUL; anything after the C part is ignored.
TEST(ParseVersion, Grammar) {
    // text, type, value, L/C kind (0 none, 1 L, 2 C only), L number, form (S
    // short, L long); "-" for none, and for all but the text of an invalid one
    const char* const rows[] = {
        "B0102              01000  402000000 0 -  S", "B0102P03L04C12345  01123  402030445 1 04 S",
        "B0102L70           01000  402007000 1 70 S", "B0102C12345        01123  402000045 2 -  S",
        "B0102P07C99988     01999  402070088 2 -  S", "B01002             010000 402000000 0 -  L",
        "B01002P01L02C33344 010333 402010244 1 02 L", "B0102C12345tail    01123  402000045 2 -  S",
        "B01                01000  4         0 -  S", "D0199              01000  099000000 0 -  S",
        "A0102              01000  102000000 0 -  S", "T0102              01000  202000000 0 -  S",
        "C0102              01000  302000000 0 -  S", "R0102              01000  402000000 0 -  S",
        "E0102              01000  502000000 0 -  S", "F0102              01000  502000000 0 -  S",
        "V0102              -      -         - -  -", "B0102QQ            -      -         - -  -",
        "B0102P03P04        -      -         - -  -", "B0102L01P01        -      -         - -  -",
        "B0102L01L02        -      -         - -  -", "B01002X            -      -         - -  -"};
    for (const char* row : rows) {
        SCOPED_TRACE(row);
        const std::vector<std::string> w = Words(row);
        ParsedVersion v{};
        EXPECT_EQ(UPDATE_ParseVersion(w[0].c_str(), &v), w[1] == "-" ? 0 : 1);
        if (w[1] == "-") continue;
        EXPECT_EQ(v.Type, w[1]);
        EXPECT_EQ(v.Value, w[2]);
        EXPECT_EQ(v.LcKind, std::stoi(w[3]));
        EXPECT_EQ(v.LNumber, w[4] == "-" ? "" : w[4]);
        EXPECT_EQ(v.Form, w[5] == "L" ? VersionForm::Long : VersionForm::Short);
    }
    ParsedVersion v{};
    EXPECT_EQ(UPDATE_ParseVersion("", &v), 0);
}

// Another type is older. The release kind outweighs the main number; P
// decides at an equal main number and outweighs L. An image ending in T is
// always newer, and so is any image on a local T version. A local L of 70 or
// more holds images without an L or C part (before the values are compared),
// also when the local version has a C part. With only a C part on the local
// side, the base type and 7 value digits count (3 type characters in the long
// form), so its last two digits are ignored; with C on both sides everything
// counts; an image of kind 1 against a local kind 2 compares the base only.
// An invalid version compares as 0, a missing one as -1.
TEST(VerCmp, Table) {
    // image, local, result
    const char* const rows[] = {"B0103       B0102           1", "B0102       B0102           0",
                                "B0101       B0102          -1", "B0202       B0102          -1",
                                "E0101       B0199           1", "D0199       A0101          -1",
                                "B0102P03    B0102P02        1", "B0102L05    B0102L04        1",
                                "B0102P01L01 B0102L09        1", "B0103P01    B0102P09        1",
                                "B0102T      B0109           1", "B0101       B0109T          1",
                                "V0101T      B0102           1", "B0103       B0102L70       -1",
                                "B0103       B0102L99       -1", "B0103       B0102L69        1",
                                "B0103L01    B0102L70        1", "B0103C00011 B0102L70        1",
                                "B0103       B0102L70C11111 -1", "B0103       B0102C12345     1",
                                "B0102       B0102C12345     0", "B0102C12399 B0102C12345     1",
                                "B0102C99945 B0102C12345    -1", "B01003      B01002          1",
                                "B01003      B01002C12345    1", "B01002      B01002C12399    0",
                                "B02002      B01002C12345   -1", "B0102L01    B0102C12345     1",
                                "B0102       B0102L70       -1", "V0102       B0102           0",
                                "B0102       V0102           0"};
    for (const char* row : rows) {
        const std::vector<std::string> w = Words(row);
        Stdout([&] { EXPECT_EQ(ver_cmp(w[0].c_str(), w[1].c_str()), std::stoi(w[2])) << row; });
    }
    Stdout([] {
        EXPECT_EQ(ver_cmp(nullptr, "B0102"), -1);
        EXPECT_EQ(ver_cmp("B0102", nullptr), -1);
    });
}

TEST(VerCmp, Messages) {
    EXPECT_EQ(Stdout([] { EXPECT_EQ(ver_cmp("V0102", "B0102"), 0); }),
              "Invalid img version V0102\n");
    EXPECT_EQ(Stdout([] { EXPECT_EQ(ver_cmp("B0102", "X0102"), 0); }),
              "Invalid board version X0102\n");
    EXPECT_EQ(Stdout([] { EXPECT_EQ(ver_cmp("B0103", "B0102L71"), -1); }),
              "Image version B0103 (Type 01000, Value 403000000, L/C 0), Board version B0102L71 "
              "(Type 01000, Value 402007100, L/C 1)\nBoard version limit update L71\n");
}

// ---- board list

TEST(BoardCompat, Matching) {
    struct Case {
        std::string list;
        const char* board;
        int result;
    };
    std::string sixty_five;
    for (int i = 0; i < 64; ++i) sixty_five += "BRD-OTHER-" + std::to_string(i) + "$";
    std::string sixty_four =
        sixty_five.substr(0, sixty_five.rfind("BRD-OTHER-63")) + "BRD-K700-Q08@48-X";
    const Case cases[] = {
        {"BRD-K700-Q08@48-X", "BRD-K700-Q08@48-X", 0},
        {"BRD-K700-Q08@96-X", "BRD-K700-Q08@48-X", -1},
        {"A$BRD-K700-Q08@96-X$BRD-K700-Q08@48-X$C", "BRD-K700-Q08@48-X", 0},
        // Only the first 19 characters count, of the entry and of the board type.
        {"BRD-K700-Q08@48-X-REV2", "BRD-K700-Q08@48-X-R", 0},
        {"BRD-K700-Q08@48-X-R", "BRD-K700-Q08@48-X-REV9", 0},
        {"BRD-K700-Q08@48-X-REV2", "BRD-K700-Q08@48-X", -1},
        {"BRD-K700-Q08@48-X-A", "BRD-K700-Q08@48-X-B", -1},  // the 19th alone differs
        {"BRD", "BRD-K700", -1},
        {sixty_five + "BRD-K700-Q08@48-X", "BRD-K700-Q08@48-X", -1},  // 65th entry
        {sixty_four, "BRD-K700-Q08@48-X", 0},                         // 64th entry
        {"", "BRD-K700-Q08@48-X", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.list.substr(0, 60));
        char list[kCompatSize] = {};
        ASSERT_LT(c.list.size(), sizeof(list));
        std::memcpy(list, c.list.data(), c.list.size());
        EXPECT_EQ(Stdout([&] { EXPECT_EQ(UPDATE_CheckBoardCompat(list, c.board), c.result); }),
                  c.result == 0 ? "Board Compatible\n" : "Board type is not compatible.\n");
    }
    // A list without its NUL is read within its bytes.
    struct {
        char list[kCompatSize];
        char guard[32];
    } buf;
    std::memset(buf.list, 'Q', sizeof(buf.list));
    std::memcpy(buf.guard, "$BRD-K700-Q08@48-X", 19);
    Stdout([&] { EXPECT_EQ(UPDATE_CheckBoardCompat(buf.list, "BRD-K700-Q08@48-X"), -1); });
}

// ---- version file, validity check

class ValidityTest : public testing::Test {
  protected:
    void SetUp() override {
        sys::SetDeviceRoot(root_.path());
        fake_.read_output = "BRD-K700-Q08@48-X\n";
        ::mkdir((root_ / "program").c_str(), 0755);
    }
    void TearDown() override { sys::SetDeviceRoot(""); }

    void Version(const std::string& inn, const std::string& pub) {
        pkgtest::WriteFile(root_ / "program/.version", "PUB:" + pub + "\nNEW:N1\nINN:" + inn +
                                                           "\nBUILD: 2019-05-07 10:11:12\n");
    }
    int Check(const std::string& head_text, uint16_t force, uint32_t type = 0x3, uint16_t check = 0,
              const std::string& boards = "X$BRD-K700-Q08@48-X") {
        char head[kHeadSize] = {};
        std::memcpy(head, head_text.data(), head_text.size());
        char list[kCompatSize] = {};
        std::memcpy(list, boards.data(), boards.size());
        int ret = 0;
        out_ = Stdout(
            [&] { ret = UPDATE_CheckUpdateValid(force, check, type, head, list, nullptr, &crc_); });
        inner_after_ = head;
        return ret;
    }

    ScratchDir root_;
    sys::FakeRunner fake_;
    sys::ScopedRunner scoped_{fake_};
    uint32_t crc_ = 7;
    std::string out_;
    std::string inner_after_;
};

TEST_F(ValidityTest, NewerImagePassesAndKeepsHeadValues) {
    Version("QTPXV300R006B13", "B0102");
    EXPECT_EQ(Check("QTPXV300R006B14$u$B0103$4294967295$SUFFIX$ECI", 0), 0);
    EXPECT_EQ(crc_, 0xFFFFFFFFu);
    EXPECT_EQ(inner_after_, "QTPXV300R006B14");
    EXPECT_STREQ(UPDATE_LocalInnerVersion(), "QTPXV300R006B13");
    EXPECT_STREQ(UPDATE_LocalPubVersion(), "B0102");
    EXPECT_STREQ(UPDATE_LocalNewVersion(), "N1");
    EXPECT_STREQ(UPDATE_ImagePubVersion(), "B0103");
    EXPECT_STREQ(UPDATE_EncryptFlag(), "ECI");
    EXPECT_STREQ(UPDATE_KeyMaterial(), "QTPXV300R006B14B0103SUFFIX");
    // The key material is cut to 64 characters.
    const std::string inner(60, 'i');
    EXPECT_EQ(Check(inner + "$u$B0103$1$KKKKKKKK$", 0), 0);
    EXPECT_EQ(std::string(UPDATE_KeyMaterial()), inner + "B010");
}

// The local public version is B0102 throughout.
TEST_F(ValidityTest, Outcomes) {
    // local inner version, head, force, type (hex), check, result, board
    // (48: the device's own, 96: another)
    const char* const rows[] = {
        "I                 I$u$B0102$0$$                  0  3 0  -7 48",  // same version
        "I                 I$u$B0101$0$$                  0  3 0  -7 48",  // older
        "I                 I$u$B0101$0$$                  1  3 0   0 48",  // older, forced
        "I                 I$u$B0101$0$$                  0 43 0   0 48",  // older, first stage
        "I                 I$u$B0101$0$$                  0 43 1  -7 48",  // first stage, check
        "I                 I$u$V0109$0$$                  0  3 0  -7 48",  // invalid image version
        "I                 I$u$B0109$0$$                  0  3 0  -8 96",  // board
        "I                 I$u$B0109$0$$                  1  3 0  -8 96",  // board, forced
        "QTCXV500R002B01   QTCXV500R002B70$u$B0109$0$$    0  3 0 -13 48",  // cross-grade
        "QTCXV500R002B70   QTCXV500R002B01$u$B0109$0$$    0  3 0 -13 48",  // cross-grade back
        "QTCXV500R006B70   QTCXV500R006B01$u$B0109$0$$    0  3 0 -13 48",  // cross-grade R006
        "QTPXV300R006B13   QTPXV300R006B70$u$B0109$0$$    0  3 0 -13 48",  // cross-grade QTP
        "QTPXV300R006B13-X QTPXV300R006B70SP1$u$B0109$0$$ 0  3 0 -13 48",  // 15 characters
        "QTCXV500R002B01   QTCXV500R002B70$u$B0109$0$$    1  3 0   0 48",  // cross-grade forced
        "QTCXV500R002B01   QTCXV500R002B70$u$B0109$0$$    0 43 0 -13 48",  // cross, first stage
        "QTCXV500R002B01   QTCXV500R006B70$u$B0109$0$$    0  3 0   0 48",  // not a forbidden pair
    };
    for (const char* row : rows) {
        SCOPED_TRACE(row);
        const std::vector<std::string> w = Words(row);
        Version(w[0], "B0102");
        EXPECT_EQ(Check(w[1], static_cast<uint16_t>(std::stoi(w[2])), std::stoul(w[3], nullptr, 16),
                        static_cast<uint16_t>(std::stoi(w[4])), "BRD-K700-Q08@" + w[6] + "-X"),
                  std::stoi(w[5]));
    }
}

// The version line printed with a refusal, and the lines that go to the log
// only (the cross-grade and board refusals' lines are checked on the real
// binary with the check runs).
TEST_F(ValidityTest, Messages) {
    pkgtest::ScopedLog log(root_ / "update.log");
    Version("I", "B0102");
    EXPECT_EQ(Check("I$u$B0102$0$$", 0), -7);
    const std::string versions =
        "Image version B0102 (Type 01000, Value 402000000, L/C 0), Board version B0102 (Type "
        "01000, Value 402000000, L/C 0)";
    const std::string refusal =
        "Local version bigger than or equal as update version, not need update!";
    EXPECT_EQ(out_, "Board Compatible\n" + versions + "\n" + refusal + "\n");
    // Board matching and the summary of the versions go to the log only.
    const std::vector<std::string> expect = {
        "Get compatible board type: X, pszBoardType: BRD-K700-Q08@48-X",
        "Get compatible board type: BRD-K700-Q08@48-X, pszBoardType: BRD-K700-Q08@48-X",
        "Board Compatible",
        "BoardType:BRD-K700-Q08@48-X, ",
        "Local InnerVersion: I, ",
        "Image InnerVersion: I, ",
        "Local PubVersion: B0102, ",
        "Image PubVersion: B0102",
        versions,
        refusal};
    EXPECT_EQ(log.Messages(), expect);
}

TEST_F(ValidityTest, ReadVersionFile) {
    {
        pkgtest::ScopedLog log(root_ / "update.log");
        EXPECT_EQ(Check("I$u$B0109$0$$", 0), -7);
        EXPECT_EQ(out_, "open version file error\n");
        EXPECT_EQ(log.Messages(), (std::vector<std::string>{"open version file error",
                                                            "get Currentversion failed!"}));
        EXPECT_EQ(Check("I$u$B0109$0$$", 1), -7);  // even when forced
    }
    char pub[kVersionTextSize] = "x", neu[kVersionTextSize] = "x", inn[kVersionTextSize] = "x";
    char date[kVersionTextSize] = "", time[kVersionTextSize] = "";
    // public, new and inner version, build date and time
    auto read = [&](int result) {
        Stdout([&] { EXPECT_EQ(UPDATE_ReadVersionFile(pub, neu, inn, date, time), result); });
        return std::string(pub) + " " + neu + " " + inn + " " + date + " " + time;
    };
    EXPECT_EQ(read(-1), "Unknown Unknown Unknown  ");
    // "/.version" when "/program/.version" does not exist.
    pkgtest::WriteFile(root_ / ".version",
                       "junk\nPUB: B0102  tail\nINN:\tQTP\nNEW:N9\nBUILD:2020-01-02 03:04:05\n"
                       "PUBX\n");
    EXPECT_EQ(read(0), "B0102 N9 QTP 2020-01-02 03:04:05");
    pkgtest::WriteFile(root_ / "program/.version", "PUB:B0200\n" + std::string(200, 'z') + "\n");
    EXPECT_EQ(read(0).substr(0, 6), "B0200 ");
}

TEST(BuildDate, Suffix) {
    const char* const rows[][3] = {{"2019-05-07", "B0102", "B0102.190507"},
                                   {"2100-05-07", "B0102", "B0102.000507"},
                                   {"2023-12-31", "", ".231231"}};
    for (const auto& [date, base, result] : rows) {
        char scratch[kVersionTextSize] = {};
        char version[kVersionTextSize] = {};
        std::strcpy(version, base);
        UPDATE_FormatBuildDate(date, scratch, version);
        EXPECT_STREQ(version, result);
    }
}

// Minor below 76, a revision not below 07 (02 for the R006B02 row), a
// baseline that is not listed, an unknown revision or no image version: not
// forced.
TEST(ForceUboot, Rows) {
    // local inner version, image version, boot-loader revision, forced
    const char* const rows[] = {
        "QTPXV300R004B02 B0118P76 V106    1", "QTPXV300R007B10 B0119    V106    1",
        "QTPXV300R004B03 B0118P75 V106    0", "QTPXV300R004B02 B0117P99 V106    0",
        "QTPXV300R004B02 B0118P76 V107    0", "QTPXV300R006B13 B0141P17 V100    1",
        "QTPXV300R006B13 B0141P16 V100    0", "QTPXV300R006B13 B0142    V100    1",
        "QTPXV300R001B16 B0103    V106    1", "QTPXV300R001B15 B0102    V106    0",
        "QTCXV500R006B02 B0139P10 V101    1", "QTCXV500R006B02 B0139P10 V102    0",
        "QTCXV500R006B02 B0140    Unknown 0", "QTCXV500R006B04 B0140    V100    0"};
    for (const char* row : rows) {
        const std::vector<std::string> w = Words(row);
        EXPECT_EQ(UPDATE_NeedForceUboot(w[0].c_str(), w[1].c_str(), w[2].c_str()), w[3] == "1")
            << row;
    }
    EXPECT_FALSE(UPDATE_NeedForceUboot("QTPXV300R004B02", "", "V100"));
}

}  // namespace
