#include <utility>

#include "sim/simulator.h"

namespace tarv::sim {
namespace {

// The foreign interface: takes every report, never answers.
class SilentConnection final : public HidConnection {
  public:
    explicit SilentConnection(Clock& clock) : m_clock(clock) {}

    int Write(std::span<const std::uint8_t, HID_REPORT_SIZE>) override {
        return static_cast<int>(HID_REPORT_SIZE);
    }
    int Read(std::span<std::uint8_t, HID_REPORT_SIZE>, std::uint32_t timeoutMs) override {
        m_clock.SleepFor(timeoutMs);
        return 0;
    }

  private:
    Clock& m_clock;
};

}  // namespace

struct SimTransport::Slot {
    enum class Kind { Device, Foreign, Unreadable, Unopenable };

    Kind kind = Kind::Device;
    std::unique_ptr<SimulatedDevice> device;  // Kind::Device
    HidInterfaceEntry entry;                  // the others
    OpenError error = OpenError::None;        // Kind::Unopenable
};

SimTransport::SimTransport(Clock& clock) : m_clock(clock) {}

SimTransport::~SimTransport() = default;

SimulatedDevice& SimTransport::AddDevice(DeviceConfig config) {
    const std::lock_guard guard(m_mutex);
    if (config.name.empty()) {
        std::size_t devices = 0;
        for (const Slot& slot : m_slots) {
            devices += slot.kind == Slot::Kind::Device ? 1 : 0;
        }
        config.name = "device" + std::to_string(devices + 1);
    }
    Slot slot;
    slot.device = std::make_unique<SimulatedDevice>(m_clock, std::move(config));
    m_slots.push_back(std::move(slot));
    return *m_slots.back().device;
}

std::string SimTransport::AddForeignInterface(std::uint16_t vendorId, std::uint16_t productId) {
    const std::lock_guard guard(m_mutex);
    Slot slot;
    slot.kind = Slot::Kind::Foreign;
    slot.entry = {true, "sim:foreign" + std::to_string(m_slots.size() + 1) + "/0", vendorId,
                  productId};
    m_slots.push_back(std::move(slot));
    return m_slots.back().entry.path;
}

void SimTransport::AddUnreadableEntry() {
    const std::lock_guard guard(m_mutex);
    Slot slot;
    slot.kind = Slot::Kind::Unreadable;
    slot.entry = {false, "", 0, 0};
    m_slots.push_back(std::move(slot));
}

std::string SimTransport::AddUnopenableInterface(OpenError error) {
    const std::lock_guard guard(m_mutex);
    Slot slot;
    slot.kind = Slot::Kind::Unopenable;
    slot.entry = {true, "sim:unopenable" + std::to_string(m_slots.size() + 1) + "/0",
                  TARV_VENDOR_ID, TARV_PRODUCT_ID};
    slot.error = error;
    m_slots.push_back(std::move(slot));
    return m_slots.back().entry.path;
}

void SimTransport::SetEnumerationFails(bool fails) {
    const std::lock_guard guard(m_mutex);
    m_bEnumerationFails = fails;
}

std::vector<std::string> SimTransport::OpenRequests() const {
    const std::lock_guard guard(m_mutex);
    return m_openRequests;
}

std::optional<std::vector<HidInterfaceEntry>> SimTransport::Enumerate() {
    const std::lock_guard guard(m_mutex);
    if (m_bEnumerationFails) {
        return std::nullopt;
    }
    std::vector<HidInterfaceEntry> entries;
    for (const Slot& slot : m_slots) {
        if (slot.kind != Slot::Kind::Device) {
            entries.push_back(slot.entry);
        } else if (std::optional<HidInterfaceEntry> entry = slot.device->Entry()) {
            entries.push_back(std::move(*entry));
        }
    }
    return entries;
}

std::unique_ptr<HidConnection> SimTransport::Open(const std::string& path, OpenError* error) {
    const std::lock_guard guard(m_mutex);
    m_openRequests.push_back(path);
    const auto fail = [error](OpenError why) -> std::unique_ptr<HidConnection> {
        if (error != nullptr) {
            *error = why;
        }
        return nullptr;
    };
    for (const Slot& slot : m_slots) {
        switch (slot.kind) {
            case Slot::Kind::Device:
                if (slot.device->GetFaults().notPermitted && slot.device->Path() == path) {
                    return fail(OpenError::PermissionDenied);
                }
                if (std::unique_ptr<HidConnection> connection = slot.device->Open(path)) {
                    if (error != nullptr) {
                        *error = OpenError::None;
                    }
                    return connection;
                }
                break;
            case Slot::Kind::Foreign:
                if (slot.entry.path == path) {
                    if (error != nullptr) {
                        *error = OpenError::None;
                    }
                    return std::make_unique<SilentConnection>(m_clock);
                }
                break;
            case Slot::Kind::Unopenable:
                if (slot.entry.path == path) {
                    return fail(slot.error);
                }
                break;
            case Slot::Kind::Unreadable:
                break;
        }
    }
    return fail(OpenError::Gone);
}

}  // namespace tarv::sim
