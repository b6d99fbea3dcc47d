#include "link/hidapi/hidapi_transport.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <mutex>
#include <unistd.h>

namespace tarv {
namespace {

// Guards every hidapi call that touches the library's process-wide state: init, enumerate, the
// freeing of a list, open and close. One for the process, whatever the table, because the state
// it protects belongs to the library and not to a transport.
std::mutex& HidapiStateMutex() {
    static std::mutex s_mutex;
    return s_mutex;
}

int InitHidapiOnce() {
    static std::mutex s_mutex;
    static bool s_bInitialised = false;
    const std::lock_guard lock(s_mutex);
    if (!s_bInitialised) {
        s_bInitialised = hid_init() == 0;
    }
    return s_bInitialised ? 0 : -1;
}

int AccessPath(const char* path, int mode) {
    return ::access(path, mode);
}

// Why hid_open_path failed. `openErrno` is errno as the call left it; hidapi records its error
// text after the failing open(2), which may replace errno, so when errno says nothing useful the
// node itself is asked.
OpenError ClassifyOpenFailure(const HidapiFunctions& api, const std::string& path, int openErrno) {
    switch (openErrno) {
        case EACCES:
        case EPERM:
            return OpenError::PermissionDenied;
        case ENOENT:
        case ENODEV:
        case ENXIO:  // a node left behind by a device that has just gone
            return OpenError::Gone;
        default:
            break;
    }
    errno = 0;
    if (api.access(path.c_str(), R_OK | W_OK) == 0) {
        return OpenError::Other;
    }
    switch (errno) {
        case EACCES:
            return OpenError::PermissionDenied;
        case ENOENT:
            return OpenError::Gone;
        default:
            return OpenError::Other;
    }
}

class HidapiConnection final : public HidConnection {
  public:
    explicit HidapiConnection(const HidapiFunctions& api) : m_api(api) {}

    ~HidapiConnection() override {
        if (m_hDevice != nullptr) {
            const std::lock_guard lock(HidapiStateMutex());
            m_api.close(m_hDevice);
        }
    }

    HidapiConnection(const HidapiConnection&) = delete;
    HidapiConnection& operator=(const HidapiConnection&) = delete;

    // Opens `path`. None on success, otherwise why it failed.
    OpenError OpenPath(const std::string& path) {
        int openErrno = 0;
        {
            const std::lock_guard lock(HidapiStateMutex());
            if (m_api.init() != 0) {
                return OpenError::Other;
            }
            errno = 0;
            m_hDevice = m_api.openPath(path.c_str());
            openErrno = errno;
        }
        return m_hDevice != nullptr ? OpenError::None : ClassifyOpenFailure(m_api, path, openErrno);
    }

    int Write(std::span<const std::uint8_t, HID_REPORT_SIZE> report) override {
        const int count = m_api.write(m_hDevice, report.data(), report.size());
        // hidraw and libusb count the report ID byte; a backend that counts only the report gives
        // 64. Either way the whole report went out; any other count did not deliver it.
        if (count == static_cast<int>(HID_REPORT_SIZE) ||
            count == static_cast<int>(HID_PAYLOAD_SIZE)) {
            return static_cast<int>(HID_REPORT_SIZE);
        }
        return -1;
    }

    int Read(std::span<std::uint8_t, HID_REPORT_SIZE> report, std::uint32_t timeoutMs) override {
        // hidapi takes -1 as "wait for ever", so a large unsigned timeout must not wrap to it.
        const int timeout = static_cast<int>(std::min<std::uint32_t>(timeoutMs, INT_MAX));
        // The device has no numbered reports, so hidapi delivers the payload alone: it goes in
        // after the report ID byte, which is 0 for such a device.
        errno = 0;
        const int count =
            m_api.readTimeout(m_hDevice, report.data() + 1, HID_PAYLOAD_SIZE, timeout);
        if (count > 0) {
            report[0] = 0;
            return std::min(count, static_cast<int>(HID_PAYLOAD_SIZE)) + 1;
        }
        // A signal that cuts the wait short is no failure; the link simply asks again. hidapi
        // reports a hang-up with -1 and errno untouched, hence the reset above.
        if (count == 0 || errno == EINTR) {
            return 0;
        }
        return -1;
    }

  private:
    HidapiFunctions m_api;
    hid_device* m_hDevice = nullptr;
};

struct EnumerationDeleter {
    const HidapiFunctions* pApi;
    void operator()(hid_device_info* list) const { pApi->freeEnumeration(list); }
};

}  // namespace

const HidapiFunctions& RealHidapiFunctions() {
    static const HidapiFunctions s_functions{
        .init = InitHidapiOnce,
        .enumerate = hid_enumerate,
        .freeEnumeration = hid_free_enumeration,
        .openPath = hid_open_path,
        .write = hid_write,
        .readTimeout = hid_read_timeout,
        .close = hid_close,
        .access = AccessPath,
    };
    return s_functions;
}

HidapiTransport::HidapiTransport(const HidapiFunctions& api) : m_api(api) {}

std::optional<std::vector<HidInterfaceEntry>> HidapiTransport::Enumerate() {
    const std::lock_guard lock(HidapiStateMutex());
    if (m_api.init() != 0) {
        return std::nullopt;
    }
    // Vendor and product 0 list every HID interface. A null list means either that none is
    // present or that enumeration failed; hidapi does not tell which, so both are "none".
    const std::unique_ptr<hid_device_info, EnumerationDeleter> list(m_api.enumerate(0, 0),
                                                                    EnumerationDeleter{&m_api});
    std::vector<HidInterfaceEntry> entries;
    for (const hid_device_info* info = list.get(); info != nullptr; info = info->next) {
        HidInterfaceEntry& entry = entries.emplace_back();
        entry.readable = info->path != nullptr;
        entry.path = info->path != nullptr ? info->path : "";
        entry.vendorId = info->vendor_id;
        entry.productId = info->product_id;
    }
    return entries;
}

std::unique_ptr<HidConnection> HidapiTransport::Open(const std::string& path, OpenError* error) {
    // The connection exists before the device is opened, so an opened device always has an owner.
    auto connection = std::make_unique<HidapiConnection>(m_api);
    const OpenError result = connection->OpenPath(path);
    if (error != nullptr) {
        *error = result;
    }
    if (result != OpenError::None) {
        return nullptr;
    }
    return connection;
}

}  // namespace tarv
