#include "support/expected_flash.h"

#include <algorithm>
#include <cstdio>

namespace tarv::testing {
namespace {

constexpr std::uint32_t BASE = 0x40000000;
constexpr std::uint32_t BLOCK = 4096;
constexpr std::uint32_t PAGE = 256;

std::uint32_t Load32(const Bytes& bytes, std::size_t at) {
    return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
           static_cast<std::uint32_t>(bytes[at + 2]) << 16 |
           static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

void Store32(Bytes& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// The NOR flash: erasing sets whole blocks to 0xFF, programming can only clear bits.
void Erase(Bytes& flash, std::uint32_t firstBlock, std::uint32_t blocks) {
    for (std::uint64_t i = std::uint64_t{firstBlock} * BLOCK;
         i < (std::uint64_t{firstBlock} + blocks) * BLOCK && i < flash.size(); ++i) {
        flash[i] = 0xFF;
    }
}

void Program(Bytes& flash, std::uint32_t firstPage, const Bytes& data) {
    for (std::size_t i = 0; i < data.size() && std::size_t{firstPage} * PAGE + i < flash.size();
         ++i) {
        flash[std::size_t{firstPage} * PAGE + i] &= data[i];
    }
}

// `count` bytes from `at`, zeros past the end, as the loaded image and map buffer hold them.
Bytes Slice(const Bytes& bytes, std::size_t at, std::size_t count) {
    Bytes out(count, 0);
    for (std::size_t i = 0; i < count && at + i < bytes.size(); ++i) {
        out[i] = bytes[at + i];
    }
    return out;
}

// An area of `bytes` bytes from `source` at `at`, written from the page of flash offset
// `offset`: whole pages, the last one filled from what follows in `source` (zeros past its end),
// after erasing every block those pages touch.
void WriteArea(Bytes& flash, std::uint32_t offset, const Bytes& source, std::size_t at,
               std::uint64_t bytes) {
    const std::uint64_t pages = (bytes + PAGE - 1) / PAGE;
    if (pages == 0) {
        return;
    }
    const std::uint32_t firstPage = offset / PAGE;
    const std::uint64_t lastByte = std::uint64_t{firstPage} * PAGE + pages * PAGE - 1;
    const std::uint32_t firstBlock = offset / BLOCK;
    Erase(flash, firstBlock, static_cast<std::uint32_t>(lastByte / BLOCK - firstBlock + 1));
    Program(flash, firstPage, Slice(source, at, static_cast<std::size_t>(pages * PAGE)));
}

std::uint32_t PageSums(const Bytes& bytes, std::size_t start, std::uint64_t length) {
    std::uint32_t total = 0;
    for (std::uint64_t k = 0; PAGE * k < length; ++k) {
        std::uint32_t sum = 0;
        for (const std::uint8_t b : Slice(bytes, start + PAGE * k, PAGE)) {
            sum += b;
        }
        total += sum ^ 0x416;
    }
    return total;
}

// The key the device derives from the map's table.
std::array<std::uint8_t, 16> MapKey(const Bytes& r) {
    const auto b = [](int v) { return static_cast<std::uint8_t>(v); };
    return {b(r[5] - r[15]),
            b(r[19] - r[23]),
            b(4 * r[106]),
            b(r[101]),
            b(r[108] + 4 * r[106]),
            b((r[113] + r[114]) >> 1),
            b(r[111] ^ r[97]),
            b(r[115]),
            b(r[99] + 33),
            b(r[104]),
            b(r[112] - r[19] + r[23]),
            b(r[6]),
            b(r[13] >> 1),
            b(r[21]),
            b(r[24] - r[5] + r[15]),
            b(r[96] + (r[111] ^ r[97]))};
}

// Random words are two 15-bit draws: bits 15 and 31 are never set.
std::uint32_t WordAt(const Bytes& flash, std::size_t at) {
    return Load32(flash, at) & 0x7FFF7FFF;
}

}  // namespace

FlashExpectation ExpectFlash(const PackageWriter& writer, const Bytes& before, const Bytes& after) {
    const Bytes payload = writer.Payload();
    const PackageHeader h = writer.Header();
    Bytes flash = before;
    flash.resize(FLASH_BYTES, 0xFF);

    std::uint32_t mapLength = 0xFFFFFFFF;
    std::uint32_t mapCheck = 0xFFFFFFFF;
    if (h.Map.Present()) {
        const std::uint32_t offset = h.Map.FlashAddress - BASE;
        const std::uint32_t L = h.Map.Length;
        // The map area: the run's table, then the map with its first bytes scrambled.
        Bytes work = Slice(after, offset / PAGE * PAGE, 256);
        const auto key = MapKey(work);
        Bytes map = Slice(payload, h.Map.Offset, L);
        for (std::uint32_t i = 0; i < std::min(h.MapScrambleLength, L); ++i) {
            map[i] ^= key[i % 16];
        }
        work.insert(work.end(), map.begin(), map.end());
        WriteArea(flash, offset, work, 0, std::uint64_t{L} + 256);
        mapLength = L + 256;
        mapCheck = PageSums(work, 0, mapLength);
    }
    std::uint32_t soundLength = 0xFFFFFFFF;
    std::uint32_t soundCheck = 0xFFFFFFFF;
    if (h.Sound.Present()) {
        const std::uint32_t offset = h.Sound.FlashAddress - BASE;
        const std::uint32_t L = h.Sound.Length;
        WriteArea(flash, offset, payload, h.Sound.Offset, L);
        soundLength = L;
        soundCheck = PageSums(payload, h.Sound.Offset, L);
    }

    // The check record at block 10, masked with the words the run stored beside the values.
    Bytes check(256, 0xFF);
    std::uint32_t r[12];
    for (int i = 0; i < 12; ++i) {
        r[i] = WordAt(after, 0xA010 + 4 * i);
        Store32(check, 0x10 + 4 * i, r[i]);
    }
    Store32(check, 0x00, soundLength ^ r[3]);
    Store32(check, 0x04, soundCheck ^ r[2]);
    Store32(check, 0x08, mapLength ^ r[2]);
    Store32(check, 0x0C, mapCheck ^ r[3]);
    Erase(flash, 10, 1);
    Program(flash, 160, check);

    // The device header record at block 8.
    std::uint32_t words = 0;
    for (std::uint32_t i = 0; i + 4 <= h.Program.Length; i += 4) {
        words += Load32(Slice(payload, h.Program.Offset + i, 4), 0);
    }
    Bytes header(256, 0xFF);
    const std::uint32_t fixed[] = {0x86017618,       56,         0x00130000, 0x40010000, 0x40010000,
                                   h.Program.Length, 0x00100003, 0u - words};
    for (int i = 0; i < 8; ++i) {
        Store32(header, 4 * i, fixed[i]);
    }
    std::uint32_t s[6];
    for (int i = 0; i < 6; ++i) {
        s[i] = WordAt(after, 0x8028 + 4 * i);
        Store32(header, 0x28 + 4 * i, s[i]);
    }
    Store32(header, 0x20, h.Sound.FlashAddress ^ s[0] ^ s[1] ^ s[4]);
    Store32(header, 0x24, h.Map.FlashAddress ^ s[0] ^ s[2] ^ s[3] ^ s[5]);
    for (int i = 0; i < 48; ++i) {
        Store32(header, 0x40 + 4 * i, WordAt(after, 0x8040 + 4 * i));
    }
    Erase(flash, 8, 1);
    Program(flash, 128, header);
    return FlashExpectation{std::move(flash)};
}

std::string FirstDifference(const Bytes& actual, const FlashExpectation& expected) {
    if (actual.size() != expected.image.size()) {
        return "flash of " + std::to_string(actual.size()) + " bytes, expected " +
               std::to_string(expected.image.size());
    }
    const auto mismatch = std::mismatch(actual.begin(), actual.end(), expected.image.begin());
    if (mismatch.first == actual.end()) {
        return "";
    }
    const std::size_t at = static_cast<std::size_t>(mismatch.first - actual.begin());
    std::size_t count = 0;
    for (std::size_t i = at; i < actual.size(); ++i) {
        count += actual[i] != expected.image[i];
    }
    char text[160];
    std::snprintf(text, sizeof text,
                  "flash differs first at offset 0x%06zx (address 0x%08zx): 0x%02x, expected "
                  "0x%02x; %zu bytes differ",
                  at, at + BASE, *mismatch.first, *mismatch.second, count);
    return text;
}

Bytes FlashPattern(std::uint32_t salt) {
    Bytes image = PatternBytes(FLASH_BYTES, 0xF1A5 + salt);
    for (auto& b : image) {
        b = b == 0xFF ? 0x7E : b;
    }
    return image;
}

}  // namespace tarv::testing
