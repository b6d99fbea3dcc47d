// The package checks that run before anything on the device is touched, and the values they
// compute for the run: each section's length and check value, the progress counters and the
// first time estimate.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "package/package.h"
#include "update/progress.h"
#include "update/write_plan.h"

namespace tarv {

inline constexpr std::uint32_t SECTION_ABSENT = 0xFFFFFFFF;

struct ValidationResult {
    std::string_view message;  // empty when the package passed; otherwise what to show

    // In the order program, sound, map; 0xFFFFFFFF for an absent section.
    // lengths: program length, sound length, map length + 256 (the table travels with it).
    // checks: program word check, sound page-sum total, map page-sum total.
    std::array<std::uint32_t, 3> lengths{SECTION_ABSENT, SECTION_ABSENT, SECTION_ABSENT};
    std::array<std::uint32_t, 3> checks{SECTION_ABSENT, SECTION_ABSENT, SECTION_ABSENT};
    // The check bytes the block walk found, for each present section it reached.
    std::array<std::optional<std::uint8_t>, 3> checkBytes;
    // What the run erases and writes: the map area (its table, then the map) and the sound
    // area, each from the page of its flash address; nothing for an absent section.
    std::optional<AreaPlan> mapArea;
    std::optional<AreaPlan> soundArea;

    std::uint32_t timeLeftMs = 0;
    UpdateProgress progress;  // totalUnits set, unitsDone 0; basePercent once the package passed

    bool ok() const { return message.empty(); }
    bool operator==(const ValidationResult&) const = default;
};

// The share of the bar for the preparation, from which sections are present.
std::uint8_t BasePercentFor(bool soundPresent, bool mapPresent);

// Checks the loaded package: payload size and alignment, section lengths (and that each present
// program and sound lies inside the payload), flash address order, the program's presence, the
// three check bytes, and then that the writes can end well: a sound of one page at least, both
// areas inside the flash, and the sound's blocks below the map's. Reads the package and nothing
// else, so the same package gives the same result wherever it is checked: a front end right
// after loading, every run before it writes. `timeLeftMs` is the estimate before the checks.
ValidationResult ValidatePackage(const CUpdatePackage& package, std::uint32_t timeLeftMs = 0);

}  // namespace tarv
