// `inspect`, run as a package engineer or a script runs it: what the package holds, and whether
// the checks a run makes before it touches the device would pass.
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli_process.h"
#include "support/package_writer.h"
#include "support/temp_dir.h"

namespace tarv {
namespace {

using testing::Bytes;
using testing::CliResult;
using testing::PackageWriter;
using testing::RunCli;
using testing::TypicalPackage;

constexpr std::uint32_t ABSENT = 0xFFFFFFFF;

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
    const CliResult run = RunCli({"inspect", "--json", Write(writer)});
    ASSERT_EQ(run.status, 0) << run.out << run.err;

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
    const CliResult run = RunCli({"inspect", "--json", Write(TypicalPackage().NoSound())});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const auto j = nlohmann::json::parse(run.out);
    EXPECT_EQ(j["sound"]["present"], false);
    EXPECT_EQ(j["sound"]["length"], ABSENT);
}

TEST_F(Inspect, JsonGivesTheExactMessageOfAPackageTheLoaderRefuses) {
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
        const CliResult run = RunCli({"inspect", "--json", c.path});
        EXPECT_EQ(run.status, 1) << c.name;
        EXPECT_EQ(nlohmann::json::parse(run.out),
                  (nlohmann::json{{"ok", false}, {"error", c.error}}))
            << c.name;
    }
}

TEST_F(Inspect, TextReportListsTheSectionsAndRefusalsGoToStderr) {
    const CliResult good = RunCli({"inspect", Write(TypicalPackage().NoMap())});
    ASSERT_EQ(good.status, 0) << good.err;
    EXPECT_NE(good.out.find("program  0x00000080  0x00000bb8  0x40010000     P101"),
              std::string::npos)
        << good.out;
    EXPECT_NE(good.out.find("map      "), std::string::npos);
    EXPECT_NE(good.out.find("absent"), std::string::npos);
    EXPECT_NE(good.out.find("Version text        P101SS202CM303"), std::string::npos);

    const std::string tooShort = m_dir / "short.bin";
    testing::WriteFile(tooShort, std::string(1100, '\0'));
    const CliResult bad = RunCli({"inspect", tooShort});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.out, "");
    EXPECT_EQ(bad.err, "File size must be more than 128 bytes!\n");
}

// --- The run's checks, worked out here from the package format --------------------------------

std::uint32_t Le32(const Bytes& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        value |= std::uint32_t{at + i < bytes.size() ? bytes[at + i] : std::uint8_t{0}} << (8 * i);
    }
    return value;
}

// The value that makes the program's little-endian words sum to 0.
std::uint32_t WordCheck(const Bytes& payload, const PackageSection& program) {
    std::uint32_t sum = 0;
    for (std::uint32_t i = 0; i + 4 <= program.Length; i += 4) {
        sum += Le32(payload, program.Offset + i);
    }
    return 0u - sum;
}

// The page sums (byte sum XOR 0x416) of the sound's pages, the last one taken whole.
std::uint32_t SoundPageSums(const Bytes& payload, const PackageSection& sound) {
    std::uint32_t total = 0;
    for (std::uint32_t page = 0; page * 256 < sound.Length; ++page) {
        std::uint32_t sum = 0;
        for (std::uint32_t i = 0; i < 256; ++i) {
            const std::size_t at = sound.Offset + page * 256 + i;
            sum += at < payload.size() ? payload[at] : 0;
        }
        total += sum ^ 0x416;
    }
    return total;
}

