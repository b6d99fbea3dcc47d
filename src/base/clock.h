// The program's one source of time.
//
// Every tick that seeds a generator and every wait of an update run goes through a Clock, so
// tests can run a whole update, with its seconds of fixed waits, in milliseconds, and can choose
// the ticks that seed the random tables.
#pragma once

#include <atomic>
#include <cstdint>

namespace tarv {

class Clock {
  public:
    virtual ~Clock() = default;

    // Milliseconds since some fixed start, wrapping at 2^32 (about 49.7 days).
    virtual std::uint32_t TickCount() = 0;

    // Blocks the calling thread for about `ms` milliseconds.
    virtual void SleepFor(std::uint32_t ms) = 0;
};

// The machine's monotonic clock and real sleeps. Safe to use from any thread.
class SystemClock final : public Clock {
  public:
    std::uint32_t TickCount() override;
    void SleepFor(std::uint32_t ms) override;

    // The process-wide instance; never destroyed before other statics that may use it.
    static SystemClock& Instance();
};

// Time that passes only when someone sleeps: every sleep returns at once and moves the tick on.
// For the simulator's instant mode, where a whole update with its seconds of waits takes
// milliseconds. Safe to use from any thread.
class VirtualClock final : public Clock {
public:
    explicit VirtualClock(std::uint32_t start = 0) : m_nTick(start) {}

    std::uint32_t TickCount() override { return m_nTick.load(std::memory_order_acquire); }
    void SleepFor(std::uint32_t ms) override { m_nTick.fetch_add(ms, std::memory_order_acq_rel); }

private:
    std::atomic<std::uint32_t> m_nTick;
};

}  // namespace tarv
