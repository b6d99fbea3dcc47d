#include "link/hid_link.h"

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "scripted_transport.h"
#include "support/fake_clock.h"

namespace tarv {
namespace {

using testing::ConnectionScript;
using testing::FakeClock;
using testing::FakeMarker;
using testing::ScriptedTransport;

class Link : public ::testing::Test {
  protected:
    FakeClock m_clock{1000};
    ScriptedTransport m_transport{m_clock};
    FakeMarker m_marker;
    CHidLink m_link{m_transport, m_marker, m_clock};
};

// --- Discovery ---------------------------------------------------------------------------------

struct DiscoveryCase {
    const char* name;
    std::function<void(ScriptedTransport&, FakeMarker&)> setup;
    std::int32_t result;
    const char* openedPath;  // the interface the link holds afterwards; null: none
};

TEST_F(Link, DiscoveryOpensTheFirstUsableMatchingInterfaceOnly) {
    const std::string longest(259, 'p');  // with its terminator it just fits the path buffer
    const DiscoveryCase cases[] = {
        {"nothing present", [](auto&, auto&) {}, 0, nullptr},
        {"two devices: the first",
         [](auto& t, auto&) {
             t.AddDevice("/dev/hidraw3");
             t.AddDevice("/dev/hidraw1");
         },
         1, "/dev/hidraw3"},
        {"other devices are skipped",
         [](auto& t, auto&) {
             t.entries.push_back({true, "/dev/keyboard", 0x046D, 0xC31C});
             t.entries.push_back({true, "/dev/same-vendor", TARV_VENDOR_ID, 0xB502});
             t.AddDevice("/dev/tarv");
         },
         1, "/dev/tarv"},
        {"an unreadable position is skipped and the search goes on",
         [](auto& t, auto&) {
             t.entries.push_back({false, "", 0, 0});
             t.AddDevice("/dev/tarv");
         },
         1, "/dev/tarv"},
        {"a device that cannot be opened is skipped",
         [](auto& t, auto&) {
             t.AddDevice("/dev/locked");
             t.unopenable["/dev/locked"] = OpenError::PermissionDenied;
             t.AddDevice("/dev/tarv");
         },
         1, "/dev/tarv"},
        {"a path that just fits", [&](auto& t, auto&) { t.AddDevice(longest); }, 1,
         longest.c_str()},
        {"a path too long for the path buffer is skipped",
         [&](auto& t, auto&) {
             t.AddDevice(longest + "p");
             t.AddDevice("/dev/tarv");
         },
         1, "/dev/tarv"},
        {"no list at all",
         [](auto& t, auto&) {
             t.AddDevice("/dev/tarv");
             t.enumerationAvailable = false;
         },
         0, nullptr},
        {"a list that only fails still ends",
         [](auto& t, auto&) {
             for (int i = 0; i < 10000; ++i) {
                 t.entries.push_back({false, "", 0, 0});
             }
         },
         0, nullptr},
        {"in use by another process: left alone, and the next one is not tried",
         [](auto& t, auto& m) {
             t.AddDevice("/dev/tarv");
             t.AddDevice("/dev/tarv2");
             m.answer = InUseMarker::Result::AlreadyExists;
         },
         0, nullptr},
        {"no marker can be made: opened all the same",
         [](auto& t, auto& m) {
             t.AddDevice("/dev/tarv");
             m.answer = InUseMarker::Result::Failed;
         },
         1, "/dev/tarv"},
    };
    for (const DiscoveryCase& c : cases) {
        FakeClock clock;
        ScriptedTransport transport(clock);
        FakeMarker marker;
        c.setup(transport, marker);
        CHidLink link(transport, marker, clock);

        EXPECT_EQ(link.OpenDevice(), c.result) << c.name;
        EXPECT_EQ(link.m_device.m_nDevices.load(), c.result) << c.name;
        EXPECT_EQ(link.m_device.m_bConnected.load(), c.result) << c.name;
        EXPECT_EQ(link.m_device.Device() != nullptr, c.openedPath != nullptr) << c.name;
        if (c.openedPath != nullptr) {
            EXPECT_EQ(transport.opened.back(), c.openedPath) << c.name;
            EXPECT_EQ(link.m_device.HoldsMarker(), marker.answer == InUseMarker::Result::Created);
        } else if (!transport.scripts.empty()) {
            EXPECT_TRUE(transport.Last().closed) << c.name << ": the opened handle is closed again";
        }
    }
}

TEST_F(Link, ReopeningClosesWithAPulseAndOpensANewHandle) {
    m_transport.AddDevice("/dev/tarv");
    ASSERT_EQ(m_link.OpenDevice(), 1);
    auto first = m_link.m_device.Device();
    const std::uint32_t pulses = m_link.m_device.m_hAbortEvent.Pulses();

    ASSERT_EQ(m_link.OpenDevice(), 1);
    EXPECT_NE(m_link.m_device.Device(), first);
    EXPECT_TRUE(first->Closed());
    first.reset();
    EXPECT_TRUE(m_transport.scripts[0]->closed);
    EXPECT_EQ(m_link.m_device.m_hAbortEvent.Pulses(), pulses + 1);
    EXPECT_FALSE(m_link.m_device.m_hAbortEvent.IsSet()) << "the pulse is over";
    EXPECT_EQ(m_clock.TotalSlept(), LINK_ABORT_PULSE_MS);
    EXPECT_EQ(m_marker.liveHolds, 1) << "one marker hold, the new one";
}

TEST_F(Link, ClosingWithNothingOpenSendsNoPulse) {
    m_link.CloseDevice();
    EXPECT_EQ(m_link.m_device.m_hAbortEvent.Pulses(), 0u);
    EXPECT_EQ(m_clock.TotalSlept(), 0u);
    EXPECT_EQ(m_link.m_device.m_bConnected.load(), 0);

    m_transport.AddDevice("/dev/tarv");
    ASSERT_EQ(m_link.OpenDevice(), 1);
    m_link.CloseDevice();
    EXPECT_EQ(m_link.m_device.Device(), nullptr);
    EXPECT_FALSE(m_link.m_device.HoldsMarker());
    EXPECT_EQ(m_marker.liveHolds, 0);
    EXPECT_EQ(m_link.m_device.m_nDevices.load(), 0);
    EXPECT_TRUE(m_transport.Last().closed);
}

// --- Transfers ---------------------------------------------------------------------------------

TEST_F(Link, AWholeReplyCountsSixtyFiveBytesAndSixtyFourOfPayload) {
    m_transport.AddDevice("/dev/tarv");
    ASSERT_EQ(m_link.OpenDevice(), 1);
    std::vector<std::uint8_t> payload(64);
    for (std::size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<std::uint8_t>(i + 1);
    }
    m_transport.Last().QueuePayload(payload);

    std::uint32_t count = 0;
    EXPECT_EQ(m_link.m_device.ReadReport(m_link.m_report, &count), 1);
    EXPECT_EQ(count, 65u);

    m_transport.Last().QueuePayload(payload);
    std::array<std::uint8_t, 64> reply{};
    EXPECT_EQ(m_link.ReadReply(reply), 64);
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), reply.begin()));

    std::int32_t written = 0;
    EXPECT_EQ(m_link.SendCommandReport(CMD_QUERY_INFO, 0x80, 1, &written), 1);
    EXPECT_EQ(written, 64);
}

