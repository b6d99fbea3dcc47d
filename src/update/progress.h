// The progress bar's percentage and the status line's time estimate.
#pragma once

#include <cstdint>
#include <string>

namespace tarv {

// The counters the percentage comes from. One per run; only the run's worker writes them.
struct UpdateProgress {
    std::uint8_t basePercent = 0;  // the bar's share for the preparation: 10, 20 or 30
    std::uint32_t totalUnits = 0;  // the payload in units of 1024 bytes
    std::uint32_t unitsDone = 0;   // never above totalUnits

    bool operator==(const UpdateProgress&) const = default;
};

// basePercent + (100 - basePercent) x unitsDone / totalUnits, in 32 bits and rounded down. With
// totalUnits 0 (a payload of less than 1 KiB) there is nothing to count: basePercent.
std::int32_t ProgressPercent(const UpdateProgress& progress);

// The estimate when the program length has been checked, for a payload of `payloadLength`
// bytes: 32 ms a unit, 34 ms per 4 units, and 4 s.
std::uint32_t InitialTimeLeftMs(std::uint32_t payloadLength);

// a - b, stopping at 0: every step of the estimate takes off this way.
constexpr std::uint32_t TakeOff(std::uint32_t a, std::uint32_t b) {
    return a > b ? a - b : 0;
}

// The status line during a page write, for the estimate after its 512 ms step:
// "Update:45% complete,abount 1 minute 5 second need..." and its three other wordings.
std::string ProgressStatusText(std::int32_t percent, std::uint32_t timeLeftMs);

}  // namespace tarv
