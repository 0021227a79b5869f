#pragma once
// Who holds the locked pages. The platforms' page locks do not nest: one
// unlock releases a page whatever else was locked on it. Buffers share pages
// (small heap blocks sit side by side), so the table records every range
// locked through it (the caller's exact range, counted when the same range is
// locked again) and, over the pages, how many of those ranges cover each
// stretch, as non-overlapping runs of equal count: the bookkeeping grows with
// the number of ranges held, never with their size.
//
// A lock always goes to the platform for the whole range (locking an already
// locked page is cheap and harmless), so a lock is never reported that the
// kernel does not hold, whatever happened to the memory since (freed and
// mapped anew, or inherited by a forked child). The records decide only what
// an unlock may hand to the platform: the pages that the range's own hold was
// the last one on, plus, for a range that holds nothing here, the pages that
// no range holds; pages held by other ranges are never unlocked.
//
// Darwin's kernel counts instead: every mlock of a page adds one wiring and
// every munlock takes one away, and a page is unwired when none is left. A
// hold there gives back exactly what its own lock added, the whole range in
// one unlock, and the other holds keep theirs; a refused lock wired nothing
// (the kernel undoes a partial wiring itself), so nothing is given back.
//
// One table belongs to each loader, so every handler bound through the
// process's real loader shares one table, as the pages are the process's.
// Its mutex is held for the whole operation, platform calls included (a lock
// racing an unlock of the same page must not interleave), never while
// anything is logged. Across fork() the mutex is held by the forking thread
// and the child starts with an empty table, as it inherits no page locks.
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace ossara::detail {

// What the table asks of the platform, for page-aligned runs.
class PagePlatform {
public:
    struct Run {
        std::uintptr_t first;
        std::uintptr_t end;  // one past the last byte
    };
    virtual bool lock(std::uintptr_t first, std::size_t length) = 0;
    virtual bool unlock(std::uintptr_t first, std::size_t length) = 0;
    // Whether each lock call adds a count that one unlock call removes
    // (Darwin), rather than a lock a single unlock ends (Linux, Windows).
    virtual bool counts_each_lock() const = 0;
    // Whether locked pages are kept out of core dumps; the call below is
    // made only when this says so. Pages are never let back in: whether the
    // application had excluded a page itself cannot be read cheaply (only
    // through a walk of every mapping), and letting its own exclusion go
    // would put its secrets into core dumps.
    virtual bool excludes_from_dumps() const = 0;
    virtual void exclude_from_dumps(std::uintptr_t first, std::size_t length) = 0;

protected:
    ~PagePlatform() = default;
};

class PageLockTable {
public:
    PageLockTable();
    ~PageLockTable();
    PageLockTable(const PageLockTable&) = delete;
    PageLockTable& operator=(const PageLockTable&) = delete;

    // Locks the pages [first, first + length) that hold the caller's range
    // [addr, addr + size) and records one hold of that range. False (nothing
    // recorded) when the platform refuses; the pages that nobody holds are
    // then unlocked again, in case the refusal came half way. An error of a
    // platform call passes on in the same state.
    bool acquire(std::uintptr_t addr, std::size_t size, std::uintptr_t first, std::size_t length,
                 PagePlatform& platform);

    // Gives back one hold of [addr, addr + size) and unlocks the pages that
    // nobody holds afterwards (they stay out of core dumps). When the platform
    // refuses, the pages unlocked so far are locked again, nothing changes,
    // and false is returned (or the error passes on).
    bool release(std::uintptr_t addr, std::size_t size, std::uintptr_t first, std::size_t length,
                 PagePlatform& platform);

    // Holds covering the page at `page`; 0 when none.
    std::size_t holders(std::uintptr_t page) const;
    // The records kept: distinct ranges held, and runs of pages of equal count.
    std::pair<std::size_t, std::size_t> records() const;

private:
    struct Stretch {
        std::uintptr_t end;
        std::size_t holders;
    };
    struct Hold {
        std::uintptr_t first;
        std::uintptr_t end;
        std::size_t count;
    };
    using Stretches = std::map<std::uintptr_t, Stretch>;

    friend struct ForkGuard;

    // Runs of [first, end) with `holders` holds (0: covered by no stretch).
    std::vector<PagePlatform::Run> runs_with(std::uintptr_t first, std::uintptr_t end, std::size_t holders) const;
    void split_at(std::uintptr_t at);
    void merge_around(std::uintptr_t first, std::uintptr_t end) noexcept;
    void add_hold(std::uintptr_t first, std::uintptr_t end, const std::vector<PagePlatform::Run>& gaps);
    void drop_hold(std::uintptr_t first, std::uintptr_t end) noexcept;
    void forget_all() noexcept;

    mutable std::mutex _mutex;
    std::map<std::pair<std::uintptr_t, std::size_t>, Hold> _holds;
    Stretches _stretches;
};

}  // namespace ossara::detail
