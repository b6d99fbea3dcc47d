// Presetting the flash from a file and saving it to one.
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host.h"
#include "sim/simulator.h"
#include "support/fake_clock.h"
#include "support/temp_dir.h"

namespace tarv::sim {
namespace {

using host::Pattern;
using host::SameBytes;

void WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class SimFlashFile : public ::testing::Test {
  protected:
    tarv::testing::FakeClock m_clock;
    SimTransport m_transport{m_clock};
    SimulatedDevice& m_device = m_transport.AddDevice();
    tarv::testing::TempDir m_dir;
};

TEST_F(SimFlashFile, LoadingReplacesTheFlashWithTheFileThenErasedBytes) {
    for (const std::size_t size : {std::size_t{0}, std::size_t{5000}, std::size_t{FLASH_SIZE}}) {
        SCOPED_TRACE(size);
        m_device.PresetFlash(0, std::vector<std::uint8_t>(FLASH_SIZE, 0x00));
        const std::vector<std::uint8_t> content = Pattern(size, 8);
        WriteFile(m_dir / "image.bin", content);

        ASSERT_TRUE(m_device.LoadFlash(m_dir / "image.bin"));

        std::vector<std::uint8_t> expected(FLASH_SIZE, 0xFF);
        std::copy(content.begin(), content.end(), expected.begin());
        EXPECT_TRUE(SameBytes(m_device.ReadFlash(0, FLASH_SIZE), expected));
    }
}

TEST_F(SimFlashFile, AFileThatCannotBeTakenLeavesTheFlashAsItWas) {
    const std::vector<std::uint8_t> before = Pattern(FLASH_SIZE, 9);
    m_device.PresetFlash(0, before);
    WriteFile(m_dir / "too-long.bin", std::vector<std::uint8_t>(FLASH_SIZE + 1, 0x00));

    for (const std::string& path : {m_dir / "too-long.bin", m_dir / "missing.bin", m_dir / ""}) {
        SCOPED_TRACE(path);
        EXPECT_FALSE(m_device.LoadFlash(path));
        EXPECT_TRUE(SameBytes(m_device.ReadFlash(0, FLASH_SIZE), before));
    }
}

TEST_F(SimFlashFile, SavingWritesTheWholeFlashThatLoadsBackTheSame) {
    const std::vector<std::uint8_t> data = Pattern(3 * FLASH_BLOCK_SIZE, 10);
    m_device.PresetFlash(FLASH_SIZE - FLASH_BLOCK_SIZE, data);  // cut at the end of the flash

    ASSERT_TRUE(m_device.SaveFlash(m_dir / "saved.bin"));

    std::vector<std::uint8_t> expected(FLASH_SIZE, 0xFF);
    std::copy_n(data.begin(), FLASH_BLOCK_SIZE, expected.end() - FLASH_BLOCK_SIZE);
    EXPECT_TRUE(SameBytes(ReadFile(m_dir / "saved.bin"), expected));

    SimulatedDevice& other = m_transport.AddDevice();
    ASSERT_TRUE(other.LoadFlash(m_dir / "saved.bin"));
    EXPECT_TRUE(SameBytes(other.ReadFlash(0, FLASH_SIZE), expected));

    EXPECT_FALSE(m_device.SaveFlash(m_dir.path() / "no-such-dir" / "saved.bin"));
}

}  // namespace
}  // namespace tarv::sim
