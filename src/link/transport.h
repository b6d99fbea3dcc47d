// The platform's HID services as the link needs them. One implementation per backend: hidapi for
// real devices, the simulator for tests and the demo. Nothing above this interface knows which
// one runs.
//
// The link's view of a report is fixed: 65 bytes, report ID first, and every count includes the
// report ID byte. A backend whose platform strips or adds the report ID translates to that view.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "link/protocol.h"

namespace tarv {

// One HID interface found by enumeration.
struct HidInterfaceEntry {
    // False when this position of the enumeration could not be read; the search skips it.
    bool readable = true;
    std::string path;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
};

// Why an open failed, where the backend can tell.
enum class OpenError { None, Gone, PermissionDenied, Other };

// An open device. Destroying it closes the device. Write and Read are called by one thread at a
// time (the link's lock sees to that); the object itself may be released on another thread once
// no call is running.
class HidConnection {
  public:
    virtual ~HidConnection() = default;

    // Sends one report (65 bytes, report ID first). Returns the bytes transferred including the
    // report ID, or -1 when the device did not take it (gone, refused, error).
    virtual int Write(std::span<const std::uint8_t, HID_REPORT_SIZE> report) = 0;

    // Waits at most `timeoutMs` for one input report and stores it report ID first. Returns the
    // bytes stored including the report ID, 0 when nothing arrived in time, -1 when the device
    // is gone or the read failed.
    virtual int Read(std::span<std::uint8_t, HID_REPORT_SIZE> report, std::uint32_t timeoutMs) = 0;
};

class HidTransport {
  public:
    virtual ~HidTransport() = default;

    // The HID interfaces present now, in a stable order (the same devices enumerate in the same
    // order). Nothing when the platform cannot list them at all.
    virtual std::optional<std::vector<HidInterfaceEntry>> Enumerate() = 0;

    // Opens `path` for reading and writing, shared with other openers. Null on failure, with the
    // reason in `error` when it is not null.
    virtual std::unique_ptr<HidConnection> Open(const std::string& path,
                                                OpenError* error = nullptr) = 0;
};

}  // namespace tarv
