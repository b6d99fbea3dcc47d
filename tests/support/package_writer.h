// Builds update package files for tests: section bytes, flash addresses, versions and a key block
// in; a package file with correct check bytes out. Hooks damage any field after the check bytes
// are computed, so a test can show exactly one fault.
//
// Layout of the payload it writes: the 128-byte header, then the program, sound and map sections
// back to back, then zero padding up to the 256-byte alignment the format asks for.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string_view>
#include <vector>

#include "package/package_header.h"

namespace tarv::testing {

using Bytes = std::vector<std::uint8_t>;
using KeyBlock = std::array<std::uint8_t, 1024>;

// `size` bytes of a repeatable pattern that differs with `salt`; covers all 256 byte values.
Bytes PatternBytes(std::size_t size, std::uint32_t salt = 0);

// A key block whose bytes take every value, top bit included.
KeyBlock DefaultKeyBlock();

// The format's check byte walk: from `start`, XOR together `blocks` blocks of 1024 bytes.
// Bytes past the end of `payload` count as zero, as they are in the loaded image.
std::uint8_t XorBlocks(const Bytes& payload, std::size_t start, std::size_t blocks);

// Stored byte p = plain[p] XOR (key[p mod 1024] >> 1); the same call undoes it.
Bytes ScramblePayload(const Bytes& payload, const KeyBlock& key);

class PackageWriter {
  public:
    PackageWriter();

    PackageWriter& Program(Bytes bytes, std::uint32_t flashAddress, std::string_view version);
    PackageWriter& Sound(Bytes bytes, std::uint32_t flashAddress, std::string_view version);
    PackageWriter& Map(Bytes bytes, std::uint32_t flashAddress, std::string_view version);
    // Absent sections keep their flash address and version fields; only Length says "absent".
    PackageWriter& NoProgram();
    PackageWriter& NoSound();
    PackageWriter& NoMap();
    PackageWriter& MapScrambleLength(std::uint32_t length);
    PackageWriter& Key(const KeyBlock& key);
    // Pads the payload so that its length less the header is a multiple of 256 (on by default).
    PackageWriter& Align(bool align);

    // Damage, applied in this order after the check bytes are set: the decoded header, the plain
    // payload bytes, then the file bytes (key block and scrambled payload).
    PackageWriter& EditHeader(std::function<void(PackageHeader&)> edit);
    PackageWriter& EditPayload(std::function<void(Bytes&)> edit);
    PackageWriter& EditFile(std::function<void(Bytes&)> edit);

    PackageHeader Header() const;  // as written, edits included
    Bytes Payload() const;         // the plain payload, edits included
    Bytes File() const;            // the whole package file
    void WriteTo(const std::filesystem::path& path) const;

  private:
    struct Section {
        Bytes bytes;
        std::uint32_t flashAddress = 0;
        std::array<char, 4> version{};
        bool present = false;
    };
    PackageWriter& Set(Section& section, Bytes bytes, std::uint32_t flash, std::string_view v);
    Bytes BuildPayload(PackageHeader* headerOut) const;

    Section m_program;
    Section m_sound;
    Section m_map;
    std::uint32_t m_nMapScrambleLength = 0;
    KeyBlock m_key;
    bool m_bAlign = true;
    std::vector<std::function<void(PackageHeader&)>> m_headerEdits;
    std::vector<std::function<void(Bytes&)>> m_payloadEdits;
    std::vector<std::function<void(Bytes&)>> m_fileEdits;
};

// A small package with all three sections, for tests that need any valid package.
PackageWriter TypicalPackage();

void WriteFile(const std::filesystem::path& path, std::string_view bytes);
void WriteFile(const std::filesystem::path& path, const Bytes& bytes);

}  // namespace tarv::testing
