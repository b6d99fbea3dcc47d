#include "update/records.h"

#include <algorithm>

#include <gtest/gtest.h>

namespace tarv {
namespace {

std::uint32_t At(const RecordBytes& b, std::size_t offset) {
    return b[offset] | b[offset + 1] << 8 | b[offset + 2] << 16 |
           static_cast<std::uint32_t>(b[offset + 3]) << 24;
}

TEST(RandomWord, JoinsTwoDrawsHighFirst) {
    SeededRandom random(1);
    EXPECT_EQ(DrawRandomWord(random), (41u << 16) | 18467u);
    EXPECT_EQ(DrawRandomWord(random), (6334u << 16) | 26500u);
    for (int i = 0; i < 1000; ++i) {
        EXPECT_EQ(DrawRandomWord(random) & 0x80008000u, 0u);
    }
}

TEST(CheckRecord, MasksSoundAndMapWithTheThirdAndFourthWords) {
    SeededRandom random(77);
    const CheckRecord record = CheckRecord::Make(0x1000, 0x2222, 0x0900, 0x3333, random);
    const RecordBytes bytes = record.Encode();

    const std::uint32_t r2 = record.words[2];
    const std::uint32_t r3 = record.words[3];
    EXPECT_EQ(At(bytes, 0x00), 0x1000u ^ r3);
    EXPECT_EQ(At(bytes, 0x04), 0x2222u ^ r2);
    EXPECT_EQ(At(bytes, 0x08), 0x0900u ^ r2);
    EXPECT_EQ(At(bytes, 0x0C), 0x3333u ^ r3);
    for (std::size_t i = 0; i < 12; ++i) {
        EXPECT_EQ(At(bytes, 0x10 + 4 * i), record.words[i]);
    }
    EXPECT_EQ(At(bytes, 0x18), r2);
    EXPECT_TRUE(std::all_of(bytes.begin() + 0x40, bytes.end(), [](auto b) { return b == 0xFF; }));
    EXPECT_EQ(CheckRecord::Decode(bytes), record);
}

TEST(DeviceHeaderRecord, HoldsTheFixedWordsTheProgramAndTheMaskedAddresses) {
    SeededRandom random(5);
    const DeviceHeaderRecord record =
        DeviceHeaderRecord::Make(0xBB8, 0xDEADBEEF, 0x40100000, 0x40400000, random);
    const RecordBytes bytes = record.Encode();

    const std::uint32_t fixed[][2] = {{0x00, 0x86017618}, {0x04, 56},         {0x08, 0x00130000},
                                      {0x0C, 0x40010000}, {0x10, 0x40010000}, {0x14, 0xBB8},
                                      {0x18, 0x00100003}, {0x1C, 0xDEADBEEF}};
    for (const auto& [offset, value] : fixed) {
        EXPECT_EQ(At(bytes, offset), value) << offset;
    }
    const auto& s = record.masks;
    EXPECT_EQ(At(bytes, 0x20), 0x40100000u ^ s[0] ^ s[1] ^ s[4]);
    EXPECT_EQ(At(bytes, 0x24), 0x40400000u ^ s[0] ^ s[2] ^ s[3] ^ s[5]);
    EXPECT_EQ(At(bytes, 0x28), s[0]);
    EXPECT_EQ(At(bytes, 0x3C), s[5]);
    EXPECT_EQ(At(bytes, 0x40), record.fill[0]);
    EXPECT_EQ(At(bytes, 0xFC), record.fill[47]);
    EXPECT_EQ(DeviceHeaderRecord::Decode(bytes), record);

    RecordBytes broken = bytes;
    broken[0x18] ^= 1;
    EXPECT_EQ(DeviceHeaderRecord::Decode(broken), std::nullopt);
}

TEST(Records, DrawTheirWordsInTheOrderTheyAreStored) {
    SeededRandom a(9);
    SeededRandom b(9);
    const DeviceHeaderRecord record = DeviceHeaderRecord::Make(0, 0, 0, 0, a);
    EXPECT_EQ(record.masks[0], DrawRandomWord(b));
    for (int i = 1; i < 6; ++i) {
        DrawRandomWord(b);
    }
    EXPECT_EQ(record.fill[0], DrawRandomWord(b)) << "the fill follows S5";
}

}  // namespace
}  // namespace tarv
