#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "package/map_section.h"
#include "package/package.h"
#include "support/fake_clock.h"
#include "support/package_writer.h"
#include "support/temp_dir.h"

namespace tarv {
namespace {

namespace fs = std::filesystem;
using testing::Bytes;
using testing::PackageWriter;
using testing::TypicalPackage;

// Allocation that hands out garbage instead of fresh zero pages, and that can be told to fail.
int g_nAllocations = 0;
int g_nFailingAllocation = 0;  // 1-based call that returns null; 0: none

void* GarbageAllocate(std::size_t size) {
    if (++g_nAllocations == g_nFailingAllocation) {
        return nullptr;
    }
    void* p = std::malloc(size);
    if (p != nullptr) {
        std::memset(p, 0xA5, size);
    }
    return p;
}

class Loading : public ::testing::Test {
  protected:
    void SetUp() override {
        g_nAllocations = 0;
        g_nFailingAllocation = 0;
    }

    std::string PackagePath() const { return m_dir / "TarvUpdate.Bin"; }

    LoadOutcome Load(const PackageWriter& writer, std::uint32_t tick = 1000) {
        writer.WriteTo(PackagePath());
        return LoadFile(tick);
    }

    LoadOutcome LoadFile(std::uint32_t tick = 1000) {
        m_clock.SetTick(tick);
        LoadOptions options;
        options.packagePath = PackagePath();
        options.releaseNotesPath = m_dir / "readme.txt";
        options.clock = &m_clock;
        options.allocate = &GarbageAllocate;
        return LoadPackage(m_package, options);
    }

    testing::TempDir m_dir;
    testing::FakeClock m_clock;
    CUpdatePackage m_package;
};

// The loop of the format, 1024 bytes at a time, kept here as the reference for the loader's
// faster reads.
Bytes ReferenceBlockRead(const std::string& path) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"), std::fclose);
    std::uint8_t key[1024] = {};
    std::fread(key, 1, sizeof key, f.get());
    Bytes image;
    std::size_t n;
    do {
        std::uint8_t block[1024];
        n = std::fread(block, 1, sizeof block, f.get());
        for (std::size_t i = 0; i < n; ++i) {
            block[i] ^= key[i] >> 1;
        }
        image.insert(image.end(), block, block + n);
    } while (n == 1024);
    return image;
}

TEST_F(Loading, ReadsTheSameBytesAsTheBlockByBlockLoop) {
    // Sizes around the key block, around the loader's read chunk, and an odd large one.
    for (const std::size_t size :
         {0u, 1u, 127u, 1023u, 1024u, 1025u, 4096u, 262144u, 263173u, 700001u}) {
        const testing::KeyBlock key = testing::DefaultKeyBlock();
        Bytes file(key.begin(), key.end());
        const Bytes payload = testing::PatternBytes(size, static_cast<std::uint32_t>(size));
        file.insert(file.end(), payload.begin(), payload.end());
        testing::WriteFile(PackagePath(), file);

        CUpdatePackage package;
        ASSERT_TRUE(package.AllocateImage(static_cast<std::uint32_t>(file.size())).ok());
        ASSERT_TRUE(package.ReadPackageFile(PackagePath()).ok()) << size;

        const Bytes reference = ReferenceBlockRead(PackagePath());
        ASSERT_EQ(package.PayloadLength(), size);
        EXPECT_TRUE(std::equal(reference.begin(), reference.end(), package.Payload().begin()))
            << "payload of " << size << " bytes differs";
        EXPECT_EQ(package.Cursor(), size);
    }
}

struct UnmaskCase {
    std::uint8_t key;
    std::uint8_t stored;
    std::uint8_t plain;
};

TEST_F(Loading, UnmasksWithTheKeyByteShiftedRightSoTheTopBitPasses) {
    const UnmaskCase cases[] = {
        {0x80, 0x41, 0x01},                      // mask 0x40
        {0x01, 0x41, 0x41},                      // mask 0: unchanged
        {0x00, 0xAB, 0xAB}, {0xFF, 0x00, 0x7F},  // mask 0x7F
        {0xFF, 0xFF, 0x80},                      // the top bit is never masked
        {0x03, 0x80, 0x81},
    };
    for (const UnmaskCase& c : cases) {
        Bytes file(1024 + 2048, 0);
        file[0] = c.key;
        file[1024] = c.stored;         // payload position 0
        file[1024 + 1024] = c.stored;  // payload position 1024: the same key byte again
        testing::WriteFile(PackagePath(), file);

        CUpdatePackage package;
        ASSERT_TRUE(package.AllocateImage(static_cast<std::uint32_t>(file.size())).ok());
        ASSERT_TRUE(package.ReadPackageFile(PackagePath()).ok());
        EXPECT_EQ(package.Payload()[0], c.plain) << "key " << int(c.key);
        EXPECT_EQ(package.Payload()[1024], c.plain) << "key " << int(c.key);
    }
}

TEST_F(Loading, KeyBlockOfOnlyZeroAndOneBytesLeavesThePayloadUnchanged) {
    testing::KeyBlock key{};
    for (std::size_t i = 0; i < key.size(); ++i) {
        key[i] = static_cast<std::uint8_t>(i % 3 == 0);
    }
    Bytes file(key.begin(), key.end());
    const Bytes payload = testing::PatternBytes(5000);
    file.insert(file.end(), payload.begin(), payload.end());
    testing::WriteFile(PackagePath(), file);

    ASSERT_TRUE(m_package.AllocateImage(static_cast<std::uint32_t>(file.size())).ok());
    ASSERT_TRUE(m_package.ReadPackageFile(PackagePath()).ok());
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), m_package.Payload().begin()));
}

