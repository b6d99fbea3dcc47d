#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "package/package_header.h"

namespace tarv {
namespace {

using HeaderBytes = std::array<std::uint8_t, PackageHeader::SIZE>;

void Put32(HeaderBytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

// A header laid out by hand at the format's offsets, so the decoder is checked against the
// layout and not against its own encoder.
HeaderBytes HandMadeHeader() {
    HeaderBytes b{};
    std::memcpy(b.data(), "ABCDEFG", 8);
    Put32(b, 8, 0xDEADBEEF);  // reserved
    Put32(b, 12, 0x00001234);
    std::memcpy(b.data() + 16, "0123456789", 10);
    Put32(b, 32, 0x80);
    Put32(b, 36, 0x0BB8);
    Put32(b, 40, 0x40010000);
    std::memcpy(b.data() + 44, "P101", 4);
    Put32(b, 48, 0xC38);
    Put32(b, 52, 0xFFFFFFFF);
    Put32(b, 56, 0x40100000);
    std::memcpy(b.data() + 60, "S202", 4);
    Put32(b, 64, 0x1FC0);
    Put32(b, 68, 0x834);
    Put32(b, 72, 0x40400000);
    std::memcpy(b.data() + 76, "M303", 4);
    b[80] = 0x11;
    b[81] = 0x22;
    b[82] = 0x33;
    b[83] = 0x44;  // reserved
    return b;
}

TEST(PackageHeader, DecodesEveryFieldAtItsOffsetLittleEndian) {
    const HeaderBytes bytes = HandMadeHeader();
    const PackageHeader h = PackageHeader::Decode(bytes);

    EXPECT_EQ(std::string(h.TextA.data(), 7), "ABCDEFG");
    EXPECT_EQ(h.MapScrambleLength, 0x1234u);
    EXPECT_EQ(std::string(h.TextB.data(), 10), "0123456789");
    EXPECT_EQ(h.Program.Offset, 0x80u);
    EXPECT_EQ(h.Program.Length, 0xBB8u);
    EXPECT_EQ(h.Program.FlashAddress, 0x40010000u);
    EXPECT_EQ(std::string(h.Program.Version.data(), 4), "P101");
    EXPECT_EQ(h.Sound.Offset, 0xC38u);
    EXPECT_FALSE(h.Sound.Present());
    EXPECT_EQ(h.Sound.FlashAddress, 0x40100000u);
    EXPECT_EQ(h.Map.Offset, 0x1FC0u);
    EXPECT_EQ(h.Map.Length, 0x834u);
    EXPECT_TRUE(h.Map.Present());
    EXPECT_EQ(std::string(h.Map.Version.data(), 4), "M303");
    EXPECT_EQ(h.ProgramCheck, 0x11);
    EXPECT_EQ(h.SoundCheck, 0x22);
    EXPECT_EQ(h.MapCheck, 0x33);
}

TEST(PackageHeader, EncodeWritesTheSameBytesAndLeavesReservedOnesAlone) {
    const HeaderBytes original = HandMadeHeader();
    HeaderBytes rewritten;
    rewritten.fill(0x5A);
    PackageHeader::Decode(original).EncodeTo(rewritten);

    for (std::size_t i = 0; i < PackageHeader::SIZE; ++i) {
        const bool reserved = (i >= 8 && i < 12) || (i >= 26 && i < 32) || i >= 83;
        EXPECT_EQ(rewritten[i], reserved ? 0x5A : original[i]) << "byte " << i;
    }
}

TEST(PackageVersionText, JoinsTheThreeVersionsWithSAndC) {
    PackageHeader h;
    std::memcpy(h.Program.Version.data(), "ABCD", 4);
    std::memcpy(h.Sound.Version.data(), "EFGH", 4);
    std::memcpy(h.Map.Version.data(), "IJKL", 4);
    h.Sound.Length = PKG_ABSENT;  // absent sections still give their version characters
    h.Map.Length = PKG_ABSENT;

    const PackageVersionText text = BuildPackageVersionText(h);

    EXPECT_EQ(std::string(text.data(), 14), "ABCDSEFGHCIJKL");
    EXPECT_TRUE(std::all_of(text.begin() + 14, text.end(), [](char c) { return c == 0; }));
}

}  // namespace
}  // namespace tarv
