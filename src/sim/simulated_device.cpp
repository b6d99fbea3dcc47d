#include <algorithm>
#include <array>
#include <cstdio>
#include <deque>
#include <limits>
#include <utility>

#include "base/random.h"
#include "sim/nor_flash.h"
#include "sim/simulator.h"

namespace tarv::sim {
namespace {

constexpr std::uint32_t REPORTS_PER_PAGE = FLASH_PAGE_SIZE / HID_PAYLOAD_SIZE;
constexpr std::uint32_t READ_BACK_REPORTS = READ_BACK_SIZE / HID_PAYLOAD_SIZE;
constexpr std::uint32_t GARBAGE_SEED = 0x5EED;
constexpr std::uint64_t WIRE_CATCH_UP_MS = 2;

std::string Hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

const char* CommandName(std::uint8_t code) {
    switch (code) {
        case CMD_ERASE:
            return "erase";
        case CMD_READ_BACK:
            return "read-back";
        case CMD_WRITE:
            return "write";
        case CMD_FINISH:
            return "finish";
        case CMD_RESET:
            return "reset";
        case CMD_ADDRESS_RECORD:
            return "address record";
        case CMD_QUERY_INFO:
            return "query";
        default:
            return "unknown";
    }
}

// The query's version text: program version, "S", sound version, "C", map version.
std::string VersionText(const DeviceConfig& config) {
    const auto field = [](const std::string& version) {
        std::string text = version.substr(0, 4);
        text.resize(4, '\0');
        return text;
    };
    return field(config.programVersion) + "S" + field(config.soundVersion) + "C" +
           field(config.mapVersion);
}

// Runs `body` on the device's state under its lock, with its presence brought up to date.
template <typename S, typename F>
auto Locked(S& state, F&& body) {
    const std::lock_guard guard(state.m_mutex);
    state.UpdatePresence();
    return body(state);
}

enum class DataTarget { Pages, AddressRecord, Discard };

struct PendingReply {
    std::uint64_t nReadyAt = 0;  // device time
    HidReport report{};
};

}  // namespace

// --- State ------------------------------------------------------------------------------------

// Device time is a 64-bit count of milliseconds built from the clock's wrapping tick, so due
// times compare plainly. Everything but the constants and the atomic is guarded by m_mutex.
struct SimulatedDevice::State {
    State(Clock& clock, DeviceConfig config)
        : m_clock(clock),
          m_config(std::move(config)),
          m_info(InfoReply::Make(VersionText(m_config), m_config.flashId, m_config.infoLength)),
          m_nLastTick(clock.TickCount()),
          m_bUpdateMode(m_config.startInUpdateMode) {}

    int Write(std::uint32_t epoch, std::span<const std::uint8_t, HID_REPORT_SIZE> report);
    int Read(std::uint32_t epoch, std::span<std::uint8_t, HID_REPORT_SIZE> report,
             std::uint32_t timeoutMs);

    // With m_mutex held:
    std::uint64_t Now();
    void UpdatePresence();
    bool Alive(std::uint32_t epoch) const { return m_bPresent && m_nEnumeration == epoch; }
    std::string CurrentPath() const {
        return "sim:" + m_config.name + "/" + std::to_string(m_nEnumeration);
    }
    void Take(std::span<const std::uint8_t, HID_REPORT_SIZE> report);
    void TakeData(std::span<const std::uint8_t, HID_REPORT_SIZE> report);
    void TakeCommand(const CommandPacket& packet);
    bool CheckArguments(const CommandPacket& packet, std::uint32_t a, std::uint32_t b);
    void StartData(DataTarget target, std::uint64_t reports, std::uint32_t firstPage);
    void QueueReply(std::span<const std::uint8_t> payload);
    void LeaveBus(bool bReturning);
    void ComeBack(bool bUpdateMode);
    void Violation(const std::string& what);

    Clock& m_clock;
    const DeviceConfig m_config;
    const InfoReply m_info;
    std::atomic<std::uint32_t> m_nLiveConnections{0};

    std::mutex m_mutex;
    std::uint32_t m_nLastTick;
    std::uint64_t m_nNow = 0;

