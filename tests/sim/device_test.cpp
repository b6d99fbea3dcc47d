// The device's command handling: flash semantics, the replies, and what counts as a violation.
#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host.h"
#include "sim/simulator.h"
#include "support/fake_clock.h"

namespace tarv::sim {
namespace {

using host::CommandReport;
using host::DataReport;
using host::Host;
using host::Pattern;
using host::Reply;
using host::SameBytes;

constexpr int WHOLE = static_cast<int>(HID_REPORT_SIZE);

class SimDevice : public ::testing::Test {
  protected:
    SimulatedDevice& Open(DeviceConfig config = {}) {
        m_device = &m_transport.AddDevice(std::move(config));
        m_host = Host(m_transport.Open(m_device->Path()));
        return *m_device;
    }
    std::uint32_t Tick() { return m_clock.TickCount(); }

    tarv::testing::FakeClock m_clock{1000};
    SimTransport m_transport{m_clock};
    SimulatedDevice* m_device = nullptr;
    Host m_host{nullptr};
};

// --- NOR flash ---------------------------------------------------------------------------------

TEST_F(SimDevice, EraseThenProgramLeavesTheDataAndTouchesNothingElse) {
    SimulatedDevice& device = Open({.startInUpdateMode = true});
    const std::vector<std::uint8_t> before = Pattern(3 * FLASH_BLOCK_SIZE, 1);  // blocks 2..4
    device.PresetFlash(2 * FLASH_BLOCK_SIZE, before);
    const std::vector<std::uint8_t> data = Pattern(2 * FLASH_PAGE_SIZE, 2);

    EXPECT_EQ(m_host.Command(CMD_ERASE, 3, 1), WHOLE);
    EXPECT_EQ(m_host.Command(CMD_WRITE, 3 * 16, 2), WHOLE);  // the first two pages of block 3
    EXPECT_EQ(m_host.Data(data), 8);

    std::vector<std::uint8_t> expected = before;
    std::fill_n(expected.begin() + FLASH_BLOCK_SIZE, FLASH_BLOCK_SIZE, std::uint8_t{0xFF});
    std::copy(data.begin(), data.end(), expected.begin() + FLASH_BLOCK_SIZE);
    EXPECT_TRUE(SameBytes(device.ReadFlash(2 * FLASH_BLOCK_SIZE, 3 * FLASH_BLOCK_SIZE), expected));
    EXPECT_EQ(device.DataReports(), 8u);
    EXPECT_TRUE(device.Violations().empty());
}

TEST_F(SimDevice, ProgrammingOverDataOnlyClearsBits) {
    SimulatedDevice& device = Open({.startInUpdateMode = true});
    const std::vector<std::uint8_t> first = Pattern(FLASH_PAGE_SIZE, 3);
    const std::vector<std::uint8_t> second = Pattern(FLASH_PAGE_SIZE, 4);

    for (const auto* data : {&first, &second}) {
        EXPECT_EQ(m_host.Command(CMD_WRITE, 10, 1), WHOLE);
        EXPECT_EQ(m_host.Data(*data), 4);
    }

    std::vector<std::uint8_t> expected(FLASH_PAGE_SIZE);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        expected[i] = first[i] & second[i];
    }
    EXPECT_TRUE(SameBytes(device.ReadFlash(10 * FLASH_PAGE_SIZE, FLASH_PAGE_SIZE), expected));
    EXPECT_TRUE(device.Violations().empty());
}

TEST_F(SimDevice, ReportsAfterAWriteAreDataEvenWhenTheyLookLikeCommands) {
    SimulatedDevice& device = Open({.startInUpdateMode = true});
    const HidReport lookalikes[] = {
        CommandReport(CMD_RESET, CONFIRM_WORD_1, CONFIRM_WORD_2),
        CommandReport(CMD_FINISH, CONFIRM_WORD_1, CONFIRM_WORD_2),
        CommandReport(CMD_ERASE, 0, 1),
        CommandReport(CMD_QUERY_INFO, RECORD_ARGUMENT_A, RECORD_ARGUMENT_B),
    };
    EXPECT_EQ(m_host.Command(CMD_WRITE, 0, 1), WHOLE);
    std::vector<std::uint8_t> expected;
    for (const HidReport& report : lookalikes) {
        EXPECT_EQ(m_host.Send(report), WHOLE);
        expected.insert(expected.end(), report.begin() + 1, report.end());
    }

    EXPECT_TRUE(SameBytes(device.ReadFlash(0, FLASH_PAGE_SIZE), expected));
    EXPECT_EQ(device.Commands().size(), 1u);
    EXPECT_EQ(device.Resets(), 0u);
    EXPECT_TRUE(device.InUpdateMode());
    // Back in command mode: the next report is a command again.
    EXPECT_EQ(m_host.Command(CMD_QUERY_INFO, RECORD_ARGUMENT_A, RECORD_ARGUMENT_B), WHOLE);
    EXPECT_EQ(m_host.Read(0).count, WHOLE);
    EXPECT_TRUE(device.Violations().empty());
}

// --- Violations --------------------------------------------------------------------------------

HidReport Damaged(HidReport report, const std::function<void(HidReport&)>& damage) {
    damage(report);
    return report;
}

std::vector<HidReport> WithData(HidReport command, std::size_t dataReports) {
    std::vector<HidReport> reports{command};
    const std::array<std::uint8_t, HID_PAYLOAD_SIZE> zeros{};
    reports.insert(reports.end(), dataReports, DataReport(zeros));
    return reports;
}

struct BrokenCase {
    const char* name;
    bool updateMode;
    std::vector<HidReport> reports;  // the first is the faulty one
    const char* fault;               // what the violation must say
};

TEST(SimViolations, EachBrokenReportIsOneViolationAndChangesNothing) {
    const HidReport query = CommandReport(CMD_QUERY_INFO, RECORD_ARGUMENT_A, RECORD_ARGUMENT_B);
    const BrokenCase cases[] = {
        {"report ID", false, {Damaged(query, [](HidReport& r) { r[0] = 1; })}, "report ID"},
        {"length byte", false, {Damaged(query, [](HidReport& r) { r[2] = 0x0D; })}, "length"},
        {"marker", false, {Damaged(query, [](HidReport& r) { r[12] ^= 0x01; })}, "marker"},
        {"checksum", false, {Damaged(query, [](HidReport& r) { ++r[15]; })}, "checksum"},
        {"fill", false, {Damaged(query, [](HidReport& r) { r[40] = 0; })}, "fill"},
        {"unknown code",
         true,
         {CommandReport(0xA8, RECORD_ARGUMENT_A, RECORD_ARGUMENT_B)},
         "unknown command code 0xA8"},
        {"query with another A", false, {CommandReport(CMD_QUERY_INFO, 0x81, 1)}, "query with A"},
        {"read-back with another B",
         true,
         {CommandReport(CMD_READ_BACK, 0x80, 2)},
         "read-back with A"},
        {"address record with another A",
         true,
         {CommandReport(CMD_ADDRESS_RECORD, 0, 1)},
         "address record with A"},
        {"reset without the second confirm word",
         false,
         {CommandReport(CMD_RESET, CONFIRM_WORD_1, CONFIRM_WORD_1)},
         "reset with A"},
        {"finish with swapped confirm words",
         true,
         {CommandReport(CMD_FINISH, CONFIRM_WORD_2, CONFIRM_WORD_1)},
         "finish with A"},
        {"erase in normal mode",
         false,
         {CommandReport(CMD_ERASE, 0, 1)},
         "erase outside update mode"},
        {"write in normal mode", false, WithData(CommandReport(CMD_WRITE, 0, 1), 4),
         "write outside update mode"},
        {"address record in normal mode", false,
         WithData(CommandReport(CMD_ADDRESS_RECORD, RECORD_ARGUMENT_A, RECORD_ARGUMENT_B), 4),
         "address record outside update mode"},
        {"erase past the last block",
         true,
         {CommandReport(CMD_ERASE, FLASH_BLOCKS - 1, 2)},
         "past the flash"},
        {"erase whose end wraps around",
         true,
         {CommandReport(CMD_ERASE, 0xFFFFFFFF, 2)},
         "past the flash"},
        {"write past the last page", true,
         WithData(CommandReport(CMD_WRITE, FLASH_PAGES - 1, 2), 8), "past the flash"},
        {"write whose end wraps around", true, WithData(CommandReport(CMD_WRITE, 0xFFFFFFFF, 1), 4),
         "past the flash"},
    };
    const std::vector<std::uint8_t> preset(FLASH_SIZE, 0x5A);  // erasing or programming shows
    for (const BrokenCase& c : cases) {
        SCOPED_TRACE(c.name);
        tarv::testing::FakeClock clock;
        SimTransport transport(clock);
        SimulatedDevice& device = transport.AddDevice({.startInUpdateMode = c.updateMode});
        device.PresetFlash(0, preset);
        Host host(transport.Open(device.Path()));

        for (const HidReport& report : c.reports) {
            EXPECT_EQ(host.Send(report), WHOLE);
        }

        const std::vector<std::string> violations = device.Violations();
        ASSERT_EQ(violations.size(), 1u) << (violations.empty() ? "" : violations[1]);
        EXPECT_EQ(violations[0].rfind("report 1: ", 0), 0u) << violations[0];
        EXPECT_NE(violations[0].find(c.fault), std::string::npos) << violations[0];
        EXPECT_TRUE(SameBytes(device.ReadFlash(0, FLASH_SIZE), preset));
        EXPECT_TRUE(device.IsPresent());
        EXPECT_EQ(device.InUpdateMode(), c.updateMode);
        EXPECT_FALSE(device.LastAddressRecord().has_value());
        // The device is in step again: a query right after is answered.
        EXPECT_EQ(host.Send(query), WHOLE);
        const Reply reply = host.Read(0);
        EXPECT_EQ(reply.count, WHOLE);
        EXPECT_EQ(reply.Payload()[0], 'P');
        EXPECT_EQ(device.Violations().size(), 1u);
    }
}

TEST_F(SimDevice, ViolationsNameTheReportByItsNumberOverTheDevicesLife) {
    SimulatedDevice& device = Open({.startInUpdateMode = true});
    EXPECT_EQ(m_host.Command(CMD_WRITE, 0, 1), WHOLE);  // report 1, data reports 2..5
    EXPECT_EQ(m_host.Data(std::vector<std::uint8_t>(FLASH_PAGE_SIZE, 0xFF)), 4);
    EXPECT_EQ(m_host.Command(0x00, 0, 0), WHOLE);  // report 6

    EXPECT_EQ(device.ReportsReceived(), 6u);
    ASSERT_EQ(device.Violations().size(), 1u);
    EXPECT_EQ(device.Violations()[0], "report 6: unknown command code 0x0");
}

// --- Replies -----------------------------------------------------------------------------------

// The reply's 64 payload bytes written out position by position.
std::string InfoPayload(const std::string& versions, const char* flashDigits, std::uint8_t length) {
    std::string payload(HID_PAYLOAD_SIZE, '\0');
    payload.replace(0, versions.size(), versions);
    payload.replace(length - 5, 4, flashDigits);
    payload[63] = static_cast<char>(length);
    return payload;
}

struct QueryCase {
    const char* name;
    DeviceConfig config;
    std::string payload;
};

TEST(SimQuery, TheReplyCarriesTagVersionsFlashIdAndLength) {
    const QueryCase cases[] = {
        {"defaults", {}, InfoPayload("P100SS100CM100", "EF16", 20)},
        {"the tag replaces the program version's first character, in update mode",
         {.programVersion = "X210",
          .soundVersion = "S118",
          .mapVersion = "M305",
          .flashId = 0xC215,
          .infoLength = 64,
          .startInUpdateMode = true},
         InfoPayload("P210SS118CM305", "C215", 64)},
        {"short versions are padded with zero bytes",
         {.programVersion = "P2", .soundVersion = "", .flashId = 0x0A0B, .infoLength = 30},
         InfoPayload(std::string("P2\0\0S\0\0\0\0CM100", 14), "0A0B", 30)},
    };
    for (const QueryCase& c : cases) {
        SCOPED_TRACE(c.name);
        tarv::testing::FakeClock clock;
        SimTransport transport(clock);
        SimulatedDevice& device = transport.AddDevice(c.config);
        Host host(transport.Open(device.Path()));

        EXPECT_EQ(host.Command(CMD_QUERY_INFO, RECORD_ARGUMENT_A, RECORD_ARGUMENT_B), WHOLE);
        const Reply reply = host.Read(0);

        ASSERT_EQ(reply.count, WHOLE);
        EXPECT_EQ(reply.report[0], 0);
        const std::string payload(reply.Payload().begin(), reply.Payload().end());
        EXPECT_EQ(payload, c.payload);
        EXPECT_EQ(host.Read(0).count, 0);  // one reply only
    }
}

TEST_F(SimDevice, ReadBackSendsTheBlocksFirstBytesInFourReports) {
    SimulatedDevice& device = Open();
    const std::vector<std::uint8_t> block = Pattern(READ_BACK_SIZE, 5);
    device.PresetFlash(0, block);

    EXPECT_EQ(m_host.Command(CMD_READ_BACK, RECORD_ARGUMENT_A, RECORD_ARGUMENT_B), WHOLE);
    std::vector<std::uint8_t> received;
    for (int k = 0; k < 4; ++k) {
        const Reply reply = m_host.Read(0);
        ASSERT_EQ(reply.count, WHOLE) << "report " << k;
        received.insert(received.end(), reply.Payload().begin(), reply.Payload().end());
    }
    EXPECT_TRUE(SameBytes(received, block));

    // Nothing more: the read waits its whole timeout on the clock.
    const std::uint32_t before = Tick();
    EXPECT_EQ(m_host.Read(50).count, 0);
    EXPECT_EQ(Tick() - before, 50u);
}

struct BusyCase {
    std::uint32_t blocks;
    std::uint32_t eraseBlockMs;
    std::uint32_t reportMs;
    std::uint32_t readyAfterMs;  // from before the erase command to the first read-back report
};

TEST(SimErase, TheReadBackIsReadyOnceEveryBlockIsErased) {
    const BusyCase cases[] = {
        {3, 40, 0, 120},
        // Each write takes 5 ms; the read-back command goes in during the erase; its reply
        // follows 5 ms after the erase is done.
        {3, 40, 5, 5 + 120 + 5},
        {1, 0, 0, 0},
        {0, 40, 0, 0},  // a count of 0 erases nothing and costs nothing
    };
    for (const BusyCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.blocks << " blocks of " << c.eraseBlockMs << " ms, "
                                          << c.reportMs << " ms per report");
        tarv::testing::FakeClock clock(1000);
        SimTransport transport(clock);
        SimulatedDevice& device = transport.AddDevice(
            {.startInUpdateMode = true, .reportMs = c.reportMs, .eraseBlockMs = c.eraseBlockMs});
        const std::vector<std::uint8_t> before = Pattern(4 * FLASH_BLOCK_SIZE, 6);  // blocks 5..8
        device.PresetFlash(5 * FLASH_BLOCK_SIZE, before);
        Host host(transport.Open(device.Path()));

        const std::uint32_t start = clock.TickCount();
        EXPECT_EQ(host.Command(CMD_ERASE, 5, c.blocks), WHOLE);
        EXPECT_EQ(host.Command(CMD_READ_BACK, RECORD_ARGUMENT_A, RECORD_ARGUMENT_B), WHOLE);
        const std::uint32_t sent = clock.TickCount() - start;
        if (c.readyAfterMs > sent) {
            EXPECT_EQ(host.Read(c.readyAfterMs - sent - 1).count, 0);
        }
        const Reply first = host.Read(10000);
        EXPECT_EQ(first.count, WHOLE);
        EXPECT_EQ(clock.TickCount() - start, std::max(c.readyAfterMs, sent));
        for (int k = 1; k < 4; ++k) {
            EXPECT_EQ(host.Read(0).count, WHOLE) << "report " << k;
        }

        std::vector<std::uint8_t> expected = before;
        std::fill_n(expected.begin(), std::size_t{c.blocks} * FLASH_BLOCK_SIZE, std::uint8_t{0xFF});
        EXPECT_TRUE(
            SameBytes(device.ReadFlash(5 * FLASH_BLOCK_SIZE, 4 * FLASH_BLOCK_SIZE), expected));
        if (c.blocks > 0) {  // the read-back shows the erased block
            EXPECT_TRUE(std::all_of(first.Payload().begin(), first.Payload().end(),
                                    [](std::uint8_t b) { return b == 0xFF; }));
        }
        EXPECT_TRUE(device.Violations().empty());
    }
}

