// Peak memory of one piece of work, measured in a freshly started copy of the benchmark, whose
// high-water mark starts from nothing.
//
// The benchmark's main answers `--peak-child PATH` by calling RunPeakChild with its work; the
// measuring side calls ChildPeakKiB.
#pragma once

#include <cstdio>
#include <string>

namespace tarv::bench {

// The high-water mark of resident memory of this process, in KiB; -1 when unknown.
inline long HighWaterKiB() {
    std::FILE* f = std::fopen("/proc/self/status", "r");
    char line[256];
    long kib = -1;
    while (f != nullptr && std::fgets(line, sizeof line, f) != nullptr) {
        if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1) {
            break;
        }
    }
    if (f != nullptr) {
        std::fclose(f);
    }
    return kib;
}

// In the child: does `work`, prints the mark before and after it, returns the exit status.
template <typename Work>
int RunPeakChild(Work&& work) {
    const long before = HighWaterKiB();
    const bool ok = work();
    std::printf("%ld %ld\n", before, HighWaterKiB());
    return ok ? 0 : 1;
}

// Starts `self --peak-child path` and returns how far its work raised the mark; negative when
// the child said nothing.
inline long ChildPeakKiB(const char* self, const std::string& path) {
    const std::string command = std::string(self) + " --peak-child " + path;
    std::FILE* pipe = popen(command.c_str(), "r");
    long before = -1;
    long after = -1;
    if (pipe == nullptr || std::fscanf(pipe, "%ld %ld", &before, &after) != 2) {
        after = before - 1;
    }
    if (pipe != nullptr) {
        pclose(pipe);
    }
    return after - before;
}

}  // namespace tarv::bench