TEST_F(Inspect, JsonValidationOfAValidPackageHasTheRunsValues) {
    const struct {
        const char* name;
        PackageWriter writer;
        int basePercent;
    } cases[] = {
        {"all three sections", TypicalPackage(), 10},
        {"no sound", TypicalPackage().NoSound(), 20},
        {"no map", TypicalPackage().NoMap(), 20},
        {"program only", TypicalPackage().NoSound().NoMap(), 30},
        {"a megabyte of sound",
         TypicalPackage().Sound(testing::PatternBytes(1 << 20, 9), 0x40100000, "S999"), 10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const CliResult run = RunCli({"inspect", "--json", Write(c.writer)});
        ASSERT_EQ(run.status, 0) << run.out << run.err;
        const auto v = nlohmann::json::parse(run.out)["validation"];
        const PackageHeader h = c.writer.Header();
        const Bytes payload = c.writer.Payload();

        EXPECT_EQ(v["ok"], true);
        EXPECT_EQ(v["lengths"][0], h.Program.Length);
        EXPECT_EQ(v["lengths"][1], h.Sound.Present() ? h.Sound.Length : ABSENT);
        EXPECT_EQ(v["lengths"][2], h.Map.Present() ? h.Map.Length + 256 : ABSENT);
        EXPECT_EQ(v["checks"][0], WordCheck(payload, h.Program));
        EXPECT_EQ(v["checks"][1], h.Sound.Present() ? SoundPageSums(payload, h.Sound) : ABSENT);
        // The map's sums cover the random table this load drew, so only its presence is fixed.
        EXPECT_EQ(v["checks"][2] == ABSENT, !h.Map.Present());
        EXPECT_EQ(v["checkBytes"][0], h.ProgramCheck);
        EXPECT_EQ(v["checkBytes"][1],
                  h.Sound.Present() ? nlohmann::json(h.SoundCheck) : nlohmann::json(nullptr));
        EXPECT_EQ(v["checkBytes"][2],
                  h.Map.Present() ? nlohmann::json(h.MapCheck) : nlohmann::json(nullptr));
        // 32 ms a KiB and 34 ms per 4 KiB of payload, and 4 s; the sections' extra seconds
        // come off again once their check bytes match.
        const std::uint32_t units = static_cast<std::uint32_t>(payload.size() - 128) / 1024;
        EXPECT_EQ(v["timeLeftMs"], 32 * units + 34 * (units / 4) + 4000);
        EXPECT_EQ(v["basePercent"], c.basePercent);
    }
}

TEST_F(Inspect, ValidationRefusesWhatEveryRunWouldRefuseWithItsExactMessage) {
    const struct {
        const char* name;
        PackageWriter writer;
        const char* error;
    } cases[] = {
        {"payload not aligned to 256 bytes", TypicalPackage().Align(false),
         "File format error, must be alignment 256 bytes !"},
        {"program outside the payload",
         TypicalPackage().EditHeader([](PackageHeader& h) { h.Program.Offset = 0x10000; }),
         "Read program paramater faile !"},
        {"program longer than the flash",
         TypicalPackage().EditHeader([](PackageHeader& h) { h.Program.Length = 0x07F00001; }),
         "Read program paramater faile !"},
        {"wrong program check byte",
         TypicalPackage().EditHeader([](PackageHeader& h) { h.ProgramCheck ^= 0x01; }),
         "Check data faile !"},
        {"wrong sound check byte",
         TypicalPackage().EditHeader([](PackageHeader& h) { h.SoundCheck ^= 0x80; }),
         "Check data faile !"},
        {"sound not above the program", TypicalPackage().EditHeader([](PackageHeader& h) {
             h.Sound.FlashAddress = h.Program.FlashAddress;
         }),
         "Read address file faile !"},
        {"map not above the sound", TypicalPackage().EditHeader([](PackageHeader& h) {
             h.Map.FlashAddress = h.Sound.FlashAddress;
         }),
         "Read address file faile !"},
        {"program below 0x40010000",
         TypicalPackage().EditHeader([](PackageHeader& h) { h.Program.FlashAddress = 0x4000FFFF; }),
         "Read address file faile !"},
        {"absent sound out of order", TypicalPackage().NoSound().EditHeader([](PackageHeader& h) {
             h.Sound.FlashAddress = 0x40800000;
         }),
         "Read address file faile !"},
        {"no program", TypicalPackage().NoProgram(), "Must updata program file !"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = Write(c.writer);
        const CliResult json = RunCli({"inspect", "--json", path});
        EXPECT_EQ(json.status, 1);
        const auto j = nlohmann::json::parse(json.out);
        EXPECT_EQ(j["ok"], true) << "the package itself loads";
        EXPECT_EQ(j["validation"], (nlohmann::json{{"ok", false}, {"error", c.error}}));

        const CliResult text = RunCli({"inspect", path});
        EXPECT_EQ(text.status, 1);
        EXPECT_NE(text.out.find(std::string("Run checks          refused: ") + c.error + "\n"),
                  std::string::npos)
            << text.out;
    }
}

TEST_F(Inspect, TextReportGivesTheRunsValues) {
    const PackageWriter writer = TypicalPackage().NoMap();
    const CliResult run = RunCli({"inspect", Write(writer)});
    ASSERT_EQ(run.status, 0) << run.err;
    const PackageHeader h = writer.Header();
    char lengths[128];
    std::snprintf(lengths, sizeof lengths,
                  "Record lengths      program 0x%08x  sound 0x%08x  map absent\n",
                  h.Program.Length, h.Sound.Length);
    char checks[128];
    std::snprintf(checks, sizeof checks, "Record checks       program 0x%08x  sound 0x%08x",
                  WordCheck(writer.Payload(), h.Program), SoundPageSums(writer.Payload(), h.Sound));
    EXPECT_NE(run.out.find("Run checks          passed\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(lengths), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(checks), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("bar from 20%"), std::string::npos) << run.out;
}

TEST(InspectUsage, ExitsWithTwoOnAUsageError) {
    EXPECT_EQ(RunCli({"inspect"}).status, 2);
    EXPECT_EQ(RunCli({"no-such-command"}).status, 2);
    EXPECT_EQ(RunCli({"--help"}).status, 0);
}

}  // namespace
}  // namespace tarv
