// The backend on the real library and this machine's devices. Nothing here assumes a device is
// attached; the checks hold on a machine with no HID device at all.
#include <memory>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "link/hidapi/hidapi_transport.h"

namespace tarv {
namespace {

class HidapiSystem : public ::testing::Test {
  protected:
    void SetUp() override {
        if (RealHidapiFunctions().init() != 0) {
            GTEST_SKIP() << "hidapi cannot start here";
        }
    }

    HidapiTransport m_transport;
};

TEST_F(HidapiSystem, EnumeratesWhateverIsPresent) {
    const std::optional<std::vector<HidInterfaceEntry>> entries = m_transport.Enumerate();

    ASSERT_TRUE(entries.has_value());
    for (const HidInterfaceEntry& entry : *entries) {
        if (entry.readable) {
            EXPECT_FALSE(entry.path.empty());
        }
    }
}

TEST_F(HidapiSystem, AMissingNodeIsGone) {
    OpenError error = OpenError::None;

    EXPECT_EQ(m_transport.Open("/dev/hidraw-tarv-test-missing", &error), nullptr);
    EXPECT_EQ(error, OpenError::Gone);
}

}  // namespace
}  // namespace tarv
