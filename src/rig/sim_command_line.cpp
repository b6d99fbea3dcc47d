#include "rig/sim_command_line.h"

namespace tarv {
namespace {

// A CLI11 check from one of ours that says what is wrong, or nothing.
CLI::Validator Checked(std::string (*check)(std::string_view), const char* name) {
    return CLI::Validator([check](std::string& text) { return check(text); }, "", name);
}

}  // namespace

CLI::Option* AddSimulatorOptions(CLI::App& command, bool& simulate, SimOptions& options) {
    CLI::Option* simulateFlag =
        command.add_flag("--simulate", simulate, "Use the device simulator (the demo)");
    command.add_flag("--sim-instant", options.instant, "Simulate on a virtual clock, at once")
        ->needs(simulateFlag);
    command.add_option("--sim-flash-in", options.flashIn, "The simulated flash before")
        ->needs(simulateFlag);
    command.add_option("--sim-flash-out", options.flashOut, "The simulated flash after")
        ->needs(simulateFlag);
    command.add_option("--sim-versions", options.versions, "Versions the device reports: P,S,C")
        ->check(Checked(&CheckSimVersions, "P,S,C"))
        ->needs(simulateFlag);
    command
        .add_option("--sim-fault", options.faults,
                    "[K:]unplug-after=N|never-answer|late=MS|short=N|garbage|refuse-writes|"
                    "stay-away|not-permitted|in-use|away=MS (repeatable)")
        ->allow_extra_args(false)  // one fault per --sim-fault, so PACKAGE may follow
        ->check(Checked(&CheckSimFault, "FAULT"))
        ->needs(simulateFlag);
    command
        .add_option("--sim-devices", options.devices,
                    "Devices plugged in one after another (continuous mode)")
        ->check(CLI::Range(1, 1000))
        ->needs(simulateFlag);
    return simulateFlag;
}

}  // namespace tarv