TEST_F(Loading, KeepsWhatTheWholeLoadPromises) {
    const PackageWriter writer = TypicalPackage();
    testing::WriteFile(m_dir / "readme.txt", std::string_view("Fixes\r\nMore fixes\n"));

    const LoadOutcome outcome = Load(writer);

    ASSERT_TRUE(outcome.ok()) << outcome.status.message;
    EXPECT_EQ(outcome.welcomeText, "\r\n\r\n\r\nFixes\r\nMore fixes\r\n");
    const Bytes payload = writer.Payload();
    ASSERT_EQ(m_package.PayloadLength(), payload.size());
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), m_package.Payload().begin()));
    EXPECT_EQ(m_package.ImageCapacity(), payload.size() + 1024 + 8192);
    EXPECT_EQ(m_package.Cursor(), payload.size());
    EXPECT_EQ(m_package.Header(), writer.Header());
    EXPECT_EQ(std::string(m_package.VersionText().data(), 14), "P101SS202CM303");
    EXPECT_EQ(m_package.MapCapacity(), 2100u + 8192);
}

TEST_F(Loading, LeavesZerosPastThePayloadAndPastTheMap) {
    // The allocator fills fresh buffers with 0xA5, so zeros here were written by the loader.
    ASSERT_TRUE(Load(TypicalPackage()).ok());

    const auto image = m_package.Image();
    EXPECT_TRUE(std::all_of(image.begin() + m_package.PayloadLength(), image.end(),
                            [](std::uint8_t b) { return b == 0; }));
    const auto map = m_package.MapWorkBuffer();
    EXPECT_TRUE(
        std::all_of(map.begin() + 256 + 2100, map.end(), [](std::uint8_t b) { return b == 0; }));
}

TEST_F(Loading, ReleasePackageBuffersFreesBothBuffersAndMayBeRepeated) {
    ASSERT_TRUE(Load(TypicalPackage()).ok());
    m_package.ReleasePackageBuffers();
    m_package.ReleasePackageBuffers();
    EXPECT_TRUE(m_package.Image().empty());
    EXPECT_EQ(m_package.ImageCapacity(), 0u);
    EXPECT_TRUE(m_package.MapWorkBuffer().empty());
    EXPECT_EQ(m_package.MapCapacity(), 0u);
}

