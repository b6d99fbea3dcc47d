// The link against the simulated device: the commands of an update in the order a run sends
// them, and the device faults a run must survive.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "link/commands.h"
#include "link/hid_link.h"
#include "sim/simulator.h"
#include "support/fake_clock.h"
#include "support/package_writer.h"

namespace tarv {
namespace {

using testing::FakeClock;

class QuietPage final : public ProgressPage {
  public:
    int questions = 0;
    void SetStatusText(std::string_view) override {}
    void PostProgress() override {}
    MessageAnswer ShowMessage(std::string_view, MessageButtons) override {
        ++questions;
        return MessageAnswer::Yes;
    }
    void ArmRunEndTimer() override {}
    void PlaySuccessSound() override {}
};

class LinkWithSimulator : public ::testing::Test {
  protected:
    sim::SimulatedDevice& AddDevice(sim::DeviceConfig config = {}) {
        config.name = "tarv";
        config.programVersion = "P210";
        config.soundVersion = "S118";
        config.mapVersion = "M305";
        return m_transport.AddDevice(config);
    }

    // Opens the device again after a reset, as a run does: up to 150 tries, 100 ms apart.
    bool Reconnect() {
        for (int attempt = 0; attempt < 150; ++attempt) {
            const bool opened = m_link.OpenDevice() == 1;
            m_clock.SleepFor(100);
            if (opened) {
                return true;
            }
        }
        return false;
    }

