// Whole update runs against the simulated device, on a fake clock: what the flash holds
// afterwards, what the page was told, and how each fault ends the run.
#include <algorithm>
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
        {"map from the middle of a block, into the next one", withMap(3840, 0x40402800)},
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
    // Every fault the simulated device offers, the device leaving the bus at a point of each
    // step among them: a run that fails says why.
    const testing::ReportPlan P(TypicalPackage().Header());
    const auto unplugAfter = [](std::uint32_t k) { return sim::Faults{.unplugAfterReports = k}; };
    // The run's reconnection tries at 2010 ms after the reset and every 100 ms after.
    const std::uint32_t lastTry = 10 + 2000 + 149 * 100;
    struct Case {
        const char* name;
        sim::Faults faults{};
        std::string_view message{};  // empty: the run rides the fault out and succeeds
        std::uint32_t awayMs = 1500;
        bool inUse = false;  // another process holds the device
        PackageWriter writer = TypicalPackage();
    };
    const Case cases[] = {
        {"gone after the query", unplugAfter(P.query), MSG_RECONNECT},
        {"gone after the reset", unplugAfter(P.reset), MSG_RECONNECT},
        {"stays away after the reset", {.stayAwayAfterReset = true}, MSG_RECONNECT},
        {"back for the last reconnection try", {}, "", lastTry - 5},
        {"back after the last try", {}, MSG_RECONNECT, lastTry + 50},
        {"address record", unplugAfter(P.addressRecord), MSG_ADDRESS_RECORD},
        {"map erase", unplugAfter(P.mapErase), MSG_MAP_ERASE},
        {"map write", unplugAfter(P.mapWrite + 7), MSG_MAP_WRITE},
        {"sound erase", unplugAfter(P.soundErase), MSG_SOUND_ERASE},
        {"sound write", unplugAfter(P.soundWrite + 40), MSG_SOUND_WRITE},
        {"check record erase", unplugAfter(P.checkErase), MSG_CHECK_RECORD_ERASE},
        {"check record write", unplugAfter(P.checkWrite + 2), MSG_CHECK_RECORD_WRITE},
        {"header record erase", unplugAfter(P.headerErase + 1), MSG_HEADER_RECORD_ERASE},
        {"header record write", unplugAfter(P.headerWrite), MSG_HEADER_RECORD_WRITE},
        {"finish", unplugAfter(P.finish - 1), MSG_FINISH},
        {"a device that stops answering", {.neverAnswer = true}, MSG_MAP_ERASE},
        {"answers late, within every deadline", {.answerLateMs = 150}, ""},
        {"answers later than the erase's deadline", {.answerLateMs = 5000}, MSG_MAP_ERASE},
        {"replies without payload", {.shortReplyBytes = 1}, MSG_MAP_ERASE},
        {"replies of half a report: the read-back never completes",
         {.shortReplyBytes = 33},
         MSG_MAP_ERASE},
        {"garbled replies: only the read-back's length counts", {.garbageReplies = true}, ""},
        // The reset is refused too, so the device is still there, in its normal mode.
        {"refuses every write", {.refuseWrites = true}, MSG_ADDRESS_RECORD},
        {"may not be opened by this user", {.notPermitted = true}, MSG_RESET},
        {.name = "held by another process", .message = MSG_RESET, .inUse = true},
        {.name = "a package check fails",
         .message = MSG_CHECK_DATA,
         .writer = TypicalPackage().EditHeader([](PackageHeader& h) { h.MapCheck ^= 1; })},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const bool succeeds = c.message.empty();
        sim::DeviceConfig config = Named();
        config.resetAwayMs = c.awayMs;
        Rig rig(m_clock, config, m_before);
        rig.device.SetFaults(c.faults);
        rig.marker.SetHeldElsewhere(c.inUse);
        CUpdatePackage package;
        LoadInto(package, c.writer);
        EXPECT_EQ(rig.Run(package, m_clock), succeeds ? RunOutcome::Success : RunOutcome::Failure);
        EXPECT_EQ(rig.lastMessage, c.message);
        const RecordingPage& page = rig.page;
        EXPECT_EQ(page.messages, succeeds ? std::vector<std::string>{}
                                          : std::vector<std::string>{std::string(c.message)});
        EXPECT_EQ(page.statuses.back(), succeeds ? STATUS_SUCCESS : STATUS_FAILURE);
        EXPECT_EQ(page.sounds, succeeds ? 1 : 0);
        EXPECT_EQ(page.timers, 1);
        EXPECT_EQ(rig.device.LiveConnections(), 0u) << "the link ends closed";
        EXPECT_FALSE(rig.link.Connected());
        EXPECT_EQ(rig.marker.LiveHolds(), 0);
    }
}

