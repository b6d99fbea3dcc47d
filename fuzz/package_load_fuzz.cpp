// Feeds arbitrary package files through the whole loading sequence, from the file system, as the
// program meets them. The input lives in a memory file; the loader opens it by its /proc path.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "package/package.h"

namespace {

class ConstantClock final : public tarv::Clock {
  public:
    std::uint32_t TickCount() override { return 12345; }
    void SleepFor(std::uint32_t) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const int fd = memfd_create("tarv-fuzz-package", 0);
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);
    static ConstantClock clock;
    if (fd < 0 || ftruncate(fd, 0) != 0) {
        std::abort();
    }
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
        if (n <= 0) {
            std::abort();
        }
        done += static_cast<std::size_t>(n);
    }

    tarv::CUpdatePackage package;
    tarv::LoadOptions options;
    options.packagePath = path;
    options.clock = &clock;
    const tarv::LoadOutcome outcome = tarv::LoadPackage(package, options);
    if (outcome.ok()) {
        // Everything a later step may read must be inside the buffers and defined.
        const auto header = package.Header();
        unsigned sum = 0;
        for (const std::uint8_t b : package.Image()) {
            sum += b;
        }
        for (const std::uint8_t b : package.MapWorkBuffer()) {
            sum += b;
        }
        if (header.Map.Present() && package.MapCapacity() != header.Map.Length + 8192u) {
            std::abort();
        }
        volatile unsigned sink = sum;
        (void)sink;
    } else if (!package.Image().empty() || !package.MapWorkBuffer().empty()) {
        std::abort();  // a refusal releases the buffers
    }
    return 0;
}
