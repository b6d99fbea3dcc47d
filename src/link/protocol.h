// The device's wire protocol: report sizes, command codes, and one codec per record.
//
// Every exchange is one HID report of 65 bytes: the report ID (always 0) and 64 payload bytes.
// A command report carries an 18-byte command packet in bytes 1..18 and 0xCC fill after it; a data
// report carries 64 bytes of a block being sent; a reply report carries the device's 64 bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tarv {

inline constexpr std::uint16_t TARV_VENDOR_ID = 0x0416;
inline constexpr std::uint16_t TARV_PRODUCT_ID = 0xB501;

inline constexpr std::size_t HID_REPORT_SIZE = 65;
inline constexpr std::size_t HID_PAYLOAD_SIZE = 64;
using HidReport = std::array<std::uint8_t, HID_REPORT_SIZE>;

// Device paths longer than this, terminator included, are not used.
inline constexpr std::size_t HID_PATH_CAPACITY = 260;

// Command codes.
inline constexpr std::uint8_t CMD_ERASE = 0xA1;           // A first block, B block count
inline constexpr std::uint8_t CMD_READ_BACK = 0xA2;       // A 0x80, B 1: the device sends 256 bytes
inline constexpr std::uint8_t CMD_WRITE = 0xA3;           // A first page, B page count; B x 4 data
inline constexpr std::uint8_t CMD_FINISH = 0xA4;          // confirm words
inline constexpr std::uint8_t CMD_RESET = 0xA5;           // confirm words
inline constexpr std::uint8_t CMD_ADDRESS_RECORD = 0xA6;  // A 0x80, B 1; 4 data reports
inline constexpr std::uint8_t CMD_QUERY_INFO = 0xA7;      // A 0x80, B 1; 1 reply report

inline constexpr std::uint32_t COMMAND_MARKER = 0x06715079;
inline constexpr std::uint32_t CONFIRM_WORD_1 = 0x12345678;
inline constexpr std::uint32_t CONFIRM_WORD_2 = 0xABCDEF01;
inline constexpr std::uint32_t RECORD_ARGUMENT_A = 0x80;  // A of the one-record commands
inline constexpr std::uint32_t RECORD_ARGUMENT_B = 1;
inline constexpr std::uint8_t REPORT_FILL = 0xCC;

// Flash units as the commands count them.
inline constexpr std::uint32_t FLASH_BLOCK_SIZE = 4096;
inline constexpr std::uint32_t FLASH_PAGE_SIZE = 256;
inline constexpr std::uint32_t READ_BACK_SIZE = 256;  // bytes the device sends after CMD_READ_BACK

// Sum of the bytes as unsigned values, XOR 0x416. The checksum of every command packet, and the
// page sum of the update's section checks. An empty range gives 0x416.
std::uint32_t CalcCheckSum(std::span<const std::uint8_t> bytes);

// The 18-byte command packet: code, covered length 0x0E, A, B, marker (the 14 covered bytes),
// then the checksum over them. All fields little-endian.
struct CommandPacket {
    static constexpr std::size_t SIZE = 18;
    static constexpr std::size_t COVERED = 14;
    static constexpr std::size_t OFF_CODE = 0;
    static constexpr std::size_t OFF_LENGTH = 1;
    static constexpr std::size_t OFF_A = 2;
    static constexpr std::size_t OFF_B = 6;
    static constexpr std::size_t OFF_MARKER = 10;
    static constexpr std::size_t OFF_CHECKSUM = 14;
    using Bytes = std::array<std::uint8_t, SIZE>;

    std::uint8_t code = 0;
    std::uint32_t a = 0;
    std::uint32_t b = 0;

    Bytes Encode() const;

    // Decodes a packet and checks its length byte, marker and checksum. On a fault returns
    // nothing and says what is wrong in `why`.
    static std::optional<CommandPacket> Decode(std::span<const std::uint8_t, SIZE> bytes,
                                               std::string* why = nullptr);

    bool operator==(const CommandPacket&) const = default;
};

// Report framing. A command report: all 0xCC, the packet at bytes 1..18, byte 0 the report ID 0.
void FrameCommandReport(HidReport& report, const CommandPacket::Bytes& packet);
// A data report: byte 0 the report ID 0, bytes 1..64 the data. `data` holds 64 bytes.
void FrameDataReport(HidReport& report, std::span<const std::uint8_t, HID_PAYLOAD_SIZE> data);

// Checks a received report as a command report: report ID 0, a valid packet, 0xCC fill in bytes
// 19..64. Returns the packet, or nothing with the fault in `why`.
std::optional<CommandPacket> ParseCommandReport(
    std::span<const std::uint8_t, HID_REPORT_SIZE> report, std::string* why = nullptr);

// The 256-byte address record: the program, sound and map block numbers (0xFFFF for an absent
// section) as 16-bit little-endian values, then 0xFF.
struct AddressRecord {
    static constexpr std::size_t SIZE = 256;
    static constexpr std::size_t OFF_PROGRAM = 0;
    static constexpr std::size_t OFF_SOUND = 2;
    static constexpr std::size_t OFF_MAP = 4;
    using Bytes = std::array<std::uint8_t, SIZE>;

    std::uint16_t programBlock = 0xFFFF;
    std::uint16_t soundBlock = 0xFFFF;
    std::uint16_t mapBlock = 0xFFFF;

    Bytes Encode() const;
    static AddressRecord Decode(std::span<const std::uint8_t, SIZE> bytes);

    bool operator==(const AddressRecord&) const = default;
};

// The device's answer to CMD_QUERY_INFO: 64 payload bytes. Byte 0 is the tag "P"; bytes 1..3,
// 5..8 and 10..13 are compared with the package's version text; byte 63 is L, and the four
// characters at L-5..L-2 are the flash identifier in hexadecimal.
struct InfoReply {
    static constexpr std::size_t SIZE = HID_PAYLOAD_SIZE;
    static constexpr std::size_t OFF_TAG = 0;
    static constexpr std::size_t OFF_LENGTH = 63;
    static constexpr std::uint8_t TAG = 'P';
    static constexpr std::size_t MIN_LENGTH = 14;  // L below this: the versions are not there
    static constexpr std::size_t MAX_LENGTH = 64;  // L above this: nothing is interpreted
    using Bytes = std::array<std::uint8_t, SIZE>;

    Bytes bytes{};

    std::uint8_t Length() const { return bytes[OFF_LENGTH]; }

    // True when the reply says the device carries the versions in `versionText` (20 bytes, as the
    // package builds it): tag "P", L from 14 to 64, and bytes 1..3, 5..8, 10..13 equal. Bytes 0,
    // 4 and 9 of the version text take part in no comparison.
    bool MatchesVersionText(std::span<const char> versionText) const;

    // The flash identifier, when L is at least 5 and at most 64. A character that is not a
    // hexadecimal digit counts as 0.
    std::optional<std::uint16_t> FlashId() const;

    // What a device with these versions and this flash chip answers (for the simulator and tests):
    // the 14 characters of `versionText` from byte 0 with the tag over byte 0, the identifier as
    // four upper-case hex digits at L-5, L in byte 63, zeros elsewhere.
    static InfoReply Make(std::span<const char> versionText, std::uint16_t flashId,
                          std::uint8_t length = 20);
};

// The flash chips the device is known to carry, by identifier.
struct FlashChip {
    std::string_view name;  // "F10" ...
    std::uint16_t id;
    std::string_view size;  // " 8MB" ...
};
const FlashChip* FindFlashChip(std::uint16_t id);

}  // namespace tarv
