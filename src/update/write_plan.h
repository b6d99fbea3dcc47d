// Where the run erases and writes an area of the device's flash: the pages its bytes take and
// the blocks those pages touch.
#pragma once

#include <cstdint>

namespace tarv {

struct AreaPlan {
    std::uint32_t firstPage = 0;  // the write: pageCount pages of 256 bytes from firstPage
    std::uint32_t pageCount = 0;
    std::uint32_t firstBlock = 0;  // the erase before it: every block those pages touch
    std::uint32_t blockCount = 0;

    // One past the last page and block (wider than the flash's numbers, so that an area that
    // reaches past the flash says so instead of wrapping).
    std::uint64_t EndPage() const { return std::uint64_t{firstPage} + pageCount; }
    std::uint64_t EndBlock() const { return std::uint64_t{firstBlock} + blockCount; }
    // True when every page and block lies inside the flash.
    bool InsideFlash() const;

    bool operator==(const AreaPlan&) const = default;
};

// `bytes` bytes written from the page of `flashAddress`, which lies in the flash window: the
// last page is written whole, and a block the pages only start or end in is erased all the
// same, since programming over bytes that were not erased corrupts them. No bytes: no page and
// no block.
AreaPlan PlanArea(std::uint32_t flashAddress, std::uint32_t bytes);

}  // namespace tarv