    bool m_bPresent = true;
    std::uint32_t m_nEnumeration = 0;  // n of the path; a connection is good for one value
    bool m_bReturnPending = false;
    std::uint64_t m_nReturnAt = 0;
    bool m_bUpdateMode;
    Faults m_faults;
    SeededRandom m_garbage{GARBAGE_SEED};

    NorFlash m_flash;
    std::uint32_t m_nReadBackBlock = 0;
    std::uint64_t m_nBusyUntil = 0;
    std::uint64_t m_nWireFreeAt = 0;  // device time at which the wire takes the next report
    std::deque<PendingReply> m_replies;

    std::uint64_t m_nDataLeft = 0;  // data reports still to come
    DataTarget m_dataTarget = DataTarget::Discard;
    std::uint32_t m_nDataPage = 0;
    std::array<std::uint8_t, FLASH_PAGE_SIZE> m_pageBuffer{};
    std::size_t m_nPageFill = 0;

    std::uint64_t m_nReportsReceived = 0;
    std::vector<CommandPacket> m_commands;
    std::uint64_t m_nDataReports = 0;
    std::vector<std::string> m_violations;
    std::optional<AddressRecord::Bytes> m_addressRecord;
    std::uint64_t m_nDiscardedReplies = 0;
    std::uint32_t m_nResets = 0;
    std::uint32_t m_nOpenCount = 0;
};

std::uint64_t SimulatedDevice::State::Now() {
    const std::uint32_t tick = m_clock.TickCount();
    const std::uint32_t step = tick - m_nLastTick;  // modular: a wrap of the tick is a step
    m_nLastTick = tick;
    if (static_cast<std::int32_t>(step) > 0) {
        m_nNow += step;  // a clock set back does not turn device time back
    }
    return m_nNow;
}

void SimulatedDevice::State::UpdatePresence() {
    Now();
    if (!m_bPresent && m_bReturnPending && !m_faults.stayAwayAfterReset && m_nNow >= m_nReturnAt) {
        ComeBack(true);
    }
}

int SimulatedDevice::State::Write(std::uint32_t epoch,
                                  std::span<const std::uint8_t, HID_REPORT_SIZE> report) {
    std::uint64_t waitMs = 0;
    {
        const std::lock_guard guard(m_mutex);
        UpdatePresence();
        if (!Alive(epoch) || m_faults.refuseWrites) {
            return -1;
        }
        // The wire takes one report per reportMs on a schedule of its own: a host that comes
        // back from its last wait a little late catches up instead of adding its oversleep to
        // every report, as a bus with fixed frames would have it. Time the host spent elsewhere
        // is not banked beyond WIRE_CATCH_UP_MS.
        if (m_config.reportMs > 0) {
            const std::uint64_t earliest =
                m_nNow > WIRE_CATCH_UP_MS ? m_nNow - WIRE_CATCH_UP_MS : 0;
            m_nWireFreeAt = std::max(m_nWireFreeAt, earliest) + m_config.reportMs;
            waitMs = m_nWireFreeAt > m_nNow ? m_nWireFreeAt - m_nNow : 0;
        }
    }
    // The transfer takes its time; the device acts on the report once it has all of it.
    if (waitMs > 0) {
        m_clock.SleepFor(static_cast<std::uint32_t>(waitMs));
    }
    const std::lock_guard guard(m_mutex);
    UpdatePresence();
    if (!Alive(epoch)) {
        return -1;
    }
    Take(report);
    if (m_faults.unplugAfterReports > 0 && --m_faults.unplugAfterReports == 0) {
        LeaveBus(false);
    }
    return static_cast<int>(HID_REPORT_SIZE);
}

int SimulatedDevice::State::Read(std::uint32_t epoch, std::span<std::uint8_t, HID_REPORT_SIZE> out,
                                 std::uint32_t timeoutMs) {
    std::unique_lock lock(m_mutex);
    const std::uint64_t deadline = Now() + timeoutMs;
    for (;;) {
        UpdatePresence();
        if (!Alive(epoch)) {
            return -1;
        }
        std::uint64_t wakeAt = deadline;
        if (!m_faults.neverAnswer && !m_replies.empty()) {
            if (m_replies.front().nReadyAt <= m_nNow) {
                HidReport report = m_replies.front().report;
                m_replies.pop_front();
                if (m_faults.garbageReplies) {
                    std::generate(report.begin() + 1, report.end(), [this] {
                        return static_cast<std::uint8_t>(m_garbage.Next() >> 7);
                    });
                }
                const std::size_t n =
                    m_faults.shortReplyBytes > 0
                        ? std::min<std::size_t>(m_faults.shortReplyBytes, HID_REPORT_SIZE)
                        : HID_REPORT_SIZE;
                std::copy_n(report.begin(), n, out.begin());
                return static_cast<int>(n);
            }
            wakeAt = std::min(wakeAt, m_replies.front().nReadyAt);
        }
        if (m_nNow >= deadline) {
            return 0;
        }
        const auto sleepMs = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(wakeAt - m_nNow, std::numeric_limits<std::uint32_t>::max()));
        lock.unlock();
        m_clock.SleepFor(sleepMs);
        lock.lock();
    }
}

