#include "cli/stop_signal.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace tarv::cli {
namespace {

constexpr std::uint32_t SLEEP_SLICE_MS = 20;

std::atomic<bool> g_bStopRaised{false};
std::atomic<int> g_nStopWriteFd{-1};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "used from a signal handler");

void OnStopSignal(int /*signal*/) {
    const int savedErrno = errno;
    g_bStopRaised.store(true);
    const char byte = 1;
    // A full pipe already says the same; nothing to do about a failure here.
    if (write(g_nStopWriteFd.load(), &byte, 1) < 0) {
    }
    errno = savedErrno;
}

}  // namespace

CStopSignal::CStopSignal() {
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
        m_nReadFd = fds[0];
        m_nWriteFd = fds[1];
    }
    g_bStopRaised.store(false);
    g_nStopWriteFd.store(m_nWriteFd);

    struct sigaction action {};
    action.sa_handler = &OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, &m_previousInt);
    sigaction(SIGTERM, &action, &m_previousTerm);
}

CStopSignal::~CStopSignal() {
    sigaction(SIGINT, &m_previousInt, nullptr);
    sigaction(SIGTERM, &m_previousTerm, nullptr);
    g_nStopWriteFd.store(-1);
    if (m_nReadFd >= 0) {
        close(m_nReadFd);
        close(m_nWriteFd);
    }
}

bool CStopSignal::Raised() const {
    return g_bStopRaised.load();
}

bool CStopSignal::SleepFor(Clock& clock, std::uint32_t ms) const {
    while (ms > 0 && !Raised()) {
        const std::uint32_t slice = std::min(ms, SLEEP_SLICE_MS);
        clock.SleepFor(slice);
        ms -= slice;
    }
    return !Raised();
}

CBlockStopSignals::CBlockStopSignals() {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, &m_previous);
}

CBlockStopSignals::~CBlockStopSignals() {
    pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
}

}  // namespace tarv::cli
