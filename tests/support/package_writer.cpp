#include "support/package_writer.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>

namespace tarv::testing {

Bytes PatternBytes(std::size_t size, std::uint32_t salt) {
    Bytes bytes(size);
    std::uint32_t x = 0x9E3779B9u ^ (salt * 0x85EBCA6Bu);
    for (auto& b : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    return bytes;
}

KeyBlock DefaultKeyBlock() {
    KeyBlock key{};
    for (std::size_t i = 0; i < key.size(); ++i) {
        key[i] = static_cast<std::uint8_t>(i * 37 + 11);
    }
    return key;
}

std::uint8_t XorBlocks(const Bytes& payload, std::size_t start, std::size_t blocks) {
    std::uint8_t acc = 0;
    for (std::size_t i = start; i < start + blocks * 1024; ++i) {
        acc ^= i < payload.size() ? payload[i] : 0;
    }
    return acc;
}

Bytes ScramblePayload(const Bytes& payload, const KeyBlock& key) {
    Bytes out(payload);
    for (std::size_t p = 0; p < out.size(); ++p) {
        out[p] ^= static_cast<std::uint8_t>(key[p % 1024] >> 1);
    }
    return out;
}

PackageWriter::PackageWriter() : m_key(DefaultKeyBlock()) {
    // Absent sections still carry ordered flash addresses, as real packages do.
    m_program.flashAddress = 0x40010000;
    m_sound.flashAddress = 0x40100000;
    m_map.flashAddress = 0x40400000;
}

PackageWriter& PackageWriter::Set(Section& section, Bytes bytes, std::uint32_t flash,
                                  std::string_view version) {
    if (version.size() != 4) {
        throw std::invalid_argument("a section version has four characters");
    }
    section.bytes = std::move(bytes);
    section.flashAddress = flash;
    std::copy(version.begin(), version.end(), section.version.begin());
    section.present = true;
    return *this;
}

PackageWriter& PackageWriter::Program(Bytes bytes, std::uint32_t flash, std::string_view v) {
    return Set(m_program, std::move(bytes), flash, v);
}
PackageWriter& PackageWriter::Sound(Bytes bytes, std::uint32_t flash, std::string_view v) {
    return Set(m_sound, std::move(bytes), flash, v);
}
PackageWriter& PackageWriter::Map(Bytes bytes, std::uint32_t flash, std::string_view v) {
    return Set(m_map, std::move(bytes), flash, v);
}
PackageWriter& PackageWriter::NoProgram() {
    m_program.present = false;
    return *this;
}
PackageWriter& PackageWriter::NoSound() {
    m_sound.present = false;
    return *this;
}
PackageWriter& PackageWriter::NoMap() {
    m_map.present = false;
    return *this;
}
PackageWriter& PackageWriter::MapScrambleLength(std::uint32_t length) {
    m_nMapScrambleLength = length;
    return *this;
}
PackageWriter& PackageWriter::Key(const KeyBlock& key) {
    m_key = key;
    return *this;
}
PackageWriter& PackageWriter::Align(bool align) {
    m_bAlign = align;
    return *this;
}
PackageWriter& PackageWriter::EditHeader(std::function<void(PackageHeader&)> edit) {
    m_headerEdits.push_back(std::move(edit));
    return *this;
}
PackageWriter& PackageWriter::EditPayload(std::function<void(Bytes&)> edit) {
    m_payloadEdits.push_back(std::move(edit));
    return *this;
}
PackageWriter& PackageWriter::EditFile(std::function<void(Bytes&)> edit) {
    m_fileEdits.push_back(std::move(edit));
    return *this;
}

Bytes PackageWriter::BuildPayload(PackageHeader* headerOut) const {
    PackageHeader header;
    std::copy_n("TARVPKG", 8, header.TextA.begin());
    std::copy_n("TEST-BUILD", 10, header.TextB.begin());
    header.MapScrambleLength = m_nMapScrambleLength;

    Bytes payload(PackageHeader::SIZE, 0);
    std::uint32_t offset = PackageHeader::SIZE;
    const auto place = [&](const Section& s, PackageSection& entry) {
        entry.Offset = offset;
        entry.FlashAddress = s.flashAddress;
        entry.Version = s.version;
        entry.Length = s.present ? static_cast<std::uint32_t>(s.bytes.size()) : 0xFFFFFFFF;
        if (s.present) {
            payload.insert(payload.end(), s.bytes.begin(), s.bytes.end());
            offset += static_cast<std::uint32_t>(s.bytes.size());
        }
    };
    place(m_program, header.Program);
    place(m_sound, header.Sound);
    place(m_map, header.Map);
    if (m_bAlign) {
        payload.resize(PackageHeader::SIZE +
                       (payload.size() - PackageHeader::SIZE + 255) / 256 * 256);
    }

    // The check bytes come from one walk that starts at the program and never jumps to the
    // other sections' offsets: each section covers the whole blocks right after the previous
    // section's whole blocks.
    std::size_t position = header.Program.Offset;
    const auto check = [&](const PackageSection& entry) -> std::uint8_t {
        if (!entry.Present()) {
            return 0;
        }
        const std::size_t blocks = (entry.Length / 1024) % 65536;
        const std::uint8_t value = XorBlocks(payload, position, blocks);
        position += blocks * 1024;
        return value;
    };
    header.ProgramCheck = check(header.Program);
    header.SoundCheck = check(header.Sound);
    header.MapCheck = check(header.Map);

    for (const auto& edit : m_headerEdits) {
        edit(header);
    }
    header.EncodeTo(
        std::span<std::uint8_t, PackageHeader::SIZE>(payload.data(), PackageHeader::SIZE));
    for (const auto& edit : m_payloadEdits) {
        edit(payload);
    }
    if (headerOut != nullptr) {
        *headerOut = header;
    }
    return payload;
}

PackageHeader PackageWriter::Header() const {
    PackageHeader header;
    BuildPayload(&header);
    return header;
}

Bytes PackageWriter::Payload() const {
    return BuildPayload(nullptr);
}

Bytes PackageWriter::File() const {
    Bytes file(m_key.begin(), m_key.end());
    const Bytes scrambled = ScramblePayload(Payload(), m_key);
    file.insert(file.end(), scrambled.begin(), scrambled.end());
    for (const auto& edit : m_fileEdits) {
        edit(file);
    }
    return file;
}

void PackageWriter::WriteTo(const std::filesystem::path& path) const {
    WriteFile(path, File());
}

PackageWriter TypicalPackage() {
    PackageWriter writer;
    writer.Program(PatternBytes(3000, 1), 0x40010000, "P101")
        .Sound(PatternBytes(5000, 2), 0x40100000, "S202")
        .Map(PatternBytes(2100, 3), 0x40400000, "M303")
        .MapScrambleLength(64);
    return writer;
}

void WriteFile(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

void WriteFile(const std::filesystem::path& path, const Bytes& bytes) {
    WriteFile(path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

}  // namespace tarv::testing
