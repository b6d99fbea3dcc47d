#include "stand_in_logind.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "inhibit/logind_inhibitor.h"

extern char** environ;

namespace tarv::testing {
namespace {

// Everything allowed: the tests are about the inhibitor, not about bus policy.
constexpr char CONFIG[] = R"(<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>tarv-test</type>
  <listen>unix:path=@SOCKET@</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
)";

// The daemon prints its address once it listens; a daemon that says nothing fails the test
// rather than hanging it.
std::string ReadLine(int fd, std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    std::string line;
    while (line.empty() || line.back() != '\n') {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            return {};
        }
        char c = 0;
        if (read(fd, &c, 1) != 1) {
            return {};
        }
        line += c;
    }
    line.pop_back();
    return line;
}

}  // namespace

PrivateBus::PrivateBus() {
    std::string config = CONFIG;
    config.replace(config.find("@SOCKET@"), 8, m_dir / "bus");
    const std::string configPath = m_dir / "bus.conf";
    std::ofstream(configPath) << config;

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    // Its complaints (as root without the right to raise its descriptor limit, on every start)
    // stay out of the test output unless it fails to start.
    const std::string logPath = m_dir / "daemon.log";
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, logPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const std::string configArg = "--config-file=" + configPath;
    const char* argv[] = {"dbus-daemon", configArg.c_str(), "--nofork",
                          "--nopidfile", "--print-address", nullptr};
    if (posix_spawnp(&m_pid, "dbus-daemon", &actions, nullptr, const_cast<char* const*>(argv),
                     environ) != 0) {
        m_pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (m_pid > 0) {
        m_address = ReadLine(out[0], std::chrono::seconds(5));
    }
    close(out[0]);
}

std::string PrivateBus::Log() const {
    std::ifstream log(m_dir / "daemon.log");
    return std::string(std::istreambuf_iterator<char>(log), {});
}

PrivateBus::~PrivateBus() {
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        waitpid(m_pid, nullptr, 0);
    }
}

StandInLogind::StandInLogind(const std::string& address, Answer answer) : m_answer(answer) {
    std::promise<bool> ready;
    std::future<bool> serving = ready.get_future();
    m_thread = std::thread(&StandInLogind::Serve, this, address, &ready);
    m_serving = serving.get();
}

StandInLogind::~StandInLogind() {
    m_stop = true;
    m_thread.join();
    for (const InhibitCall& call : m_calls) {
        if (call.lockEnd >= 0) {
            close(call.lockEnd);
        }
    }
}

std::vector<InhibitCall> StandInLogind::Calls(std::size_t count, std::chrono::milliseconds wait) {
    std::unique_lock lock(m_mutex);
    m_called.wait_for(lock, wait, [&] { return m_calls.size() >= count; });
    return m_calls;
}

int StandInLogind::OnInhibit(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto& self = *static_cast<StandInLogind*>(userdata);
    const char* what = nullptr;
    const char* who = nullptr;
    const char* why = nullptr;
    const char* mode = nullptr;
    int r = sd_bus_message_read(message, "ssss", &what, &who, &why, &mode);
    if (r < 0) {
        return r;
    }
    InhibitCall call{what, who, why, mode};
    switch (self.m_answer) {
        case Answer::Lock: {
            int ends[2];
            if (pipe2(ends, O_CLOEXEC) != 0) {
                return -errno;
            }
            struct stat info {};
            fstat(ends[0], &info);
            call.lockEnd = ends[0];
            call.pipe = info.st_ino;
            // The message takes a copy of the write end; ours goes at once, as logind's does,
            // and the message's once it is written out.
            r = sd_bus_reply_method_return(message, "h", ends[1]);
            close(ends[1]);
            sd_bus_flush(sd_bus_message_get_bus(message));
            break;
        }
        case Answer::Refuse:
            r = sd_bus_reply_method_errorf(message, SD_BUS_ERROR_ACCESS_DENIED, "not allowed");
            break;
        case Answer::Never:
            self.m_unanswered.push_back(sd_bus_message_ref(message));
            break;
    }
    // Recorded once answered: from then on the only write end of the pipe is the caller's.
    {
        std::lock_guard lock(self.m_mutex);
        self.m_calls.push_back(call);
    }
    self.m_called.notify_all();
    return r < 0 ? r : 1;
}

void StandInLogind::Serve(std::string address, std::promise<bool>* ready) {
    static const sd_bus_vtable VTABLE[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("Inhibit", "ssss", "h", &StandInLogind::OnInhibit,
                      SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_VTABLE_END,
    };
    sd_bus* bus = nullptr;
    sd_bus_slot* object = nullptr;
    const bool serving =
        sd_bus_new(&bus) >= 0 && sd_bus_set_address(bus, address.c_str()) >= 0 &&
        sd_bus_set_bus_client(bus, 1) >= 0 && sd_bus_start(bus) >= 0 &&
        sd_bus_add_object_vtable(bus, &object, LOGIND_OBJECT, LOGIND_MANAGER, VTABLE, this) >= 0 &&
        sd_bus_request_name(bus, LOGIND_SERVICE, 0) >= 0;
    ready->set_value(serving);
    while (serving && !m_stop) {
        const int r = sd_bus_process(bus, nullptr);
        if (r < 0) {
            break;
        }
        if (r == 0) {
            // Short, since the destructor waits for this to see the stop flag.
            sd_bus_wait(bus, 10'000);
        }
    }
    for (sd_bus_message* message : m_unanswered) {
        sd_bus_message_unref(message);
    }
    sd_bus_slot_unref(object);
    sd_bus_flush_close_unref(bus);
}

}  // namespace tarv::testing
