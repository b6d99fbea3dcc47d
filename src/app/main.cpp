// tarv-updater: the wizard.
//
//   tarv-updater [PACKAGE] [--log FILE] [--simulate [SIMULATOR OPTIONS]]
//
// Without PACKAGE the package and its release notes are the ones beside the executable. With
// --simulate the device simulator takes the real device's place: the demo, in which the device
// is plugged in a few seconds after the start.
//
// SIGINT, SIGTERM and SIGHUP stop a running run (its line still goes to the log) and end the
// program with status 128 + the signal's number.
#include <CLI/CLI.hpp>
#include <QApplication>
#include <QDialog>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "app/end_signals.h"
#include "app/message_box.h"
#include "app/sim_operator.h"
#include "app/update_app.h"
#include "base/std_descriptors.h"
#include "package/package.h"
#include "rig/sim_command_line.h"

namespace {

QtMessageHandler g_previousMessageHandler = nullptr;

// While the application object is made. A display that cannot be opened (none there, or an X
// server that refuses the connection) is a fatal message to Qt, which then aborts: a core dump
// for what is no crash. Say it and end with status 1 instead.
void OnStartupMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type != QtFatalMsg) {
        if (g_previousMessageHandler != nullptr) {
            g_previousMessageHandler(type, context, text);
        } else {
            std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, text)));
        }
        return;
    }
    std::fprintf(stderr, "%s: cannot start the user interface: %s\n",
                 tarv::GetModuleDisplayName().c_str(), qPrintable(text));
    std::_Exit(tarv::EXIT_FATAL);
}

}  // namespace

int main(int argc, char** argv) {
    // Before anything else, so that no signal finds the default action (an end without the
    // run's line or the status that says why), and no file opened later takes the place of a
    // closed standard stream.
    tarv::OpenMissingStandardDescriptors();
    tarv::InstallEndSignalHandlers();

    CLI::App cli{"The Tarv firmware updater.", "tarv-updater"};
    std::string packagePath;
    bool simulate = false;
    tarv::SimOptions sim;
    int plugInMs = 3000;
    cli.add_option("PACKAGE", packagePath,
                   "The package (default: TarvUpdate.Bin beside the program)");
    std::string logPath;
    cli.add_option("--log", logPath, "Append one JSON line per run to this file")
        ->check([](const std::string& path) {
            return path.empty() ? std::string("--log needs a file name") : std::string();
        });
    CLI::Option* simulateFlag = tarv::AddSimulatorOptions(cli, simulate, sim);
    cli.add_option("--sim-plug-in", plugInMs,
                   "Milliseconds until the simulated device is plugged in")
        ->check(CLI::Range(0, 600000))
        ->needs(simulateFlag);
    // For tests of the real program: the simulated operator goes through the first two pages.
    // Hidden from the help: nothing for a user.
    bool simStart = false;
    cli.add_flag("--sim-start", simStart, "The simulated operator presses Next and Start")
        ->needs(simulateFlag)
        ->group("");
    try {
        cli.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return cli.exit(e) == 0 ? 0 : 2;
    }

    g_previousMessageHandler = qInstallMessageHandler(&OnStartupMessage);
    QApplication application(argc, argv);
    qInstallMessageHandler(g_previousMessageHandler);
    // Signals reach the application object once there is one; before, only the box below can
    // be open, and a signal closes it.
    tarv::CUpdateApp* pApp = nullptr;
    int earlySignal = 0;
    const tarv::CEndSignalWatch signalWatch([&pApp, &earlySignal](int signal) {
        if (pApp != nullptr) {
            pApp->OnEndSignal(signal);
            return;
        }
        earlySignal = earlySignal != 0 ? earlySignal : signal;
        if (auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            box->reject();
        }
    });

    // A log that cannot be written is said at once, before any device is touched.
    std::unique_ptr<tarv::CRunLog> log;
    if (!logPath.empty()) {
        std::string error;
        log = tarv::CRunLog::Open(logPath, error);
        if (!log) {
            tarv::ShowStandardMessage(nullptr, error);
            return earlySignal != 0 ? tarv::EXIT_SIGNAL_BASE + earlySignal : 1;
        }
    }

    std::unique_ptr<tarv::DeviceRig> rig;
    if (simulate) {
        sim.startUnplugged = plugInMs > 0;
        std::string error;
        rig = tarv::MakeSimRig(sim, error);
        if (!rig) {
            std::cerr << tarv::GetModuleDisplayName() << ": " << error << '\n';
            return 2;
        }
    } else {
        rig = tarv::MakeHardwareRig();
    }
    tarv::LoadOptions load = tarv::DefaultLoadOptions();
    if (!packagePath.empty()) {
        load.packagePath = packagePath;
        load.releaseNotesPath =
            std::string(tarv::CutAtLastSeparator(packagePath, '/')) + "readme.txt";
    }
    load.clock = &rig->RunClock();

    tarv::CUpdateApp app(*rig, load);
    app.m_pRunLog = log.get();
    pApp = &app;
    std::unique_ptr<tarv::CSimOperator> simOperator;
    if (simStart) {
        simOperator = std::make_unique<tarv::CSimOperator>(sim.devices > 0);
        if (plugInMs == 0) {
            simOperator->DevicePluggedIn();
        }
    }
    if (simulate && plugInMs > 0) {
        // The demo's device arrives a little after the start, as if plugged in by the user.
        QTimer::singleShot(plugInMs, [&rig, &simOperator] {
            rig->Attach();
            if (simOperator) {
                simOperator->DevicePluggedIn();
            }
        });
    }
    const int status = app.Run();
    if (simulate) {
        for (const std::string& problem : rig->Finish()) {
            std::cerr << tarv::GetModuleDisplayName() << ": " << problem << '\n';
        }
    }
    return status;
}
