// The pseudo-random generator of the package format and the device records.
//
// A linear congruential generator with a 32-bit state: each draw multiplies by 214013, adds
// 2531011 (modulo 2^32) and yields bits 16 to 30 of the new state, a value 0..32767. It is seeded
// from the millisecond tick, so two loads a millisecond apart draw different tables. Its values are
// not secret; the tables it fills travel with the data.
#pragma once

#include <cstdint>

namespace tarv {

class SeededRandom {
  public:
    static constexpr std::uint32_t MAX_DRAW = 0x7FFF;

    explicit constexpr SeededRandom(std::uint32_t seed) : m_nState(seed) {}

    constexpr std::uint32_t Next() {
        m_nState = m_nState * 214013u + 2531011u;
        return (m_nState >> 16) & MAX_DRAW;
    }

  private:
    std::uint32_t m_nState;
};

}  // namespace tarv
