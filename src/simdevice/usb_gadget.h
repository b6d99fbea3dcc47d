// The simulated device as a USB device: a HID function of a configfs gadget bound to a USB
// device controller (the dummy host controller's, in the test VM), answered on /dev/hidgN.
// The host then sees it through its own USB stack: the HID driver, hidraw, hidapi.
#pragma once

#include <string>

#include "simdevice/kernel_endpoint.h"

namespace tarv::simdevice {

class UsbGadgetEndpoint final : public KernelEndpoint {
  public:
    // `udc` names the device controller; empty: the first one in /sys/class/udc.
    explicit UsbGadgetEndpoint(std::string udc = {},
                               std::string configfs = "/sys/kernel/config/usb_gadget");
    ~UsbGadgetEndpoint() override;

    // Makes the gadget in configfs (not yet bound). Returns false with the reason in `error`.
    bool Create(std::string& error);

    bool Connect(std::string& error) override;
    void Disconnect() override;
    int ReadOutput(std::span<std::uint8_t, DEVICE_REPORT_SIZE> report, int timeoutMs) override;
    InputResult WriteInput(std::span<const std::uint8_t> report) override;

  private:
    void Remove();

    std::string m_udc;
    std::string m_configfs;
    std::string m_gadget;  // the gadget's folder once made
    int m_fd = -1;         // /dev/hidgN while bound
};

}  // namespace tarv::simdevice
