// The simulated device through /dev/uhid: the kernel's HID core, hidraw and hidapi see it as a
// USB HID device, without USB underneath. For a developer's own machine (it needs access to
// /dev/uhid) and the test VM.
#pragma once

#include <string>

#include "simdevice/kernel_endpoint.h"

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
    std::string m_node;
    int m_fd = -1;  // one open of the node is one device
};

}  // namespace tarv::simdevice
