#include "cli_process.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace tarv::testing {

CliProcess::CliProcess(const std::vector<std::string>& arguments, bool onTerminal,
                       const std::string& program) {
    std::vector<std::string> words{program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    std::string terminalName;
    if (onTerminal) {
        out[0] = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (out[0] < 0 || grantpt(out[0]) != 0 || unlockpt(out[0]) != 0) {
            throw std::runtime_error("no pseudo-terminal");
        }
        terminalName = ptsname(out[0]);
    } else if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("no pipe");
    }

    m_nPid = fork();
    if (m_nPid < 0) {
        throw std::runtime_error("no fork");
    }
    if (m_nPid == 0) {
        // Only async-signal-safe calls from here on.
        if (onTerminal) {
            setsid();
            const int terminal = open(terminalName.c_str(), O_RDWR);  // becomes the controlling one
            dup2(terminal, 0);
            dup2(terminal, 1);
            dup2(terminal, 2);
        } else {
            const int nothing = open("/dev/null", O_RDONLY);
            dup2(nothing, 0);
            dup2(out[1], 1);
            dup2(err[1], 2);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    m_nOutFd = out[0];
    if (!onTerminal) {
        close(out[1]);
        close(err[1]);
        m_nErrFd = err[0];
    }
}

CliProcess::~CliProcess() {
    if (m_nPid > 0) {
        kill(m_nPid, SIGKILL);
        waitpid(m_nPid, nullptr, 0);
    }
    for (const int fd : {m_nOutFd, m_nErrFd}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

bool CliProcess::ReadSome() {
    pollfd fds[2];
    std::string* sinks[2];
    nfds_t count = 0;
    if (m_nOutFd >= 0) {
        fds[count] = {m_nOutFd, POLLIN, 0};
        sinks[count++] = &m_result.out;
    }
    if (m_nErrFd >= 0) {
        fds[count] = {m_nErrFd, POLLIN, 0};
        sinks[count++] = &m_result.err;
    }
    if (count == 0) {
        return false;
    }
    if (poll(fds, count, -1) < 0) {
        return errno == EINTR;
    }
    for (nfds_t i = 0; i < count; ++i) {
        if (fds[i].revents == 0) {
            continue;
        }
        std::array<char, 4096> chunk;
        const ssize_t n = read(fds[i].fd, chunk.data(), chunk.size());
        if (n > 0) {
            sinks[i]->append(chunk.data(), static_cast<std::size_t>(n));
            continue;
        }
        // End of the stream; a terminal whose last user left says EIO.
        close(fds[i].fd);
        (fds[i].fd == m_nOutFd ? m_nOutFd : m_nErrFd) = -1;
    }
    return true;
}

bool CliProcess::WaitForOutput(std::string_view text) {
    while (m_result.out.find(text) == std::string::npos) {
        if (!ReadSome()) {
            return false;
        }
    }
    return true;
}

void CliProcess::Type(std::string_view text) {
    if (write(m_nOutFd, text.data(), text.size()) < 0) {
        throw std::runtime_error("cannot type on the terminal");
    }
}

void CliProcess::Signal(int signal) {
    kill(m_nPid, signal);
}

CliResult CliProcess::Finish() {
    while (ReadSome()) {
    }
    int raw = 0;
    waitpid(m_nPid, &raw, 0);
    m_nPid = -1;
    m_result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return m_result;
}

CliResult RunCli(const std::vector<std::string>& arguments) {
    return CliProcess(arguments).Finish();
}

}  // namespace tarv::testing
