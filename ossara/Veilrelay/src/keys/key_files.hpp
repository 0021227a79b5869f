#pragma once
// Reading and writing key files. Failures are the file system's own errors
// (std::filesystem::filesystem_error), never wrapped.
#include "core/secret_bytes.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace ossara::detail {

// An open file as the platform names it: a descriptor, or a Windows HANDLE.
#ifdef _WIN32
using NativeFile = void*;
#else
using NativeFile = int;
#endif

// A path given as a UTF-8 string. POSIX paths are bytes and pass unchanged;
// on Windows a narrow string would be read in the ANSI code page, so any
// character outside ASCII would name another file.
inline std::filesystem::path path_from_utf8(std::string_view text) {
#ifdef _WIN32
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
#else
    return std::filesystem::path(text);
#endif
}

// The whole file as bytes, in a buffer that wipes itself (key files are secrets).
SecretBytes read_file_bytes(const std::filesystem::path& path);

// The whole file as text (UTF-8), with "\r\n" and lone "\r" read as "\n".
std::string read_text_file(const std::filesystem::path& path);

// Replaces `path` with a file holding `bytes`, atomically: the bytes go to
// a new owner-only file in the same directory, which is flushed to disk and
// renamed over `path`. A failure leaves the old file whole and removes the
// new one. `before_write` (tests) sees the new file just before the first
// byte.
// - POSIX: the file is 0600 from its creation and the directory is synced
//   after the rename; a descriptor opened on the old file never sees the new
//   bytes.
// - Windows: the file is created with a protected DACL that grants the
//   process's user alone, and renamed with MoveFileExW (write-through),
//   which keeps that DACL. A file that another process holds open without
//   FILE_SHARE_DELETE cannot be replaced: that is a failure as above.
void write_private_file(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                        const std::function<void(NativeFile file)>& before_write = {});

// The same replacement for a text file. POSIX: the caller widens its mode
// after. Windows: the file takes the directory's inherited permissions, as
// any new file would.
void write_text_file(const std::filesystem::path& path, std::string_view text);

}  // namespace ossara::detail
