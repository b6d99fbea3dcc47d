// The device link: the one object through which the program reaches the device.
//
// Read this header first. `CHidLink` finds and opens the device (`OpenDevice`), marks it as in
// use for the whole machine, exchanges single reports with it under one lock, and closes it again
// (`CloseDevice`). The device commands built on it are in commands.h.
//
// Two threads use a link: the user-interface thread (discovery and closing) and an update
// worker (everything in a run). Report exchanges are serialised by `m_lock`, which is only ever
// tried, never waited for. The connection state is changed without that lock; closing pulses the
// abort signal so that an exchange waiting on the other thread fails at once.
//
// Results follow the device protocol's conventions: 1 for success and 0 for failure unless a
// function says otherwise. Nothing here shows a message.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "base/clock.h"
#include "link/in_use_marker.h"
#include "link/protocol.h"
#include "link/transport.h"

namespace tarv {

// Every transfer moves one report; the wait for its completion signal is bounded by this.
inline constexpr std::uint32_t LINK_TRANSFER_TIMEOUT_MS = 200;
// A read waits this long for the device's answer before the exchange fails. The device answers a
// query or a data transfer within milliseconds; the bound only stops a mute device from hanging
// the program.
inline constexpr std::uint32_t LINK_READ_DEADLINE_MS = 2000;
// An erase answers only when every block is done; flash chips of this size take up to about
// 0.5 s a block, so the read-back deadline grows with the count (with a margin).
inline constexpr std::uint32_t LINK_ERASE_DEADLINE_PER_BLOCK_MS = 600;
// Reads are issued in slices this long, so an abort is seen within one slice.
inline constexpr std::uint32_t LINK_READ_SLICE_MS = 10;
// LockLink tries this often, sleeping after every failed try.
inline constexpr int LINK_LOCK_ATTEMPTS = 5;
inline constexpr std::uint32_t LINK_LOCK_SLEEP_MS = 200;
// How long closing holds the abort signal.
inline constexpr std::uint32_t LINK_ABORT_PULSE_MS = 10;

// The deadline of the erase read-back for `blockCount` blocks, in ms (saturating).
std::uint32_t EraseReadDeadlineMs(std::uint32_t blockCount);

// A manual-reset completion signal. It also counts how often it was set, for tests and
// diagnostics.
class CLinkEvent {
  public:
    void Set() {
        m_nPulses.fetch_add(1, std::memory_order_acq_rel);
        m_bSignalled.store(true, std::memory_order_release);
    }
    void Reset() { m_bSignalled.store(false, std::memory_order_release); }
    bool IsSet() const { return m_bSignalled.load(std::memory_order_acquire); }
    std::uint32_t Pulses() const { return m_nPulses.load(std::memory_order_acquire); }

  private:
    std::atomic<bool> m_bSignalled{false};
    std::atomic<std::uint32_t> m_nPulses{0};
};

// An open device. Closing marks it closed at once, so that an exchange still running on another
// thread fails; the connection itself goes when the last exchange using it has ended.
class CDeviceHandle {
  public:
    explicit CDeviceHandle(std::unique_ptr<HidConnection> connection)
        : m_connection(std::move(connection)) {}

    HidConnection& Connection() { return *m_connection; }
    bool Closed() const { return m_bClosed.load(std::memory_order_acquire); }
    void MarkClosed() { m_bClosed.store(true, std::memory_order_release); }

  private:
    std::unique_ptr<HidConnection> m_connection;
    std::atomic<bool> m_bClosed{false};
};

// The device state and the two single-report transfers.
class CHidDevice {
  public:
    explicit CHidDevice(Clock& clock) : m_clock(clock) {}
    virtual ~CHidDevice() = default;
    CHidDevice(const CHidDevice&) = delete;
    CHidDevice& operator=(const CHidDevice&) = delete;

    // Writes `buffer` (one 65-byte report) to the open device. Returns 1 on success, 0 on
    // failure: no device, the device refused it, the completion wait timed out after
    // `timeoutMs`, or the abort signal was up. `pCount`, when not null, receives the bytes
    // transferred including the report ID (0 after a failure).
    int WriteReport(std::span<const std::uint8_t, HID_REPORT_SIZE> buffer, std::uint32_t* pCount,
                    std::uint32_t timeoutMs = LINK_TRANSFER_TIMEOUT_MS);

