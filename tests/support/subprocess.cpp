#include "support/subprocess.hpp"

#if !defined(_WIN32)
#include "support/test_data.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace ossara::testing {

namespace {

std::vector<char*> c_argv(const std::vector<std::string>& argv) {
    std::vector<char*> out;
    for (const auto& arg : argv) out.push_back(const_cast<char*>(arg.c_str()));
    out.push_back(nullptr);
    return out;
}

// Closes a pipe end once; -1 means closed.
void close_fd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// The child's wait status once it has ended, nothing after `limit` (or when
// it cannot be waited for: *gone is set then).
std::optional<int> wait_status(int pid, std::chrono::milliseconds limit, bool* gone = nullptr) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (true) {
        const int r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) return status;
        if (r < 0) {
            if (gone) *gone = true;
            return std::nullopt;
        }
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// WEXITSTATUS for a normal exit, -1 for a signal; -2 after `limit`.
int wait_exit(int pid, std::chrono::milliseconds limit) {
    bool gone = false;
    const auto status = wait_status(pid, limit, &gone);
    if (!status) return gone ? -1 : -2;
    return WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
}

int exit_code_of(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

// A pipe whose ends the child does not inherit (posix_spawn's dup2 gives it
// copies of the ends it needs); pipe2 is Linux's.
bool close_on_exec_pipe(std::array<int, 2>& ends) {
    if (::pipe(ends.data()) != 0) return false;
    for (const int fd : ends) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    return true;
}

}  // namespace

ProcessResult run_process(const std::vector<std::string>& argv, const std::string& input, std::chrono::seconds limit) {
    std::array<int, 2> in_pipe{-1, -1}, out_pipe{-1, -1}, err_pipe{-1, -1};
    if (!close_on_exec_pipe(in_pipe) || !close_on_exec_pipe(out_pipe) || !close_on_exec_pipe(err_pipe))
        throw std::runtime_error("pipe failed");

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in_pipe[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], STDERR_FILENO);
    auto args = c_argv(argv);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close_fd(in_pipe[0]);
    close_fd(out_pipe[1]);
    close_fd(err_pipe[1]);
    if (rc != 0) {
        close_fd(in_pipe[1]);
        close_fd(out_pipe[0]);
        close_fd(err_pipe[0]);
        throw std::runtime_error("cannot start " + argv[0]);
    }

    ProcessResult result;
    std::size_t written = 0;
    if (input.empty()) close_fd(in_pipe[1]);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (out_pipe[0] >= 0 || err_pipe[0] >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timed_out = true;
            ::kill(pid, SIGKILL);
            break;
        }
        std::array<pollfd, 3> fds{{{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}, {in_pipe[1], POLLOUT, 0}}};
        if (::poll(fds.data(), fds.size(), static_cast<int>(std::min<long long>(left.count(), 500))) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[static_cast<std::size_t>(i)].revents == 0) continue;
            std::array<char, 4096> buf{};
            int& fd = i == 0 ? out_pipe[0] : err_pipe[0];
            const ssize_t n = ::read(fd, buf.data(), buf.size());
            if (n <= 0) {
                close_fd(fd);
                continue;
            }
            (i == 0 ? result.out : result.err).append(buf.data(), static_cast<std::size_t>(n));
        }
        if (in_pipe[1] >= 0 && fds[2].revents != 0) {
            const ssize_t n = ::write(in_pipe[1], input.data() + written, input.size() - written);
            if (n > 0) written += static_cast<std::size_t>(n);
            if (n <= 0 || written == input.size()) close_fd(in_pipe[1]);
        }
    }
    close_fd(in_pipe[1]);
    close_fd(out_pipe[0]);
    close_fd(err_pipe[0]);
    const int code = wait_exit(pid, std::chrono::seconds(10));
    if (code == -2) {
        ::kill(pid, SIGKILL);
        wait_exit(pid, std::chrono::seconds(10));
        result.timed_out = true;
    }
    result.exit_code = code >= 0 ? code : -1;
    return result;
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv, const std::filesystem::path& log_dir)
    : out_file_(log_dir / "stdout.log"), err_file_(log_dir / "stderr.log") {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    auto args = c_argv(argv);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
    pid_ = pid;
}

BackgroundProcess::~BackgroundProcess() { stop(); }

int BackgroundProcess::wait_exit(std::chrono::seconds limit) {
    if (pid_ < 0) return -1;
    const auto status = wait_status(pid_, limit);
    if (!status) return -1;
    pid_ = -1;
    return exit_code_of(*status);
}

int BackgroundProcess::stop(std::chrono::seconds patience) {
    if (pid_ < 0) return -1;
    ::kill(pid_, SIGTERM);
    int code = ossara::testing::wait_exit(pid_, patience);
    if (code == -2) {
        ::kill(pid_, SIGKILL);
        ossara::testing::wait_exit(pid_, std::chrono::seconds(10));
        code = -1;
    }
    pid_ = -1;
    return code;
}

std::string BackgroundProcess::first_line(std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        std::string text;
        try {
            text = read_text_file(out_file_);
        } catch (const std::runtime_error&) {
        }
        if (const auto end = text.find('\n'); end != std::string::npos) return text.substr(0, end);
        int status = 0;
        if (pid_ >= 0 && ::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error("the process exited before writing a line: " + stderr_text());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    throw std::runtime_error("no line on stdout in time: " + stderr_text());
}

std::string BackgroundProcess::stdout_text() const {
    try {
        return read_text_file(out_file_);
    } catch (const std::runtime_error&) {
        return {};
    }
}

std::string BackgroundProcess::stderr_text() const {
    try {
        return read_text_file(err_file_);
    } catch (const std::runtime_error&) {
        return {};
    }
}

std::optional<int> run_in_child(const std::function<int()>& body, std::chrono::milliseconds limit) {
    const pid_t child = ::fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
        int code = 98;
        try {
            code = body();
        } catch (...) {
        }
        ::_exit(code);
    }
    if (const auto status = wait_status(child, limit)) return exit_code_of(*status);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    return std::nullopt;
}

}  // namespace ossara::testing
#endif
