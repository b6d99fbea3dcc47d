// `tarv-updater-cli update`: one update run, or continuous mode's series of runs, on the real
// device or on the simulator, through the same core as the wizard.
#pragma once

#include <optional>
#include <string>

#include "package/sha256.h"
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
    // The digest the package must have (--sha256); otherwise the checksum file beside it, if any.
    std::optional<Sha256Digest> sha256;
};

// Exit statuses.
inline constexpr int EXIT_SUCCESS_STATUS = 0;
inline constexpr int EXIT_FAILURE_STATUS = 1;
inline constexpr int EXIT_USAGE_STATUS = 2;
// The runs ended as their log lines say, but what was printed on the way was lost (stdout or
// stderr closed or full): whoever read it cannot know how they ended.
inline constexpr int EXIT_OUTPUT_LOST_STATUS = 3;

// Returns the process exit status: 0 when the run succeeded (continuous mode: no run failed),
// 1 otherwise: a refused package, no device, a failed, stopped or declined run, a log record
// that could not be written, a fault the simulator saw; 2 when a simulator option cannot be
// carried out; 3 when the output was lost; 128 + N when signal N (SIGINT, SIGTERM, SIGHUP)
// ended it, after the run was stopped, its log line written and the summary printed.
// InstallStopSignals must have run.
int RunUpdateCommand(const UpdateOptions& options);

}  // namespace tarv::cli
