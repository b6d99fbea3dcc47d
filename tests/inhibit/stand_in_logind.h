// A private D-Bus daemon and a stand-in for logind's manager object on it, so that the inhibitor
// talks to a real bus without touching this machine's power state.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <systemd/sd-bus.h>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

namespace tarv::testing {

// A dbus-daemon of its own, allowing everything, listening in a fresh directory.
class PrivateBus {
  public:
    PrivateBus();
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // What the daemon printed, guid included; empty when it did not start.
    const std::string& Address() const { return m_address; }
    // What the daemon wrote to its standard error.
    std::string Log() const;
    // A path in the same directory where nothing listens.
    std::string Unused(const std::string& name) const { return m_dir / name; }

  private:
    TempDir m_dir;
    pid_t m_pid = -1;
    std::string m_address;
};

// One Inhibit call as the stand-in saw it.
struct InhibitCall {
    std::string what, who, why, mode;
    int lockEnd = -1;  // the read end of the pipe whose write end went back; -1 if none did
    ino_t pipe = 0;    // that pipe's inode
};

// Serves org.freedesktop.login1 on its own thread and connection.
class StandInLogind {
  public:
    enum class Answer {
        Lock,    // the write end of a fresh pipe, as logind hands out its FIFO
        Refuse,  // an access-denied error
        Never,   // keeps the call and answers nothing
    };

    StandInLogind(const std::string& address, Answer answer);
    ~StandInLogind();
    StandInLogind(const StandInLogind&) = delete;
    StandInLogind& operator=(const StandInLogind&) = delete;

    // Whether it owns the logind name and serves the object.
    bool Serving() const { return m_serving; }
    // The calls answered so far, once there are at least `count` or `wait` has passed.
    std::vector<InhibitCall> Calls(std::size_t count = 0,
                                   std::chrono::milliseconds wait = std::chrono::seconds(2));

  private:
    static int OnInhibit(sd_bus_message* call, void* self, sd_bus_error* error);
    void Serve(std::string address, std::promise<bool>* ready);

    const Answer m_answer;
    bool m_serving = false;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::condition_variable m_called;
    std::vector<InhibitCall> m_calls;           // guarded by m_mutex
    std::vector<sd_bus_message*> m_unanswered;  // the serving thread's alone
    std::thread m_thread;
};

}  // namespace tarv::testing
