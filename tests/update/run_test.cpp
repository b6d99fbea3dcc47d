// Whole update runs against the simulated device, on a fake clock: what the flash holds
// afterwards, what the page was told, and how each fault ends the run.
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "link/hid_link.h"
#include "sim/simulator.h"
#include "support/expected_flash.h"
#include "support/fake_clock.h"
#include "support/package_writer.h"
#include "support/report_plan.h"
#include "support/temp_dir.h"
#include "update/messages.h"
#include "update/update_run.h"

namespace tarv {
namespace {

using testing::Bytes;
using testing::PackageWriter;
using testing::PatternBytes;
using testing::TypicalPackage;

// Records everything the run tells it. `onEvent` runs on the worker at each call, for tests that
// act at a chosen moment of the run.
class RecordingPage final : public ProgressPage {
  public:
    CUpdateRun* run = nullptr;
    MessageAnswer answer = MessageAnswer::Yes;
    std::function<void(const std::string& event)> onEvent;

    void SetStatusText(std::string_view text) override {
        Record("status", text);
        const std::lock_guard guard(m_mutex);
        statuses.emplace_back(text);
    }
    void PostProgress() override {
        Record("progress", "");
        const std::lock_guard guard(m_mutex);
        percents.push_back(run->m_nPercent.load());
    }
    MessageAnswer ShowMessage(std::string_view text, MessageButtons buttons) override {
        Record("message", text);
        const std::lock_guard guard(m_mutex);
        (buttons == MessageButtons::YesNo ? questions : messages).emplace_back(text);
        return buttons == MessageButtons::YesNo ? answer : MessageAnswer::Ok;
    }
    void ArmRunEndTimer() override {
        Record("timer", "");
        ++timers;
    }
    void PlaySuccessSound() override {
        Record("sound", "");
        ++sounds;
    }

    std::vector<std::string> statuses, messages, questions;
    std::vector<std::int32_t> percents;
    int timers = 0;
    int sounds = 0;
    int callsAfterStop = 0;

  private:
    void Record(const char* kind, std::string_view text) {
        if (run != nullptr && run->StopRequested()) {
            ++callsAfterStop;
        }
        if (onEvent) {
            onEvent(std::string(kind) + ":" + std::string(text));
        }
    }
    std::mutex m_mutex;
};

// A fresh device, link and page for one case of a table.
struct Rig {
    Rig(Clock& clock, sim::DeviceConfig config, const Bytes& before)
        : transport(clock),
          device(transport.AddDevice(std::move(config))),
          link(transport, marker, clock) {
        device.PresetFlash(0, before);
    }

    RunOutcome Run(CUpdatePackage& package, Clock& clock, bool continuous = false) {
        CUpdateRun run(link, package, page, clock, continuous);
        page.run = &run;
        run.Start();
        run.Join();
        page.run = nullptr;
        lastMessage = run.LastMessage();
        return run.Outcome();
    }

    Bytes Flash() { return device.ReadFlash(0, testing::FLASH_BYTES); }

    sim::SimTransport transport;
    sim::SimInUseMarker marker;
    sim::SimulatedDevice& device;
    CHidLink link;
    RecordingPage page;
    std::string lastMessage;
};

class Run : public ::testing::Test {
  protected:
    sim::SimulatedDevice& AddDevice(sim::DeviceConfig config = {}) {
        config.name = "tarv";
        config.programVersion = "P900";  // not the versions of the test packages
        sim::SimulatedDevice& device = m_transport.AddDevice(config);
        device.PresetFlash(0, m_before);
        return device;
    }

    void Load(const PackageWriter& writer) { LoadInto(m_package, writer); }

    void LoadInto(CUpdatePackage& package, const PackageWriter& writer) {
        writer.WriteTo(m_dir / "TarvUpdate.Bin");
        LoadOptions options;
        options.packagePath = m_dir / "TarvUpdate.Bin";
        options.clock = &m_clock;
        ASSERT_TRUE(LoadPackage(package, options).ok());
    }

    static sim::DeviceConfig Named(sim::DeviceConfig config = {}) {
        config.name = "tarv";
        return config;
    }

    RunOutcome RunOnce(bool continuous = false) {
        CUpdateRun run(m_link, m_package, m_page, m_clock, continuous);
        m_page.run = &run;
        run.Start();
        run.Join();
        m_page.run = nullptr;
        m_lastMessage = run.LastMessage();
        return run.Outcome();
    }