TEST_F(Run, TheDeviceLeavingAfterAnyReportFailsTheRunWithTheMessageOfTheStepItCut) {
    const PackageWriter writer = TypicalPackage();
    Load(writer);
    const testing::ReportPlan P(writer.Header());
    // Each step from its first report. The device takes report N and leaves, so the step of
    // report N + 1 fails, but for an erase, which still waits for its answer after its last
    // report. A device gone before the address record never came back from its reset.
    const struct {
        std::uint32_t from;
        std::string_view message;
    } steps[] = {
        {P.query, MSG_RECONNECT},
        {P.addressRecord + 1, MSG_ADDRESS_RECORD},
        {P.mapErase, MSG_MAP_ERASE},
        {P.mapWrite, MSG_MAP_WRITE},
        {P.soundErase, MSG_SOUND_ERASE},
        {P.soundWrite, MSG_SOUND_WRITE},
        {P.checkErase, MSG_CHECK_RECORD_ERASE},
        {P.checkWrite, MSG_CHECK_RECORD_WRITE},
        {P.headerErase, MSG_HEADER_RECORD_ERASE},
        {P.headerWrite, MSG_HEADER_RECORD_WRITE},
        {P.finish, MSG_FINISH},
    };
    const std::uint32_t erases[] = {P.mapErase, P.soundErase, P.checkErase, P.headerErase};
    for (std::uint32_t n = 1; n <= P.finish; ++n) {
        SCOPED_TRACE("the device leaves after report " + std::to_string(n));
        const bool readBack =
            std::find(std::begin(erases), std::end(erases), n - 1) != std::end(erases);
        const std::uint32_t cut = readBack ? n : n + 1;
        std::string_view message;  // after the finish command: nothing was cut
        for (const auto& step : steps) {
            message = cut >= step.from && n < P.finish ? step.message : message;
        }
        Rig rig(m_clock, Named(), m_before);
        rig.device.SetFaults({.unplugAfterReports = n});
        const RunOutcome outcome = rig.Run(m_package, m_clock);
        EXPECT_EQ(outcome, message.empty() ? RunOutcome::Success : RunOutcome::Failure);
        EXPECT_EQ(rig.lastMessage, message);
        EXPECT_EQ(rig.device.LiveConnections(), 0u);
        EXPECT_TRUE(rig.device.Violations().empty()) << rig.device.Violations().front();
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

// --- What the page reads while the run goes on ------------------------------------------------

// The flag that tells the page whether a stop would leave the device without valid data: down
// while the version question waits, up from the reset on; a stop before it keeps the reset back.
TEST_F(Run, TheResetFlagGoesUpRightBeforeTheResetAndAStopBeforeItSendsNoReset) {
    Load(TypicalPackage());
    sim::DeviceConfig same = Named();
    same.programVersion = "P101";  // the package's versions: the run asks first
    same.soundVersion = "S202";
    same.mapVersion = "M303";
    for (const bool stopAtTheQuestion : {false, true}) {
        SCOPED_TRACE(stopAtTheQuestion ? "stopped at the question" : "a whole run");
        Rig rig(m_clock, same, m_before);
        CUpdateRun run(rig.link, m_package, rig.page, m_clock, false);
        rig.page.run = &run;
        std::vector<std::pair<bool, std::uint32_t>> atQuestion, atResetWait;
        rig.page.onEvent = [&](const std::string& event) {
            const std::pair<bool, std::uint32_t> now{run.m_bResetSent.load(), rig.device.Resets()};
            if (event.rfind("message:", 0) == 0) {
                atQuestion.push_back(now);
                if (stopAtTheQuestion) {
                    run.RequestStop();  // as Quit does, the question still open
                }
            } else if (event == "status:" + std::string(STATUS_WAITING_FOR_RESET)) {
                atResetWait.push_back(now);
            }
        };
        run.Start();
        run.Join();
        EXPECT_EQ(atQuestion, (std::vector<std::pair<bool, std::uint32_t>>{{false, 0}}));
        if (stopAtTheQuestion) {
            EXPECT_EQ(run.Outcome(), RunOutcome::Stopped);
            EXPECT_FALSE(run.m_bResetSent.load());
            EXPECT_EQ(rig.device.Resets(), 0u) << "nothing rewritten";
            EXPECT_TRUE(atResetWait.empty());
        } else {
            EXPECT_EQ(run.Outcome(), RunOutcome::Success);
            EXPECT_EQ(atResetWait, (std::vector<std::pair<bool, std::uint32_t>>{{true, 1}}));
        }
    }
}

// A failure is the run's outcome, with its message and its moment, before its box is shown: the
// time the user takes over the box is not the run's, and a stop while it is open does not turn
// the failure into a stop.
TEST_F(Run, AFailureIsRecordedBeforeItsBoxAndStaysAFailure) {
    Load(TypicalPackage());
    constexpr std::uint32_t USER_TAKES_MS = 30000;
    const struct {
        const char* name;
        sim::Faults faults;
        bool stopWhileOpen;
    } cases[] = {
        {"never back after the reset", {.stayAwayAfterReset = true}, false},
        {"unplugged in the map write", {.unplugAfterReports = 20}, false},
        {"unplugged, then stopped while the box is open", {.unplugAfterReports = 20}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(m_clock, Named(), m_before);
        rig.device.SetFaults(c.faults);
        CUpdateRun run(rig.link, m_package, rig.page, m_clock, false);
        rig.page.run = &run;
        struct {
            bool failed = false;
            RunOutcome outcome = RunOutcome::Running;
            std::string message;
            std::uint32_t endTick = 0, tick = 0;
        } atBox;
        rig.page.onEvent = [&](const std::string& event) {
            if (event.rfind("message:", 0) != 0) {
                return;
            }
            atBox = {run.Failed(), run.Outcome(), run.LastMessage(), run.EndTick(),
                     m_clock.TickCount()};
            EXPECT_EQ("message:" + atBox.message, event);
            m_clock.SetTick(m_clock.TickCount() + USER_TAKES_MS);
            if (c.stopWhileOpen) {
                run.RequestStop();
            }
        };
        run.Start();
        run.Join();

        EXPECT_TRUE(atBox.failed);
        EXPECT_EQ(atBox.outcome, RunOutcome::Failure) << "while the box is still open";
        EXPECT_EQ(atBox.endTick, atBox.tick);
        EXPECT_EQ(run.EndTick(), atBox.tick) << "the user's time over the box is left out";
        EXPECT_EQ(run.Outcome(), RunOutcome::Failure);
        EXPECT_EQ(run.LastMessage(), atBox.message);
    }
}

}  // namespace
}  // namespace tarv
