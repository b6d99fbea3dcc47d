#include "base/std_descriptors.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace tarv {

void OpenMissingStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        // open(2) takes the lowest free number, which is this one: the lower ones are open.
        const int opened = open("/dev/null", O_RDWR);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}

}  // namespace tarv
