// The warning channel. The default handler behaves like an unconfigured
// application: each warning is shown on stderr once per source location.
#include <ossara/veilrelay/warnings.hpp>

#include <cstdio>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <utility>

namespace ossara {

namespace {

std::mutex& channel_mutex() {
    static std::mutex mutex;
    return mutex;
}

// The installed handler; empty means the default.
WarningHandler& installed_handler() {
    static WarningHandler handler;
    return handler;
}

void default_handler(std::string_view category, std::string_view message, const std::source_location& where) {
    // (file, line, category, message): a second warning from the same place is not shown again.
    using Key = std::tuple<std::string, std::uint_least32_t, std::string, std::string>;
    static std::mutex shown_mutex;
    static std::set<Key> shown;
    {
        std::lock_guard<std::mutex> lock(shown_mutex);
        if (!shown.emplace(where.file_name(), where.line(), std::string(category), std::string(message)).second) return;
    }
    const std::string line = std::string(where.file_name()) + ":" + std::to_string(where.line()) + ": " +
                             std::string(category) + ": " + std::string(message) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

}  // namespace

WarningHandler set_warning_handler(WarningHandler handler) {
    std::lock_guard<std::mutex> lock(channel_mutex());
    return std::exchange(installed_handler(), std::move(handler));
}

void warn(std::string_view category, std::string_view message, const std::source_location& where) {
    WarningHandler handler;
    {
        std::lock_guard<std::mutex> lock(channel_mutex());
        handler = installed_handler();
    }
    // Called outside the lock, so a handler may itself install another handler.
    if (handler)
        handler(category, message, where);
    else
        default_handler(category, message, where);
}

}  // namespace ossara