    Bytes Flash(sim::SimulatedDevice& device) { return device.ReadFlash(0, testing::FLASH_BYTES); }

    const Bytes m_before = testing::FlashPattern();
    testing::FakeClock m_clock{100000};
    sim::SimTransport m_transport{m_clock};
    sim::SimInUseMarker m_marker;
    CHidLink m_link{m_transport, m_marker, m_clock};
    testing::TempDir m_dir;
    CUpdatePackage m_package;
    RecordingPage m_page;
    std::string m_lastMessage;
};

PackageWriter ProgramOnly() {
    PackageWriter writer;
    writer.Program(PatternBytes(3000, 1), 0x40010000, "P101");
    return writer;
}

// --- Successful runs ---------------------------------------------------------------------------

TEST_F(Run, WritesExactlyTheExpectedFlashForEachKindOfPackage) {
    const auto withSound = [](std::size_t n) {
        return ProgramOnly().Sound(PatternBytes(n, 2), 0x40100000, "S202");
    };
    const auto withMap = [](std::size_t n, std::uint32_t at = 0x40400000) {
        return ProgramOnly().Map(PatternBytes(n, 3), at, "M303").MapScrambleLength(100);
    };
    const struct {
        const char* name;
        PackageWriter writer;
    } cases[] = {
        {"program only", ProgramOnly()},
        {"program and sound of one block", withSound(4096)},
        {"sound one byte over a block", withSound(4097)},
        {"sound not a whole number of pages", withSound(1000)},
        {"program and a map filling one block with its table", withMap(3840)},
        {"map one byte more: two blocks", withMap(3841)},
        {"map of whole pages", withMap(4096)},
        {"map whose pages run past its only erased block", withMap(3840, 0x40402800)},
        {"all three", TypicalPackage()},
        {"all three on 1 KiB boundaries", PackageWriter()
                                              .Program(PatternBytes(8192, 4), 0x40010000, "P101")
                                              .Sound(PatternBytes(16384, 5), 0x40200000, "S202")
                                              .Map(PatternBytes(10240, 6), 0x40600000, "M303")
                                              .MapScrambleLength(0xFFFFFFFF)},
    };
    for (const auto& c : cases) {
        Rig rig(m_clock, Named(), m_before);
        CUpdatePackage package;
        LoadInto(package, c.writer);
        EXPECT_EQ(rig.Run(package, m_clock), RunOutcome::Success)
            << c.name << ": " << rig.lastMessage;
        sim::SimulatedDevice& device = rig.device;
        RecordingPage& page = rig.page;
        const Bytes after = device.ReadFlash(0, testing::FLASH_BYTES);
        EXPECT_EQ(testing::FirstDifference(after, testing::ExpectFlash(c.writer, m_before, after)),
                  "")
            << c.name;
        EXPECT_TRUE(device.Violations().empty()) << c.name << ": " << device.Violations().front();
        EXPECT_EQ(page.statuses.back(), STATUS_SUCCESS) << c.name;
        EXPECT_EQ(page.sounds, 1) << c.name;
        EXPECT_EQ(page.timers, 1) << c.name;
        EXPECT_TRUE(page.messages.empty()) << c.name;
        EXPECT_FALSE(device.InUpdateMode()) << c.name << ": the finish command ends update mode";
        EXPECT_EQ(device.LiveConnections(), 0u) << c.name;
        EXPECT_EQ(m_marker.LiveHolds(), 0) << c.name;
    }
}

TEST_F(Run, TheLastPartPageOfEachAreaReachesTheDevice) {
    // Sound 5000 bytes (19 whole pages and 136 bytes), map 2100 bytes behind its table (9 whole
    // pages and 52 bytes): every byte of both is on the device, and the part pages went out
    // whole, four data reports a page.
    const PackageWriter writer = TypicalPackage();
    Load(writer);
    sim::SimulatedDevice& device = AddDevice();
    ASSERT_EQ(RunOnce(), RunOutcome::Success) << m_lastMessage;

    const Bytes payload = writer.Payload();
    const PackageHeader h = writer.Header();
    const Bytes sound(payload.begin() + h.Sound.Offset,
                      payload.begin() + h.Sound.Offset + h.Sound.Length);
    EXPECT_EQ(device.ReadFlash(h.Sound.FlashAddress - FLASH_BASE, sound.size()), sound);
    // The map's first 64 bytes travel scrambled; its tail is plain, after the table.
    const Bytes mapTail(payload.begin() + h.Map.Offset + 2048,
                        payload.begin() + h.Map.Offset + h.Map.Length);
    EXPECT_EQ(device.ReadFlash(h.Map.FlashAddress - FLASH_BASE + 256 + 2048, mapTail.size()),
              mapTail);
    // The address record, the map's 10 pages, the sound's 20 and the two records.
    EXPECT_EQ(device.DataReports(), 4u * (1 + 10 + 20 + 2));
}

TEST_F(Run, TellsThePageEachPercentageAndStatusInOrder) {
    // Program 1 KiB, sound 4 pages, map 3 pages plus its table: 3 units once the map is counted.
    Load(PackageWriter()
             .Program(PatternBytes(1024, 1), 0x40010000, "P101")
             .Sound(PatternBytes(1024, 2), 0x40100000, "S202")
             .Map(PatternBytes(768, 3), 0x40400000, "M303"));
    AddDevice();
    ASSERT_EQ(RunOnce(), RunOutcome::Success) << m_lastMessage;

    // Map: before its erase and at its first KiB; sound likewise; the explicit 100; then the two
    // records count once more each.
    EXPECT_EQ(m_page.percents, (std::vector<std::int32_t>{10, 10, 40, 40, 100, 70, 100}));
    // Estimate: 4064 + 2000 + 3000 at the checks, back to 4064 when both check bytes match,
    // then 34 ms per erased block and 512 ms per 16 KiB boundary.
    EXPECT_EQ(m_page.statuses, (std::vector<std::string>{
                                   "To updata ,please wait...",
                                   "Erase old data ,please wait ...",
                                   "Update:10% complete,abount 3 seconds need ...",
                                   "Erase old data ,please wait ...",
                                   "Update:40% complete,abount 2 seconds need ...",
                                   "Update:70% complete,abount 2 seconds need ...",
                                   "Update:100% complete,abount 1 seconds need ...",
                                   "Updata success !",
                               }));
}

TEST_F(Run, ContinuousModeSendsNoFinishCommand) {
    Load(TypicalPackage());
    sim::SimulatedDevice& device = AddDevice();
    ASSERT_EQ(RunOnce(/*continuous=*/true), RunOutcome::Success) << m_lastMessage;
    for (const CommandPacket& command : device.Commands()) {
        EXPECT_NE(command.code, CMD_FINISH);
    }
    EXPECT_TRUE(device.InUpdateMode());
    EXPECT_EQ(device.LiveConnections(), 0u) << "the link is closed all the same";
}

// --- The version question ----------------------------------------------------------------------

TEST_F(Run, AsksBeforeRewritingADeviceThatHasThePackagesVersions) {
    Load(TypicalPackage());
    sim::DeviceConfig same;
    same.name = "tarv";
    same.programVersion = "P101";
    same.soundVersion = "S202";
    same.mapVersion = "M303";

    for (const MessageAnswer answer : {MessageAnswer::Yes, MessageAnswer::No}) {
        Rig rig(m_clock, same, m_before);
        rig.page.answer = answer;
        const RunOutcome outcome = rig.Run(m_package, m_clock);
        sim::SimulatedDevice& device = rig.device;
        RecordingPage& page = rig.page;

        ASSERT_EQ(page.questions, (std::vector<std::string>{std::string(MSG_LATEST_VERSION)}));
        if (answer == MessageAnswer::Yes) {
            EXPECT_EQ(outcome, RunOutcome::Success);
        } else {
            EXPECT_EQ(outcome, RunOutcome::Declined);
            EXPECT_EQ(device.Commands(), (std::vector<CommandPacket>{{CMD_QUERY_INFO, 0x80, 1}}));
            EXPECT_EQ(device.ReadFlash(0, testing::FLASH_BYTES), m_before);
            EXPECT_TRUE(page.statuses.empty());
            EXPECT_EQ(device.LiveConnections(), 0u);
        }
    }
}

TEST_F(Run, AReplyWithLOf13AsksNothing) {
    Load(TypicalPackage());
    sim::DeviceConfig same;
    same.programVersion = "P101";
    same.soundVersion = "S202";
    same.mapVersion = "M303";
    same.infoLength = 13;
    AddDevice(same);
    EXPECT_EQ(RunOnce(), RunOutcome::Success);
    EXPECT_TRUE(m_page.questions.empty());
}

// --- Failures ----------------------------------------------------------------------------------

TEST_F(Run, EachFaultEndsTheRunWithItsMessageAndTheLinkClosed) {
    // The reports a run of TypicalPackage sends, numbered as the device counts them.
    const testing::ReportPlan P(TypicalPackage().Header());
    const auto unplugAfter = [](std::uint32_t k) { return sim::Faults{.unplugAfterReports = k}; };
    // The run's reconnection tries at 2010 ms after the reset and every 100 ms after.
    const std::uint32_t lastTry = 10 + 2000 + 149 * 100;
    const struct {
        const char* name;
        PackageWriter writer;
        sim::Faults faults;
        std::uint32_t awayMs;
        std::vector<std::string_view> messages;  // empty: the run succeeds, or fails silently
        bool succeeds;
    } cases[] = {
        {"gone after the reset",
         TypicalPackage(),
         unplugAfter(P.reset),
         1500,
         {MSG_RECONNECT},
         false},
        {"stays away after the reset",
         TypicalPackage(),
         {.stayAwayAfterReset = true},
         1500,
         {MSG_RECONNECT},
         false},
        {"back for the last reconnection try", TypicalPackage(), {}, lastTry - 5, {}, true},
        {"back after the last try", TypicalPackage(), {}, lastTry + 50, {MSG_RECONNECT}, false},
        {"a package check fails",
         TypicalPackage().EditHeader([](PackageHeader& h) { h.MapCheck ^= 1; }),
         {},
         1500,
         {MSG_CHECK_DATA},
         false},
        {"address record lost: no message",
         TypicalPackage(),
         unplugAfter(P.addressRecord),
         1500,
         {},
         false},
        {"map erase", TypicalPackage(), unplugAfter(P.mapErase), 1500, {MSG_MAP_ERASE}, false},
        {"map write", TypicalPackage(), unplugAfter(P.mapWrite + 7), 1500, {MSG_MAP_WRITE}, false},
        {"sound erase",
         TypicalPackage(),
         unplugAfter(P.soundErase),
         1500,
         {MSG_SOUND_ERASE},
         false},
        {"sound write",
         TypicalPackage(),
         unplugAfter(P.soundWrite + 40),
         1500,
         {MSG_SOUND_WRITE},
         false},
        {"check record erase",
         TypicalPackage(),
         unplugAfter(P.checkErase),
         1500,
         {MSG_CHECK_RECORD_ERASE},
         false},
        {"check record write",
         TypicalPackage(),
         unplugAfter(P.checkWrite + 2),
         1500,
         {MSG_CHECK_RECORD_WRITE},
         false},
        {"header record erase",
         TypicalPackage(),
         unplugAfter(P.headerErase + 1),
         1500,
         {MSG_HEADER_RECORD_ERASE},
         false},
        {"header record write",
         TypicalPackage(),
         unplugAfter(P.headerWrite),
         1500,
         {MSG_HEADER_RECORD_WRITE},
         false},
        {"finish", TypicalPackage(), unplugAfter(P.finish - 1), 1500, {MSG_FINISH}, false},
        {"a device that stops answering",
         TypicalPackage(),
         {.neverAnswer = true},
         1500,
         {MSG_MAP_ERASE},
         false},
    };
    for (const auto& c : cases) {
        sim::DeviceConfig config = Named();
        config.resetAwayMs = c.awayMs;
        Rig rig(m_clock, config, m_before);
        rig.device.SetFaults(c.faults);
        CUpdatePackage package;
        LoadInto(package, c.writer);
        EXPECT_EQ(rig.Run(package, m_clock), c.succeeds ? RunOutcome::Success : RunOutcome::Failure)
            << c.name;
        const RecordingPage& page = rig.page;
        EXPECT_EQ(page.messages, std::vector<std::string>(c.messages.begin(), c.messages.end()))
            << c.name;
        EXPECT_EQ(page.statuses.back(), c.succeeds ? STATUS_SUCCESS : STATUS_FAILURE) << c.name;
        EXPECT_EQ(page.sounds, c.succeeds ? 1 : 0) << c.name;
        EXPECT_EQ(page.timers, 1) << c.name;
        EXPECT_EQ(rig.device.LiveConnections(), 0u) << c.name << ": the link ends closed";
        EXPECT_FALSE(rig.link.Connected()) << c.name;
    }
}

TEST_F(Run, NothingReachesTheFlashBeforeThePackageHasPassed) {
    // Packages the checks refuse, those whose writes could not end well among them: the device
    // hears the query and the reset, and nothing of its flash changes.
    const struct {
        const char* name;
        PackageWriter writer;
        std::string_view message;
    } cases[] = {
        {"a check byte that differs",
         TypicalPackage().EditHeader([](PackageHeader& h) { h.ProgramCheck ^= 0x40; }),
         MSG_CHECK_DATA},
        {"a sound of no bytes, nothing to erase", TypicalPackage().Sound({}, 0x40100000, "S000"),
         MSG_SOUND_ERASE},
        {"a sound under one page", TypicalPackage().Sound(PatternBytes(100, 5), 0x40100000, "S001"),
         MSG_SOUND_WRITE},
        {"a sound reaching past the end of the flash",
         ProgramOnly()
             .Sound(PatternBytes(0x100000, 5), 0x40780000, "S001")
             .EditHeader([](PackageHeader& h) { h.Map.FlashAddress = 0x407FFFFF; }),
         MSG_ADDRESS},
        {"a sound ending in the block the map starts in",
         TypicalPackage().EditHeader([](PackageHeader& h) { h.Map.FlashAddress = 0x40101800; }),
         MSG_ADDRESS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(m_clock, Named(), m_before);
        CUpdatePackage package;
        LoadInto(package, c.writer);
        EXPECT_EQ(rig.Run(package, m_clock), RunOutcome::Failure);

        EXPECT_EQ(rig.page.messages, (std::vector<std::string>{std::string(c.message)}));
        ASSERT_GE(rig.page.statuses.size(), 2u);
        const std::vector<std::string> tail(rig.page.statuses.end() - 2, rig.page.statuses.end());
        EXPECT_EQ(tail,
                  (std::vector<std::string>{"Updata faile ,please try again !",
                                            "Updata faile,please connect usb cable to device !"}));
        EXPECT_EQ(rig.device.Commands(),
                  (std::vector<CommandPacket>{{CMD_QUERY_INFO, 0x80, 1},
                                              {CMD_RESET, CONFIRM_WORD_1, CONFIRM_WORD_2}}));
        EXPECT_EQ(rig.Flash(), m_before);
        EXPECT_TRUE(rig.device.Violations().empty());
    }
}

TEST_F(Run, WithoutADeviceTheResetFailsAndNoReconnectionIsTried) {
    Load(TypicalPackage());
    sim::SimulatedDevice& device = AddDevice();
    device.Unplug();
    const std::uint32_t start = m_clock.TickCount();
    EXPECT_EQ(RunOnce(), RunOutcome::Failure);
    EXPECT_EQ(m_page.messages, (std::vector<std::string>{std::string(MSG_RESET)}));
    EXPECT_LT(m_clock.TickCount() - start, 1000u) << "no reconnection wait";
    EXPECT_EQ(m_transport.OpenRequests().size(), 0u);
}

// --- Stopping ----------------------------------------------------------------------------------

// Stops the run from the test's thread when the page sees `event` for the `nth` time, and holds
// the worker until the stop has been requested.
TEST_F(Run, AStopAtAnyPointEndsTheRunPromptlyWithTheLinkClosed) {
    Load(TypicalPackage());
    const struct {
        const char* event;
        int nth;
    } points[] = {
        {"status:To updata ,please wait...", 1},  // during the reset wait
        {"progress:", 1},                         // before the map erase
        {"progress:", 3},                         // inside the map write
        {"progress:", 9},                         // inside the sound write
        {"progress:", 12},                        // the check record
    };
    for (const auto& point : points) {
        sim::SimTransport transport(m_clock);
        sim::SimulatedDevice& device = transport.AddDevice(sim::DeviceConfig{.name = "tarv"});
        CHidLink link(transport, m_marker, m_clock);
        RecordingPage page;
        CUpdateRun run(link, m_package, page, m_clock, false);
        page.run = &run;

        std::promise<void> reached;
        std::promise<void> stopped;
        std::shared_future<void> stoppedFuture = stopped.get_future().share();
        int seen = 0;
        page.onEvent = [&](const std::string& event) {
            if (event == point.event && ++seen == point.nth) {
                reached.set_value();
                stoppedFuture.wait();
            }
        };
        run.Start();
        reached.get_future().wait();
        const std::uint64_t reportsAtStop = device.ReportsReceived();
        run.RequestStop();
        const std::uint32_t stopTick = m_clock.TickCount();
        stopped.set_value();
        run.Join();

        EXPECT_EQ(run.Outcome(), RunOutcome::Stopped) << point.event << point.nth;
        EXPECT_LE(device.ReportsReceived(), reportsAtStop + 1) << point.event << point.nth;
        EXPECT_LT(m_clock.TickCount() - stopTick, 100u) << point.event << point.nth;
        EXPECT_EQ(page.callsAfterStop, 0) << point.event << point.nth;
        EXPECT_EQ(device.LiveConnections(), 0u) << point.event << point.nth;
        EXPECT_FALSE(link.Connected());
    }
}

// --- No sleep during a write ---------------------------------------------------------------------

// Notes what the device had been sent when the hold was taken and when it was released.
class RecordingInhibitor final : public SleepInhibitor {
  public:
    explicit RecordingInhibitor(sim::SimulatedDevice& device) : m_device(device) {}

    struct Moment {
        std::uint32_t resets;
        std::uint64_t reports;
    };
    std::vector<std::string> reasons;
    std::vector<Moment> taken, released;

    std::unique_ptr<InhibitHold> Hold(std::string_view why) override {
        reasons.emplace_back(why);
        taken.push_back(Now());
        return std::make_unique<Hold_>(*this);
    }

  private:
    struct Hold_ final : InhibitHold {
        explicit Hold_(RecordingInhibitor& owner) : owner(owner) {}
        ~Hold_() override { owner.released.push_back(owner.Now()); }
        bool Held() const override { return true; }
        RecordingInhibitor& owner;
    };
    Moment Now() const { return {m_device.Resets(), m_device.ReportsReceived()}; }
    sim::SimulatedDevice& m_device;
};

TEST_F(Run, HoldsTheMachineAwakeFromTheResetToTheEndOfTheRunOnEveryPath) {
    Load(TypicalPackage());
    const struct {
        const char* name;
        sim::Faults faults;
        RunOutcome outcome;
    } cases[] = {
        {"a whole run", {}, RunOutcome::Success},
        {"unplugged in the map write", {.unplugAfterReports = 20}, RunOutcome::Failure},
        {"never back after the reset", {.stayAwayAfterReset = true}, RunOutcome::Failure},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim::SimTransport transport(m_clock);
        sim::SimulatedDevice& device = transport.AddDevice(Named());
        device.SetFaults(c.faults);
        CHidLink link(transport, m_marker, m_clock);
        RecordingPage page;
        RecordingInhibitor inhibitor(device);
        CUpdateRun run(link, m_package, page, m_clock, false);
        run.SetInhibitor(&inhibitor);
        page.run = &run;
        run.Start();
        run.Join();

        EXPECT_EQ(run.Outcome(), c.outcome);
        EXPECT_EQ(inhibitor.reasons, std::vector<std::string>{"firmware update in progress"});
        ASSERT_EQ(inhibitor.taken.size(), 1u);
        ASSERT_EQ(inhibitor.released.size(), 1u) << "released once the run is over";
        // Taken after the query, before the reset went out; released after the last report.
        EXPECT_EQ(inhibitor.taken[0].resets, 0u);
        EXPECT_EQ(inhibitor.taken[0].reports, 1u);
        EXPECT_EQ(inhibitor.released[0].reports, device.ReportsReceived());
        EXPECT_GE(inhibitor.released[0].resets, 1u);
    }
}

TEST_F(Run, ADeclinedRunNeverHoldsTheMachineAwake) {
    Load(TypicalPackage());
    sim::DeviceConfig same = Named();
    same.programVersion = "P101";
    same.soundVersion = "S202";
    same.mapVersion = "M303";
    Rig rig(m_clock, same, m_before);
    RecordingInhibitor inhibitor(rig.device);
    rig.page.answer = MessageAnswer::No;
    CUpdateRun run(rig.link, m_package, rig.page, m_clock, false);
    run.SetInhibitor(&inhibitor);
    rig.page.run = &run;
    run.Start();
    run.Join();
    EXPECT_EQ(run.Outcome(), RunOutcome::Declined);
    EXPECT_TRUE(inhibitor.taken.empty());
}

}  // namespace
}  // namespace tarv