// --- Refusals ----------------------------------------------------------------------------------

struct RefusalCase {
    const char* name;
    std::function<void(const std::string& path)> make;  // puts something at the package path
    std::string_view message;
};

void Write(const PackageWriter& writer, const std::string& path) {
    writer.WriteTo(path);
}

void WriteSized(const std::string& path, std::uintmax_t size) {
    testing::WriteFile(path, Bytes{});
    fs::resize_file(path, size);  // sparse: zeros that take no disk space
}

PackageWriter WithMap(std::uint32_t offset, std::uint32_t length, std::uint32_t flash) {
    return TypicalPackage().EditHeader([=](PackageHeader& h) {
        h.Map.Offset = offset;
        h.Map.Length = length;
        h.Map.FlashAddress = flash;
    });
}

TEST_F(Loading, RefusesEachBadPackageWithItsMessageAndReleasesTheBuffers) {
    const std::uint32_t payload = static_cast<std::uint32_t>(TypicalPackage().Payload().size());
    const RefusalCase cases[] = {
        {"no file", [](const std::string&) {}, MSG_OPEN_PACKAGE_FAILED},
        {"a directory", [](const std::string& p) { fs::create_directory(p); },
         MSG_OPEN_PACKAGE_FAILED},
        {"shorter than the key block", [](const std::string& p) { WriteSized(p, 1023); },
         MSG_READ_FILE_ERROR},
        {"key block only", [](const std::string& p) { WriteSized(p, 1024); },
         MSG_PAYLOAD_TOO_SMALL},
        {"127-byte payload", [](const std::string& p) { WriteSized(p, 1024 + 127); },
         MSG_PAYLOAD_TOO_SMALL},
        {"one byte over 127 MiB", [](const std::string& p) { WriteSized(p, 0x7F00001); },
         MSG_PACKAGE_TOO_LARGE},
        {"4 GiB and 2 KiB: not taken for its low 32 bits",
         [](const std::string& p) { WriteSized(p, 0x100000800ull); }, MSG_PACKAGE_TOO_LARGE},
        {"map longer than 127 MiB",
         [](const std::string& p) { Write(WithMap(0x80, 0x7F00001, 0x40400000), p); },
         MSG_MAP_INFORMATION},
        {"map flash address past the window",
         [](const std::string& p) { Write(WithMap(0x80, 0, 0x40800001), p); }, MSG_MAP_INFORMATION},
        {"map at the end of the window leaves no room for the table",
         [](const std::string& p) { Write(WithMap(0x80, 0, 0x40800000), p); },
         MSG_MAP_EXCEEDS_FLASH},
        {"127 MiB map exceeds the flash before it is found outside the payload",
         [](const std::string& p) { Write(WithMap(0x80, 0x7F00000, 0x40000000), p); },
         MSG_MAP_EXCEEDS_FLASH},
        {"map one byte past the payload",
         [=](const std::string& p) { Write(WithMap(payload - 100, 101, 0x40400000), p); },
         MSG_MAP_INFORMATION},
        {"map offset that wraps around 32 bits",
         [](const std::string& p) { Write(WithMap(0xFFFFFF00, 0x200, 0x40400000), p); },
         MSG_MAP_INFORMATION},
    };
    for (const RefusalCase& c : cases) {
        fs::remove_all(PackagePath());
        c.make(PackagePath());
        const LoadOutcome outcome = LoadFile();
        EXPECT_EQ(outcome.status.message, c.message) << c.name;
        EXPECT_TRUE(m_package.Image().empty()) << c.name;
        EXPECT_TRUE(m_package.MapWorkBuffer().empty()) << c.name;
    }
}

