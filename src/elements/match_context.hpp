// What one operation remembers about the text it is matching, so that a test
// at a later position, or the same test again, reuses work already done:
// the outcomes of combinators once the work spent on a text passes a budget
// (which keeps ordered choice from growing exponentially), and scratch that
// a kind keeps per record (a search that ran ahead and found its next match).
//
// Every entry into the module installs a context of its own (ContextScope),
// so an operation that runs while another one waits on the same thread (a
// collection's callback making a call between two items) never sees the
// other's. The operation names each text it starts on (begin_text); anything
// remembered holds only for that text, and only a test on that very text
// (same bytes, same length) may use it. Without a context (the C++ tests of
// the kinds) nothing is remembered and every kind runs as written.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>

#include "elements/element.hpp"

namespace qgx {

// ---------------------------------------------------------------------------
// Per-record scratch.

// A kind's scratch for one record: made on the record's first use in an
// operation, reset whenever the operation moves to another text, released
// when the operation ends.
struct ContextSlot {
    virtual ~ContextSlot() = default;
    // Called before the first use on each new text.
    virtual void reset(Text) {}
};

// ---------------------------------------------------------------------------
// The memo of combinator outcomes.

// One remembered outcome of a combinator at a position, in one of the two
// modes (try_match_at, or parse_at with its tokens). `height` is how many
// levels deeper than the combinator itself its work went, so that the
// outcome is reused only where redoing the work would not pass the depth
// bound either.
struct MemoEntry {
    const void* record = nullptr;
    uint32_t generation = 0;  // the table's generation it belongs to; any other is an empty slot
    Pos pos = 0;
    uint8_t mode = 0;
    bool ok = false;
    uint32_t height = 0;
    Pos end = 0;  // on success
    // In parse mode: the tokens on success, the failure's message on failure,
    // in the memo's token store.
    uint32_t first_token = 0, token_count = 0;
    Pos fail_pos = 0;
};

enum : uint8_t { kMemoTry = 0, kMemoParse = 1 };

// The outcomes remembered on the current text: a cache of a size set by the
// text's length (so its memory stays a fixed multiple of the text, and a
// small fixed size for short ones), four entries to a set. It starts where
// it pays: past the budget, `note` watches whether records are tried at
// positions where they were tried before, and turns remembering on once a
// fair share of calls repeat. The watch follows a sample of the keys (all
// at first) and halves its sample after each window without repeats, so
// that the distance over which it sees a repeat grows with the work done (a
// choice whose alternatives each redo thousands of calls is seen as well as
// one whose alternatives redo a few). Whatever the watch sees, remembering starts once the text
// has taken a fixed multiple of its budget (kForceAfter), so no grammar and
// text escapes it; a grammar whose work is large but rarely repeats (a deep
// chain tried at every start) pays for entries only past that point.
class MemoTable {
  public:
    // Past this many times its budget, a text's calls turn remembering on
    // whether or not the watch has seen them repeat.
    static constexpr uint64_t kForceAfter = 16;

    MemoTable() = default;
    ~MemoTable();
    MemoTable(const MemoTable&) = delete;
    MemoTable& operator=(const MemoTable&) = delete;

    // Whether outcomes are remembered on text `epoch`.
    bool active(uint64_t epoch) const { return epoch_ == epoch && active_; }
    // Notes a call past the budget while not active; true once active.
    // Throws std::bad_alloc when the table cannot be made.
    bool note(const void* record, Pos pos, uint8_t mode, uint64_t epoch, Pos text_len);
    // Makes the table active on text `epoch` at once (for tests).
    void activate(uint64_t epoch, Pos text_len);

    // The entry for (record, pos, mode), or nullptr; only while active.
    const MemoEntry* find(const void* record, Pos pos, uint8_t mode) const;
    // The entry for the key, made or taken over from an older one.
    MemoEntry& insert(const void* record, Pos pos, uint8_t mode);
    // Copies `n` tokens into the token store; gives the index of the first.
    // A store grown past its bound is emptied first, with every entry (their
    // outcomes are worked out again when asked for). Throws std::bad_alloc.
    template <class Get>
    uint32_t store_tokens(uint32_t n, Get&& get) {
        uint32_t first = reserve_tokens(n);
        for (uint32_t i = 0; i < n; ++i) new (tokens_ + first + i) SharedText(get(i));
        token_count_ = first + n;
        return first;
    }
    const SharedText* tokens(uint32_t first) const { return tokens_ + first; }
    size_t capacity() const { return slots_ ? mask_ + 1 : 0; }

  private:
    // Room for `n` more tokens (the store emptied first past its bound);
    // gives the index of the first.
    uint32_t reserve_tokens(uint32_t n);
    void sync(uint64_t epoch);
    void forget_all();
    void release_tokens();
    size_t set_of(const void* record, Pos pos, uint8_t mode) const;

