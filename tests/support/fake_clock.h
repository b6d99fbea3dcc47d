// A clock for tests: the tick is whatever the test sets, and sleeping only advances it.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/clock.h"

namespace tarv::testing {

class FakeClock final : public Clock {
  public:
    explicit FakeClock(std::uint32_t tick = 0) : m_nTick(tick) {}

    std::uint32_t TickCount() override { return m_nTick.load(); }
    void SleepFor(std::uint32_t ms) override {
        m_nTick.fetch_add(ms);
        m_nSlept.fetch_add(ms);
    }

    void SetTick(std::uint32_t tick) { m_nTick.store(tick); }
    std::uint64_t TotalSlept() const { return m_nSlept.load(); }

  private:
    std::atomic<std::uint32_t> m_nTick;
    std::atomic<std::uint64_t> m_nSlept{0};
};

}  // namespace tarv::testing
