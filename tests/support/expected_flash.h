// The flash a correct update run leaves, computed from the package alone, for end-to-end tests.
//
// Nothing here uses the update code: the areas, pages, sums and record layouts are worked out
// again from the package format, so a test that compares the simulated device's flash with this
// expectation checks the run, not the run against itself. Only what a run draws at random (the
// map's table and the records' mask words) is read back from the flash the run left, and even
// those are checked for the shape of the generator's words.
#pragma once

#include <cstdint>
#include <string>

#include "support/package_writer.h"

namespace tarv::testing {

inline constexpr std::uint32_t FLASH_BYTES = 0x800000;

struct FlashExpectation {
    Bytes image;  // FLASH_BYTES
};

// What the flash must hold after a successful run of `writer`'s package on a device whose flash
// was `before`; `after` is the flash the run left (for the random parts).
FlashExpectation ExpectFlash(const PackageWriter& writer, const Bytes& before, const Bytes& after);

// "" when `actual` is exactly the expectation, otherwise where and how it first differs.
std::string FirstDifference(const Bytes& actual, const FlashExpectation& expected);

// An 8 MiB starting image with no 0xFF runs, so that erased and untouched areas differ.
Bytes FlashPattern(std::uint32_t salt = 0);

}  // namespace tarv::testing
