// tarv-sim-device: the device simulator behind the kernel's HID stack, so that the real updater
// and hidapi can be run against it.
//
//   tarv-sim-device gadget|uhid [OPTIONS]
//
// gadget: a USB HID gadget on a device controller (the dummy host controller in the test VM);
// uhid: a HID device through /dev/uhid. It runs until SIGINT or SIGTERM, or with --devices until
// the simulated operator has swapped in and finished the last device; then it saves the flash
// images and says what a correct host would not have done. Exit status: 0 all well, 1 the host
// broke the protocol (or an image could not be saved), 2 usage, 3 the kernel side failed.
#include <CLI/CLI.hpp>
#include <csignal>
#include <iostream>
#include <memory>

#include "base/clock.h"
#include "rig/sim_rig.h"
#include "simdevice/bridge.h"
#include "simdevice/uhid_endpoint.h"
#include "simdevice/usb_gadget.h"

namespace {

std::atomic<bool> g_bStop{false};

void OnSignal(int) {
    g_bStop.store(true);
}

CLI::Validator Checked(std::string (*check)(std::string_view), const char* name) {
    return CLI::Validator([check](std::string& text) { return check(text); }, "", name);
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App cli{"The device simulator behind the kernel's HID stack.", "tarv-sim-device"};
    cli.require_subcommand(1);
    CLI::App* gadget = cli.add_subcommand("gadget", "A USB HID gadget on a device controller");
    CLI::App* uhid = cli.add_subcommand("uhid", "A HID device through /dev/uhid");
    std::string udc;
    gadget->add_option("--udc", udc, "The device controller (default: the first one)");
    std::string uhidNode = "/dev/uhid";
    uhid->add_option("--node", uhidNode, "The uhid node");

    tarv::SimOptions sim;
    bool noPace = false;
    tarv::simdevice::BridgeOptions bridgeOptions;
    for (CLI::App* command : {gadget, uhid}) {
        command->add_option("--flash-in", sim.flashIn, "The flash before");
        command->add_option("--flash-out", sim.flashOut, "The flash after");
        command->add_option("--versions", sim.versions, "Versions the device reports: P,S,C")
            ->check(Checked(&tarv::CheckSimVersions, "P,S,C"));
        command->add_option("--fault", sim.faults, "[K:]FAULT, as the updater's --sim-fault")
            ->allow_extra_args(false)
            ->check(Checked(&tarv::CheckSimFault, "FAULT"));
        command
            ->add_option("--devices", sim.devices,
                         "Devices swapped in one after another by a simulated operator")
            ->check(CLI::Range(1, 1000));
        command->add_flag("--no-pace", noPace,
                          "The device takes no time of its own (the kernel path sets the pace)");
        command->add_option("--quiet-ms", bridgeOptions.operatorQuietMs,
                            "The operator unplugs a written device quiet this long");
    }
    try {
        cli.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return cli.exit(e) == 0 ? 0 : 2;
    }

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::cout.setf(std::ios::unitbuf);
    const auto log = [](const std::string& line) {
        std::cout << "tarv-sim-device: " << line << '\n';
    };

    tarv::Clock& clock = tarv::SystemClock::Instance();
    tarv::SimBench bench(clock, !noPace);
    if (const std::string error = bench.Setup(sim); !error.empty()) {
        std::cerr << "tarv-sim-device: " << error << '\n';
        return 2;
    }

    std::unique_ptr<tarv::simdevice::KernelEndpoint> endpoint;
    if (*gadget) {
        auto usb = std::make_unique<tarv::simdevice::UsbGadgetEndpoint>(udc);
        std::string error;
        if (!usb->Create(error)) {
            std::cerr << "tarv-sim-device: " << error << '\n';
            return 3;
        }
        endpoint = std::move(usb);
    } else {
        endpoint = std::make_unique<tarv::simdevice::UhidEndpoint>(uhidNode);
    }

    std::string error;
    std::uint64_t fromHost = 0;
    std::uint64_t toHost = 0;
    {
        tarv::simdevice::DeviceBridge bridge(bench, *endpoint, clock, sim.devices > 0, log,
                                             bridgeOptions);
        error = bridge.Run(g_bStop);
        fromHost = bridge.ReportsFromHost();
        toHost = bridge.ReportsToHost();
    }
    endpoint.reset();
    log("reports from the host " + std::to_string(fromHost) + ", to the host " +
        std::to_string(toHost));
    if (!error.empty()) {
        std::cerr << "tarv-sim-device: " << error << '\n';
        return 3;
    }
    const std::vector<std::string> problems = bench.Finish();
    for (const std::string& problem : problems) {
        std::cerr << "tarv-sim-device: " << problem << '\n';
    }
    return problems.empty() ? 0 : 1;
}
