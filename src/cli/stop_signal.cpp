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
constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

std::atomic<int> g_nStopSignal{0};
std::atomic<int> g_nStopReadFd{-1};
std::atomic<int> g_nStopWriteFd{-1};
static_assert(std::atomic<int>::is_always_lock_free, "used from a signal handler");

void OnStopSignal(int signal) {
    const int savedErrno = errno;
    int none = 0;
    g_nStopSignal.compare_exchange_strong(none, signal);
    const char byte = 1;
    // A full pipe already says the same; nothing to do about a failure here.
    if (write(g_nStopWriteFd.load(), &byte, 1) < 0) {
    }
    errno = savedErrno;
}

}  // namespace

void InstallStopSignals() {
    if (g_nStopWriteFd.load() >= 0) {
        return;
    }
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
        g_nStopReadFd.store(fds[0]);
        g_nStopWriteFd.store(fds[1]);
    }
    struct sigaction action {};
    action.sa_handler = &OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : STOP_SIGNALS) {
        sigaction(signal, &action, nullptr);
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}

bool CStopSignal::Raised() const {
    return g_nStopSignal.load() != 0;
}

int CStopSignal::Number() const {
    return g_nStopSignal.load();
}

int CStopSignal::Fd() const {
    return g_nStopReadFd.load();
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
    for (const int signal : STOP_SIGNALS) {
        sigaddset(&stopSignals, signal);
    }
    pthread_sigmask(SIG_BLOCK, &stopSignals, &m_previous);
}

CBlockStopSignals::~CBlockStopSignals() {
    pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
}

}  // namespace tarv::cli
