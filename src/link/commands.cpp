#include "link/commands.h"

#include <algorithm>

namespace tarv {

std::int32_t QueryDeviceInfo(CHidLink& link, std::span<const char> versionText, ProgressPage& page,
                             InfoReply* reply) {
    InfoReply area;
    area.bytes.fill(0xFF);  // what the device does not send reads as 0xFF, so L is then 0xFF
    if (reply != nullptr) {
        *reply = area;
    }
    if (!link.Connected()) {
        return 0;
    }
    if (link.SendCommandReport(CMD_QUERY_INFO, RECORD_ARGUMENT_A, RECORD_ARGUMENT_B) == 0) {
        return 0;
    }
    const std::int32_t r = link.ReadReply(area.bytes);
    if (r < 0) {
        return 0;
    }
    if (reply != nullptr) {
        *reply = area;
    }
    if (!area.MatchesVersionText(versionText)) {
        return r;
    }
    // The lock is free while the user thinks about it.
    if (page.ShowMessage(MSG_LATEST_VERSION, MessageButtons::YesNo) == MessageAnswer::No) {
        return QUERY_DECLINED;
    }
    return r;
}

std::string FlashChipText(const InfoReply& reply) {
    const std::optional<std::uint16_t> id = reply.FlashId();
    const FlashChip* chip = id ? FindFlashChip(*id) : nullptr;
    return chip != nullptr ? "Flash:" + std::string(chip->name) : std::string();
}

std::int32_t EraseBlocks(CHidLink& link, std::uint32_t firstBlock, std::uint32_t blockCount) {
    if (!link.Connected()) {
        return 0;
    }
    if (link.SendCommandReport(CMD_ERASE, firstBlock, blockCount) == 0) {
        return 0;
    }
    if (link.SendCommandReport(CMD_READ_BACK, RECORD_ARGUMENT_A, RECORD_ARGUMENT_B) == 0) {
        return 0;
    }
    // The device answers the read-back only when the erase is done, hence the long deadline.
    const std::uint32_t deadline = EraseReadDeadlineMs(blockCount);
    std::array<std::uint8_t, HID_PAYLOAD_SIZE> scratch{};
    std::uint32_t received = 0;
    while (received < READ_BACK_SIZE) {
        const std::int32_t n = link.ReadReply(scratch, deadline);
        // A report without payload would never complete the read-back.
        if (n <= 0) {
            return 0;
        }
        received += static_cast<std::uint32_t>(n);
    }
    return static_cast<std::int32_t>(blockCount);
}

std::int32_t WritePages(CHidLink& link, std::span<const std::uint8_t> data, std::uint32_t firstPage,
                        std::uint32_t pageCount, PageWriteHooks* hooks) {
    std::uint64_t sent = 0;
    if (!link.Connected()) {
        return 0;
    }
    const std::uint64_t total = static_cast<std::uint64_t>(pageCount) * FLASH_PAGE_SIZE;
    if (data.size() < total) {
        return 0;
    }
    if (link.SendCommandReport(CMD_WRITE, firstPage, pageCount) == 0) {
        return 0;
    }
    while (sent < total) {
        if (hooks != nullptr && sent % 1024 == 0) {
            hooks->OnKilobyte();
        }
        if (hooks != nullptr && sent % 16384 == 0) {
            hooks->OnSixteenKilobytes();
        }
        std::int32_t payload = 0;
        const auto chunk = data.subspan(sent).first<HID_PAYLOAD_SIZE>();
        // A report that carried no data would never complete the write.
        if (link.SendDataReport(chunk, &payload) == 0 || payload <= 0) {
            return 0;
        }
        sent += static_cast<std::uint64_t>(payload);
    }
    return static_cast<std::int32_t>(sent);
}

std::int32_t WriteAddressRecord(CHidLink& link, std::int32_t programBlock, std::int32_t soundBlock,
                                std::int32_t mapBlock) {
    if (!link.Connected()) {
        return 0;
    }
    const auto low16 = [](std::int32_t v) { return static_cast<std::uint16_t>(v & 0xFFFF); };
    const AddressRecord::Bytes record =
        AddressRecord{low16(programBlock), low16(soundBlock), low16(mapBlock)}.Encode();
    if (link.SendCommandReport(CMD_ADDRESS_RECORD, RECORD_ARGUMENT_A, RECORD_ARGUMENT_B) == 0) {
        return 1;
    }
    std::size_t sent = 0;
    while (sent < record.size()) {
        std::int32_t payload = 0;
        const auto chunk = std::span(record).subspan(sent).first<HID_PAYLOAD_SIZE>();
        if (link.SendDataReport(chunk, &payload) == 0 || payload <= 0) {
            return 1;
        }
        sent += static_cast<std::size_t>(payload);
    }
    return 0;
}

std::int32_t ResetDevice(CHidLink& link) {
    if (!link.Connected()) {
        return 0;
    }
    const CommandPacket::Bytes packet =
        CommandPacket{CMD_RESET, CONFIRM_WORD_1, CONFIRM_WORD_2}.Encode();
    if (link.LockLink() == 0) {
        return 1;
    }
    FrameCommandReport(link.m_report, packet);
    // The device restarts on this report; whether the write reports success says nothing.
    (void)link.m_device.WriteReport(link.m_report, nullptr);
    link.UnlockLink();
    return 1;
}

std::int32_t FinishUpdate(CHidLink& link) {
    std::int32_t result = 0;
    if (link.Connected() &&
        link.SendCommandReport(CMD_FINISH, CONFIRM_WORD_1, CONFIRM_WORD_2) == 0) {
        result = 1;
    }
    link.CloseDevice();
    return result;
}

}  // namespace tarv
