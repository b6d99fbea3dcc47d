#include "cli/console_output.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <sys/ioctl.h>
#include <unistd.h>

namespace tarv::cli {
namespace {

constexpr int BAR_WIDTH = 24;
constexpr int DEFAULT_COLUMNS = 80;

// Keys in the order a reader expects them, not sorted.
using Json = nlohmann::ordered_json;

std::string Dump(const Json& object) {
    return object.dump(-1, ' ', false, Json::error_handler_t::replace);
}

int Columns(std::FILE* file) {
    winsize size{};
    if (ioctl(fileno(file), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    return DEFAULT_COLUMNS;
}

}  // namespace

CConsoleOutput::CConsoleOutput(OutputStyle style, std::string displayName, std::FILE* out,
                               std::FILE* err)
    : m_style(style), m_displayName(std::move(displayName)), m_pOut(out), m_pErr(err) {}

void CConsoleOutput::BeginRun() {
    const std::lock_guard guard(m_mutex);
    m_status.clear();
    m_nPercent = -1;
    m_bInRun = true;
}

void CConsoleOutput::EndRun() {
    const std::lock_guard guard(m_mutex);
    if (m_bLineDrawn) {
        std::fputc('\n', m_pOut);
        Flush(m_pOut);
        m_bLineDrawn = false;
    }
    m_bInRun = false;
}

void CConsoleOutput::Status(std::string_view text) {
    const std::lock_guard guard(m_mutex);
    if (text == m_status) {
        return;
    }
    m_status = text;
    switch (m_style) {
        case OutputStyle::Terminal:
            Redraw();
            break;
        case OutputStyle::Lines:
            std::fprintf(m_pOut, "Status: %s\n", m_status.c_str());
            Flush(m_pOut);
            break;
        case OutputStyle::Json:
            Event(Dump(Json{{"event", "status"}, {"text", m_status}}));
            break;
    }
}

std::string CConsoleOutput::StatusText() const {
    const std::lock_guard guard(m_mutex);
    return m_status;
}

void CConsoleOutput::Percent(std::int32_t percent) {
    const std::lock_guard guard(m_mutex);
    if (percent == m_nPercent) {
        return;
    }
    m_nPercent = percent;
    switch (m_style) {
        case OutputStyle::Terminal:
            Redraw();
            break;
        case OutputStyle::Lines:
            std::fprintf(m_pOut, "Progress: %d%%\n", static_cast<int>(percent));
            Flush(m_pOut);
            break;
        case OutputStyle::Json:
            Event(Dump(Json{{"event", "progress"}, {"percent", percent}}));
            break;
    }
}

void CConsoleOutput::Message(std::string_view text) {
    const std::lock_guard guard(m_mutex);
    if (m_style == OutputStyle::Json) {
        Event(Dump(Json{{"event", "message"}, {"text", text}}));
    }
    ToStderr(m_displayName + ": " + std::string(text));
}

void CConsoleOutput::Question(std::string_view text, bool yes) {
    const std::lock_guard guard(m_mutex);
    if (m_style == OutputStyle::Json) {
        Event(Dump(Json{{"event", "question"}, {"text", text}, {"answer", yes ? "yes" : "no"}}));
    }
    ToStderr(m_displayName + ": " + std::string(text) + " [y/n] " + (yes ? "yes" : "no"));
}

void CConsoleOutput::Prompt(std::string_view text) {
    const std::lock_guard guard(m_mutex);
    ClearLine();
    std::fprintf(m_pErr, "%s: %.*s [y/n] ", m_displayName.c_str(), static_cast<int>(text.size()),
                 text.data());
    Flush(m_pErr);
}

void CConsoleOutput::Answered(std::string_view text, bool yes) {
    const std::lock_guard guard(m_mutex);
    if (m_style == OutputStyle::Json) {
        Event(Dump(Json{{"event", "question"}, {"text", text}, {"answer", yes ? "yes" : "no"}}));
    }
    if (HasLine()) {
        Redraw();
    }
}

void CConsoleOutput::Notice(std::string_view text) {
    const std::lock_guard guard(m_mutex);
    if (m_style == OutputStyle::Json) {
        Event(Dump(Json{{"event", "notice"}, {"text", text}}));
        return;
    }
    ClearLine();
    std::fprintf(m_pOut, "%.*s\n", static_cast<int>(text.size()), text.data());
    Flush(m_pOut);
}

void CConsoleOutput::Hint(std::string_view text) {
    const std::lock_guard guard(m_mutex);
    if (m_style == OutputStyle::Json) {
        Event(Dump(Json{{"event", "hint"}, {"text", text}}));
    }
    ToStderr(m_displayName + ": " + std::string(text));
}

void CConsoleOutput::Result(int number, RunOutcome outcome,
                            const std::optional<std::string>& message, bool numbered,
                            const std::string& device) {
    const std::lock_guard guard(m_mutex);
    if (m_style == OutputStyle::Json) {
        ResultEvent(outcome, message ? Json(*message) : Json(nullptr),
                    device.empty() ? Json(nullptr) : Json(device));
        return;
    }
    if (numbered) {
        ClearLine();
        std::fprintf(m_pOut, "Run %d: %s\n", number, OutcomeName(outcome));
        Flush(m_pOut);
    }
}

void CConsoleOutput::Ended(RunOutcome outcome, std::string_view message) {
    const std::lock_guard guard(m_mutex);
    if (m_style == OutputStyle::Json) {
        ResultEvent(outcome, message.empty() ? Json(nullptr) : Json(message), nullptr);
    }
}

void CConsoleOutput::ResultEvent(RunOutcome outcome, const nlohmann::ordered_json& message,
                                 const nlohmann::ordered_json& device) {
    Event(Dump(Json{{"event", "result"},
                    {"ok", outcome == RunOutcome::Success},
                    {"outcome", OutcomeName(outcome)},
                    {"status", m_status},
                    {"message", message},
                    {"device", device}}));
}

bool CConsoleOutput::OutputLost() const {
    const std::lock_guard guard(m_mutex);
    return m_bOutputLost;
}

void CConsoleOutput::Summary(int updated, int failed) {
    const std::lock_guard guard(m_mutex);
    if (m_style == OutputStyle::Json) {
        Event(Dump(Json{{"event", "summary"}, {"updated", updated}, {"failed", failed}}));
        return;
    }
    ClearLine();
    std::fprintf(m_pOut, "Devices updated: %d, failed: %d\n", updated, failed);
    Flush(m_pOut);
}

void CConsoleOutput::Error(std::string_view text) {
    const std::lock_guard guard(m_mutex);
    ToStderr(m_displayName + ": " + std::string(text));
}

void CConsoleOutput::Bell() {
    const std::lock_guard guard(m_mutex);
    if (m_style == OutputStyle::Terminal) {
        std::fputc('\a', m_pOut);
        Flush(m_pOut);
    }
}

void CConsoleOutput::Flush(std::FILE* file) {
    // SIGPIPE is ignored, so a reader that has gone shows here as an error; the run goes on.
    if (std::fflush(file) != 0 || std::ferror(file) != 0) {
        m_bOutputLost = true;
        std::clearerr(file);
    }
}

void CConsoleOutput::Event(const std::string& json) {
    std::fprintf(m_pOut, "%s\n", json.c_str());
    Flush(m_pOut);
}

void CConsoleOutput::Redraw() {
    const int percent = std::clamp(m_nPercent, 0, 100);
    const int filled = percent * BAR_WIDTH / 100;
    std::string line = "[" + std::string(static_cast<std::size_t>(filled), '#') +
                       std::string(static_cast<std::size_t>(BAR_WIDTH - filled), '-') + "] ";
    char number[8];
    std::snprintf(number, sizeof number, "%3d%%  ", percent);
    line += number;
    line += m_status;
    // A line that wrapped could not be redrawn in place.
    const auto room = static_cast<std::size_t>(std::max(Columns(m_pOut) - 1, 1));
    if (line.size() > room) {
        line.resize(room);
    }
    std::fprintf(m_pOut, "\r%s\x1b[K", line.c_str());
    Flush(m_pOut);
    m_bLineDrawn = true;
}

bool CConsoleOutput::HasLine() const {
    return m_style == OutputStyle::Terminal && m_bInRun && (m_nPercent >= 0 || !m_status.empty());
}

void CConsoleOutput::ClearLine() {
    if (m_bLineDrawn) {
        std::fputs("\r\x1b[K", m_pOut);
        Flush(m_pOut);
        m_bLineDrawn = false;
    }
}

void CConsoleOutput::ToStderr(std::string_view line) {
    ClearLine();
    std::fprintf(m_pErr, "%.*s\n", static_cast<int>(line.size()), line.data());
    Flush(m_pErr);
    if (HasLine()) {
        Redraw();
    }
}

}  // namespace tarv::cli
