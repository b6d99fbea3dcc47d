// An in-process model of the device, behind the same transport interface as the real backend.
//
// Read this header first. `SimTransport` is a `HidTransport` holding simulated devices and a few
// other interfaces (a foreign device, an unreadable position, an interface that cannot be
// opened) in enumeration order. Each `SimulatedDevice` answers command reports as the device
// does: it replies to the query and the read-back, erases and programs an 8 MiB NOR flash in its
// update mode, takes the address record, and leaves the bus on a reset to come back as a new
// interface. It records what it received, and every report a correct host would never send, so
// that a test can check the host's side exactly. Faults can be switched on at any time.
//
// All time comes from the `Clock` given to the transport: a write takes the time per report, a
// read with nothing to deliver sleeps on that clock, and a device that left the bus returns when
// the clock says so. With a fake clock a whole update runs in milliseconds.
//
// Thread-safe throughout: one thread may enumerate and read the records while another writes
// and reads reports. No lock is held while sleeping.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/clock.h"
#include "link/in_use_marker.h"
#include "link/protocol.h"
#include "link/transport.h"

namespace tarv::sim {

// The device's flash as its addresses see it: offset = address - FLASH_WINDOW_START.
inline constexpr std::uint32_t FLASH_WINDOW_START = 0x40000000;
inline constexpr std::uint32_t FLASH_WINDOW_END = 0x40800000;
inline constexpr std::uint32_t FLASH_SIZE = FLASH_WINDOW_END - FLASH_WINDOW_START;
inline constexpr std::uint32_t FLASH_BLOCKS = FLASH_SIZE / FLASH_BLOCK_SIZE;  // 2048
inline constexpr std::uint32_t FLASH_PAGES = FLASH_SIZE / FLASH_PAGE_SIZE;    // 32768

// IDs of the foreign interface, a HID device of some other maker.
inline constexpr std::uint16_t FOREIGN_VENDOR_ID = 0x1234;
inline constexpr std::uint16_t FOREIGN_PRODUCT_ID = 0x5678;

struct DeviceConfig {
    // The device's paths are "sim:<name>/<n>", n counting its appearances on the bus from 0.
    // Empty: the transport names it "device<k>". Names must differ between devices.
    std::string name{};
    std::uint16_t vendorId = TARV_VENDOR_ID;
    std::uint16_t productId = TARV_PRODUCT_ID;

    // The query's answer. Versions are 4 characters (shorter ones are padded with zero bytes).
    std::string programVersion = "P100";
    std::string soundVersion = "S100";
    std::string mapVersion = "M100";
    std::uint16_t flashId = 0xEF16;
    std::uint8_t infoLength = 20;  // L, reply byte 63

    bool startInUpdateMode = false;  // as if it had just come back from a reset

    std::uint32_t reportMs = 0;      // each Write takes this; each reply is ready this long after
    std::uint32_t eraseBlockMs = 0;  // busy time per erased block before the read-back is ready
    std::uint32_t resetAwayMs = 1500;
};

// Faults, each off by default. SetFaults replaces the whole set.
struct Faults {
    // k > 0: the k-th report received from now on is still taken, then the device leaves the
    // bus until PlugIn. Counts down; GetFaults shows the reports still to come (0 once fired).
    std::uint32_t unplugAfterReports = 0;
    // Reads return 0 after their timeout; replies stay queued and are read once this is off.
    bool neverAnswer = false;
    std::uint32_t answerLateMs = 0;  // replies queued from now on are ready this much later
    // N > 0: a read of a reply stores and returns only N bytes (report ID included, at most 65).
    std::uint32_t shortReplyBytes = 0;
    bool garbageReplies = false;      // random-looking bytes in place of each reply's payload
    bool refuseWrites = false;        // Write returns -1 and the report is not received
    bool stayAwayAfterReset = false;  // while set, a device that reset does not come back
    // It enumerates, but its node may not be opened by this user: Open fails with
    // OpenError::PermissionDenied.
    bool notPermitted = false;
};

class SimTransport;

class SimulatedDevice {
  public:
    // Made by SimTransport::AddDevice; `clock` must outlive the device and its connections.
    SimulatedDevice(Clock& clock, DeviceConfig config);
    ~SimulatedDevice();
    SimulatedDevice(const SimulatedDevice&) = delete;
    SimulatedDevice& operator=(const SimulatedDevice&) = delete;

    const DeviceConfig& Config() const;

    // --- State -------------------------------------------------------------------------------
    // The path it enumerates under now; empty while it is off the bus.
    std::string Path() const;
    // True while it is on the bus (enumerates and can be opened).
    bool IsPresent() const;
    // True between coming back from a reset and the finish command.
    bool InUpdateMode() const;

