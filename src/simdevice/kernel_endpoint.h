// The kernel's side of a simulated device: where the host's reports come from and its input
// reports go. One implementation per kernel interface: a USB gadget on a device controller, or
// uhid. Reports here are the device's 64 bytes, without a report ID: the device has no numbered
// reports, so neither the USB wire nor the HID core carries one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace tarv::simdevice {

inline constexpr std::size_t DEVICE_REPORT_SIZE = 64;

// Result of handing the host one input report.
enum class InputResult { Taken, NotNow, Failed };

class KernelEndpoint {
  public:
    virtual ~KernelEndpoint() = default;

    // Puts the device on the bus, so that the host enumerates it as a new device. Returns false
    // with the reason in `error` when it cannot.
    virtual bool Connect(std::string& error) = 0;
    // Takes it off the bus; the host sees it leave. Nothing happens when it is off already.
    virtual void Disconnect() = 0;

    // Waits at most `timeoutMs` for one report the host wrote and stores its bytes. Returns the
    // count stored (at most DEVICE_REPORT_SIZE), 0 when nothing came, -1 on an error.
    virtual int ReadOutput(std::span<std::uint8_t, DEVICE_REPORT_SIZE> report, int timeoutMs) = 0;
    // Offers the host one input report of up to DEVICE_REPORT_SIZE bytes without waiting:
    // NotNow when the host has not taken the one before yet.
    virtual InputResult WriteInput(std::span<const std::uint8_t> report) = 0;
};

}  // namespace tarv::simdevice
