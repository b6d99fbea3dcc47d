// The map section in the form the device stores it.
//
// The map area receives a 256-byte table of fresh random bytes followed by the map section, whose
// first MapScrambleLength bytes are XORed with a 16-byte key derived from that table. The key is
// stored nowhere: the device derives it again from the table.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "package/limits.h"

namespace tarv {

using MapRandomTable = std::array<std::uint8_t, MAP_TABLE_SIZE>;
using MapScrambleKey = std::array<std::uint8_t, MAP_KEY_SIZE>;

// 256 draws of the seeded generator, low 8 bits each, in drawing order.
MapRandomTable DrawMapRandomTable(std::uint32_t seed);

// The key the device derives from the table; pure byte arithmetic modulo 256.
MapScrambleKey DeriveMapScrambleKey(const MapRandomTable& table);

// XORs bytes[i] with key[i mod 16]. Applying it twice with the same key restores the bytes.
void ScrambleMapBytes(std::span<std::uint8_t> bytes, const MapScrambleKey& key);

}  // namespace tarv
