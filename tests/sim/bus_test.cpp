// The device on the bus: leaving on a reset and coming back, the cable, and each fault.
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
using host::Reply;

constexpr int WHOLE = static_cast<int>(HID_REPORT_SIZE);

int Query(Host& host) {
    return host.Command(CMD_QUERY_INFO, RECORD_ARGUMENT_A, RECORD_ARGUMENT_B);
}
int Reset(Host& host) {
    return host.Command(CMD_RESET, CONFIRM_WORD_1, CONFIRM_WORD_2);
}

// --- Reset -------------------------------------------------------------------------------------

struct ResetCase {
    const char* name;
    std::uint32_t startTick;
    std::uint32_t awayMs;
};

TEST(SimReset, TheDeviceLeavesAtOnceAndReturnsUnderANewPathInUpdateMode) {
    const ResetCase cases[] = {
        {"default away time", 1000, 1500},
        {"the tick wraps while it is away", 0xFFFFFF00u, 1500},
        {"no away time", 1000, 0},
    };
    for (const ResetCase& c : cases) {
        SCOPED_TRACE(c.name);
        tarv::testing::FakeClock clock(c.startTick);
        SimTransport transport(clock);
        SimulatedDevice& device = transport.AddDevice({.name = "unit", .resetAwayMs = c.awayMs});
        ASSERT_EQ(FindDevicePath(transport), "sim:unit/0");
        Host old(transport.Open("sim:unit/0"));

        EXPECT_EQ(Reset(old), WHOLE);  // the reset report itself is taken

        EXPECT_EQ(Query(old), -1);
        EXPECT_EQ(old.Read(10).count, -1);
        if (c.awayMs > 0) {
            clock.SleepFor(c.awayMs - 1);  // the failed read took no time
            EXPECT_EQ(FindDevicePath(transport), "");
            EXPECT_FALSE(device.IsPresent());
            clock.SleepFor(1);
        }
        EXPECT_EQ(FindDevicePath(transport), "sim:unit/1");
        EXPECT_TRUE(device.InUpdateMode());
        EXPECT_EQ(device.Resets(), 1u);

        OpenError error = OpenError::None;
        EXPECT_EQ(transport.Open("sim:unit/0", &error), nullptr);
        EXPECT_EQ(error, OpenError::Gone);
        EXPECT_EQ(Query(old), -1);  // an old connection stays dead

        Host back(transport.Open("sim:unit/1"));
        ASSERT_TRUE(back.IsOpen());
        EXPECT_EQ(Query(back), WHOLE);
        EXPECT_EQ(back.Read(0).count, WHOLE);
        EXPECT_EQ(device.OpenCount(), 2u);
        EXPECT_TRUE(device.Violations().empty());
    }
}

TEST(SimReset, ResetInUpdateModeComesBackInUpdateModeAgain) {
    tarv::testing::FakeClock clock;
    SimTransport transport(clock);
    SimulatedDevice& device = transport.AddDevice({.startInUpdateMode = true});
    Host host(transport.Open(device.Path()));
    EXPECT_EQ(Reset(host), WHOLE);
    clock.SleepFor(1500);
    EXPECT_EQ(device.Path(), "sim:device1/1");
    EXPECT_TRUE(device.InUpdateMode());
}

// --- Cable -------------------------------------------------------------------------------------

class SimBus : public ::testing::Test {
  protected:
    SimulatedDevice& Open(DeviceConfig config = {}) {
        m_device = &m_transport.AddDevice(std::move(config));
        m_host = Host(m_transport.Open(m_device->Path()));
        return *m_device;
    }
    // A second, unfaulted look at what the device answers the query.
    Reply TrueQueryReply() {
        EXPECT_EQ(Query(m_host), WHOLE);
        return m_host.Read(0);
    }

    tarv::testing::FakeClock m_clock{1000};
    SimTransport m_transport{m_clock};
    SimulatedDevice* m_device = nullptr;
    Host m_host{nullptr};
};

TEST_F(SimBus, UnplugFailsTheConnectionAndPlugInGivesANewPathInNormalMode) {
    SimulatedDevice& device = Open({.startInUpdateMode = true});
    EXPECT_EQ(Query(m_host), WHOLE);

    device.Unplug();

    EXPECT_EQ(m_host.Read(0).count, -1);
    EXPECT_EQ(Query(m_host), -1);
    EXPECT_EQ(FindDevicePath(m_transport), "");
    EXPECT_EQ(device.Path(), "");
    EXPECT_EQ(device.LiveConnections(), 1u);  // the host still holds its connection

    EXPECT_TRUE(device.PlugIn());
    EXPECT_EQ(FindDevicePath(m_transport), "sim:device1/1");
    EXPECT_FALSE(device.InUpdateMode());
    EXPECT_FALSE(device.PlugIn());  // already in: nothing changes
    EXPECT_EQ(device.Path(), "sim:device1/1");
    EXPECT_EQ(Query(m_host), -1);
    m_host.Close();
    EXPECT_EQ(device.LiveConnections(), 0u);
}

TEST_F(SimBus, UnplugWhileAwayAfterAResetCancelsTheReturn) {
    SimulatedDevice& device = Open();
    EXPECT_EQ(Reset(m_host), WHOLE);
    device.Unplug();
    m_clock.SleepFor(60000);
    EXPECT_FALSE(device.IsPresent());
    EXPECT_TRUE(device.PlugIn());
    EXPECT_FALSE(device.InUpdateMode());
}

// --- Faults ------------------------------------------------------------------------------------

