// What the update command prints, in one of three styles, from any thread.
//
// Terminal: one progress line (bar, percentage, status text) redrawn in place. Lines: a plain
// line for each change of the status text and of the percentage, for logs and pipes. Json: one
// object a line for every event. Message boxes go to stderr as "<display name>: <text>" in every
// style. One lock around every write, so the worker's status lines and the main thread's
// percentages never cut into each other.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "update/update_run.h"

namespace tarv::cli {

enum class OutputStyle { Terminal, Lines, Json };

class CConsoleOutput {
  public:
    CConsoleOutput(OutputStyle style, std::string displayName, std::FILE* out = stdout,
                   std::FILE* err = stderr);

    OutputStyle Style() const { return m_style; }

    // A new run: no status text and no percentage shown yet.
    void BeginRun();
    // Ends the run's progress line on a terminal.
    void EndRun();

    // The status line; printed only when it differs from the one shown.
    void Status(std::string_view text);
    std::string StatusText() const;
    // The bar; printed only when it differs from the one shown.
    void Percent(std::int32_t percent);

    // A message box.
    void Message(std::string_view text);
    // The version question, answered without asking (an option, or nobody to ask).
    void Question(std::string_view text, bool yes);
    // The version question on a terminal: the prompt now, then Answered once the user has.
    void Prompt(std::string_view text);
    void Answered(std::string_view text, bool yes);

    // The continuous mode's notice that the program waits for the next device.
    void Notice(std::string_view text);
    // A hint on what to fix (the device may not be opened): stderr, and a "hint" event.
    void Hint(std::string_view text);
    // The end of run `number` (counting from 1) on `device`; `numbered` adds a plain line for it.
    void Result(int number, RunOutcome outcome, const std::optional<std::string>& message,
                bool numbered, const std::string& device);
    // The end of an update that never started a run: the package refused, no device, a log that
    // cannot be written, a signal before the first run. Only a "result" event, as the message
    // was said already.
    void Ended(RunOutcome outcome, std::string_view message);
    void Summary(int updated, int failed);

    // True once a write to stdout or stderr has failed (a closed pipe, a full disk, a terminal
    // that has gone): what was printed since is lost, and the exit status says so.
    bool OutputLost() const;

    // The front end's own complaints (not message boxes of the updater): stderr only.
    void Error(std::string_view text);
    // The success sound, as the terminal's bell.
    void Bell();

  private:
    void Event(const std::string& json);  // one JSON line; m_mutex held
    void ResultEvent(RunOutcome outcome, const nlohmann::ordered_json& message,
                     const nlohmann::ordered_json& device);  // m_mutex held
    void Redraw();                                           // m_mutex held
    void ClearLine();                                        // m_mutex held
    bool HasLine() const;                  // a run's line belongs on the terminal; m_mutex held
    void ToStderr(std::string_view line);  // m_mutex held
    void Flush(std::FILE* file);           // m_mutex held; notes a failed write

    const OutputStyle m_style;
    const std::string m_displayName;
    std::FILE* const m_pOut;
    std::FILE* const m_pErr;

    mutable std::mutex m_mutex;  // guards everything below and every write
    std::string m_status;
    std::int32_t m_nPercent = -1;  // -1: none shown in this run
    bool m_bLineDrawn = false;     // a progress line without its newline is on the terminal
    bool m_bInRun = false;
    bool m_bOutputLost = false;
};

}  // namespace tarv::cli
