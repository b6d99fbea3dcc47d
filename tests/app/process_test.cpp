// The real tarv-updater as a separate process on the offscreen platform, with the simulated
// operator of --sim-start going through the first two pages: how it ends when it is asked to by
// a signal, or when it cannot open its display.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "../cli/cli_process.h"
#include "support/package_writer.h"
#include "support/temp_dir.h"
#include "update/messages.h"

namespace tarv {
namespace {

using testing::CliProcess;
using testing::CliResult;
using testing::TempDir;

// A package whose sound takes a few seconds to write at a real device's pace, so that a run is
// still in its writes some seconds after the reset (the reset, its waits and the device's return
// take about 3 s; the writes some 5 s more).
testing::PackageWriter SlowPackage() {
    testing::PackageWriter writer = testing::TypicalPackage();
    writer.Sound(testing::PatternBytes(200 * 1024, 2), 0x40100000, "S202");
    return writer;
}

constexpr auto IN_THE_WRITES = std::chrono::milliseconds(4500);

std::vector<nlohmann::json> ReadLog(const std::string& path) {
    std::vector<nlohmann::json> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(nlohmann::json::parse(line));
    }
    return lines;
}

// The lines of the program's stderr that are its own ("tarv-updater: ..."): what the simulated
// devices' end check found wrong (a report a correct host never sends, a link left open, the
// in-use marker left held), or anything else the program says.
std::vector<std::string> OwnLines(const std::string& err) {
    std::vector<std::string> own;
    std::size_t start = 0;
    while (start < err.size()) {
        const std::size_t end = err.find('\n', start);
        const std::string line = err.substr(start, end - start);
        if (line.rfind("tarv-updater:", 0) == 0) {
            own.push_back(line);
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return own;
}

#if defined(__SANITIZE_THREAD__)
// The list the test program runs with (tsan_suppressions.cpp: Qt's and GLib's own frames).
extern "C" const char* __tsan_default_suppressions();
#endif

class WizardProcess : public ::testing::Test {
  protected:
    void SetUp() override {
        SlowPackage().WriteTo(m_package);
#if defined(__SANITIZE_THREAD__)
        // The program under ThreadSanitizer sees Qt's threads as this one does: the same list
        // and history (tsan_suppressions.cpp), or every event Qt hands between threads is
        // reported and the status becomes 66.
        const std::string list = m_dir / "tsan.supp";
        testing::WriteFile(list, std::string_view(__tsan_default_suppressions()));
        if (const char* options = std::getenv("TSAN_OPTIONS")) {
            m_tsanOptions = options;
        }
        setenv("TSAN_OPTIONS",
               ("suppressions=" + list + " history_size=7 " + m_tsanOptions.value_or("")).c_str(),
               1);
#endif
    }
    void TearDown() override {
#if defined(__SANITIZE_THREAD__)
        m_tsanOptions ? setenv("TSAN_OPTIONS", m_tsanOptions->c_str(), 1)
                      : unsetenv("TSAN_OPTIONS");
#endif
    }

    // The demo on the simulated device, plugged in from the start, with the run's log.
    std::vector<std::string> Arguments(bool throughTheFirstPages = true) const {
        std::vector<std::string> arguments = {"--simulate", "--sim-plug-in", "0", "--log", m_log};
        if (throughTheFirstPages) {
            arguments.push_back("--sim-start");
        }
        arguments.push_back(m_package);
        return arguments;
    }

    TempDir m_dir;
    std::optional<std::string> m_tsanOptions;  // the test's own, put back after each
    const std::string m_package = m_dir / "TarvUpdate.Bin";
    const std::string m_log = m_dir / "runs.log";
};

TEST_F(WizardProcess, ASignalDuringARunStopsItLogsItAndEndsWith128PlusTheSignal) {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        std::remove(m_log.c_str());
        CliProcess wizard(Arguments(), false, TARV_WIZARD_PATH);
        ASSERT_TRUE(wizard.WaitForOutput("operator: Start\n"));
        std::this_thread::sleep_for(IN_THE_WRITES);
        wizard.Signal(signal);
        const CliResult result = wizard.Finish();

        EXPECT_EQ(result.status, 128 + signal);
        const std::vector<nlohmann::json> lines = ReadLog(m_log);
        ASSERT_EQ(lines.size(), 1u) << result.err;
        EXPECT_EQ(lines[0]["result"], "stopped");
        EXPECT_EQ(lines[0]["message"], std::string(MSG_STOPPED));
        EXPECT_GE(lines[0]["durationMs"].get<int>(), 4000) << "it was stopped in the writes";
        // The simulated device saw a correct host, and the link and the marker were released.
        EXPECT_EQ(OwnLines(result.err), std::vector<std::string>{}) << result.err;
    }
}

TEST_F(WizardProcess, ASignalBeforeAnyRunEndsItWith128PlusTheSignalAndNoLine) {
    CliProcess wizard(Arguments(/*throughTheFirstPages=*/false), false, TARV_WIZARD_PATH);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // on the welcome page by now
    wizard.Signal(SIGTERM);
    const CliResult result = wizard.Finish();
    EXPECT_EQ(result.status, 128 + SIGTERM);
    EXPECT_TRUE(ReadLog(m_log).empty());
    EXPECT_EQ(OwnLines(result.err), std::vector<std::string>{}) << result.err;
}

TEST_F(WizardProcess, SIGPIPENeverEndsIt) {
    CliProcess wizard(Arguments(), false, TARV_WIZARD_PATH);
    ASSERT_TRUE(wizard.WaitForOutput("operator: Start\n"));
    wizard.Signal(SIGPIPE);
    std::this_thread::sleep_for(IN_THE_WRITES);
    wizard.Signal(SIGTERM);  // still there to be asked
    const CliResult result = wizard.Finish();
    EXPECT_EQ(result.status, 128 + SIGTERM);
    const std::vector<nlohmann::json> lines = ReadLog(m_log);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["result"], "stopped");
}

// A display that cannot be opened, as when an X server is resetting as the program starts: a
// message and status 1, not Qt's abort.
TEST_F(WizardProcess, ADisplayThatCannotBeOpenedEndsItWithStatusOneAndSaysWhy) {
    // The child takes the environment as it is when it starts; the test's own is put back.
    const auto saved = [](const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
    };
    const auto restore = [](const char* name, const std::optional<std::string>& value) {
        value ? setenv(name, value->c_str(), 1) : unsetenv(name);
    };
    const std::optional<std::string> platform = saved("QT_QPA_PLATFORM");
    const std::optional<std::string> display = saved("DISPLAY");
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    setenv("DISPLAY", ":59999", 1);  // no server there
    CliProcess wizard(Arguments(), false, TARV_WIZARD_PATH);
    restore("QT_QPA_PLATFORM", platform);
    restore("DISPLAY", display);
    const CliResult result = wizard.Finish();
    EXPECT_EQ(result.status, 1) << "-1 is a death by a signal: " << result.err;
    ASSERT_EQ(OwnLines(result.err).size(), 1u) << result.err;
    EXPECT_NE(OwnLines(result.err)[0].find("cannot start the user interface"), std::string::npos);
}

}  // namespace
}  // namespace tarv
