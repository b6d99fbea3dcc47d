#include "link/protocol.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace tarv {
namespace {

HidReport CommandReport(std::uint8_t code, std::uint32_t a, std::uint32_t b) {
    HidReport report;
    FrameCommandReport(report, CommandPacket{code, a, b}.Encode());
    return report;
}

TEST(CalcCheckSum, AddsTheBytesAndXorsWith0x416) {
    EXPECT_EQ(CalcCheckSum({}), 0x416u);
    const std::uint8_t query[] = {0xA7, 0x0E, 0x80, 0, 0, 0, 0x01, 0, 0, 0, 0x79, 0x50, 0x71, 0x06};
    EXPECT_EQ(CalcCheckSum(query), 0x660u);
    const std::vector<std::uint8_t> page(256, 0xFF);
    EXPECT_EQ(CalcCheckSum(page), (255u * 256u) ^ 0x416u);
}

TEST(CommandReport, QueryReportIsByteForByteTheDevicesExample) {
    const HidReport report = CommandReport(CMD_QUERY_INFO, 0x80, 1);
    const std::uint8_t head[] = {0x00, 0xA7, 0x0E, 0x80, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00,
                                 0x00, 0x79, 0x50, 0x71, 0x06, 0x60, 0x06, 0x00, 0x00};
    EXPECT_TRUE(std::equal(std::begin(head), std::end(head), report.begin()));
    EXPECT_TRUE(
        std::all_of(report.begin() + 19, report.end(), [](std::uint8_t b) { return b == 0xCC; }));
}

TEST(CommandReport, ResetAndFinishDifferOnlyInCodeAndChecksum) {
    const HidReport reset = CommandReport(CMD_RESET, CONFIRM_WORD_1, CONFIRM_WORD_2);
    const HidReport finish = CommandReport(CMD_FINISH, CONFIRM_WORD_1, CONFIRM_WORD_2);
    EXPECT_EQ(reset[15] | reset[16] << 8, 0x179);
    EXPECT_EQ(finish[15] | finish[16] << 8, 0x178);
    for (std::size_t i = 0; i < HID_REPORT_SIZE; ++i) {
        if (i != 1 && i != 15) {
            EXPECT_EQ(reset[i], finish[i]) << "byte " << i;
        }
    }
}

TEST(CommandReport, HasZerosAt0And17And18AndFillAfterWhateverTheArguments) {
    const struct {
        std::uint8_t code;
        std::uint32_t a, b;
    } cases[] = {
        {CMD_ERASE, 0, 0},
        {CMD_ERASE, 0xFFFFFFFF, 0xFFFFFFFF},
        {CMD_WRITE, 0x1234, 0x40},
        {CMD_READ_BACK, 0x80, 1},
        {CMD_ADDRESS_RECORD, 0x80, 1},
        {0xFF, 0xFFFFFFFF, 0xFFFFFFFF},
    };
    for (const auto& c : cases) {
        const HidReport r = CommandReport(c.code, c.a, c.b);
        EXPECT_EQ(r[0], 0);
        EXPECT_EQ(r[17], 0) << "the checksum never exceeds 0xFFF";
        EXPECT_EQ(r[18], 0);
        EXPECT_TRUE(std::all_of(r.begin() + 19, r.end(), [](std::uint8_t b) { return b == 0xCC; }));
        std::string why;
        const auto parsed = ParseCommandReport(r, &why);
        ASSERT_TRUE(parsed) << why;
        EXPECT_EQ(*parsed, (CommandPacket{c.code, c.a, c.b}));
    }
}

TEST(DataReport, CarriesAll64BytesWithNoFillLeft) {
    std::array<std::uint8_t, HID_PAYLOAD_SIZE> data;
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(0xCC ^ (i * 7));
    }
    HidReport report;
    report.fill(0x11);
    FrameDataReport(report, data);
    EXPECT_EQ(report[0], 0);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), report.begin() + 1));
}

