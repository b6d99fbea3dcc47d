#include "update_flow.h"

#include <fstream>
#include <iterator>
#include <sstream>

#include <gtest/gtest.h>

namespace tarv::testing {

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
