#include "link/commands.h"

#include <algorithm>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "scripted_transport.h"
#include "support/fake_clock.h"

namespace tarv {
namespace {

using testing::FakeClock;
using testing::FakeMarker;
using testing::ScriptedTransport;

class RecordingPage final : public ProgressPage {
  public:
    MessageAnswer answer = MessageAnswer::Yes;
    std::vector<std::string> questions;

    void SetStatusText(std::string_view) override {}
    void PostProgress() override {}
    MessageAnswer ShowMessage(std::string_view text, MessageButtons buttons) override {
        EXPECT_EQ(buttons, MessageButtons::YesNo);
        questions.emplace_back(text);
        return answer;
    }
    void ArmRunEndTimer() override {}
    void PlaySuccessSound() override {}
};

class CountingHooks final : public PageWriteHooks {
  public:
    int kilobytes = 0;
    int sixteens = 0;
    std::vector<std::size_t> reportsBefore;  // reports written when each hook 1 ran
    testing::ConnectionScript* script = nullptr;

    void OnKilobyte() override {
        ++kilobytes;
        reportsBefore.push_back(script->Written().size());
    }
    void OnSixteenKilobytes() override { ++sixteens; }
};

class Commands : public ::testing::Test {
  protected:
    void SetUp() override {
        m_transport.AddDevice("/dev/tarv");
        ASSERT_EQ(m_link.OpenDevice(), 1);
    }
    testing::ConnectionScript& Device() { return m_transport.Last(); }
    std::vector<CommandPacket> CommandsSent() {
        std::vector<CommandPacket> commands;
        for (const HidReport& r : Device().Written()) {
            if (auto p = ParseCommandReport(r)) {
                commands.push_back(*p);
            }
        }
        return commands;
    }
    void QueueReplies(int n) {
        for (int i = 0; i < n; ++i) {
            Device().QueuePayload(std::vector<std::uint8_t>(64, 0xFF));
        }
    }

