// tarv-updater-cli: the console front end.
#include <CLI/CLI.hpp>
#include <iostream>

#include "cli/inspect.h"

int main(int argc, char** argv) {
    CLI::App app{"Console front end of the Tarv firmware updater.", "tarv-updater-cli"};
    app.require_subcommand(1);

    tarv::cli::InspectOptions inspect;
    CLI::App* inspectCommand =
        app.add_subcommand("inspect", "Load an update package and print what it holds");
    inspectCommand->add_flag("--json", inspect.json, "Print one JSON object");
    inspectCommand->add_option("PACKAGE", inspect.packagePath, "The package file")->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // Usage errors exit with 2, so that a script tells them from a refused package (1).
        return app.exit(e) == 0 ? 0 : 2;
    }

    if (*inspectCommand) {
        return tarv::cli::RunInspect(inspect, std::cout, std::cerr);
    }
    return 2;
}