    uint64_t epoch_ = 0;
    bool active_ = false;
    uint32_t generation_ = 1;
    MemoEntry* slots_ = nullptr;
    size_t mask_ = 0;  // slots - 1
    uint32_t victim_ = 0;
    SharedText* tokens_ = nullptr;
    uint32_t token_count_ = 0, token_cap_ = 0;
    // The repeat watch: recent keys of the sample, and the sampled calls and
    // repeats of this window; a key is in the sample when the bits of its
    // hash under `sample_mask_` are all zero (one key in sample_mask_ + 1).
    static constexpr uint32_t kSeen = 1024, kWindow = 4096;
    // Cleared by sync() before its first use on a text, not when made: every
    // entry into the module makes a context, and most never get this far.
    uint64_t seen_[kSeen];
    uint32_t probes_ = 0, repeats_ = 0;
    uint32_t sample_mask_ = 0;
};

// ---------------------------------------------------------------------------
// The context.

// A process-wide count of texts named, so that no two texts named on a
// thread, in any context, share an epoch (0 is never used).
[[gnu::tls_model("initial-exec")]] inline thread_local uint64_t tls_text_epoch = 0;

class MatchContext {
  public:
    MatchContext() = default;
    // Most contexts never make anything: nothing to release.
    ~MatchContext() {
        if (memo_ || slots_) [[unlikely]]
            release();
    }
    MatchContext(const MatchContext&) = delete;
    MatchContext& operator=(const MatchContext&) = delete;

    // The text the operation matches from now on; everything learnt on the
    // text before is forgotten.
    void begin_text(Text t) {
        text_ = t;
        has_text_ = true;
        epoch_ = ++tls_text_epoch;
    }
    // True when `t` is the text named last.
    bool is_current(Text t) const { return has_text_ && t.data == text_.data && t.len == text_.len; }
    uint64_t epoch() const { return epoch_; }
    bool has_text() const { return has_text_; }
    Text text() const { return text_; }

    // The scratch of type T for `owner` (a record) on text `t`, made on first
    // use and reset for each new text; nullptr when `t` is not the current
    // text or memory is exhausted, in which case the caller works without it.
    template <class T>
    T* scratch(const void* owner, Text t) noexcept {
        if (!is_current(t)) return nullptr;
        ContextSlot* s = find_slot(owner, &type_tag<T>);
        if (!s) {
            T* made = new (std::nothrow) T();
            if (!made || !add_slot(owner, &type_tag<T>, made)) {
                delete made;
                return nullptr;
            }
            s = made;
        }
        SlotEntry& e = *entry_of(owner, &type_tag<T>);
        if (e.epoch != epoch_) {
            s->reset(t);
            e.epoch = epoch_;
        }
        return static_cast<T*>(s);
    }

    // The exception a signal handler raised in this entry, moved out of the
    // error indicator so that nothing runs with it pending; the entry raises
    // it when it returns. Three opaque references (type, value, traceback).
    void* pending_error[3] = {nullptr, nullptr, nullptr};

    // The memo, made on first use (most operations never get that far);
    // nullptr when it cannot be made, and the operation goes on without.
    MemoTable* memo() {
        if (!memo_) [[unlikely]]
            memo_ = new (std::nothrow) MemoTable();
        return memo_;
    }

  private:
    template <class T>
    static inline const char type_tag = 0;

    struct SlotEntry {
        const void* owner = nullptr;
        const void* tag = nullptr;
        ContextSlot* slot = nullptr;
        uint64_t epoch = 0;
    };
    void release() noexcept;
    ContextSlot* find_slot(const void* owner, const void* tag) noexcept;
    SlotEntry* entry_of(const void* owner, const void* tag) noexcept;
    bool add_slot(const void* owner, const void* tag, ContextSlot* s) noexcept;

    Text text_;
    bool has_text_ = false;
    uint64_t epoch_ = 0;
    SlotEntry* slots_ = nullptr;
    uint32_t slot_mask_ = 0, slot_used_ = 0;
    MemoTable* memo_ = nullptr;
};

// The context of the entry now running on this thread, or nullptr.
[[gnu::tls_model("initial-exec")]] inline thread_local MatchContext* tls_match_context = nullptr;

inline MatchContext* current_context() { return tls_match_context; }

// Names the text the running operation matches next (see MatchContext).
// Also starts the work count of that text, which decides when combinator
// outcomes begin to be remembered.
inline void begin_text(Text t);

// Installs a new context for one entry into the module and restores the
// caller's when it ends; the context is made empty, at no cost beyond a few
// stores, and allocates only when something is remembered.
// Signal checks under way on any thread (a handler may let other threads
// run): while there are any, a Forward read on some thread may be paused in
// one, so a Forward retargeted then keeps its old target alive (retired)
// instead of waiting for the read to end.
inline std::atomic<int> signal_checks_running{0};
// Set while retired targets wait to be released.
inline std::atomic<bool> retired_waiting{false};
inline bool retired_targets_waiting() noexcept { return retired_waiting.load(std::memory_order_relaxed); }
// Releases the retired targets when no check is under way (defined with the
// Forward kind); called as an outermost entry ends, when no read can be
// paused on any thread.
void release_retired_targets() noexcept;
// How many Forward slots have been retargeted in this process.
inline std::atomic<uint64_t> forward_retargets{0};

// With `polls`, the entry checks for pending signals (an entry from Python,
// which holds the interpreter lock); the depth state of the entry it
// interrupts (a callback's entry run while another waits) is put back whole
// when it ends.
class [[nodiscard]] ContextScope {
  public:
    explicit ContextScope(bool polls = false) noexcept : saved_(tls_match_context), saved_depth_(tls_match_depth) {
        tls_match_context = &context_;
        MatchDepthState& d = tls_match_depth;
        d.memo_after = UINT64_MAX;
        d.polls_on = polls;
        d.poll_at = d.event_at = polls ? d.calls + kPollInterval : UINT64_MAX;
        d.ticks = polls ? kPollInterval : INT64_MAX;
        d.interrupted = d.aborting = false;
    }
    ~ContextScope() {
        tls_match_context = saved_;
        // The stack bounds are the thread's, read once (from /proc on the main
        // thread): bounds this entry found are kept, not put back to unread.
        MatchDepthState& d = tls_match_depth;
        const uintptr_t low = d.stack_low, high = d.stack_high, floor = d.stack_floor;
        d = saved_depth_;
        d.stack_low = low;
        d.stack_high = high;
        d.stack_floor = floor;
        if (saved_ == nullptr && retired_targets_waiting()) [[unlikely]]
            release_retired_targets();
    }
    ContextScope(const ContextScope&) = delete;
    ContextScope& operator=(const ContextScope&) = delete;
    MatchContext& context() { return context_; }

