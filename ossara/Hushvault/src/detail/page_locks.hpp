#pragma once
// How many locks hold each page. The platforms' page locks do not nest: one
// unlock releases a page whatever else was locked on it. Buffers share pages
// (small heap blocks sit side by side), so the handler asks the platform to
// lock a page only when its first holder arrives and to unlock it only when
// its last holder leaves, and counts the holders in between.
//
// One table belongs to each loader, so every handler bound through the
// process's real loader shares one table, as the pages are the process's.
// Its mutex is held for the count update and, on a first lock or last
// unlock, for the platform call itself, never while anything is logged.
#include "detail/unwinding.hpp"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace ossara::detail {

class PageLockTable {
public:
    // Counts one more holder on each of the `count` pages from `first`
    // (page-aligned), calling `lock_run(address, length)` for every maximal
    // run of pages that had none. When a run is refused (false) or the call
    // throws, the runs locked here are given back with `unlock_run`, nothing
    // is counted, and false is returned (or the error passes on).
    template <class Lock, class Unlock>
    bool acquire(std::uintptr_t first, std::size_t count, std::size_t page_size, Lock&& lock_run,
                 Unlock&& unlock_run) {
        const std::lock_guard<std::mutex> guard(_mutex);
        std::size_t done = 0;  // pages before this index are locked here when they had no holder
        try {
            for (std::size_t i = 0; i < count; ++i) _counts.try_emplace(first + i * page_size, 0);
            while (done < count) {
                const auto [start, end] = next_run(first, done, count, page_size, [](std::size_t n) { return n == 0; });
                if (start == end) break;
                if (!lock_run(first + start * page_size, (end - start) * page_size)) {
                    give_back(first, start, page_size, unlock_run);
                    forget_unheld(first, count, page_size);
                    return false;
                }
                done = end;
            }
        } catch (...) {
            give_back(first, done, page_size, unlock_run);
            forget_unheld(first, count, page_size);
            throw;
        }
        for (std::size_t i = 0; i < count; ++i) ++_counts[first + i * page_size];
        return true;
    }

    // Counts one holder less on each of the `count` pages from `first`,
    // calling `unlock_run(address, length)` for every maximal run of pages
    // whose last holder leaves, or that nobody is known to hold (an unlock
    // asked for memory never locked here still reaches the platform). When
    // a run is refused or the call throws, the pages unlocked here that had
    // a holder are locked again with `lock_run`, no count changes, and
    // false is returned (or the error passes on).
    template <class Unlock, class Lock>
    bool release(std::uintptr_t first, std::size_t count, std::size_t page_size, Unlock&& unlock_run,
                 Lock&& lock_run) {
        const std::lock_guard<std::mutex> guard(_mutex);
        const auto leaving = [](std::size_t n) { return n <= 1; };
        std::size_t done = 0;
        try {
            while (done < count) {
                const auto [start, end] = next_run(first, done, count, page_size, leaving);
                if (start == end) break;
                if (!unlock_run(first + start * page_size, (end - start) * page_size)) {
                    take_back(first, start, page_size, lock_run);
                    return false;
                }
                done = end;
            }
        } catch (...) {
            take_back(first, done, page_size, lock_run);
            throw;
        }
        for (std::size_t i = 0; i < count; ++i) {
            const auto found = _counts.find(first + i * page_size);
            if (found == _counts.end()) continue;
            if (--found->second == 0) _counts.erase(found);
        }
        return true;
    }

    // Holders of the page at `page` (page-aligned); 0 when none.
    std::size_t holders(std::uintptr_t page) const {
        const std::lock_guard<std::mutex> guard(_mutex);
        const auto found = _counts.find(page);
        return found == _counts.end() ? 0 : found->second;
    }

private:
    std::size_t held(std::uintptr_t page) const {
        const auto found = _counts.find(page);
        return found == _counts.end() ? 0 : found->second;
    }

    // The first maximal run [start, end) at or after `from` of pages whose
    // holder count satisfies `pick`; start == end when there is none.
    template <class Pick>
    std::pair<std::size_t, std::size_t> next_run(std::uintptr_t first, std::size_t from, std::size_t count,
                                                 std::size_t page_size, Pick pick) const {
        std::size_t start = from;
        while (start < count && !pick(held(first + start * page_size))) ++start;
        std::size_t end = start;
        while (end < count && pick(held(first + end * page_size))) ++end;
        return {start, end};
    }

    // Unlocks the runs of unheld pages among the first `upto` pages (the
    // ones acquire locked); errors of this rollback are dropped.
    template <class Unlock>
    void give_back(std::uintptr_t first, std::size_t upto, std::size_t page_size, Unlock& unlock_run) {
        std::size_t from = 0;
        while (from < upto) {
            const auto [start, end] = next_run(first, from, upto, page_size, [](std::size_t n) { return n == 0; });
            if (start == end) break;
            try {
                unlock_run(first + start * page_size, (end - start) * page_size);
            } catch (const forced_unwind&) {
                throw;
            } catch (...) {
            }
            from = end;
        }
    }

    // Locks again the runs of singly held pages among the first `upto`
    // pages (the ones release unlocked); errors of this rollback are dropped.
    template <class Lock>
    void take_back(std::uintptr_t first, std::size_t upto, std::size_t page_size, Lock& lock_run) {
        std::size_t from = 0;
        while (from < upto) {
            const auto [start, end] = next_run(first, from, upto, page_size, [](std::size_t n) { return n == 1; });
            if (start == end) break;
            try {
                lock_run(first + start * page_size, (end - start) * page_size);
            } catch (const forced_unwind&) {
                throw;
            } catch (...) {
            }
            from = end;
        }
    }

    void forget_unheld(std::uintptr_t first, std::size_t count, std::size_t page_size) noexcept {
        for (std::size_t i = 0; i < count; ++i) {
            const auto found = _counts.find(first + i * page_size);
            if (found != _counts.end() && found->second == 0) _counts.erase(found);
        }
    }

    mutable std::mutex _mutex;
    std::unordered_map<std::uintptr_t, std::size_t> _counts;
};

}  // namespace ossara::detail