    // Reads one report into `buffer`, waiting at most `deadlineMs` for the device to send one.
    // Fails at once when the abort signal goes up meanwhile. Same results as WriteReport; after a
    // failure nothing of `buffer` is to be taken as a reply.
    int ReadReport(std::span<std::uint8_t, HID_REPORT_SIZE> buffer, std::uint32_t* pCount,
                   std::uint32_t timeoutMs = LINK_TRANSFER_TIMEOUT_MS,
                   std::uint32_t deadlineMs = LINK_READ_DEADLINE_MS);

    // Connection state. Read and written by both threads without the link's lock.
    std::atomic<std::int32_t> m_nDevices{0};
    CLinkEvent m_hReadEvent;
    CLinkEvent m_hWriteEvent;
    CLinkEvent m_hAbortEvent;
    std::atomic<std::int32_t> m_bConnected{0};

    // The open device and the in-use marker; both empty when closed.
    std::shared_ptr<CDeviceHandle> Device() const;
    bool HoldsMarker() const;

  protected:
    friend class CHidLink;

    // Waits for the first signalled of (abort, completion); 0 or 1, or -1 after `timeoutMs`.
    int WaitForEither(CLinkEvent& completion, std::uint32_t timeoutMs);
    int FinishTransfer(CLinkEvent& completion, const CDeviceHandle& device, int count,
                       std::uint32_t* pCount, std::uint32_t timeoutMs);

    Clock& m_clock;
    mutable std::mutex m_handleMutex;  // guards the two members below, never held over a transfer
    std::shared_ptr<CDeviceHandle> m_hDevice;
    std::unique_ptr<InUseMarker::Hold> m_hMutex;
};

class CHidLink {
  public:
    CHidLink(HidTransport& transport, InUseMarker& marker, Clock& clock);
    // Closes the device, releasing the marker, as at process exit.
    virtual ~CHidLink();
    CHidLink(const CHidLink&) = delete;
    CHidLink& operator=(const CHidLink&) = delete;

    // Closes any open connection, then opens the first interface with the device's vendor and
    // product ID. Returns the number of devices opened, 0 or 1; 0 also when that device is in use
    // by another process (it is then left alone and nothing else is tried).
    std::int32_t OpenDevice();

    // The paths of interfaces with the device's IDs that the last OpenDevice found but could not
    // open because this user lacks the permission; empty when there were none. A front end tells
    // the user how to fix that rather than only "no device".
    std::vector<std::string> DeniedPaths() const;
    // The path of the device open now, empty when none is.
    std::string OpenPath() const;

    // Pulses the abort signal when a device is open, closes it and releases the marker.
    // Afterwards nothing is open. Safe to call when nothing is open.
    void CloseDevice();

    // Takes `m_lock`: up to five tries, sleeping 200 ms after each failed one. Returns 1 when the
    // caller holds the lock, 0 when every try failed. Release with UnlockLink.
    int LockLink();
    void UnlockLink();

    // Frames one command report into `m_report` and writes it, under the lock. Returns 1 or 0;
    // `pPayload`, when not null, receives the payload bytes written (64 for a whole report).
    int SendCommandReport(std::uint8_t code, std::uint32_t a, std::uint32_t b,
                          std::int32_t* pPayload = nullptr);

    // The same for one data report carrying the 64 bytes at `data`.
    int SendDataReport(std::span<const std::uint8_t, HID_PAYLOAD_SIZE> data,
                       std::int32_t* pPayload = nullptr);

    // Reads one reply under the lock and copies its payload (at most 64 bytes, the report ID
    // left out) to `payload`. Returns the payload count, or -1 when the lock was not had or the
    // read failed.
    std::int32_t ReadReply(std::span<std::uint8_t, HID_PAYLOAD_SIZE> payload,
                           std::uint32_t deadlineMs = LINK_READ_DEADLINE_MS);

    bool Connected() const { return m_device.m_bConnected.load() != 0; }
    Clock& GetClock() { return m_clock; }

    HidReport m_report{};  // shared by every exchange; guarded by m_lock
    CHidDevice m_device;
    std::mutex m_lock;

  private:
    void CloseUnlocked();

    HidTransport& m_transport;
    InUseMarker& m_marker;
    Clock& m_clock;
    std::mutex m_stateMutex;  // makes OpenDevice and CloseDevice whole against each other
    mutable std::mutex m_discoveryMutex;     // guards what discovery found, below
    std::vector<std::string> m_deniedPaths;  // guarded by m_discoveryMutex
    std::string m_openPath;                  // guarded by m_discoveryMutex
};

}  // namespace tarv