  private:
    MatchContext context_;
    MatchContext* saved_;
    MatchDepthState saved_depth_;
};

// Runs the interpreter's signal handlers when a signal is pending; on an
// exception, moves it out of the error indicator into the running entry's
// context (MatchContext::take_pending_error) and gives true. Defined at the
// Python boundary; only checks of an entry from Python call it.
bool run_signal_handlers() noexcept;

// Remembers every combinator outcome on the current text from now on, as
// if its budget were spent and its calls repeating (for tests and the fuzzer).
void remember_outcomes_now();

// How many combinator calls a text may take before outcomes are remembered:
// enough that an ordinary grammar never gets there (a few calls per byte),
// little enough that a choice backtracking over nested input gets there
// after a fixed multiple of the text's length.
inline uint64_t memo_budget(Pos len) { return 64 * (uint64_t{len} + 1) + 8192; }

inline void begin_text(Text t) {
    MatchDepthState& d = tls_match_depth;
    d.calls = 0;
    d.spines = d.stack_abort = false;
    if (MatchContext* c = tls_match_context) {
        c->begin_text(t);
        d.memo_after = memo_budget(t.len);
    } else {
        d.memo_after = UINT64_MAX;
    }
    if (d.polls_on && !d.interrupted) d.poll_at = kPollInterval;
    d.event_at = d.memo_after < d.poll_at ? d.memo_after : d.poll_at;
}

// ---------------------------------------------------------------------------
// Remembered outcomes of the combinators. Once a text has taken more
// combinator calls than its budget (MatchDepth::memo_on), every combinator
// looks up its outcome at the position before doing the work, and stores it after, so that no record is
// worked out twice at one position: ordered choice that backtracks over
// nested input stays within (records x text) work. An outcome is reused only
// where redoing the work would not pass the depth bound either (its height
// fits below the bound), and one worked out while the bound was being passed
// is not kept, so every outcome, failure and depth verdict is the one the
// work itself gives.

// Raises the deepest level seen by the work of a reused outcome.
inline void note_reused_height(MatchDepthState& s, uint32_t height) {
    uint32_t reached = s.depth + height;
    if (reached > s.peak) s.peak = reached;
}

// The memo of the current text, or nullptr while its outcomes are not
// remembered (no context, another text, or no repeats seen yet).
inline MemoTable* memo_for(const void* rec, Text t, Pos pos, uint8_t mode) {
    MatchContext* c = current_context();
    if (!c || !c->is_current(t)) return nullptr;
    MemoTable* m = c->memo();
    if (m && (m->active(c->epoch()) || m->note(rec, pos, mode, c->epoch(), t.len))) return m;
    return nullptr;
}

template <class Body>
[[gnu::noinline]] TryMatchOutcome memo_try(const void* rec, Text t, Pos pos, Body&& body) {
    MemoTable* mp = memo_for(rec, t, pos, kMemoTry);
    if (!mp) return body();
    MemoTable& m = *mp;
    MatchDepthState& s = tls_match_depth;
    if (const MemoEntry* e = m.find(rec, pos, kMemoTry)) {
        if (uint64_t{s.depth} + e->height <= kMaxMatchDepth) {
            note_reused_height(s, e->height);
            return e->ok ? TryMatchOutcome::yes(e->end) : TryMatchOutcome::no();
        }
    }
    const uint32_t saved_peak = s.peak;
    s.peak = s.depth;
    TryMatchOutcome o = body();
    const uint32_t height = s.peak - s.depth;
    if (saved_peak > s.peak) s.peak = saved_peak;
    if (!s.aborting) {
        MemoEntry& e = m.insert(rec, pos, kMemoTry);
        e.ok = o.matched != 0;
        e.end = o.end;
        e.height = height;
    }
    return o;
}

}  // namespace qgx