void SimulatedDevice::State::Take(std::span<const std::uint8_t, HID_REPORT_SIZE> report) {
    ++m_nReportsReceived;
    // The device cannot tell a data report from a command: while data is due, every report is.
    if (m_nDataLeft > 0) {
        TakeData(report);
        return;
    }
    std::string why;
    const std::optional<CommandPacket> packet = ParseCommandReport(report, &why);
    if (!packet) {
        Violation(why);
        return;
    }
    m_commands.push_back(*packet);
    // A command overwrites the device's reply buffer, read or not.
    m_nDiscardedReplies += m_replies.size();
    m_replies.clear();
    TakeCommand(*packet);
}

void SimulatedDevice::State::TakeData(std::span<const std::uint8_t, HID_REPORT_SIZE> report) {
    if (report[0] != 0) {
        Violation("data report ID is not 0");
    }
    ++m_nDataReports;
    --m_nDataLeft;
    std::copy(report.begin() + 1, report.end(),
              m_pageBuffer.begin() + static_cast<std::ptrdiff_t>(m_nPageFill));
    m_nPageFill += HID_PAYLOAD_SIZE;
    if (m_nPageFill < FLASH_PAGE_SIZE) {
        return;
    }
    m_nPageFill = 0;
    switch (m_dataTarget) {
        case DataTarget::Pages:
            m_flash.ProgramPage(m_nDataPage++, m_pageBuffer);
            break;
        case DataTarget::AddressRecord:
            m_addressRecord = m_pageBuffer;
            break;
        case DataTarget::Discard:
            break;
    }
}

bool SimulatedDevice::State::CheckArguments(const CommandPacket& packet, std::uint32_t a,
                                            std::uint32_t b) {
    if (packet.a == a && packet.b == b) {
        return true;
    }
    Violation(std::string(CommandName(packet.code)) + " with A " + Hex(packet.a) + " and B " +
              Hex(packet.b) + " where it takes A " + Hex(a) + " and B " + Hex(b));
    return false;
}

