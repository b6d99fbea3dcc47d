#include "link/hid_link.h"

#include <algorithm>
#include <limits>

namespace tarv {

std::uint32_t EraseReadDeadlineMs(std::uint32_t blockCount) {
    const std::uint64_t ms = LINK_READ_DEADLINE_MS + static_cast<std::uint64_t>(blockCount) *
                                                         LINK_ERASE_DEADLINE_PER_BLOCK_MS;
    return static_cast<std::uint32_t>(
        std::min<std::uint64_t>(ms, std::numeric_limits<std::uint32_t>::max()));
}

// --- CHidDevice --------------------------------------------------------------------------------

std::shared_ptr<CDeviceHandle> CHidDevice::Device() const {
    const std::lock_guard guard(m_handleMutex);
    return m_hDevice;
}

bool CHidDevice::HoldsMarker() const {
    const std::lock_guard guard(m_handleMutex);
    return m_hMutex != nullptr;
}

int CHidDevice::WaitForEither(CLinkEvent& completion, std::uint32_t timeoutMs) {
    const std::uint32_t start = m_clock.TickCount();
    for (;;) {
        // The abort signal comes first in the list: with both up, the exchange is aborted.
        if (m_hAbortEvent.IsSet()) {
            return 0;
        }
        if (completion.IsSet()) {
            return 1;
        }
        if (m_clock.TickCount() - start >= timeoutMs) {
            return -1;
        }
        m_clock.SleepFor(1);
    }
}

int CHidDevice::FinishTransfer(CLinkEvent& completion, const CDeviceHandle& device, int count,
                               std::uint32_t* pCount, std::uint32_t timeoutMs) {
    const int index = WaitForEither(completion, timeoutMs);
    if (index < 0) {
        return 0;  // timed out: both signals stay as they are
    }
    if (index == 0) {
        m_hAbortEvent.Reset();
        return 0;
    }
    completion.Reset();
    // A close while the transfer ran makes it fail too, even when its pulse is over by now.
    if (device.Closed()) {
        return 0;
    }
    if (pCount != nullptr) {
        *pCount = static_cast<std::uint32_t>(count);
    }
    return 1;
}

int CHidDevice::WriteReport(std::span<const std::uint8_t, HID_REPORT_SIZE> buffer,
                            std::uint32_t* pCount, std::uint32_t timeoutMs) {
    if (pCount != nullptr) {
        *pCount = 0;
    }
    const std::shared_ptr<CDeviceHandle> device = Device();
    if (!device || device->Closed()) {
        return 0;
    }
    const int count = device->Connection().Write(buffer);
    if (count <= 0) {
        return 0;
    }
    m_hWriteEvent.Set();
    return FinishTransfer(m_hWriteEvent, *device, count, pCount, timeoutMs);
}

int CHidDevice::ReadReport(std::span<std::uint8_t, HID_REPORT_SIZE> buffer, std::uint32_t* pCount,
                           std::uint32_t timeoutMs, std::uint32_t deadlineMs) {
    if (pCount != nullptr) {
        *pCount = 0;
    }
    const std::shared_ptr<CDeviceHandle> device = Device();
    if (!device || device->Closed()) {
        return 0;
    }
    const std::uint32_t start = m_clock.TickCount();
    int count = 0;
    for (;;) {
        const std::uint32_t elapsed = m_clock.TickCount() - start;
        const std::uint32_t slice =
            std::min(LINK_READ_SLICE_MS, deadlineMs - std::min(elapsed, deadlineMs));
        const std::uint32_t before = m_clock.TickCount();
        count = device->Connection().Read(buffer, std::max<std::uint32_t>(slice, 1));
        if (count != 0) {
            break;
        }
        // Nothing yet: give up on a close, an abort or the deadline; otherwise ask again.
        if (m_hAbortEvent.IsSet()) {
            m_hAbortEvent.Reset();
            return 0;
        }
        if (device->Closed()) {
            return 0;
        }
        if (m_clock.TickCount() - start >= deadlineMs) {
            return 0;
        }
        if (m_clock.TickCount() == before) {
            m_clock.SleepFor(std::max<std::uint32_t>(slice, 1));  // a backend that did not wait
        }
    }
    if (count < 0) {
        return 0;
    }
    m_hReadEvent.Set();
    return FinishTransfer(m_hReadEvent, *device, count, pCount, timeoutMs);
}

// --- CHidLink ----------------------------------------------------------------------------------

CHidLink::CHidLink(HidTransport& transport, InUseMarker& marker, Clock& clock)
    : m_device(clock), m_transport(transport), m_marker(marker), m_clock(clock) {}

CHidLink::~CHidLink() {
    CloseDevice();
}

std::int32_t CHidLink::OpenDevice() {
    const std::lock_guard state(m_stateMutex);
    CloseUnlocked();

    std::int32_t opened = 0;
    std::vector<std::string> denied;
    const std::optional<std::vector<HidInterfaceEntry>> entries = m_transport.Enumerate();
    for (const HidInterfaceEntry& entry : entries.value_or(std::vector<HidInterfaceEntry>{})) {
        // Positions that cannot be read, paths that do not fit and other devices are skipped.
        if (!entry.readable || entry.path.size() + 1 > HID_PATH_CAPACITY ||
            entry.vendorId != TARV_VENDOR_ID || entry.productId != TARV_PRODUCT_ID) {
            continue;
        }
        OpenError why = OpenError::None;
        std::unique_ptr<HidConnection> connection = m_transport.Open(entry.path, &why);
        if (!connection) {
            if (why == OpenError::PermissionDenied) {
                denied.push_back(entry.path);
            }
            continue;
        }
        // The first matching device ends the search: either it is opened, or another process
        // has it and it is left alone.
        std::unique_ptr<InUseMarker::Hold> hold;
        if (m_marker.Create(hold) == InUseMarker::Result::AlreadyExists) {
            break;
        }
        {
            const std::lock_guard guard(m_device.m_handleMutex);
            m_device.m_hDevice = std::make_shared<CDeviceHandle>(std::move(connection));
            m_device.m_hMutex = std::move(hold);  // empty when the marker could not be made
        }
        opened = 1;
        const std::lock_guard guard(m_discoveryMutex);
        m_openPath = entry.path;
        break;
    }
    {
        const std::lock_guard guard(m_discoveryMutex);
        m_deniedPaths = std::move(denied);
    }
    m_device.m_nDevices.store(opened);
    m_device.m_bConnected.store(opened);
    return opened;
}

std::vector<std::string> CHidLink::DeniedPaths() const {
    const std::lock_guard guard(m_discoveryMutex);
    return m_deniedPaths;
}

std::string CHidLink::OpenPath() const {
    const std::lock_guard guard(m_discoveryMutex);
    return m_openPath;
}

void CHidLink::CloseDevice() {
    const std::lock_guard state(m_stateMutex);
    CloseUnlocked();
}

void CHidLink::CloseUnlocked() {
    std::shared_ptr<CDeviceHandle> device = m_device.Device();
    if (device) {
        // An exchange waiting on the other thread sees the pulse and fails.
        m_device.m_hAbortEvent.Set();
        m_clock.SleepFor(LINK_ABORT_PULSE_MS);
        m_device.m_hAbortEvent.Reset();
        device->MarkClosed();
        const std::lock_guard guard(m_device.m_handleMutex);
        m_device.m_hDevice.reset();
    }
    {
        const std::lock_guard guard(m_device.m_handleMutex);
        m_device.m_hMutex.reset();
    }
    m_device.m_nDevices.store(0);
    m_device.m_bConnected.store(0);
    const std::lock_guard guard(m_discoveryMutex);
    m_openPath.clear();
}

int CHidLink::LockLink() {
    for (int attempt = 0; attempt < LINK_LOCK_ATTEMPTS; ++attempt) {
        if (m_lock.try_lock()) {
            return 1;
        }
        m_clock.SleepFor(LINK_LOCK_SLEEP_MS);
    }
    return 0;
}

void CHidLink::UnlockLink() {
    m_lock.unlock();
}

namespace {

std::int32_t PayloadOf(int ok, std::uint32_t count) {
    return ok != 0 && count > 0 ? static_cast<std::int32_t>(count) - 1 : 0;
}

}  // namespace

int CHidLink::SendCommandReport(std::uint8_t code, std::uint32_t a, std::uint32_t b,
                                std::int32_t* pPayload) {
    const CommandPacket::Bytes packet = CommandPacket{code, a, b}.Encode();  // before the lock
    if (LockLink() == 0) {
        return 0;
    }
    FrameCommandReport(m_report, packet);
    std::uint32_t count = 0;
    const int ok = m_device.WriteReport(m_report, &count);
    UnlockLink();
    if (pPayload != nullptr) {
        *pPayload = PayloadOf(ok, count);
    }
    return ok;
}

int CHidLink::SendDataReport(std::span<const std::uint8_t, HID_PAYLOAD_SIZE> data,
                             std::int32_t* pPayload) {
    if (LockLink() == 0) {
        return 0;
    }
    FrameDataReport(m_report, data);
    std::uint32_t count = 0;
    const int ok = m_device.WriteReport(m_report, &count);
    UnlockLink();
    if (pPayload != nullptr) {
        *pPayload = PayloadOf(ok, count);
    }
    return ok;
}

std::int32_t CHidLink::ReadReply(std::span<std::uint8_t, HID_PAYLOAD_SIZE> payload,
                                 std::uint32_t deadlineMs) {
    if (LockLink() == 0) {
        return -1;
    }
    std::uint32_t count = 0;
    const int ok = m_device.ReadReport(m_report, &count, LINK_TRANSFER_TIMEOUT_MS, deadlineMs);
    std::int32_t n = -1;
    if (ok != 0) {
        n = std::min<std::int32_t>(PayloadOf(ok, count), HID_PAYLOAD_SIZE);
        std::copy_n(m_report.begin() + 1, n, payload.begin());
    }
    UnlockLink();
    return n;
}

}  // namespace tarv
