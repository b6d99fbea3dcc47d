// A whole update driven straight through the transport, as the host's run does it.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host.h"
#include "sim/simulator.h"
#include "support/fake_clock.h"

namespace tarv::sim {
namespace {

using host::FindDevicePath;
using host::Host;
using host::Pattern;
using host::Reply;
using host::SameBytes;

constexpr int WHOLE = static_cast<int>(HID_REPORT_SIZE);

TEST(SimUpdate, AFullCommandSequenceLeavesTheExpectedFlashAndNoViolation) {
    tarv::testing::FakeClock clock(5000);
    SimTransport transport(clock);
    transport.AddForeignInterface();  // discovery has to look past it
    SimulatedDevice& device = transport.AddDevice({.name = "unit",
                                                   .programVersion = "P200",
                                                   .soundVersion = "S110",
                                                   .mapVersion = "M300",
                                                   .reportMs = 1,
                                                   .eraseBlockMs = 30});
    const std::vector<std::uint8_t> initial = Pattern(FLASH_SIZE, 11);
    device.PresetFlash(0, initial);

    // Query in normal mode.
    Host host(transport.Open(FindDevicePath(transport)));
    ASSERT_TRUE(host.IsOpen());
    EXPECT_EQ(host.Command(CMD_QUERY_INFO, RECORD_ARGUMENT_A, RECORD_ARGUMENT_B), WHOLE);
    const Reply answer = host.ReadSliced(clock, 2000);
    ASSERT_EQ(answer.count, WHOLE);
    InfoReply info;
    std::copy(answer.Payload().begin(), answer.Payload().end(), info.bytes.begin());
    const char versions[20] = "P200SS110CM300";
    EXPECT_TRUE(info.MatchesVersionText(versions));
    EXPECT_EQ(info.FlashId(), 0xEF16);

    // Reset, then wait as the run does: 2000 ms, then look every 100 ms.
    EXPECT_EQ(host.Command(CMD_RESET, CONFIRM_WORD_1, CONFIRM_WORD_2), WHOLE);
    host.Close();
    clock.SleepFor(2000);
    std::string path;
    for (int attempt = 0; attempt < 150 && path.empty(); ++attempt) {
        path = FindDevicePath(transport);
        if (path.empty()) {
            clock.SleepFor(100);
        }
    }
    ASSERT_EQ(path, "sim:unit/1");
    Host updater(transport.Open(path));
    ASSERT_TRUE(updater.IsOpen());

    const AddressRecord::Bytes record = AddressRecord{0x10, 0xFFFF, 0x402}.Encode();
    EXPECT_EQ(updater.Command(CMD_ADDRESS_RECORD, RECORD_ARGUMENT_A, RECORD_ARGUMENT_B), WHOLE);
    EXPECT_EQ(updater.Data(record), 4);

    // Erase blocks 16..19; the read-back comes once all four are done.
    const std::uint32_t eraseStart = clock.TickCount();
    EXPECT_EQ(updater.Command(CMD_ERASE, 16, 4), WHOLE);
    EXPECT_EQ(updater.Command(CMD_READ_BACK, RECORD_ARGUMENT_A, RECORD_ARGUMENT_B), WHOLE);
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(updater.ReadSliced(clock, 2000 + 4 * 600).count, WHOLE) << "report " << k;
    }
    EXPECT_GE(clock.TickCount() - eraseStart, 4u * 30u);

    // 20 pages from the start of block 16, then 3 pages that straddle the end of block 19 and
    // land partly on flash that was not erased.
    const std::vector<std::uint8_t> data = Pattern(20 * FLASH_PAGE_SIZE, 12);
    EXPECT_EQ(updater.Command(CMD_WRITE, 16 * 16, 20), WHOLE);
    EXPECT_EQ(updater.Data(data), 80);
    const std::vector<std::uint8_t> tail = Pattern(3 * FLASH_PAGE_SIZE, 13);
    EXPECT_EQ(updater.Command(CMD_WRITE, 20 * 16 - 1, 3), WHOLE);
    EXPECT_EQ(updater.Data(tail), 12);

    EXPECT_EQ(updater.Command(CMD_FINISH, CONFIRM_WORD_1, CONFIRM_WORD_2), WHOLE);
    updater.Close();

    std::vector<std::uint8_t> expected = initial;
    std::fill_n(expected.begin() + 16 * FLASH_BLOCK_SIZE, 4 * FLASH_BLOCK_SIZE, std::uint8_t{0xFF});
    std::copy(data.begin(), data.end(), expected.begin() + 16 * FLASH_BLOCK_SIZE);
    const std::size_t tailAt = (20 * 16 - 1) * FLASH_PAGE_SIZE;
    for (std::size_t i = 0; i < tail.size(); ++i) {
        expected[tailAt + i] &= tail[i];
    }
    EXPECT_TRUE(SameBytes(device.ReadFlash(0, FLASH_SIZE), expected));

    EXPECT_EQ(device.Violations(), std::vector<std::string>{});
    std::vector<std::uint8_t> codes;
    for (const CommandPacket& packet : device.Commands()) {
        codes.push_back(packet.code);
    }
    const std::vector<std::uint8_t> sent = {CMD_QUERY_INFO, CMD_RESET,     CMD_ADDRESS_RECORD,
                                            CMD_ERASE,      CMD_READ_BACK, CMD_WRITE,
                                            CMD_WRITE,      CMD_FINISH};
    EXPECT_EQ(codes, sent);
    EXPECT_EQ(device.LastAddressRecord(), record);
    EXPECT_EQ(device.DataReports(), 4u + 80u + 12u);
    EXPECT_EQ(device.Resets(), 1u);
    EXPECT_FALSE(device.InUpdateMode());
    EXPECT_EQ(device.OpenCount(), 2u);
    EXPECT_EQ(device.LiveConnections(), 0u);
    EXPECT_EQ(device.DiscardedReplies(), 0u);
}

}  // namespace
}  // namespace tarv::sim
