#include "app/end_signals.h"

#include <QSocketNotifier>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace tarv {
namespace {

constexpr int END_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

std::atomic<int> g_nReadFd{-1};
std::atomic<int> g_nWriteFd{-1};
static_assert(std::atomic<int>::is_always_lock_free, "used from a signal handler");

void OnEndSignal(int signal) {
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(signal);
    // A full pipe holds enough signals already; nothing else can be done here.
    if (write(g_nWriteFd.load(), &byte, 1) < 0) {
    }
    errno = savedErrno;
}

}  // namespace

void InstallEndSignalHandlers() {
    std::signal(SIGPIPE, SIG_IGN);
    int fds[2];
    if (g_nWriteFd.load() >= 0 || pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
        return;
    }
    g_nReadFd.store(fds[0]);
    g_nWriteFd.store(fds[1]);

    struct sigaction action {};
    action.sa_handler = &OnEndSignal;
    sigemptyset(&action.sa_mask);
    for (const int signal : END_SIGNALS) {
        sigaddset(&action.sa_mask, signal);
    }
    action.sa_flags = SA_RESTART;
    for (const int signal : END_SIGNALS) {
        sigaction(signal, &action, nullptr);
    }
}

CEndSignalWatch::CEndSignalWatch(std::function<void(int)> onSignal)
    : m_onSignal(std::move(onSignal)) {
    if (const int fd = g_nReadFd.load(); fd >= 0) {
        m_pNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(m_pNotifier, &QSocketNotifier::activated, this, &CEndSignalWatch::OnReadable);
    }
}

CEndSignalWatch::~CEndSignalWatch() = default;

void CEndSignalWatch::OnReadable() {
    unsigned char bytes[16];
    ssize_t n;
    while ((n = read(g_nReadFd.load(), bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < n; ++i) {
            m_onSignal(bytes[i]);
        }
    }
}

}  // namespace tarv
