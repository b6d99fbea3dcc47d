#include "package/package.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "package/file_io.h"
#include "package/map_section.h"
#include "package/release_notes.h"

namespace tarv {
namespace {

// The payload is read in chunks of this size and unmasked while the chunk is still in cache. A
// multiple of the key block, so every chunk starts at key position 0, as the 1024-byte block walk
// of the format has it.
constexpr std::size_t READ_CHUNK = 256 * 1024;
static_assert(READ_CHUNK % PKG_KEY_BLOCK_SIZE == 0);

using KeyMask = std::array<std::uint8_t, PKG_KEY_BLOCK_SIZE>;

// Payload byte p is stored XORed with key[p mod 1024] >> 1: the top bit of every byte passes
// unchanged. `bytes` starts at a key position of 0.
void UnmaskPayload(std::uint8_t* bytes, std::size_t n, const KeyMask& mask) {
    std::size_t i = 0;
    // Whole blocks: a fixed-length loop over two distinct arrays, which the compiler vectorises.
    for (; i + PKG_KEY_BLOCK_SIZE <= n; i += PKG_KEY_BLOCK_SIZE) {
        std::uint8_t* block = bytes + i;
        for (std::size_t k = 0; k < PKG_KEY_BLOCK_SIZE; ++k) {
            block[k] ^= mask[k];
        }
    }
    for (std::size_t k = 0; i < n; ++i, ++k) {
        bytes[i] ^= mask[k];
    }
}

// A package of many megabytes is read into fresh memory, and on Linux most of the load's time
// goes into faulting in its 4 KiB pages. Huge pages, where the kernel grants them, cut that by a
// factor of 512. Only a hint: nothing changes when it is refused.
void AdviseHugePages([[maybe_unused]] void* p, [[maybe_unused]] std::size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t HUGE_PAGE = 2u << 20;
    const auto begin = (reinterpret_cast<std::uintptr_t>(p) + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(p) + size) & ~(HUGE_PAGE - 1);
    if (end > begin) {
        madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
    }
#endif
}

}  // namespace

bool CUpdatePackage::AllocateBuffer(AllocateFn allocate, std::uint32_t capacity, Buffer& buffer,
                                    std::uint32_t& held) {
    auto* p = static_cast<std::uint8_t*>(allocate(capacity));
    if (p == nullptr) {
        return false;
    }
    buffer.reset(p);
    held = capacity;
    AdviseHugePages(p, capacity);
    return true;
}

LoadStatus CUpdatePackage::AllocateImage(std::uint32_t fileLength, AllocateFn allocate) {
    return AllocateBuffer(allocate, fileLength + PKG_IMAGE_SLACK, m_pPackageImage, m_nImageCapacity)
               ? LoadStatus::Success()
               : LoadStatus::Failure(MSG_ALLOCATE_IMAGE_FAILED);
}

LoadStatus CUpdatePackage::ReadPackageFile(const std::string& path, bool digest) {
    m_nCursor = 0;
    m_nPayloadLength = 0;
    m_path = path;
    m_sha256.reset();
    std::optional<Sha256> hash;
    if (digest) {
        hash.emplace();
    }
    if (!m_pPackageImage) {
        return LoadStatus::Failure(MSG_READ_FILE_ERROR);  // nothing to read into
    }
    File file = OpenRegularFile(path);
    if (!file) {
        return LoadStatus::Failure(MSG_NO_PACKAGE_FILE);
    }
    // Large reads go straight into the image; the stream's own buffer would only add a copy.
    std::setvbuf(file.get(), nullptr, _IONBF, 0);

    std::array<std::uint8_t, PKG_KEY_BLOCK_SIZE> key{};
    // A short key block is not looked at here: the length check below refuses such a file.
    const std::size_t keyRead = std::fread(key.data(), 1, key.size(), file.get());
    if (hash) {
        hash->Update(key.data(), keyRead);
    }
    KeyMask mask{};
    for (std::size_t i = 0; i < mask.size(); ++i) {
        mask[i] = static_cast<std::uint8_t>(key[i] >> 1);
    }

    // The image has room for the payload the file had when it was measured, plus the slack. One
    // byte more than that payload is asked for, so that a file that has grown since is caught by
    // the length check instead of running past the buffer.
    const std::uint32_t room = m_nImageCapacity >= PKG_IMAGE_SLACK + PKG_KEY_BLOCK_SIZE
                                   ? m_nImageCapacity - PKG_IMAGE_SLACK - PKG_KEY_BLOCK_SIZE + 1
                                   : 1;
    bool readError = std::ferror(file.get()) != 0;
    if (keyRead == key.size()) {
        while (m_nCursor < room) {
            const std::size_t want = std::min<std::size_t>(READ_CHUNK, room - m_nCursor);
            std::uint8_t* dest = m_pPackageImage.get() + m_nCursor;
            const std::size_t n = std::fread(dest, 1, want, file.get());
            if (hash) {
                hash->Update(dest, n);  // the file's bytes, as they are on disk
            }
            UnmaskPayload(dest, n, mask);  // every chunk but the last is whole
            m_nCursor += static_cast<std::uint32_t>(n);
            if (n < want) {
                readError = std::ferror(file.get()) != 0;
                break;
            }
        }
    }
    m_nPayloadLength = m_nCursor;
    if (hash) {
        m_sha256 = hash->Final();
    }
    // Later sums read whole blocks and pages past a section's end: those bytes are zero.
    std::memset(m_pPackageImage.get() + m_nPayloadLength, 0, m_nImageCapacity - m_nPayloadLength);

    const std::optional<std::uint64_t> length = OpenFileLength(file.get());
    if (readError || !length ||
        static_cast<std::uint64_t>(m_nPayloadLength) + PKG_KEY_BLOCK_SIZE != *length) {
        return LoadStatus::Failure(MSG_READ_FILE_ERROR);
    }
    return LoadStatus::Success();
}

void CUpdatePackage::CopyHeaderAndVersionText() {
    std::copy_n(m_pPackageImage.get(), PackageHeader::SIZE, m_headerCopy.begin());
    m_PackageVersionText = BuildPackageVersionText(Header());
}

LoadStatus CUpdatePackage::CheckMapSection() const {
    const PackageSection map = Header().Map;
    if (!map.Present()) {
        return LoadStatus::Success();
    }
    if (map.Length > PKG_MAX_LENGTH || map.FlashAddress > FLASH_END) {
        return LoadStatus::Failure(MSG_MAP_INFORMATION);
    }
    // Neither side overflows: both operands are bounded by the check above.
    if (map.Length + MAP_TABLE_SIZE > FLASH_END - map.FlashAddress) {
        return LoadStatus::Failure(MSG_MAP_EXCEEDS_FLASH);
    }
    // The map bytes are copied out of the payload, so they must lie inside it.
    if (static_cast<std::uint64_t>(map.Offset) + map.Length > m_nPayloadLength) {
        return LoadStatus::Failure(MSG_MAP_INFORMATION);
    }
    return LoadStatus::Success();
}

LoadStatus CUpdatePackage::AllocateMapWorkBuffer(AllocateFn allocate) {
    const std::uint32_t capacity = Header().Map.Length + PKG_IMAGE_SLACK;
    return AllocateBuffer(allocate, capacity, m_pMapWorkBuffer, m_nMapCapacity)
               ? LoadStatus::Success()
               : LoadStatus::Failure(MSG_ALLOCATE_MAP_FAILED);
}

void CUpdatePackage::PrepareMapSection(std::uint32_t seed) {
    const PackageHeader header = Header();
    const std::uint32_t length = header.Map.Length;
    const MapRandomTable table = DrawMapRandomTable(seed);
    const MapScrambleKey key = DeriveMapScrambleKey(table);

    std::uint8_t* buffer = m_pMapWorkBuffer.get();
    std::copy(table.begin(), table.end(), buffer);
    std::copy_n(m_pPackageImage.get() + header.Map.Offset, length, buffer + MAP_TABLE_SIZE);
    // The page sums over the map area take its last page whole: the bytes after it are zero.
    std::memset(buffer + MAP_TABLE_SIZE + length, 0, m_nMapCapacity - MAP_TABLE_SIZE - length);
    const std::uint32_t scrambled = std::min(header.MapScrambleLength, length);
    ScrambleMapBytes({buffer + MAP_TABLE_SIZE, scrambled}, key);
}

void CUpdatePackage::ReleasePackageBuffers() {
    m_pPackageImage.reset();
    m_nImageCapacity = 0;
    m_pMapWorkBuffer.reset();
    m_nMapCapacity = 0;
}

std::optional<std::uint64_t> QueryPackageSize(const std::string& path) {
    const File file = OpenRegularFile(path);
    if (!file) {
        return std::nullopt;
    }
    return OpenFileLength(file.get());
}

LoadOptions DefaultLoadOptions() {
    const std::string directory = GetModuleDirectory();
    LoadOptions options;
    options.packagePath = directory + PACKAGE_FILE_NAME;
    options.releaseNotesPath = directory + RELEASE_NOTES_FILE_NAME;
    return options;
}

LoadOutcome LoadPackage(CUpdatePackage& package, const LoadOptions& options) {
    const auto refuse = [&package](std::string_view message) {
        package.ReleasePackageBuffers();
        return LoadOutcome{LoadStatus::Failure(message), {}};
    };

    // Without a length there is nothing to read, so the read is not attempted.
    const std::optional<std::uint64_t> length = QueryPackageSize(options.packagePath);
    if (!length) {
        return refuse(MSG_OPEN_PACKAGE_FAILED);
    }
    // Compared at full width: a file of 4 GiB and more must not pass as its low 32 bits.
    if (*length > PKG_MAX_LENGTH) {
        return refuse(MSG_PACKAGE_TOO_LARGE);
    }
    if (LoadStatus s = package.AllocateImage(static_cast<std::uint32_t>(*length), options.allocate);
        !s.ok()) {
        return refuse(s.message);
    }
    if (LoadStatus s = package.ReadPackageFile(
            options.packagePath, options.computeSha256 || options.expectedSha256.has_value());
        !s.ok()) {
        return refuse(s.message);
    }
    // A damaged file is told as such before any of its bytes are taken for a header.
    if (options.expectedSha256 && package.FileDigest() != options.expectedSha256) {
        return refuse(MSG_PACKAGE_DAMAGED);
    }
    // A payload without a whole header holds no package data to interpret.
    if (package.PayloadLength() < PKG_HEADER_SIZE) {
        return refuse(MSG_PAYLOAD_TOO_SMALL);
    }
    package.CopyHeaderAndVersionText();
    LoadOutcome outcome{LoadStatus::Success(), {}};
    if (!options.releaseNotesPath.empty()) {
        outcome.welcomeText = ComposeWelcomeText(options.releaseNotesPath);
    } else {
        outcome.welcomeText = WelcomeTextFromNotes({});
    }

    if (!package.Header().Map.Present()) {
        return outcome;
    }
    if (LoadStatus s = package.CheckMapSection(); !s.ok()) {
        return refuse(s.message);
    }
    if (LoadStatus s = package.AllocateMapWorkBuffer(options.allocate); !s.ok()) {
        return refuse(s.message);
    }
    package.PrepareMapSection(options.clock->TickCount());
    return outcome;
}

}  // namespace tarv
