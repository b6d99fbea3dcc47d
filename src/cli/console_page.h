// The console's progress page: what an update run shows, as the wizard's progress page would.
//
// The run calls it from its worker thread. Status texts and message boxes are printed at once.
// A progress post only raises a flag and wakes the main thread, which prints the percentage it
// reads from the run when it gets to it, so the worker never waits for the console. The version
// question is answered by an option, asked on the terminal, or declined when nobody is there.
#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <unistd.h>

#include "base/page.h"
#include "cli/console_output.h"
#include "cli/wakeup.h"

namespace tarv::cli {

enum class QuestionPolicy {
    AnswerYes,  // --yes
    AnswerNo,   // --no
    Ask,        // y/n on the terminal
    Decline,    // nobody to ask: nothing is rewritten unasked
};

class CConsolePage final : public ProgressPage {
  public:
    // `inputFd` is where an asked question's answer is read.
    CConsolePage(CConsoleOutput& output, QuestionPolicy policy, int inputFd = STDIN_FILENO);

    // Before each run: no post, no end and no message seen yet.
    void BeginRun();

    // --- ProgressPage, on the run's worker thread ------------------------------------------------
    void SetStatusText(std::string_view text) override;
    void PostProgress() override;
    MessageAnswer ShowMessage(std::string_view text, MessageButtons buttons) override;
    void ArmRunEndTimer() override;
    void PlaySuccessSound() override;

    // --- For the main thread -----------------------------------------------------------------
    // Readable after a progress post or the run's end; Drain it before looking at what came.
    int WakeFd() const { return m_wakeup.Fd(); }
    void Drain() { m_wakeup.Drain(); }
    // True when the run posted progress since the last call.
    bool TakeProgress();
    // True once the run armed its end timer: all it had to say is said.
    bool RunEnded() const;
    // The last message box of this run, if it showed one.
    std::optional<std::string> LastMessage() const;
    // Any thread: a question being asked, or asked from now on, is answered No.
    void Cancel();

  private:
    MessageAnswer Ask(std::string_view text);
    // One line from the input; nothing on end of input or after Cancel.
    std::optional<std::string> ReadAnswerLine();

    CConsoleOutput& m_output;
    const QuestionPolicy m_policy;
    const int m_nInputFd;

    CWakeup m_wakeup;  // progress posts and the run's end
    CWakeup m_cancel;  // stays readable once cancelled
    std::atomic<bool> m_bProgressPosted{false};
    std::atomic<bool> m_bRunEnded{false};
    mutable std::mutex m_messageMutex;  // guards m_lastMessage
    std::optional<std::string> m_lastMessage;
};

}  // namespace tarv::cli
