// The updater behind Linux's real HID stack: the simulated device on a USB gadget (and on uhid)
// in a QEMU virtual machine running Debian's kernel, the real tarv-updater-cli and its hidapi
// backend against it. The VM runs every scenario once (scenarios.sh); each test here checks one
// scenario's results on the host.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "support/expected_flash.h"
#include "support/package_writer.h"
#include "support/report_plan.h"
#include "support/run_output.h"
#include "support/temp_dir.h"

namespace tarv::testing {
namespace {

namespace fs = std::filesystem;

const std::string STATUS_SUCCESS = "Updata success !";
const std::string STATUS_FAILURE = "Updata faile,please connect usb cable to device !";
const std::string MSG_NO_DEVICE = "No device, please connect usb cable to device !";

std::string ReadText(const fs::path& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

int ReadNumber(const fs::path& path) {
    const std::string text = ReadText(path);
    return text.empty() ? -1 : std::stoi(text);
}

std::string MessageLine(const std::string& text) {
    return std::string(CLI_NAME) + ": " + text + "\n";
}

bool OnPath(const std::string& program) {
    return std::system(("command -v " + program + " > /dev/null 2>&1").c_str()) == 0;
}

// A package whose writes take a few seconds at the device's pace.
PackageWriter BigPackage() {
    PackageWriter writer;
    writer.Program(PatternBytes(3000, 4), 0x40010000, "P111")
        .Sound(PatternBytes(256 * 1024, 5), 0x40100000, "S222")
        .Map(PatternBytes(4000, 6), 0x40400000, "M333")
        .MapScrambleLength(64);
    return writer;
}

// The whole VM run's deadline: the downloads, the boot (with a KVM that may not work) and the
// payload's own limit fit in it; CTest's limit for the test is well above it.
constexpr int kVmDeadlineSeconds = 720;

// One VM run for the whole suite.
class Hil : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!OnPath("qemu-system-x86_64")) {
            s_skip = "qemu-system-x86_64 is not installed (scripts/setup installs it)";
            return;
        }
        s_dir = new TempDir;
        s_writer = new PackageWriter(TypicalPackage());
        s_before = new Bytes(FlashPattern(7));

        const fs::path payload = s_dir->path() / "payload";
        fs::create_directories(payload);
        s_writer->WriteTo(payload / "TarvUpdate.Bin");
        s_bigWriter = new PackageWriter(BigPackage());
        fs::create_directories(payload / "big");
        s_bigWriter->WriteTo(payload / "big/TarvUpdate.Bin");
        WriteFile(payload / "flash-in", *s_before);
        const ReportPlan plan(s_writer->Header());
        std::ofstream(payload / "params") << "UNPLUG_AFTER=" << plan.mapWrite + 5 << "\n"
                                          << "PACKAGE_VERSIONS=P101,S202,M303\n";
        for (const char* program : {TARV_CLI_PATH, TARV_SIM_DEVICE_PATH, TARV_PROBE_PATH}) {
            fs::copy_file(program, payload / fs::path(program).filename());
        }
        fs::copy_file(fs::path(TARV_SOURCE_DIR) / "tests/hil/scenarios.sh", payload / "run");

        s_results = new fs::path(s_dir->path() / "results");
        const std::string log = (s_dir->path() / "vm.log").string();
        // The payload takes about a minute under TCG; its limit is four times that. The whole VM
        // run has a deadline of its own well under CTest's, so that a hang anywhere (a stalled
        // download, a guest that never boots) ends here with the phase named, not by CTest's kill.
        const std::string command = "timeout -k 10 " + std::to_string(kVmDeadlineSeconds) + " " +
                                    std::string(TARV_SOURCE_DIR) + "/scripts/hil-vm --payload " +
                                    payload.string() + " --out " + s_results->string() +
                                    " --timeout 240 2> " + log;
        const auto vmStart = std::chrono::steady_clock::now();
        const int status = std::system(command.c_str());
        const auto vmSeconds = std::chrono::duration_cast<std::chrono::seconds>(
                                   std::chrono::steady_clock::now() - vmStart)
                                   .count();
        const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (code == 77) {
            s_skip = "the VM's kernel cannot be had:\n" + ReadText(log);
            return;
        }
        if (code == 124 || code == 137) {
            std::string phase = ReadText(*s_results / "phase");
            phase = phase.substr(0, phase.find('\n'));
            s_failure = "the VM run ran out of time in its " +
                        (phase.empty() ? std::string("start") : phase) + " phase after " +
                        std::to_string(vmSeconds) + " s" +
                        (vmSeconds >= kVmDeadlineSeconds ? " (the test's deadline)" : "") +
                        ":\n" + ReadText(log);
        } else if (status != 0) {
            s_failure = "the VM run failed (" + std::to_string(status) + "):\n" + ReadText(log);
        }
        // TARV_HIL_KEEP=DIR keeps the VM's results for a closer look.
        if (const char* keep = std::getenv("TARV_HIL_KEEP")) {
            fs::copy(*s_results, keep,
                     fs::copy_options::recursive | fs::copy_options::overwrite_existing);
            fs::copy_file(log, fs::path(keep) / "vm.log", fs::copy_options::overwrite_existing);
        }
        // The figures of the kernel path, for whoever reads the test log.
        std::cout << ReadText(*s_results / "perf/probe.out");
    }

