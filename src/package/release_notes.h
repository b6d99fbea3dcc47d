// The welcome page's text: three line breaks, then the lines of the release notes.
#pragma once

#include <span>
#include <string>

namespace tarv {

// Builds the welcome text from the bytes of a release-notes file. A line ends at LF, and a CR
// right before that LF belongs to the line end; a byte 0x1A ends the notes. Each line is appended
// with "\r\n"; a last line without a line end counts as a line.
std::string WelcomeTextFromNotes(std::span<const char> notes);

// The same for the file at `path`. A missing or unreadable file gives the text without notes,
// and is not a failure.
std::string ComposeWelcomeText(const std::string& path);

}  // namespace tarv
