#include "cli/update_command.h"

#include <cerrno>
#include <chrono>
#include <memory>
#include <poll.h>
#include <unistd.h>

#include "cli/console_output.h"
#include "cli/console_page.h"
#include "cli/stop_signal.h"
#include "package/package.h"
#include "rig/device_rig.h"
#include "update/messages.h"
#include "update/package_gate.h"
#include "update/permission_hint.h"
#include "update/poll_state.h"
#include "update/run_log.h"
#include "update/update_run.h"

namespace tarv::cli {
namespace {

OutputStyle StyleFor(bool json) {
    if (json) {
        return OutputStyle::Json;
    }
    return isatty(STDOUT_FILENO) != 0 ? OutputStyle::Terminal : OutputStyle::Lines;
}

QuestionPolicy PolicyFor(std::optional<bool> answer) {
    if (answer) {
        return *answer ? QuestionPolicy::AnswerYes : QuestionPolicy::AnswerNo;
    }
    return isatty(STDIN_FILENO) != 0 ? QuestionPolicy::Ask : QuestionPolicy::Decline;
}

// The main thread's side of the runs: starts each, prints its percentages, stops it on a signal,
// and in continuous mode polls for the next device in between, as the wizard's progress page
// does with its timers.
class CUpdateSession {
  public:
    CUpdateSession(const UpdateOptions& options, CUpdatePackage& package, DeviceRig& rig,
                   CConsoleOutput& output, CRunLog* log)
        : m_options(options),
          m_package(package),
          m_rig(rig),
          m_output(output),
          m_pLog(log),
          m_page(output, PolicyFor(options.answer)) {}

    int Run();

  private:
    RunOutcome RunOnce();
    // Polls until a device is to be updated (true), or a signal or the rig ends the wait.
    bool WaitForNextDevice(bool lastRunSucceeded);

    const UpdateOptions& m_options;
    CUpdatePackage& m_package;
    DeviceRig& m_rig;
    CConsoleOutput& m_output;
    CRunLog* m_pLog;  // null: no log asked for
    CStopSignal m_stop;
    CConsolePage m_page;
    CDevicePollState m_pollState;  // one for the whole program, as every wait leaves it

