#pragma once
// Text from a router or a model server, made safe to show on a terminal.
//
// A model steered by a prompt injection, or anyone who can write into the
// answer, must not be able to move the cursor, clear the screen, set the
// window title or write to the clipboard. So every character that a terminal
// acts on instead of showing is written visibly:
//
//   C0 controls (except newline and tab)  caret notation: ESC "^[", BEL "^G", CR "^M"
//   DEL                                   "^?"
//   C1 controls U+0080..U+009F            "<U+009B>"
//   bytes that are not valid UTF-8        "<9B>" (one per byte)
//
// Everything else, including all other UTF-8 text, passes unchanged. The
// result holds no control character but newline and tab, and is valid UTF-8;
// showing it again changes nothing.
#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace veilrelay_cli {

// Incremental form, for text that arrives in pieces: a UTF-8 sequence cut
// between two pieces is held back until its rest arrives.
class TerminalText {
public:
    TerminalText() = default;
    TerminalText(const TerminalText&) = delete;
    TerminalText& operator=(const TerminalText&) = delete;
    ~TerminalText();

    // Appends the visible form of `piece` to `out`.
    void write(std::string_view piece, std::string& out);
    // Ends the text: a sequence still held back was cut short and is shown
    // as invalid bytes.
    void finish(std::string& out);

private:
    std::array<char, 4> held_{};
    std::size_t held_size_ = 0;
};

// The visible form of a whole text.
std::string terminal_safe(std::string_view text);

// JSON text as dumped (valid UTF-8, control characters below 0x20 already
// escaped) with DEL and the C1 controls escaped as well ("\u007f",
// "\u009b"). The JSON value is unchanged.
std::string terminal_safe_json(std::string_view json_text);

}  // namespace veilrelay_cli
