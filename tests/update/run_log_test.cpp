// The run log's lines: what a device that answers oddly, a run without a reply and a message
// that is not UTF-8 make of them, and appending to a file that already holds lines.
#include "update/run_log.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace tarv {
namespace {

RunRecord Typical() {
    RunRecord record;
    record.start = std::chrono::system_clock::time_point(std::chrono::milliseconds(1796907005123));
    record.durationMs = 15234;
    record.devicePath = "/dev/hidraw3";
    record.deviceVersions = std::array<std::string, 3>{"P100", "S100", "M100"};
    record.packageVersions = {"P210", "S118", "M305"};
    record.packagePath = "/srv/line/TarvUpdate.Bin";
    record.packageSha256 = "8f3c9e5b1f0a2d4c6e8a0b2d4f6a8c0e2a4c6e8f0b2d4f6a8c0e2a4c6e8f0b2d";
    record.outcome = RunOutcome::Success;
    return record;
}

InfoReply ReplyOf(const std::string& text, std::uint8_t length) {
    InfoReply reply;
    reply.bytes.fill(0);
    std::copy(text.begin(), text.end(), reply.bytes.begin());
    reply.bytes[InfoReply::OFF_LENGTH] = length;
    return reply;
}

TEST(RunLog, ALineIsOneObjectWithTheFieldsInOrder) {
    EXPECT_EQ(
        FormatRunRecord(Typical()),
        R"({"start":"2026-12-10T12:50:05.123Z","durationMs":15234,"device":"/dev/hidraw3",)"
        R"("deviceVersions":{"program":"P100","sound":"S100","map":"M100"},)"
        R"("packageVersions":{"program":"P210","sound":"S118","map":"M305"},)"
        R"("package":"/srv/line/TarvUpdate.Bin",)"
        R"("packageSha256":"8f3c9e5b1f0a2d4c6e8a0b2d4f6a8c0e2a4c6e8f0b2d4f6a8c0e2a4c6e8f0b2d",)"
        R"("result":"success","message":null})");
}

TEST(RunLog, WhatADeviceAnswersBecomesValidJsonWhateverItIs) {
    EXPECT_EQ(ReplyVersions(ReplyOf("P100SS100CM100", 20)),
              (std::array<std::string, 3>{"P100", "S100", "M100"}));
    EXPECT_EQ(ReplyVersions(ReplyOf("P1\x01\x02SS100CM100", 20)),
              (std::array<std::string, 3>{"0x50310102", "S100", "M100"}));
    EXPECT_EQ(ReplyVersions(ReplyOf("P100SS100CM100", 13)), std::nullopt) << "L too small";
    EXPECT_EQ(ReplyVersions(ReplyOf("X100SS100CM100", 20)), std::nullopt) << "not the tag";

    RunRecord odd = Typical();
    odd.deviceVersions.reset();
    odd.outcome = RunOutcome::Failure;
    odd.message = "Write data faile\xff";
    odd.devicePath = "/dev/\xfehidraw";
    const auto line = nlohmann::json::parse(FormatRunRecord(odd));
    EXPECT_EQ(line["deviceVersions"], nullptr);
    EXPECT_EQ(line["result"], "failure");
    EXPECT_EQ(line["message"], "Write data faile\xef\xbf\xbd");

    RunRecord declined = Typical();
    declined.outcome = RunOutcome::Declined;
    EXPECT_EQ(nlohmann::json::parse(FormatRunRecord(declined))["result"], "declined");
}

TEST(RunLog, AppendsWholeLinesAfterWhatIsThere) {
    const testing::TempDir dir;
    const std::string path = dir / "line.log";
    std::ofstream(path) << "earlier\n";
    std::string error;
    {
        const auto log = CRunLog::Open(path, error);
        ASSERT_NE(log, nullptr) << error;
        ASSERT_TRUE(log->Append(Typical(), error)) << error;
        ASSERT_TRUE(log->Append(Typical(), error)) << error;
    }
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    const std::string line = FormatRunRecord(Typical());
    EXPECT_EQ(text.str(), "earlier\n" + line + "\n" + line + "\n");

    EXPECT_EQ(CRunLog::Open(dir / "no/such/dir.log", error), nullptr);
    EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;
}

// A disk that takes only part of a record (here a file-size limit a few bytes past the end):
// the record is refused whole, the file keeps only whole lines, and the next record starts a
// clean line. A line someone else left unfinished does not swallow the next record either.
TEST(RunLog, ARecordIsInTheFileWholeOrNotAtAll) {
    const testing::TempDir dir;
    const std::string path = dir / "line.log";
    std::ofstream(path) << "earlier\n";
    std::string error;
    const auto log = CRunLog::Open(path, error);
    ASSERT_NE(log, nullptr) << error;

    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousXfsz = std::signal(SIGXFSZ, SIG_IGN);
    rlimit tight = saved;
    tight.rlim_cur = std::filesystem::file_size(path) + 20;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tight), 0);
    const bool appended = log->Append(Typical(), error);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousXfsz);
    EXPECT_FALSE(appended);
    EXPECT_NE(error.find("cannot write the log " + path), std::string::npos) << error;
    EXPECT_EQ(std::filesystem::file_size(path), 8u) << "nothing of the record is left";

    std::ofstream(path, std::ios::app) << "cut off";
    ASSERT_TRUE(log->Append(Typical(), error)) << error;
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "earlier\ncut off\n" + FormatRunRecord(Typical()) + "\n");
}

}  // namespace
}  // namespace tarv
