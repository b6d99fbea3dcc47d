#include "support/run_output.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include <gtest/gtest.h>

namespace tarv::testing {

std::string Sha256Sum(const std::filesystem::path& path) {
    std::string command = "sha256sum < '" + path.string() + "'";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return "";
    }
    char digest[65] = {};
    const std::size_t n = std::fread(digest, 1, 64, pipe);
    ::pclose(pipe);
    return n == 64 ? std::string(digest, 64) : std::string();
}

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

}  // namespace tarv::testing
