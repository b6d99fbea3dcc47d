#include "package/package_header.h"

#include <algorithm>

#include "base/bytes.h"

namespace tarv {
namespace {

template <std::size_t Offset, std::size_t N, std::size_t Width>
void LoadChars(std::span<const std::uint8_t, N> bytes, std::array<char, Width>& out) {
    static_assert(Offset + Width <= N, "field lies outside its record");
    std::copy_n(bytes.begin() + Offset, Width, out.begin());
}

template <std::size_t Offset, std::size_t N, std::size_t Width>
void StoreChars(std::span<std::uint8_t, N> bytes, const std::array<char, Width>& in) {
    static_assert(Offset + Width <= N, "field lies outside its record");
    std::copy_n(in.begin(), Width, bytes.begin() + Offset);
}

}  // namespace

PackageSection PackageSection::Decode(std::span<const std::uint8_t, SIZE> bytes) {
    PackageSection s;
    s.Offset = LoadLe32<OFF_OFFSET>(bytes);
    s.Length = LoadLe32<OFF_LENGTH>(bytes);
    s.FlashAddress = LoadLe32<OFF_FLASH_ADDRESS>(bytes);
    LoadChars<OFF_VERSION>(bytes, s.Version);
    return s;
}

void PackageSection::EncodeTo(std::span<std::uint8_t, SIZE> bytes) const {
    StoreLe32<OFF_OFFSET>(bytes, Offset);
    StoreLe32<OFF_LENGTH>(bytes, Length);
    StoreLe32<OFF_FLASH_ADDRESS>(bytes, FlashAddress);
    StoreChars<OFF_VERSION>(bytes, Version);
}

PackageHeader PackageHeader::Decode(std::span<const std::uint8_t, SIZE> bytes) {
    PackageHeader h;
    LoadChars<OFF_TEXT_A>(bytes, h.TextA);
    h.MapScrambleLength = LoadLe32<OFF_MAP_SCRAMBLE_LENGTH>(bytes);
    LoadChars<OFF_TEXT_B>(bytes, h.TextB);
    h.Program = PackageSection::Decode(bytes.subspan<OFF_PROGRAM, PackageSection::SIZE>());
    h.Sound = PackageSection::Decode(bytes.subspan<OFF_SOUND, PackageSection::SIZE>());
    h.Map = PackageSection::Decode(bytes.subspan<OFF_MAP, PackageSection::SIZE>());
    h.ProgramCheck = bytes[OFF_PROGRAM_CHECK];
    h.SoundCheck = bytes[OFF_SOUND_CHECK];
    h.MapCheck = bytes[OFF_MAP_CHECK];
    return h;
}

void PackageHeader::EncodeTo(std::span<std::uint8_t, SIZE> bytes) const {
    StoreChars<OFF_TEXT_A>(bytes, TextA);
    StoreLe32<OFF_MAP_SCRAMBLE_LENGTH>(bytes, MapScrambleLength);
    StoreChars<OFF_TEXT_B>(bytes, TextB);
    Program.EncodeTo(bytes.subspan<OFF_PROGRAM, PackageSection::SIZE>());
    Sound.EncodeTo(bytes.subspan<OFF_SOUND, PackageSection::SIZE>());
    Map.EncodeTo(bytes.subspan<OFF_MAP, PackageSection::SIZE>());
    bytes[OFF_PROGRAM_CHECK] = ProgramCheck;
    bytes[OFF_SOUND_CHECK] = SoundCheck;
    bytes[OFF_MAP_CHECK] = MapCheck;
}

PackageVersionText BuildPackageVersionText(const PackageHeader& header) {
    PackageVersionText text{};
    std::copy(header.Program.Version.begin(), header.Program.Version.end(), text.begin());
    text[4] = 'S';
    std::copy(header.Sound.Version.begin(), header.Sound.Version.end(), text.begin() + 5);
    text[9] = 'C';
    std::copy(header.Map.Version.begin(), header.Map.Version.end(), text.begin() + 10);
    return text;
}

}  // namespace tarv