    static void TearDownTestSuite() {
        delete s_results;
        delete s_bigWriter;
        delete s_before;
        delete s_writer;
        delete s_dir;
    }

    void SetUp() override {
        if (!s_skip.empty()) {
            GTEST_SKIP() << s_skip;
        }
        ASSERT_EQ(s_failure, "");
    }

    static fs::path Result(const std::string& scenario, const std::string& file) {
        return *s_results / scenario / file;
    }

    // The updater's run in a scenario: exit status, events, messages.
    struct Run {
        int status;
        std::vector<nlohmann::json> events;
        std::string err;
        int ms;
    };
    static Run CliRun(const std::string& scenario, const std::string& tag = "cli") {
        return {ReadNumber(Result(scenario, tag + ".status")),
                JsonLines(ReadText(Result(scenario, tag + ".out"))),
                ReadText(Result(scenario, tag + ".err")),
                ReadNumber(Result(scenario, tag + ".ms"))};
    }

    static void ExpectSuccess(const Run& run) {
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");
        const auto results = Events(run.events, "result");
        ASSERT_EQ(results.size(), 1u);
        EXPECT_EQ(results[0]["outcome"], "success");
        EXPECT_EQ(results[0]["status"], STATUS_SUCCESS);
    }

    static void ExpectFailure(const Run& run, const std::string& message) {
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, MessageLine(message));
        const auto results = Events(run.events, "result");
        ASSERT_EQ(results.size(), 1u);
        EXPECT_EQ(results[0]["outcome"], "failure");
        EXPECT_EQ(results[0]["status"], STATUS_FAILURE);
        EXPECT_EQ(results[0]["message"], message);
    }

    // The device side saw no report a correct host would not send and saved its flash.
    static void ExpectCleanDevice(const std::string& scenario) {
        EXPECT_EQ(ReadNumber(Result(scenario, "device.status")), 0)
            << ReadText(Result(scenario, "device.log"));
    }

    static std::string FlashMismatchOf(const fs::path& image,
                                       const PackageWriter* writer = nullptr) {
        return FlashMismatch(writer ? *writer : *s_writer, *s_before, ReadBytes(image));
    }

    // The USB device numbers the host gave the device, in order of enumeration.
    static std::vector<int> UsbEnumerations(const std::string& scenario) {
        const std::string log = ReadText(Result(scenario, "dmesg"));
        const std::regex line(R"(new [a-z-]+ USB device number (\d+) using dummy_hcd)");
        std::vector<int> numbers;
        for (auto it = std::sregex_iterator(log.begin(), log.end(), line);
             it != std::sregex_iterator(); ++it) {
            numbers.push_back(std::stoi((*it)[1]));
        }
        return numbers;
    }

    static inline std::string s_skip;
    static inline std::string s_failure;
    static inline TempDir* s_dir = nullptr;
    static inline PackageWriter* s_writer = nullptr;
    static inline PackageWriter* s_bigWriter = nullptr;  // a run that lasts a few seconds
    static inline Bytes* s_before = nullptr;
    static inline fs::path* s_results = nullptr;
};

TEST_F(Hil, AFullUpdateThroughTheGadgetWritesExactlyTheExpectedFlash) {
    ExpectSuccess(CliRun("full"));
    ExpectCleanDevice("full");
    EXPECT_EQ(FlashMismatchOf(Result("full", "flash-out")), "");
}

TEST_F(Hil, TheResetIsANewDeviceOnTheBusAndTheUpdaterReconnectsToIt) {
    // Enumerated at the start, gone at the reset, enumerated again under a new number.
    const std::vector<int> numbers = UsbEnumerations("full");
    ASSERT_EQ(numbers.size(), 2u) << ReadText(Result("full", "dmesg"));
    EXPECT_NE(numbers[0], numbers[1]);
    EXPECT_NE(ReadText(Result("full", "dmesg")).find("USB disconnect"), std::string::npos);
    const std::string log = ReadText(Result("full", "device.log"));
    EXPECT_NE(log.find("device 1 on the bus (sim:tarv1/0)"), std::string::npos) << log;
    EXPECT_NE(log.find("device 1 on the bus (sim:tarv1/1)"), std::string::npos) << log;
    ExpectSuccess(CliRun("full"));
}

