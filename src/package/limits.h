// Sizes and limits of the update package and of the device's flash window.
#pragma once

#include <cstdint>

namespace tarv {

inline constexpr char PACKAGE_FILE_NAME[] = "TarvUpdate.Bin";
inline constexpr char RELEASE_NOTES_FILE_NAME[] = "readme.txt";

// The file is a key block followed by the scrambled payload.
inline constexpr std::uint32_t PKG_KEY_BLOCK_SIZE = 1024;
// Largest package file, and largest section length, in bytes (127 MiB).
inline constexpr std::uint32_t PKG_MAX_LENGTH = 0x7F00000;
// The image buffer holds the payload and this much more, so walks that read whole 1024-byte
// blocks or 256-byte pages past a section's end stay inside it.
inline constexpr std::uint32_t PKG_IMAGE_SLACK = 8192;
inline constexpr std::uint32_t PKG_HEADER_SIZE = 128;
// `Length` of a section the package does not have.
inline constexpr std::uint32_t PKG_ABSENT = 0xFFFFFFFF;
inline constexpr std::uint32_t PKG_VERSION_TEXT_SIZE = 20;

// The map section travels behind a table of random bytes that keys its scrambling.
inline constexpr std::uint32_t MAP_TABLE_SIZE = 256;
inline constexpr std::uint32_t MAP_KEY_SIZE = 16;

// The device's flash window: [FLASH_BASE, FLASH_END).
inline constexpr std::uint32_t FLASH_BASE = 0x40000000;
inline constexpr std::uint32_t FLASH_END = 0x40800000;

}  // namespace tarv
