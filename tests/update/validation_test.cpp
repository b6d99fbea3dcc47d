#include "update/validation.h"

#include <algorithm>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "support/fake_clock.h"
#include "support/package_writer.h"
#include "support/temp_dir.h"
#include "update/messages.h"

namespace tarv {
namespace {

using testing::Bytes;
using testing::PackageWriter;
using testing::PatternBytes;
using testing::TypicalPackage;

// Loads a package as the program does; the test fails when it does not load.
class Loaded {
  public:
    explicit Loaded(const PackageWriter& writer) {
        writer.WriteTo(m_dir / "TarvUpdate.Bin");
        LoadOptions options;
        options.packagePath = m_dir / "TarvUpdate.Bin";
        options.clock = &m_clock;
        const LoadOutcome outcome = LoadPackage(m_package, options);
        EXPECT_TRUE(outcome.ok()) << outcome.status.message;
    }
    CUpdatePackage& operator*() { return m_package; }

  private:
    testing::TempDir m_dir;
    testing::FakeClock m_clock{321};
    CUpdatePackage m_package;
};

std::string_view Validate(const PackageWriter& writer) {
    Loaded package(writer);
    return ValidatePackage(*package).message;
}

PackageWriter ProgramOnly(std::size_t length = 2048) {
    PackageWriter writer;
    writer.Program(PatternBytes(length, 1), 0x40010000, "P001");
    return writer;
}

// A sound at `address` with no map, whose absent entry still lies above the sound.
PackageWriter SoundAt(std::uint32_t address, std::size_t length) {
    return ProgramOnly()
        .Sound(PatternBytes(length, 2), address, "S001")
        .EditHeader([](PackageHeader& h) { h.Map.FlashAddress = 0x407FFFFF; });
}

TEST(Validation, RefusesEachFaultWithItsMessage) {
    const auto header = [](auto edit) { return TypicalPackage().EditHeader(edit); };
    const struct {
        const char* name;
        PackageWriter writer;
        std::string_view message;
    } cases[] = {
        {"a valid package", TypicalPackage(), ""},
        {"header only", PackageWriter().NoProgram().Align(false), MSG_FILE_TOO_SMALL},
        {"one byte short of alignment", ProgramOnly(255).Align(false), MSG_FILE_NOT_ALIGNED},
        {"one byte past alignment", ProgramOnly(257).Align(false), MSG_FILE_NOT_ALIGNED},
        {"256 bytes after the header", ProgramOnly(256).Align(false), ""},
        {"program longer than 127 MiB",
         header([](PackageHeader& h) { h.Program.Length = 0x7F00001; }), MSG_PROGRAM_PARAMETER},
        {"program past the payload", header([](PackageHeader& h) { h.Program.Offset += 0x100000; }),
         MSG_PROGRAM_PARAMETER},
        {"program offset wrapping around 32 bits",
         header([](PackageHeader& h) { h.Program.Offset = 0xFFFFFF00; }), MSG_PROGRAM_PARAMETER},
        {"sound longer than 127 MiB", header([](PackageHeader& h) { h.Sound.Length = 0x7F00001; }),
         MSG_SOUND_PARAMETER},
        {"sound one byte past the payload",
         header([](PackageHeader& h) { h.Sound.Length = 10368 - h.Sound.Offset + 1; }),
         MSG_SOUND_PARAMETER},
        {"program below 0x40010000",
         header([](PackageHeader& h) { h.Program.FlashAddress = 0x4000FFFF; }), MSG_ADDRESS},
        {"program and sound at one address",
         header([](PackageHeader& h) { h.Sound.FlashAddress = h.Program.FlashAddress; }),
         MSG_ADDRESS},
        {"sound and map at one address",
         header([](PackageHeader& h) { h.Map.FlashAddress = h.Sound.FlashAddress; }), MSG_ADDRESS},
        {"absent sound still needs its address in order",
         TypicalPackage().NoSound().EditHeader([](PackageHeader& h) { h.Sound.FlashAddress = 0; }),
         MSG_ADDRESS},
        {"map at the end of the window", TypicalPackage().NoMap().EditHeader([](PackageHeader& h) {
             h.Map.FlashAddress = 0x40800000;
         }),
         MSG_ADDRESS},
        {"map just below the end of the window",
         TypicalPackage().NoMap().EditHeader(
             [](PackageHeader& h) { h.Map.FlashAddress = 0x407FFFFF; }),
         ""},
        {"no program", TypicalPackage().NoProgram(), MSG_NO_PROGRAM},
        {"program check byte", header([](PackageHeader& h) { h.ProgramCheck ^= 1; }),
         MSG_CHECK_DATA},
        {"sound check byte", header([](PackageHeader& h) { h.SoundCheck ^= 0x80; }),
         MSG_CHECK_DATA},
        {"map check byte", header([](PackageHeader& h) { h.MapCheck ^= 0x10; }), MSG_CHECK_DATA},
        // The run's erase of no block, and its write of a sound under one page, fail.
        {"sound of no bytes", ProgramOnly().Sound({}, 0x40100000, "S001"), MSG_SOUND_ERASE},
        {"sound of one byte", ProgramOnly().Sound({7}, 0x40100000, "S001"), MSG_SOUND_WRITE},
        {"sound a byte short of a page", ProgramOnly().Sound(PatternBytes(255), 0x40100000, "S001"),
         MSG_SOUND_WRITE},
        {"sound of one page", ProgramOnly().Sound(PatternBytes(256), 0x40100000, "S001"), ""},
        // The areas the run erases and writes lie in the flash, the sound's blocks below the
        // map's.
        {"sound ending at the end of the flash", SoundAt(0x407FFF00, 256), ""},
        {"sound a byte past the end of the flash", SoundAt(0x407FFF00, 257), MSG_ADDRESS},
        {"sound of 1 MiB half past the end of the flash", SoundAt(0x40780000, 0x100000),
         MSG_ADDRESS},
        {"sound ending in the block before the map's",
         header([](PackageHeader& h) { h.Map.FlashAddress = 0x40102000; }), ""},
        {"sound ending in the block the map starts in",
         header([](PackageHeader& h) { h.Map.FlashAddress = 0x40101800; }), MSG_ADDRESS},
        {"sound running into the map",
         header([](PackageHeader& h) { h.Map.FlashAddress = 0x40101000; }), MSG_ADDRESS},
        {"a short sound with a wrong check byte says so first",
         ProgramOnly().Sound({7}, 0x40100000, "S001").EditHeader([](PackageHeader& h) {
             h.SoundCheck ^= 1;
         }),
         MSG_CHECK_DATA},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Validate(c.writer), c.message) << c.name;
    }
}

TEST(Validation, ReadsThePackageAndLeavesItAsLoaded) {
    // Front ends check a package right after loading and every run checks it again, so the
    // checks must give the same answer each time and leave the package as the load left it, also
    // after a refusal in the size checks, which stop before the header is looked at.
    const struct {
        const char* name;
        PackageWriter writer;
    } cases[] = {
        {"a valid package", TypicalPackage()},
        {"refused by its alignment", ProgramOnly(255).Align(false)},
        {"refused by a check byte",
         TypicalPackage().EditHeader([](PackageHeader& h) { h.MapCheck ^= 1; })},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Loaded loaded(c.writer);
        const CUpdatePackage& package = *loaded;
        const std::uint32_t cursor = package.Cursor();
        const Bytes image(package.Image().begin(), package.Image().end());
        const Bytes map(package.MapWorkBuffer().begin(), package.MapWorkBuffer().end());

        const ValidationResult first = ValidatePackage(package, 1234);
        const ValidationResult second = ValidatePackage(package, 1234);
        EXPECT_EQ(first, second);
        EXPECT_EQ(package.Header(), c.writer.Header());
        EXPECT_EQ(package.Cursor(), cursor);
        EXPECT_TRUE(
            std::equal(image.begin(), image.end(), package.Image().begin(), package.Image().end()));
        EXPECT_TRUE(std::equal(map.begin(), map.end(), package.MapWorkBuffer().begin(),
                               package.MapWorkBuffer().end()));
    }
}

TEST(Validation, AWalkThatWouldLeaveThePayloadFailsItsCheck) {
    // The program is the payload's last block and the sound all before it: each lies inside the
    // payload, but the walk from the program's start runs 20 KiB past its end.
    PackageWriter writer = ProgramOnly(1024).Sound(PatternBytes(20480, 2), 0x40100000, "S001");
    const Bytes payload = writer.Payload();
    ASSERT_EQ(payload.size(), 21632u);
    std::uint8_t lastBlock = 0;
    for (std::size_t i = payload.size() - 1024; i < payload.size(); ++i) {
        lastBlock ^= payload[i];
    }
    writer.EditHeader([&](PackageHeader& h) {
        h.Program.Offset = static_cast<std::uint32_t>(payload.size() - 1024);
        h.Sound.Offset = 128;
        h.ProgramCheck = lastBlock;  // the program's own block passes
    });
    EXPECT_EQ(Validate(writer), MSG_CHECK_DATA);
}

TEST(Validation, ComputesLengthsAndChecksAsTheRecordsNeedThem) {
    const PackageWriter writer = TypicalPackage();
    Loaded package(writer);
    const ValidationResult result = ValidatePackage(*package);
    ASSERT_TRUE(result.ok()) << result.message;

    const Bytes payload = writer.Payload();
    const PackageHeader h = writer.Header();
    std::uint32_t words = 0;
    for (std::uint32_t i = 0; i + 4 <= h.Program.Length; i += 4) {
        const std::size_t at = h.Program.Offset + i;
        words += payload[at] | payload[at + 1] << 8 | payload[at + 2] << 16 |
                 static_cast<std::uint32_t>(payload[at + 3]) << 24;
    }
    const auto pageSums = [](std::span<const std::uint8_t> bytes, std::size_t start,
                             std::size_t length) {
        std::uint32_t total = 0;
        for (std::size_t k = 0; 256 * k < length; ++k) {
            std::uint32_t sum = 0;
            for (std::size_t i = 0; i < 256; ++i) {
                const std::size_t at = start + 256 * k + i;
                sum += at < bytes.size() ? bytes[at] : 0;
            }
            total += sum ^ 0x416;
        }
        return total;
    };
    EXPECT_EQ(result.lengths, (std::array<std::uint32_t, 3>{3000, 5000, 2100 + 256}));
    EXPECT_EQ(result.checks[0], 0u - words);
    EXPECT_EQ(result.checks[1], pageSums(payload, h.Sound.Offset, 5000));
    EXPECT_EQ(result.checks[2],
              pageSums((*package).MapWorkBuffer().first(2100 + 256), 0, 2100 + 256));
    EXPECT_EQ(result.checkBytes[0], h.ProgramCheck);
    EXPECT_EQ(result.checkBytes[2], h.MapCheck);
    EXPECT_EQ(result.progress.basePercent, 10);
    EXPECT_EQ(result.progress.totalUnits, ((*package).PayloadLength() - 128 + 256) / 1024);
}

TEST(Validation, PlansEveryPageTheBytesTakeAndEveryBlockThosePagesTouch) {
    const auto map = [](std::size_t length, std::uint32_t at = 0x40400000) {
        return ProgramOnly().Map(PatternBytes(length, 3), at, "M001");
    };
    const auto sound = [](std::size_t length, std::uint32_t at = 0x40100000) {
        return ProgramOnly().Sound(PatternBytes(length, 2), at, "S001");
    };
    const struct {
        const char* name;
        PackageWriter writer;
        bool isMap;
        AreaPlan plan;  // first page, pages, first block, blocks
    } cases[] = {
        {"map and table filling a block", map(3840), true, {0x4000, 16, 0x400, 1}},
        {"map a byte more: its last byte on a page of its own",
         map(3841),
         true,
         {0x4000, 17, 0x400, 2}},
        {"map not a whole number of pages", map(2100), true, {0x4000, 10, 0x400, 1}},
        {"map and table of one block from the middle of a block",
         map(3840, 0x40402800),
         true,
         {0x4028, 16, 0x402, 2}},
        {"sound of a block", sound(4096), false, {0x1000, 16, 0x100, 1}},
        {"sound a byte over a block", sound(4097), false, {0x1000, 17, 0x100, 2}},
        {"sound not a whole number of pages", sound(1000), false, {0x1000, 4, 0x100, 1}},
        {"sound from inside a page: from that page",
         sound(256, 0x40100010),
         false,
         {0x1000, 1, 0x100, 1}},
        {"sound of two pages from a block's last page",
         sound(512, 0x40100F00),
         false,
         {0x100F, 2, 0x100, 2}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Loaded package(c.writer);
        const ValidationResult result = ValidatePackage(*package);
        ASSERT_TRUE(result.ok()) << result.message;
        const std::optional<AreaPlan>& area = c.isMap ? result.mapArea : result.soundArea;
        ASSERT_TRUE(area.has_value());
        EXPECT_EQ(area->firstPage, c.plan.firstPage);
        EXPECT_EQ(area->pageCount, c.plan.pageCount);
        EXPECT_EQ(area->firstBlock, c.plan.firstBlock);
        EXPECT_EQ(area->blockCount, c.plan.blockCount);
        EXPECT_FALSE(c.isMap ? result.soundArea : result.mapArea) << "an absent section has none";
    }
}

TEST(Validation, WordCheckOfShortAndOddPrograms) {
    const auto check = [](Bytes program) {
        Loaded package(PackageWriter().Program(std::move(program), 0x40010000, "P001"));
        return ValidatePackage(*package).checks[0];
    };
    EXPECT_EQ(check({1, 2, 3}), 0u) << "no whole word";
    EXPECT_EQ(check({1, 0, 0, 0, 0xFF}), 0xFFFFFFFFu) << "words summing to 1; the odd byte is left";
}

TEST(Validation, APresentSoundOfLengthZeroHasZerosAndIsRefused) {
    Loaded package(ProgramOnly().Sound({}, 0x40100000, "S000"));
    const ValidationResult result = ValidatePackage(*package);
    EXPECT_EQ(result.message, MSG_SOUND_ERASE);
    EXPECT_EQ(result.lengths[1], 0u);
    EXPECT_EQ(result.checks[1], 0u);
    EXPECT_EQ(result.checkBytes[1], 0);
}

TEST(Validation, TheWalkCoversWholeBlocksFromTheProgramOn) {
    // A program of 1536 bytes: the sound's first block is the program's last 512 bytes and the
    // sound's first 512. The writer stores check bytes from the same walk, so the package passes;
    // check bytes taken at the sound's own offset would not.
    const PackageWriter writer = ProgramOnly(1536).Sound(PatternBytes(4096, 9), 0x40100000, "S001");
    EXPECT_EQ(Validate(writer), "");
    const Bytes payload = writer.Payload();
    std::uint8_t ownBlocks = 0;
    for (std::size_t i = 0; i < 4096; ++i) {
        ownBlocks ^= payload[writer.Header().Sound.Offset + i];
    }
    ASSERT_NE(ownBlocks, writer.Header().SoundCheck);
    EXPECT_EQ(Validate(PackageWriter(writer).EditHeader(
                  [&](PackageHeader& h) { h.SoundCheck = ownBlocks; })),
              MSG_CHECK_DATA);
}

TEST(Validation, TheEstimateCountsTheSectionsUntilTheirCheckBytesMatch) {
    // 1 MiB after the header: U = 1024, a start of 45472 ms, 50472 with sound and map.
    const std::size_t payload = 1048576;
    PackageWriter exact;
    exact.Program(PatternBytes(payload - 8192 - 4096, 1), 0x40010000, "P001")
        .Sound(PatternBytes(8192, 2), 0x40100000, "S001")
        .Map(PatternBytes(4096, 3), 0x40400000, "M001");
    Loaded package(exact);
    ASSERT_EQ((*package).PayloadLength(), 128 + payload);
    const ValidationResult passed = ValidatePackage(*package);
    ASSERT_TRUE(passed.ok()) << passed.message;
    EXPECT_EQ(passed.timeLeftMs, 45472u);

    Loaded failing(PackageWriter(exact).EditHeader([](PackageHeader& h) { h.SoundCheck ^= 1; }));
    EXPECT_EQ(ValidatePackage(*failing).timeLeftMs, 50472u) << "nothing taken off before the match";
}

}  // namespace
}  // namespace tarv
