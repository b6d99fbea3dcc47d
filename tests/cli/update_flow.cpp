#include "update_flow.h"

#include <fstream>
#include <iterator>
#include <sstream>

#include <gtest/gtest.h>

namespace tarv::testing {

Bytes ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<nlohmann::json> JsonLines(const std::string& out) {
    std::vector<nlohmann::json> lines;
    std::istringstream stream(out);
    for (std::string line; std::getline(stream, line);) {
        const auto j = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
        EXPECT_TRUE(j.is_object()) << "not a JSON object: " << line;
        lines.push_back(j);
    }
    return lines;
}

std::vector<nlohmann::json> Events(const std::vector<nlohmann::json>& lines,
                                   const std::string& event) {
    std::vector<nlohmann::json> found;
    for (const auto& j : lines) {
        if (j.value("event", "") == event) {
            found.push_back(j);
        }
    }
    return found;
}

std::string FlashMismatch(const PackageWriter& writer, const Bytes& before, const Bytes& flash) {
    if (flash.size() != FLASH_BYTES) {
        return "the flash image has " + std::to_string(flash.size()) + " bytes";
    }
    return FirstDifference(flash, ExpectFlash(writer, before, flash));
}

UpdateFlow::UpdateFlow(const PackageWriter& writer, int devices)
    : m_writer(writer), m_nDevices(devices) {
    m_writer.WriteTo(m_dir / "TarvUpdate.Bin");
    for (int k = 1; k <= devices; ++k) {
        m_before.push_back(FlashPattern(static_cast<std::uint32_t>(k)));
        WriteFile(FlashFile("flash-in", k), m_before.back());
    }
}

std::string UpdateFlow::FlashFile(const std::string& name, int device) const {
    return m_dir / (m_nDevices > 1 ? name + "." + std::to_string(device) : name);
}

std::vector<std::string> UpdateFlow::Arguments(const std::vector<std::string>& extra) const {
    std::vector<std::string> arguments = {
        "update",          "--simulate",        "--sim-flash-in",        m_dir / "flash-in",
        "--sim-flash-out", m_dir / "flash-out", m_dir / "TarvUpdate.Bin"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return arguments;
}

CliResult UpdateFlow::Run(const std::vector<std::string>& extra) const {
    return RunCli(Arguments(extra));
}

Bytes UpdateFlow::After(int device) const {
    return ReadBytes(FlashFile("flash-out", device));
}

std::string UpdateFlow::Mismatch(int device) const {
    return FlashMismatch(m_writer, Before(device), After(device));
}

}  // namespace tarv::testing
