// tarv-hil-probe: the timing of the real kernel path to the device, measured from the host side
// through the same link and hidapi backend as the updater.
//
//   tarv-hil-probe [QUERIES] [KIBIBYTES]
//
// Times QUERIES query round trips (one command report out, one reply report in), then resets
// the device into update mode, reconnects, erases and times one WritePages call of KIBIBYTES
// KiB into the map area. Prints the figures; exit status 1 when a step fails.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "base/page.h"
#include "link/commands.h"
#include "link/protocol.h"
#include "rig/device_rig.h"

namespace {

using Clock = std::chrono::steady_clock;

class SilentPage final : public tarv::ProgressPage {
  public:
    void SetStatusText(std::string_view) override {}
    void PostProgress() override {}
    tarv::MessageAnswer ShowMessage(std::string_view, tarv::MessageButtons) override {
        return tarv::MessageAnswer::Yes;
    }
    void ArmRunEndTimer() override {}
    void PlaySuccessSound() override {}
};

double Microseconds(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

bool Reconnect(tarv::CHidLink& link) {
    std::this_thread::sleep_for(std::chrono::seconds(2));
    for (int i = 0; i < 150; ++i) {
        const bool open = link.OpenDevice() != 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (open) {
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    const int queries = argc > 1 ? std::max(1, std::stoi(argv[1])) : 200;
    const std::uint32_t kib = argc > 2 ? static_cast<std::uint32_t>(std::stoul(argv[2])) : 128;

    std::unique_ptr<tarv::DeviceRig> rig = tarv::MakeHardwareRig();
    tarv::CHidLink& link = rig->Link();
    if (link.OpenDevice() == 0) {
        std::fprintf(stderr, "tarv-hil-probe: no device\n");
        return 1;
    }

    SilentPage page;
    const std::array<char, 20> versionText{};
    std::vector<double> trips;
    for (int i = 0; i < queries; ++i) {
        const Clock::time_point start = Clock::now();
        if (tarv::QueryDeviceInfo(link, versionText, page) <= 0) {
            std::fprintf(stderr, "tarv-hil-probe: query %d failed\n", i + 1);
            return 1;
        }
        trips.push_back(Microseconds(Clock::now() - start));
    }
    std::sort(trips.begin(), trips.end());
    const double mean = std::accumulate(trips.begin(), trips.end(), 0.0) / trips.size();
    std::printf("round trip: median %.0f us, mean %.0f us, p95 %.0f us, min %.0f us (%d queries)\n",
                trips[trips.size() / 2], mean, trips[trips.size() * 95 / 100], trips.front(),
                queries);

    tarv::ResetDevice(link);
    link.CloseDevice();
    if (!Reconnect(link)) {
        std::fprintf(stderr, "tarv-hil-probe: no device after the reset\n");
        return 1;
    }
    const std::uint32_t pages = kib * 1024 / tarv::FLASH_PAGE_SIZE;
    const std::uint32_t blocks = kib * 1024 / tarv::FLASH_BLOCK_SIZE;
    const std::uint32_t firstBlock = 0x400000 / tarv::FLASH_BLOCK_SIZE;  // the map area
    if (tarv::EraseBlocks(link, firstBlock, blocks) != static_cast<std::int32_t>(blocks)) {
        std::fprintf(stderr, "tarv-hil-probe: erase failed\n");
        return 1;
    }
    std::vector<std::uint8_t> data(std::size_t{pages} * tarv::FLASH_PAGE_SIZE);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    const Clock::time_point start = Clock::now();
    const std::int32_t sent = tarv::WritePages(
        link, data, firstBlock * (tarv::FLASH_BLOCK_SIZE / tarv::FLASH_PAGE_SIZE), pages);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (sent != static_cast<std::int32_t>(data.size())) {
        std::fprintf(stderr, "tarv-hil-probe: write failed\n");
        return 1;
    }
    const double reports = static_cast<double>(data.size()) / tarv::HID_PAYLOAD_SIZE;
    std::printf(
        "WritePages: %u KiB in %.0f ms = %.1f KB/s, %.0f us per report (a full-speed interrupt "
        "endpoint carries at most 64 KB/s)\n",
        kib, seconds * 1000, static_cast<double>(data.size()) / 1000 / seconds,
        seconds * 1e6 / reports);
    tarv::FinishUpdate(link);
    return 0;
}