    FakeClock m_clock{1000};
    ScriptedTransport m_transport{m_clock};
    FakeMarker m_marker;
    CHidLink m_link{m_transport, m_marker, m_clock};
    RecordingPage m_page;
};

// --- Erase and write ---------------------------------------------------------------------------

TEST_F(Commands, EraseSendsEraseAndReadBackThenReadsFourReports) {
    QueueReplies(5);
    EXPECT_EQ(EraseBlocks(m_link, 0x400, 30), 30);
    EXPECT_EQ(CommandsSent(),
              (std::vector<CommandPacket>{{CMD_ERASE, 0x400, 30}, {CMD_READ_BACK, 0x80, 1}}));
    EXPECT_EQ(Device().replies.size(), 1u) << "four reports read, the fifth left";
}

TEST_F(Commands, EraseOfZeroBlocksRunsTheExchangeAndReturnsZero) {
    QueueReplies(4);
    EXPECT_EQ(EraseBlocks(m_link, 8, 0), 0);
    EXPECT_EQ(CommandsSent().size(), 2u);
    EXPECT_TRUE(Device().replies.empty());
}

TEST_F(Commands, EraseFailsWhenTheReadBackDoesNotComeOrCarriesNothing) {
    QueueReplies(3);
    EXPECT_EQ(EraseBlocks(m_link, 8, 1), 0) << "only three of four reports";

    Device().QueueReply({0x00});  // a report ID and no payload, forever
    Device().QueueReply({0x00});
    EXPECT_EQ(EraseBlocks(m_link, 8, 1), 0);
}

TEST_F(Commands, ShortReadBackReportsAreCountedUntil256Bytes) {
    for (int i = 0; i < 8; ++i) {
        Device().QueueReply(std::vector<std::uint8_t>(33, 0));  // 32 payload bytes each
    }
    EXPECT_EQ(EraseBlocks(m_link, 8, 2), 2);
    EXPECT_TRUE(Device().replies.empty());
}

TEST_F(Commands, WritePagesSendsFourReportsAPageAndRunsTheHooksOnTheirBoundaries) {
    const struct {
        std::uint32_t pages;
        std::int32_t result;
        int kilobytes, sixteens;
    } cases[] = {
        {0, 0, 0, 0},    {1, 256, 1, 1},     {3, 768, 1, 1},     {4, 1024, 1, 1},
        {5, 1280, 2, 1}, {64, 16384, 16, 1}, {65, 16640, 17, 2},
    };
    for (const auto& c : cases) {
        const std::size_t before = Device().Written().size();
        std::vector<std::uint8_t> data(c.pages * 256);
        for (std::size_t i = 0; i < data.size(); ++i) {
            data[i] = static_cast<std::uint8_t>(i * 13 + c.pages);
        }
        CountingHooks hooks;
        hooks.script = &Device();
        EXPECT_EQ(WritePages(m_link, data, 0x1234, c.pages, &hooks), c.result) << c.pages;
        EXPECT_EQ(hooks.kilobytes, c.kilobytes) << c.pages;
        EXPECT_EQ(hooks.sixteens, c.sixteens) << c.pages;

        const std::vector<HidReport> written = Device().Written();
        ASSERT_EQ(written.size() - before, 1 + c.pages * 4) << c.pages;
        EXPECT_EQ(ParseCommandReport(written[before]), (CommandPacket{CMD_WRITE, 0x1234, c.pages}));
        for (std::size_t r = 0; r < c.pages * 4; ++r) {
            const HidReport& report = written[before + 1 + r];
            EXPECT_EQ(report[0], 0);
            ASSERT_TRUE(std::equal(report.begin() + 1, report.end(), data.begin() + r * 64))
                << "data report " << r << " of " << c.pages << " pages";
        }
        // Hook 1 runs before the report at each 1 KiB offset: after the command and 16 k reports.
        for (std::size_t k = 0; k < hooks.reportsBefore.size(); ++k) {
            EXPECT_EQ(hooks.reportsBefore[k], before + 1 + 16 * k);
        }
    }
}

TEST_F(Commands, WritePagesStopsAtTheFirstRefusedReportAndNeverReadsPastItsData) {
    std::vector<std::uint8_t> data(512, 0x42);
    EXPECT_EQ(WritePages(m_link, std::span(data).first(511), 0, 2), 0);
    EXPECT_TRUE(Device().Written().empty()) << "too little data: nothing sent";

    Device().writeResult = -1;
    EXPECT_EQ(WritePages(m_link, data, 0, 2), 0);
    EXPECT_EQ(Device().Written().size(), 1u) << "the command only";

    Device().writeResult = 1;  // the report ID alone went out
    EXPECT_EQ(WritePages(m_link, data, 0, 2), 0);
}

// --- Records and control -----------------------------------------------------------------------

TEST_F(Commands, AddressRecordCarriesTheLow16BitsOfEachBlockNumber) {
    EXPECT_EQ(WriteAddressRecord(m_link, 0x10, 0xFFFF, 0x402), 0);
    EXPECT_EQ(WriteAddressRecord(m_link, 0x10010, -1, 0x10402), 0);

    const std::vector<HidReport> written = Device().Written();
    ASSERT_EQ(written.size(), 10u);
    for (const std::size_t first : {0u, 5u}) {
        EXPECT_EQ(ParseCommandReport(written[first]), (CommandPacket{CMD_ADDRESS_RECORD, 0x80, 1}));
        std::vector<std::uint8_t> record;
        for (std::size_t r = 1; r <= 4; ++r) {
            record.insert(record.end(), written[first + r].begin() + 1, written[first + r].end());
        }
        const std::vector<std::uint8_t> head = {0x10, 0x00, 0xFF, 0xFF, 0x02, 0x04};
        EXPECT_TRUE(std::equal(head.begin(), head.end(), record.begin())) << first;
        EXPECT_EQ(record.size(), 256u);
        EXPECT_TRUE(
            std::all_of(record.begin() + 6, record.end(), [](auto b) { return b == 0xFF; }));
    }
    Device().writeResult = -1;
    EXPECT_EQ(WriteAddressRecord(m_link, 1, 2, 3), 1);
}

TEST_F(Commands, ResetReturnsOneOnceADeviceIsOpenWhateverHappens) {
    EXPECT_EQ(ResetDevice(m_link), 1);
    EXPECT_EQ(CommandsSent(),
              (std::vector<CommandPacket>{{CMD_RESET, CONFIRM_WORD_1, CONFIRM_WORD_2}}));
    Device().writeResult = -1;
    EXPECT_EQ(ResetDevice(m_link), 1);
}

TEST_F(Commands, FinishClosesTheLinkInEveryCase) {
    Device().writeResult = -1;
    EXPECT_EQ(FinishUpdate(m_link), 1);
    EXPECT_FALSE(m_link.Connected());
    EXPECT_EQ(FinishUpdate(m_link), 0) << "nothing open: nothing to fail";

    ASSERT_EQ(m_link.OpenDevice(), 1);
    EXPECT_EQ(FinishUpdate(m_link), 0);
    EXPECT_EQ(CommandsSent(),
              (std::vector<CommandPacket>{{CMD_FINISH, CONFIRM_WORD_1, CONFIRM_WORD_2}}));
    EXPECT_FALSE(m_link.Connected());
    EXPECT_TRUE(Device().closed);
}

TEST_F(Commands, WithoutADeviceNothingIsSentAndEachCommandGivesItsOwnResult) {
    m_link.CloseDevice();
    EXPECT_EQ(EraseBlocks(m_link, 0, 1), 0);
    EXPECT_EQ(WritePages(m_link, std::vector<std::uint8_t>(256), 0, 1), 0);
    EXPECT_EQ(WriteAddressRecord(m_link, 1, 2, 3), 0);
    EXPECT_EQ(ResetDevice(m_link), 0);
    EXPECT_EQ(FinishUpdate(m_link), 0);
    EXPECT_EQ(QueryDeviceInfo(m_link, std::array<char, 20>{}, m_page), 0);
    EXPECT_TRUE(Device().Written().empty());
}

TEST_F(Commands, WithTheLockHeldElsewhereResetStillReturnsOneButSendsNothing) {
    std::promise<void> held, release;
    std::thread holder([&] {
        const std::lock_guard guard(m_link.m_lock);
        held.set_value();
        release.get_future().wait();
    });
    held.get_future().wait();
    const std::uint64_t slept = m_clock.TotalSlept();
    EXPECT_EQ(ResetDevice(m_link), 1);
    EXPECT_EQ(m_clock.TotalSlept() - slept, 1000u);
    EXPECT_EQ(FinishUpdate(m_link), 1) << "finish reports the lost report";
    release.set_value();
    holder.join();
    EXPECT_TRUE(Device().Written().empty());
}

// --- The information query ---------------------------------------------------------------------

std::array<char, 20> VersionText(const char* fourteen) {
    std::array<char, 20> t{};
    std::memcpy(t.data(), fourteen, 14);
    return t;
}

std::vector<std::uint8_t> Reply(const char* text, int length) {
    std::vector<std::uint8_t> payload(64, 0);
    std::memcpy(payload.data(), text, std::strlen(text));
    payload[63] = static_cast<std::uint8_t>(length);
    return payload;
}

TEST_F(Commands, QueryAsksOnlyWhenTheDeviceCarriesThePackagesVersions) {
    const auto package = VersionText("P210SS118CM305");
    const struct {
        const char* name;
        std::vector<std::uint8_t> payload;
        bool asks;
    } cases[] = {
        {"other versions", Reply("P210SS119CM305", 20), false},
        {"L above 64", Reply("P210SS118CM305", 65), false},
        {"tag P but L of 13", Reply("P210SS118CM305", 13), false},
        {"not tagged P", Reply("X210SS118CM305", 20), false},
        {"the same versions", Reply("P210SS118CM305", 20), true},
        {"differing only at 4 and 9", Reply("P210-S118-M305", 20), true},
    };
    for (const auto& c : cases) {
        m_page.questions.clear();
        Device().QueuePayload(c.payload);
        EXPECT_EQ(QueryDeviceInfo(m_link, package, m_page), 64) << c.name;
        EXPECT_EQ(m_page.questions.size(), c.asks ? 1u : 0u) << c.name;
    }
    EXPECT_EQ(m_page.questions.back(), "It's the latest version, Do you continue to updata ?");
    EXPECT_EQ(CommandsSent().back(), (CommandPacket{CMD_QUERY_INFO, 0x80, 1}));
}

TEST_F(Commands, TheProgramVersionsFirstCharacterIsNotCompared) {
    // The package's byte 0 is not compared: a program version not starting with P still matches.
    Device().QueuePayload(Reply("P210SS118CM305", 20));
    EXPECT_EQ(QueryDeviceInfo(m_link, VersionText("Q210SS118CM305"), m_page), 64);
    EXPECT_EQ(m_page.questions.size(), 1u);
}

TEST_F(Commands, AnsweringNoDeclinesAndYesGoesOn) {
    const auto package = VersionText("P210SS118CM305");
    Device().QueuePayload(Reply("P210SS118CM305", 20));
    m_page.answer = MessageAnswer::Yes;
    EXPECT_EQ(QueryDeviceInfo(m_link, package, m_page), 64);

    Device().QueuePayload(Reply("P210SS118CM305", 20));
    m_page.answer = MessageAnswer::No;
    EXPECT_EQ(QueryDeviceInfo(m_link, package, m_page), QUERY_DECLINED);
    EXPECT_TRUE(m_link.Connected()) << "the query leaves the connection to the run";
}

TEST_F(Commands, AShortReplyKeeps0xFFInItsMissingBytes) {
    std::vector<std::uint8_t> shortReply(1, 0);
    const std::vector<std::uint8_t> text = Reply("P210SS118CM305", 20);
    shortReply.insert(shortReply.end(), text.begin(), text.begin() + 32);
    Device().QueueReply(shortReply);

    InfoReply reply;
    EXPECT_EQ(QueryDeviceInfo(m_link, VersionText("P210SS118CM305"), m_page, &reply), 32);
    EXPECT_TRUE(m_page.questions.empty()) << "L reads 0xFF: not interpreted";
    EXPECT_EQ(reply.bytes[31], 0);
    EXPECT_TRUE(
        std::all_of(reply.bytes.begin() + 32, reply.bytes.end(), [](auto b) { return b == 0xFF; }));
}

TEST_F(Commands, AQueryWithoutAnswerFailsAndNamesTheFlashChipWhenThereIsOne) {
    EXPECT_EQ(QueryDeviceInfo(m_link, VersionText("P210SS118CM305"), m_page), 0);

    std::vector<std::uint8_t> payload = Reply("P210SS118CM305", 20);
    std::memcpy(payload.data() + 15, "C214", 4);
    Device().QueuePayload(payload);
    InfoReply reply;
    EXPECT_EQ(QueryDeviceInfo(m_link, VersionText("A000SB000CC000"), m_page, &reply), 64);
    EXPECT_EQ(FlashChipText(reply), "Flash:F12");
    reply.bytes[63] = 0xFF;
    EXPECT_EQ(FlashChipText(reply), "");
}

}  // namespace
}  // namespace tarv
