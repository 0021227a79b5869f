// Reads the core-dump exclusion of mappings from /proc/self/smaps. The file
// lists the mappings in address order, each costing the kernel a walk of its
// pages, so reading stops at the first mapping past the range.
#include "detail/dump_flags.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#if defined(__linux__)
#include <fcntl.h>
#include <unistd.h>
#endif

namespace ossara::detail {

#if defined(__linux__)
namespace {

// "start-end perms ..." of a mapping's first line; false for other lines.
bool parse_header(std::string_view line, std::uintptr_t& start, std::uintptr_t& end) {
    const auto dash = line.find('-');
    const auto space = line.find(' ');
    if (dash == std::string_view::npos || space == std::string_view::npos || dash == 0 || space < dash) return false;
    std::uintptr_t values[2] = {0, 0};
    const std::string_view parts[2] = {line.substr(0, dash), line.substr(dash + 1, space - dash - 1)};
    for (int i = 0; i < 2; ++i) {
        if (parts[i].empty()) return false;
        for (const char c : parts[i]) {
            int digit = 0;
            if (c >= '0' && c <= '9') {
                digit = c - '0';
            } else if (c >= 'a' && c <= 'f') {
                digit = c - 'a' + 10;
            } else {
                return false;
            }
            values[i] = values[i] * 16 + static_cast<std::uintptr_t>(digit);
        }
    }
    start = values[0];
    end = values[1];
    return true;
}

bool has_dd(std::string_view flags) {
    for (std::size_t at = flags.find("dd"); at != std::string_view::npos; at = flags.find("dd", at + 1)) {
        const bool starts = at == 0 || flags[at - 1] == ' ';
        const bool ends = at + 2 == flags.size() || flags[at + 2] == ' ';
        if (starts && ends) return true;
    }
    return false;
}

}  // namespace
#endif

std::vector<PagePlatform::Run> excluded_from_dumps(std::uintptr_t first, std::uintptr_t end) {
    std::vector<PagePlatform::Run> runs;
#if defined(__linux__)
    const int fd = ::open("/proc/self/smaps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return runs;
    // Large reads: each one makes the kernel produce as many mappings as fit.
    std::string buffer(std::size_t{1} << 16, '\0');
    std::size_t held = 0;  // bytes of an unfinished line at the buffer's start
    std::uintptr_t start = 0, stop = 0;
    bool inside = false, done = false;
    while (!done) {
        if (held == buffer.size()) buffer.resize(buffer.size() * 2);
        const ssize_t got = ::read(fd, buffer.data() + held, buffer.size() - held);
        if (got <= 0) break;
        const std::string_view text(buffer.data(), held + static_cast<std::size_t>(got));
        std::size_t from = 0;
        for (std::size_t eol; !done && (eol = text.find('\n', from)) != std::string_view::npos; from = eol + 1) {
            const std::string_view line = text.substr(from, eol - from);
            std::uintptr_t s = 0, e = 0;
            if (parse_header(line, s, e)) {
                done = s >= end;
                start = std::max(s, first);
                stop = std::min(e, end);
                inside = start < stop;
            } else if (inside && line.starts_with("VmFlags:")) {
                if (has_dd(line.substr(8))) {
                    if (!runs.empty() && runs.back().end == start) {
                        runs.back().end = stop;
                    } else {
                        runs.push_back({start, stop});
                    }
                }
                inside = false;
            }
        }
        held = text.size() - from;
        std::memmove(buffer.data(), buffer.data() + from, held);
    }
    ::close(fd);
#else
    (void)first, (void)end;
#endif
    return runs;
}

}  // namespace ossara::detail
