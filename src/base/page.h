// What the core asks of the page that shows a run: the wizard's progress page, the console, or a
// test. The core never touches a user interface itself; it calls these, from its worker thread.
#pragma once

#include <string_view>

namespace tarv {

enum class MessageButtons { Ok, YesNo };
enum class MessageAnswer { Ok, Yes, No };

class ProgressPage {
  public:
    virtual ~ProgressPage() = default;

    // Sets the status line. Returns once the text is shown.
    virtual void SetStatusText(std::string_view text) = 0;

    // Tells the page that the percentage changed; the page reads the value itself when it gets
    // to it. Never waits.
    virtual void PostProgress() = 0;

    // Shows a modal message box with the exclamation icon and waits for the user's answer.
    virtual MessageAnswer ShowMessage(std::string_view text, MessageButtons buttons) = 0;

    // Arms the page's end-of-run timer (500 ms).
    virtual void ArmRunEndTimer() = 0;

    // Starts the success sound and returns at once; no sound device is no failure.
    virtual void PlaySuccessSound() = 0;
};

}  // namespace tarv
