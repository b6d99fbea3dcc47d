// SHA-256 of a package file, so that a damaged file can be told from the one its maker meant.
//
// Written here rather than taken from a crypto library: the core stays free of system libraries,
// so every build of it (this one and the cross-built ones) hashes with the same code. Checked
// against the standard's test vectors and against sha256sum.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarv {

using Sha256Digest = std::array<std::uint8_t, 32>;

class Sha256 {
  public:
    Sha256();
    void Update(const std::uint8_t* bytes, std::size_t n);
    // The digest of everything given so far. The object is spent afterwards.
    Sha256Digest Final();

  private:
    void Compress(const std::uint8_t* block);

    std::array<std::uint32_t, 8> m_state;
    std::array<std::uint8_t, 64> m_block{};
    std::size_t m_nBlockUsed = 0;
    std::uint64_t m_nTotal = 0;
};

// 64 lower-case hex digits.
std::string Sha256Hex(const Sha256Digest& digest);
// 64 hex digits of either case, nothing else; nothing when the text is not that.
std::optional<Sha256Digest> ParseSha256Hex(std::string_view text);

}  // namespace tarv
