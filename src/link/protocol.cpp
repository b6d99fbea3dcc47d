#include "link/protocol.h"

#include <algorithm>
#include <numeric>

#include "base/bytes.h"

namespace tarv {

std::uint32_t CalcCheckSum(std::span<const std::uint8_t> bytes) {
    const std::uint32_t sum = std::accumulate(bytes.begin(), bytes.end(), std::uint32_t{0});
    return sum ^ 0x416u;
}

CommandPacket::Bytes CommandPacket::Encode() const {
    Bytes packet{};
    const std::span<std::uint8_t, SIZE> p(packet);
    p[OFF_CODE] = code;
    p[OFF_LENGTH] = static_cast<std::uint8_t>(COVERED);
    StoreLe32<OFF_A>(p, a);
    StoreLe32<OFF_B>(p, b);
    StoreLe32<OFF_MARKER>(p, COMMAND_MARKER);
    StoreLe32<OFF_CHECKSUM>(p, CalcCheckSum(p.first<COVERED>()));
    return packet;
}

std::optional<CommandPacket> CommandPacket::Decode(std::span<const std::uint8_t, SIZE> bytes,
                                                   std::string* why) {
    const auto fail = [why](const char* text) -> std::optional<CommandPacket> {
        if (why != nullptr) {
            *why = text;
        }
        return std::nullopt;
    };
    if (bytes[OFF_LENGTH] != COVERED) {
        return fail("length byte is not 0x0E");
    }
    if (LoadLe32<OFF_MARKER>(bytes) != COMMAND_MARKER) {
        return fail("command marker missing");
    }
    if (LoadLe32<OFF_CHECKSUM>(bytes) != CalcCheckSum(bytes.first<COVERED>())) {
        return fail("checksum does not match");
    }
    return CommandPacket{bytes[OFF_CODE], LoadLe32<OFF_A>(bytes), LoadLe32<OFF_B>(bytes)};
}

void FrameCommandReport(HidReport& report, const CommandPacket::Bytes& packet) {
    report.fill(REPORT_FILL);
    std::copy(packet.begin(), packet.end(), report.begin() + 1);
    report[0] = 0;
}

void FrameDataReport(HidReport& report, std::span<const std::uint8_t, HID_PAYLOAD_SIZE> data) {
    report.fill(REPORT_FILL);
    report[0] = 0;
    std::copy(data.begin(), data.end(), report.begin() + 1);
}

std::optional<CommandPacket> ParseCommandReport(
    std::span<const std::uint8_t, HID_REPORT_SIZE> report, std::string* why) {
    if (report[0] != 0) {
        if (why != nullptr) {
            *why = "report ID is not 0";
        }
        return std::nullopt;
    }
    std::optional<CommandPacket> packet =
        CommandPacket::Decode(report.subspan<1, CommandPacket::SIZE>(), why);
    if (!packet) {
        return std::nullopt;
    }
    const auto fill = report.subspan<1 + CommandPacket::SIZE>();
    if (!std::all_of(fill.begin(), fill.end(), [](std::uint8_t b) { return b == REPORT_FILL; })) {
        if (why != nullptr) {
            *why = "fill after the packet is not all 0xCC";
        }
        return std::nullopt;
    }
    return packet;
}

AddressRecord::Bytes AddressRecord::Encode() const {
    Bytes record;
    record.fill(0xFF);
    const std::span<std::uint8_t, SIZE> r(record);
    StoreLe16<OFF_PROGRAM>(r, programBlock);
    StoreLe16<OFF_SOUND>(r, soundBlock);
    StoreLe16<OFF_MAP>(r, mapBlock);
    return record;
}

AddressRecord AddressRecord::Decode(std::span<const std::uint8_t, SIZE> bytes) {
    return AddressRecord{LoadLe16<OFF_PROGRAM>(bytes), LoadLe16<OFF_SOUND>(bytes),
                         LoadLe16<OFF_MAP>(bytes)};
}

bool InfoReply::MatchesVersionText(std::span<const char> versionText) const {
    const std::size_t length = Length();
    if (length > MAX_LENGTH || bytes[OFF_TAG] != TAG || length < MIN_LENGTH ||
        versionText.size() < MIN_LENGTH) {
        return false;
    }
    for (const std::size_t i : {1, 2, 3, 5, 6, 7, 8, 10, 11, 12, 13}) {
        if (bytes[i] != static_cast<std::uint8_t>(versionText[i])) {
            return false;
        }
    }
    return true;
}

std::optional<std::uint16_t> InfoReply::FlashId() const {
    const std::size_t length = Length();
    if (length < 5 || length > MAX_LENGTH) {
        return std::nullopt;
    }
    std::uint16_t id = 0;
    for (std::size_t i = length - 5; i < length - 1; ++i) {
        const char c = static_cast<char>(bytes[i]);
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        }
        id = static_cast<std::uint16_t>(id << 4 | digit);
    }
    return id;
}

InfoReply InfoReply::Make(std::span<const char> versionText, std::uint16_t flashId,
                          std::uint8_t length) {
    InfoReply reply;
    const std::size_t n = std::min(versionText.size(), MIN_LENGTH);
    std::copy_n(versionText.begin(), n, reply.bytes.begin());
    reply.bytes[OFF_TAG] = TAG;
    if (length >= 5 && length <= MAX_LENGTH) {
        static constexpr char DIGITS[] = "0123456789ABCDEF";
        for (std::size_t k = 0; k < 4; ++k) {
            reply.bytes[length - 5 + k] =
                static_cast<std::uint8_t>(DIGITS[(flashId >> (12 - 4 * k)) & 0xF]);
        }
    }
    reply.bytes[OFF_LENGTH] = length;
    return reply;
}

const FlashChip* FindFlashChip(std::uint16_t id) {
    static constexpr FlashChip CHIPS[] = {
        {"F10", 0xC216, " 8MB"}, {"F11", 0xC215, " 4MB"}, {"F12", 0xC214, " 2MB"},
        {"F13", 0xC213, " 1MB"}, {"F20", 0xEF16, " 8MB"}, {"F21", 0xEF15, " 4MB"},
        {"F22", 0xEF14, " 2MB"}, {"F23", 0xEF13, " 1MB"},
    };
    for (const FlashChip& chip : CHIPS) {
        if (chip.id == id) {
            return &chip;
        }
    }
    return nullptr;
}

}  // namespace tarv