    int m_nRuns = 0;
    int m_nUpdated = 0;
    int m_nFailed = 0;
    bool m_bInterrupted = false;
    bool m_bLogFailed = false;
};

int CUpdateSession::Run() {
    CHidLink& link = m_rig.Link();
    RunOutcome last = RunOutcome::Failure;
    bool haveDevice = link.OpenDevice() != 0;
    if (!haveDevice) {
        if (m_options.continuous) {
            haveDevice = WaitForNextDevice(false);
        } else {
            m_output.Message(MSG_NO_DEVICE);
            if (const std::string hint = PermissionHint(link.DeniedPaths()); !hint.empty()) {
                m_output.Hint(hint);
            }
        }
    }
    if (!haveDevice && !m_options.continuous) {
        m_output.Ended(RunOutcome::Failure, MSG_NO_DEVICE);
    }
    while (haveDevice) {
        last = RunOnce();
        if (m_bInterrupted || !m_options.continuous) {
            break;
        }
        m_rig.OnRunEnded();
        if (m_rig.AllDone()) {
            break;
        }
        // A declined device is left alone like an updated one: asking it again would only get
        // the same answer.
        haveDevice = WaitForNextDevice(last == RunOutcome::Success || last == RunOutcome::Declined);
    }
    // A poll may have left the link open.
    link.CloseDevice();
    bool rigOk = true;
    for (const std::string& problem : m_rig.Finish()) {
        m_output.Error(problem);
        rigOk = false;
    }

    bool ok = rigOk && !m_bLogFailed;
    if (m_options.continuous) {
        m_output.Summary(m_nUpdated, m_nFailed);
        ok = ok && m_nFailed == 0;
    } else {
        ok = ok && last == RunOutcome::Success;
    }
    if (m_stop.Raised()) {
        return ExitStatusForSignal(m_stop.Number());
    }
    if (m_output.OutputLost()) {
        return EXIT_OUTPUT_LOST_STATUS;
    }
    return ok ? EXIT_SUCCESS_STATUS : EXIT_FAILURE_STATUS;
}

RunOutcome CUpdateSession::RunOnce() {
    ++m_nRuns;
    m_page.BeginRun();
    m_output.BeginRun();
    // The device the run is for: discovery left it open.
    const std::string devicePath = m_rig.Link().OpenPath();
    const auto startedAt = std::chrono::system_clock::now();
    const std::uint32_t startTick = m_rig.RunClock().TickCount();
    CUpdateRun run(m_rig.Link(), m_package, m_page, m_rig.RunClock(), m_options.continuous);
    run.SetInhibitor(&m_rig.Inhibitor());
    {
        const CBlockStopSignals blocked;
        run.Start();
    }
    while (!m_page.RunEnded()) {
        pollfd fds[2] = {{m_page.WakeFd(), POLLIN, 0}, {m_stop.Fd(), POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR) {
            break;  // nothing left to wait with: let the run finish on its own
        }
        if (m_stop.Raised()) {
            // The stop closes the link, so the run fails promptly and says nothing more; a
            // question being asked is answered No.
            run.RequestStop();
            m_page.Cancel();
            m_bInterrupted = true;
            break;
        }
        m_page.Drain();
        if (m_page.TakeProgress()) {
            m_output.Percent(run.m_nPercent.load(std::memory_order_acquire));
        }
    }
    run.Join();
    if (m_page.TakeProgress()) {
        m_output.Percent(run.m_nPercent.load(std::memory_order_acquire));
    }
    m_output.EndRun();

    // The one record of the run: the log's line and the summary's count.
    const RunRecord record = MakeRunRecord(run, m_package, devicePath, startedAt,
                                           m_rig.RunClock().TickCount() - startTick);
    // The log first: whatever happens to the output, the line is written.
    if (std::string error; m_pLog != nullptr && !m_pLog->Append(record, error)) {
        m_output.Error(error);
        m_bLogFailed = true;
    }
    std::optional<std::string> message = m_page.LastMessage();
    if (record.outcome == RunOutcome::Stopped) {
        // Whoever stopped it is told what it leaves, never the cable message of the failed step.
        m_output.Message(MSG_STOPPED);
        message = std::string(MSG_STOPPED);
    } else if (!message && !record.message.empty()) {
        message = record.message;
    }
    m_output.Result(m_nRuns, record.outcome, message, m_options.continuous, devicePath);
    ++(record.outcome == RunOutcome::Success ? m_nUpdated : m_nFailed);
    return record.outcome;
}

bool CUpdateSession::WaitForNextDevice(bool lastRunSucceeded) {
    m_output.Notice(NOTICE_NEXT_DEVICE);
    CHidLink& link = m_rig.Link();
    std::string lastHint;
    for (;;) {
        if (!m_stop.SleepFor(m_rig.RunClock(), POLL_INTERVAL_MS)) {
            m_bInterrupted = true;
            return false;
        }
        m_rig.OnPoll();
        const bool found = link.OpenDevice() != 0;
        // A device that may not be opened never counts as found; say why once per change.
        if (std::string hint = PermissionHint(link.DeniedPaths()); hint != lastHint) {
            if (!hint.empty()) {
                m_output.Hint(hint);
            }
            lastHint = std::move(hint);
        }
        switch (m_pollState.OnPoll(found, lastRunSucceeded)) {
            case PollAction::CloseDevice:
                link.CloseDevice();
                break;
            case PollAction::KeepWaiting:
                break;
            case PollAction::StartRun:
                return true;
        }
    }
}

}  // namespace

int RunUpdateCommand(const UpdateOptions& options) {
    CConsoleOutput output(StyleFor(options.json), GetModuleDisplayName());
    const CStopSignal stop;
    // An update that ends before its first run still ends with one result (or the summary).
    const auto endEarly = [&](RunOutcome outcome, std::string_view message, int status) {
        if (options.continuous) {
            output.Summary(0, 0);
        } else {
            output.Ended(outcome, message);
        }
        return status;
    };

    // A log that cannot be written is said at once, before any device is touched.
    std::unique_ptr<CRunLog> log;
    if (!options.logPath.empty()) {
        std::string error;
        log = CRunLog::Open(options.logPath, error);
        if (!log) {
            output.Error(error);
            return endEarly(RunOutcome::Failure, error, EXIT_FAILURE_STATUS);
        }
    }

    LoadOptions load = DefaultLoadOptions();
    if (!options.packagePath.empty()) {
        load.packagePath = options.packagePath;
    }
    CUpdatePackage package;
    const PackageVerdict verdict = OpenUpdatePackage(package, load, options.sha256);
    if (!verdict.ok()) {
        output.Message(verdict.message);
        return endEarly(RunOutcome::Failure, verdict.message, EXIT_FAILURE_STATUS);
    }
    // A signal that came while the package loaded ends the program before any device is touched.
    if (stop.Raised()) {
        return endEarly(RunOutcome::Stopped, MSG_STOPPED, ExitStatusForSignal(stop.Number()));
    }

    std::unique_ptr<DeviceRig> rig;
    if (options.simulate) {
        std::string error;
        rig = MakeSimRig(options.sim, error);
        if (!rig) {
            output.Error(error);
            return endEarly(RunOutcome::Failure, error, EXIT_USAGE_STATUS);
        }
    } else {
        rig = MakeHardwareRig();
    }
    CUpdateSession session(options, package, *rig, output, log.get());
    return session.Run();
}

}  // namespace tarv::cli
