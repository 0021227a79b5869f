// The page-lock records: holds per caller range, holder counts per run of pages.
#include "detail/page_locks.hpp"

#include "detail/unwinding.hpp"

#include <algorithm>
#include <iterator>
#include <set>
#include <tuple>

#if !defined(_WIN32)
#include <pthread.h>
#endif

namespace ossara::detail {

using Run = PagePlatform::Run;

// Every live table, so that fork() can take all their mutexes first and the
// child can start them empty. Never destroyed: tables may outlive statics.
struct ForkGuard {
    static std::mutex& registry_mutex() {
        static auto* mutex = new std::mutex;
        return *mutex;
    }
    static std::set<PageLockTable*>& tables() {
        static auto* live = new std::set<PageLockTable*>;
        return *live;
    }
    // A fork waits until no table is in the middle of an operation.
    static void prepare() {
        registry_mutex().lock();
        for (PageLockTable* table : tables()) table->_mutex.lock();
    }
    static void parent() {
        for (PageLockTable* table : tables()) table->_mutex.unlock();
        registry_mutex().unlock();
    }
    // The child holds no page lock (the kernel does not pass them on), so
    // it holds nothing in the tables either. Its only thread is the one
    // that took the mutexes in prepare().
    static void child() {
        for (PageLockTable* table : tables()) {
            table->forget_all();
            table->_mutex.unlock();
        }
        registry_mutex().unlock();
    }
    static void enrol(PageLockTable* table) {
#if !defined(_WIN32)
        static const int registered = ::pthread_atfork(&prepare, &parent, &child);
        (void)registered;
#endif
        const std::lock_guard<std::mutex> guard(registry_mutex());
        tables().insert(table);
    }
    static void leave(PageLockTable* table) noexcept {
        const std::lock_guard<std::mutex> guard(registry_mutex());
        tables().erase(table);
    }
};

PageLockTable::PageLockTable() { ForkGuard::enrol(this); }

PageLockTable::~PageLockTable() { ForkGuard::leave(this); }

namespace {

// Gives the runs back to the platform; errors of this rollback are dropped.
void unlock_quietly(const std::vector<Run>& runs, std::size_t upto, PagePlatform& platform) noexcept {
    for (std::size_t i = 0; i < upto; ++i) {
        try {
            platform.unlock(runs[i].first, runs[i].end - runs[i].first);
        } catch (...) {
        }
    }
}

void lock_quietly(const std::vector<Run>& runs, std::size_t upto, PagePlatform& platform) noexcept {
    for (std::size_t i = 0; i < upto; ++i) {
        try {
            platform.lock(runs[i].first, runs[i].end - runs[i].first);
        } catch (...) {
        }
    }
}

}  // namespace

bool PageLockTable::acquire(std::uintptr_t addr, std::size_t size, std::uintptr_t first, std::size_t length,
                            PagePlatform& platform) {
    // The records must never be left half updated by a thread cancelled in
    // a platform call.
    const NoCancellation hold_off_cancellation;
    const std::lock_guard<std::mutex> guard(_mutex);
    const std::uintptr_t end = first + length;
    const bool counted = platform.counts_each_lock();
    const std::vector<Run> gaps = runs_with(first, end, 0);
    // What undoes this call's lock: the pages nobody else holds, or, where
    // each lock is counted, one unlock of the whole range.
    const std::vector<Run> own = counted ? std::vector<Run>{{first, end}} : gaps;
    bool locked = false;
    try {
        locked = platform.lock(first, length);
    } catch (...) {
        if (!counted) unlock_quietly(gaps, gaps.size(), platform);
        throw;
    }
    if (!locked) {
        // A refusal may come after part of the range was locked; a counting
        // kernel has undone that part itself.
        if (!counted) unlock_quietly(gaps, gaps.size(), platform);
        return false;
    }
    decltype(_holds)::iterator hold;
    bool inserted = false;
    try {
        std::tie(hold, inserted) = _holds.try_emplace({addr, size}, Hold{first, end, 0});
        if (platform.excludes_from_dumps()) platform.exclude_from_dumps(first, length);
        add_hold(first, end, gaps);
    } catch (...) {
        if (inserted) _holds.erase(hold);
        unlock_quietly(own, own.size(), platform);
        throw;
    }
    ++hold->second.count;
    return true;
}

bool PageLockTable::release(std::uintptr_t addr, std::size_t size, std::uintptr_t first, std::size_t length,
                            PagePlatform& platform) {
    const NoCancellation hold_off_cancellation;
    const std::lock_guard<std::mutex> guard(_mutex);
    const auto hold = _holds.find({addr, size});
    const bool holding = hold != _holds.end();
    if (holding) {
        first = hold->second.first;
        length = hold->second.end - first;
    }
    const std::uintptr_t end = first + length;
    // A hold gives back the pages it was the last one on (where each lock is
    // counted: the count its own lock added, over its whole range); a range
    // that holds nothing here may unlock only pages that nobody holds.
    const std::vector<Run> runs = holding && platform.counts_each_lock() ? std::vector<Run>{{first, end}}
                                                                         : runs_with(first, end, holding ? 1 : 0);
    if (holding) {
        split_at(first);
        split_at(end);
    }
    std::size_t done = 0;
    try {
        for (; done < runs.size(); ++done) {
            if (!platform.unlock(runs[done].first, runs[done].end - runs[done].first)) {
                if (holding) lock_quietly(runs, done, platform);
                merge_around(first, end);
                return false;
            }
        }
    } catch (...) {
        if (holding) lock_quietly(runs, done, platform);
        merge_around(first, end);
        throw;
    }
    if (!holding) return true;
    drop_hold(first, end);
    if (--hold->second.count == 0) _holds.erase(hold);
    return true;
}

std::size_t PageLockTable::holders(std::uintptr_t page) const {
    const std::lock_guard<std::mutex> guard(_mutex);
    auto it = _stretches.upper_bound(page);
    if (it == _stretches.begin()) return 0;
    --it;
    return page < it->second.end ? it->second.holders : 0;
}

std::pair<std::size_t, std::size_t> PageLockTable::records() const {
    const std::lock_guard<std::mutex> guard(_mutex);
    return {_holds.size(), _stretches.size()};
}

std::vector<Run> PageLockTable::runs_with(std::uintptr_t first, std::uintptr_t end, std::size_t holders) const {
    std::vector<Run> runs;
    const auto add = [&](std::uintptr_t from, std::uintptr_t to) {
        if (from >= to) return;
        if (!runs.empty() && runs.back().end == from) {
            runs.back().end = to;
        } else {
            runs.push_back({from, to});
        }
    };
    auto it = _stretches.upper_bound(first);
    if (it != _stretches.begin() && std::prev(it)->second.end > first) --it;
    std::uintptr_t cursor = first;  // everything before it is accounted for
    for (; it != _stretches.end() && it->first < end; ++it) {
        const std::uintptr_t from = std::max(it->first, first);
        const std::uintptr_t to = std::min(it->second.end, end);
        if (holders == 0) {
            add(cursor, from);
        } else if (it->second.holders == holders) {
            add(from, to);
        }
        cursor = to;
    }
    if (holders == 0) add(cursor, end);
    return runs;
}

void PageLockTable::split_at(std::uintptr_t at) {
    auto it = _stretches.upper_bound(at);
    if (it == _stretches.begin()) return;
    const auto host = std::prev(it);
    if (!(host->first < at && at < host->second.end)) return;
    // The tail goes in first: if that throws, nothing has changed.
    _stretches.emplace_hint(it, at, Stretch{host->second.end, host->second.holders});
    host->second.end = at;
}

void PageLockTable::merge_around(std::uintptr_t first, std::uintptr_t end) noexcept {
    auto it = _stretches.lower_bound(first);
    if (it != _stretches.begin()) --it;
    while (it != _stretches.end() && it->first <= end) {
        const auto next = std::next(it);
        if (next != _stretches.end() && it->second.end == next->first && it->second.holders == next->second.holders) {
            it->second.end = next->second.end;
            _stretches.erase(next);
        } else {
            it = next;
        }
    }
}

void PageLockTable::add_hold(std::uintptr_t first, std::uintptr_t end, const std::vector<Run>& gaps) {
    split_at(first);
    split_at(end);
    std::vector<std::uintptr_t> added;
    try {
        // The gaps enter with no holder; every stretch of the range gains one below.
        for (const Run& gap : gaps) {
            _stretches.emplace(gap.first, Stretch{gap.end, 0});
            added.push_back(gap.first);
        }
    } catch (...) {
        for (const std::uintptr_t start : added) _stretches.erase(start);
        merge_around(first, end);
        throw;
    }
    for (auto it = _stretches.lower_bound(first); it != _stretches.end() && it->first < end; ++it)
        ++it->second.holders;
    merge_around(first, end);
}

void PageLockTable::drop_hold(std::uintptr_t first, std::uintptr_t end) noexcept {
    for (auto it = _stretches.lower_bound(first); it != _stretches.end() && it->first < end;) {
        if (--it->second.holders == 0) {
            it = _stretches.erase(it);
        } else {
            ++it;
        }
    }
    merge_around(first, end);
}

void PageLockTable::forget_all() noexcept {
    _holds.clear();
    _stretches.clear();
}

}  // namespace ossara::detail
