// The program's message boxes. Every box carries the display name (the executable's file name
// without its extension) as its caption.
#pragma once

#include <QMessageBox>
#include <QWidget>
#include <string_view>

#include "base/page.h"

namespace tarv {

// The box's object name, for tests and accessibility tools.
inline constexpr char MESSAGE_BOX_NAME[] = "message-box";

// The standard box: the text, the buttons, and the warning icon. Waits for the answer.
MessageAnswer ShowStandardMessage(QWidget* parent, std::string_view text,
                                  MessageButtons buttons = MessageButtons::Ok);

// A box owned by a page, with an OK button and no icon ("No device, ..."). Waits for OK.
void ShowPageMessage(QWidget* page, std::string_view text);

}  // namespace tarv
