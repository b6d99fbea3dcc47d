// tarv-updater-cli: the console front end.
#include <CLI/CLI.hpp>
#include <iostream>

#include "base/std_descriptors.h"
#include "cli/inspect.h"
#include "cli/stop_signal.h"
#include "cli/update_command.h"
#include "package/sha256.h"
#include "rig/sim_command_line.h"

int main(int argc, char** argv) {
    // Before anything is opened or read: the standard descriptors are there, and a signal or a
    // closed pipe from here on is handled, never the default action.
    tarv::OpenMissingStandardDescriptors();
    tarv::cli::InstallStopSignals();

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
    updateCommand->add_option("--log", update.logPath, "Append one JSON line per run to this file")
        ->check([](const std::string& path) {
            return path.empty() ? std::string("--log needs a file name") : std::string();
        });
    updateCommand
        ->add_option_function<std::string>(
            "--sha256",
            [&update](const std::string& hex) { update.sha256 = tarv::ParseSha256Hex(hex); },
            "The package's SHA-256 (64 hex digits); refuse a package with another")
        ->check([](const std::string& hex) {
            return tarv::ParseSha256Hex(hex) ? std::string()
                                             : std::string("--sha256 wants 64 hex digits");
        });
    CLI::Option* continuous = updateCommand->add_flag(
        "--continuous", update.continuous, "Update one device after another until Ctrl-C");

    tarv::AddSimulatorOptions(*updateCommand, update.simulate, update.sim);
    updateCommand->get_option("--sim-devices")->needs(continuous);

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