TEST_F(Loading, AcceptsTheBoundaryPackages) {
    const std::uint32_t payload = static_cast<std::uint32_t>(TypicalPackage().Payload().size());
    const struct {
        const char* name;
        PackageWriter writer;
    } cases[] = {
        {"absent map skips every map check", TypicalPackage().EditHeader([](PackageHeader& h) {
             h.Map.Length = PKG_ABSENT;
             h.Map.Offset = 0xFFFFFFFF;
             h.Map.FlashAddress = 0xFFFFFFFF;
         })},
        {"empty map 256 bytes below the end of the window", WithMap(0x80, 0, 0x40800000 - 256)},
        {"map ending at the last payload byte", WithMap(payload - 100, 100, 0x40400000)},
        {"map of the whole payload", WithMap(0, payload, 0x40400000)},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(Load(c.writer).ok()) << c.name;
    }
}

TEST_F(Loading, AcceptsAFileOfExactly127MiBAndAPayloadOfExactlyOneHeader) {
    const std::string path = PackagePath();
    WriteSized(path, 0x7F00000);
    EXPECT_TRUE(LoadFile().ok());
    EXPECT_EQ(m_package.PayloadLength(), 0x7F00000u - 1024);

    WriteSized(path, 1024 + 128);
    EXPECT_TRUE(LoadFile().ok());
    EXPECT_EQ(m_package.PayloadLength(), 128u);
}

TEST_F(Loading, TheReadAloneAcceptsAnEmptyPayload) {
    WriteSized(PackagePath(), 1024);
    ASSERT_TRUE(m_package.AllocateImage(1024).ok());
    EXPECT_TRUE(m_package.ReadPackageFile(PackagePath()).ok());
    EXPECT_EQ(m_package.PayloadLength(), 0u);
}

TEST_F(Loading, TheReadAloneSaysNoPackageWhenTheFileIsGone) {
    ASSERT_TRUE(m_package.AllocateImage(4096).ok());
    EXPECT_EQ(m_package.ReadPackageFile(PackagePath()).message, MSG_NO_PACKAGE_FILE);
}

TEST_F(Loading, RefusesAFileThatGrewAfterItWasMeasured) {
    TypicalPackage().WriteTo(PackagePath());
    const std::uint32_t measured = static_cast<std::uint32_t>(fs::file_size(PackagePath()));
    ASSERT_TRUE(m_package.AllocateImage(measured).ok());
    fs::resize_file(PackagePath(), measured + 20000);  // more than the image's slack

    EXPECT_EQ(m_package.ReadPackageFile(PackagePath()).message, MSG_READ_FILE_ERROR);
    EXPECT_LE(m_package.PayloadLength(), m_package.ImageCapacity() - 9216 + 1);
}

TEST_F(Loading, ReportsEachFailedAllocationWithItsOwnMessage) {
    g_nFailingAllocation = 1;
    EXPECT_EQ(Load(TypicalPackage()).status.message, MSG_ALLOCATE_IMAGE_FAILED);
    EXPECT_TRUE(m_package.Image().empty());

    g_nAllocations = 0;
    g_nFailingAllocation = 2;
    EXPECT_EQ(Load(TypicalPackage()).status.message, MSG_ALLOCATE_MAP_FAILED);
    EXPECT_TRUE(m_package.Image().empty());
    EXPECT_TRUE(m_package.MapWorkBuffer().empty());

    g_nAllocations = 0;
    EXPECT_TRUE(Load(TypicalPackage().NoMap()).ok()) << "without a map only the image is allocated";
}

// --- The map work buffer -----------------------------------------------------------------------

Bytes MapBytesOf(const PackageWriter& writer) {
    const PackageHeader h = writer.Header();
    const Bytes payload = writer.Payload();
    return Bytes(payload.begin() + h.Map.Offset, payload.begin() + h.Map.Offset + h.Map.Length);
}

