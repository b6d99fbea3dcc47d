#include "inhibit/logind_inhibitor.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

namespace tarv {
namespace {

class FdHold final : public InhibitHold {
  public:
    explicit FdHold(int fd) : m_fd(fd) {}
    ~FdHold() override { close(m_fd); }
    bool Held() const override { return true; }

  private:
    const int m_fd;
};

// Owns one sd-bus object each; the unref functions accept null.
struct BusRef {
    sd_bus* bus = nullptr;
    ~BusRef() { sd_bus_close_unref(bus); }  // no flush: it could wait on a peer that reads nothing
};
struct SlotRef {
    sd_bus_slot* slot = nullptr;
    ~SlotRef() { sd_bus_slot_unref(slot); }  // cancels the reply callback if it has not run
};

struct CallState {
    bool answered = false;
    int fd = -1;
};

int OnReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    auto& state = *static_cast<CallState*>(userdata);
    state.answered = true;
    // Errors arrive here too: a refusal, no such service, or sd-bus's own time-out or disconnect.
    if (sd_bus_message_is_method_error(reply, nullptr)) {
        return 0;
    }
    int fd = -1;
    if (sd_bus_message_read(reply, "h", &fd) > 0) {
        // The message owns that descriptor and closes it when it goes.
        state.fd = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    }
    return 0;
}

// Starts the connection; the handshake goes on in the caller's loop.
int OpenBus(const std::string& address, std::uint64_t timeoutUsec, sd_bus** bus) {
    int r = 0;
    if (address.empty()) {
        r = sd_bus_open_system(bus);
    } else if ((r = sd_bus_new(bus)) >= 0 && (r = sd_bus_set_address(*bus, address.c_str())) >= 0 &&
               (r = sd_bus_set_bus_client(*bus, 1)) >= 0) {
        r = sd_bus_start(*bus);
    }
    if (r < 0) {
        return r;
    }
    // The call's own time-out, as sd-bus counts it; the default is 25 s.
    return sd_bus_set_method_call_timeout(*bus, timeoutUsec);
}

}  // namespace

LogindInhibitor::LogindInhibitor(std::string busAddress, std::chrono::milliseconds timeout)
    : m_busAddress(std::move(busAddress)), m_timeout(timeout) {}

std::unique_ptr<InhibitHold> LogindInhibitor::Hold(std::string_view why) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + m_timeout;
    const auto timeoutUsec = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(m_timeout).count());
    auto none = [] { return std::make_unique<InhibitHold>(); };

    BusRef bus;
    if (OpenBus(m_busAddress, timeoutUsec, &bus.bus) < 0) {
        return none();
    }
    CallState state;
    SlotRef slot;  // goes first, before the state its callback writes to and before the bus
    const std::string reason(why);
    // Queued until the connection is up; sd-bus sends it after the handshake.
    if (sd_bus_call_method_async(bus.bus, &slot.slot, LOGIND_SERVICE, LOGIND_OBJECT, LOGIND_MANAGER,
                                 "Inhibit", OnReply, &state, "ssss", LOGIND_INHIBIT_WHAT,
                                 LOGIND_INHIBIT_WHO, reason.c_str(), LOGIND_INHIBIT_MODE) < 0) {
        return none();
    }
    // sd_bus_call would bound the call alone: a peer that takes the connection and never
    // finishes the handshake would hold it for sd-bus's own 90 s. This loop bounds both.
    while (!state.answered && Clock::now() < deadline) {
        const int processed = sd_bus_process(bus.bus, nullptr);
        if (processed < 0) {
            break;
        }
        if (processed > 0) {
            continue;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            break;
        }
        const int waited = sd_bus_wait(bus.bus, static_cast<std::uint64_t>(left.count()));
        if (waited < 0 && waited != -EINTR) {
            break;
        }
    }
    if (state.fd < 0) {
        return none();
    }
    return std::make_unique<FdHold>(state.fd);
}

}  // namespace tarv
