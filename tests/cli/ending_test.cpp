// How an update ends when something other than the device ends it: signals, a reader that goes
// away, a log that cannot be written, a damaged or refused package. Each ending is said, counted
// and logged, and the exit status tells which it was.
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "update_flow.h"

namespace tarv {
namespace {

using testing::CliProcess;
using testing::CliResult;
using testing::Events;
using testing::JsonLines;
using testing::PackageWriter;
using testing::PatternBytes;
using testing::ReadBytes;
using testing::Sha256Sum;
using testing::TempDir;
using testing::TypicalPackage;
using testing::UpdateFlow;
using testing::WriteFile;

const std::string CLI_NAME = testing::CLI_NAME;
const std::string MSG_STOPPED = "Update stopped before its end: update this device again.";
const std::string MSG_NO_DEVICE = "No device, please connect usb cable to device !";

std::vector<std::string> With(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<nlohmann::json> LogLines(const std::string& path) {
    const testing::Bytes bytes = ReadBytes(path);
    std::istringstream text(std::string(bytes.begin(), bytes.end()));
    std::vector<nlohmann::json> lines;
    for (std::string line; std::getline(text, line);) {
        lines.push_back(nlohmann::json::parse(line));  // a line that does not parse fails here
    }
    return lines;
}

// A megabyte of sound takes the simulated device over ten seconds at its real pace, so a run is
// still writing when a test acts on its first percentage.
PackageWriter SlowPackage() {
    PackageWriter writer = TypicalPackage();
    writer.Sound(PatternBytes(1 << 20, 5), 0x40100000, "S202");
    return writer;
}

// --- Signals ------------------------------------------------------------------------------------

// SIGINT, SIGTERM and SIGHUP (a closed terminal) alike: the run is stopped with the link closed
// (the simulator would report a link left open or a report out of order on stderr), its log line
// says so, the continuous summary is printed, exactly one result or summary ends the stream, and
// the status is 128 + the signal.
TEST(Signals, StopTheRunLogItAndEndWith128PlusTheSignal) {
    const struct {
        const char* name;
        bool continuous;
        bool midRun;  // else while waiting for the next device
    } modes[] = {
        {"one run, mid-run", false, true},
        {"continuous, mid-run", true, true},
        {"continuous, waiting", true, false},
    };
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        for (const auto& mode : modes) {
            SCOPED_TRACE(std::string(mode.name) + ", signal " + std::to_string(signal));
            const UpdateFlow flow(mode.midRun ? SlowPackage() : TypicalPackage());
            const TempDir dir;
            const std::string log = dir / "line.log";
            std::vector<std::string> extra = {"--json", "--log", log};
            if (mode.continuous) {
                extra.push_back("--continuous");
            }
            if (!mode.midRun) {
                extra.push_back("--sim-instant");
            }
            CliProcess process(flow.Arguments(extra));
            ASSERT_TRUE(process.WaitForOutput(mode.midRun ? "\"progress\"" : "\"notice\""));
            process.Signal(signal);
            const CliResult run = process.Finish();

            EXPECT_EQ(run.status, 128 + signal);
            // The stop is said once, and nothing else: no cable message, no link left open.
            EXPECT_EQ(run.err, mode.midRun ? CLI_NAME + ": " + MSG_STOPPED + "\n" : "");
            const auto lines = JsonLines(run.out);
            ASSERT_FALSE(lines.empty());
            const auto results = Events(lines, "result");
            const auto records = LogLines(log);
            ASSERT_EQ(records.size(), 1u);
            if (mode.midRun) {
                ASSERT_EQ(results.size(), 1u) << run.out;
                EXPECT_EQ(results[0]["outcome"], "stopped");
                EXPECT_EQ(results[0]["message"], MSG_STOPPED);
                EXPECT_EQ(records[0]["result"], "stopped");
                EXPECT_EQ(records[0]["message"], MSG_STOPPED);
            } else {
                EXPECT_EQ(records[0]["result"], "success");
            }
            if (mode.continuous) {
                EXPECT_EQ(lines.back()["event"], "summary") << run.out;
                EXPECT_EQ(lines.back()["updated"], mode.midRun ? 0 : 1);
            } else {
                EXPECT_EQ(lines.back()["event"], "result") << run.out;
            }
        }
    }
}

// --- A reader that goes away --------------------------------------------------------------------

// `update --json | head -n 3`: the pipe closes in the first second of a run that takes several. The
// run goes on to its end, the device is whole and logged, and the status says the output was
// lost.
TEST(Output, AClosedPipeNeverEndsARun) {
    // A quarter of a megabyte of sound: a few seconds at the device's pace, well past the pipe.
    PackageWriter writer = TypicalPackage();
    writer.Sound(PatternBytes(256 * 1024, 5), 0x40100000, "S202");
    const UpdateFlow flow(writer);
    const TempDir dir;
    const std::string log = dir / "line.log";
    const std::string status = dir / "status";
    std::vector<std::string> arguments = {
        "-c", "\"$@\" | head -n 3 > /dev/null; echo ${PIPESTATUS[0]} > " + status, "sh",
        TARV_CLI_PATH};
    for (const std::string& a : flow.Arguments({"--json", "--log", log})) {
        arguments.push_back(a);
    }
    CliProcess shell(arguments, false, "/bin/bash");
    const CliResult run = shell.Finish();
    ASSERT_EQ(run.status, 0) << run.err;

    std::ifstream in(status);
    int cliStatus = -1;
    in >> cliStatus;
    EXPECT_EQ(cliStatus, 3) << "the output was lost";
    const auto records = LogLines(log);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]["result"], "success");
    EXPECT_EQ(flow.Mismatch(), "");
}

