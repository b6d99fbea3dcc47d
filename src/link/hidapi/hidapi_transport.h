// The hidapi backend of the link's transport: real devices through hidapi's hidraw library.
//
// Read this header first. `HidapiTransport` enumerates every HID interface and opens one by its
// path; the connection it hands out moves single reports. Every hidapi call goes through a
// `HidapiFunctions` table, the real library by default, so tests can put a fake in its place.
//
// Report IDs. hidapi wants the report ID as the first byte of a write, 0 for a device without
// numbered reports, and the length one more than the report. A read from such a device delivers
// the report without any report ID byte. The link's view is always 65 bytes, report ID first, and
// every count includes the report ID; the connection translates between the two.
//
// Threads. hidapi keeps process-wide state (its last error, its init) that enumerate, open and
// close all touch without a lock, so this backend serialises those calls under one process-wide
// mutex. Reads and writes touch only their own device and run without it.
#pragma once

#include <cstddef>
#include <hidapi.h>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "link/transport.h"

namespace tarv {

// The hidapi calls the backend makes, plus access(2), which tells why an open failed. Every entry
// has the signature and result convention of the call it stands for.
struct HidapiFunctions {
    // 0 on success. The backend calls it before every enumeration and open, so it must be cheap
    // and harmless when repeated.
    int (*init)();
    hid_device_info* (*enumerate)(unsigned short vendorId, unsigned short productId);
    void (*freeEnumeration)(hid_device_info* list);
    hid_device* (*openPath)(const char* path);
    int (*write)(hid_device* device, const unsigned char* data, std::size_t length);
    int (*readTimeout)(hid_device* device, unsigned char* data, std::size_t length,
                       int milliseconds);
    void (*close)(hid_device* device);
    int (*access)(const char* path, int mode);
};

// The real library. Its `init` runs hid_init once per process, whichever thread asks first, and
// again on a later call only if it failed. hid_exit is never called: the link may still hold a
// connection, closed on another thread, while the process ends, and hidapi must outlive it; the
// system reclaims what hidapi keeps.
const HidapiFunctions& RealHidapiFunctions();

class HidapiTransport final : public HidTransport {
  public:
    // `api` is copied; its functions must stay callable for as long as any connection lives.
    explicit HidapiTransport(const HidapiFunctions& api = RealHidapiFunctions());

    // Every HID interface hidapi lists (enumeration of all vendors and products), in its order.
    // Nothing when hidapi cannot be initialised. hidapi answers an empty list both when no HID
    // device is present and when enumeration failed; both give an empty list here.
    std::optional<std::vector<HidInterfaceEntry>> Enumerate() override;

    // Opens `path` with hid_open_path. The connection owns the device and closes it when
    // destroyed, on any thread. On failure: PermissionDenied when the user may not open the node,
    // Gone when it is not there (any more), Other for everything else.
    std::unique_ptr<HidConnection> Open(const std::string& path,
                                        OpenError* error = nullptr) override;

  private:
    HidapiFunctions m_api;
};

}  // namespace tarv
