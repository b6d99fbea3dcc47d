// The device's 8 MiB NOR flash. Erasing sets whole blocks to 0xFF; programming can only clear
// bits, so it ANDs the data into what is there. Not thread-safe: its device guards it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

#include "link/protocol.h"

namespace tarv::sim {

class NorFlash {
  public:
    NorFlash();  // all 0xFF, as a fresh chip

    // Sets blocks [first, first + count) to 0xFF. Returns false, erasing nothing, when any of
    // them lies outside the flash; a count of 0 erases nothing and succeeds.
    bool EraseBlocks(std::uint32_t first, std::uint32_t count);
    // True when pages [first, first + count) all lie inside the flash.
    static bool PagesInside(std::uint32_t first, std::uint32_t count);
    // ANDs one page of data into page `page`, which must lie inside the flash.
    void ProgramPage(std::uint32_t page, std::span<const std::uint8_t, FLASH_PAGE_SIZE> data);

    // Raw access for presetting and inspecting; ranges are cut at the end of the flash.
    void Set(std::uint32_t offset, std::span<const std::uint8_t> bytes);
    std::vector<std::uint8_t> Get(std::uint32_t offset, std::size_t length) const;

    bool Load(const std::filesystem::path& file);
    bool Save(const std::filesystem::path& file) const;

  private:
    std::vector<std::uint8_t> m_bytes;
};

}  // namespace tarv::sim
