// The host's side for the simulator's tests: reports framed with the protocol's own codecs and
// sent straight through a connection, without the link.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "link/protocol.h"
#include "link/transport.h"
#include "sim/simulator.h"

namespace tarv::sim::host {

inline HidReport CommandReport(std::uint8_t code, std::uint32_t a, std::uint32_t b) {
    HidReport report;
    FrameCommandReport(report, CommandPacket{code, a, b}.Encode());
    return report;
}

inline HidReport DataReport(std::span<const std::uint8_t, HID_PAYLOAD_SIZE> data) {
    HidReport report;
    FrameDataReport(report, data);
    return report;
}

struct Reply {
    int count = 0;  // what Read returned
    HidReport report{};
    std::span<const std::uint8_t> Payload() const {
        return std::span(report).subspan(1, HID_PAYLOAD_SIZE);
    }
};

// One open connection to a device and the commands a host sends over it.
class Host {
  public:
    explicit Host(std::unique_ptr<HidConnection> connection)
        : m_connection(std::move(connection)) {}

    bool IsOpen() const { return m_connection != nullptr; }
    HidConnection& Connection() { return *m_connection; }
    void Close() { m_connection.reset(); }

    int Send(const HidReport& report) { return m_connection->Write(report); }
    int Command(std::uint8_t code, std::uint32_t a, std::uint32_t b) {
        return Send(CommandReport(code, a, b));
    }
    // Sends `bytes` (a multiple of 64) as data reports; returns how many were taken.
    int Data(std::span<const std::uint8_t> bytes) {
        int taken = 0;
        for (std::size_t at = 0; at + HID_PAYLOAD_SIZE <= bytes.size(); at += HID_PAYLOAD_SIZE) {
            taken += Send(DataReport(bytes.subspan(at).first<HID_PAYLOAD_SIZE>())) ==
                             static_cast<int>(HID_REPORT_SIZE)
                         ? 1
                         : 0;
        }
        return taken;
    }
    Reply Read(std::uint32_t timeoutMs) {
        Reply reply;
        reply.report.fill(0xEE);  // what the device did not store stays recognisable
        reply.count = m_connection->Read(reply.report, timeoutMs);
        return reply;
    }
    // Reads the way the link does: 10 ms slices until a report comes or `deadlineMs` passes.
    Reply ReadSliced(Clock& clock, std::uint32_t deadlineMs) {
        const std::uint32_t start = clock.TickCount();
        for (;;) {
            Reply reply = Read(10);
            if (reply.count != 0 || clock.TickCount() - start >= deadlineMs) {
                return reply;
            }
        }
    }

  private:
    std::unique_ptr<HidConnection> m_connection;
};

// The first present interface with the device's IDs, or empty.
inline std::string FindDevicePath(HidTransport& transport) {
    for (const HidInterfaceEntry& entry :
         transport.Enumerate().value_or(std::vector<HidInterfaceEntry>{})) {
        if (entry.readable && entry.vendorId == TARV_VENDOR_ID &&
            entry.productId == TARV_PRODUCT_ID) {
            return entry.path;
        }
    }
    return {};
}

// Compares two flash images; on a difference names the first differing offset and its bytes
// rather than printing megabytes.
inline ::testing::AssertionResult SameBytes(std::span<const std::uint8_t> actual,
                                            std::span<const std::uint8_t> expected) {
    if (actual.size() != expected.size()) {
        return ::testing::AssertionFailure()
               << "size " << actual.size() << ", expected " << expected.size();
    }
    for (std::size_t i = 0; i < actual.size(); ++i) {
        if (actual[i] != expected[i]) {
            return ::testing::AssertionFailure()
                   << "first difference at offset 0x" << std::hex << i << ": 0x" << int{actual[i]}
                   << ", expected 0x" << int{expected[i]};
        }
    }
    return ::testing::AssertionSuccess();
}

// Bytes that differ from position to position and from `seed` to seed.
inline std::vector<std::uint8_t> Pattern(std::size_t size, std::uint32_t seed) {
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t state = seed;
    for (std::uint8_t& b : bytes) {
        state = state * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(state >> 23);
    }
    return bytes;
}

}  // namespace tarv::sim::host
