// Joins the simulated devices of a bench to a kernel endpoint: every report the host writes goes
// to the simulated device that is on the bus, every reply it makes goes to the host as an input
// report, and when the device leaves the bus (its reset, an unplug fault) the endpoint leaves
// too and comes back when the device does, as a new device for the host.
//
// With several devices the bridge also plays the operator of continuous mode: once a device
// that was written in update mode has heard nothing for a while, they unplug it and a little
// later plug in the next one; the bridge is done when the last one has gone quiet the same way.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/clock.h"
#include "rig/sim_rig.h"
#include "simdevice/kernel_endpoint.h"

namespace tarv::simdevice {

struct BridgeOptions {
    // The operator: quiet this long after its run, a device is unplugged; the next one follows
    // this long after.
    std::uint32_t operatorQuietMs = 1500;
    std::uint32_t operatorPlugMs = 1000;
    // How long one wait for the host may take, so that a stop is seen soon.
    int pollMs = 5;
};

class DeviceBridge {
  public:
    // With `operatorMode` the devices are swapped as above and Run ends after the last one;
    // without it Run only ends when asked to. `log` gets one line per event.
    DeviceBridge(SimBench& bench, KernelEndpoint& endpoint, Clock& clock, bool operatorMode,
                 std::function<void(const std::string&)> log, BridgeOptions options = {});
    ~DeviceBridge();

    // Runs until `stop` is set or the operator is done; leaves the endpoint off the bus and no
    // connection open. Returns what went wrong with the endpoint, empty when nothing did.
    std::string Run(const std::atomic<bool>& stop);

    // One round: the cable, one report from the host, the replies, the operator. Returns false
    // once the operator is done. For tests; Run calls it in a loop.
    bool Step(std::string& error);

    std::uint64_t ReportsFromHost() const { return m_nFromHost; }
    std::uint64_t ReportsToHost() const { return m_nToHost; }

  private:
    void Attach(std::string& error);
    void Detach();
    void Operate();

    SimBench& m_bench;
    KernelEndpoint& m_endpoint;
    Clock& m_clock;
    bool m_bOperator;
    std::function<void(const std::string&)> m_log;
    BridgeOptions m_options;

    std::size_t m_nCurrent = 0;
    std::unique_ptr<HidConnection> m_connection;
    std::string m_connectedPath;
    std::deque<std::vector<std::uint8_t>> m_pendingInput;
    std::uint32_t m_lastReportAt = 0;
    std::uint32_t m_plugAt = 0;
    bool m_bPlugPending = false;
    bool m_bDone = false;
    std::uint64_t m_nFromHost = 0;
    std::uint64_t m_nToHost = 0;
};

}  // namespace tarv::simdevice
