// Where each step of a run begins, counted in reports the device takes (from 1): one report per
// command, four data reports per page, two reports (erase and read-back) per erase.
#pragma once

#include <cstdint>

#include "package/package_header.h"

namespace tarv::testing {

struct ReportPlan {
    std::uint32_t query, reset, addressRecord, mapErase, mapWrite, soundErase, soundWrite;
    std::uint32_t checkErase, checkWrite, headerErase, headerWrite, finish;

    explicit ReportPlan(const PackageHeader& h) {
        std::uint32_t n = 0;
        const auto step = [&n](std::uint32_t reports) {
            const std::uint32_t first = n + 1;
            n += reports;
            return first;
        };
        query = step(1);
        reset = step(1);
        addressRecord = step(1 + 4);
        mapErase = h.Map.Present() ? step(2) : 0;
        // Every page an area's bytes take, the last one whole; the map's bytes follow its table.
        mapWrite = h.Map.Present() ? step(1 + 4 * Pages(std::uint64_t{h.Map.Length} + 256)) : 0;
        soundErase = h.Sound.Present() ? step(2) : 0;
        soundWrite = h.Sound.Present() ? step(1 + 4 * Pages(h.Sound.Length)) : 0;
        checkErase = step(2);
        checkWrite = step(1 + 4);
        headerErase = step(2);
        headerWrite = step(1 + 4);
        finish = step(1);
    }

    static std::uint32_t Pages(std::uint64_t bytes) {
        return static_cast<std::uint32_t>((bytes + 255) / 256);
    }
};

}  // namespace tarv::testing
