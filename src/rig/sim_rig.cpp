#include "rig/sim_rig.h"

#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>

#include "sim/simulator.h"

namespace tarv {
namespace {

// A real device's pace, and how long the simulated operator takes to unplug a device after its
// run and to plug in the next one.
constexpr std::uint32_t REAL_REPORT_MS = 1;
constexpr std::uint32_t REAL_ERASE_BLOCK_MS = 40;
constexpr std::uint32_t REAL_RESET_AWAY_MS = 1500;
constexpr std::uint32_t OPERATOR_UNPLUG_MS = 1000;
constexpr std::uint32_t OPERATOR_PLUG_MS = 1000;

enum class FaultKind {
    UnplugAfter,
    NeverAnswer,
    Late,
    Short,
    Garbage,
    RefuseWrites,
    StayAway,
    NotPermitted,
    InUse,
    Away
};

struct FaultForm {
    std::string_view name;
    FaultKind kind;
    bool hasValue;
    std::uint32_t minValue;
    std::uint32_t maxValue;
};

constexpr std::uint32_t ANY = std::numeric_limits<std::uint32_t>::max();
constexpr FaultForm FAULT_FORMS[] = {
    {"unplug-after", FaultKind::UnplugAfter, true, 1, ANY},
    {"never-answer", FaultKind::NeverAnswer, false, 0, 0},
    {"late", FaultKind::Late, true, 0, ANY},
    {"short", FaultKind::Short, true, 1, static_cast<std::uint32_t>(HID_REPORT_SIZE)},
    {"garbage", FaultKind::Garbage, false, 0, 0},
    {"refuse-writes", FaultKind::RefuseWrites, false, 0, 0},
    {"stay-away", FaultKind::StayAway, false, 0, 0},
    {"not-permitted", FaultKind::NotPermitted, false, 0, 0},
    {"in-use", FaultKind::InUse, false, 0, 0},
    {"away", FaultKind::Away, true, 0, ANY},
};

struct SimFault {
    std::uint32_t device = 0;  // from 1; 0 for every device
    FaultKind kind = FaultKind::NeverAnswer;
    std::uint32_t value = 0;
};

std::optional<std::uint32_t> ParseNumber(std::string_view text) {
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

std::optional<SimFault> ParseSimFault(std::string_view text, std::string& error) {
    SimFault fault;
    if (const std::size_t colon = text.find(':'); colon != std::string_view::npos) {
        const std::optional<std::uint32_t> device = ParseNumber(text.substr(0, colon));
        if (!device || *device == 0) {
            error = "the device before ':' is a number from 1";
            return std::nullopt;
        }
        fault.device = *device;
        text.remove_prefix(colon + 1);
    }
    const std::size_t equals = text.find('=');
    const std::string_view name = text.substr(0, equals);
    for (const FaultForm& form : FAULT_FORMS) {
        if (form.name != name) {
            continue;
        }
        fault.kind = form.kind;
        if (form.hasValue != (equals != std::string_view::npos)) {
            error = std::string(name) + (form.hasValue ? " needs =VALUE" : " takes no value");
            return std::nullopt;
        }
        if (form.hasValue) {
            const std::optional<std::uint32_t> value = ParseNumber(text.substr(equals + 1));
            if (!value || *value < form.minValue || *value > form.maxValue) {
                error = "bad value for " + std::string(name);
                return std::nullopt;
            }
            fault.value = *value;
        }
        if (fault.kind == FaultKind::InUse && fault.device != 0) {
            error = "in-use holds for every device";
            return std::nullopt;
        }
        return fault;
    }
    error = "unknown fault '" + std::string(name) + "'";
    return std::nullopt;
}

std::optional<std::vector<std::string>> ParseVersions(std::string_view text, std::string& error) {
    std::vector<std::string> versions;
    for (std::size_t start = 0;;) {
        const std::size_t comma = text.find(',', start);
        versions.emplace_back(text.substr(start, comma - start));
        if (comma == std::string_view::npos) {
            break;
        }
        start = comma + 1;
    }
    if (versions.size() != 3) {
        error = "three versions, program, sound and map, separated by commas";
        return std::nullopt;
    }
    for (const std::string& version : versions) {
        if (version.size() != 4) {
            error = "each version has four characters";
            return std::nullopt;
        }
    }
    return versions;
}

bool Due(std::uint32_t at, std::uint32_t now) {
    return static_cast<std::int32_t>(now - at) >= 0;
}

}  // namespace

SimBench::SimBench(Clock& clock, bool realPace) : m_clock(clock), m_bRealPace(realPace) {}

std::string SimBench::Setup(const SimOptions& options) {
    std::string error;
    const std::size_t count = options.devices > 0 ? static_cast<std::size_t>(options.devices) : 1;

    std::vector<sim::DeviceConfig> configs(count);
    std::vector<sim::Faults> faults(count);
    for (std::size_t k = 0; k < count; ++k) {
        sim::DeviceConfig& config = configs[k];
        config.name = "tarv" + std::to_string(k + 1);
        config.reportMs = m_bRealPace ? REAL_REPORT_MS : 0;
        config.eraseBlockMs = m_bRealPace ? REAL_ERASE_BLOCK_MS : 0;
        config.resetAwayMs = m_bRealPace ? REAL_RESET_AWAY_MS : 0;
        if (!options.versions.empty()) {
            const auto versions = ParseVersions(options.versions, error);
            if (!versions) {
                return "--sim-versions: " + error;
            }
            config.programVersion = (*versions)[0];
            config.soundVersion = (*versions)[1];
            config.mapVersion = (*versions)[2];
        }
    }

    for (const std::string& text : options.faults) {
        const std::optional<SimFault> fault = ParseSimFault(text, error);
        if (!fault) {
            return "--sim-fault " + text + ": " + error;
        }
        if (fault->device > count) {
            return "--sim-fault " + text + ": there are only " + std::to_string(count) +
                   " simulated devices";
        }
        for (std::size_t k = 0; k < count; ++k) {
            if (fault->device != 0 && fault->device != k + 1) {
                continue;
            }
            sim::Faults& f = faults[k];
            switch (fault->kind) {
                case FaultKind::UnplugAfter:
                    f.unplugAfterReports = fault->value;
                    break;
                case FaultKind::NeverAnswer:
                    f.neverAnswer = true;
                    break;
                case FaultKind::Late:
                    f.answerLateMs = fault->value;
                    break;
                case FaultKind::Short:
                    f.shortReplyBytes = fault->value;
                    break;
                case FaultKind::Garbage:
                    f.garbageReplies = true;
                    break;
                case FaultKind::RefuseWrites:
                    f.refuseWrites = true;
                    break;
                case FaultKind::StayAway:
                    f.stayAwayAfterReset = true;
                    break;
                case FaultKind::NotPermitted:
                    f.notPermitted = true;
                    break;
                case FaultKind::InUse:
                    m_marker.SetHeldElsewhere(true);
                    break;
                case FaultKind::Away:
                    configs[k].resetAwayMs = fault->value;
                    break;
            }
        }
    }

    // One device: FILE itself; several: FILE.1, FILE.2, ...
    const auto fileFor = [&](const std::string& base, std::size_t k) {
        return base.empty() || options.devices <= 1 ? base : base + "." + std::to_string(k + 1);
    };
    for (std::size_t k = 0; k < count; ++k) {
        sim::SimulatedDevice& device = m_transport.AddDevice(configs[k]);
        const std::string flashIn = fileFor(options.flashIn, k);
        if (!flashIn.empty() && !device.LoadFlash(flashIn)) {
            return "cannot read the flash image " + flashIn;
        }
        device.SetFaults(faults[k]);
        // The operator plugs the others in one after another.
        if (k > 0) {
            device.Unplug();
        }
        m_devices.push_back(&device);
        m_flashOut.push_back(fileFor(options.flashOut, k));
    }
    if (options.startUnplugged) {
        m_devices.front()->Unplug();
    }
    return {};
}

std::vector<std::string> SimBench::Finish() {
    std::vector<std::string> problems;
    for (std::size_t k = 0; k < m_devices.size(); ++k) {
        const sim::SimulatedDevice& device = *m_devices[k];
        const std::string name = "simulated device " + std::to_string(k + 1) + ": ";
        for (const std::string& violation : device.Violations()) {
            problems.push_back(name + violation);
        }
        if (device.LiveConnections() != 0) {
            problems.push_back(name + "the link was left open");
        }
        if (!m_flashOut[k].empty() && !device.SaveFlash(m_flashOut[k])) {
            problems.push_back(name + "cannot write the flash image " + m_flashOut[k]);
        }
    }
    if (m_marker.LiveHolds() != 0) {
        problems.push_back("the in-use marker was left held");
    }
    return problems;
}

namespace {

class CSimRig final : public DeviceRig {
  public:
    explicit CSimRig(const SimOptions& options)
        : m_clock(options.instant ? static_cast<Clock&>(m_virtualClock) : SystemClock::Instance()),
          m_bench(m_clock, !options.instant),
          m_bOperator(options.devices > 0) {}