TEST_F(SimDevice, ANewCommandDiscardsRepliesNotYetRead) {
    SimulatedDevice& device = Open();
    const std::vector<std::uint8_t> block = Pattern(READ_BACK_SIZE, 7);
    device.PresetFlash(0, block);

    EXPECT_EQ(m_host.Command(CMD_QUERY_INFO, RECORD_ARGUMENT_A, RECORD_ARGUMENT_B), WHOLE);
    EXPECT_EQ(m_host.Command(CMD_READ_BACK, RECORD_ARGUMENT_A, RECORD_ARGUMENT_B), WHOLE);
    const Reply readBack = m_host.Read(0);
    EXPECT_TRUE(SameBytes(readBack.Payload(), std::span(block).first(HID_PAYLOAD_SIZE)));
    EXPECT_EQ(device.DiscardedReplies(), 1u);

    // Three read-back reports are still queued; the query throws them away.
    EXPECT_EQ(m_host.Command(CMD_QUERY_INFO, RECORD_ARGUMENT_A, RECORD_ARGUMENT_B), WHOLE);
    EXPECT_EQ(m_host.Read(0).Payload()[0], 'P');
    EXPECT_EQ(m_host.Read(0).count, 0);
    EXPECT_EQ(device.DiscardedReplies(), 4u);
    EXPECT_TRUE(device.Violations().empty());
}

