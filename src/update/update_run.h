// One update of one device: the run that the progress page starts on its worker thread.
//
// Read this header first. `CUpdateRun` queries the device, resets it into its update mode,
// reconnects, checks the package, writes the map and sound areas and the two records, and sends
// the finish command (not in continuous mode). It talks to its page only through `ProgressPage`,
// from the worker thread; the page reads the percentage, the result and the finished flag from
// the run's atomics.
//
// A run can be asked to stop at any time: the link is closed at once, so every exchange fails as
// with an unplugged device, each wait ends, and the run says nothing more to its page. The
// destructor stops and joins the worker, so no thread outlives its run.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>

#include "base/clock.h"
#include "base/page.h"
#include "inhibit/inhibitor.h"
#include "link/commands.h"
#include "link/hid_link.h"
#include "package/package.h"
#include "update/progress.h"
#include "update/write_plan.h"

namespace tarv {

// Fixed waits of a run.
inline constexpr std::uint32_t RUN_WAIT_AFTER_RESET_MS = 2000;
inline constexpr int RUN_RECONNECT_ATTEMPTS = 150;
inline constexpr std::uint32_t RUN_RECONNECT_INTERVAL_MS = 100;
inline constexpr std::uint32_t RUN_WAIT_AFTER_RECONNECT_MS = 1000;

enum class RunOutcome {
    Running,   // not finished yet
    Success,   // "Updata success !"
    Failure,   // a step failed; the run's message says which
    Declined,  // the device had the package's versions and the user said No: nothing rewritten
    Stopped,  // the operator (or a signal) stopped it; from the reset on the device needs a new run
};

// "success", "failure", "declined" or "stopped": the name of an outcome in the JSON output and
// the log ("failure" for a run still running, which has no result yet).
const char* OutcomeName(RunOutcome outcome);

class CUpdateRun final : public PageWriteHooks {
  public:
    // `link`, `package`, `page` and `clock` must outlive the run. In continuous mode the run
    // sends no finish command.
    CUpdateRun(CHidLink& link, const CUpdatePackage& package, ProgressPage& page, Clock& clock,
               bool continuousMode);
    ~CUpdateRun() override;
    CUpdateRun(const CUpdateRun&) = delete;
    CUpdateRun& operator=(const CUpdateRun&) = delete;

    // From the reset to the end of the run the run holds a sleep inhibitor lock from
    // `inhibitor` (none when null, the default). Before Start; it must outlive the run.
    void SetInhibitor(SleepInhibitor* inhibitor) { m_pInhibitor = inhibitor; }

    // Starts UpdateThreadProc on the run's worker thread. Once per run.
    void Start();
    // Asks the run to end: closes the link at once; the run then fails without another message.
    // Safe from any thread, also before Start and after the run has finished.
    void RequestStop();
    // Waits until the worker has ended (at once when it never started).
    void Join();

    // The worker's procedure: the run, then its result on the page. Returns 1.
    std::int32_t UpdateThreadProc();
    // The run proper. Returns 1 on success, 0 on failure or when declined.
    std::int32_t RunUpdate();
    // Checks the package, then writes the address record, the map area and the sound area.
    // Returns 0 when all of it succeeded, -1 otherwise (having shown its message, if any).
    std::int32_t CheckAndWriteSections(std::array<std::uint32_t, 3>& lengths,
                                       std::array<std::uint32_t, 3>& checks);

    // What the page reads. Written by the worker only (release), read by anyone (acquire).
    std::atomic<std::int32_t> m_nPercent{0};
    std::atomic<std::uint32_t> m_nTimeLeft{0};
    std::atomic<std::int32_t> m_bSuccess{0};
    std::atomic<std::int32_t> m_bFinished{0};
    // Set right before the reset command goes out: from then on a stop leaves the device without
    // valid data, to be updated again.
    std::atomic<bool> m_bResetSent{false};

    // Valid once m_bFinished is 1, or once Failed() holds: a failure is the run's outcome from
    // the moment it happens. A run asked to stop that did not end in success, a decline or an
    // earlier failure is Stopped, whatever its last exchange failed with.
    RunOutcome Outcome() const;
    // The last message box text of the run (shown or, after a stop, not), empty when none.
    std::string LastMessage() const;
    // True once a step has failed (not as the effect of a stop). Set, with the message and the
    // tick, before the failure's message box is asked for, so that the run's record is complete
    // while the box waits for the user.
    bool Failed() const { return m_bFailed.load(std::memory_order_acquire); }
    // The clock's tick when the run failed, or else when it finished; valid once Failed() or
    // m_bFinished holds.
    std::uint32_t EndTick() const { return m_nEndTick.load(std::memory_order_acquire); }
    // The device's answer to the query at the start (0xFF where it sent nothing).
    InfoReply DeviceInfo() const;

    bool StopRequested() const { return m_stop.stop_requested(); }

  private:
    // PageWriteHooks: the percentage every 1024 bytes, the estimate every 16384 bytes.
    void OnKilobyte() override;
    void OnSixteenKilobytes() override;

    // Erases and writes one area from `bytes`; 0, or -1 after the failing step's message.
    std::int32_t WriteArea(const AreaPlan& area, std::span<const std::uint8_t> bytes,
                           std::string_view eraseFailed, std::string_view writeFailed);
    void SetStatus(std::string_view text);
    void PostPercent(std::int32_t percent);
    void Fail(std::string_view message);
    bool Wait(std::uint32_t ms);
    std::int32_t Open();

    CHidLink& m_link;
    const CUpdatePackage& m_package;
    ProgressPage& m_page;
    Clock& m_clock;
    const bool m_bContinuousMode;
    SleepInhibitor* m_pInhibitor = nullptr;

    UpdateProgress m_progress;  // the worker's alone
    std::stop_source m_stop;
    std::atomic<bool> m_bDeclined{false};
    std::atomic<bool> m_bFailed{false};
    std::atomic<std::uint32_t> m_nEndTick{0};
    mutable std::mutex m_resultMutex;  // guards the two below
    std::string m_lastMessage;
    InfoReply m_deviceInfo;
    std::jthread m_worker;
};

}  // namespace tarv
