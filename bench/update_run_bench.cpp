// One whole update of a package that fills the 8 MiB flash with sound and map, against the
// simulated device:
//  - with zero device time on a virtual clock: host CPU time per data report, and the peak memory
//    of a fresh process that loads the package and runs the update;
//  - with the realistic timing model on the real clock: wall time against the model's own time,
//    which is the same run's elapsed time on a virtual clock (every wait the run and the device
//    model ask for, and nothing else).
//
//   update_run_bench [--skip-realistic]
//   update_run_bench --peak-child PACKAGE   (internal) one run, prints memory before and after
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

#include "base/clock.h"
#include "link/hid_link.h"
#include "peak_memory.h"
#include "sim/simulator.h"
#include "support/package_writer.h"
#include "update/update_run.h"

namespace fs = std::filesystem;
using namespace tarv;

namespace {

constexpr std::uint32_t PROGRAM = 64 * 1024;
constexpr std::uint32_t SOUND_AT = 0x40020000;
constexpr std::uint32_t SOUND = 4 * 1024 * 1024;
constexpr std::uint32_t MAP_AT = SOUND_AT + SOUND;
constexpr std::uint32_t MAP = 0x40800000 - MAP_AT - 256;  // the table takes the rest

class SilentPage final : public ProgressPage {
  public:
    void SetStatusText(std::string_view) override {}
    void PostProgress() override {}
    MessageAnswer ShowMessage(std::string_view text, MessageButtons) override {
        std::fprintf(stderr, "message: %.*s\n", static_cast<int>(text.size()), text.data());
        return MessageAnswer::Yes;
    }
    void ArmRunEndTimer() override {}
    void PlaySuccessSound() override {}
};

double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

struct RunFigures {
    bool ok = false;
    double seconds = 0;  // elapsed on the run's clock
    double cpu = 0;
    std::uint64_t dataReports = 0;
};

// Loads `path` and runs one update against a simulated device on `clock`.
RunFigures UpdateOnce(const std::string& path, Clock& clock, bool realistic) {
    CUpdatePackage package;
    LoadOptions options;
    options.packagePath = path;
    options.clock = &clock;
    if (!LoadPackage(package, options).ok()) {
        return {};
    }
    sim::SimTransport transport(clock);
    sim::DeviceConfig config;
    if (realistic) {
        config.reportMs = 1;       // one report per full-speed frame
        config.eraseBlockMs = 40;  // a typical 4 KiB sector erase
    }
    sim::SimulatedDevice& device = transport.AddDevice(config);
    sim::SimInUseMarker marker;
    CHidLink link(transport, marker, clock);
    SilentPage page;
    CUpdateRun run(link, package, page, clock, false);

    const std::uint32_t tickStart = clock.TickCount();
    const double cpuStart = ProcessCpuSeconds();
    run.Start();
    run.Join();
    RunFigures figures;
    figures.cpu = ProcessCpuSeconds() - cpuStart;
    figures.seconds = (clock.TickCount() - tickStart) / 1000.0;  // on the real clock: wall time
    figures.ok = run.Outcome() == RunOutcome::Success && device.Violations().empty();
    figures.dataReports = device.DataReports();
    return figures;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--peak-child") == 0) {
        return bench::RunPeakChild([&] {
            VirtualClock clock(1);
            return UpdateOnce(argv[2], clock, false).ok;
        });
    }
    const bool realistic = !(argc == 2 && std::strcmp(argv[1], "--skip-realistic") == 0);

    const fs::path dir = fs::temp_directory_path() / ("tarv-run-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string path = (dir / "TarvUpdate.Bin").string();
    testing::PackageWriter()
        .Program(testing::PatternBytes(PROGRAM, 1), 0x40010000, "P900")
        .Sound(testing::PatternBytes(SOUND, 2), SOUND_AT, "S900")
        .Map(testing::PatternBytes(MAP, 3), MAP_AT, "M900")
        .MapScrambleLength(0xFFFFFFFF)
        .WriteTo(path);
    const auto fileKiB = static_cast<long>(fs::file_size(path) / 1024);
    std::printf("package: %ld KiB; sound %u KiB at 0x%08x, map %u KiB at 0x%08x\n", fileKiB,
                SOUND / 1024, SOUND_AT, MAP / 1024, MAP_AT);

    VirtualClock virtualClock(1);
    const RunFigures fast = UpdateOnce(path, virtualClock, false);
    std::printf(
        "zero device time: %s, %llu data reports, host CPU %.3f s, %.0f ns per report "
        "(goal: at most 2000)\n",
        fast.ok ? "success" : "FAILED", static_cast<unsigned long long>(fast.dataReports), fast.cpu,
        fast.cpu * 1e9 / static_cast<double>(fast.dataReports));

    const long peak = bench::ChildPeakKiB(argv[0], path);
    const long map = (MAP + 256 + 8192) / 1024;
    const long flash = 8192;  // the simulated device's own flash lives in this process too
    std::printf(
        "peak memory of load and run: %ld KiB = package %ld + map work buffer %ld + "
        "simulated flash %ld + %ld KiB\n",
        peak, fileKiB, map, flash, peak - fileKiB - map - flash);

    if (realistic) {
        VirtualClock modelClock(1);
        const RunFigures model = UpdateOnce(path, modelClock, true);
        const RunFigures wall = UpdateOnce(path, SystemClock::Instance(), true);
        std::printf(
            "realistic timing: model %.2f s, wall %.2f s, wall / model = %.4f (goal: at "
            "most 1.01); %s\n",
            model.seconds, wall.seconds, wall.seconds / model.seconds,
            model.ok && wall.ok ? "both succeeded" : "a run FAILED");
    }
    fs::remove_all(dir);
    return fast.ok ? 0 : 1;
}