TEST_F(SimDevice, AddressRecordIsKeptAndFinishLeavesUpdateMode) {
    SimulatedDevice& device = Open({.startInUpdateMode = true});
    const AddressRecord::Bytes first = AddressRecord{0x10, 0xFFFF, 0x402}.Encode();
    const AddressRecord::Bytes second = AddressRecord{0x20, 0x100, 0xFFFF}.Encode();

    for (const AddressRecord::Bytes& record : {first, second}) {
        EXPECT_EQ(m_host.Command(CMD_ADDRESS_RECORD, RECORD_ARGUMENT_A, RECORD_ARGUMENT_B), WHOLE);
        EXPECT_EQ(m_host.Data(record), 4);
    }
    EXPECT_EQ(device.LastAddressRecord(), second);
    EXPECT_TRUE(SameBytes(device.ReadFlash(0, FLASH_BLOCK_SIZE),
                          std::vector<std::uint8_t>(FLASH_BLOCK_SIZE, 0xFF)));

    EXPECT_EQ(m_host.Command(CMD_FINISH, CONFIRM_WORD_1, CONFIRM_WORD_2), WHOLE);
    EXPECT_FALSE(device.InUpdateMode());
    EXPECT_EQ(m_host.Command(CMD_ERASE, 0, 1), WHOLE);
    EXPECT_EQ(device.Violations().size(), 1u);  // the erase after the finish
}

}  // namespace
}  // namespace tarv::sim
