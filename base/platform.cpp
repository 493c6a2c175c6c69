#include "base/platform.h"

#include <array>

#ifndef UPDATE_PROFILE_KEY
#define UPDATE_PROFILE_KEY 16
#endif

namespace {

constexpr uint64_t kBlock = 0x80000;

constexpr PART_LAYOUT_S Row(const char (&name)[16], uint64_t offset, uint64_t size, uint64_t flag) {
    PART_LAYOUT_S row{};
    for (int i = 0; i < 16; ++i) row.Name[i] = name[i];
    row.Offset = offset;
    row.Size = size;
    row.BlockSize = kBlock;
    row.Flag = flag;
    return row;
}

// Fixed-width names keep Row() constexpr.
constexpr char kChip[16] = "chip";
constexpr char kUboot[16] = "uboot";
constexpr char kEnv[16] = "env";
constexpr char kConfig[16] = "config";
constexpr char kKernel[16] = "kernel";
constexpr char kProgram[16] = "program";
constexpr char kActiveX[16] = "ActiveX";
constexpr char kBackEnv[16] = "backenv";
constexpr char kCustom[16] = "custom";
constexpr char kKernelSlave[16] = "kernel_slave";
constexpr char kLogoZh[16] = "bootlogo_zh.gz";
constexpr char kLogoEn[16] = "bootlogo_en.gz";
constexpr char kLogoNon[16] = "bootlogo_non.gz";
constexpr char kPanic[16] = "panic";
constexpr char kDatabase[16] = "database";
constexpr char kPreview[16] = "previewlogo.gz";
constexpr char kMdc[16] = "mdc.bin";

using Layout = std::array<PART_LAYOUT_S, kLayoutRows>;

constexpr Layout MakeLayout24() {
    Layout l{};
    l[0] = Row(kChip, 0x0, 0x200000000, 1);
    l[1] = Row(kUboot, 0x0, 0x2000000, 1);
    l[2] = Row(kEnv, 0x2000000, 0x200000, 1);
    l[3] = Row(kConfig, 0x2800000, 0x10000000, 1);
    l[4] = Row(kKernel, 0x12800000, 0x8000000, 1);
    l[5] = Row(kProgram, 0x22800000, 0x80000000, 1);
    l[6] = Row(kActiveX, 0xA2800000, 0x1F00000, 1);
    l[7] = Row(kBackEnv, 0xA4800000, 0x200000, 1);
    l[8] = Row(kCustom, 0xA4A00000, 0x200000, 1);
    l[10] = Row(kKernelSlave, 0x1A800000, 0x8000000, 1);
    l[12] = Row(kLogoZh, 0x2200000, 0x200000, 1);
    l[13] = Row(kLogoEn, 0x2400000, 0x200000, 1);
    l[14] = Row(kLogoNon, 0x2600000, 0x200000, 1);
    l[18] = Row(kPanic, 0xA4700000, 0x100000, 0);
    l[22] = Row(kPreview, 0xA4C00000, 0x200000, 1);
    l[27] = Row(kMdc, 0xA4E00000, 0x200000, 1);
    return l;
}

constexpr Layout MakeLayout25() {
    Layout l = MakeLayout24();
    l[0] = Row(kChip, 0x0, 0x800000000, 1);
    l[20] = Row(kDatabase, 0xA5000000, 0x500000000, 1);
    return l;
}

constexpr Layout kLayout24 = MakeLayout24();
constexpr Layout kLayout25 = MakeLayout25();

struct LayoutRow {
    uint32_t key;
    const PART_LAYOUT_S* layout;
};

// The layout registry: 30 rows, two of them filled.
constexpr std::array<LayoutRow, 30> kLayoutRegistry = {{
    {24, kLayout24.data()},
    {25, kLayout25.data()},
}};

struct SlotInit {
    int slot;
    uint64_t index;
    const char* dev;
};

struct ProfileRow {
    uint32_t key;
    PLATFORM_INFO_S info;
};

template <std::size_t N>
constexpr PLATFORM_INFO_S Profile(uint64_t reserved0, uint64_t flash, uint64_t mask,
                                  const char* table_dev, const SlotInit (&slots)[N]) {
    PLATFORM_INFO_S p{};
    p.Reserved0 = reserved0;
    p.FlashType = flash;
    p.SupportMask = mask;
    p.Reserved1 = 0;
    p.PartTableDev = table_dev;
    for (const auto& s : slots) p.Parts[s.slot] = PART_SLOT_S{s.index, s.dev};
    p.Layout = nullptr;
    return p;
}

constexpr const char* kPartTable = "/dev/parttable";

constexpr SlotInit kSlots0[] = {{0, 0, "/dev/mtd1"}, {1, 1, "/dev/mtd2"}, {2, 2, "/dev/mtd3"},
                                {3, 3, "/dev/mtd4"}, {5, 4, "/dev/mtd5"}, {7, 5, "/dev/mtd6"},
                                {8, 9, "/dev/mtd7"}};
constexpr SlotInit kSlots1[] = {{0, 0, "/dev/mtd1"}, {1, 1, "/dev/mtd2"}, {2, 2, "/dev/mtd3"},
                                {3, 3, "/dev/mtd4"}, {5, 4, "/dev/mtd5"}, {8, 9, "/dev/mtd6"}};
constexpr SlotInit kSlots2[] = {{0, 0, "/dev/mtd1"}, {1, 1, "/dev/mtd2"}, {2, 2, "/dev/mtd3"},
                                {3, 3, "/dev/mtd4"}, {5, 4, "/dev/mtd5"}, {7, 5, "/dev/mtd6"},
                                {8, 9, "/dev/mtd7"}};
constexpr SlotInit kSlots3[] = {
    {0, 0, "/dev/mtd1"},  {1, 1, "/dev/mtd2"},   {2, 2, "/dev/mtd3"},    {3, 3, "/dev/mtd4"},
    {5, 4, "/dev/mtd5"},  {7, 5, "/dev/mtd6"},   {8, 9, "/dev/mtd8"},    {9, 1, "/dev/mtd2"},
    {10, 7, "/dev/mtd2"}, {11, 11, "/dev/mtd9"}, {12, 12, "/dev/mtd10"}, {13, 13, "/dev/mtd11"}};
constexpr SlotInit kSlots4[] = {{0, 0, "/dev/mtd1"}, {1, 1, "/dev/mtd2"}, {2, 2, "/dev/mtd3"},
                                {3, 3, "/dev/mtd4"}, {5, 4, "/dev/mtd5"}, {7, 5, "/dev/mtd7"},
                                {8, 9, "/dev/mtd8"}, {9, 1, "/dev/mtd2"}, {10, 7, "/dev/mtd2"}};
constexpr SlotInit kSlots5[] = {
    {0, 1, "/dev/sda1"},        {1, 10, "/dev/bootlogo_zh"},  {2, 2, "/dev/sda7"},
    {3, 3, "/dev/sda3"},        {5, 4, "/dev/sda8"},          {7, 5, "/dev/sda6"},
    {9, 6, "/dev/bootlogo_en"}, {10, 7, "/dev/bootlogo_non"}, {12, 15, "/dev/sda5"}};
constexpr SlotInit kSlots6[] = {{0, 0, "/dev/mtd1"},  {2, 2, "/dev/mtd3"}, {3, 3, "/dev/mtd4"},
                                {5, 4, "/dev/mtd5"},  {7, 5, "/dev/mtd6"}, {8, 9, "/dev/mtd7"},
                                {14, 14, "/dev/mtd9"}};
constexpr SlotInit kSlots7[] = {
    {0, 0, "/dev/mtd1"},  {1, 1, "/dev/mtd2"},   {2, 2, "/dev/mtd3"},    {3, 3, "/dev/mtd4"},
    {5, 4, "/dev/mtd5"},  {7, 5, "/dev/mtd6"},   {8, 9, "/dev/mtd8"},    {9, 1, "/dev/mtd2"},
    {10, 7, "/dev/mtd2"}, {11, 11, "/dev/mtd9"}, {12, 12, "/dev/mtd10"}, {13, 13, "/dev/mtd11"}};
constexpr SlotInit kSlots8[] = {{0, 0, "/dev/mtd1"}, {1, 1, "/dev/mtd2"}, {2, 2, "/dev/mtd3"},
                                {3, 3, "/dev/mtd4"}, {5, 4, "/dev/mtd5"}, {7, 5, "/dev/mtd6"},
                                {8, 9, "/dev/mtd7"}};
constexpr SlotInit kSlots9[] = {{0, 0, "/dev/mtd1"},
                                {2, 2, "/dev/mtd3"},
                                {3, 3, "/dev/mtd4"},
                                {5, 4, "/dev/mtd5"},
                                {8, 9, "/dev/mtd7"}};
constexpr SlotInit kSlots10[] = {{0, 1, "/dev/sda1"},          {1, 10, "/dev/bootlogo_zh"},
                                 {2, 2, "/dev/sda7"},          {3, 3, "/dev/sda3"},
                                 {5, 4, "/dev/sda8"},          {6, 16, "/dev/sda9"},
                                 {7, 5, "/dev/sda6"},          {9, 6, "/dev/bootlogo_en"},
                                 {10, 7, "/dev/bootlogo_non"}, {12, 15, "/dev/sda5"}};
constexpr SlotInit kSlots11[] = {
    {0, 0, "/dev/mmcblk0p1"},  {1, 1, "/dev/mmcblk0p3"}, {2, 2, "/dev/mmcblk0p6"},
    {3, 3, "/dev/mmcblk0p7"},  {5, 4, "/dev/mmcblk0p8"}, {7, 5, "/dev/mmcblk0p9"},
    {8, 9, "/dev/mmcblk0p12"}, {9, 6, "/dev/mmcblk0p4"}, {10, 7, "/dev/mmcblk0p5"}};
constexpr SlotInit kSlots12[] = {{0, 0, "/dev/mtd1"}, {1, 1, "/dev/mtd2"}, {2, 2, "/dev/mtd3"},
                                 {3, 3, "/dev/mtd4"}, {5, 4, "/dev/mtd5"}, {8, 9, "/dev/mtd7"},
                                 {9, 6, "/dev/mtd2"}, {10, 7, "/dev/mtd2"}};
constexpr SlotInit kSlots13[] = {{0, 0, "/dev/mtd1"}, {1, 1, "/dev/mtd2"}, {2, 2, "/dev/mtd3"},
                                 {3, 3, "/dev/mtd4"}, {5, 4, "/dev/mtd5"}, {8, 9, "/dev/mtd7"},
                                 {9, 6, "/dev/mtd2"}, {10, 7, "/dev/mtd2"}};
constexpr SlotInit kSlots14[] = {{0, 0, "/dev/mtd2"},  {2, 2, "/dev/mtd8"}, {3, 3, "/dev/mtd9"},
                                 {5, 4, "/dev/mtd13"}, {8, 9, "/dev/mtd7"}, {15, 15, "/dev/mtd0"},
                                 {16, 16, "/dev/mtd1"}};
constexpr SlotInit kSlots15[] = {{0, 0, "/dev/mmcblk0p1"},   {2, 2, "/dev/mmcblk0p3"},
                                 {3, 3, "/dev/mmcblk0p4"},   {5, 4, "/dev/mmcblk0p5"},
                                 {7, 5, "/dev/mmcblk0p6"},   {8, 9, "/dev/mmcblk0p8"},
                                 {15, 15, "/dev/mmcblk0p15"}};
constexpr SlotInit kSlots16[] = {{0, 0, "/dev/mmcblk0p1"},   {2, 2, "/dev/mmcblk0p3"},
                                 {3, 3, "/dev/mmcblk0p4"},   {5, 4, "/dev/mmcblk0p5"},
                                 {7, 5, "/dev/mmcblk0p6"},   {8, 9, "/dev/mmcblk0p8"},
                                 {17, 17, "/dev/mmcblk0p15"}};

// The profile table, keys 0 to 16 in order. The selected row gets its layout
// pointer at selection; nothing else in the table is ever written.
ProfileRow g_profiles[] = {
    {0, Profile(1, kFlashNand, 0xFF, nullptr, kSlots0)},
    {1, Profile(1, kFlashNand, 0x1F, nullptr, kSlots1)},
    {2, Profile(1, kFlashNand, 0x1F, nullptr, kSlots2)},
    {3, Profile(0, kFlashNor, 0x7FF, nullptr, kSlots3)},
    {4, Profile(1, kFlashNor, 0xFF, nullptr, kSlots4)},
    {5, Profile(1, kFlashNor, 0x107F, kPartTable, kSlots5)},
    {6, Profile(1, kFlashNand, 0x8FF, nullptr, kSlots6)},
    {7, Profile(1, kFlashNand, 0x27FF, nullptr, kSlots7)},
    {8, Profile(1, kFlashNand, 0x20FF, nullptr, kSlots8)},
    {9, Profile(1, kFlashNand, 0xDF, nullptr, kSlots9)},
    {10, Profile(1, kFlashNor, 0x107F, kPartTable, kSlots10)},
    {11, Profile(1, kFlashEmmc, 0xFF, nullptr, kSlots11)},
    {12, Profile(1, kFlashNor, 0xDF, nullptr, kSlots12)},
    {13, Profile(1, kFlashNor, 0xDF, nullptr, kSlots13)},
    {14, Profile(1, kFlashNand, 0xC0DF, nullptr, kSlots14)},
    {15, Profile(1, kFlashEmmc, 0x40FF, nullptr, kSlots15)},
    {16, Profile(1, kFlashEmmc, 0x100FF, nullptr, kSlots16)},
};

const PLATFORM_INFO_S* g_selected = nullptr;

constexpr uint32_t kSelectedLayoutKey = 24;

}  // namespace

const PART_LAYOUT_S* UPDATE_FindLayout(uint32_t key) {
    for (const auto& row : kLayoutRegistry) {
        if (row.layout != nullptr && row.key == key) return row.layout;
    }
    return nullptr;
}

int UPDATE_SelectPlatformKey(uint32_t key) {
    ProfileRow* chosen = nullptr;
    for (auto& row : g_profiles) {
        if (row.key == key) {
            chosen = &row;
            break;
        }
    }
    if (chosen == nullptr) return -1;
    const PART_LAYOUT_S* layout = UPDATE_FindLayout(kSelectedLayoutKey);
    if (layout == nullptr) return -1;
    chosen->info.Layout = layout;
    g_selected = &chosen->info;
    return 0;
}

int UPDATE_SelectPlatform() {
    return UPDATE_SelectPlatformKey(UPDATE_PROFILE_KEY);
}

const PLATFORM_INFO_S* UPDATE_Platform() {
    return g_selected;
}
