// Text from the network shown on a terminal: every control character and
// every byte that is not UTF-8 visible, everything else unchanged, whether
// the text comes whole or in pieces cut anywhere.
#include "terminal_text.hpp"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <string>

namespace veilrelay_cli {
namespace {

struct Row {
    const char* name;
    std::string text;
    std::string shown;
};

const Row kRows[] = {
    {"plain text and UTF-8", "héllo, 世界 🙂 \u00a0\u00ff", "héllo, 世界 🙂 \u00a0\u00ff"},
    {"newline and tab stay", "a\tb\nc", "a\tb\nc"},
    {"OSC 52 clipboard write", "\x1b]52;c;ZXZpbA==\x07", "^[]52;c;ZXZpbA==^G"},
    {"OSC 0 window title", "\x1b]0;owned\x1b\\", "^[]0;owned^[\\"},
    {"CSI clear screen", "\x1b[2J\x1b[H", "^[[2J^[[H"},
    {"CR, backspace, BEL, NUL", std::string("ok\rno\b\a\0!", 9), "ok^Mno^H^G^@!"},
    {"US and DEL", "\x1f\x7f", "^_^?"},
    {"C1 controls as UTF-8", "\u0080x\u009b2J\u009d0;t\u009c", "<U+0080>x<U+009B>2J<U+009D>0;t<U+009C>"},
    {"first character after C1", "\u00a0", "\u00a0"},
    {"raw C1 bytes", "\x9b" "2J\x90", "<9B>2J<90>"},
    {"stray continuation and bad leads", "\x80\xbf\xc0\xc1\xf5\xff", "<80><BF><C0><C1><F5><FF>"},
    {"overlong ESC", "\xc0\x9b", "<C0><9B>"},
    {"overlong three bytes", "\xe0\x80\x9b", "<E0><80><9B>"},
    {"surrogate", "\xed\xa0\x80", "<ED><A0><80>"},
    {"above U+10FFFF", "\xf4\x90\x80\x80", "<F4><90><80><80>"},
    {"highest code point", "\xf4\x8f\xbf\xbf", "\xf4\x8f\xbf\xbf"},
    {"sequence cut by ESC", "\xe4\xb8\x1b[2J", "<E4><B8>^[[2J"},
    {"sequence cut at the end", "ok\xf0\x9f\x99", "ok<F0><9F><99>"},
};

TEST(TerminalText, ShowsEveryControlAndInvalidByteVisibly) {
    for (const auto& row : kRows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(terminal_safe(row.text), row.shown);
        EXPECT_EQ(terminal_safe(row.shown), row.shown) << "shown twice";
    }
}

// Streamed text arrives in pieces; the result must not depend on where
// they were cut, also inside a UTF-8 sequence or an invalid one.
TEST(TerminalText, PiecesCutAnywhereGiveTheSameText) {
    for (const auto& row : kRows) {
        SCOPED_TRACE(row.name);
        for (std::size_t first = 0; first <= row.text.size(); ++first) {
            for (std::size_t second = first; second <= row.text.size(); ++second) {
                TerminalText text;
                std::string out;
                text.write(row.text.substr(0, first), out);
                text.write("", out);
                text.write(row.text.substr(first, second - first), out);
                text.write(row.text.substr(second), out);
                text.finish(out);
                EXPECT_EQ(out, row.shown) << "cut at " << first << " and " << second;
            }
        }
    }
}

TEST(TerminalText, JsonKeepsItsValueWithDelAndC1Escaped) {
    const nlohmann::json value = {{"content", "\x1b[2J \u009b1m \x7f é 世"}, {"\u0085key", 1}};
    const std::string shown = terminal_safe_json(value.dump());
    EXPECT_EQ(shown, R"({"content":"\u001b[2J \u009b1m \u007f é 世","\u0085key":1})");
    EXPECT_EQ(nlohmann::json::parse(shown), value);
}

}  // namespace
}  // namespace veilrelay_cli
