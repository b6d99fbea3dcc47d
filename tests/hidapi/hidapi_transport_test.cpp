#include "link/hidapi/hidapi_transport.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "fake_hidapi.h"
#include "link/protocol.h"

namespace tarv {
namespace {

using testing::FakeHidapi;
using testing::FakeInterface;
using testing::FakeRead;

const std::string DEVICE_PATH = "/dev/hidraw4";

// Bytes that differ from each other, from 0 and from the 0xEE the read buffers start with.
std::vector<std::uint8_t> Payload(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(0x11 + 3 * i);
    }
    return bytes;
}

HidReport ReportWithPayload() {
    HidReport report{};
    const std::vector<std::uint8_t> payload = Payload(HID_PAYLOAD_SIZE);
    std::copy(payload.begin(), payload.end(), report.begin() + 1);
    return report;
}

class HidapiFixture : public ::testing::Test {
  protected:
    void TearDown() override {
        EXPECT_EQ(m_fake.misuses, 0) << "a list or handle was used that hidapi did not hand out";
        EXPECT_TRUE(m_fake.liveLists.empty()) << "an enumeration was not freed";
    }

    std::unique_ptr<HidConnection> OpenDevice(const std::string& path = DEVICE_PATH) {
        OpenError error = OpenError::Other;
        std::unique_ptr<HidConnection> connection = m_transport.Open(path, &error);
        EXPECT_NE(connection, nullptr);
        EXPECT_EQ(error, OpenError::None);
        return connection;
    }

    FakeHidapi m_fake;
    HidapiTransport m_transport{FakeHidapi::Functions()};
};

// --- Write -------------------------------------------------------------------------------------

struct WriteCase {
    const char* name;
    std::optional<int> backendResult;  // nothing: the length it was given
    int expected;
};
void PrintTo(const WriteCase& c, std::ostream* os) {
    *os << c.name;
}

class HidapiWrite : public HidapiFixture, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(HidapiWrite, PassesTheWholeReportAndCountsTheReportId) {
    const std::unique_ptr<HidConnection> connection = OpenDevice();
    ASSERT_NE(connection, nullptr);
    m_fake.writeResult = GetParam().backendResult;
    const HidReport report = ReportWithPayload();

    EXPECT_EQ(connection->Write(report), GetParam().expected);

