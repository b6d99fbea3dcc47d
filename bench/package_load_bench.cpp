// Loading the largest package the updater accepts (0x7F00000 bytes, 127 MiB) from the page cache,
// against reading the same file into memory with one plain read(2). Prints both, their ratio and
// the peak memory of a load in a fresh process.
//
//   package_load_bench [--benchmark_...]      the comparison
//   package_load_bench --peak-child F         (internal) load F once, print the memory high-water
//                                             mark before and after
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include <benchmark/benchmark.h>

#include "package/package.h"
#include "peak_memory.h"
#include "support/package_writer.h"

namespace fs = std::filesystem;
using namespace tarv;

namespace {

constexpr std::uint32_t FILE_SIZE = PKG_MAX_LENGTH;
constexpr std::uint32_t MAP_SIZE = 4u << 20;  // the map work buffer holds a copy of it
std::string g_path;

void WriteLargePackage(const std::string& path) {
    const std::uint32_t payload = FILE_SIZE - PKG_KEY_BLOCK_SIZE;
    const std::uint32_t map = MAP_SIZE;
    const std::uint32_t sound = 16u << 20;
    const std::uint32_t program = payload - PKG_HEADER_SIZE - map - sound;
    testing::PackageWriter()
        .Align(false)
        .Program(testing::PatternBytes(program, 1), 0x40010000, "P900")
        .Sound(testing::PatternBytes(sound, 2), 0x40100000, "S900")
        .Map(testing::PatternBytes(map, 3), 0x40600000 - map, "M900")
        .MapScrambleLength(1u << 20)
        .WriteTo(path);
}

std::vector<std::uint8_t> ReadWhole(const std::string& path) {
    std::vector<std::uint8_t> bytes(fs::file_size(path));
    std::FILE* f = std::fopen(path.c_str(), "rb");
    const std::size_t n = std::fread(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    bytes.resize(n);
    return bytes;
}

// The format's own loop: 1024 bytes at a time, each XORed with the key byte shifted right.
std::vector<std::uint8_t> BlockReadReference(const std::vector<std::uint8_t>& file) {
    std::vector<std::uint8_t> payload(file.begin() + 1024, file.end());
    for (std::size_t p = 0; p < payload.size(); ++p) {
        payload[p] ^= file[p % 1024] >> 1;
    }
    return payload;
}

// One read(2) of the whole file into a fresh buffer. With `hugePages`, the buffer gets the same
// huge-page hint the loader gives its image, which leaves only the copy out of the page cache:
// the fair measure of what descrambling adds.
void PlainRead(benchmark::State& state, bool hugePages) {
    for (auto _ : state) {
        const int fd = open(g_path.c_str(), O_RDONLY);
        auto* buffer = static_cast<std::uint8_t*>(std::malloc(FILE_SIZE));
        if (hugePages) {
            constexpr std::uintptr_t HUGE_PAGE = 2u << 20;
            const auto at = reinterpret_cast<std::uintptr_t>(buffer);
            const auto begin = (at + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
            const auto end = (at + FILE_SIZE) & ~(HUGE_PAGE - 1);
            madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
        }
        const ssize_t n = read(fd, buffer, FILE_SIZE);
        benchmark::DoNotOptimize(buffer);
        if (n != static_cast<ssize_t>(FILE_SIZE)) {
            state.SkipWithError("short read");
        }
        std::free(buffer);
        close(fd);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * FILE_SIZE);
}

void BM_PlainRead(benchmark::State& state) {
    PlainRead(state, false);
}
void BM_PlainReadHugePages(benchmark::State& state) {
    PlainRead(state, true);
}

void BM_LoadPackage(benchmark::State& state) {
    LoadOptions options;
    options.packagePath = g_path;
    for (auto _ : state) {
        CUpdatePackage package;
        const LoadOutcome outcome = LoadPackage(package, options);
        if (!outcome.ok()) {
            state.SkipWithError(std::string(outcome.status.message).c_str());
        }
        benchmark::DoNotOptimize(package.Payload().data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * FILE_SIZE);
}

BENCHMARK(BM_PlainRead)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_PlainReadHugePages)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_LoadPackage)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// Keeps each benchmark's mean real time per iteration, for the ratio.
class RecordingReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
                m_seconds[run.benchmark_name()] =
                    run.real_accumulated_time / static_cast<double>(run.iterations);
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> m_seconds;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--peak-child") == 0) {
        return bench::RunPeakChild([&] {
            CUpdatePackage package;
            LoadOptions options;
            options.packagePath = argv[2];
            return LoadPackage(package, options).ok();
        });
    }

    const fs::path dir = fs::temp_directory_path() / ("tarv-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);
    g_path = (dir / "TarvUpdate.Bin").string();
    WriteLargePackage(g_path);

    // Warm the page cache and check the loader against the block-by-block loop once.
    const std::vector<std::uint8_t> file = ReadWhole(g_path);
    {
        CUpdatePackage package;
        LoadOptions options;
        options.packagePath = g_path;
        const LoadOutcome outcome = LoadPackage(package, options);
        const std::vector<std::uint8_t> reference = BlockReadReference(file);
        const bool same =
            outcome.ok() && package.PayloadLength() == reference.size() &&
            std::memcmp(package.Payload().data(), reference.data(), reference.size()) == 0;
        std::printf("package: %u bytes; %s; loaded payload equals the 1024-byte block read: %s\n",
                    FILE_SIZE, outcome.ok() ? "loads" : std::string(outcome.status.message).c_str(),
                    same ? "yes" : "NO");
        if (!same) {
            fs::remove_all(dir);
            return 1;
        }
    }

    benchmark::Initialize(&argc, argv);
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const double plain = reporter.m_seconds["BM_PlainRead/min_time:2.000"];
    const double plainHuge = reporter.m_seconds["BM_PlainReadHugePages/min_time:2.000"];
    const double load = reporter.m_seconds["BM_LoadPackage/min_time:2.000"];
    const double mib = FILE_SIZE / 1048576.0;
    if (plain > 0 && plainHuge > 0 && load > 0) {
        std::printf("\nplain read                 %8.2f ms  %8.0f MiB/s\n", plain * 1e3,
                    mib / plain);
        std::printf("plain read, huge pages    %8.2f ms  %8.0f MiB/s\n", plainHuge * 1e3,
                    mib / plainHuge);
        std::printf("load package              %8.2f ms  %8.0f MiB/s\n", load * 1e3, mib / load);
        std::printf("load / plain read = %.3f (goal: at most 1.5)\n", load / plain);
        std::printf("load / plain read into huge pages = %.3f\n", load / plainHuge);
    }

    const long peak = bench::ChildPeakKiB(argv[0], g_path);
    if (peak >= 0) {
        const long file = FILE_SIZE / 1024;
        const long map = MAP_SIZE / 1024;
        std::printf(
            "peak memory of a load: %ld KiB; package file %ld KiB, map section %ld KiB; "
            "beyond both: %ld KiB\n",
            peak, file, map, peak - file - map);
    }
    fs::remove_all(dir);
    return 0;
}