// Started with stdout closed, the program's log must not take descriptor 1: the log holds its
// records and nothing else.
TEST(Output, AClosedStdoutNeverLandsInTheLog) {
    const UpdateFlow flow(TypicalPackage());
    const TempDir dir;
    const std::string log = dir / "line.log";
    std::vector<std::string> arguments = {"-c", "exec \"$@\" >&-", "sh", TARV_CLI_PATH};
    for (const std::string& a : flow.Arguments({"--sim-instant", "--log", log})) {
        arguments.push_back(a);
    }
    CliProcess shell(arguments, false, "/bin/sh");
    const CliResult run = shell.Finish();
    EXPECT_EQ(run.status, 0) << run.err;
    const auto records = LogLines(log);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]["result"], "success");
}

// --- Log ----------------------------------------------------------------------------------------

TEST(Log, AFailedWriteIsNeverSilentAndAnEmptyNameIsAUsageError) {
    const UpdateFlow flow(TypicalPackage());
    const CliResult full = flow.Run({"--sim-instant", "--log", "/dev/full"});
    EXPECT_EQ(full.status, 1);
    EXPECT_NE(full.err.find(CLI_NAME + ": cannot write the log /dev/full: No space left on device"),
              std::string::npos)
        << full.err;
    EXPECT_EQ(flow.Mismatch(), "") << "the update itself went through";

    const CliResult empty = flow.Run({"--sim-instant", "--log", ""});
    EXPECT_EQ(empty.status, 2);
    EXPECT_NE(empty.err.find("--log needs a file name"), std::string::npos) << empty.err;
}

// --- Every ending has its result ----------------------------------------------------------------

TEST(Endings, EveryEndingBeforeARunGivesOneResultOrTheSummary) {
    const UpdateFlow flow(TypicalPackage());
    const TempDir dir;
    const struct {
        const char* name;
        std::vector<std::string> arguments;
        std::string message;
    } cases[] = {
        {"no package",
         {"update", "--json", "--simulate", "--sim-instant", dir / "missing.Bin"},
         "Open updata file faile !"},
        {"no device", flow.Arguments({"--json", "--sim-instant", "--sim-fault", "in-use"}),
         MSG_NO_DEVICE},
        {"a log that cannot be opened",
         flow.Arguments({"--json", "--sim-instant", "--log", "/nonexistent/line.log"}),
         "cannot write the log /nonexistent/line.log: No such file or directory"},
    };
    for (const auto& c : cases) {
        for (const bool continuous : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (continuous ? ", continuous" : ""));
            if (continuous && c.message == MSG_NO_DEVICE) {
                continue;  // continuous mode waits for a device instead
            }
            std::vector<std::string> arguments = c.arguments;
            if (continuous) {
                arguments.push_back("--continuous");
            }
            const CliResult run = testing::RunCli(arguments);
            EXPECT_EQ(run.status, 1);
            const auto lines = JsonLines(run.out);
            ASSERT_FALSE(lines.empty()) << run.err;
            const char* last = continuous ? "summary" : "result";
            EXPECT_EQ(Events(lines, last).size(), 1u) << run.out;
            EXPECT_EQ(lines.back()["event"], last) << run.out;
            if (!continuous) {
                EXPECT_EQ(lines.back()["outcome"], "failure");
                EXPECT_EQ(lines.back()["message"], c.message);
            }
        }
    }
}

