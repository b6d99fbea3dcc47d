#include "package/checksum_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace tarv {
namespace {

// Checksum files are a line or a few; anything larger is not one.
constexpr std::streamsize MAX_CHECKSUM_FILE = 64 * 1024;

std::string_view BaseName(std::string_view path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string ChecksumFilePath(const std::string& packagePath) {
    return packagePath + ".sha256";
}

std::optional<Sha256Digest> DigestForFile(std::string_view text, std::string_view fileName) {
    std::optional<Sha256Digest> unnamed;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        const std::optional<Sha256Digest> digest = ParseSha256Hex(line.substr(0, 64));
        if (!digest) {
            continue;
        }
        std::string_view rest = line.substr(64);
        if (rest.empty()) {
            unnamed = digest;
            continue;
        }
        // "<hex>  name" (text mode) or "<hex> *name" (binary mode).
        if (rest.size() < 3 || rest[0] != ' ' || (rest[1] != ' ' && rest[1] != '*')) {
            continue;
        }
        rest.remove_prefix(2);
        if (BaseName(rest) == fileName) {
            return digest;
        }
    }
    return unnamed;
}

ExpectedDigest ReadChecksumFile(const std::string& packagePath) {
    ExpectedDigest expected;
    expected.source = ChecksumFilePath(packagePath);
    struct stat info {};
    if (::stat(expected.source.c_str(), &info) != 0) {
        if (errno != ENOENT) {
            expected.error =
                "Cannot read the checksum file " + expected.source + ": " + std::strerror(errno);
        }
        return expected;
    }
    if (!S_ISREG(info.st_mode)) {
        expected.error =
            "cannot read the checksum file " + expected.source + ": not a regular file";
        return expected;
    }
    std::ifstream in(expected.source, std::ios::binary);
    if (!in) {
        expected.error =
            "Cannot read the checksum file " + expected.source + ": " + std::strerror(errno);
        return expected;
    }
    std::string text(static_cast<std::size_t>(MAX_CHECKSUM_FILE) + 1, '\0');
    in.read(text.data(), MAX_CHECKSUM_FILE + 1);
    if (in.bad()) {
        expected.error = "Cannot read the checksum file " + expected.source + ": read error";
        return expected;
    }
    text.resize(static_cast<std::size_t>(in.gcount()));
    const std::string fileName(BaseName(packagePath));
    if (text.size() > static_cast<std::size_t>(MAX_CHECKSUM_FILE) ||
        !(expected.digest = DigestForFile(text, fileName))) {
        expected.error =
            "The checksum file " + expected.source + " holds no SHA-256 for " + fileName;
    }
    return expected;
}

}  // namespace tarv
