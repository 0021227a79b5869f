// The platform-neutral part of key-file handling; the file-system calls are
// in key_files_posix.cpp and key_files_windows.cpp.
#include "keys/key_files.hpp"

#include "codec/utf8.hpp"

#include <ossara/veilrelay/errors.hpp>

#include <string_view>

namespace ossara::detail {

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