TEST_F(SimBus, UnplugAfterTheKthReportTakesItThenLeavesUntilPluggedIn) {
    SimulatedDevice& device = Open();
    EXPECT_EQ(Query(m_host), WHOLE);  // before the fault: not counted
    device.SetFaults({.unplugAfterReports = 3});

    EXPECT_EQ(Query(m_host), WHOLE);
    EXPECT_EQ(device.GetFaults().unplugAfterReports, 2u);
    EXPECT_EQ(Query(m_host), WHOLE);
    EXPECT_EQ(m_host.Command(CMD_FINISH, CONFIRM_WORD_1, CONFIRM_WORD_2), WHOLE);
    EXPECT_EQ(Query(m_host), -1);

    EXPECT_EQ(device.Commands().size(), 4u);  // the third after the fault was still taken
    EXPECT_EQ(device.Commands().back().code, CMD_FINISH);
    EXPECT_EQ(device.GetFaults().unplugAfterReports, 0u);
    m_clock.SleepFor(600000);
    EXPECT_EQ(FindDevicePath(m_transport), "");

    ASSERT_TRUE(device.PlugIn());
    Host again(m_transport.Open(device.Path()));
    for (int k = 0; k < 5; ++k) {  // fired once only
        EXPECT_EQ(Query(again), WHOLE);
    }
}

TEST_F(SimBus, UnplugAfterAResetReportKeepsTheDeviceAway) {
    SimulatedDevice& device = Open();
    device.SetFaults({.unplugAfterReports = 1});
    EXPECT_EQ(Reset(m_host), WHOLE);
    m_clock.SleepFor(10000);
    EXPECT_FALSE(device.IsPresent());
    EXPECT_EQ(device.Resets(), 1u);
}

TEST_F(SimBus, NeverAnswerLetsEveryReadTimeOut) {
    SimulatedDevice& device = Open();
    device.SetFaults({.neverAnswer = true});
    EXPECT_EQ(Query(m_host), WHOLE);

    const std::uint32_t before = m_clock.TickCount();
    EXPECT_EQ(m_host.Read(200).count, 0);
    EXPECT_EQ(m_clock.TickCount() - before, 200u);

    device.SetFaults({});
    EXPECT_EQ(m_host.Read(0).count, WHOLE);  // the reply was held back, not lost
}

TEST_F(SimBus, AnswerLateMakesRepliesReadyThatMuchLater) {
    SimulatedDevice& device = Open();
    device.SetFaults({.answerLateMs = 300});
    const std::uint32_t start = m_clock.TickCount();
    EXPECT_EQ(Query(m_host), WHOLE);

    EXPECT_EQ(m_host.Read(299).count, 0);
    const Reply reply = m_host.Read(1000);
    EXPECT_EQ(reply.count, WHOLE);
    EXPECT_EQ(m_clock.TickCount() - start, 300u);
    EXPECT_EQ(reply.Payload()[0], 'P');
}

TEST_F(SimBus, ShortRepliesStoreAndCountOnlyTheirFirstBytes) {
    SimulatedDevice& device = Open();
    const Reply whole = TrueQueryReply();
    for (const std::uint32_t n : {1u, 10u, 64u}) {
        SCOPED_TRACE(n);
        device.SetFaults({.shortReplyBytes = n});
        EXPECT_EQ(Query(m_host), WHOLE);
        const Reply reply = m_host.Read(0);
        EXPECT_EQ(reply.count, static_cast<int>(n));
        for (std::size_t i = 0; i < HID_REPORT_SIZE; ++i) {
            EXPECT_EQ(reply.report[i], i < n ? whole.report[i] : 0xEE) << "byte " << i;
        }
    }
}

TEST_F(SimBus, GarbageRepliesReplaceThePayloadWithChangingBytes) {
    SimulatedDevice& device = Open();
    const Reply whole = TrueQueryReply();
    device.SetFaults({.garbageReplies = true});

    EXPECT_EQ(Query(m_host), WHOLE);
    const Reply first = m_host.Read(0);
    EXPECT_EQ(Query(m_host), WHOLE);
    const Reply second = m_host.Read(0);

    EXPECT_EQ(first.count, WHOLE);
    EXPECT_EQ(first.report[0], 0);
    EXPECT_NE(first.report, whole.report);
    EXPECT_NE(first.report, second.report);
}

TEST_F(SimBus, RefusedWritesAreNotReceived) {
    SimulatedDevice& device = Open();
    device.SetFaults({.refuseWrites = true});
    EXPECT_EQ(Query(m_host), -1);
    EXPECT_EQ(device.ReportsReceived(), 0u);
    EXPECT_TRUE(device.Commands().empty());
    EXPECT_EQ(m_host.Read(0).count, 0);

    device.SetFaults({});
    EXPECT_EQ(Query(m_host), WHOLE);
    EXPECT_EQ(device.ReportsReceived(), 1u);
}

TEST_F(SimBus, StayAwayAfterResetHoldsTheDeviceOffTheBusWhileSet) {
    SimulatedDevice& device = Open();
    device.SetFaults({.stayAwayAfterReset = true});
    EXPECT_EQ(Reset(m_host), WHOLE);
    m_clock.SleepFor(3600000);
    EXPECT_EQ(FindDevicePath(m_transport), "");

    device.SetFaults({});  // long past its time: back at once
    EXPECT_EQ(FindDevicePath(m_transport), "sim:device1/1");
    EXPECT_TRUE(device.InUpdateMode());
}

}  // namespace
}  // namespace tarv::sim
