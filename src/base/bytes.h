// Little-endian field access for the wire and file records.
//
// Every record of the package and of the device protocol is declared as a fixed-size byte array
// with named offsets; these helpers read and write its multi-byte fields. The offset is a template
// argument, so a field that would reach past the end of its record does not compile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tarv {

template <std::size_t Offset, std::size_t N>
constexpr std::uint16_t LoadLe16(std::span<const std::uint8_t, N> bytes) {
    static_assert(Offset + 2 <= N, "field lies outside its record");
    return static_cast<std::uint16_t>(bytes[Offset] | (bytes[Offset + 1] << 8));
}

template <std::size_t Offset, std::size_t N>
constexpr std::uint32_t LoadLe32(std::span<const std::uint8_t, N> bytes) {
    static_assert(Offset + 4 <= N, "field lies outside its record");
    return static_cast<std::uint32_t>(bytes[Offset]) |
           (static_cast<std::uint32_t>(bytes[Offset + 1]) << 8) |
           (static_cast<std::uint32_t>(bytes[Offset + 2]) << 16) |
           (static_cast<std::uint32_t>(bytes[Offset + 3]) << 24);
}

template <std::size_t Offset, std::size_t N>
constexpr void StoreLe16(std::span<std::uint8_t, N> bytes, std::uint16_t value) {
    static_assert(Offset + 2 <= N, "field lies outside its record");
    bytes[Offset] = static_cast<std::uint8_t>(value);
    bytes[Offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

template <std::size_t Offset, std::size_t N>
constexpr void StoreLe32(std::span<std::uint8_t, N> bytes, std::uint32_t value) {
    static_assert(Offset + 4 <= N, "field lies outside its record");
    bytes[Offset] = static_cast<std::uint8_t>(value);
    bytes[Offset + 1] = static_cast<std::uint8_t>(value >> 8);
    bytes[Offset + 2] = static_cast<std::uint8_t>(value >> 16);
    bytes[Offset + 3] = static_cast<std::uint8_t>(value >> 24);
}

// Runtime-offset read for walks over a buffer (word sums and the like). The caller guarantees
// that offset + 4 <= bytes.size(); the span's own bounds hold it to that in checked builds.
constexpr std::uint32_t LoadLe32At(std::span<const std::uint8_t> bytes, std::size_t offset) {
    const auto field = bytes.subspan(offset, 4);
    return static_cast<std::uint32_t>(field[0]) | (static_cast<std::uint32_t>(field[1]) << 8) |
           (static_cast<std::uint32_t>(field[2]) << 16) |
           (static_cast<std::uint32_t>(field[3]) << 24);
}

}  // namespace tarv
