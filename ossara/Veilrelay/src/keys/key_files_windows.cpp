// Key files on Windows: wide-character paths through the W functions, binary
// I/O (the Win32 calls never translate line ends or stop at 0x1A), an
// owner-only DACL instead of mode bits, and MoveFileExW for the atomic
// replacement.
#ifdef _WIN32
#include "keys/key_files.hpp"

#include <windows.h>

#include <sddl.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <random>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace ossara::detail {

namespace {

// The Win32 errors a caller may test for, as the errno values the POSIX side
// reports, so both raise the same filesystem_error; any other code keeps its
// Windows value and text.
std::error_code to_error_code(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
            return std::make_error_code(std::errc::no_such_file_or_directory);
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return std::make_error_code(std::errc::permission_denied);
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return std::make_error_code(std::errc::file_exists);
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return std::make_error_code(std::errc::no_space_on_device);
        case ERROR_WRITE_PROTECT:
            return std::make_error_code(std::errc::read_only_file_system);
        case ERROR_FILENAME_EXCED_RANGE:
            return std::make_error_code(std::errc::filename_too_long);
        case ERROR_DIRECTORY:
            return std::make_error_code(std::errc::not_a_directory);
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME:
        case ERROR_INVALID_PARAMETER:
            return std::make_error_code(std::errc::invalid_argument);
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return std::make_error_code(std::errc::not_enough_memory);
        default:
            return {static_cast<int>(error), std::system_category()};
    }
}

[[noreturn]] void throw_fs(const char* what, const std::filesystem::path& path, DWORD error) {
    throw std::filesystem::filesystem_error(what, path, to_error_code(error));
}

// Closes the handle on every path; a CloseHandle failure on the success path
// is reported by finish().
class Handle {
public:
    Handle(HANDLE handle, std::filesystem::path path) : handle_(handle), path_(std::move(path)) {}
    ~Handle() {
        if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const noexcept { return handle_; }
    void finish() {
        const HANDLE handle = std::exchange(handle_, INVALID_HANDLE_VALUE);
        if (!::CloseHandle(handle)) throw_fs("cannot close file", path_, ::GetLastError());
    }

private:
    HANDLE handle_;
    std::filesystem::path path_;
};

// Memory that the security functions hand out with LocalAlloc.
struct LocalFreeDeleter {
    void operator()(void* memory) const noexcept { ::LocalFree(memory); }
};
template <typename T>
using LocalPtr = std::unique_ptr<T, LocalFreeDeleter>;

// The largest single ReadFile/WriteFile request (their counts are DWORDs).
constexpr std::size_t kMaxIo = 1u << 30;

// A security descriptor whose DACL grants full access to the process's user
// and nobody else, protected so that the directory's inheritable entries are
// not added to it.
LocalPtr<void> owner_only_descriptor(const std::filesystem::path& path) {
    HANDLE raw_token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw_token))
        throw_fs("cannot restrict the permissions of the key file", path, ::GetLastError());
    const Handle token(raw_token, path);
    DWORD size = 0;
    ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<std::uint8_t> user(size);
    if (size == 0 || !::GetTokenInformation(token.get(), TokenUser, user.data(), size, &size))
        throw_fs("cannot restrict the permissions of the key file", path, ::GetLastError());
    wchar_t* raw_sid = nullptr;
    if (!::ConvertSidToStringSidW(reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid, &raw_sid))
        throw_fs("cannot restrict the permissions of the key file", path, ::GetLastError());
    const LocalPtr<wchar_t> sid(raw_sid);
    // D:P = protected DACL; one entry: allow (A) file-all-access (FA) to the user.
    const std::wstring sddl = L"D:P(A;;FA;;;" + std::wstring(sid.get()) + L")";
    PSECURITY_DESCRIPTOR raw_descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &raw_descriptor,
                                                                nullptr))
        throw_fs("cannot restrict the permissions of the key file", path, ::GetLastError());
    return LocalPtr<void>(raw_descriptor);
}

