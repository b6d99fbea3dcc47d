#include "package/map_section.h"

#include "base/random.h"

namespace tarv {

MapRandomTable DrawMapRandomTable(std::uint32_t seed) {
    SeededRandom random(seed);
    MapRandomTable table{};
    for (auto& byte : table) {
        byte = static_cast<std::uint8_t>(random.Next());
    }
    return table;
}

MapScrambleKey DeriveMapScrambleKey(const MapRandomTable& table) {
    // All arithmetic wraps at 8 bits; the uint8_t casts make that explicit.
    const auto r = [&table](std::size_t k) -> unsigned { return table[k]; };
    const auto b = [](unsigned v) { return static_cast<std::uint8_t>(v); };
    const std::uint8_t mixed = b(r(111) ^ r(97));
    return MapScrambleKey{
        b(r(5) - r(15)),
        b(r(19) - r(23)),
        b(4 * r(106)),
        b(r(101)),
        b(r(108) + 4 * r(106)),
        b((r(113) + r(114)) >> 1),  // the 9-bit sum is halved before it is cut to 8 bits
        mixed,
        b(r(115)),
        b(r(99) + 33),
        b(r(104)),
        b(r(112) - r(19) + r(23)),
        b(r(6)),
        b(r(13) >> 1),
        b(r(21)),
        b(r(24) - r(5) + r(15)),
        b(r(96) + mixed),
    };
}

void ScrambleMapBytes(std::span<std::uint8_t> bytes, const MapScrambleKey& key) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] ^= key[i % MAP_KEY_SIZE];
    }
}

}  // namespace tarv