    FakeClock m_clock{5000};
    sim::SimTransport m_transport{m_clock};
    sim::SimInUseMarker m_marker;
    CHidLink m_link{m_transport, m_marker, m_clock};
    QuietPage m_page;
};

std::array<char, 20> VersionText(const char* fourteen) {
    std::array<char, 20> text{};
    std::copy_n(fourteen, 14, text.begin());
    return text;
}

TEST_F(LinkWithSimulator, AWholeCommandSequenceLeavesTheExpectedFlashAndNoViolation) {
    sim::SimulatedDevice& device = AddDevice();
    const testing::Bytes map = testing::PatternBytes(3 * 4096 + 512, 7);  // 50 pages
    const testing::Bytes sound = testing::PatternBytes(64 * 256, 8);      // 64 pages

    ASSERT_EQ(m_link.OpenDevice(), 1);
    const std::string firstPath = device.Path();
    InfoReply reply;
    EXPECT_EQ(QueryDeviceInfo(m_link, VersionText("P210SS117CM305"), m_page, &reply), 64);
    EXPECT_EQ(m_page.questions, 0) << "the sound differs";
    EXPECT_EQ(FlashChipText(reply), "Flash:F20");

    EXPECT_EQ(ResetDevice(m_link), 1);
    m_link.CloseDevice();
    m_clock.SleepFor(2000);
    ASSERT_TRUE(Reconnect());
    EXPECT_NE(device.Path(), firstPath) << "the device came back as a new interface";
    EXPECT_TRUE(device.InUpdateMode());

    EXPECT_EQ(WriteAddressRecord(m_link, 0x10, 0x100, 0x400), 0);
    EXPECT_EQ(EraseBlocks(m_link, 0x400, 4), 4);
    EXPECT_EQ(WritePages(m_link, map, 0x4000, 50), 50 * 256);
    EXPECT_EQ(EraseBlocks(m_link, 0x100, 4), 4);
    EXPECT_EQ(WritePages(m_link, sound, 0x1000, 64), 64 * 256);
    EXPECT_EQ(FinishUpdate(m_link), 0);
    EXPECT_FALSE(m_link.Connected());

    EXPECT_TRUE(device.Violations().empty()) << device.Violations().front();
    EXPECT_FALSE(device.InUpdateMode());
    EXPECT_EQ(device.LastAddressRecord(), (AddressRecord{0x10, 0x100, 0x400}.Encode()));
    EXPECT_EQ(device.ReadFlash(0x400000, 50 * 256),
              testing::Bytes(map.begin(), map.begin() + 50 * 256));
    EXPECT_EQ(device.ReadFlash(0x100000, sound.size()), sound);
    const std::vector<std::uint8_t> rest =
        device.ReadFlash(0x400000 + 50 * 256, 4 * 4096 - 50 * 256);
    EXPECT_TRUE(std::all_of(rest.begin(), rest.end(), [](auto b) { return b == 0xFF; }))
        << "erased and not written";
    EXPECT_EQ(m_marker.LiveHolds(), 0);
}

TEST_F(LinkWithSimulator, EraseWaitsForTheDeviceAndFailsOnlyPastTheScaledDeadline) {
    sim::DeviceConfig slow;
    slow.startInUpdateMode = true;
    slow.eraseBlockMs = 450;  // a slow chip, under the half second a block
    AddDevice(slow);
    ASSERT_EQ(m_link.OpenDevice(), 1);
    const std::uint32_t start = m_clock.TickCount();
    EXPECT_EQ(EraseBlocks(m_link, 0, 256), 256);
    EXPECT_GE(m_clock.TickCount() - start, 256u * 450u);
}

TEST_F(LinkWithSimulator, AMuteDeviceEndsEveryCommandByItsDeadline) {
    sim::SimulatedDevice& device = AddDevice();
    ASSERT_EQ(m_link.OpenDevice(), 1);
    device.SetFaults(sim::Faults{.neverAnswer = true});

    std::uint32_t start = m_clock.TickCount();
    EXPECT_EQ(QueryDeviceInfo(m_link, VersionText("P210SS118CM305"), m_page), 0);
    EXPECT_LE(m_clock.TickCount() - start, LINK_READ_DEADLINE_MS + 100);

    start = m_clock.TickCount();
    EXPECT_EQ(EraseBlocks(m_link, 0, 10), 0);
    EXPECT_LE(m_clock.TickCount() - start, EraseReadDeadlineMs(10) + 100);
    EXPECT_TRUE(m_link.Connected()) << "a failed exchange leaves the connection open";
}

TEST_F(LinkWithSimulator, UnpluggedInTheMiddleOfAWriteTheWriteFailsAndWhatWasSentStays) {
    sim::DeviceConfig config;
    config.startInUpdateMode = true;
    sim::SimulatedDevice& device = AddDevice(config);
    ASSERT_EQ(m_link.OpenDevice(), 1);
    device.SetFaults(sim::Faults{.unplugAfterReports = 1 + 4 * 10});  // command and ten pages

    const testing::Bytes data = testing::PatternBytes(40 * 256, 3);
    EXPECT_EQ(WritePages(m_link, data, 0, 40), 0);
    EXPECT_FALSE(device.IsPresent());
    EXPECT_EQ(device.ReadFlash(0, 10 * 256), testing::Bytes(data.begin(), data.begin() + 10 * 256));
    EXPECT_EQ(m_link.OpenDevice(), 0);
}

TEST_F(LinkWithSimulator, ADeviceInUseElsewhereIsLeftAloneAndADeviceThatStaysAwayIsNotFound) {
    sim::SimulatedDevice& device = AddDevice();
    m_marker.SetHeldElsewhere(true);
    EXPECT_EQ(m_link.OpenDevice(), 0);
    EXPECT_EQ(device.LiveConnections(), 0u);

    m_marker.SetHeldElsewhere(false);
    ASSERT_EQ(m_link.OpenDevice(), 1);
    device.SetFaults(sim::Faults{.stayAwayAfterReset = true});
    EXPECT_EQ(ResetDevice(m_link), 1);
    m_link.CloseDevice();
    m_clock.SleepFor(2000);
    EXPECT_FALSE(Reconnect());
}

TEST_F(LinkWithSimulator, ADeviceThatMayNotBeOpenedIsNoDeviceButItsNodeIsNamed) {
    // Only a denied permission is named (an interface that fails otherwise is not), and only
    // by the discovery that met it.
    m_transport.AddUnopenableInterface(OpenError::Other);
    sim::SimulatedDevice& device = AddDevice();
    device.SetFaults(sim::Faults{.notPermitted = true});
    EXPECT_EQ(m_link.OpenDevice(), 0);
    EXPECT_EQ(m_link.DeniedPaths(), std::vector<std::string>{device.Path()});
    EXPECT_EQ(device.LiveConnections(), 0u);

    device.SetFaults({});
    EXPECT_EQ(m_link.OpenDevice(), 1);
    EXPECT_EQ(m_link.DeniedPaths(), std::vector<std::string>{});

    device.Unplug();
    EXPECT_EQ(m_link.OpenDevice(), 0);
    EXPECT_EQ(m_link.DeniedPaths(), std::vector<std::string>{}) << "simply absent";
}

}  // namespace
}  // namespace tarv
