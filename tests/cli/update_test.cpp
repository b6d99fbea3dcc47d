// `update` on the simulated device, end to end: the real binary against the simulator on a
// virtual clock, its flash compared with what a correct run leaves, its exact messages, its exit
// status and its event stream.
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/report_plan.h"
#include "update_flow.h"

namespace tarv {
namespace {

using testing::Bytes;
using testing::CLI_NAME;
using testing::CliResult;
using testing::Events;
using testing::JsonLines;
using testing::PackageWriter;
using testing::PatternBytes;
using testing::ReportPlan;
using testing::RunCli;
using testing::TypicalPackage;
using testing::UpdateFlow;

const std::vector<std::string> INSTANT = {"--sim-instant"};

std::vector<std::string> With(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string MessageLine(const std::string& text) {
    return std::string(CLI_NAME) + ": " + text + "\n";
}

// The texts of the run, as the updater shows them.
const std::string STATUS_SUCCESS = "Updata success !";
const std::string STATUS_FAILURE = "Updata faile,please connect usb cable to device !";
const std::string MSG_NO_DEVICE = "No device, please connect usb cable to device !";
const std::string MSG_RECONNECT = "Connect to device faile,please connect usb cable to device !";
const std::string MSG_ADDRESS_RECORD =
    "Send address command faile,please connect usb cable to device !";
const std::string MSG_LATEST_VERSION = "It's the latest version, Do you continue to updata ?";

// --- Packages -----------------------------------------------------------------------------------

PackageWriter Package(std::size_t program, std::size_t sound, std::size_t map) {
    PackageWriter writer;
    writer.Program(PatternBytes(program, 11), 0x40010000, "P101").MapScrambleLength(64);
    if (sound > 0) {
        writer.Sound(PatternBytes(sound, 12), 0x40100000, "S202");
    }
    if (map > 0) {
        writer.Map(PatternBytes(map, 13), 0x40400000, "M303");
    }
    return writer;
}

TEST(UpdateSimulated, WritesExactlyWhatTheUpdaterWritesForEveryShapeOfPackage) {
    // The map area holds the map and its 256-byte table, so map lengths 256 short of a page,
    // kilobyte or block boundary put the area on it.
    const struct {
        const char* name;
        PackageWriter writer;
    } cases[] = {
        {"program only", Package(3000, 0, 0)},
        {"program and sound", Package(3000, 5000, 0)},
        {"program and map", Package(3000, 0, 2100)},
        {"all three", TypicalPackage()},
        {"one page of sound, map area one page", Package(1024, 256, 1)},
        {"sound and map area a kilobyte", Package(1024, 1024, 768)},
        {"sound and map area a block", Package(4096, 4096, 3840)},
        {"a byte short of a block", Package(4095, 4095, 3839)},
        {"a byte past a block", Package(4097, 4097, 3841)},
        {"program of 1536 bytes before the sound", Package(1536, 8192, 4096)},
        {"past 16 KiB boundaries", Package(20000, 65536 + 300, 40000)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const UpdateFlow flow(c.writer);
        const CliResult run = flow.Run(INSTANT);
        ASSERT_EQ(run.status, 0) << run.out << run.err;
        EXPECT_EQ(run.err, "");
        EXPECT_NE(run.out.find("Status: " + STATUS_SUCCESS + "\n"), std::string::npos) << run.out;
        EXPECT_EQ(flow.Mismatch(), "");
    }
}

// --- Faults -------------------------------------------------------------------------------------

std::string UnplugAfter(std::uint32_t reports) {
    return "unplug-after=" + std::to_string(reports);
}

TEST(UpdateSimulated, EachFaultEndsTheRunWithItsExactMessage) {
    const PackageWriter writer = TypicalPackage();
    const ReportPlan plan(writer.Header());
    // The reconnection tries 150 times 100 ms apart after a 2 s wait: the last try comes 16.9 s
    // (and the closing's 10 ms) after the reset.
    const struct {
        std::string name;
        std::vector<std::string> faults;
        std::string message;  // every failed run says why
    } cases[] = {
        {"unplugged at the query", {UnplugAfter(plan.query)}, MSG_RECONNECT},
        {"unplugged at the address record",
         {UnplugAfter(plan.addressRecord + 1)},
         MSG_ADDRESS_RECORD},
        {"unplugged at the map erase",
         {UnplugAfter(plan.mapErase)},
         "Erase data faile ,please connect usb cable to device !"},
        {"unplugged in the map write",
         {UnplugAfter(plan.mapWrite + 5)},
         "Write data faile, please connect usb cable to device !"},
        {"unplugged at the sound erase",
         {UnplugAfter(plan.soundErase)},
         "Erase updata file faile ,please connect usb cable to device !"},
        {"unplugged in the sound write",
         {UnplugAfter(plan.soundWrite + 40)},
         "Write updata file faile ,please connect usb cable to device !"},
        {"unplugged at the check record erase",
         {UnplugAfter(plan.checkErase)},
         "Erase check code faile,please connect usb cable to device"},
        {"unplugged in the check record write",
         {UnplugAfter(plan.checkWrite + 1)},
         "Write check code faile,please connect usb cable to device"},
        {"unplugged at the header record erase",
         {UnplugAfter(plan.headerErase)},
         "Erase file faile,please connect usb cable to device"},
        {"unplugged in the header record write",
         {UnplugAfter(plan.headerWrite + 2)},
         "Write file faile,please connect usb cable to device"},
        {"unplugged before the finish command",
         {UnplugAfter(plan.finish - 1)},
         "Send over command faile !"},
        {"never back after the reset", {"stay-away"}, MSG_RECONNECT},
        {"back just after the last reconnection try", {"away=17000"}, MSG_RECONNECT},
        {"never answers",
         {"never-answer"},
         "Erase data faile ,please connect usb cable to device !"},
        {"answers later than the erase's deadline",
         {"late=5000"},
         "Erase data faile ,please connect usb cable to device !"},
        {"replies without payload",
         {"short=1"},
         "Erase data faile ,please connect usb cable to device !"},
        {"refuses every write", {"refuse-writes"}, MSG_ADDRESS_RECORD},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const UpdateFlow flow(writer);
        std::vector<std::string> extra = With(INSTANT, {"--json"});
        for (const std::string& fault : c.faults) {
            extra = With(extra, {"--sim-fault", fault});
        }
        const CliResult run = flow.Run(extra);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, MessageLine(c.message));
        const auto results = Events(JsonLines(run.out), "result");
        ASSERT_EQ(results.size(), 1u) << run.out;
        EXPECT_EQ(results[0]["outcome"], "failure");
        EXPECT_EQ(results[0]["status"], STATUS_FAILURE);
        EXPECT_EQ(results[0]["message"], c.message);
    }
}

TEST(UpdateSimulated, FaultsTheRunRidesOutLeaveACorrectFlash) {
    const struct {
        const char* name;
        const char* fault;
    } cases[] = {
        {"back at the last reconnection try", "away=16900"},
        {"answers late, within the deadlines", "late=150"},
        {"garbled replies: only the read-back's length counts", "garbage"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const UpdateFlow flow(TypicalPackage());
        const CliResult run = flow.Run(With(INSTANT, {"--sim-fault", c.fault}));
        EXPECT_EQ(run.status, 0) << run.out << run.err;
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(flow.Mismatch(), "");
    }
}

TEST(UpdateSimulated, ADeviceInUseElsewhereIsNoDeviceAndStaysUntouched) {
    const UpdateFlow flow(TypicalPackage());
    const CliResult run = flow.Run(With(INSTANT, {"--sim-fault", "in-use"}));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, MessageLine(MSG_NO_DEVICE));
    EXPECT_EQ(run.out, "") << "no run starts";
    EXPECT_EQ(flow.After(), flow.Before());
}

TEST(UpdateSimulated, ADeviceThatMayNotBeOpenedGetsThePermissionHint) {
    const UpdateFlow flow(TypicalPackage());
    const CliResult run = flow.Run(With(INSTANT, {"--json", "--sim-fault", "not-permitted"}));
    EXPECT_EQ(run.status, 1);
    const std::string hint =
        "The device is at sim:tarv1/0, but this user may not open it. To allow it, install the "
        "udev rule: sudo install -m 0644 res/70-tarv-updater.rules /etc/udev/rules.d/ && sudo "
        "udevadm control --reload-rules && sudo udevadm trigger --subsystem-match=hidraw "
        "--subsystem-match=usb";
    EXPECT_EQ(run.err, MessageLine(MSG_NO_DEVICE) + MessageLine(hint));
    const auto hints = Events(JsonLines(run.out), "hint");
    ASSERT_EQ(hints.size(), 1u);
    EXPECT_EQ(hints[0]["text"], hint);
    EXPECT_EQ(flow.After(), flow.Before());
}

// --- The version question -----------------------------------------------------------------------

TEST(UpdateSimulated, TheVersionQuestionIsAnsweredByTheOptionsOrDeclined) {
    // The package carries P101, S202 and M303. Character 0 of the program's version is the
    // reply's tag and takes no part in the comparison.
    const struct {
        const char* name;
        const char* versions;
        std::vector<std::string> answer;
        const char* expectedAnswer;  // nullptr: no question
        int status;
        bool rewritten;
    } cases[] = {
        {"same versions, --yes", "P101,S202,M303", {"--yes"}, "yes", 0, true},
        {"same versions, --no", "P101,S202,M303", {"--no"}, "no", 1, false},
        {"same versions, nobody to ask", "P101,S202,M303", {}, "no", 1, false},
        {"same apart from the tag position, --no", "X101,S202,M303", {"--no"}, "no", 1, false},
        {"another sound, --no", "P101,S203,M303", {"--no"}, nullptr, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const UpdateFlow flow(TypicalPackage());
        const CliResult run =
            flow.Run(With(With(INSTANT, {"--json", "--sim-versions", c.versions}), c.answer));
        EXPECT_EQ(run.status, c.status) << run.out << run.err;
        const auto lines = JsonLines(run.out);
        const auto questions = Events(lines, "question");
        const auto results = Events(lines, "result");
        ASSERT_EQ(results.size(), 1u) << run.out;
        if (c.expectedAnswer == nullptr) {
            EXPECT_TRUE(questions.empty()) << run.out;
            EXPECT_EQ(run.err, "");
        } else {
            ASSERT_EQ(questions.size(), 1u) << run.out;
            EXPECT_EQ(questions[0]["text"], MSG_LATEST_VERSION);
            EXPECT_EQ(questions[0]["answer"], c.expectedAnswer);
            EXPECT_EQ(run.err, std::string(CLI_NAME) + ": " + MSG_LATEST_VERSION + " [y/n] " +
                                   c.expectedAnswer + "\n");
        }
        if (c.rewritten) {
            EXPECT_EQ(results[0]["outcome"], "success");
            EXPECT_EQ(flow.Mismatch(), "");
        } else {
            EXPECT_EQ(results[0]["outcome"], "declined");
            EXPECT_EQ(results[0]["ok"], false);
            EXPECT_EQ(flow.After(), flow.Before()) << "nothing is rewritten";
        }
    }
}

// --- The event stream ---------------------------------------------------------------------------

TEST(UpdateSimulated, JsonEventStreamOfASuccessfulRun) {
    const UpdateFlow flow(Package(4096, 40000, 20000));
    const CliResult run = flow.Run(With(INSTANT, {"--json"}));
    ASSERT_EQ(run.status, 0) << run.err;
    const auto lines = JsonLines(run.out);
    ASSERT_FALSE(lines.empty());
    const auto statuses = Events(lines, "status");
    const auto progress = Events(lines, "progress");
    const auto texts = [&] {
        std::vector<std::string> all;
        for (const auto& s : statuses) {
            all.push_back(s["text"]);
        }
        return all;
    }();
    const auto has = [&](const std::string& text) {
        return std::find(texts.begin(), texts.end(), text) != texts.end();
    };

    const struct {
        const char* check;
        bool holds;
    } checks[] = {
        {"every event is a known one",
         std::all_of(
             lines.begin(), lines.end(),
             [](const nlohmann::json& j) {
                 static const std::vector<std::string> KNOWN = {"status", "progress", "result"};
                 return j.contains("event") &&
                        std::count(KNOWN.begin(), KNOWN.end(), j["event"]) == 1;
             })},
        {"every status has a text",
         std::all_of(statuses.begin(), statuses.end(),
                     [](const nlohmann::json& j) { return j["text"].is_string(); })},
        {"the first event is the wait for the reset",
         lines.front() ==
             nlohmann::json{{"event", "status"}, {"text", "To updata ,please wait..."}}},
        {"the erase is announced", has("Erase old data ,please wait ...")},
        {"the estimate is shown",
         std::any_of(texts.begin(), texts.end(),
                     [](const std::string& t) { return t.rfind("Update:", 0) == 0; })},
        {"a status is only sent when it changes",
         std::adjacent_find(texts.begin(), texts.end()) == texts.end()},
        // How many depends on how often the main thread gets to them; at least the last one is.
        {"the percentage is sent", !progress.empty()},
        {"every percentage lies in 0..100",
         std::all_of(progress.begin(), progress.end(),
                     [](const nlohmann::json& j) {
                         return j["percent"].is_number_integer() && j["percent"] >= 0 &&
                                j["percent"] <= 100;
                     })},
        {"a percentage is only sent when it changes",
         std::adjacent_find(progress.begin(), progress.end()) == progress.end()},
        {"the last status is the success", !texts.empty() && texts.back() == STATUS_SUCCESS},
        {"one result, last",
         Events(lines, "result").size() == 1 && lines.back()["event"] == "result"},
        {"the result", lines.back() == nlohmann::json{{"event", "result"},
                                                      {"ok", true},
                                                      {"outcome", "success"},
                                                      {"status", STATUS_SUCCESS},
                                                      {"message", nullptr},
                                                      {"device", "sim:tarv1/0"}}},
    };
    for (const auto& c : checks) {
        EXPECT_TRUE(c.holds) << c.check << "\n" << run.out;
    }
}

TEST(UpdateSimulated, JsonEventStreamOfAFailedRun) {
    const UpdateFlow flow(TypicalPackage());
    const CliResult run = flow.Run(With(INSTANT, {"--json", "--sim-fault", "stay-away"}));
    EXPECT_EQ(run.status, 1);
    const auto lines = JsonLines(run.out);
    const auto messages = Events(lines, "message");
    ASSERT_EQ(messages.size(), 1u) << run.out;
    EXPECT_EQ(messages[0]["text"], MSG_RECONNECT);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), (nlohmann::json{{"event", "result"},
                                            {"ok", false},
                                            {"outcome", "failure"},
                                            {"status", STATUS_FAILURE},
                                            {"message", MSG_RECONNECT},
                                            {"device", "sim:tarv1/0"}}));
}

// --- The program around the run -----------------------------------------------------------------

TEST(UpdateProgram, TakesThePackageBesideItselfAndSignsWithItsOwnName) {
    testing::TempDir dir;
    const std::filesystem::path program = dir.path() / "line-station.tool";
    std::filesystem::copy_file(TARV_CLI_PATH, program);
    const std::vector<std::string> arguments = {"update", "--simulate", "--sim-instant",
                                                "--sim-fault", "in-use"};

    const CliResult missing = testing::CliProcess(arguments, false, program).Finish();
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "line-station: Open updata file faile !\n");

