// The update package: reading it, descrambling it and preparing its map section.
//
// Read this header first. `LoadPackage` runs the whole loading sequence into a `CUpdatePackage`
// and returns either success with the welcome text, or the exact message of the step that refused
// the package; the caller shows that message and ends the program with exit status 1. Nothing in
// this subsystem shows anything or touches a device.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/clock.h"
#include "package/limits.h"
#include "package/messages.h"
#include "package/package_header.h"
#include "package/sha256.h"

namespace tarv {

// Allocates `size` bytes that std::free releases, or returns null. Loading takes it as a
// parameter so that tests can make any allocation fail.
using AllocateFn = void* (*)(std::size_t size);

// Outcome of one loading step: success, or the exact message to show.
struct [[nodiscard]] LoadStatus {
    std::string_view message;  // empty on success; otherwise one of the MSG_ constants

    bool ok() const { return message.empty(); }
    static LoadStatus Success() { return {}; }
    static LoadStatus Failure(std::string_view text) { return {text}; }
};

// The package as the update needs it, held from load to exit. The application object owns the
// one instance. Loading writes it before any worker thread exists; afterwards it is only read.
class CUpdatePackage {
  public:
    CUpdatePackage() = default;
    CUpdatePackage(const CUpdatePackage&) = delete;
    CUpdatePackage& operator=(const CUpdatePackage&) = delete;
    ~CUpdatePackage() = default;

    // --- Loading steps, in the order LoadPackage runs them -------------------------------------

    // Allocates the image buffer for a package file of `fileLength` bytes (at most
    // PKG_MAX_LENGTH): the payload and PKG_IMAGE_SLACK more. Fails with MSG_ALLOCATE_IMAGE_FAILED.
    LoadStatus AllocateImage(std::uint32_t fileLength, AllocateFn allocate = &std::malloc);

    // Reads the file at `path` into the image, descrambling it with its key block. Needs the
    // image from AllocateImage. Fails with MSG_NO_PACKAGE_FILE when the file cannot be opened and
    // with MSG_READ_FILE_ERROR when the bytes read do not make up the whole file (a file shorter
    // than the key block, a read error, a file that changed size since it was measured). Every
    // image byte past the payload is zero afterwards.
    // With `digest`, the SHA-256 of the file's bytes as read is kept (`FileDigest()`).
    LoadStatus ReadPackageFile(const std::string& path, bool digest = false);

    // Copies the header out of the image and builds the version text. Needs a payload of at
    // least PKG_HEADER_SIZE bytes.
    void CopyHeaderAndVersionText();

    // The load-time checks of the map section on the header copy; success when it is absent.
    LoadStatus CheckMapSection() const;

    // Allocates the map work buffer for the map section of the header copy, which must be
    // present and checked. Fails with MSG_ALLOCATE_MAP_FAILED.
    LoadStatus AllocateMapWorkBuffer(AllocateFn allocate = &std::malloc);

    // Fills the map work buffer: a table drawn from `seed`, then the map section with its first
    // MapScrambleLength bytes scrambled by the key derived from the table. Cannot fail.
    void PrepareMapSection(std::uint32_t seed);

    // Frees the image and the map work buffer. Safe to call any number of times.
    void ReleasePackageBuffers();

    // --- What the load leaves -------------------------------------------------------------------

    // The descrambled payload.
    std::span<const std::uint8_t> Payload() const {
        return {m_pPackageImage.get(), m_nPayloadLength};
    }
    // The whole image buffer: the payload, then zeros up to the capacity.
    std::span<const std::uint8_t> Image() const {
        return {m_pPackageImage.get(), m_nImageCapacity};
    }
    std::uint32_t PayloadLength() const { return m_nPayloadLength; }
    std::uint32_t ImageCapacity() const { return m_nImageCapacity; }

    // The map work buffer: MapRandomTable, the prepared map section, then zeros up to the
    // capacity. Empty when the package has no map section.
    std::span<const std::uint8_t> MapWorkBuffer() const {
        return {m_pMapWorkBuffer.get(), m_nMapCapacity};
    }
    std::uint32_t MapCapacity() const { return m_nMapCapacity; }

    // The header copy, decoded: the payload's first bytes as loaded.
    PackageHeader Header() const { return PackageHeader::Decode(m_headerCopy); }

    const PackageVersionText& VersionText() const { return m_PackageVersionText; }

    // The path the package was read from, and the SHA-256 of the bytes read, when the load was
    // asked for it (`FileDigest`). Both stay after a refusal, for its message.
    const std::string& Path() const { return m_path; }
    const std::optional<Sha256Digest>& FileDigest() const { return m_sha256; }

    // The running position in the image: the next free byte after the read.
    std::uint32_t Cursor() const { return m_nCursor; }

  private:
    struct FreeBuffer {
        void operator()(std::uint8_t* p) const { std::free(p); }
    };
    using Buffer = std::unique_ptr<std::uint8_t[], FreeBuffer>;

    static bool AllocateBuffer(AllocateFn allocate, std::uint32_t capacity, Buffer& buffer,
                               std::uint32_t& held);

    Buffer m_pPackageImage;
    Buffer m_pMapWorkBuffer;
    std::uint32_t m_nImageCapacity = 0;
    std::uint32_t m_nMapCapacity = 0;
    std::uint32_t m_nCursor = 0;
    std::uint32_t m_nPayloadLength = 0;
    std::array<std::uint8_t, PackageHeader::SIZE> m_headerCopy{};
    PackageVersionText m_PackageVersionText{};
    std::string m_path;
    std::optional<Sha256Digest> m_sha256;
};

// Opens the file at `path` for reading and returns its length, or nothing when it cannot be
// opened or is not a regular file.
std::optional<std::uint64_t> QueryPackageSize(const std::string& path);

struct LoadOptions {
    std::string packagePath;
    std::string releaseNotesPath;             // empty: no release notes
    Clock* clock = &SystemClock::Instance();  // its tick seeds the map table
    AllocateFn allocate = &std::malloc;
    // Keep the SHA-256 of the file's bytes as read. Hashing costs more than the rest of the load,
    // so it is done only when a digest is checked or recorded.
    bool computeSha256 = false;
    // When set, a file whose bytes have another digest is refused right after the read, before
    // anything in it is interpreted, with MSG_PACKAGE_DAMAGED.
    std::optional<Sha256Digest> expectedSha256;
};

// Where the program looks: the package and the release notes beside the executable.
LoadOptions DefaultLoadOptions();

struct LoadOutcome {
    LoadStatus status;
    std::string welcomeText;  // set on success

    bool ok() const { return status.ok(); }
};

// The whole loading sequence. On failure the package's buffers are already released and
// `status.message` is what to show before exiting with status 1.
LoadOutcome LoadPackage(CUpdatePackage& package, const LoadOptions& options);

// The running executable's directory with its trailing '/', computed once. Empty when the
// executable's path is unknown, so file names are then taken relative to the working directory.
std::string GetModuleDirectory();

// The running executable's file name without its extension: the caption of every message.
std::string GetModuleDisplayName();

// Everything up to and including the last `separator`; empty when there is none.
std::string_view CutAtLastSeparator(std::string_view path, char separator);

}  // namespace tarv
