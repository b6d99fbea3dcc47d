// The package's SHA-256: the standard's test vectors, lengths around the 64-byte block and its
// 56-byte padding edge fed in pieces of every size, and what a checksum file says for a file.
#include "package/sha256.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "package/checksum_file.h"

namespace tarv {
namespace {

std::string HexOf(const std::string& text, std::size_t piece = 0) {
    Sha256 hash;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    if (piece == 0) {
        hash.Update(bytes, text.size());
    } else {
        for (std::size_t i = 0; i < text.size(); i += piece) {
            hash.Update(bytes + i, std::min(piece, text.size() - i));
        }
    }
    return Sha256Hex(hash.Final());
}

TEST(Sha256, TheStandardsVectors) {
    const struct {
        std::string text;
        const char* digest;
    } vectors[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqr"
         "lmnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& v : vectors) {
        EXPECT_EQ(HexOf(v.text), v.digest) << v.text.size() << " bytes";
        // The same bytes in pieces that never line up with the block.
        for (const std::size_t piece : {1u, 7u, 63u, 64u, 65u}) {
            EXPECT_EQ(HexOf(v.text, piece), v.digest) << v.text.size() << " in " << piece;
        }
    }
}

// 55 and 56 bytes sit on either side of the padding's edge: the length fits in the last block or
// needs one more. Pieces must not change the digest there either.
TEST(Sha256, LengthsAroundThePaddingEdge) {
    for (std::size_t n = 50; n <= 130; ++n) {
        const std::string text(n, static_cast<char>('a' + n % 26));
        EXPECT_EQ(HexOf(text, 13), HexOf(text)) << n;
    }
    EXPECT_EQ(HexOf(std::string(55, 'a')),
              "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318");
    EXPECT_EQ(HexOf(std::string(56, 'a')),
              "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a");
    EXPECT_EQ(HexOf(std::string(64, 'a')),
              "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb");
}

TEST(Sha256, HexParsesEitherCaseAndNothingElse) {
    const std::string hex = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    ASSERT_TRUE(ParseSha256Hex(hex));
    EXPECT_EQ(Sha256Hex(*ParseSha256Hex(hex)), hex);
    std::string upper = hex;
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    EXPECT_EQ(ParseSha256Hex(upper), ParseSha256Hex(hex));
    for (const std::string& bad : {hex.substr(1), hex + "0", hex.substr(1) + "g", std::string()}) {
        EXPECT_FALSE(ParseSha256Hex(bad)) << bad;
    }
}

TEST(ChecksumFile, TheLineForThePackagesName) {
    const std::string a(64, 'a');
    const std::string b(64, 'b');
    const struct {
        std::string text;
        std::optional<std::string> digest;  // for TarvUpdate.Bin
    } cases[] = {
        {a + "  TarvUpdate.Bin\n", a},
        {a + " *TarvUpdate.Bin\n", a},                        // binary mode
        {a + "  dist/TarvUpdate.Bin\r\n", a},                 // a path, CRLF
        {b + "  Other.Bin\n" + a + "  TarvUpdate.Bin\n", a},  // several files
        {a + "\n", a},                                        // the digest alone
        {b + "  Other.Bin\n", std::nullopt},                  // another file only
        {a + " TarvUpdate.Bin\n", std::nullopt},              // one space: not the format
        {a.substr(1) + "  TarvUpdate.Bin\n", std::nullopt},   // 63 digits
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        const std::optional<Sha256Digest> digest = DigestForFile(c.text, "TarvUpdate.Bin");
        EXPECT_EQ(digest ? std::optional(Sha256Hex(*digest)) : std::nullopt, c.digest) << c.text;
    }
}

}  // namespace
}  // namespace tarv