TEST_F(Hil, AFullUpdateThroughUhidWritesExactlyTheExpectedFlash) {
    ExpectSuccess(CliRun("uhid"));
    ExpectCleanDevice("uhid");
    EXPECT_EQ(FlashMismatchOf(Result("uhid", "flash-out")), "");
}

TEST_F(Hil, ADeviceWithThePackagesVersionsIsAskedAboutAndLeftAloneOnNo) {
    // Only a reply read whole and in place carries the versions to the comparison.
    const Run run = CliRun("latest");
    EXPECT_EQ(run.status, 1) << run.err;
    const auto questions = Events(run.events, "question");
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(questions[0]["text"], "It's the latest version, Do you continue to updata ?");
    EXPECT_EQ(questions[0]["answer"], "no");
    const auto results = Events(run.events, "result");
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0]["outcome"], "declined");
    ExpectCleanDevice("latest");
    EXPECT_EQ(ReadBytes(Result("latest", "flash-out")), *s_before);
}

TEST_F(Hil, TheDeviceUnpluggedInTheMapWriteFailsTheRunAtOnce) {
    const Run run = CliRun("unplug");
    ExpectFailure(run, "Write data faile, please connect usb cable to device !");
    // It ends when the device goes, not at some deadline: well within the run's fixed waits
    // (2 s and 1 s around the reset) and a few seconds of kernel time.
    EXPECT_LT(run.ms, 8000);
    ExpectCleanDevice("unplug");
}

TEST_F(Hil, AMuteDeviceFailsEachReadAtItsDeadline) {
    const Run run = CliRun("mute");
    ExpectFailure(run, "Erase data faile ,please connect usb cable to device !");
    // The query's read waits 2 s, the run 2 s and 1 s around the reset, the map erase's
    // read-back 2 s and 0.6 s for its one block: then it gives up.
    EXPECT_GE(run.ms, 7600);
    EXPECT_LT(run.ms, 12000);
}

TEST_F(Hil, ASecondUpdaterFindsTheDeviceInUseAndTheFirstCarriesOn) {
    const Run second = CliRun("inuse", "second");
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.err, MessageLine(MSG_NO_DEVICE));
    // The second asked while the first was writing, and left it alone.
    const auto firstResults = Events(JsonLines(ReadText(Result("inuse", "first.out"))), "result");
    ASSERT_EQ(firstResults.size(), 1u);
    EXPECT_EQ(firstResults[0]["outcome"], "success");
    EXPECT_EQ(ReadNumber(Result("inuse", "first.status")), 0)
        << ReadText(Result("inuse", "first.err"));
    EXPECT_TRUE(Events(second.events, "status").empty()) << "the second run never started";
    ExpectCleanDevice("inuse");
    EXPECT_EQ(ReadText(Result("inuse", "device.log")).find("sim:tarv1/2"), std::string::npos)
        << "the device was reset twice";
    EXPECT_EQ(FlashMismatchOf(Result("inuse", "flash-out"), s_bigWriter), "");
}

TEST_F(Hil, ContinuousModeUpdatesTwoDevicesPluggedInOneAfterTheOther) {
    const Run run = CliRun("continuous");
    // The scenario ends the series with Ctrl-C once both devices are done: 128 + SIGINT.
    EXPECT_EQ(run.status, 130) << run.err;
    const auto results = Events(run.events, "result");
    ASSERT_EQ(results.size(), 2u);
    for (const auto& result : results) {
        EXPECT_EQ(result["outcome"], "success");
    }
    const auto summary = Events(run.events, "summary");
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_EQ(summary[0]["updated"], 2);
    EXPECT_EQ(summary[0]["failed"], 0);
    ExpectCleanDevice("continuous");
    for (int k = 1; k <= 2; ++k) {
        EXPECT_EQ(FlashMismatchOf(Result("continuous", "flash-out." + std::to_string(k))), "")
            << "device " << k;
    }
}

TEST_F(Hil, TheProbeMeasuredThePath) {
    EXPECT_EQ(ReadNumber(Result("perf", "probe.status")), 0)
        << ReadText(Result("perf", "probe.err"));
    const std::string out = ReadText(Result("perf", "probe.out"));
    EXPECT_NE(out.find("round trip: median"), std::string::npos) << out;
    EXPECT_NE(out.find("WritePages: 128 KiB"), std::string::npos) << out;
}

}  // namespace
}  // namespace tarv::testing
