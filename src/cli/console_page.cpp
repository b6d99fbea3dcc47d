#include "cli/console_page.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <poll.h>

namespace tarv::cli {
namespace {

std::string Trimmed(std::string text) {
    const auto space = [](unsigned char c) { return std::isspace(c) != 0; };
    text.erase(text.begin(), std::find_if_not(text.begin(), text.end(), space));
    text.erase(std::find_if_not(text.rbegin(), text.rend(), space).base(), text.end());
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}  // namespace

CConsolePage::CConsolePage(CConsoleOutput& output, QuestionPolicy policy, int inputFd)
    : m_output(output), m_policy(policy), m_nInputFd(inputFd) {}

void CConsolePage::BeginRun() {
    m_bProgressPosted.store(false);
    m_bRunEnded.store(false);
    const std::lock_guard guard(m_messageMutex);
    m_lastMessage.reset();
}

void CConsolePage::SetStatusText(std::string_view text) {
    m_output.Status(text);
}

void CConsolePage::PostProgress() {
    m_bProgressPosted.store(true, std::memory_order_release);
    m_wakeup.Notify();
}

MessageAnswer CConsolePage::ShowMessage(std::string_view text, MessageButtons buttons) {
    if (buttons == MessageButtons::YesNo) {
        return Ask(text);
    }
    {
        const std::lock_guard guard(m_messageMutex);
        m_lastMessage = std::string(text);
    }
    m_output.Message(text);
    return MessageAnswer::Ok;
}

void CConsolePage::ArmRunEndTimer() {
    m_bRunEnded.store(true, std::memory_order_release);
    m_wakeup.Notify();
}

void CConsolePage::PlaySuccessSound() {
    m_output.Bell();
}

bool CConsolePage::TakeProgress() {
    return m_bProgressPosted.exchange(false, std::memory_order_acq_rel);
}

bool CConsolePage::RunEnded() const {
    return m_bRunEnded.load(std::memory_order_acquire);
}

std::optional<std::string> CConsolePage::LastMessage() const {
    const std::lock_guard guard(m_messageMutex);
    return m_lastMessage;
}

void CConsolePage::Cancel() {
    m_cancel.Notify();
}

MessageAnswer CConsolePage::Ask(std::string_view text) {
    switch (m_policy) {
        case QuestionPolicy::AnswerYes:
            m_output.Question(text, true);
            return MessageAnswer::Yes;
        case QuestionPolicy::AnswerNo:
        case QuestionPolicy::Decline:
            m_output.Question(text, false);
            return MessageAnswer::No;
        case QuestionPolicy::Ask:
            break;
    }
    for (;;) {
        m_output.Prompt(text);
        const std::optional<std::string> line = ReadAnswerLine();
        const std::string answer = line ? Trimmed(*line) : "no";
        if (answer == "y" || answer == "yes" || answer == "n" || answer == "no") {
            const bool yes = answer[0] == 'y';
            m_output.Answered(text, yes);
            return yes ? MessageAnswer::Yes : MessageAnswer::No;
        }
    }
}

std::optional<std::string> CConsolePage::ReadAnswerLine() {
    std::string line;
    for (;;) {
        pollfd fds[2] = {{m_nInputFd, POLLIN, 0}, {m_cancel.Fd(), POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::nullopt;
        }
        if (fds[1].revents != 0) {
            return std::nullopt;
        }
        char c;
        const ssize_t n = read(m_nInputFd, &c, 1);
        if (n <= 0) {
            return std::nullopt;
        }
        if (c == '\n') {
            return line;
        }
        line += c;
    }
}

}  // namespace tarv::cli
