#include "update/poll_state.h"

namespace tarv {

PollAction CDevicePollState::OnPoll(bool deviceFound, bool lastRunSucceeded) {
    if (!deviceFound) {
        g_nPresentPolls = 0;
        if (++g_nAbsentPolls >= POLL_ABSENT_TO_FORGET) {
            g_bOldDeviceAttached = 0;
        }
        return PollAction::KeepWaiting;
    }
    g_nAbsentPolls = 0;
    if (g_bOldDeviceAttached != 0 && lastRunSucceeded) {
        return PollAction::CloseDevice;
    }
    if (++g_nPresentPolls < POLL_PRESENT_TO_START) {
        return PollAction::KeepWaiting;
    }
    g_bOldDeviceAttached = 1;
    return PollAction::StartRun;
}

}  // namespace tarv
