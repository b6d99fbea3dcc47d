// The bridge between the simulated devices and the kernel's side, over a fake kernel endpoint
// on a virtual clock: reports go through without their report ID and come back the same, the
// device's reset and unplugging take the endpoint off the bus, and the operator swaps devices.
#include "simdevice/bridge.h"

#include <algorithm>
#include <array>
#include <deque>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "link/protocol.h"

namespace tarv::simdevice {
namespace {

using Report = std::array<std::uint8_t, DEVICE_REPORT_SIZE>;

// The host as the kernel would show it to the device: reports it wrote, reports it got.
class FakeEndpoint final : public KernelEndpoint {
  public:
    explicit FakeEndpoint(Clock& clock) : m_clock(clock) {}

    bool Connect(std::string&) override {
        connected = true;
        ++connects;
        return true;
    }
    void Disconnect() override {
        if (connected) {
            ++disconnects;
        }
        connected = false;
        hostWrites.clear();  // what was in flight is lost with the device
    }
    int ReadOutput(std::span<std::uint8_t, DEVICE_REPORT_SIZE> report, int timeoutMs) override {
        if (!connected) {
            return -1;
        }
        if (hostWrites.empty()) {
            m_clock.SleepFor(static_cast<std::uint32_t>(timeoutMs));
            return 0;
        }
        std::copy(hostWrites.front().begin(), hostWrites.front().end(), report.begin());
        hostWrites.pop_front();
        return static_cast<int>(DEVICE_REPORT_SIZE);
    }
    InputResult WriteInput(std::span<const std::uint8_t> report) override {
        if (!connected) {
            return InputResult::Failed;
        }
        if (hostBusy) {
            return InputResult::NotNow;
        }
        inputs.emplace_back(report.begin(), report.end());
        return InputResult::Taken;
    }

    bool connected = false;
    int connects = 0;
    int disconnects = 0;
    bool hostBusy = false;
    std::deque<Report> hostWrites;
    std::vector<std::vector<std::uint8_t>> inputs;

  private:
    Clock& m_clock;
};

Report Command(std::uint8_t code, std::uint32_t a, std::uint32_t b) {
    HidReport framed{};
    FrameCommandReport(framed, CommandPacket{code, a, b}.Encode());
    Report report{};
    std::copy(framed.begin() + 1, framed.end(), report.begin());
    return report;
}

Report Query() {
    return Command(CMD_QUERY_INFO, RECORD_ARGUMENT_A, RECORD_ARGUMENT_B);
}

Report Reset() {
    return Command(CMD_RESET, CONFIRM_WORD_1, CONFIRM_WORD_2);
}

class Bridge : public ::testing::Test {
  protected:
    void Start(SimOptions options = {}) {
        ASSERT_EQ(m_bench.Setup(options), "");
        m_bridge = std::make_unique<DeviceBridge>(
            m_bench, m_endpoint, m_clock, options.devices > 0,
            [this](const std::string& line) { m_log.push_back(line); });
    }

    // Rounds until `done` holds, at most `rounds`.
    template <typename Done>
    bool StepUntil(Done done, int rounds = 2000) {
        std::string error;
        for (int i = 0; i < rounds; ++i) {
            if (done()) {
                return true;
            }
            if (!m_bridge->Step(error)) {
                return done();
            }
            EXPECT_EQ(error, "");
        }
        return done();
    }

    // The address record command and its four data reports: a device written in update mode.
    void WriteAddressRecord() {
        m_endpoint.hostWrites.push_back(
            Command(CMD_ADDRESS_RECORD, RECORD_ARGUMENT_A, RECORD_ARGUMENT_B));
        for (int i = 0; i < 4; ++i) {
            Report data;
            data.fill(0xFF);
            m_endpoint.hostWrites.push_back(data);
        }
        ASSERT_TRUE(StepUntil([&] { return m_endpoint.hostWrites.empty(); }));
    }

