#include "update/records.h"

#include "base/bytes.h"

namespace tarv {
namespace {

using Page = std::span<std::uint8_t, RECORD_SIZE>;
using ConstPage = std::span<const std::uint8_t, RECORD_SIZE>;

void StoreAt(Page page, std::size_t offset, std::uint32_t value) {
    const auto field = page.subspan(offset, 4);
    for (std::size_t i = 0; i < 4; ++i) {
        field[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

template <std::size_t N>
void StoreWords(Page page, std::size_t offset, const std::array<std::uint32_t, N>& words) {
    static_assert(N * 4 <= RECORD_SIZE);
    for (std::size_t i = 0; i < N; ++i) {
        StoreAt(page, offset + 4 * i, words[i]);
    }
}

template <std::size_t N>
void LoadWords(ConstPage page, std::size_t offset, std::array<std::uint32_t, N>& words) {
    for (std::size_t i = 0; i < N; ++i) {
        words[i] = LoadLe32At(page, offset + 4 * i);
    }
}

}  // namespace

std::uint32_t DrawRandomWord(SeededRandom& random) {
    const std::uint32_t high = random.Next();
    return high << 16 | random.Next();
}

CheckRecord CheckRecord::Make(std::uint32_t soundLength, std::uint32_t soundCheck,
                              std::uint32_t mapLength, std::uint32_t mapCheck,
                              SeededRandom& random) {
    CheckRecord record{soundLength, soundCheck, mapLength, mapCheck, {}};
    for (auto& word : record.words) {
        word = DrawRandomWord(random);
    }
    return record;
}

RecordBytes CheckRecord::Encode() const {
    RecordBytes bytes;
    bytes.fill(0xFF);
    const Page page(bytes);
    StoreAt(page, OFF_SOUND_LENGTH, soundLength ^ words[3]);
    StoreAt(page, OFF_SOUND_CHECK, soundCheck ^ words[2]);
    StoreAt(page, OFF_MAP_LENGTH, mapLength ^ words[2]);
    StoreAt(page, OFF_MAP_CHECK, mapCheck ^ words[3]);
    StoreWords(page, OFF_WORDS, words);
    return bytes;
}

CheckRecord CheckRecord::Decode(ConstPage bytes) {
    CheckRecord record;
    LoadWords(bytes, OFF_WORDS, record.words);
    record.soundLength = LoadLe32At(bytes, OFF_SOUND_LENGTH) ^ record.words[3];
    record.soundCheck = LoadLe32At(bytes, OFF_SOUND_CHECK) ^ record.words[2];
    record.mapLength = LoadLe32At(bytes, OFF_MAP_LENGTH) ^ record.words[2];
    record.mapCheck = LoadLe32At(bytes, OFF_MAP_CHECK) ^ record.words[3];
    return record;
}

DeviceHeaderRecord DeviceHeaderRecord::Make(std::uint32_t programLength, std::uint32_t programCheck,
                                            std::uint32_t soundFlashAddress,
                                            std::uint32_t mapFlashAddress, SeededRandom& random) {
    DeviceHeaderRecord record{programLength,   programCheck, soundFlashAddress,
                              mapFlashAddress, {},           {}};
    for (auto& word : record.masks) {
        word = DrawRandomWord(random);
    }
    for (auto& word : record.fill) {
        word = DrawRandomWord(random);
    }
    return record;
}

RecordBytes DeviceHeaderRecord::Encode() const {
    RecordBytes bytes;
    bytes.fill(0xFF);
    const Page page(bytes);
    const auto& s = masks;
    StoreAt(page, 0x00, MAGIC);
    StoreAt(page, 0x04, WORD_04);
    StoreAt(page, 0x08, WORD_08);
    StoreAt(page, 0x0C, PROGRAM_BASE);
    StoreAt(page, 0x10, PROGRAM_BASE);
    StoreAt(page, OFF_PROGRAM_LENGTH, programLength);
    StoreAt(page, 0x18, WORD_18);
    StoreAt(page, OFF_PROGRAM_CHECK, programCheck);
    StoreAt(page, OFF_SOUND_ADDRESS, soundFlashAddress ^ s[0] ^ s[1] ^ s[4]);
    StoreAt(page, OFF_MAP_ADDRESS, mapFlashAddress ^ s[0] ^ s[2] ^ s[3] ^ s[5]);
    StoreWords(page, OFF_MASKS, masks);
    StoreWords(page, OFF_FILL, fill);
    return bytes;
}

std::optional<DeviceHeaderRecord> DeviceHeaderRecord::Decode(ConstPage bytes) {
    if (LoadLe32At(bytes, 0x00) != MAGIC || LoadLe32At(bytes, 0x04) != WORD_04 ||
        LoadLe32At(bytes, 0x08) != WORD_08 || LoadLe32At(bytes, 0x0C) != PROGRAM_BASE ||
        LoadLe32At(bytes, 0x10) != PROGRAM_BASE || LoadLe32At(bytes, 0x18) != WORD_18) {
        return std::nullopt;
    }
    DeviceHeaderRecord record;
    LoadWords(bytes, OFF_MASKS, record.masks);
    LoadWords(bytes, OFF_FILL, record.fill);
    const auto& s = record.masks;
    record.programLength = LoadLe32At(bytes, OFF_PROGRAM_LENGTH);
    record.programCheck = LoadLe32At(bytes, OFF_PROGRAM_CHECK);
    record.soundFlashAddress = LoadLe32At(bytes, OFF_SOUND_ADDRESS) ^ s[0] ^ s[1] ^ s[4];
    record.mapFlashAddress = LoadLe32At(bytes, OFF_MAP_ADDRESS) ^ s[0] ^ s[2] ^ s[3] ^ s[5];
    return record;
}

}  // namespace tarv