    // --- Record of what the host did ---------------------------------------------------------
    // Reports taken, data reports included; refused writes do not count.
    std::uint64_t ReportsReceived() const;
    // Every report that parsed as a command packet, in order, whether or not it was accepted.
    std::vector<CommandPacket> Commands() const;
    // Reports taken as data after a write or address-record command.
    std::uint64_t DataReports() const;
    // What a correct host never does, as "report <n>: <fault>" with n counting from 1 over the
    // device's life. Empty for a correct host.
    std::vector<std::string> Violations() const;
    // The last complete address record taken in update mode; nothing before the first.
    std::optional<AddressRecord::Bytes> LastAddressRecord() const;
    // Replies thrown away unread because a new command came (not a violation).
    std::uint64_t DiscardedReplies() const;
    // Reset commands accepted.
    std::uint32_t Resets() const;
    // Successful opens of any of its paths, and connections to it not yet destroyed.
    std::uint32_t OpenCount() const;
    std::uint32_t LiveConnections() const;

    // --- Faults and the cable ----------------------------------------------------------------
    void SetFaults(const Faults& faults);
    Faults GetFaults() const;
    // Leaves the bus at once: open connections fail from now on, unread replies are lost, a
    // pending return from a reset is cancelled. Does nothing more when it is away already.
    void Unplug();
    // Comes back under a new path, in normal mode. Returns false (and changes nothing) when it
    // is on the bus already.
    bool PlugIn();

    // --- Flash -------------------------------------------------------------------------------
    // Replaces the flash with the file's bytes, 0xFF after them. Returns false, leaving the
    // flash as it was, when the file cannot be read or is longer than the flash.
    bool LoadFlash(const std::filesystem::path& file);
    // Writes the whole flash (FLASH_SIZE bytes) to `file`. Returns false when it could not.
    bool SaveFlash(const std::filesystem::path& file) const;
    // A copy of `length` bytes from `offset`, cut at the end of the flash.
    std::vector<std::uint8_t> ReadFlash(std::uint32_t offset, std::size_t length) const;
    // Sets flash bytes directly, as a programmer would before assembly (no NOR rule). Bytes past
    // the end of the flash are dropped.
    void PresetFlash(std::uint32_t offset, std::span<const std::uint8_t> bytes);

  private:
    friend class SimTransport;
    struct State;
    class Connection;

    // For the transport: the enumeration entry while present, and a connection when `path` is
    // the device's path now (null otherwise).
    std::optional<HidInterfaceEntry> Entry() const;
    std::unique_ptr<HidConnection> Open(const std::string& path);

    // Shared with the connections, so that one released after the transport stays safe.
    std::shared_ptr<State> m_state;
};

class SimTransport final : public HidTransport {
  public:
    // `clock` must outlive the transport and every connection it opens.
    explicit SimTransport(Clock& clock);
    ~SimTransport() override;

    // Appends a device to the enumeration order. The reference stays valid as long as the
    // transport.
    SimulatedDevice& AddDevice(DeviceConfig config = {});
    // Appends a HID interface of another maker; it opens, takes every report and never answers.
    // Returns its path.
    std::string AddForeignInterface(std::uint16_t vendorId = FOREIGN_VENDOR_ID,
                                    std::uint16_t productId = FOREIGN_PRODUCT_ID);
    // Appends an enumeration position that cannot be read (readable false, no path, IDs 0).
    void AddUnreadableEntry();
    // Appends an interface with the device's IDs whose open fails with `error`. Returns its path.
    std::string AddUnopenableInterface(OpenError error = OpenError::PermissionDenied);
    // While set, Enumerate cannot list anything and returns nothing.
    void SetEnumerationFails(bool fails);
    // Every path passed to Open, in order, whether or not it opened.
    std::vector<std::string> OpenRequests() const;

    // The present interfaces in the order they were added.
    std::optional<std::vector<HidInterfaceEntry>> Enumerate() override;
    // Null with OpenError::Gone for a path nobody has now (an old path of a device that
    // re-enumerated included).
    std::unique_ptr<HidConnection> Open(const std::string& path,
                                        OpenError* error = nullptr) override;

  private:
    struct Slot;

    Clock& m_clock;
    mutable std::mutex m_mutex;  // guards everything below; taken before a device's own lock
    std::vector<Slot> m_slots;
    bool m_bEnumerationFails = false;
    std::vector<std::string> m_openRequests;
};

// The in-use marker of a one-process world: "another process" is a switch.
class SimInUseMarker final : public InUseMarker {
  public:
    SimInUseMarker();

    // AlreadyExists while held elsewhere, Failed while failing, otherwise Created with a hold.
    Result Create(std::unique_ptr<Hold>& hold) override;

    void SetHeldElsewhere(bool held);
    void SetCreateFails(bool fails);
    // Holds created here and not yet destroyed (they may outlive the marker).
    int LiveHolds() const;

  private:
    std::atomic<bool> m_bHeldElsewhere{false};
    std::atomic<bool> m_bCreateFails{false};
    std::shared_ptr<std::atomic<int>> m_nLiveHolds;
};

}  // namespace tarv::sim
