// tarv-hold-marker NAME: tries to create the in-use marker NAME and prints "created", "exists" or
// "failed". A created marker is held until standard input closes (or the process is killed).
#include <cstdio>
#include <memory>
#include <unistd.h>

#include "link/in_use_marker.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: tarv-hold-marker NAME\n");
        return 2;
    }
    tarv::AbstractSocketMarker marker(argv[1]);
    std::unique_ptr<tarv::InUseMarker::Hold> hold;
    const auto result = marker.Create(hold);
    std::puts(result == tarv::InUseMarker::Result::Created         ? "created"
              : result == tarv::InUseMarker::Result::AlreadyExists ? "exists"
                                                                   : "failed");
    std::fflush(stdout);
    char c;
    while (hold && read(STDIN_FILENO, &c, 1) > 0) {
    }
    return 0;
}