TEST_F(Link, FailedTransfersLeaveTheConnectionOpen) {
    m_transport.AddDevice("/dev/tarv");
    ASSERT_EQ(m_link.OpenDevice(), 1);
    m_transport.Last().writeResult = -1;
    std::uint32_t count = 99;
    EXPECT_EQ(m_link.m_device.WriteReport(m_link.m_report, &count), 0);
    EXPECT_EQ(count, 0u);
    std::array<std::uint8_t, 64> reply{};
    EXPECT_EQ(m_link.ReadReply(reply), -1) << "nothing queued";
    EXPECT_EQ(m_link.m_device.m_bConnected.load(), 1);
    EXPECT_NE(m_link.m_device.Device(), nullptr);
}

TEST_F(Link, AMuteDeviceFailsEachReadAtItsDeadline) {
    m_transport.AddDevice("/dev/tarv");
    ASSERT_EQ(m_link.OpenDevice(), 1);
    for (const std::uint32_t deadline : {LINK_READ_DEADLINE_MS, EraseReadDeadlineMs(2048)}) {
        const std::uint32_t start = m_clock.TickCount();
        std::uint32_t count = 7;
        EXPECT_EQ(m_link.m_device.ReadReport(m_link.m_report, &count, 200, deadline), 0);
        const std::uint32_t waited = m_clock.TickCount() - start;
        EXPECT_GE(waited, deadline);
        EXPECT_LT(waited, deadline + 2 * LINK_READ_SLICE_MS);
        EXPECT_EQ(count, 0u);
    }
}

