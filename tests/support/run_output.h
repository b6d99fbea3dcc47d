// Reading what an update run left: files, the console's JSON event lines, the flash.
#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/expected_flash.h"
#include "support/package_writer.h"

namespace tarv::testing {

// The name the CLI's messages carry: its file name.
inline constexpr char CLI_NAME[] = "tarv-updater-cli";

Bytes ReadBytes(const std::filesystem::path& path);

// The file's SHA-256 as coreutils' sha256sum gives it (64 lower-case hex digits): a reference
// that owes nothing to the updater's own hashing. Empty when it cannot be had.
std::string Sha256Sum(const std::filesystem::path& path);

// Every stdout line as a JSON object; a line that is not one fails the test.
std::vector<nlohmann::json> JsonLines(const std::string& out);
// The events of one kind, in order.
std::vector<nlohmann::json> Events(const std::vector<nlohmann::json>& lines,
                                   const std::string& event);

// "" when `flash` is exactly what a correct run of `writer` leaves on `before`.
std::string FlashMismatch(const PackageWriter& writer, const Bytes& before, const Bytes& flash);

}  // namespace tarv::testing
