// Binary file access shared by the loader's steps (internal to this subsystem).
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

namespace tarv {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Opens a regular file for binary reading. Other processes may read and write it meanwhile;
// nothing is locked. Directories, devices and pipes count as not openable.
File OpenRegularFile(const std::string& path);

// The current length of an open file.
std::optional<std::uint64_t> OpenFileLength(std::FILE* file);

}  // namespace tarv
