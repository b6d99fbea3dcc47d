#include "package/release_notes.h"

#include <algorithm>
#include <cstdio>
#include <string_view>
#include <vector>

#include "package/file_io.h"

namespace tarv {
namespace {

constexpr std::string_view WELCOME_LEAD = "\r\n\r\n\r\n";
constexpr char END_OF_TEXT = 0x1A;

}  // namespace

std::string WelcomeTextFromNotes(std::span<const char> notes) {
    const std::string_view all(notes.data(), notes.size());
    const std::string_view text = all.substr(0, all.find(END_OF_TEXT));

    std::string welcome(WELCOME_LEAD);
    welcome.reserve(WELCOME_LEAD.size() + text.size() + text.size() / 8);
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        const bool terminated = end != std::string_view::npos;
        if (!terminated) {
            end = text.size();
        }
        std::string_view line = text.substr(start, end - start);
        if (terminated && !line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        welcome.append(line);
        welcome.append("\r\n");
        start = end + 1;
    }
    return welcome;
}

std::string ComposeWelcomeText(const std::string& path) {
    std::vector<char> notes;
    if (const File file = OpenRegularFile(path)) {
        char chunk[16384];
        std::size_t n;
        // A read error ends the notes where it happened; the notes are only shown, never used.
        while ((n = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
            notes.insert(notes.end(), chunk, chunk + n);
            if (std::find(chunk, chunk + n, END_OF_TEXT) != chunk + n) {
                break;
            }
        }
    }
    return WelcomeTextFromNotes(notes);
}

}  // namespace tarv
