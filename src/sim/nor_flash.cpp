#include "sim/nor_flash.h"

#include <algorithm>
#include <fstream>
#include <system_error>

#include "sim/simulator.h"

namespace tarv::sim {

NorFlash::NorFlash() : m_bytes(FLASH_SIZE, 0xFF) {}

bool NorFlash::EraseBlocks(std::uint32_t first, std::uint32_t count) {
    // 64-bit so that a first block near 2^32 cannot wrap into the flash.
    if (std::uint64_t{first} + count > FLASH_BLOCKS) {
        return false;
    }
    const auto begin = m_bytes.begin() + std::ptrdiff_t{first} * FLASH_BLOCK_SIZE;
    std::fill_n(begin, std::size_t{count} * FLASH_BLOCK_SIZE, std::uint8_t{0xFF});
    return true;
}

bool NorFlash::PagesInside(std::uint32_t first, std::uint32_t count) {
    return std::uint64_t{first} + count <= FLASH_PAGES;
}

void NorFlash::ProgramPage(std::uint32_t page,
                           std::span<const std::uint8_t, FLASH_PAGE_SIZE> data) {
    const auto begin = m_bytes.begin() + std::ptrdiff_t{page} * FLASH_PAGE_SIZE;
    std::transform(data.begin(), data.end(), begin, begin,
                   [](std::uint8_t in, std::uint8_t cell) -> std::uint8_t { return in & cell; });
}

void NorFlash::Set(std::uint32_t offset, std::span<const std::uint8_t> bytes) {
    if (offset >= m_bytes.size()) {
        return;
    }
    const std::size_t n = std::min(bytes.size(), m_bytes.size() - offset);
    std::copy_n(bytes.begin(), n, m_bytes.begin() + offset);
}

std::vector<std::uint8_t> NorFlash::Get(std::uint32_t offset, std::size_t length) const {
    if (offset >= m_bytes.size()) {
        return {};
    }
    const std::size_t n = std::min(length, m_bytes.size() - offset);
    return {m_bytes.begin() + offset, m_bytes.begin() + offset + static_cast<std::ptrdiff_t>(n)};
}

bool NorFlash::Load(const std::filesystem::path& file) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(file, error)) {
        return false;  // a directory would open as a stream and read as empty
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return false;
    }
    // One byte more than fits tells a file that is too long.
    std::vector<std::uint8_t> image(FLASH_SIZE + 1);
    in.read(reinterpret_cast<char*>(image.data()), static_cast<std::streamsize>(image.size()));
    if (in.bad()) {
        return false;
    }
    const auto n = static_cast<std::size_t>(in.gcount());
    if (n > FLASH_SIZE) {
        return false;
    }
    std::fill(image.begin() + static_cast<std::ptrdiff_t>(n), image.end(), std::uint8_t{0xFF});
    image.pop_back();
    m_bytes = std::move(image);
    return true;
}

bool NorFlash::Save(const std::filesystem::path& file) const {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(m_bytes.data()),
              static_cast<std::streamsize>(m_bytes.size()));
    out.close();
    return static_cast<bool>(out);
}

}  // namespace tarv::sim
