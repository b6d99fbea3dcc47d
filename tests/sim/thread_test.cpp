// The host's two threads at once: the user interface enumerates while the worker runs.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host.h"
#include "sim/simulator.h"
#include "support/fake_clock.h"

namespace tarv::sim {
namespace {

using host::FindDevicePath;
using host::Host;
using host::Pattern;
using host::Reply;
using host::SameBytes;

constexpr int WHOLE = static_cast<int>(HID_REPORT_SIZE);

TEST(SimThreads, OneThreadEnumeratesWhileAnotherExchangesReports) {
    tarv::testing::FakeClock clock;
    SimTransport transport(clock);
    SimulatedDevice& device =
        transport.AddDevice({.name = "unit", .reportMs = 1, .eraseBlockMs = 2, .resetAwayMs = 50});
    constexpr int QUERIES = 50;
    constexpr std::uint32_t PAGES = 20;
    const std::vector<std::uint8_t> data = Pattern(PAGES * FLASH_PAGE_SIZE, 14);

    std::atomic<bool> done{false};
    std::atomic<int> sightings{0};
    std::atomic<bool> uiRunning{false};
    std::thread ui([&] {
        while (!done.load()) {
            const std::vector<HidInterfaceEntry> entries = transport.Enumerate().value();
            for (const HidInterfaceEntry& entry : entries) {
                EXPECT_EQ(entry.path.rfind("sim:unit/", 0), 0u) << entry.path;
                sightings.fetch_add(1);
            }
            uiRunning.store(true);
            EXPECT_TRUE(device.Violations().empty());
            (void)device.Path();
            (void)device.Commands();
        }
    });

    int answered = 0;
    int readBacks = 0;
    std::thread worker([&] {
        // On the fake clock the whole run takes a few milliseconds: without this wait a busy
        // machine could finish it before the other thread has enumerated once.
        while (!uiRunning.load()) {
            std::this_thread::yield();
        }
        Host host(transport.Open(device.Path()));
        for (int k = 0; k < QUERIES; ++k) {
            host.Command(CMD_QUERY_INFO, RECORD_ARGUMENT_A, RECORD_ARGUMENT_B);
            const Reply reply = host.ReadSliced(clock, 2000);
            answered += reply.count == WHOLE && reply.Payload()[0] == 'P' ? 1 : 0;
        }
        host.Command(CMD_RESET, CONFIRM_WORD_1, CONFIRM_WORD_2);
        host.Close();
        std::string path;
        for (int attempt = 0; attempt < 1000 && path.empty(); ++attempt) {
            path = FindDevicePath(transport);
            clock.SleepFor(10);
        }
        Host updater(transport.Open(path));
        if (!updater.IsOpen()) {
            return;
        }
        for (std::uint32_t page = 0; page < PAGES; ++page) {
            if (page % 16 == 0) {
                updater.Command(CMD_ERASE, page / 16, 1);
                updater.Command(CMD_READ_BACK, RECORD_ARGUMENT_A, RECORD_ARGUMENT_B);
                for (int k = 0; k < 4; ++k) {
                    readBacks += updater.ReadSliced(clock, 2600).count == WHOLE ? 1 : 0;
                }
            }
            updater.Command(CMD_WRITE, page, 1);
            updater.Data(std::span(data).subspan(page * FLASH_PAGE_SIZE, FLASH_PAGE_SIZE));
        }
        updater.Command(CMD_FINISH, CONFIRM_WORD_1, CONFIRM_WORD_2);
    });
    worker.join();
    done.store(true);
    ui.join();

    EXPECT_EQ(answered, QUERIES);
    EXPECT_EQ(readBacks, 2 * 4);
    EXPECT_TRUE(SameBytes(device.ReadFlash(0, data.size()), data));
    EXPECT_TRUE(device.Violations().empty());
    EXPECT_FALSE(device.InUpdateMode());
    EXPECT_GT(sightings.load(), 0);
}

}  // namespace
}  // namespace tarv::sim