    std::string Setup(const SimOptions& options) { return m_bench.Setup(options); }

    CHidLink& Link() override { return m_link; }
    Clock& RunClock() override { return m_clock; }
    void OnRunEnded() override;
    void OnPoll() override;
    bool AllDone() const override { return m_bAllDone; }
    void Attach() override;
    std::vector<std::string> Finish() override { return m_bench.Finish(); }

  private:
    VirtualClock m_virtualClock;
    Clock& m_clock;
    SimBench m_bench;
    CHidLink m_link{m_bench.Transport(), m_bench.Marker(), m_clock};

    // The operator of continuous mode: the device on the bus now, and what they do next.
    bool m_bOperator = false;
    std::size_t m_nCurrent = 0;
    std::optional<std::uint32_t> m_unplugAt;
    std::optional<std::uint32_t> m_plugAt;
    bool m_bAllDone = false;
};

void CSimRig::Attach() {
    if (!m_bench.Device(m_nCurrent).IsPresent()) {
        m_bench.Device(m_nCurrent).PlugIn();
    }
}

void CSimRig::OnRunEnded() {
    if (!m_bOperator) {
        return;
    }
    if (m_nCurrent + 1 >= m_bench.DeviceCount()) {
        m_bAllDone = true;
        return;
    }
    // A retry that the poll started before the operator got there does not put them off.
    if (!m_unplugAt && !m_plugAt) {
        m_unplugAt = m_clock.TickCount() + OPERATOR_UNPLUG_MS;
    }
}

void CSimRig::OnPoll() {
    const std::uint32_t now = m_clock.TickCount();
    if (m_unplugAt && Due(*m_unplugAt, now)) {
        m_bench.Device(m_nCurrent).Unplug();
        m_plugAt = now + OPERATOR_PLUG_MS;
        m_unplugAt.reset();
    }
    if (m_plugAt && Due(*m_plugAt, now)) {
        ++m_nCurrent;
        m_bench.Device(m_nCurrent).PlugIn();
        m_plugAt.reset();
    }
}

}  // namespace

std::string CheckSimFault(std::string_view text) {
    std::string error;
    ParseSimFault(text, error);
    return error;
}

std::string CheckSimVersions(std::string_view text) {
    std::string error;
    ParseVersions(text, error);
    return error;
}

std::unique_ptr<DeviceRig> MakeSimRig(const SimOptions& options, std::string& error) {
    auto rig = std::make_unique<CSimRig>(options);
    error = rig->Setup(options);
    if (!error.empty()) {
        return nullptr;
    }
    return rig;
}

}  // namespace tarv
