// tarv-updater-cli: the console front end.
#include <CLI/CLI.hpp>
#include <iostream>

#include "cli/inspect.h"
#include "cli/update_command.h"
#include "rig/sim_rig.h"

namespace {

// A CLI11 check from one of ours that says what is wrong, or nothing.
CLI::Validator Checked(std::string (*check)(std::string_view), const char* name) {
    return CLI::Validator([check](std::string& text) { return check(text); }, "", name);
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Console front end of the Tarv firmware updater.", "tarv-updater-cli"};
    app.require_subcommand(1);

    tarv::cli::InspectOptions inspect;
    CLI::App* inspectCommand =
        app.add_subcommand("inspect", "Load an update package and print what it holds");
    inspectCommand->add_flag("--json", inspect.json, "Print one JSON object");
    inspectCommand->add_option("PACKAGE", inspect.packagePath, "The package file")->required();

    tarv::cli::UpdateOptions update;
    CLI::App* updateCommand = app.add_subcommand("update", "Update the device with a package");
    updateCommand->add_option("PACKAGE", update.packagePath,
                              "The package file (default: TarvUpdate.Bin beside the program)");
    updateCommand->add_flag("--json", update.json, "One JSON object a line for every event");
    CLI::Option* yes = updateCommand->add_flag_callback(
        "--yes", [&update] { update.answer = true; },
        "Rewrite a device that already has the package's versions");
    CLI::Option* no = updateCommand->add_flag_callback(
        "--no", [&update] { update.answer = false; }, "Leave such a device as it is");
    yes->excludes(no);
    CLI::Option* continuous = updateCommand->add_flag(
        "--continuous", update.continuous, "Update one device after another until Ctrl-C");

    tarv::SimOptions& sim = update.sim;
    CLI::Option* simulate =
        updateCommand->add_flag("--simulate", update.simulate, "Update a simulated device");
    updateCommand->add_flag("--sim-instant", sim.instant, "Simulate on a virtual clock, at once")
        ->needs(simulate);
    updateCommand->add_option("--sim-flash-in", sim.flashIn, "The simulated flash before")
        ->needs(simulate);
    updateCommand->add_option("--sim-flash-out", sim.flashOut, "The simulated flash after")
        ->needs(simulate);
    updateCommand->add_option("--sim-versions", sim.versions, "Versions the device reports: P,S,C")
        ->check(Checked(&tarv::CheckSimVersions, "P,S,C"))
        ->needs(simulate);
    updateCommand
        ->add_option("--sim-fault", sim.faults,
                     "[K:]unplug-after=N|never-answer|late=MS|short=N|garbage|refuse-writes|"
                     "stay-away|in-use|away=MS")
        ->allow_extra_args(false)  // one fault per --sim-fault, so PACKAGE may follow
        ->check(Checked(&tarv::CheckSimFault, "FAULT"))
        ->needs(simulate);
    updateCommand
        ->add_option("--sim-devices", sim.devices,
                     "Devices plugged in one after another (continuous mode)")
        ->check(CLI::Range(1, 1000))
        ->needs(simulate)
        ->needs(continuous);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // Usage errors exit with 2, so that a script tells them from a refused package (1).
        return app.exit(e) == 0 ? 0 : 2;
    }

    if (*inspectCommand) {
        return tarv::cli::RunInspect(inspect, std::cout, std::cerr);
    }
    if (*updateCommand) {
        return tarv::cli::RunUpdateCommand(update);
    }
    return 2;
}
