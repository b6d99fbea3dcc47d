#include "package/file_io.h"

#include <sys/stat.h>

namespace tarv {

File OpenRegularFile(const std::string& path) {
    File file{std::fopen(path.c_str(), "rb")};
    if (!file) {
        return nullptr;
    }
    struct stat info {};
    if (fstat(fileno(file.get()), &info) != 0 || !S_ISREG(info.st_mode)) {
        return nullptr;
    }
    return file;
}

std::optional<std::uint64_t> OpenFileLength(std::FILE* file) {
    struct stat info {};
    if (fstat(fileno(file), &info) != 0 || info.st_size < 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(info.st_size);
}

}  // namespace tarv
