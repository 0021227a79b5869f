#pragma once
// Child processes for tests, bounded in time: the built programs, and a
// function of the test run in a forked copy of the test process. POSIX only.
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ossara::testing {

struct ProcessResult {
    int exit_code = -1;  // -1 when the process was killed (timeout) or died by a signal
    std::string out;
    std::string err;
    bool timed_out = false;
};

// Runs `argv` (argv[0] is a path), feeding `input` on stdin; kills it after `limit`.
ProcessResult run_process(const std::vector<std::string>& argv, const std::string& input = {},
                          std::chrono::seconds limit = std::chrono::seconds(120));

// Where `text` holds a character a terminal acts on instead of showing it (a
// C0 control other than newline and tab, DEL, a C1 control written in UTF-8),
// or npos when it holds none.
inline std::size_t first_terminal_control(std::string_view text) {
    for (std::size_t at = 0; at < text.size(); ++at) {
        const auto byte = static_cast<unsigned char>(text[at]);
        if ((byte < 0x20 && byte != '\n' && byte != '\t') || byte == 0x7f) return at;
        if (byte == 0xc2 && at + 1 < text.size() && static_cast<unsigned char>(text[at + 1]) <= 0x9f &&
            static_cast<unsigned char>(text[at + 1]) >= 0x80)
            return at;
    }
    return std::string_view::npos;
}

// A long-running child (the development router) with stdout and stderr in
// files, stopped with SIGTERM (SIGKILL if it lingers) on destruction.
class BackgroundProcess {
public:
    BackgroundProcess(const std::vector<std::string>& argv, const std::filesystem::path& log_dir);
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    // The first line the process writes to stdout, without its line break.
    // Throws std::runtime_error if none arrives within `limit` or the process exits.
    std::string first_line(std::chrono::seconds limit);
    std::string stdout_text() const;
    std::string stderr_text() const;
    // The exit code once the process has ended by itself (128 + the signal
    // when a signal ended it), or -1 when it still runs after `limit`.
    int wait_exit(std::chrono::seconds limit);
    // SIGTERM, then SIGKILL if it lingers past `patience`; the exit code, or
    // -1 when it was killed or had already been stopped.
    int stop(std::chrono::seconds patience = std::chrono::seconds(10));

private:
    int pid_ = -1;
    std::filesystem::path out_file_;
    std::filesystem::path err_file_;
};

// Runs `body` in a forked child and returns its exit code (128 + the signal
// when a signal ended it), or nothing when the child did not end within
// `limit` (it is killed then). A body that throws exits with 98. The child
// ends with _exit: no destructor or atexit handler of the parent's runs twice.
std::optional<int> run_in_child(const std::function<int()>& body, std::chrono::milliseconds limit);

}  // namespace ossara::testing
