// The two records a run leaves on the device, each one 256-byte page: the check record at
// block 10 and the device header record at block 8. Their values are masked with random words
// that are stored beside them, so the device can unmask them and a copied record differs from
// run to run.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "base/random.h"

namespace tarv {

inline constexpr std::uint32_t CHECK_RECORD_BLOCK = 10;
inline constexpr std::uint32_t HEADER_RECORD_BLOCK = 8;
inline constexpr std::size_t RECORD_SIZE = 256;
using RecordBytes = std::array<std::uint8_t, RECORD_SIZE>;

// A random word: two successive 15-bit draws, the first in the high half. Bits 15 and 31 are
// therefore always 0.
std::uint32_t DrawRandomWord(SeededRandom& random);

// Sound and map lengths and page-sum totals (0xFFFFFFFF for an absent section), each XORed with
// one of the first random words: 0x00 sound length ^ R3, 0x04 sound check ^ R2, 0x08 map length
// ^ R2, 0x0C map check ^ R3; R0..R11 at 0x10..0x3F; 0xFF after.
struct CheckRecord {
    static constexpr std::size_t OFF_SOUND_LENGTH = 0x00;
    static constexpr std::size_t OFF_SOUND_CHECK = 0x04;
    static constexpr std::size_t OFF_MAP_LENGTH = 0x08;
    static constexpr std::size_t OFF_MAP_CHECK = 0x0C;
    static constexpr std::size_t OFF_WORDS = 0x10;
    static constexpr std::size_t WORDS = 12;

    std::uint32_t soundLength = 0xFFFFFFFF;
    std::uint32_t soundCheck = 0xFFFFFFFF;
    std::uint32_t mapLength = 0xFFFFFFFF;
    std::uint32_t mapCheck = 0xFFFFFFFF;
    std::array<std::uint32_t, WORDS> words{};

    // Draws the 12 words from `random`.
    static CheckRecord Make(std::uint32_t soundLength, std::uint32_t soundCheck,
                            std::uint32_t mapLength, std::uint32_t mapCheck, SeededRandom& random);
    RecordBytes Encode() const;
    // Unmasks a record read back from the device.
    static CheckRecord Decode(std::span<const std::uint8_t, RECORD_SIZE> bytes);

    bool operator==(const CheckRecord&) const = default;
};

// What the device knows of the program: fixed words, the program's length and word check, and
// the sound and map flash addresses masked with S0..S5, which follow at 0x28; then 48 more
// random words.
struct DeviceHeaderRecord {
    static constexpr std::uint32_t MAGIC = 0x86017618;
    static constexpr std::uint32_t WORD_04 = 56;
    static constexpr std::uint32_t WORD_08 = 0x00130000;
    static constexpr std::uint32_t PROGRAM_BASE = 0x40010000;  // at 0x0C and 0x10, always
    static constexpr std::uint32_t WORD_18 = 0x00100003;
    static constexpr std::size_t OFF_PROGRAM_LENGTH = 0x14;
    static constexpr std::size_t OFF_PROGRAM_CHECK = 0x1C;
    static constexpr std::size_t OFF_SOUND_ADDRESS = 0x20;
    static constexpr std::size_t OFF_MAP_ADDRESS = 0x24;
    static constexpr std::size_t OFF_MASKS = 0x28;
    static constexpr std::size_t OFF_FILL = 0x40;
    static constexpr std::size_t MASKS = 6;
    static constexpr std::size_t FILL_WORDS = 48;

    std::uint32_t programLength = 0;
    std::uint32_t programCheck = 0;
    std::uint32_t soundFlashAddress = 0;
    std::uint32_t mapFlashAddress = 0;
    std::array<std::uint32_t, MASKS> masks{};
    std::array<std::uint32_t, FILL_WORDS> fill{};

    // Draws S0..S5, then the 48 fill words, from `random`.
    static DeviceHeaderRecord Make(std::uint32_t programLength, std::uint32_t programCheck,
                                   std::uint32_t soundFlashAddress, std::uint32_t mapFlashAddress,
                                   SeededRandom& random);
    RecordBytes Encode() const;
    // Unmasks a record read back from the device; nothing when its fixed words are not there.
    static std::optional<DeviceHeaderRecord> Decode(
        std::span<const std::uint8_t, RECORD_SIZE> bytes);

    bool operator==(const DeviceHeaderRecord&) const = default;
};

}  // namespace tarv
