// The logind inhibitor against a private bus with a stand-in for logind: what it asks for, that
// the lock lasts exactly as long as the hold, and that no failure of the bus costs more than the
// time-out.
#include "inhibit/logind_inhibitor.h"

#include <chrono>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <poll.h>
#include <set>
#include <stdlib.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "stand_in_logind.h"

namespace tarv {
namespace {

using namespace std::chrono_literals;
using testing::InhibitCall;
using testing::PrivateBus;
using testing::StandInLogind;
using Answer = StandInLogind::Answer;
using Clock = std::chrono::steady_clock;

// Whether every write end of the pipe is gone, waiting up to `wait` for that.
bool SeesEof(int readEnd, std::chrono::milliseconds wait) {
    pollfd p{readEnd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(wait.count())) <= 0) {
        return false;
    }
    char c = 0;
    return read(readEnd, &c, 1) == 0;
}

// This process's descriptors open for writing on the pipe `inode`, each with its close-on-exec
// flag. Only while no other thread opens or closes descriptors.
std::vector<bool> WriteEndsOf(ino_t inode) {
    std::vector<bool> closeOnExec;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return closeOnExec;
    }
    const int own = dirfd(dir);
    while (const dirent* entry = readdir(dir)) {
        const int fd = atoi(entry->d_name);
        struct stat info {};
        if (entry->d_name[0] == '.' || fd == own || fstat(fd, &info) != 0 ||
            !S_ISFIFO(info.st_mode) || info.st_ino != inode ||
            (fcntl(fd, F_GETFL) & O_ACCMODE) != O_WRONLY) {
            continue;
        }
        closeOnExec.push_back((fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0);
    }
    closedir(dir);
    return closeOnExec;
}

// Sets an environment variable for one scope. Only while no other thread runs.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::string& value) : m_name(name) {
        if (const char* old = getenv(name)) {
            m_old = old;
        }
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (m_old) {
            setenv(m_name, m_old->c_str(), 1);
        } else {
            unsetenv(m_name);
        }
    }

  private:
    const char* m_name;
    std::optional<std::string> m_old;
};

// A Unix socket that takes connections into its backlog and never says a word: a bus that hangs
// before the handshake.
class SilentSocket {
  public:
    explicit SilentSocket(const std::string& path) {
        m_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        m_listening =
            m_fd >= 0 &&
            bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
            listen(m_fd, 8) == 0;
    }
    ~SilentSocket() { close(m_fd); }
    bool Listening() const { return m_listening; }

  private:
    int m_fd = -1;
    bool m_listening = false;
};

template <typename F>
std::chrono::milliseconds Timed(F&& f) {
    const auto start = Clock::now();
    f();
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

class LogindInhibitorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(m_bus.Address().empty()) << "dbus-daemon did not start: " << m_bus.Log();
    }

    PrivateBus m_bus;
};

TEST_F(LogindInhibitorTest, HoldAsksLogindForASleepLockAndKeepsItUntilReleased) {
    StandInLogind logind(m_bus.Address(), Answer::Lock);
    ASSERT_TRUE(logind.Serving());
    LogindInhibitor inhibitor(m_bus.Address());

    std::unique_ptr<InhibitHold> hold = inhibitor.Hold(INHIBIT_WHY_UPDATE);
    ASSERT_NE(hold, nullptr);
    EXPECT_TRUE(hold->Held());
    const std::vector<InhibitCall> calls = logind.Calls(1);
    ASSERT_EQ(calls.size(), 1u);
    const InhibitCall& call = calls[0];
    EXPECT_EQ(call.what, "sleep:idle");
    EXPECT_EQ(call.who, "tarv-updater");
    EXPECT_EQ(call.why, "firmware update in progress");
    EXPECT_EQ(call.mode, "block");
    ASSERT_GE(call.lockEnd, 0);

    // Exactly one copy of the lock stays, which a program we start does not inherit.
    EXPECT_FALSE(SeesEof(call.lockEnd, 0ms));
    EXPECT_EQ(WriteEndsOf(call.pipe), std::vector<bool>{true});
    EXPECT_FALSE(SeesEof(call.lockEnd, 50ms));

    hold.reset();
    EXPECT_TRUE(SeesEof(call.lockEnd, 1000ms));
    EXPECT_TRUE(WriteEndsOf(call.pipe).empty());
    EXPECT_EQ(logind.Calls().size(), 1u);
}

