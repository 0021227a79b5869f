#include "real_pages.hpp"

#include <spdlog/spdlog.h>

#include <cstdlib>
#include <fstream>
#include <new>
#include <sstream>
#include <stdexcept>

namespace hvtest {

std::string vm_flags_at(std::uintptr_t address) {
    std::ifstream smaps("/proc/self/smaps");
    std::string line;
    bool inside = false;
    while (std::getline(smaps, line)) {
        // A mapping's header: "start-end perms offset dev inode path".
        const auto dash = line.find('-');
        const auto space = line.find(' ');
        if (dash != std::string::npos && space != std::string::npos && dash < space &&
            line.find_first_not_of("0123456789abcdef") == dash) {
            const auto start = std::stoull(line.substr(0, dash), nullptr, 16);
            const auto end = std::stoull(line.substr(dash + 1, space - dash - 1), nullptr, 16);
            inside = start <= address && address < end;
        } else if (inside && line.starts_with("VmFlags:")) {
            return line.substr(8);
        }
    }
    return {};
}

bool has_flag(const std::string& flags, const std::string& flag) {
    std::istringstream words(flags);
    std::string word;
    while (words >> word)
        if (word == flag) return true;
    return false;
}

std::vector<std::string> page_flags(std::uintptr_t first, std::size_t count, std::size_t page_size) {
    std::vector<std::string> flags(count);
    std::ifstream smaps("/proc/self/smaps");
    std::string line;
    std::uintptr_t start = 0, end = 0;
    while (std::getline(smaps, line)) {
        const auto dash = line.find('-');
        const auto space = line.find(' ');
        if (dash != std::string::npos && space != std::string::npos && dash < space &&
            line.find_first_not_of("0123456789abcdef") == dash) {
            start = std::stoull(line.substr(0, dash), nullptr, 16);
            end = std::stoull(line.substr(dash + 1, space - dash - 1), nullptr, 16);
        } else if (line.starts_with("VmFlags:")) {
            for (std::size_t i = 0; i < count; ++i) {
                const std::uintptr_t page = first + i * page_size;
                if (start <= page && page < end) flags[i] = line.substr(8);
            }
        }
    }
    return flags;
}

QuietLog::QuietLog() : _saved(spdlog::get("ossara.Hushvault")->level()) {
    spdlog::get("ossara.Hushvault")->set_level(spdlog::level::off);
}

QuietLog::~QuietLog() { spdlog::get("ossara.Hushvault")->set_level(static_cast<spdlog::level::level_enum>(_saved)); }

AlignedPages::AlignedPages(std::size_t pages, std::size_t page_size)
    : _data(static_cast<std::uint8_t*>(std::aligned_alloc(page_size, pages * page_size))) {
    if (_data == nullptr) throw std::bad_alloc();
    for (std::size_t i = 0; i < pages * page_size; ++i) _data[i] = 0x42;  // touch every page
}

AlignedPages::~AlignedPages() { std::free(_data); }

}  // namespace hvtest
