// The simulated device through /dev/uhid: the kernel's HID core, hidraw and hidapi see it as a
// USB HID device, without USB underneath. For a developer's own machine (it needs access to
// /dev/uhid) and the test VM.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "simdevice/kernel_endpoint.h"

struct uhid_event;  // <linux/uhid.h>

namespace tarv::simdevice {

class UhidEndpoint final : public KernelEndpoint {
  public:
    explicit UhidEndpoint(std::string node = "/dev/uhid");
    ~UhidEndpoint() override;

    bool Connect(std::string& error) override;
    void Disconnect() override;
    int ReadOutput(std::span<std::uint8_t, DEVICE_REPORT_SIZE> report, int timeoutMs) override;
    InputResult WriteInput(std::span<const std::uint8_t> report) override;

  private:
    // uhid has no flow control: a writer on hidraw never waits for the device, and the kernel
    // drops output reports once 32 are queued. So a thread of its own takes every event off the
    // node as it comes and keeps the reports for ReadOutput, however slowly that is called.
    void Reader();
    void Answer(const ::uhid_event& request);

    std::string m_node;
    int m_fd = -1;  // one open of the node is one device
    std::thread m_reader;
    std::atomic<bool> m_bStop{false};
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::deque<std::vector<std::uint8_t>> m_reports;  // guarded by m_mutex
};

}  // namespace tarv::simdevice