TEST(CommandReport, ParsingNamesEachFault) {
    const struct {
        const char* name;
        std::size_t at;
        std::uint8_t value;
        const char* why;
    } cases[] = {
        {"report ID", 0, 0x01, "report ID is not 0"},
        {"length byte", 2, 0x0D, "length byte is not 0x0E"},
        {"marker", 12, 0x51, "command marker missing"},
        {"argument changed after the checksum", 4, 0x01, "checksum does not match"},
        {"checksum", 15, 0x61, "checksum does not match"},
        {"fill", 64, 0x00, "fill after the packet is not all 0xCC"},
    };
    for (const auto& c : cases) {
        HidReport r = CommandReport(CMD_QUERY_INFO, 0x80, 1);
        r[c.at] = c.value;
        std::string why;
        EXPECT_FALSE(ParseCommandReport(r, &why)) << c.name;
        EXPECT_EQ(why, c.why) << c.name;
    }
}

TEST(AddressRecord, StoresThreeLittleEndianBlockNumbersThen0xFF) {
    const AddressRecord::Bytes bytes = AddressRecord{0x10, 0xFFFF, 0x402}.Encode();
    const std::uint8_t head[] = {0x10, 0x00, 0xFF, 0xFF, 0x02, 0x04};
    EXPECT_TRUE(std::equal(std::begin(head), std::end(head), bytes.begin()));
    EXPECT_TRUE(
        std::all_of(bytes.begin() + 6, bytes.end(), [](std::uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(AddressRecord::Decode(bytes), (AddressRecord{0x10, 0xFFFF, 0x402}));
}

// --- The information reply ---------------------------------------------------------------------

std::array<char, 20> Text(const char* fourteen) {
    std::array<char, 20> t{};
    std::memcpy(t.data(), fourteen, 14);
    return t;
}

TEST(InfoReply, MatchesOnlyTheComparedPositionsOfAnInterpretableReply) {
    const auto package = Text("P210SS118CM305");
    const auto reply = [](const char* text, int length) {
        InfoReply r;
        r.bytes.fill(0);
        std::memcpy(r.bytes.data(), text, 14);
        r.bytes[63] = static_cast<std::uint8_t>(length);
        return r;
    };
    const struct {
        const char* name;
        InfoReply r;
        bool match;
    } cases[] = {
        {"same versions", reply("P210SS118CM305", 20), true},
        {"positions 4 and 9 are not compared", reply("P210XS118YM305", 20), true},
        {"tag must be P", reply("Q210SS118CM305", 20), false},
        {"L of 13 holds no versions", reply("P210SS118CM305", 13), false},
        {"L of 14 is enough", reply("P210SS118CM305", 14), true},
        {"L of 64 is still read", reply("P210SS118CM305", 64), true},
        {"L above 64: nothing is interpreted", reply("P210SS118CM305", 65), false},
        {"program differs", reply("P211SS118CM305", 20), false},
        {"sound differs", reply("P210SS119CM305", 20), false},
        {"map differs", reply("P210SS118CM306", 20), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.r.MatchesVersionText(package), c.match) << c.name;
    }
    // Only bytes 0, 4 and 9 differ, and byte 0 is still the tag: equal.
    EXPECT_TRUE(reply("P210XS118YM305", 20).MatchesVersionText(Text("Z210SS118CM305")));
}

TEST(InfoReply, ReadsTheFlashIdentifierBeforeL) {
    const InfoReply made = InfoReply::Make(Text("P210SS118CM305"), 0xEF16, 20);
    EXPECT_EQ(made.bytes[0], 'P');
    EXPECT_EQ(std::string(made.bytes.begin() + 15, made.bytes.begin() + 19), "EF16");
    EXPECT_EQ(made.FlashId(), 0xEF16);
    ASSERT_NE(FindFlashChip(0xEF16), nullptr);
    EXPECT_EQ(FindFlashChip(0xEF16)->name, "F20");
    EXPECT_EQ(FindFlashChip(0xC213)->size, " 1MB");
    EXPECT_EQ(FindFlashChip(0x1234), nullptr);

    InfoReply odd = made;
    odd.bytes[15] = 'x';  // not a hex digit: counts as 0
    odd.bytes[16] = 'f';
    EXPECT_EQ(odd.FlashId(), 0x0F16);
    odd.bytes[63] = 4;
    EXPECT_EQ(odd.FlashId(), std::nullopt);
    odd.bytes[63] = 0xFF;
    EXPECT_EQ(odd.FlashId(), std::nullopt);
}

}  // namespace
}  // namespace tarv
