#include "update/validation.h"

#include <cstring>

#include "base/bytes.h"
#include "link/protocol.h"
#include "update/messages.h"

namespace tarv {
namespace {

constexpr std::uint32_t CHECK_BLOCK = 1024;

// XOR of `blocks` blocks of 1024 bytes from `bytes`, folded to one byte.
std::uint8_t XorBlocks(const std::uint8_t* bytes, std::uint64_t blocks) {
    std::uint64_t acc = 0;
    for (std::uint64_t i = 0; i < blocks * CHECK_BLOCK; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes + i, sizeof word);
        acc ^= word;
    }
    acc ^= acc >> 32;
    acc ^= acc >> 16;
    acc ^= acc >> 8;
    return static_cast<std::uint8_t>(acc);
}

// Sum of the page sums of the pages at `start` + 256 k while 256 k < `length`; the last page is
// taken whole.
std::uint32_t PageSumTotal(std::span<const std::uint8_t> buffer, std::uint32_t start,
                           std::uint32_t length) {
    std::uint32_t total = 0;
    for (std::uint64_t k = 0; 256 * k < length; ++k) {
        total += CalcCheckSum(buffer.subspan(start + 256 * k, 256));
    }
    return total;
}

// Lies a present section inside the payload?
bool Inside(const PackageSection& section, std::uint32_t payload) {
    return static_cast<std::uint64_t>(section.Offset) + section.Length <= payload;
}

}  // namespace

std::uint8_t BasePercentFor(bool soundPresent, bool mapPresent) {
    if (soundPresent && mapPresent) {
        return 10;
    }
    return soundPresent || mapPresent ? 20 : 30;
}

ValidationResult ValidatePackage(const CUpdatePackage& package, std::uint32_t timeLeftMs) {
    ValidationResult result;
    result.timeLeftMs = timeLeftMs;
    const auto fail = [&result](std::string_view message) -> ValidationResult& {
        result.message = message;
        return result;
    };

    const std::uint32_t payload = package.PayloadLength();
    if (payload > PKG_MAX_LENGTH) {
        return fail(MSG_FILE_BEYOND_FLASH);
    }
    if (payload <= PKG_HEADER_SIZE) {
        return fail(MSG_FILE_TOO_SMALL);
    }
    if ((payload - PKG_HEADER_SIZE) % 256 != 0) {
        return fail(MSG_FILE_NOT_ALIGNED);
    }
    result.progress.totalUnits = (payload - PKG_HEADER_SIZE) / 1024;
    // The header as the payload holds it, which is what the load copied out of it.
    const std::span<const std::uint8_t> image = package.Image();
    const PackageHeader header = PackageHeader::Decode(image.first<PackageHeader::SIZE>());
    const PackageSection& program = header.Program;
    const PackageSection& sound = header.Sound;
    const PackageSection& map = header.Map;

    // Lengths. The word check, the page sums and the sound write read a present program or sound
    // from the image, so each must lie inside the payload.
    if (program.Present()) {
        if (program.Length > PKG_MAX_LENGTH || !Inside(program, payload)) {
            return fail(MSG_PROGRAM_PARAMETER);
        }
        result.timeLeftMs = InitialTimeLeftMs(payload);
    }
    if (sound.Present()) {
        if (sound.Length > PKG_MAX_LENGTH || !Inside(sound, payload)) {
            return fail(MSG_SOUND_PARAMETER);
        }
        result.timeLeftMs += 2000;
    }
    if (map.Present()) {
        if (map.Length > PKG_MAX_LENGTH) {
            return fail(MSG_MAP_PARAMETER);
        }
        result.timeLeftMs += 3000;
    }

    // Flash addresses, present sections or not.
    if (!(program.FlashAddress < sound.FlashAddress && sound.FlashAddress < map.FlashAddress &&
          program.FlashAddress >= 0x40010000 && map.FlashAddress < FLASH_END)) {
        return fail(MSG_ADDRESS);
    }
    if (!program.Present()) {
        return fail(MSG_NO_PROGRAM);
    }

    // Lengths and check values for the records.
    result.lengths[0] = program.Length;
    std::uint32_t words = 0;
    for (std::uint32_t i = 0; i + 4 <= program.Length; i += 4) {
        words += LoadLe32At(image, program.Offset + i);
    }
    result.checks[0] = 0u - words;
    // The areas are written from the same bytes the page sums take, the last page whole.
    if (sound.Present()) {
        result.lengths[1] = sound.Length;
        result.checks[1] = PageSumTotal(image, sound.Offset, sound.Length);
        result.soundArea = PlanArea(sound.FlashAddress, sound.Length);
    }
    if (map.Present()) {
        result.lengths[2] = map.Length + MAP_TABLE_SIZE;
        result.checks[2] = PageSumTotal(package.MapWorkBuffer(), 0, map.Length + MAP_TABLE_SIZE);
        result.mapArea = PlanArea(map.FlashAddress, map.Length + MAP_TABLE_SIZE);
    }

    // Check bytes: one walk from the program's start over each present section's whole blocks,
    // never jumping to the other sections' offsets. A walk that would leave the payload fails.
    std::uint32_t position = program.Offset;
    const PackageSection* sections[] = {&program, &sound, &map};
    const std::uint8_t expected[] = {header.ProgramCheck, header.SoundCheck, header.MapCheck};
    for (std::size_t s = 0; s < 3; ++s) {
        if (!sections[s]->Present()) {
            continue;
        }
        const std::uint64_t blocks = (sections[s]->Length / CHECK_BLOCK) & 0xFFFF;
        if (position + blocks * CHECK_BLOCK > payload) {
            return fail(MSG_CHECK_DATA);
        }
        const std::uint8_t value = XorBlocks(image.data() + position, blocks);
        position += static_cast<std::uint32_t>(blocks * CHECK_BLOCK);
        result.checkBytes[s] = value;
        if (value != expected[s]) {
            return fail(MSG_CHECK_DATA);
        }
        if (s == 1) {
            result.timeLeftMs = TakeOff(result.timeLeftMs, 2000);
        } else if (s == 2) {
            result.timeLeftMs = TakeOff(result.timeLeftMs, 3000);
            result.progress.totalUnits = (payload - PKG_HEADER_SIZE + MAP_TABLE_SIZE) / 1024;
        }
    }

    // What the run will erase and write; each refusal here comes before anything is sent.
    // A sound fills one page at least. With no bytes the run would erase no block, which the
    // device reports as a failure, with the map area already rewritten. A sound under one page
    // used to end its run at the write with no page of it sent; no device is known to take one,
    // so it stays refused, with that message.
    if (sound.Present() && sound.Length < FLASH_PAGE_SIZE) {
        return fail(sound.Length == 0 ? MSG_SOUND_ERASE : MSG_SOUND_WRITE);
    }
    // Both areas lie in the flash, and the sound's blocks below the map's: the sound is erased
    // after the map is written, so a block they shared would lose the start of the map.
    for (const std::optional<AreaPlan>* area : {&result.mapArea, &result.soundArea}) {
        if (*area && !(*area)->InsideFlash()) {
            return fail(MSG_ADDRESS);
        }
    }
    if (result.mapArea && result.soundArea &&
        result.soundArea->EndBlock() > result.mapArea->firstBlock) {
        return fail(MSG_ADDRESS);
    }
    result.progress.basePercent = BasePercentFor(sound.Present(), map.Present());
    return result;
}

}  // namespace tarv
