// The SHA-256 a package's maker publishes beside it: "TarvUpdate.Bin.sha256" in the format
// sha256sum writes ("<64 hex digits>  <file name>", or " *<file name>" for binary mode; one line
// per file). The updater refuses a package whose bytes do not have that digest.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "package/sha256.h"

namespace tarv {

// What the checksum file beside a package says about it.
struct ExpectedDigest {
    std::optional<Sha256Digest> digest;  // nothing: no checksum file, nothing to check
    std::string source;                  // the checksum file's path, for the messages
    std::string error;                   // set when there is a file but it cannot be used

    bool ok() const { return error.empty(); }
};

// The checksum file for the package at `packagePath`: that path with ".sha256" appended.
std::string ChecksumFilePath(const std::string& packagePath);

// Reads the checksum file of the package at `packagePath`. No file is no digest (not an error);
// a file that cannot be read, or holds no well-formed line for the package's file name, is an
// error naming the file and why. A line without a file name counts for the package.
ExpectedDigest ReadChecksumFile(const std::string& packagePath);

// The digest a checksum file's text gives for `fileName`, or nothing.
std::optional<Sha256Digest> DigestForFile(std::string_view text, std::string_view fileName);

}  // namespace tarv
