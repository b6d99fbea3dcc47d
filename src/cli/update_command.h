// `tarv-updater-cli update`: one update run, or continuous mode's series of runs, on the real
// device or on the simulator, through the same core as the wizard.
#pragma once

#include <optional>
#include <string>

#include "rig/sim_rig.h"

namespace tarv::cli {

struct UpdateOptions {
    std::string packagePath;     // empty: TarvUpdate.Bin beside the executable
    bool json = false;           // one JSON object a line for every event
    bool continuous = false;     // no finish command; after each run wait for the next device
    std::optional<bool> answer;  // --yes / --no for the version question
    bool simulate = false;
    SimOptions sim;
    std::string logPath;  // not empty: one JSON line per run is appended to this file
};

// Returns the process exit status: 0 when the run succeeded (continuous mode: no run failed),
// 1 otherwise: a refused package, no device, a failed or declined run, an interrupted run, a
// fault the simulator saw; 2 when a simulator option cannot be carried out.
int RunUpdateCommand(const UpdateOptions& options);

}  // namespace tarv::cli
