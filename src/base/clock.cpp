#include "base/clock.h"

#include <chrono>
#include <thread>

namespace tarv {

std::uint32_t SystemClock::TickCount() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

void SystemClock::SleepFor(std::uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

SystemClock& SystemClock::Instance() {
    // Deliberately leaked: the link's teardown at exit may still sleep through it.
    static auto* const instance = new SystemClock;
    return *instance;
}

}  // namespace tarv
