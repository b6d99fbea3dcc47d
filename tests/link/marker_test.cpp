// The in-use marker across real processes: the marker this machine's other updaters see.
#include <cstdio>
#include <memory>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "link/in_use_marker.h"

extern char** environ;

namespace tarv {
namespace {

// A name of our own, so that tests running side by side, or an updater running on this machine,
// do not meet.
std::string UniqueName(const char* what) {
    return std::string("TARV_UPDATER-test-") + what + "-" + std::to_string(getpid());
}

// A tarv-hold-marker process with a pipe to its standard input and one from its output.
class Holder {
  public:
    explicit Holder(const std::string& name) {
        int in[2];
        int out[2];
        if (pipe(in) != 0 || pipe(out) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, in[1]);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        const char* argv[] = {TARV_HOLD_MARKER_PATH, name.c_str(), nullptr};
        if (posix_spawn(&m_pid, TARV_HOLD_MARKER_PATH, &actions, nullptr,
                        const_cast<char* const*>(argv), environ) != 0) {
            m_pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        m_stdin = in[1];
        m_stdout = fdopen(out[0], "r");
    }
    ~Holder() {
        Release();
        if (m_stdout != nullptr) {
            std::fclose(m_stdout);
        }
    }

    // The child's verdict: "created", "exists" or "failed".
    std::string Said() {
        char line[32] = {};
        if (m_stdout == nullptr || std::fgets(line, sizeof line, m_stdout) == nullptr) {
            return "(nothing)";
        }
        std::string said(line);
        while (!said.empty() && said.back() == '\n') {
            said.pop_back();
        }
        return said;
    }

    // Ends the child the orderly way: its standard input closes.
    void Release() {
        if (m_stdin >= 0) {
            close(m_stdin);
            m_stdin = -1;
        }
        Reap();
    }

    // Ends it as a crash would.
    void Kill() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
        }
        Reap();
    }

  private:
    void Reap() {
        if (m_pid > 0) {
            int status = 0;
            waitpid(m_pid, &status, 0);
            m_pid = -1;
        }
    }

    pid_t m_pid = -1;
    int m_stdin = -1;
    std::FILE* m_stdout = nullptr;
};

InUseMarker::Result CreateHere(const std::string& name, std::unique_ptr<InUseMarker::Hold>& hold) {
    return AbstractSocketMarker(name).Create(hold);
}

TEST(InUseMarker, AnotherProcessFindsItWhileHeldAndNotAfterwards) {
    const std::string name = UniqueName("orderly");
    Holder holder(name);
    ASSERT_EQ(holder.Said(), "created");

    std::unique_ptr<InUseMarker::Hold> hold;
    EXPECT_EQ(CreateHere(name, hold), InUseMarker::Result::AlreadyExists);
    EXPECT_EQ(hold, nullptr);

    holder.Release();
    EXPECT_EQ(CreateHere(name, hold), InUseMarker::Result::Created);
    EXPECT_NE(hold, nullptr);
}

TEST(InUseMarker, VanishesWhenItsHolderIsKilled) {
    const std::string name = UniqueName("killed");
    Holder holder(name);
    ASSERT_EQ(holder.Said(), "created");
    holder.Kill();

    std::unique_ptr<InUseMarker::Hold> hold;
    EXPECT_EQ(CreateHere(name, hold), InUseMarker::Result::Created) << "no stale marker";
}

TEST(InUseMarker, OthersSeeOursUntilWeReleaseIt) {
    const std::string name = UniqueName("ours");
    std::unique_ptr<InUseMarker::Hold> hold;
    ASSERT_EQ(CreateHere(name, hold), InUseMarker::Result::Created);
    EXPECT_EQ(Holder(name).Said(), "exists");

    hold.reset();
    Holder later(name);
    EXPECT_EQ(later.Said(), "created");
}

}  // namespace
}  // namespace tarv
