#include "package/map_section.h"

#include <array>
#include <cstdint>
#include <numeric>
#include <vector>

#include <gtest/gtest.h>

#include "base/random.h"

namespace tarv {
namespace {

MapRandomTable Filled(std::uint8_t value) {
    MapRandomTable t;
    t.fill(value);
    return t;
}

MapRandomTable Identity() {
    MapRandomTable t;
    std::iota(t.begin(), t.end(), 0);
    return t;
}

struct KeyCase {
    const char* name;
    MapRandomTable table;
    MapScrambleKey key;
};

TEST(MapScrambleKey, DerivesTheDeviceKeyFromTheTable) {
    const KeyCase cases[] = {
        {"identity",
         Identity(),
         {0xF6, 0xFC, 0xA8, 0x65, 0x14, 0x71, 0x0E, 0x73, 0x84, 0x68, 0x74, 0x06, 0x06, 0x15, 0x22,
          0x6E}},
        {"all zero", Filled(0x00), {0, 0, 0, 0, 0, 0, 0, 0, 0x21, 0, 0, 0, 0, 0, 0, 0}},
        {"all 0xFF",
         Filled(0xFF),
         {0x00, 0x00, 0xFC, 0xFF, 0xFB, 0xFF, 0x00, 0xFF, 0x20, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF,
          0xFF}},
    };
    for (const KeyCase& c : cases) {
        EXPECT_EQ(DeriveMapScrambleKey(c.table), c.key) << c.name;
    }
}

TEST(MapScrambleKey, HalvesTheNineBitSumForByteFive) {
    MapRandomTable t{};
    t[113] = 0xF0;
    t[114] = 0x20;  // 0x110 >> 1 = 0x88; an 8-bit sum would give 0x08
    EXPECT_EQ(DeriveMapScrambleKey(t)[5], 0x88);
}

TEST(SeededRandom, DrawsBits16To30OfTheLcgState) {
    SeededRandom random(1);
    const std::uint32_t expected[] = {41, 18467, 6334, 26500, 19169, 15724, 11478, 29358};
    for (const std::uint32_t value : expected) {
        EXPECT_EQ(random.Next(), value);
    }
}

TEST(MapRandomTable, TakesTheLowByteOfEachDrawInOrder) {
    const MapRandomTable table = DrawMapRandomTable(1);
    EXPECT_EQ(table[0], 41);
    EXPECT_EQ(table[1], 18467 & 0xFF);
    EXPECT_EQ(table[2], 6334 & 0xFF);
    EXPECT_EQ(table[3], 26500 & 0xFF);
    EXPECT_NE(DrawMapRandomTable(1), DrawMapRandomTable(2));
}

TEST(ScrambleMapBytes, XorsWithTheKeyRepeatingEvery16BytesAndUndoesItself) {
    const MapScrambleKey key = DeriveMapScrambleKey(Identity());
    std::vector<std::uint8_t> bytes(40, 0x00);
    ScrambleMapBytes(bytes, key);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        EXPECT_EQ(bytes[i], key[i % 16]) << "byte " << i;
    }
    ScrambleMapBytes(bytes, key);
    EXPECT_EQ(bytes, std::vector<std::uint8_t>(40, 0x00));
}

}  // namespace
}  // namespace tarv