TEST(EraseReadDeadline, GrowsWithTheBlockCountAndSaturates) {
    EXPECT_EQ(EraseReadDeadlineMs(0), LINK_READ_DEADLINE_MS);
    EXPECT_EQ(EraseReadDeadlineMs(10),
              LINK_READ_DEADLINE_MS + 10 * LINK_ERASE_DEADLINE_PER_BLOCK_MS);
    EXPECT_GE(EraseReadDeadlineMs(2048), 2048u * 500u) << "half a second a block at least";
    EXPECT_EQ(EraseReadDeadlineMs(0xFFFFFFFF), 0xFFFFFFFFu);
}

// --- The lock ----------------------------------------------------------------------------------

// Holds the link's lock on a thread of its own until released.
class LockHolder {
  public:
    explicit LockHolder(std::mutex& lock)
        : m_thread([this, &lock] {
              const std::lock_guard guard(lock);
              m_held.set_value();
              m_release.get_future().wait();
          }) {
        m_held.get_future().wait();
    }
    ~LockHolder() {
        m_release.set_value();
        m_thread.join();
    }

  private:
    std::promise<void> m_held;
    std::promise<void> m_release;
    std::thread m_thread;
};

TEST_F(Link, GivesUpAfterFiveTriesAndFiveSleepsWhenTheLockIsHeld) {
    m_transport.AddDevice("/dev/tarv");
    ASSERT_EQ(m_link.OpenDevice(), 1);
    const std::uint64_t sleptBefore = m_clock.TotalSlept();
    {
        LockHolder holder(m_link.m_lock);
        EXPECT_EQ(m_link.LockLink(), 0);
        EXPECT_EQ(m_clock.TotalSlept() - sleptBefore, 5u * 200u);
        EXPECT_EQ(m_link.SendCommandReport(CMD_QUERY_INFO, 0x80, 1), 0);
        std::array<std::uint8_t, 64> reply{};
        EXPECT_EQ(m_link.ReadReply(reply), -1);
    }
    EXPECT_TRUE(m_transport.Last().Written().empty()) << "nothing was sent without the lock";
    EXPECT_EQ(m_link.LockLink(), 1);
    m_link.UnlockLink();
}

// --- Aborting ----------------------------------------------------------------------------------

TEST_F(Link, AbortAndCompletionBothUpFailTheExchangeAndOnlyAbortIsReset) {
    m_transport.AddDevice("/dev/tarv");
    ASSERT_EQ(m_link.OpenDevice(), 1);
    m_transport.Last().QueuePayload(std::vector<std::uint8_t>(64, 0x5A));
    m_link.m_device.m_hAbortEvent.Set();

    std::uint32_t count = 9;
    EXPECT_EQ(m_link.m_device.ReadReport(m_link.m_report, &count), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(m_link.m_device.m_hAbortEvent.IsSet());
    EXPECT_TRUE(m_link.m_device.m_hReadEvent.IsSet());

    m_link.m_device.m_hAbortEvent.Set();
    EXPECT_EQ(m_link.m_device.WriteReport(m_link.m_report, &count), 0);
    EXPECT_FALSE(m_link.m_device.m_hAbortEvent.IsSet());
    EXPECT_TRUE(m_link.m_device.m_hWriteEvent.IsSet());
}

// A read held inside the transport while the other thread closes the link, then let go with or
// without a reply: either way the exchange fails, and it fails at once.
TEST_F(Link, AnExchangeWaitingWhileTheLinkClosesFails) {
    for (const bool replyArrives : {false, true}) {
        m_transport.AddDevice("/dev/tarv");
        ASSERT_EQ(m_link.OpenDevice(), 1);
        ConnectionScript& script = m_transport.Last();
        std::promise<void> entered;
        std::promise<void> closed;
        std::shared_future<void> closedFuture = closed.get_future().share();
        std::atomic<bool> first{true};
        script.onRead = [&] {
            if (first.exchange(false)) {
                entered.set_value();
                closedFuture.wait();
            }
        };
        if (replyArrives) {
            script.QueuePayload(std::vector<std::uint8_t>(64, 1));
        }
        std::future<int> result = std::async(std::launch::async, [&] {
            std::uint32_t count = 0;
            return m_link.m_device.ReadReport(m_link.m_report, &count);
        });
        entered.get_future().wait();
        m_link.CloseDevice();
        const std::uint32_t before = m_clock.TickCount();
        closed.set_value();
        EXPECT_EQ(result.get(), 0) << (replyArrives ? "reply arrived" : "no reply");
        EXPECT_LE(m_clock.TickCount() - before, LINK_READ_SLICE_MS) << "failed at once";
        EXPECT_TRUE(script.closed) << "the connection goes with the last exchange using it";
    }
}

}  // namespace
}  // namespace tarv