// Creates a new file with a name of its own beside `target`: "." + the
// target's name + a random suffix, so it never collides with another writer.
Handle create_temporary(const std::filesystem::path& target, SECURITY_ATTRIBUTES* security,
                        std::filesystem::path& temporary) {
    const std::filesystem::path dir = target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
    std::random_device random;
    for (int attempt = 0;; ++attempt) {
        temporary = dir / (L"." + target.filename().wstring() + L"." + std::to_wstring(random()));
        const HANDLE handle = ::CreateFileW(temporary.c_str(), GENERIC_READ | GENERIC_WRITE, 0, security, CREATE_NEW,
                                            FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE) return Handle(handle, temporary);
        const DWORD error = ::GetLastError();
        if ((error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) || attempt == 99)
            throw_fs("cannot create file", target, error);
    }
}

void write_all(const Handle& file, const std::filesystem::path& path, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        DWORD written = 0;
        if (!::WriteFile(file.get(), data, static_cast<DWORD>(std::min(size, kMaxIo)), &written, nullptr))
            throw_fs("cannot write file", path, ::GetLastError());
        data += written;
        size -= written;
    }
}

void replace_file(const std::filesystem::path& path, std::span<const std::uint8_t> bytes, bool owner_only,
                  const std::function<void(NativeFile file)>& before_write) {
    // Without a descriptor of our own the file takes the directory's
    // inherited permissions. MoveFileExW keeps the new file's security
    // descriptor, so the owner-only DACL survives the rename.
    const LocalPtr<void> descriptor = owner_only ? owner_only_descriptor(path) : nullptr;
    SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), descriptor.get(), FALSE};
    std::filesystem::path temporary;
    try {
        Handle file = create_temporary(path, owner_only ? &security : nullptr, temporary);
        if (before_write) before_write(file.get());
        write_all(file, temporary, bytes.data(), bytes.size());
        if (!::FlushFileBuffers(file.get())) throw_fs("cannot write file", temporary, ::GetLastError());
        file.finish();
        if (!::MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            throw_fs("cannot replace file", path, ::GetLastError());
    } catch (...) {
        if (!temporary.empty()) ::DeleteFileW(temporary.c_str());
        throw;
    }
}

}  // namespace

SecretBytes read_file_bytes(const std::filesystem::path& path) {
    // Others may read, replace or delete the file meanwhile: FILE_SHARE_DELETE
    // keeps this reader from blocking an atomic replacement.
    const HANDLE raw = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (raw == INVALID_HANDLE_VALUE) throw_fs("cannot open file", path, ::GetLastError());
    Handle file(raw, path);
    // Read straight into a wiping buffer sized from the file, so no unwiped
    // copy of the key is left behind in freed memory.
    LARGE_INTEGER size{};
    const std::size_t hint = ::GetFileSizeEx(file.get(), &size) && size.QuadPart > 0 && size.QuadPart < (1LL << 40)
                                 ? static_cast<std::size_t>(size.QuadPart)
                                 : 0;
    SecretBytes buffer(hint + 1);
    std::size_t used = 0;
    for (;;) {
        if (used == buffer.size()) {
            SecretBytes bigger(buffer.size() * 2);
            std::copy(buffer.data(), buffer.data() + used, bigger.data());
            buffer = std::move(bigger);  // the old buffer is wiped
        }
        DWORD n = 0;
        if (!::ReadFile(file.get(), buffer.data() + used, static_cast<DWORD>(std::min(buffer.size() - used, kMaxIo)),
                        &n, nullptr))
            throw_fs("cannot read file", path, ::GetLastError());
        if (n == 0) break;
        used += n;
    }
    file.finish();
    buffer.truncate(used);
    return buffer;
}

void write_private_file(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                        const std::function<void(NativeFile file)>& before_write) {
    replace_file(path, bytes, true, before_write);
}

void write_text_file(const std::filesystem::path& path, std::string_view text) {
    replace_file(path, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), false, {});
}

}  // namespace ossara::detail
#endif
