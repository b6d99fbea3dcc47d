#include "cli/wakeup.h"

#include <cstdint>
#include <stdexcept>
#include <sys/eventfd.h>
#include <unistd.h>

namespace tarv::cli {

CWakeup::CWakeup() : m_nFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (m_nFd < 0) {
        throw std::runtime_error("cannot create an eventfd");
    }
}

CWakeup::~CWakeup() {
    close(m_nFd);
}

void CWakeup::Notify() {
    const std::uint64_t one = 1;
    // Non-blocking: only a counter at its limit refuses, and that one is readable already.
    if (write(m_nFd, &one, sizeof one) < 0) {
    }
}

void CWakeup::Drain() {
    std::uint64_t count;
    if (read(m_nFd, &count, sizeof count) < 0) {
    }
}

}  // namespace tarv::cli
