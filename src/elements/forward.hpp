// The Forward slot: an element whose target is set after construction, the
// one mutable record of the model, behind a reader-writer lock of its own.
#pragma once

#include <atomic>

#include "elements/structure.hpp"

namespace qgx {

// A reader-writer lock whose read side a thread may take again while it
// already holds it: readers only count themselves, and a reader never waits
// for a waiting writer (no writer preference), so a recursive grammar coming
// back through the same slot cannot deadlock against itself. A writer waits
// until no reader holds the lock. Under the interpreter lock no reader is ever
// active while a writer runs, so neither side spins in practice.
class ReentrantReadLock {
  public:
    // A reader's one exchange inline; the wait for a writer out of line.
    void lock_shared() noexcept {
        int32_t s = state_.load(std::memory_order_relaxed);
        if (s >= 0 && state_.compare_exchange_weak(s, s + 1, std::memory_order_acquire, std::memory_order_relaxed))
            [[likely]] return;
        lock_shared_slow();
    }
    void unlock_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }
    void lock() noexcept;
    void unlock() noexcept { state_.store(0, std::memory_order_release); }
    // The number of readers holding the lock, or -1 while a writer holds it.
    int32_t state() const noexcept { return state_.load(std::memory_order_relaxed); }

  private:
    void lock_shared_slow() noexcept;
    static constexpr int32_t kWriter = -1;
    std::atomic<int32_t> state_{0};
};

// Holds the read side for a scope.
class [[nodiscard]] ReadGuard {
  public:
    explicit ReadGuard(ReentrantReadLock& l) noexcept : lock_(l) { lock_.lock_shared(); }
    ~ReadGuard() { lock_.unlock_shared(); }
    ReadGuard(const ReadGuard&) = delete;
    ReadGuard& operator=(const ReadGuard&) = delete;

  private:
    ReentrantReadLock& lock_;
};

struct ForwardElement : CompositeHeader {
    mutable ReentrantReadLock lock;
    SharedElement expr;  // empty until the first set_forward_target
    size_t registry_index = 0;  // its place among the slots the collector starts from

    ForwardElement();
    ~ForwardElement();
};

ParseOutcome forward_parse_at(const ForwardElement& r, Text t, Pos pos);
TryMatchOutcome forward_try_match_at(const ForwardElement& r, Text t, Pos pos);
ParseFromStartOutcome forward_parse_from_start(const ForwardElement& r, Text t);
const ElementVTable* forward_vtable();

// ---------------------------------------------------------------------------
// Forward calls that pass the nesting bound. A scan over deeply nested input
// (`"(" * n` under a recursive grammar) starts a descent at every position,
// and each descent from far enough before the end passes the bound: without
// more, every start pays the whole descent, thousands of levels. A call's
// work does not depend on the level it is entered at until that work passes
// the bound, so:
// - a call (Forward, position) that passed the bound entered at level e
//   passes it entered at any level >= e;
// - entered at a level < e, it makes the same calls as before down to the
//   deepest Forward call it went through (its bottom), reached the same
//   number of levels below it.
// The operation remembers, for each Forward call whose work passed the
// bound, that level and its bottom. A later call answers at once where it
// is entered as deep or deeper; otherwise it runs its bottom alone at the
// level the descent would reach it (a few levels of new work) and, if that
// passes the bound too, so does the whole descent; only if the bottom
// completes is the descent made as written. Every verdict is the one the
// descent itself gives. This runs only where the thread's stack has room
// for every level left, so the stack margin, which could stop a descent
// earlier, is never reached by the descents answered this way.

// A Forward call in try mode, `run` its target: through the remembered
// calls once any passed the bound on this text.
TryMatchOutcome forward_spine_enter(const ForwardElement& f, Text t, Pos pos, bool& decided);
void forward_spine_note(const ForwardElement& f, Text t, Pos pos) noexcept;
template <class Run>
inline TryMatchOutcome forward_try_through(const ForwardElement& f, Text t, Pos pos, Run&& run) {
    MatchDepthState& s = tls_match_depth;
    if (s.spines) [[unlikely]] {
        bool decided = false;
        TryMatchOutcome o = forward_spine_enter(f, t, pos, decided);
        if (decided) return o;
    }
    TryMatchOutcome o = run();
    if (!o.matched && s.aborting) [[unlikely]]
        forward_spine_note(f, t, pos);
    return o;
}

// Stores `target` in the slot under the write lock and releases the previous
// target (after the lock is released). While a read of the slot is paused in
// a signal check, the previous target is kept alive until no check is under
// way instead (throws std::bad_alloc when it cannot be kept, and then
// changes nothing).
void set_forward_target(ForwardElement& slot, SharedElement target);

// ---------------------------------------------------------------------------
// Reclaiming recursive grammars. A grammar that reaches its own Forward slot
// is a cycle of counted handles, which counting alone never frees. The
// collector finds the slots that nothing outside the combinator records can
// reach any more (trial deletion over every record reachable from a slot:
// a record whose count exceeds the handles held inside that set is reachable
// from outside, and so is everything it reaches) and clears their targets,
// which breaks the cycles and frees them.

// Runs the collector now; gives the number of slots it cleared.
// Throws std::bad_alloc when its work lists cannot be had (the pass then
// clears only slots it had already found dead).
uint32_t collect_forward_cycles();

// Notes that a holder of a record that can reach a Forward slot let go of it;
// runs the collector once the releases since its last pass, or the records
// built since then, reach a budget proportional to what that pass found
// alive (so each pass is paid for by the work before it, and the garbage
// waiting never exceeds a fixed multiple of what is alive).
void note_forward_release() noexcept;

// The number of Forward slots alive (for tests of reclamation).
size_t live_forward_slots();

// What the collector has done in this process (for tests of its pacing):
// its passes, the records and child handles they visited in all, the work
// found alive by the last one, and the records and child handles built.
struct CollectorStats {
    uint64_t passes = 0;
    uint64_t visited = 0;
    uint64_t live_after_last = 0;
    uint64_t built = 0;
};
CollectorStats forward_collector_stats();

}  // namespace qgx