void SimulatedDevice::State::TakeCommand(const CommandPacket& packet) {
    switch (packet.code) {
        case CMD_QUERY_INFO:
            if (CheckArguments(packet, RECORD_ARGUMENT_A, RECORD_ARGUMENT_B)) {
                QueueReply(m_info.bytes);
            }
            return;
        case CMD_READ_BACK:
            if (CheckArguments(packet, RECORD_ARGUMENT_A, RECORD_ARGUMENT_B)) {
                const std::vector<std::uint8_t> bytes =
                    m_flash.Get(m_nReadBackBlock * FLASH_BLOCK_SIZE, READ_BACK_SIZE);
                for (std::uint32_t k = 0; k < READ_BACK_REPORTS; ++k) {
                    QueueReply(std::span(bytes).subspan(k * HID_PAYLOAD_SIZE, HID_PAYLOAD_SIZE));
                }
            }
            return;
        case CMD_ERASE:
            if (!m_bUpdateMode) {
                Violation("erase outside update mode");
            } else if (!m_flash.EraseBlocks(packet.a, packet.b)) {
                Violation("erase of " + std::to_string(packet.b) + " blocks from block " +
                          Hex(packet.a) + " reaches past the flash");
            } else {
                if (packet.b > 0) {
                    m_nReadBackBlock = packet.a;
                }
                // The chip is busy block by block; the read-back waits for the last one.
                m_nBusyUntil = std::max(m_nBusyUntil, m_nNow) +
                               std::uint64_t{packet.b} * m_config.eraseBlockMs;
            }
            return;
        case CMD_WRITE: {
            // The host sends the data whatever the device thinks of the command; taking it as
            // data keeps the device in step, so one bad command gives one violation.
            const std::uint64_t reports = std::uint64_t{packet.b} * REPORTS_PER_PAGE;
            if (!m_bUpdateMode) {
                Violation("write outside update mode");
                StartData(DataTarget::Discard, reports, 0);
            } else if (!NorFlash::PagesInside(packet.a, packet.b)) {
                Violation("write of " + std::to_string(packet.b) + " pages from page " +
                          Hex(packet.a) + " reaches past the flash");
                StartData(DataTarget::Discard, reports, 0);
            } else {
                StartData(DataTarget::Pages, reports, packet.a);
            }
            return;
        }
        case CMD_ADDRESS_RECORD:
            if (!CheckArguments(packet, RECORD_ARGUMENT_A, RECORD_ARGUMENT_B)) {
                return;
            }
            if (!m_bUpdateMode) {
                Violation("address record outside update mode");
            }
            StartData(m_bUpdateMode ? DataTarget::AddressRecord : DataTarget::Discard,
                      REPORTS_PER_PAGE, 0);
            return;
        case CMD_FINISH:
            if (CheckArguments(packet, CONFIRM_WORD_1, CONFIRM_WORD_2)) {
                m_bUpdateMode = false;
            }
            return;
        case CMD_RESET:
            if (CheckArguments(packet, CONFIRM_WORD_1, CONFIRM_WORD_2)) {
                ++m_nResets;
                LeaveBus(true);
            }
            return;
        default:
            Violation("unknown command code " + Hex(packet.code));
            return;
    }
}

void SimulatedDevice::State::StartData(DataTarget target, std::uint64_t reports,
                                       std::uint32_t firstPage) {
    m_dataTarget = target;
    m_nDataLeft = reports;
    m_nDataPage = firstPage;
    m_nPageFill = 0;
}

void SimulatedDevice::State::QueueReply(std::span<const std::uint8_t> payload) {
    PendingReply reply;
    std::copy_n(payload.begin(), std::min(payload.size(), HID_PAYLOAD_SIZE),
                reply.report.begin() + 1);
    // Sent after one report time, and not before a running erase is done.
    reply.nReadyAt = std::max(m_nNow, m_nBusyUntil) + m_config.reportMs + m_faults.answerLateMs;
    m_replies.push_back(reply);
}

void SimulatedDevice::State::LeaveBus(bool bReturning) {
    m_bPresent = false;
    m_replies.clear();
    m_nDataLeft = 0;
    m_nPageFill = 0;
    m_nBusyUntil = 0;
    m_bReturnPending = bReturning;
    m_nReturnAt = m_nNow + m_config.resetAwayMs;
}

void SimulatedDevice::State::ComeBack(bool bUpdateMode) {
    m_bPresent = true;
    ++m_nEnumeration;
    m_bUpdateMode = bUpdateMode;
    m_bReturnPending = false;
}

void SimulatedDevice::State::Violation(const std::string& what) {
    m_violations.push_back("report " + std::to_string(m_nReportsReceived) + ": " + what);
}

// --- Connection -------------------------------------------------------------------------------

