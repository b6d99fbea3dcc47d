#include "simdevice/bridge.h"

#include <algorithm>
#include <array>

namespace tarv::simdevice {
namespace {

bool Due(std::uint32_t at, std::uint32_t now) {
    return static_cast<std::int32_t>(now - at) >= 0;
}

}  // namespace

DeviceBridge::DeviceBridge(SimBench& bench, KernelEndpoint& endpoint, Clock& clock,
                           bool operatorMode, std::function<void(const std::string&)> log,
                           BridgeOptions options)
    : m_bench(bench),
      m_endpoint(endpoint),
      m_clock(clock),
      m_bOperator(operatorMode),
      m_log(std::move(log)),
      m_options(options) {}

DeviceBridge::~DeviceBridge() {
    Detach();
}

std::string DeviceBridge::Run(const std::atomic<bool>& stop) {
    std::string error;
    while (!stop.load(std::memory_order_relaxed) && error.empty()) {
        if (!Step(error)) {
            break;
        }
    }
    Detach();
    return error;
}

void DeviceBridge::Attach(std::string& error) {
    sim::SimulatedDevice& device = m_bench.Device(m_nCurrent);
    const std::string path = device.Path();
    m_connection = m_bench.Transport().Open(path);
    if (!m_connection) {
        return;  // gone again already; the next round sees it
    }
    if (!m_endpoint.Connect(error)) {
        m_connection.reset();
        return;
    }
    m_connectedPath = path;
    m_lastReportAt = m_clock.TickCount();
    m_log("device " + std::to_string(m_nCurrent + 1) + " on the bus (" + path + ")");
}

void DeviceBridge::Detach() {
    if (!m_connection) {
        return;
    }
    m_pendingInput.clear();
    m_connection.reset();
    m_endpoint.Disconnect();
    m_log("device " + std::to_string(m_nCurrent + 1) + " off the bus");
    m_connectedPath.clear();
}

bool DeviceBridge::Step(std::string& error) {
    if (m_bDone) {
        return false;
    }
    sim::SimulatedDevice& device = m_bench.Device(m_nCurrent);
    const std::string path = device.Path();
    // A device that reset comes back under a new path; to the host that is a new device too.
    if (m_connection && path != m_connectedPath) {
        Detach();
    }
    if (!m_connection && !path.empty()) {
        Attach(error);
        if (!error.empty()) {
            return false;
        }
    }

    if (m_connection) {
        std::array<std::uint8_t, DEVICE_REPORT_SIZE> output{};
        const int n = m_endpoint.ReadOutput(output, m_options.pollMs);
        if (n > 0) {
            // The link's view of a report: the report ID first, 65 bytes in all.
            HidReport report{};
            std::copy_n(output.begin(), static_cast<std::size_t>(n), report.begin() + 1);
            m_connection->Write(report);
            ++m_nFromHost;
            m_lastReportAt = m_clock.TickCount();
        }
        HidReport reply{};
        int r;
        while ((r = m_connection->Read(reply, 0)) > 0) {
            m_pendingInput.emplace_back(reply.begin() + 1, reply.begin() + r);
        }
        while (!m_pendingInput.empty()) {
            const InputResult result = m_endpoint.WriteInput(m_pendingInput.front());
            if (result == InputResult::NotNow) {
                break;
            }
            if (result == InputResult::Taken) {
                ++m_nToHost;
            }
            m_pendingInput.pop_front();
        }
    } else {
        m_clock.SleepFor(static_cast<std::uint32_t>(m_options.pollMs));
    }

    if (m_bOperator) {
        Operate();
    }
    return !m_bDone;
}

void DeviceBridge::Operate() {
    const std::uint32_t now = m_clock.TickCount();
    if (m_bPlugPending) {
        if (Due(m_plugAt, now)) {
            m_bPlugPending = false;
            ++m_nCurrent;
            m_bench.Device(m_nCurrent).PlugIn();
        }
        return;
    }
    sim::SimulatedDevice& device = m_bench.Device(m_nCurrent);
    // A run has written the device in update mode and the host has gone quiet.
    const bool written = device.Resets() > 0 && device.DataReports() > 0;
    if (!written || !Due(m_lastReportAt + m_options.operatorQuietMs, now)) {
        return;
    }
    device.Unplug();
    Detach();
    if (m_nCurrent + 1 >= m_bench.DeviceCount()) {
        m_log("the last device is done");
        m_bDone = true;
        return;
    }
    m_plugAt = now + m_options.operatorPlugMs;
    m_bPlugPending = true;
}

}  // namespace tarv::simdevice
