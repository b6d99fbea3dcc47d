#include "update/progress.h"

#include <gtest/gtest.h>

#include "update/poll_state.h"

namespace tarv {
namespace {

TEST(ProgressPercent, FollowsTheFormulaAndStaysAtTheBaseWithNothingToCount) {
    const struct {
        UpdateProgress progress;
        std::int32_t percent;
    } cases[] = {
        {{10, 1792, 1537}, 87},  // 10 + 138330 / 1792
        {{10, 1792, 0}, 10},    {{20, 100, 100}, 100},
        {{30, 3, 1}, 53},       {{10, 0, 0}, 10},  // a payload under 1 KiB: no units
        {{30, 0, 5}, 30},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ProgressPercent(c.progress), c.percent)
            << int(c.progress.basePercent) << " " << c.progress.totalUnits << " "
            << c.progress.unitsDone;
    }
}

TEST(TimeEstimate, StartsFromThePayloadSize) {
    EXPECT_EQ(InitialTimeLeftMs(128 + 1048576), 45472u);  // 32768 + 8704 + 4000
    EXPECT_EQ(InitialTimeLeftMs(128 + 1023), 4000u);
    EXPECT_EQ(InitialTimeLeftMs(128 + 4096), 4000u + 4 * 32 + 34);
    EXPECT_EQ(TakeOff(511, 512), 0u);
    EXPECT_EQ(TakeOff(1000, 512), 488u);
}

TEST(TimeEstimate, HasFourWordings) {
    const struct {
        std::int32_t percent;
        std::uint32_t ms;
        const char* text;
    } cases[] = {
        {45, 65000, "Update:45% complete,abount 1 minute 5 second need..."},
        {45, 60000, "Update:45% complete,abount 1 minute need..."},
        {45, 59999, "Update:45% complete,abount 59 seconds need ..."},
        {45, 999, "Update:45% complete,abount 0 seconds need ..."},
        {100, 0, "Update:100% complete,abount 0 seconds need ..."},
        {7, 3600000, "Update:7% complete,abount 60 minute need..."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ProgressStatusText(c.percent, c.ms), c.text);
    }
}

// --- Continuous mode's poll --------------------------------------------------------------------

struct PollStep {
    bool found;
    bool lastRunSucceeded;
    PollAction action;
    std::int32_t old, absent, present;  // the state after the poll
};

void RunSteps(CDevicePollState& state, const std::vector<PollStep>& steps, const char* scenario) {
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const PollStep& s = steps[i];
        EXPECT_EQ(state.OnPoll(s.found, s.lastRunSucceeded), s.action) << scenario << " poll " << i;
        EXPECT_EQ(state.g_bOldDeviceAttached, s.old) << scenario << " poll " << i;
        EXPECT_EQ(state.g_nAbsentPolls, s.absent) << scenario << " poll " << i;
        EXPECT_EQ(state.g_nPresentPolls, s.present) << scenario << " poll " << i;
    }
}

constexpr auto CLOSE = PollAction::CloseDevice;
constexpr auto WAIT = PollAction::KeepWaiting;
constexpr auto START = PollAction::StartRun;

TEST(DevicePoll, IgnoresTheUpdatedDeviceUntilItHasBeenAwayForTwoPolls) {
    CDevicePollState state;
    RunSteps(state,
             {
                 {true, true, CLOSE, 1, 0, 0},  // the device just updated, still attached
                 {true, true, CLOSE, 1, 0, 0},
                 {false, true, WAIT, 1, 1, 0},  // unplugged
                 {false, true, WAIT, 0, 2, 0},  // away for two polls: forgotten
                 {true, true, WAIT, 0, 0, 1},   // a new device
                 {true, true, WAIT, 0, 0, 2},
                 {true, true, START, 1, 0, 3},  // third poll in a row: the next run
             },
             "swap");
}

TEST(DevicePoll, ASwapFasterThanTwoPollsIsTakenForTheOldDevice) {
    CDevicePollState state;
    RunSteps(state,
             {
                 {false, true, WAIT, 1, 1, 0},
                 {true, true, CLOSE, 1, 0, 0},  // back after one poll: still the old one
                 {true, true, CLOSE, 1, 0, 0},
             },
             "fast swap");
}

TEST(DevicePoll, AfterAFailureTheAttachedDeviceIsRetried) {
    CDevicePollState state;
    RunSteps(state,
             {
                 {true, false, WAIT, 1, 0, 1},
                 {true, false, WAIT, 1, 0, 2},
                 {true, false, START, 1, 0, 3},
             },
             "first retry");
    // A retry started by the poll leaves the count at 3: the next failure retries at once.
    RunSteps(state, {{true, false, START, 1, 0, 4}}, "second retry");
    // A poll without a device in between starts the count afresh.
    RunSteps(state,
             {
                 {false, false, WAIT, 1, 1, 0},
                 {true, false, WAIT, 1, 0, 1},
             },
             "after a gap");
}

}  // namespace
}  // namespace tarv
