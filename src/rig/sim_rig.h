// The simulated rig behind `update --simulate`: the device simulator in place of hidapi, for the
// demo, for trying out packages and for the end-to-end tests.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "rig/device_rig.h"

namespace tarv {

struct SimOptions {
    // A virtual clock and devices that take no time, instead of the system clock and a device's
    // real pace (1 ms a report, 40 ms an erased block, 1.5 s away after a reset).
    bool instant = false;
    // The 8 MiB flash before and after; with several devices, device k's are FILE.k.
    std::string flashIn;
    std::string flashOut;
    std::string versions;             // "P,S,C" as the device reports them; empty: its own
    std::vector<std::string> faults;  // each "[K:]FAULT", K the device (from 1), all without
    // Continuous mode: this many devices, plugged in one after another by a simulated operator;
    // the program ends after the last one's run. 0: one device, left alone.
    int devices = 0;
    // The first device starts unplugged, until Attach: the demo's "plug it in now".
    bool startUnplugged = false;
};

// What is wrong with one --sim-fault text, empty when it is good. The faults:
// unplug-after=K, never-answer, late=MS, short=N, garbage, refuse-writes, stay-away, in-use
// (the device is held by another process; every device) and away=MS (time away after a reset).
std::string CheckSimFault(std::string_view text);
// What is wrong with a --sim-versions text (three versions of four characters, comma
// separated), empty when it is good.
std::string CheckSimVersions(std::string_view text);

// Null, with `error` saying why, when the options cannot be carried out (a device number beyond
// the devices, a flash image that cannot be read).
std::unique_ptr<DeviceRig> MakeSimRig(const SimOptions& options, std::string& error);

}  // namespace tarv