TEST(Endings, ContinuousResultsNameTheirDevice) {
    const UpdateFlow flow(TypicalPackage(), 2);
    const CliResult run =
        flow.Run({"--sim-instant", "--json", "--continuous", "--sim-devices", "2"});
    EXPECT_EQ(run.status, 0) << run.err;
    const auto results = Events(JsonLines(run.out), "result");
    ASSERT_EQ(results.size(), 2u);
    for (std::size_t k = 0; k < results.size(); ++k) {
        EXPECT_EQ(results[k]["device"].get<std::string>().rfind(
                      "sim:tarv" + std::to_string(k + 1) + "/", 0),
                  0u)
            << results[k];
    }
}

// --- The package before the device --------------------------------------------------------------

// Each of these would reach a device today: the front end refuses it first, with the exact
// message, status 1, and no simulated device is ever made (no flash file written).
TEST(PackageGate, ADamagedOrUnusablePackageNeverReachesADevice) {
    struct Case {
        const char* name;
        std::string sidecar;  // the checksum file's text; "-" for none, "/" for a directory
        std::vector<std::string> extra;
        std::string error;    // what stderr holds; empty: the package is taken
        bool damage = false;  // one byte of the package file changed after its hash was taken
    };
    const UpdateFlow probe(TypicalPackage());
    const std::string good = Sha256Sum(probe.PackagePath());
    ASSERT_EQ(good.size(), 64u);
    std::string bad = good;
    bad[10] = bad[10] == '0' ? '1' : '0';
    const std::vector<Case> cases = {
        {"a checksum file that matches", good + "  TarvUpdate.Bin\n", {}, ""},
        {"binary mode, upper case",
         "\n" +
             [&] {
                 std::string upper = good;
                 for (char& ch : upper) {
                     ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
                 }
                 return upper;
             }() +
             " *TarvUpdate.Bin\n",
         {},
         ""},
        {"--sha256 that matches", "-", {"--sha256", good}, ""},
        {"a byte changed in the file",
         good + "  TarvUpdate.Bin\n",
         {},
         "The package file is damaged: its SHA-256 is not the one expected.",
         true},
        {"another file's digest", bad + "  TarvUpdate.Bin\n", {}, "gives " + bad},
        {"a checksum for another file only",
         good + "  Other.Bin\n",
         {},
         "holds no SHA-256 for TarvUpdate.Bin"},
        {"a checksum file that is a directory", "/", {}, "not a regular file"},
        {"--sha256 that does not match",
         good + "  TarvUpdate.Bin\n",
         {"--sha256", bad},
         "but --sha256 gives " + bad},
        {"a package whose run checks fail", "-", {}, "Check data faile !"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PackageWriter writer = TypicalPackage();
        if (c.error == "Check data faile !") {
            writer.EditHeader([](PackageHeader& header) { header.SoundCheck ^= 0x5A; });
        }
        const UpdateFlow flow(writer);
        const std::string sidecar = flow.PackagePath() + ".sha256";
        if (c.sidecar == "/") {
            std::filesystem::create_directory(sidecar);
        } else if (c.sidecar != "-") {
            WriteFile(sidecar, std::string_view(c.sidecar));
        }
        if (c.damage) {
            testing::Bytes bytes = ReadBytes(flow.PackagePath());
            bytes[5000] ^= 1;
            WriteFile(flow.PackagePath(), bytes);
        }
        const CliResult run = flow.Run(With({"--sim-instant"}, c.extra));
        if (c.error.empty()) {
            EXPECT_EQ(run.status, 0) << run.err;
            EXPECT_EQ(flow.Mismatch(), "");
            continue;
        }
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find(c.error), std::string::npos) << run.err;
        EXPECT_EQ(run.err.rfind(CLI_NAME + ": ", 0), 0u) << run.err;
        EXPECT_TRUE(flow.After().empty()) << "no device was touched";
        if (c.damage) {
            // Both digests are named: the one the file has and the one it should have.
            EXPECT_NE(run.err.find(Sha256Sum(flow.PackagePath())), std::string::npos) << run.err;
            EXPECT_NE(run.err.find("gives " + good), std::string::npos) << run.err;
        }
    }
}

TEST(PackageGate, AMalformedSha256IsAUsageError) {
    const UpdateFlow flow(TypicalPackage());
    for (const std::string& hex :
         std::vector<std::string>{"abc", std::string(64, 'g'), std::string(65, 'a')}) {
        const CliResult run = flow.Run({"--sim-instant", "--sha256", hex});
        EXPECT_EQ(run.status, 2) << hex;
        EXPECT_NE(run.err.find("--sha256 wants 64 hex digits"), std::string::npos) << run.err;
    }
}

}  // namespace
}  // namespace tarv
