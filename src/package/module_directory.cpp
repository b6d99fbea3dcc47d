#include <climits>
#include <string>
#include <unistd.h>

#include "package/package.h"

namespace tarv {
namespace {

std::string ExecutablePath() {
    // /proc/self/exe names the running executable even when it was started through a link.
    std::string path(PATH_MAX, '\0');
    const ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= path.size()) {
        return {};
    }
    path.resize(static_cast<std::size_t>(n));
    return path;
}

}  // namespace

std::string_view CutAtLastSeparator(std::string_view path, char separator) {
    const std::size_t last = path.rfind(separator);
    return last == std::string_view::npos ? std::string_view{} : path.substr(0, last + 1);
}

std::string GetModuleDirectory() {
    // Computed on the first call; thread-safe through the static's initialisation.
    static const std::string directory{CutAtLastSeparator(ExecutablePath(), '/')};
    return directory;
}

std::string GetModuleDisplayName() {
    static const std::string name = [] {
        const std::string path = ExecutablePath();
        std::string file = path.substr(CutAtLastSeparator(path, '/').size());
        if (const std::size_t dot = file.rfind('.'); dot != std::string::npos && dot > 0) {
            file.resize(dot);
        }
        return file;
    }();
    return name;
}

}  // namespace tarv