    ASSERT_EQ(m_fake.writes.size(), 1u);
    EXPECT_EQ(m_fake.writes[0].size(), HID_REPORT_SIZE);
    EXPECT_EQ(m_fake.writes[0], std::vector<std::uint8_t>(report.begin(), report.end()));
}

INSTANTIATE_TEST_SUITE_P(BackendResults, HidapiWrite,
                         ::testing::Values(WriteCase{"CountsTheReportId", std::nullopt, 65},
                                           WriteCase{"CountsOnlyTheReport", 64, 65},
                                           WriteCase{"Fails", -1, -1},
                                           WriteCase{"TakesNothing", 0, -1},
                                           WriteCase{"TakesPartOfIt", 33, -1}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Read --------------------------------------------------------------------------------------

struct ReadCase {
    const char* name;
    FakeRead answer;
    int errnoBefore;  // errno as an earlier call left it
    int expected;
    std::size_t stored;  // payload bytes that must arrive at report bytes 1 on
};
void PrintTo(const ReadCase& c, std::ostream* os) {
    *os << c.name;
}

class HidapiRead : public HidapiFixture, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(HidapiRead, StoresThePayloadAfterAReportIdOfZero) {
    const ReadCase& c = GetParam();
    const std::unique_ptr<HidConnection> connection = OpenDevice();
    ASSERT_NE(connection, nullptr);
    m_fake.reads.push_back(c.answer);
    HidReport report;
    report.fill(0xEE);

    errno = c.errnoBefore;
    EXPECT_EQ(connection->Read(report, 10), c.expected);

    EXPECT_EQ(m_fake.readLengths, std::vector<std::size_t>{HID_PAYLOAD_SIZE});
    HidReport expected;
    expected.fill(0xEE);
    if (c.stored > 0) {
        expected[0] = 0;
        std::copy_n(c.answer.payload.begin(), c.stored, expected.begin() + 1);
    }
    EXPECT_EQ(report, expected);
}

INSTANTIATE_TEST_SUITE_P(
    BackendResults, HidapiRead,
    ::testing::Values(ReadCase{"WholeReport", {64, Payload(64)}, 0, 65, 64},
                      ReadCase{"ShortReport", {10, Payload(10)}, 0, 11, 10},
                      ReadCase{"OneByte", {1, Payload(1)}, 0, 2, 1},
                      ReadCase{"Timeout", {0, {}}, 0, 0, 0},
                      ReadCase{"Error", {-1, {}, EIO}, 0, -1, 0},
                      ReadCase{"Interrupted", {-1, {}, EINTR}, 0, 0, 0},
                      // hidapi signals a hang-up with -1 and no errno of its own
                      ReadCase{"HangUpAfterAnInterruptedCall", {-1, {}}, EINTR, -1, 0}),
    [](const auto& info) { return std::string(info.param.name); });

struct TimeoutCase {
    const char* name;
    std::uint32_t timeoutMs;
    int passed;
};
void PrintTo(const TimeoutCase& c, std::ostream* os) {
    *os << c.name;
}

class HidapiReadTimeout : public HidapiFixture,
                          public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(HidapiReadTimeout, NeverBecomesAnEndlessWait) {
    const std::unique_ptr<HidConnection> connection = OpenDevice();
    ASSERT_NE(connection, nullptr);
    HidReport report{};

    EXPECT_EQ(connection->Read(report, GetParam().timeoutMs), 0);

    EXPECT_EQ(m_fake.readTimeouts, std::vector<int>{GetParam().passed});
}

INSTANTIATE_TEST_SUITE_P(Timeouts, HidapiReadTimeout,
                         ::testing::Values(TimeoutCase{"Zero", 0, 0}, TimeoutCase{"Slice", 10, 10},
                                           TimeoutCase{"LargestInt", INT_MAX, INT_MAX},
                                           TimeoutCase{"JustAboveInt", 0x80000000u, INT_MAX},
                                           TimeoutCase{"LargestUnsigned", 0xFFFFFFFFu, INT_MAX}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Enumerate ---------------------------------------------------------------------------------

using HidapiEnumerate = HidapiFixture;

TEST_F(HidapiEnumerate, ListsEveryInterfaceInHidapisOrderAndFreesTheList) {
    // hidraw lists a node once per top-level usage, so the same path may come twice.
    m_fake.interfaces = {{"/dev/hidraw3", 0x046D, 0xC52B},
                         {"/dev/hidraw0", TARV_VENDOR_ID, TARV_PRODUCT_ID},
                         {"/dev/hidraw0", TARV_VENDOR_ID, TARV_PRODUCT_ID},
                         {"/dev/hidraw1", TARV_VENDOR_ID, 0x1234}};

    const std::optional<std::vector<HidInterfaceEntry>> entries = m_transport.Enumerate();

    ASSERT_TRUE(entries.has_value());
    ASSERT_EQ(entries->size(), m_fake.interfaces.size());
    for (std::size_t i = 0; i < entries->size(); ++i) {
        SCOPED_TRACE("entry " + std::to_string(i));
        EXPECT_TRUE((*entries)[i].readable);
        EXPECT_EQ((*entries)[i].path, *m_fake.interfaces[i].path);
        EXPECT_EQ((*entries)[i].vendorId, m_fake.interfaces[i].vendorId);
        EXPECT_EQ((*entries)[i].productId, m_fake.interfaces[i].productId);
    }
    using Args = std::vector<std::pair<unsigned short, unsigned short>>;
    EXPECT_EQ(m_fake.enumerateArgs, (Args{{0, 0}}));
    EXPECT_EQ(m_fake.listsFreed, 1);
}

TEST_F(HidapiEnumerate, NoListFromHidapiIsAnEmptyList) {
    const std::optional<std::vector<HidInterfaceEntry>> entries = m_transport.Enumerate();

    ASSERT_TRUE(entries.has_value());
    EXPECT_TRUE(entries->empty());
    EXPECT_EQ(m_fake.enumerateArgs.size(), 1u);
}

TEST_F(HidapiEnumerate, AnInterfaceWithoutPathIsUnreadableAndTheRestFollow) {
    m_fake.interfaces = {{std::nullopt, 0x1111, 0x2222},
                         {"/dev/hidraw2", TARV_VENDOR_ID, TARV_PRODUCT_ID}};

    const std::optional<std::vector<HidInterfaceEntry>> entries = m_transport.Enumerate();

    ASSERT_TRUE(entries.has_value());
    ASSERT_EQ(entries->size(), 2u);
    EXPECT_FALSE((*entries)[0].readable);
    EXPECT_EQ((*entries)[0].vendorId, 0x1111);
    EXPECT_TRUE((*entries)[1].readable);
    EXPECT_EQ((*entries)[1].path, "/dev/hidraw2");
    EXPECT_EQ(m_fake.listsFreed, 1);
}

TEST_F(HidapiEnumerate, NothingWhenHidapiCannotStart) {
    m_fake.initResult = -1;
    m_fake.interfaces = {{"/dev/hidraw0", TARV_VENDOR_ID, TARV_PRODUCT_ID}};

    EXPECT_FALSE(m_transport.Enumerate().has_value());
    EXPECT_TRUE(m_fake.enumerateArgs.empty());
}

// --- Open --------------------------------------------------------------------------------------

using HidapiOpen = HidapiFixture;

TEST_F(HidapiOpen, OpensExactlyThePathItIsGiven) {
    const std::unique_ptr<HidConnection> connection = OpenDevice("/dev/hidraw7");

    EXPECT_NE(connection, nullptr);
    EXPECT_EQ(m_fake.openedPaths, std::vector<std::string>{"/dev/hidraw7"});
    EXPECT_GE(m_fake.initCalls, 1);
}

TEST_F(HidapiOpen, NothingIsOpenedWhenHidapiCannotStart) {
    m_fake.initResult = -1;
    OpenError error = OpenError::None;

    EXPECT_EQ(m_transport.Open(DEVICE_PATH, &error), nullptr);
    EXPECT_EQ(error, OpenError::Other);
    EXPECT_TRUE(m_fake.openedPaths.empty());
}

struct OpenFailureCase {
    const char* name;
    int openErrno;
    std::optional<int> accessErrno;  // nothing: access(2) finds the node usable
    OpenError expected;
};
void PrintTo(const OpenFailureCase& c, std::ostream* os) {
    *os << c.name;
}

class HidapiOpenFailure : public HidapiFixture,
                          public ::testing::WithParamInterface<OpenFailureCase> {};

TEST_P(HidapiOpenFailure, TellsWhy) {
    const OpenFailureCase& c = GetParam();
    m_fake.openErrno[DEVICE_PATH] = c.openErrno;
    if (c.accessErrno) {
        m_fake.accessErrno[DEVICE_PATH] = *c.accessErrno;
    }

    EXPECT_EQ(m_transport.Open(DEVICE_PATH), nullptr);  // without a place for the reason
    OpenError error = OpenError::None;
    EXPECT_EQ(m_transport.Open(DEVICE_PATH, &error), nullptr);

    EXPECT_EQ(error, c.expected);
    EXPECT_EQ(m_fake.closeCalls, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Errors, HidapiOpenFailure,
    ::testing::Values(
        OpenFailureCase{"Eacces", EACCES, std::nullopt, OpenError::PermissionDenied},
        OpenFailureCase{"Eperm", EPERM, std::nullopt, OpenError::PermissionDenied},
        OpenFailureCase{"Enoent", ENOENT, std::nullopt, OpenError::Gone},
        OpenFailureCase{"Enodev", ENODEV, std::nullopt, OpenError::Gone},
        OpenFailureCase{"Enxio", ENXIO, std::nullopt, OpenError::Gone},
        OpenFailureCase{"EioOnAUsableNode", EIO, std::nullopt, OpenError::Other},
        // errno lost on the way out of hidapi: the node tells
        OpenFailureCase{"LostErrnoNodeNotAccessible", 0, EACCES, OpenError::PermissionDenied},
        OpenFailureCase{"LostErrnoNodeMissing", 0, ENOENT, OpenError::Gone},
        OpenFailureCase{"LostErrnoNodeUsable", 0, std::nullopt, OpenError::Other},
        OpenFailureCase{"EbusyOnAReadOnlyFileSystem", EBUSY, EROFS, OpenError::Other}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Close -------------------------------------------------------------------------------------

using HidapiClose = HidapiFixture;

TEST_F(HidapiClose, DestroyingAConnectionClosesItsOwnDeviceOnce) {
    std::unique_ptr<HidConnection> first = OpenDevice("/dev/hidraw0");
    std::unique_ptr<HidConnection> second = OpenDevice("/dev/hidraw1");
    ASSERT_EQ(m_fake.devices.size(), 2u);

    first.reset();
    EXPECT_EQ(m_fake.devices[0].closes, 1);
    EXPECT_EQ(m_fake.devices[1].closes, 0);
    EXPECT_EQ(m_fake.closeCalls, 1);

    second.reset();
    EXPECT_EQ(m_fake.devices[1].closes, 1);
    EXPECT_EQ(m_fake.closeCalls, 2);
}

// The link may release a connection on its worker thread while the user-interface thread
// enumerates; hidapi's shared state must not see both at once.
TEST_F(HidapiClose, ClosingOnAnotherThreadIsSerialisedWithEnumeration) {
    constexpr int CONNECTIONS = 200;
    m_fake.interfaces = {{"/dev/hidraw0", TARV_VENDOR_ID, TARV_PRODUCT_ID}};
    std::vector<std::unique_ptr<HidConnection>> connections;
    for (int i = 0; i < CONNECTIONS; ++i) {
        connections.push_back(OpenDevice());
    }

    std::thread closer([&connections] {
        for (std::unique_ptr<HidConnection>& connection : connections) {
            connection.reset();
        }
    });
    for (int i = 0; i < CONNECTIONS; ++i) {
        EXPECT_TRUE(m_transport.Enumerate().has_value());
    }
    closer.join();

    EXPECT_EQ(m_fake.overlaps.load(), 0);
    EXPECT_EQ(m_fake.closeCalls, CONNECTIONS);
    EXPECT_EQ(m_fake.listsFreed, CONNECTIONS);
}

}  // namespace
}  // namespace tarv
