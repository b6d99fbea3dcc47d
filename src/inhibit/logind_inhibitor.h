// The sleep hold as a logind inhibitor lock, taken over D-Bus with sd-bus.
//
// logind's Inhibit method answers with the write end of a FIFO; the lock lasts as long as any
// copy of that descriptor is open. The hold keeps its own copy (close-on-exec, so that a program
// we start does not keep the machine awake after us) and closes it when destroyed.
//
// Each hold opens its own bus connection and closes it once the answer is in: the descriptor, not
// the connection, carries the lock. An sd-bus connection may not be shared between threads, a
// run takes one hold, and a fresh connection also survives a restart of the bus between runs, so
// keeping one open would buy nothing.
//
// Connecting, authenticating and the call itself share one deadline: a bus or a logind that does
// not answer costs the update run at most that long, never a hang.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "inhibit/inhibitor.h"

namespace tarv {

inline constexpr char LOGIND_SERVICE[] = "org.freedesktop.login1";
inline constexpr char LOGIND_OBJECT[] = "/org/freedesktop/login1";
inline constexpr char LOGIND_MANAGER[] = "org.freedesktop.login1.Manager";
// Blocks both a suspend request and the idle timer's; shutdown stays the user's choice.
inline constexpr char LOGIND_INHIBIT_WHAT[] = "sleep:idle";
inline constexpr char LOGIND_INHIBIT_WHO[] = "tarv-updater";
inline constexpr char LOGIND_INHIBIT_MODE[] = "block";
// logind answers within milliseconds; the bound only keeps a wedged bus from holding up a run.
inline constexpr std::chrono::milliseconds LOGIND_CALL_TIMEOUT{1500};

class LogindInhibitor final : public SleepInhibitor {
  public:
    // `busAddress` in D-Bus address syntax ("unix:path=..."); empty means the system bus, which
    // is $DBUS_SYSTEM_BUS_ADDRESS when set.
    explicit LogindInhibitor(std::string busAddress = {},
                             std::chrono::milliseconds timeout = LOGIND_CALL_TIMEOUT);

    std::unique_ptr<InhibitHold> Hold(std::string_view why) override;

  private:
    const std::string m_busAddress;
    const std::chrono::milliseconds m_timeout;
};

}  // namespace tarv
