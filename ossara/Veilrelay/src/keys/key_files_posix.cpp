// Key files on POSIX systems: descriptors, mode bits, rename and fsync.
#ifndef _WIN32
#include "keys/key_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace ossara::detail {

namespace {

[[noreturn]] void throw_fs(const char* what, const std::filesystem::path& path, int error) {
    throw std::filesystem::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

// Closes the descriptor on every path; close() errors on the success path are
// reported by finish().
class Fd {
public:
    Fd(int fd, std::filesystem::path path) : fd_(fd), path_(std::move(path)) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const noexcept { return fd_; }
    void finish() {
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) throw_fs("cannot close file", path_, errno);
    }

private:
    int fd_;
    std::filesystem::path path_;
};

Fd open_or_throw(const std::filesystem::path& path, int flags, mode_t mode) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) throw_fs("cannot open file", path, errno);
    return Fd(fd, path);
}

void write_all(const Fd& fd, const std::filesystem::path& path, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd.get(), data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw_fs("cannot write file", path, errno);
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

}  // namespace

SecretBytes read_file_bytes(const std::filesystem::path& path) {
    // Read straight into a wiping buffer sized from the file, so no unwiped
    // copy of the key is left behind in freed memory.
    Fd fd = open_or_throw(path, O_RDONLY, 0);
    struct stat st {};
    const std::size_t hint = ::fstat(fd.get(), &st) == 0 && st.st_size > 0 ? static_cast<std::size_t>(st.st_size) : 0;
    SecretBytes buffer(hint + 1);
    std::size_t used = 0;
    for (;;) {
        make_room(buffer, used);
        const ssize_t n = ::read(fd.get(), buffer.data() + used, buffer.size() - used);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw_fs("cannot read file", path, errno);
        }
        if (n == 0) break;
        used += static_cast<std::size_t>(n);
    }
    fd.finish();
    buffer.truncate(used);
    return buffer;
}

namespace {

// Brings the file's data to the disk itself. On macOS fsync only hands it to
// the drive, whose cache may still lose it; F_FULLFSYNC asks the drive to
// write it, and where the file system cannot (it says so), fsync is what remains.
bool sync_to_disk(int fd) {
#if defined(F_FULLFSYNC)
    if (::fcntl(fd, F_FULLFSYNC) == 0) return true;
#endif
    return ::fsync(fd) == 0;
}

}  // namespace

void write_private_file(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                        const std::function<void(NativeFile file)>& before_write) {
    // A new file beside the target, owner-only from its creation, that takes
    // the target's name only once it is complete and on disk: a descriptor
    // opened on the old file keeps reading the old file, and a failure
    // leaves the old file whole.
    const std::filesystem::path dir = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    std::string name = (dir / ("." + path.filename().string() + ".XXXXXX")).string();
    int raw;
    do {
        raw = ::mkostemp(name.data(), O_CLOEXEC);
    } while (raw < 0 && errno == EINTR);
    if (raw < 0) throw_fs("cannot create file", path, errno);
    const std::filesystem::path temporary(name);
    try {
        Fd fd(raw, temporary);
        // mkostemp creates 0600 already; say so whatever the platform's default.
        if (::fchmod(fd.get(), S_IRUSR | S_IWUSR) != 0) throw_fs("cannot restrict the permissions of the key file", temporary, errno);
        if (before_write) before_write(fd.get());
        write_all(fd, temporary, bytes.data(), bytes.size());
        if (!sync_to_disk(fd.get())) throw_fs("cannot write file", temporary, errno);
        fd.finish();
        if (::rename(temporary.c_str(), path.c_str()) != 0) throw_fs("cannot replace file", path, errno);
    } catch (...) {
        ::unlink(temporary.c_str());
        throw;
    }
    // The new name itself is on disk once the directory is. Some file
    // systems cannot sync a directory; the file's content is on disk anyway.
    const int dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd >= 0) {
        ::fsync(dir_fd);
        ::close(dir_fd);
    }
}

void write_text_file(const std::filesystem::path& path, std::string_view text) {
    write_private_file(path, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

}  // namespace ossara::detail
#endif
