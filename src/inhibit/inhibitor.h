// Keeping the machine awake while an update run writes the device.
//
// A laptop that suspends in the middle of a write leaves a half-written device, so the run takes
// a hold before its first write and drops it when the run ends. A hold is best effort: when none
// can be had (no system bus, no logind, refused) the run goes on as it would without, and nobody
// is told. Holds may be taken and released on any thread, the update worker included.
#pragma once

#include <memory>
#include <string_view>

namespace tarv {

// The reason the update run gives; the desktop shows it to whoever tries to suspend.
inline constexpr std::string_view INHIBIT_WHY_UPDATE = "firmware update in progress";

// A taken hold; destroying it releases it. The base class itself holds nothing: it is what a
// hold that could not be taken looks like, so callers never check for null.
class InhibitHold {
  public:
    InhibitHold() = default;
    virtual ~InhibitHold() = default;
    InhibitHold(const InhibitHold&) = delete;
    InhibitHold& operator=(const InhibitHold&) = delete;

    // Whether a lock stands behind this hold. For diagnostics and tests; callers need not ask.
    virtual bool Held() const { return false; }
};

class SleepInhibitor {
  public:
    virtual ~SleepInhibitor() = default;

    // Keeps the machine from suspending or idling into sleep until the result is destroyed.
    // Never null and never throws; returns a do-nothing hold when none could be taken.
    virtual std::unique_ptr<InhibitHold> Hold(std::string_view why) = 0;
};

// For front ends and tests that must not touch the machine's power state.
class NoInhibitor final : public SleepInhibitor {
  public:
    std::unique_ptr<InhibitHold> Hold(std::string_view) override {
        return std::make_unique<InhibitHold>();
    }
};

}  // namespace tarv
