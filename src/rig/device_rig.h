// Where the update command finds its device: the real one through hidapi, or the simulator.
//
// A rig owns the transport, the in-use marker, the clock the runs use and the one device link.
// The simulated rig also plays the operator of continuous mode (unplugging a device after its
// run and plugging in the next) and checks the devices at the end; the real one does neither.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "base/clock.h"
#include "inhibit/inhibitor.h"
#include "link/hid_link.h"

namespace tarv {

class DeviceRig {
  public:
    virtual ~DeviceRig() = default;

    virtual CHidLink& Link() = 0;
    // The clock of the runs and of the wait between them.
    virtual Clock& RunClock() = 0;
    // What keeps the machine awake while a run writes the device: logind for the real device,
    // nothing for a simulated one.
    virtual SleepInhibitor& Inhibitor() { return m_noInhibitor; }

    // Continuous mode: a run has ended.
    virtual void OnRunEnded() {}
    // Continuous mode: once before each poll for the next device.
    virtual void OnPoll() {}
    // True when nothing more will come: the program ends as if interrupted.
    virtual bool AllDone() const { return false; }

    // Demo: plugs in the first device, which the rig was told to keep unplugged at the start.
    virtual void Attach() {}

    // At the end, with the link closed: keeps what is to be kept and returns what went wrong on
    // the rig's side, empty when nothing did.
    virtual std::vector<std::string> Finish() { return {}; }

  private:
    NoInhibitor m_noInhibitor;
};

// The real device through hidapi, the machine-wide in-use marker, the system clock and logind's
// sleep inhibitor (where there is no logind, nothing).
std::unique_ptr<DeviceRig> MakeHardwareRig();

}  // namespace tarv
