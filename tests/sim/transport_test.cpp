// What discovery sees: the enumeration, opening each kind of interface, and the in-use marker.
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "host.h"
#include "sim/simulator.h"
#include "support/fake_clock.h"

namespace tarv::sim {
namespace {

using host::Host;

constexpr int WHOLE = static_cast<int>(HID_REPORT_SIZE);

auto Fields(const HidInterfaceEntry& e) {
    return std::make_tuple(e.readable, e.path, e.vendorId, e.productId);
}

std::vector<decltype(Fields(HidInterfaceEntry{}))> AllFields(
    const std::optional<std::vector<HidInterfaceEntry>>& entries) {
    std::vector<decltype(Fields(HidInterfaceEntry{}))> fields;
    for (const HidInterfaceEntry& e : entries.value()) {
        fields.push_back(Fields(e));
    }
    return fields;
}

class SimEnumeration : public ::testing::Test {
  protected:
    tarv::testing::FakeClock m_clock{1000};
    SimTransport m_transport{m_clock};
};

TEST_F(SimEnumeration, ListsThePresentInterfacesInTheOrderTheyWereAdded) {
    const std::string foreign = m_transport.AddForeignInterface();
    m_transport.AddUnreadableEntry();
    SimulatedDevice& first = m_transport.AddDevice({.name = "a"});
    const std::string locked = m_transport.AddUnopenableInterface();
    m_transport.AddDevice({.name = "b", .vendorId = TARV_VENDOR_ID, .productId = 0xB502});

    using Row = decltype(Fields(HidInterfaceEntry{}));
    const std::vector<Row> all = {
        {true, foreign, FOREIGN_VENDOR_ID, FOREIGN_PRODUCT_ID},
        {false, "", 0, 0},
        {true, "sim:a/0", TARV_VENDOR_ID, TARV_PRODUCT_ID},
        {true, locked, TARV_VENDOR_ID, TARV_PRODUCT_ID},
        {true, "sim:b/0", TARV_VENDOR_ID, 0xB502},
    };
    EXPECT_EQ(AllFields(m_transport.Enumerate()), all);
    EXPECT_EQ(AllFields(m_transport.Enumerate()), all);  // stable

    first.Unplug();
    std::vector<Row> without = all;
    without.erase(without.begin() + 2);
    EXPECT_EQ(AllFields(m_transport.Enumerate()), without);

    m_transport.SetEnumerationFails(true);
    EXPECT_FALSE(m_transport.Enumerate().has_value());
    m_transport.SetEnumerationFails(false);
    EXPECT_EQ(AllFields(m_transport.Enumerate()), without);
}

TEST_F(SimEnumeration, DevicesWithoutANameGetDistinctPaths) {
    const SimulatedDevice& one = m_transport.AddDevice();
    const SimulatedDevice& two = m_transport.AddDevice();
    EXPECT_EQ(one.Path(), "sim:device1/0");
    EXPECT_EQ(two.Path(), "sim:device2/0");
}

TEST_F(SimEnumeration, ALongNameGivesAPathLongerThanTheHostsBuffer) {
    const std::string name(300, 'n');
    m_transport.AddDevice({.name = name});
    const std::vector<HidInterfaceEntry> entries = m_transport.Enumerate().value();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].path, "sim:" + name + "/0");
    EXPECT_GT(entries[0].path.size(), HID_PATH_CAPACITY - 1);
    EXPECT_NE(m_transport.Open(entries[0].path), nullptr);
}

struct OpenCase {
    const char* name;
    std::string path;
    bool opens;
    OpenError error;  // when it does not
};

