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

// The whole file as bytes, in a buffer that wipes itself (key files are secrets).
SecretBytes read_file_bytes(const std::filesystem::path& path);

// The whole file as text (UTF-8), with "\r\n" and lone "\r" read as "\n".
std::string read_text_file(const std::filesystem::path& path);

// Replaces `path` with a file holding `bytes`, atomically: the bytes go to
// a new owner-only (0600) file in the same directory, which is flushed to
// disk and renamed over `path`; the directory is synced after. A descriptor
// opened on the old file never sees the new bytes, the file's mode is never
// wider than 0600, and a failure leaves the old file whole and removes the
// new one. `before_write` (tests) sees the new file's descriptor just before
// the first byte.
void write_private_file(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                        const std::function<void(int fd)>& before_write = {});

// The same replacement for a text file; the caller widens its mode after.
void write_text_file(const std::filesystem::path& path, std::string_view text);

}  // namespace ossara::detail
