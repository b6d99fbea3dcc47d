#pragma once
// The device simulator's options on a command line, the same in every front end.
#include <CLI/CLI.hpp>

#include "rig/sim_rig.h"

namespace tarv {

// Adds --simulate (setting `simulate`) and the --sim-* options that fill `options`; each of the
// latter needs --simulate. Returns the --simulate option, for the front end's own additions.
CLI::Option* AddSimulatorOptions(CLI::App& command, bool& simulate, SimOptions& options);

}  // namespace tarv