    VirtualClock m_clock;
    SimBench m_bench{m_clock, false};
    FakeEndpoint m_endpoint{m_clock};
    std::vector<std::string> m_log;  // before the bridge, which logs until it is gone
    std::unique_ptr<DeviceBridge> m_bridge;
};

TEST_F(Bridge, HandsTheHostExactlyTheDevicesReplyWithoutTheReportId) {
    Start();
    ASSERT_TRUE(StepUntil([&] { return m_endpoint.connected; }));
    m_endpoint.hostWrites.push_back(Query());
    ASSERT_TRUE(StepUntil([&] { return !m_endpoint.inputs.empty(); }));

    // The same query straight to a device of the same kind, report ID and all.
    VirtualClock clock;
    SimBench direct(clock, false);
    ASSERT_EQ(direct.Setup({}), "");
    auto connection = direct.Transport().Open(direct.Device(0).Path());
    ASSERT_NE(connection, nullptr);
    HidReport query{};
    FrameCommandReport(
        query, CommandPacket{CMD_QUERY_INFO, RECORD_ARGUMENT_A, RECORD_ARGUMENT_B}.Encode());
    ASSERT_EQ(connection->Write(query), static_cast<int>(HID_REPORT_SIZE));
    HidReport reply{};
    ASSERT_EQ(connection->Read(reply, 100), static_cast<int>(HID_REPORT_SIZE));

    ASSERT_EQ(m_endpoint.inputs.size(), 1u);
    EXPECT_EQ(m_endpoint.inputs[0], std::vector<std::uint8_t>(reply.begin() + 1, reply.end()));
    EXPECT_EQ(m_bench.Device(0).Commands().size(), 1u);
    EXPECT_EQ(m_bench.Device(0).Violations(), std::vector<std::string>{});
    EXPECT_EQ(m_bridge->ReportsFromHost(), 1u);
    EXPECT_EQ(m_bridge->ReportsToHost(), 1u);
}

TEST_F(Bridge, AShortReplyStaysShort) {
    SimOptions options;
    options.faults = {"short=9"};
    Start(options);
    ASSERT_TRUE(StepUntil([&] { return m_endpoint.connected; }));
    m_endpoint.hostWrites.push_back(Query());
    ASSERT_TRUE(StepUntil([&] { return !m_endpoint.inputs.empty(); }));
    EXPECT_EQ(m_endpoint.inputs[0].size(), 8u);  // nine bytes with the report ID
}

TEST_F(Bridge, KeepsRepliesInOrderWhileTheHostIsNotReading) {
    Start();
    ASSERT_TRUE(StepUntil([&] { return m_endpoint.connected; }));
    m_endpoint.hostBusy = true;
    m_endpoint.hostWrites.push_back(Query());
    m_endpoint.hostWrites.push_back(Query());
    ASSERT_TRUE(StepUntil([&] { return m_endpoint.hostWrites.empty(); }));
    for (int i = 0; i < 20; ++i) {
        std::string error;
        m_bridge->Step(error);
    }
    EXPECT_TRUE(m_endpoint.inputs.empty());
    m_endpoint.hostBusy = false;
    ASSERT_TRUE(StepUntil([&] { return m_endpoint.inputs.size() == 2; }));
    EXPECT_EQ(m_endpoint.inputs[0], m_endpoint.inputs[1]);
    EXPECT_EQ(m_endpoint.inputs[0][0], InfoReply::TAG);
}

TEST_F(Bridge, AResetTakesTheDeviceOffTheBusAndBringsItBackAsANewOne) {
    SimOptions options;
    options.faults = {"away=300"};
    Start(options);
    ASSERT_TRUE(StepUntil([&] { return m_endpoint.connected; }));
    const std::string before = m_bench.Device(0).Path();
    m_endpoint.hostWrites.push_back(Reset());
    ASSERT_TRUE(StepUntil([&] { return !m_endpoint.connected; }));
    const std::uint32_t leftAt = m_clock.TickCount();
    ASSERT_TRUE(StepUntil([&] { return m_endpoint.connected; }));
    EXPECT_GE(m_clock.TickCount() - leftAt, 290u);
    EXPECT_EQ(m_endpoint.connects, 2);
    EXPECT_EQ(m_endpoint.disconnects, 1);
    EXPECT_NE(m_bench.Device(0).Path(), before);
    EXPECT_TRUE(m_bench.Device(0).InUpdateMode());

    // The device answers on its new path.
    m_endpoint.hostWrites.push_back(Query());
    ASSERT_TRUE(StepUntil([&] { return !m_endpoint.inputs.empty(); }));
}

TEST_F(Bridge, AnUnpluggedDeviceStaysOffTheBus) {
    SimOptions options;
    options.faults = {"unplug-after=2"};
    Start(options);
    ASSERT_TRUE(StepUntil([&] { return m_endpoint.connected; }));
    m_endpoint.hostWrites.push_back(Query());
    m_endpoint.hostWrites.push_back(Query());
    ASSERT_TRUE(StepUntil([&] { return !m_endpoint.connected; }));
    EXPECT_FALSE(StepUntil([&] { return m_endpoint.connected; }, 500));
    EXPECT_EQ(m_endpoint.disconnects, 1);
}

TEST_F(Bridge, TheOperatorSwapsAQuietWrittenDeviceForTheNextAndEndsAfterTheLast) {
    SimOptions options;
    options.devices = 2;
    Start(options);
    for (std::size_t k = 0; k < 2; ++k) {
        ASSERT_TRUE(StepUntil([&] { return m_endpoint.connected; })) << k;
        // Only a written device is taken away, however long the host is quiet.
        m_clock.SleepFor(10000);
        std::string error;
        ASSERT_TRUE(m_bridge->Step(error));
        ASSERT_TRUE(m_bench.Device(k).IsPresent());

        m_endpoint.hostWrites.push_back(Reset());
        // Back on the bus as a new device: connected a second time.
        const int connects = static_cast<int>(2 * k + 2);
        ASSERT_TRUE(StepUntil([&] { return m_endpoint.connects == connects; }));
        ASSERT_TRUE(m_bench.Device(k).InUpdateMode());
        WriteAddressRecord();
        ASSERT_TRUE(StepUntil([&] { return !m_bench.Device(k).IsPresent(); }));
    }
    std::string error;
    EXPECT_FALSE(m_bridge->Step(error));
    EXPECT_FALSE(m_endpoint.connected);
    EXPECT_EQ(m_endpoint.connects, 4);  // each device before and after its reset
    EXPECT_EQ(m_bench.Device(0).LiveConnections(), 0u);
    EXPECT_EQ(m_bench.Device(1).LiveConnections(), 0u);
    EXPECT_EQ(m_bench.Finish(), std::vector<std::string>{});
}

}  // namespace
}  // namespace tarv::simdevice