// One open of one appearance on the bus: once the device leaves, it stays dead.
class SimulatedDevice::Connection final : public HidConnection {
  public:
    Connection(std::shared_ptr<State> state, std::uint32_t epoch)
        : m_state(std::move(state)), m_nEpoch(epoch) {
        m_state->m_nLiveConnections.fetch_add(1);
    }
    ~Connection() override { m_state->m_nLiveConnections.fetch_sub(1); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    int Write(std::span<const std::uint8_t, HID_REPORT_SIZE> report) override {
        return m_state->Write(m_nEpoch, report);
    }
    int Read(std::span<std::uint8_t, HID_REPORT_SIZE> report, std::uint32_t timeoutMs) override {
        return m_state->Read(m_nEpoch, report, timeoutMs);
    }

  private:
    std::shared_ptr<State> m_state;
    std::uint32_t m_nEpoch;
};

// --- SimulatedDevice --------------------------------------------------------------------------

SimulatedDevice::SimulatedDevice(Clock& clock, DeviceConfig config)
    : m_state(std::make_shared<State>(clock, std::move(config))) {}

SimulatedDevice::~SimulatedDevice() = default;

const DeviceConfig& SimulatedDevice::Config() const {
    return m_state->m_config;
}

std::string SimulatedDevice::Path() const {
    return Locked(*m_state,
                  [](State& s) { return s.m_bPresent ? s.CurrentPath() : std::string(); });
}

bool SimulatedDevice::IsPresent() const {
    return Locked(*m_state, [](State& s) { return s.m_bPresent; });
}

bool SimulatedDevice::InUpdateMode() const {
    return Locked(*m_state, [](State& s) { return s.m_bUpdateMode; });
}

std::uint64_t SimulatedDevice::ReportsReceived() const {
    return Locked(*m_state, [](State& s) { return s.m_nReportsReceived; });
}

std::vector<CommandPacket> SimulatedDevice::Commands() const {
    return Locked(*m_state, [](State& s) { return s.m_commands; });
}

std::uint64_t SimulatedDevice::DataReports() const {
    return Locked(*m_state, [](State& s) { return s.m_nDataReports; });
}

std::vector<std::string> SimulatedDevice::Violations() const {
    return Locked(*m_state, [](State& s) { return s.m_violations; });
}

std::optional<AddressRecord::Bytes> SimulatedDevice::LastAddressRecord() const {
    return Locked(*m_state, [](State& s) { return s.m_addressRecord; });
}

std::uint64_t SimulatedDevice::DiscardedReplies() const {
    return Locked(*m_state, [](State& s) { return s.m_nDiscardedReplies; });
}

std::uint32_t SimulatedDevice::Resets() const {
    return Locked(*m_state, [](State& s) { return s.m_nResets; });
}

std::uint32_t SimulatedDevice::OpenCount() const {
    return Locked(*m_state, [](State& s) { return s.m_nOpenCount; });
}

std::uint32_t SimulatedDevice::LiveConnections() const {
    return m_state->m_nLiveConnections.load();
}

void SimulatedDevice::SetFaults(const Faults& faults) {
    Locked(*m_state, [&](State& s) { s.m_faults = faults; });
}

Faults SimulatedDevice::GetFaults() const {
    return Locked(*m_state, [](State& s) { return s.m_faults; });
}

void SimulatedDevice::Unplug() {
    Locked(*m_state, [](State& s) { s.LeaveBus(false); });
}

bool SimulatedDevice::PlugIn() {
    return Locked(*m_state, [](State& s) {
        if (s.m_bPresent) {
            return false;
        }
        s.ComeBack(false);
        return true;
    });
}

bool SimulatedDevice::LoadFlash(const std::filesystem::path& file) {
    return Locked(*m_state, [&](State& s) { return s.m_flash.Load(file); });
}

bool SimulatedDevice::SaveFlash(const std::filesystem::path& file) const {
    return Locked(*m_state, [&](State& s) { return s.m_flash.Save(file); });
}

std::vector<std::uint8_t> SimulatedDevice::ReadFlash(std::uint32_t offset,
                                                     std::size_t length) const {
    return Locked(*m_state, [&](State& s) { return s.m_flash.Get(offset, length); });
}

void SimulatedDevice::PresetFlash(std::uint32_t offset, std::span<const std::uint8_t> bytes) {
    Locked(*m_state, [&](State& s) { s.m_flash.Set(offset, bytes); });
}

std::optional<HidInterfaceEntry> SimulatedDevice::Entry() const {
    return Locked(*m_state, [](State& s) -> std::optional<HidInterfaceEntry> {
        if (!s.m_bPresent) {
            return std::nullopt;
        }
        return HidInterfaceEntry{true, s.CurrentPath(), s.m_config.vendorId, s.m_config.productId};
    });
}

std::unique_ptr<HidConnection> SimulatedDevice::Open(const std::string& path) {
    return Locked(*m_state, [&](State& s) -> std::unique_ptr<HidConnection> {
        if (!s.m_bPresent || path != s.CurrentPath()) {
            return nullptr;
        }
        ++s.m_nOpenCount;
        return std::make_unique<Connection>(m_state, s.m_nEnumeration);
    });
}

}  // namespace tarv::sim