TEST_F(Loading, MapWorkBufferIsTheTableThenTheMapScrambledWithTheTablesKey) {
    const std::uint32_t mapLength = 2100;
    for (const std::uint32_t scrambleLength :
         {0u, 1u, 64u, mapLength, mapLength + 1000, 0xFFFFFFFFu}) {
        const PackageWriter writer = TypicalPackage().MapScrambleLength(scrambleLength);
        ASSERT_TRUE(Load(writer, 4242).ok());

        const auto work = m_package.MapWorkBuffer();
        MapRandomTable table;
        std::copy_n(work.begin(), 256, table.begin());
        EXPECT_EQ(table, DrawMapRandomTable(4242)) << "the table is drawn from the tick";

        Bytes map(work.begin() + 256, work.begin() + 256 + mapLength);
        const Bytes original = MapBytesOf(writer);
        const std::size_t n = std::min(scrambleLength, mapLength);
        EXPECT_TRUE(std::equal(map.begin() + n, map.end(), original.begin() + n))
            << "bytes past MapScrambleLength " << scrambleLength << " are copied unchanged";
        ScrambleMapBytes(std::span(map).first(n), DeriveMapScrambleKey(table));
        EXPECT_EQ(map, original) << "MapScrambleLength " << scrambleLength;
    }
}

TEST_F(Loading, LoadsWithDifferentTicksGiveDifferentTablesAndBuffers) {
    ASSERT_TRUE(Load(TypicalPackage(), 1).ok());
    const Bytes first(m_package.MapWorkBuffer().begin(), m_package.MapWorkBuffer().end());
    ASSERT_TRUE(Load(TypicalPackage(), 2).ok());
    const Bytes second(m_package.MapWorkBuffer().begin(), m_package.MapWorkBuffer().end());

    EXPECT_FALSE(std::equal(first.begin(), first.begin() + 256, second.begin()));
    EXPECT_FALSE(std::equal(first.begin() + 256, first.begin() + 256 + 64, second.begin() + 256));
}

TEST_F(Loading, AnEmptyMapLeavesOnlyTheTable) {
    const PackageWriter writer = TypicalPackage().Map({}, 0x40400000, "M000").MapScrambleLength(64);
    ASSERT_TRUE(Load(writer, 7).ok());
    const auto work = m_package.MapWorkBuffer();
    EXPECT_EQ(m_package.MapCapacity(), 8192u);
    EXPECT_TRUE(std::equal(work.begin(), work.begin() + 256, DrawMapRandomTable(7).begin()));
    EXPECT_TRUE(std::all_of(work.begin() + 256, work.end(), [](std::uint8_t b) { return b == 0; }));
}

TEST_F(Loading, WithoutAMapThereIsNoWorkBuffer) {
    ASSERT_TRUE(Load(TypicalPackage().NoMap()).ok());
    EXPECT_TRUE(m_package.MapWorkBuffer().empty());
}

// --- Where the package is looked for -----------------------------------------------------------

TEST(ModuleDirectory, CutsThePathAfterItsLastSeparator) {
    EXPECT_EQ(CutAtLastSeparator("/opt/tarv/tarv-updater", '/'), "/opt/tarv/");
    EXPECT_EQ(CutAtLastSeparator("/tarv-updater", '/'), "/");
    EXPECT_EQ(CutAtLastSeparator("tarv-updater", '/'), "");
    EXPECT_EQ(CutAtLastSeparator("C:\\tools\\tarv.exe", '\\'), "C:\\tools\\");
}

TEST(ModuleDirectory, IsTheDirectoryOfThisExecutable) {
    const std::string directory = GetModuleDirectory();
    ASSERT_FALSE(directory.empty());
    EXPECT_EQ(directory.back(), '/');
    EXPECT_TRUE(fs::exists(directory + "package_tests"));
    EXPECT_EQ(DefaultLoadOptions().packagePath, directory + "TarvUpdate.Bin");
    EXPECT_EQ(DefaultLoadOptions().releaseNotesPath, directory + "readme.txt");
    EXPECT_EQ(GetModuleDisplayName(), "package_tests");
}

}  // namespace
}  // namespace tarv