    TypicalPackage().WriteTo(dir.path() / "TarvUpdate.Bin");
    const CliResult found = testing::CliProcess(arguments, false, program).Finish();
    EXPECT_EQ(found.status, 1);
    EXPECT_EQ(found.err, "line-station: " + MSG_NO_DEVICE + "\n") << "the package loaded";
}

TEST(UpdateProgram, ARefusedPackageEndsWithItsMessageBeforeAnyDevice) {
    testing::TempDir dir;
    const std::string path = dir / "TarvUpdate.Bin";
    TypicalPackage().EditHeader([](PackageHeader& h) { h.Map.Offset = 0x7FFFF; }).WriteTo(path);
    const CliResult run = RunCli({"update", "--simulate", "--sim-instant", path});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, MessageLine("Read file information faile !"));
    EXPECT_EQ(run.out, "");
}

TEST(UpdateProgram, UsageErrorsExitWithTwo) {
    testing::TempDir dir;
    const std::string package = dir / "TarvUpdate.Bin";
    TypicalPackage().WriteTo(package);
    const struct {
        const char* name;
        std::vector<std::string> arguments;
    } cases[] = {
        {"simulator option without --simulate", {}},
        {"--yes and --no", {"--simulate", "--yes", "--no"}},
        {"unknown fault", {"--simulate", "--sim-fault", "melt"}},
        {"fault without its value", {"--simulate", "--sim-fault", "late"}},
        {"fault value out of range", {"--simulate", "--sim-fault", "short=0"}},
        {"in-use for one device", {"--simulate", "--sim-fault", "1:in-use"}},
        {"fault for a device that is not there", {"--simulate", "--sim-fault", "2:garbage"}},
        {"two versions", {"--simulate", "--sim-versions", "P101,S202"}},
        {"a version of three characters", {"--simulate", "--sim-versions", "P10,S202,M303"}},
        {"devices without continuous mode", {"--simulate", "--sim-devices", "2"}},
        {"no devices", {"--simulate", "--continuous", "--sim-devices", "0"}},
        {"a flash image that is not there", {"--simulate", "--sim-flash-in", dir / "nothing-here"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const CliResult run = RunCli(With(With({"update", package}, c.arguments), INSTANT));
        EXPECT_EQ(run.status, 2) << run.out << run.err;
        EXPECT_EQ(run.out.find("Status:"), std::string::npos) << "no run";
    }
}

}  // namespace
}  // namespace tarv
