// Continuous mode's wait for the next device: one poll of device discovery every 200 ms, and
// what each poll's finding means.
//
// After a success the device just updated is ignored until two polls in a row have found no
// device; a device then found by three polls in a row starts the next run. After a failure the
// device still attached is retried the same way. The state lives as long as the program: every
// wait finds the values the waits before it left.
#pragma once

#include <cstdint>

namespace tarv {

inline constexpr std::uint32_t POLL_INTERVAL_MS = 200;
inline constexpr std::int32_t POLL_ABSENT_TO_FORGET = 2;  // polls without a device
inline constexpr std::int32_t POLL_PRESENT_TO_START = 3;  // polls with a new device

enum class PollAction {
    CloseDevice,  // the device just updated: close the link again and go on waiting
    KeepWaiting,  // go on waiting; a link discovery opened stays open until the next discovery
    StartRun,     // start the next run on the device found
};

struct CDevicePollState {
    std::int32_t g_bOldDeviceAttached = 1;  // a device found counts as the one last updated
    std::int32_t g_nAbsentPolls = 0;        // polls in a row that found no device
    std::int32_t g_nPresentPolls = 0;       // polls that found a device not taken for the old one

    // One poll: whether discovery found a device, and whether the last run succeeded.
    PollAction OnPoll(bool deviceFound, bool lastRunSucceeded);
};

}  // namespace tarv
