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

// Creates or truncates `path` and writes `bytes`, so that the file is never
// readable by anyone but its owner: a new file is created with mode 0600 and
// an existing one is narrowed to 0600 before it is truncated. An existing
// file whose mode cannot be narrowed is left untouched (filesystem_error).
// `before_write` (tests) sees the open descriptor just before the first byte.
void write_private_file(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                        const std::function<void(int fd)>& before_write = {});

// Creates or truncates `path` with the process's default permissions and writes `text`.
void write_text_file(const std::filesystem::path& path, std::string_view text);

}  // namespace ossara::detail