TEST_F(LogindInhibitorTest, HoldsTakenOnWorkersAreEachReleasedOnTheirOwn) {
    StandInLogind logind(m_bus.Address(), Answer::Lock);
    ASSERT_TRUE(logind.Serving());
    LogindInhibitor inhibitor(m_bus.Address());

    // Two workers at once, each with its own reason.
    std::unique_ptr<InhibitHold> first;
    std::unique_ptr<InhibitHold> second;
    {
        std::jthread a([&] { first = inhibitor.Hold("first"); });
        std::jthread b([&] { second = inhibitor.Hold("second"); });
    }
    ASSERT_TRUE(first && first->Held());
    ASSERT_TRUE(second && second->Held());
    const std::vector<InhibitCall> calls = logind.Calls(2);
    ASSERT_EQ(calls.size(), 2u);
    const InhibitCall& firstCall = calls[0].why == "first" ? calls[0] : calls[1];
    const InhibitCall& secondCall = calls[0].why == "first" ? calls[1] : calls[0];
    EXPECT_EQ(std::set<std::string>({calls[0].why, calls[1].why}),
              std::set<std::string>({"first", "second"}));
    EXPECT_FALSE(SeesEof(firstCall.lockEnd, 0ms));
    EXPECT_FALSE(SeesEof(secondCall.lockEnd, 0ms));

    // Released on yet another thread: only its own lock goes.
    std::jthread([hold = std::move(first)]() mutable { hold.reset(); }).join();
    EXPECT_TRUE(SeesEof(firstCall.lockEnd, 1000ms));
    EXPECT_FALSE(SeesEof(secondCall.lockEnd, 50ms));

    second.reset();
    EXPECT_TRUE(SeesEof(secondCall.lockEnd, 1000ms));
}

TEST_F(LogindInhibitorTest, TheDefaultBusIsTheSystemBus) {
    // Before the stand-in's thread starts, so that nothing reads the environment meanwhile.
    ScopedEnv system("DBUS_SYSTEM_BUS_ADDRESS", m_bus.Address());
    StandInLogind logind(m_bus.Address(), Answer::Lock);
    ASSERT_TRUE(logind.Serving());

    std::unique_ptr<InhibitHold> hold = LogindInhibitor().Hold(INHIBIT_WHY_UPDATE);
    EXPECT_TRUE(hold->Held());
    const std::vector<InhibitCall> calls = logind.Calls(1);
    ASSERT_EQ(calls.size(), 1u);
    hold.reset();
    EXPECT_TRUE(SeesEof(calls[0].lockEnd, 1000ms));
}

// Each way of not getting a lock answers at once, long before the time-out, with a hold that
// holds nothing.
TEST_F(LogindInhibitorTest, WithoutALockHoldGivesADoNothingHoldAtOnce) {
    const auto quick = LOGIND_CALL_TIMEOUT / 3;
    auto expectNoHold = [&](SleepInhibitor& inhibitor, const char* situation) {
        std::unique_ptr<InhibitHold> hold;
        const auto took = Timed([&] { hold = inhibitor.Hold(INHIBIT_WHY_UPDATE); });
        ASSERT_NE(hold, nullptr) << situation;
        EXPECT_FALSE(hold->Held()) << situation;
        EXPECT_LT(took, quick) << situation;
        hold.reset();
    };

    NoInhibitor never;
    expectNoHold(never, "the inhibitor that never holds");

    LogindInhibitor onEmptyBus(m_bus.Address());
    expectNoHold(onEmptyBus, "no logind on the bus");

    LogindInhibitor nowhere("unix:path=" + m_bus.Unused("nobody"));
    expectNoHold(nowhere, "no bus at that address");

    LogindInhibitor malformed("no-such-transport:");
    expectNoHold(malformed, "an address sd-bus cannot use");

    StandInLogind refusing(m_bus.Address(), Answer::Refuse);
    ASSERT_TRUE(refusing.Serving());
    LogindInhibitor refused(m_bus.Address());
    expectNoHold(refused, "logind refuses");
    EXPECT_EQ(refusing.Calls(1).size(), 1u);
}

// A peer that never answers, before the handshake or after the call, costs the time-out and no
// more.
TEST_F(LogindInhibitorTest, ABusThatDoesNotAnswerCostsOnlyTheTimeout) {
    constexpr auto timeout = 300ms;
    constexpr auto margin = 700ms;
    auto expectTimedOut = [&](SleepInhibitor& inhibitor, const char* situation) {
        std::unique_ptr<InhibitHold> hold;
        const auto took = Timed([&] { hold = inhibitor.Hold(INHIBIT_WHY_UPDATE); });
        ASSERT_NE(hold, nullptr) << situation;
        EXPECT_FALSE(hold->Held()) << situation;
        EXPECT_GE(took, timeout - 10ms) << situation;
        EXPECT_LT(took, timeout + margin) << situation;
    };

    SilentSocket silent(m_bus.Unused("silent"));
    ASSERT_TRUE(silent.Listening());
    {
        // The system bus is opened another way; it keeps the same bound. No thread runs yet.
        ScopedEnv system("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + m_bus.Unused("silent"));
        LogindInhibitor systemBus({}, timeout);
        expectTimedOut(systemBus, "a silent system bus");
    }
    LogindInhibitor silentBus("unix:path=" + m_bus.Unused("silent"), timeout);
    expectTimedOut(silentBus, "a bus that never completes the handshake");

    StandInLogind mute(m_bus.Address(), Answer::Never);
    ASSERT_TRUE(mute.Serving());
    LogindInhibitor unanswered(m_bus.Address(), timeout);
    expectTimedOut(unanswered, "logind never answers");
    EXPECT_EQ(mute.Calls(1).size(), 1u);
}

}  // namespace
}  // namespace tarv
