#pragma once
// The tokens NaN, Infinity and -Infinity stand outside strings in the texts
// our reader and writer accept; nlohmann's parser reads none of them. The
// harnesses replace them before handing a text to nlohmann.
#include <string>
#include <string_view>

namespace ossara::fuzz {

// `text` (valid JSON apart from the tokens) with each token outside strings
// replaced by replacement(token).
template <class Replacement>
std::string replace_non_finite_tokens(std::string_view text, Replacement replacement) {
    std::string out;
    bool in_string = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            out += c;
            if (c == '\\') out += text[++i];
            else if (c == '"') in_string = false;
            continue;
        }
        if (c == '"') in_string = true;
        bool replaced = false;
        for (const std::string_view token : {"-Infinity", "Infinity", "NaN"}) {
            if (text.substr(i).starts_with(token)) {
                out += replacement(token);
                i += token.size() - 1;
                replaced = true;
                break;
            }
        }
        if (!replaced) out += c;
    }
    return out;
}

}  // namespace ossara::fuzz
