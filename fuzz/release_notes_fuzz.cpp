// The release-notes line rules on arbitrary bytes: the welcome text must always be the three
// leading line breaks followed by lines that each end in "\r\n" and hold no LF or 0x1A.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "package/release_notes.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text =
        tarv::WelcomeTextFromNotes(std::span(reinterpret_cast<const char*>(data), size));
    if (text.compare(0, 6, "\r\n\r\n\r\n") != 0 || (text.size() > 6 && !text.ends_with("\r\n"))) {
        std::abort();
    }
    for (std::size_t i = 6; i < text.size(); ++i) {
        if (text[i] == 0x1A || (text[i] == '\n' && text[i - 1] != '\r')) {
            std::abort();
        }
    }
    return 0;
}
