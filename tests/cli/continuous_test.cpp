// Continuous mode and the operator's side: a series of simulated devices, and the question and the
// progress line on a terminal.
#include <chrono>
#include <csignal>
#include <ctime>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "update_flow.h"

namespace tarv {
namespace {

using testing::Bytes;
using testing::CliProcess;
using testing::CliResult;
using testing::Events;
using testing::JsonLines;
using testing::PackageWriter;
using testing::PatternBytes;
using testing::ReadBytes;
using testing::Sha256Sum;
using testing::TypicalPackage;
using testing::UpdateFlow;
using testing::WriteFile;

const std::string NOTICE =
    "If you need to continue, please connect the USB cable to the new machine !";

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::vector<std::string> Outcomes(const std::vector<nlohmann::json>& lines) {
    std::vector<std::string> outcomes;
    for (const auto& result : Events(lines, "result")) {
        outcomes.push_back(result["outcome"]);
    }
    return outcomes;
}

TEST(Continuous, UpdatesOneDeviceAfterAnotherAndCountsTheFailures) {
    const std::string S = "success";
    const std::string F = "failure";
    const struct {
        const char* name;
        std::vector<std::string> faults;
        std::vector<std::string> outcomes;
        int updated;
        int failed;
    } cases[] = {
        {"three good devices", {}, {S, S, S}, 3, 0},
        {"the second never comes back from its reset", {"2:stay-away"}, {S, F, S}, 2, 1},
        // Report 20 is in the map write: query, reset, 5 for the address record, 2 for the erase.
        {"the second unplugged in the middle", {"2:unplug-after=20"}, {S, F, S}, 2, 1},
        // A failed device still attached is tried again by the poll, before the operator has
        // taken it away.
        {"the second stays attached and mute", {"2:never-answer"}, {S, F, F, S}, 2, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const UpdateFlow flow(TypicalPackage(), 3);
        std::vector<std::string> extra = {"--sim-instant", "--continuous", "--sim-devices", "3",
                                          "--json"};
        for (const std::string& fault : c.faults) {
            extra.insert(extra.end(), {"--sim-fault", fault});
        }
        const CliResult run = flow.Run(extra);
        EXPECT_EQ(run.status, c.failed == 0 ? 0 : 1) << run.err;
        const auto lines = JsonLines(run.out);
        EXPECT_EQ(Outcomes(lines), c.outcomes) << run.out;
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(
            lines.back(),
            (nlohmann::json{{"event", "summary"}, {"updated", c.updated}, {"failed", c.failed}}));
        EXPECT_EQ(Events(lines, "notice").size(), c.outcomes.size() - 1)
            << "a wait after every run but the last";
        for (const auto& notice : Events(lines, "notice")) {
            EXPECT_EQ(notice["text"], NOTICE);
        }
        for (int device : {1, 3}) {
            EXPECT_EQ(flow.Mismatch(device), "") << "device " << device;
        }
        if (c.failed == 0) {
            EXPECT_EQ(flow.Mismatch(2), "");
        }
    }
}

TEST(Continuous, TheLogHasOneLineForEachRunAndKeepsWhatWasThere) {
    const UpdateFlow flow(TypicalPackage(), 3);
    const testing::TempDir dir;
    const std::string log = dir / "line.log";
    WriteFile(log, std::string_view("an earlier line\n"));
    const auto before = std::chrono::system_clock::now();
    const CliResult run = flow.Run({"--sim-instant", "--continuous", "--sim-devices", "3", "--log",
                                    log, "--sim-fault", "2:stay-away"});
    const auto after = std::chrono::system_clock::now();
    EXPECT_EQ(run.status, 1) << run.err;

    const Bytes bytes = ReadBytes(log);
    std::istringstream text(std::string(bytes.begin(), bytes.end()));
    std::string first;
    std::getline(text, first);
    EXPECT_EQ(first, "an earlier line");
    std::vector<nlohmann::json> records;
    for (std::string line; std::getline(text, line);) {
        records.push_back(nlohmann::json::parse(line));
    }
    ASSERT_EQ(records.size(), 3u);
    const nlohmann::json package = {{"program", "P101"}, {"sound", "S202"}, {"map", "M303"}};
    const nlohmann::json device = {{"program", "P100"}, {"sound", "S100"}, {"map", "M100"}};
    const std::regex iso(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");
    std::string lastStart;
    for (std::size_t k = 0; k < records.size(); ++k) {
        SCOPED_TRACE(k + 1);
        const nlohmann::json& r = records[k];
        ASSERT_EQ(r.size(), 9u) << r.dump();
        const std::string start = r["start"];
        EXPECT_TRUE(std::regex_match(start, iso)) << start;
        EXPECT_GE(start, lastStart) << "in the order of the runs";
        std::tm utc{};
        ASSERT_NE(strptime(start.c_str(), "%Y-%m-%dT%H:%M:%S", &utc), nullptr);
        const std::time_t at = timegm(&utc);
        EXPECT_GE(at, std::chrono::system_clock::to_time_t(before) - 1);
        EXPECT_LE(at, std::chrono::system_clock::to_time_t(after));
        lastStart = start;
        EXPECT_EQ(r["device"].get<std::string>().rfind("sim:tarv" + std::to_string(k + 1) + "/", 0),
                  0u)
            << r["device"];
        EXPECT_EQ(r["deviceVersions"], device);
        EXPECT_EQ(r["packageVersions"], package);
        EXPECT_EQ(r["package"], flow.PackagePath());
        EXPECT_EQ(r["packageSha256"], Sha256Sum(flow.PackagePath()));
    }
    // A whole run waits 2 s and 1 s around the reset; the one that never reconnects also tries
    // 150 times 100 ms apart (on the virtual clock).
    EXPECT_EQ(records[0]["result"], "success");
    EXPECT_EQ(records[0]["message"], nullptr);
    EXPECT_GE(records[0]["durationMs"].get<int>(), 3000);
    EXPECT_EQ(records[1]["result"], "failure");
    EXPECT_EQ(records[1]["message"],
              "Connect to device faile,please connect usb cable to device !");
    EXPECT_GE(records[1]["durationMs"].get<int>(), 2000 + 150 * 100 + 1000);
    EXPECT_EQ(records[2]["result"], "success");
    EXPECT_TRUE(EndsWith(run.out, "Devices updated: 2, failed: 1\n")) << run.out;
}

TEST(Continuous, ALogThatCannotBeWrittenIsSaidBeforeAnyDeviceIsTouched) {
    const UpdateFlow flow(TypicalPackage());
    const CliResult run = flow.Run({"--sim-instant", "--log", "/nonexistent/line.log"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "tarv-updater-cli: cannot write the log /nonexistent/line.log: No such file or "
              "directory\n");
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(flow.After().empty()) << "the simulated device was never made";
}

TEST(Continuous, PlainOutputNumbersTheRunsAndEndsWithTheSummary) {
    const UpdateFlow flow(TypicalPackage(), 2);
    const CliResult run = flow.Run({"--sim-instant", "--continuous", "--sim-devices", "2"});
    EXPECT_EQ(run.status, 0) << run.err;
    // The last percentage of a run may come after its status line; the run's line comes after
    // both.
    EXPECT_NE(run.out.find("Run 1: success\n" + NOTICE + "\n"), std::string::npos) << run.out;
    EXPECT_TRUE(EndsWith(run.out, "Run 2: success\nDevices updated: 2, failed: 0\n")) << run.out;
}

TEST(Continuous, WaitingOnADeviceThatMayNotBeOpenedGivesTheHintOnce) {
    const UpdateFlow flow(TypicalPackage());
    CliProcess process(flow.Arguments(
        {"--sim-instant", "--continuous", "--json", "--sim-fault", "not-permitted"}));
    ASSERT_TRUE(process.WaitForOutput("\"hint\""));
    // On the virtual clock many more polls meet the same node meanwhile.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    process.Signal(SIGINT);
    const CliResult run = process.Finish();
    const auto hints = Events(JsonLines(run.out), "hint");
    ASSERT_EQ(hints.size(), 1u) << run.out;
    EXPECT_NE(hints[0]["text"].get<std::string>().find("sim:tarv1/0"), std::string::npos);
    EXPECT_EQ(Events(JsonLines(run.out), "result").size(), 0u) << "it never counts as found";
}

// --- On a terminal ------------------------------------------------------------------------------

TEST(Terminal, AsksTheVersionQuestionAndRedrawsOneProgressLine) {
    const struct {
        const char* typed;
        int status;
        bool rewritten;
    } cases[] = {
        {"maybe\ny\n", 0, true},
        {"n\n", 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed);
        const UpdateFlow flow(TypicalPackage());
        CliProcess process(flow.Arguments({"--sim-instant", "--sim-versions", "P101,S202,M303"}),
                           /*onTerminal=*/true);
        ASSERT_TRUE(process.WaitForOutput(
            "tarv-updater-cli: It's the latest version, Do you continue to updata ? [y/n] "));
        process.Type(c.typed);
        const CliResult run = process.Finish();
        EXPECT_EQ(run.status, c.status) << run.out;
        if (c.rewritten) {
            EXPECT_EQ(flow.Mismatch(), "");
            // Each redraw goes back to the line's start and clears what is left of it.
            EXPECT_NE(run.out.find("\r[#"), std::string::npos) << run.out;
            EXPECT_NE(run.out.find("%  Updata success !\x1b[K"), std::string::npos) << run.out;
            EXPECT_EQ(run.out.find("Status: "), std::string::npos) << "no plain lines";
        } else {
            EXPECT_EQ(flow.After(), flow.Before());
        }
    }
}

}  // namespace
}  // namespace tarv
