// The 128-byte header at the start of the descrambled payload, and its three section entries.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "package/limits.h"

namespace tarv {

// One 16-byte entry of the section table.
struct PackageSection {
    static constexpr std::size_t SIZE = 16;
    static constexpr std::size_t OFF_OFFSET = 0;
    static constexpr std::size_t OFF_LENGTH = 4;
    static constexpr std::size_t OFF_FLASH_ADDRESS = 8;
    static constexpr std::size_t OFF_VERSION = 12;

    std::uint32_t Offset = 0;        // first byte of the section in the payload
    std::uint32_t Length = 0;        // PKG_ABSENT: the package has no such section
    std::uint32_t FlashAddress = 0;  // where the device stores it
    std::array<char, 4> Version{};   // four characters, no terminator

    bool Present() const { return Length != PKG_ABSENT; }

    static PackageSection Decode(std::span<const std::uint8_t, SIZE> bytes);
    void EncodeTo(std::span<std::uint8_t, SIZE> bytes) const;

    bool operator==(const PackageSection&) const = default;
};

// The header. Reserved bytes are neither decoded nor written by EncodeTo.
struct PackageHeader {
    static constexpr std::size_t SIZE = PKG_HEADER_SIZE;
    static constexpr std::size_t OFF_TEXT_A = 0;
    static constexpr std::size_t OFF_MAP_SCRAMBLE_LENGTH = 12;
    static constexpr std::size_t OFF_TEXT_B = 16;
    static constexpr std::size_t OFF_PROGRAM = 32;
    static constexpr std::size_t OFF_SOUND = 48;
    static constexpr std::size_t OFF_MAP = 64;
    static constexpr std::size_t OFF_PROGRAM_CHECK = 80;
    static constexpr std::size_t OFF_SOUND_CHECK = 81;
    static constexpr std::size_t OFF_MAP_CHECK = 82;

    std::array<char, 8> TextA{};          // not used by the updater
    std::uint32_t MapScrambleLength = 0;  // map bytes to scramble; more than Map.Length means all
    std::array<char, 10> TextB{};         // not used by the updater
    PackageSection Program;
    PackageSection Sound;
    PackageSection Map;
    std::uint8_t ProgramCheck = 0;
    std::uint8_t SoundCheck = 0;
    std::uint8_t MapCheck = 0;

    static PackageHeader Decode(std::span<const std::uint8_t, SIZE> bytes);
    void EncodeTo(std::span<std::uint8_t, SIZE> bytes) const;

    bool operator==(const PackageHeader&) const = default;
};

static_assert(PackageHeader::OFF_MAP_CHECK < PackageHeader::SIZE);
static_assert(PackageHeader::OFF_MAP + PackageSection::SIZE <= PackageHeader::OFF_PROGRAM_CHECK);

// The three section versions joined as the device reports them: program, "S", sound, "C", map,
// then six zero bytes. Built from whatever the Version fields hold, present or not.
using PackageVersionText = std::array<char, PKG_VERSION_TEXT_SIZE>;
PackageVersionText BuildPackageVersionText(const PackageHeader& header);

}  // namespace tarv
