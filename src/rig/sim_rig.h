// The simulated rig behind `update --simulate`: the device simulator in place of hidapi, for the
// demo, for trying out packages and for the end-to-end tests.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "rig/device_rig.h"
#include "sim/simulator.h"

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
// unplug-after=K, never-answer, late=MS, short=N, garbage, refuse-writes, stay-away,
// not-permitted (the device's node may not be opened by this user), in-use
// (the device is held by another process; every device) and away=MS (time away after a reset).
std::string CheckSimFault(std::string_view text);
// What is wrong with a --sim-versions text (three versions of four characters, comma
// separated), empty when it is good.
std::string CheckSimVersions(std::string_view text);

// The simulated devices that options describe, on a transport of their own: the simulated rig's
// devices, and the ones a device-side adapter puts behind the kernel's HID stack.
class SimBench {
  public:
    // `clock` must outlive the bench. Without `realPace` the devices take no time.
    SimBench(Clock& clock, bool realPace);

    // Adds and prepares the devices (the first present, the others unplugged until the operator
    // plugs them in) and applies versions and faults. Returns what went wrong, empty on success.
    std::string Setup(const SimOptions& options);

    sim::SimTransport& Transport() { return m_transport; }
    sim::SimInUseMarker& Marker() { return m_marker; }
    std::size_t DeviceCount() const { return m_devices.size(); }
    sim::SimulatedDevice& Device(std::size_t k) { return *m_devices[k]; }

    // At the end, with every connection closed: saves the flash images asked for and returns
    // what a correct host would not have left behind (violations, open connections, a held
    // marker), empty when nothing.
    std::vector<std::string> Finish();

  private:
    Clock& m_clock;
    bool m_bRealPace;
    sim::SimTransport m_transport{m_clock};
    sim::SimInUseMarker m_marker;
    std::vector<sim::SimulatedDevice*> m_devices;
    std::vector<std::string> m_flashOut;  // per device; empty: not kept
};

// Null, with `error` saying why, when the options cannot be carried out (a device number beyond
// the devices, a flash image that cannot be read).
std::unique_ptr<DeviceRig> MakeSimRig(const SimOptions& options, std::string& error);

}  // namespace tarv
