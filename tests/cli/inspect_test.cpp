// Runs the real tarv-updater-cli binary, as a package engineer or a script would.
#include <array>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "support/package_writer.h"
#include "support/temp_dir.h"

namespace tarv {
namespace {

using testing::PackageWriter;
using testing::TypicalPackage;

struct CliRun {
    int status = -1;
    std::string out;  // stdout, and stderr too when asked for
};

CliRun RunCli(const std::string& arguments, bool withStderr = false) {
    const std::string command =
        std::string(TARV_CLI_PATH) + " " + arguments + (withStderr ? " 2>&1" : " 2>/dev/null");
    CliRun run;
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    std::array<char, 4096> chunk;
    std::size_t n;
    while ((n = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0) {
        run.out.append(chunk.data(), n);
    }
    const int raw = pclose(pipe);
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return run;
}

std::string Quote(const std::string& s) {
    return "'" + s + "'";
}

class Inspect : public ::testing::Test {
  protected:
    std::string Write(const PackageWriter& writer) {
        const std::string path = m_dir / "TarvUpdate.Bin";
        writer.WriteTo(path);
        return path;
    }
    testing::TempDir m_dir;
};

TEST_F(Inspect, JsonDescribesAValidPackage) {
    const PackageWriter writer = TypicalPackage();
    const CliRun run = RunCli("inspect --json " + Quote(Write(writer)));
    ASSERT_EQ(run.status, 0) << run.out;

    const auto j = nlohmann::json::parse(run.out);
    const PackageHeader h = writer.Header();
    EXPECT_EQ(j["ok"], true);
    EXPECT_EQ(j["payloadLength"], writer.Payload().size());
    EXPECT_EQ(j["mapScrambleLength"], 64);
    // "P101" "S" "S202" "C" "M303" and six zero bytes.
    EXPECT_EQ(j["versionTextHex"],
              "50313031535332303243"
              "4d333033"
              "000000000000");
    const std::pair<const char*, PackageSection> sections[] = {
        {"program", h.Program}, {"sound", h.Sound}, {"map", h.Map}};
    for (const auto& [name, s] : sections) {
        EXPECT_EQ(j[name]["offset"], s.Offset) << name;
        EXPECT_EQ(j[name]["length"], s.Length) << name;
        EXPECT_EQ(j[name]["flashAddress"], s.FlashAddress) << name;
        EXPECT_EQ(j[name]["present"], true) << name;
    }
    EXPECT_EQ(j["program"]["version"], "50313031");
    EXPECT_EQ(j["checks"]["program"], h.ProgramCheck);
    EXPECT_EQ(j["checks"]["sound"], h.SoundCheck);
    EXPECT_EQ(j["checks"]["map"], h.MapCheck);
}

TEST_F(Inspect, JsonMarksAnAbsentSection) {
    const CliRun run = RunCli("inspect --json " + Quote(Write(TypicalPackage().NoSound())));
    ASSERT_EQ(run.status, 0) << run.out;
    const auto j = nlohmann::json::parse(run.out);
    EXPECT_EQ(j["sound"]["present"], false);
    EXPECT_EQ(j["sound"]["length"], 0xFFFFFFFFu);
}

TEST_F(Inspect, JsonGivesTheExactMessageOfARefusedPackage) {
    const struct {
        const char* name;
        std::string path;
        const char* error;
    } cases[] = {
        {"missing file", m_dir / "nothing-here.bin", "Open updata file faile !"},
        {"map outside the payload",
         Write(TypicalPackage().EditHeader([](PackageHeader& h) { h.Map.Offset = 0x7FFFF; })),
         "Read file information faile !"},
    };
    for (const auto& c : cases) {
        const CliRun run = RunCli("inspect --json " + Quote(c.path));
        EXPECT_EQ(run.status, 1) << c.name;
        EXPECT_EQ(nlohmann::json::parse(run.out),
                  (nlohmann::json{{"ok", false}, {"error", c.error}}))
            << c.name;
    }
}

TEST_F(Inspect, TextReportListsTheSectionsAndRefusalsGoToStderr) {
    const CliRun good = RunCli("inspect " + Quote(Write(TypicalPackage().NoMap())));
    ASSERT_EQ(good.status, 0);
    EXPECT_NE(good.out.find("program  0x00000080  0x00000bb8  0x40010000     P101"),
              std::string::npos)
        << good.out;
    EXPECT_NE(good.out.find("map      "), std::string::npos);
    EXPECT_NE(good.out.find("absent"), std::string::npos);
    EXPECT_NE(good.out.find("Version text        P101SS202CM303"), std::string::npos);

    const std::string tooShort = m_dir / "short.bin";
    testing::WriteFile(tooShort, std::string(1100, '\0'));
    const CliRun bad = RunCli("inspect " + Quote(tooShort), /*withStderr=*/true);
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.out, "File size must be more than 128 bytes!\n");
}

TEST(InspectUsage, ExitsWithTwoOnAUsageError) {
    EXPECT_EQ(RunCli("inspect").status, 2);
    EXPECT_EQ(RunCli("no-such-command").status, 2);
    EXPECT_EQ(RunCli("--help").status, 0);
}

}  // namespace
}  // namespace tarv
