#include "package/release_notes.h"

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "support/package_writer.h"
#include "support/temp_dir.h"

namespace tarv {
namespace {

const std::string LEAD = "\r\n\r\n\r\n";

std::string Welcome(const std::string& notes) {
    return WelcomeTextFromNotes(notes);
}

struct NotesCase {
    const char* name;
    std::string notes;
    std::string expected;  // after the three leading line breaks
};

TEST(WelcomeText, FollowsTheReleaseNotesLineRules) {
    const std::string longLine(100000, 'x');
    const NotesCase cases[] = {
        {"empty file", "", ""},
        {"two lines, no final line end", "one\ntwo", "one\r\ntwo\r\n"},
        {"two lines, final LF", "one\ntwo\n", "one\r\ntwo\r\n"},
        {"two lines, CR LF", "one\r\ntwo\r\n", "one\r\ntwo\r\n"},
        {"empty lines are kept", "\n\na\n", "\r\n\r\na\r\n"},
        {"lone CR stays in the line", "a\rb\n", "a\rb\r\n"},
        {"only the CR before LF belongs to the line end", "a\r\r\n", "a\r\r\n"},
        {"CR at the end of the file stays", "a\r", "a\r\r\n"},
        {"0x1A ends the notes",
         "first\nsec\x1A"
         "ond\nthird\n",
         "first\r\nsec\r\n"},
        {"0x1A first",
         "\x1A"
         "hidden\n",
         ""},
        {"a long line is taken whole", longLine + "\nend", longLine + "\r\nend\r\n"},
    };
    for (const NotesCase& c : cases) {
        EXPECT_EQ(Welcome(c.notes), LEAD + c.expected) << c.name;
    }
}

TEST(WelcomeText, ReadsTheNotesFileAndIgnoresOneThatIsMissing) {
    testing::TempDir dir;
    testing::WriteFile(dir / "readme.txt", std::string_view("Line 1\r\nLine 2\x1A tail"));
    std::filesystem::create_directory(dir.path() / "folder");

    EXPECT_EQ(ComposeWelcomeText(dir / "readme.txt"), LEAD + "Line 1\r\nLine 2\r\n");
    EXPECT_EQ(ComposeWelcomeText(dir / "missing.txt"), LEAD);
    EXPECT_EQ(ComposeWelcomeText(dir / "folder"), LEAD);
}

}  // namespace
}  // namespace tarv
