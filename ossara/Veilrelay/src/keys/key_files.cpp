// The platform-neutral part of key-file handling; the file-system calls are
// in key_files_posix.cpp and key_files_windows.cpp.
#include "keys/key_files.hpp"

#include "codec/utf8.hpp"

#include <ossara/veilrelay/errors.hpp>

#include <algorithm>
#include <string_view>

namespace ossara::detail {

void make_room(SecretBytes& buffer, std::size_t used) {
    if (used < buffer.size()) return;
    SecretBytes bigger(buffer.size() * 2);
    std::copy(buffer.data(), buffer.data() + used, bigger.data());
    buffer = std::move(bigger);
}

std::string read_text_file(const std::filesystem::path& path) {
    const SecretBytes raw_bytes = read_file_bytes(path);
    const std::string_view raw(reinterpret_cast<const char*>(raw_bytes.data()), raw_bytes.size());
    if (auto error = utf8_error(raw)) throw ValueError(*error);
    std::string text;
    text.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\r') {
            text += '\n';
            if (i + 1 < raw.size() && raw[i + 1] == '\n') ++i;
        } else {
            text += raw[i];
        }
    }
    return text;
}

}  // namespace ossara::detail