TEST_F(SimEnumeration, OpenGivesAConnectionOrSaysWhyNot) {
    SimulatedDevice& device = m_transport.AddDevice({.name = "dev"});
    const std::string foreign = m_transport.AddForeignInterface();
    m_transport.AddUnreadableEntry();
    const std::string denied = m_transport.AddUnopenableInterface(OpenError::PermissionDenied);
    const std::string broken = m_transport.AddUnopenableInterface(OpenError::Other);

    const OpenCase cases[] = {
        {"the device", "sim:dev/0", true, OpenError::None},
        {"a foreign interface", foreign, true, OpenError::None},
        {"permission denied", denied, false, OpenError::PermissionDenied},
        {"another error", broken, false, OpenError::Other},
        {"a path nobody has", "sim:dev/1", false, OpenError::Gone},
        {"the unreadable position's empty path", "", false, OpenError::Gone},
    };
    std::vector<std::string> requested;
    for (const OpenCase& c : cases) {
        SCOPED_TRACE(c.name);
        OpenError error = OpenError::Gone;
        const std::unique_ptr<HidConnection> connection = m_transport.Open(c.path, &error);
        EXPECT_EQ(connection != nullptr, c.opens);
        EXPECT_EQ(error, c.error);
        requested.push_back(c.path);
    }
    EXPECT_EQ(m_transport.OpenRequests(), requested);
    EXPECT_EQ(device.OpenCount(), 1u);
}

TEST_F(SimEnumeration, AForeignInterfaceTakesReportsAndNeverAnswers) {
    Host host(m_transport.Open(m_transport.AddForeignInterface()));
    EXPECT_EQ(host.Command(CMD_QUERY_INFO, RECORD_ARGUMENT_A, RECORD_ARGUMENT_B), WHOLE);
    const std::uint32_t before = m_clock.TickCount();
    EXPECT_EQ(host.Read(100).count, 0);
    EXPECT_EQ(m_clock.TickCount() - before, 100u);
}

TEST_F(SimEnumeration, OpensAndLiveConnectionsAreCountedPerDevice) {
    SimulatedDevice& a = m_transport.AddDevice();
    SimulatedDevice& b = m_transport.AddDevice();
    std::unique_ptr<HidConnection> first = m_transport.Open(a.Path());
    std::unique_ptr<HidConnection> second = m_transport.Open(a.Path());
    EXPECT_EQ(a.OpenCount(), 2u);
    EXPECT_EQ(a.LiveConnections(), 2u);
    EXPECT_EQ(b.OpenCount(), 0u);
    first.reset();
    EXPECT_EQ(a.LiveConnections(), 1u);
    EXPECT_EQ(a.OpenCount(), 2u);
}

TEST(SimConnection, OutlivesItsTransport) {
    tarv::testing::FakeClock clock;
    auto transport = std::make_unique<SimTransport>(clock);
    Host host(transport->Open(transport->AddDevice().Path()));
    transport.reset();
    EXPECT_EQ(host.Command(CMD_QUERY_INFO, RECORD_ARGUMENT_A, RECORD_ARGUMENT_B), WHOLE);
    EXPECT_EQ(host.Read(0).count, WHOLE);
}

// --- In-use marker -----------------------------------------------------------------------------

TEST(SimMarker, CreatesCountedHoldsUnlessHeldElsewhereOrFailing) {
    // Declared before the marker, so the live hold is released after the marker is gone.
    std::unique_ptr<InUseMarker::Hold> first;
    std::unique_ptr<InUseMarker::Hold> second;
    SimInUseMarker marker;
    EXPECT_EQ(marker.Create(first), InUseMarker::Result::Created);
    EXPECT_EQ(marker.Create(second), InUseMarker::Result::Created);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(marker.LiveHolds(), 2);
    second.reset();
    EXPECT_EQ(marker.LiveHolds(), 1);

    marker.SetHeldElsewhere(true);
    std::unique_ptr<InUseMarker::Hold> refused;
    EXPECT_EQ(marker.Create(refused), InUseMarker::Result::AlreadyExists);
    EXPECT_EQ(refused, nullptr);
    marker.SetHeldElsewhere(false);

    marker.SetCreateFails(true);
    EXPECT_EQ(marker.Create(refused), InUseMarker::Result::Failed);
    EXPECT_EQ(refused, nullptr);
    EXPECT_EQ(marker.LiveHolds(), 1);
}

}  // namespace
}  // namespace tarv::sim
