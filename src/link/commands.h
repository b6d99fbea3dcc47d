// The device commands, each one command report followed by data reports or reply reads.
//
// Result conventions differ between commands, as the device protocol has them; each function
// says which value is success. Every command first checks that a device is open and sends
// nothing otherwise. None shows a message, retries, or undoes what it already wrote.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "base/page.h"
#include "link/hid_link.h"
#include "link/protocol.h"

namespace tarv {

inline constexpr std::string_view MSG_LATEST_VERSION =
    "It's the latest version, Do you continue to updata ?";

// QueryDeviceInfo's result when the user declined to update a device that already carries the
// package's versions. The run then ends without touching the device again.
inline constexpr std::int32_t QUERY_DECLINED = -1;

// Asks the device which versions it carries. Returns 0 when the query failed (no device, lock
// not had, report not sent, no reply), otherwise the payload count of the reply (64 for a whole
// report). When the reply shows the versions of `versionText` (the package's 20-byte version
// text), asks on `page` whether to update anyway: No gives QUERY_DECLINED. `reply`, when not
// null, receives the reply area (0xFF where the device sent nothing).
std::int32_t QueryDeviceInfo(CHidLink& link, std::span<const char> versionText, ProgressPage& page,
                             InfoReply* reply = nullptr);

// "Flash:" and the name of the chip the reply identifies, or empty when it names none.
std::string FlashChipText(const InfoReply& reply);

// Erases `blockCount` blocks of 4096 bytes from `firstBlock`: the erase command, then the
// read-back, whose 256 bytes the device sends once every block is erased. Returns `blockCount`
// on success (so a count of 0 returns 0, which callers take for failure), 0 on failure.
std::int32_t EraseBlocks(CHidLink& link, std::uint32_t firstBlock, std::uint32_t blockCount);

// Called by WritePages before the data report at each 1024-byte and each 16384-byte offset of
// one call (offset 0 included), outside the link's lock. The update run fills these in to move
// its progress bar and its time estimate.
class PageWriteHooks {
  public:
    virtual ~PageWriteHooks() = default;
    virtual void OnKilobyte() = 0;          // every 1024 bytes; runs first at a shared offset
    virtual void OnSixteenKilobytes() = 0;  // every 16384 bytes
};

// Writes `pageCount` pages of 256 bytes from `data` to the device from page `firstPage`, 64 bytes
// per data report. Returns the bytes sent (pageCount x 256) on success, 0 on failure (also when
// `data` holds fewer bytes than that: then nothing is sent). A count of 0 sends the command
// alone and returns 0. Pages sent before a failure stay written.
std::int32_t WritePages(CHidLink& link, std::span<const std::uint8_t> data, std::uint32_t firstPage,
                        std::uint32_t pageCount, PageWriteHooks* hooks = nullptr);

// Sends the address record with the low 16 bits of the three block numbers. Returns 0 on
// success or when no device is open, 1 on failure.
std::int32_t WriteAddressRecord(CHidLink& link, std::int32_t programBlock, std::int32_t soundBlock,
                                std::int32_t mapBlock);

// Tells the device to restart into its update mode. Returns 0 only when no device is open;
// otherwise 1, also when the lock was not had or the report was not written. The device then
// leaves the bus and comes back as a new device.
std::int32_t ResetDevice(CHidLink& link);

// Tells the device the update is over, then closes the link whatever happened. Returns 0 on
// success or when no device was open, 1 when the report was not sent.
std::int32_t FinishUpdate(CHidLink& link);

}  // namespace tarv
