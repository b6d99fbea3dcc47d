// The host side of the link: data reports per second through WritePages, and the CPU time each
// 64-byte report costs, into a simulated device that answers at once. A real device on USB full
// speed takes one report per 1 ms frame (64 KB/s), so the host's share is that figure's fraction
// of a millisecond.
#include <cstdio>
#include <time.h>
#include <vector>

#include <benchmark/benchmark.h>

#include "base/clock.h"
#include "link/commands.h"
#include "link/hid_link.h"
#include "sim/simulator.h"

using namespace tarv;

namespace {

// A device that takes every report and does nothing with it: the host's cost alone.
class NullConnection final : public HidConnection {
  public:
    int Write(std::span<const std::uint8_t, HID_REPORT_SIZE>) override { return 65; }
    int Read(std::span<std::uint8_t, HID_REPORT_SIZE>, std::uint32_t) override { return 0; }
};

class NullTransport final : public HidTransport {
  public:
    std::optional<std::vector<HidInterfaceEntry>> Enumerate() override {
        return std::vector<HidInterfaceEntry>{{true, "null", TARV_VENDOR_ID, TARV_PRODUCT_ID}};
    }
    std::unique_ptr<HidConnection> Open(const std::string&, OpenError*) override {
        return std::make_unique<NullConnection>();
    }
};

class NoHooks final : public PageWriteHooks {
  public:
    void OnKilobyte() override { benchmark::ClobberMemory(); }
    void OnSixteenKilobytes() override { benchmark::ClobberMemory(); }
};

double ThreadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

constexpr std::uint32_t PAGES = 4096;  // 1 MiB, 16384 data reports per call
constexpr std::uint32_t REPORTS = PAGES * FLASH_PAGE_SIZE / HID_PAYLOAD_SIZE;

void RunWrites(benchmark::State& state, HidTransport& transport) {
    sim::SimInUseMarker marker;
    CHidLink link(transport, marker, SystemClock::Instance());
    if (link.OpenDevice() != 1) {
        state.SkipWithError("no device");
        return;
    }
    const std::vector<std::uint8_t> data(PAGES * FLASH_PAGE_SIZE, 0x5A);
    NoHooks hooks;
    double cpu = 0;
    for (auto _ : state) {
        const double start = ThreadCpuSeconds();
        const std::int32_t sent = WritePages(link, data, 0, PAGES, &hooks);
        cpu += ThreadCpuSeconds() - start;
        if (sent != static_cast<std::int32_t>(data.size())) {
            state.SkipWithError("write failed");
            return;
        }
    }
    const double reports = static_cast<double>(state.iterations()) * REPORTS;
    state.counters["reports/s"] = benchmark::Counter(reports, benchmark::Counter::kIsRate);
    state.counters["cpu_ns/report"] = cpu * 1e9 / reports;
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * data.size());
}

void BM_WritePagesIntoSimulator(benchmark::State& state) {
    sim::SimTransport transport(SystemClock::Instance());
    sim::DeviceConfig config;
    config.startInUpdateMode = true;  // reportMs 0: the device answers at once
    transport.AddDevice(config);
    RunWrites(state, transport);
}

void BM_WritePagesIntoNullDevice(benchmark::State& state) {
    NullTransport transport;
    RunWrites(state, transport);
}

BENCHMARK(BM_WritePagesIntoSimulator)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WritePagesIntoNullDevice)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
