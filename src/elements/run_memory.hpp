// Runs remembered within one operation. A terminal that reads a run of bytes
// (a Word's body, a repetition of a one-byte item, the rest of a line, a
// pattern's automaton looping on one state), or a repetition of a longer
// fixed-width item, stops, from any start inside a
// run read before, where that run stopped: every byte between is in the run.
// A scan that tries such a terminal at each position of a long run, or a
// choice that falls back one byte at a time, would otherwise read the run
// again from every start, which is quadratic. So a run is read inline only
// as far as a short prefix; past it the run's end is looked up per record
// (and per kind of run, its tag) in the operation's context, read once when
// it is not known, and remembered. A later start inside the run then costs
// the prefix and one lookup, and every operation stays linear.
//
// Without a context, or on a text other than the operation's own, nothing is
// remembered and the run is read as before.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "elements/match_context.hpp"

namespace qgx {

// The kinds of runs a record may read; each has its own entry.
enum : uint32_t {
    kRunWordBody = 0,      // a Word's body bytes after its first byte
    kRunRepeatedByte = 1,  // a one-byte item (Char, one-byte Literal) repeated
    kRunNewline = 2,       // the bytes before the next newline
    kRunRegexShape = 3,    // a Regex's greedy run of one class
    kRunRegexSpace = 4,    // a Regex "\s+" or "\s*"
    kRunDfaState = 8,      // plus the row of an automaton state looping on itself
};

// The runs of one record remembered on the current text: for each of a few
// tags, the latest run read, as [from, end): every byte from `from` to
// `end` is in the run, and `end` is the text's end or a byte outside it.
struct RememberedRuns : ContextSlot {
    struct Run {
        uint32_t tag = 0;
        bool used = false;
        Pos from = 0, end = 0;
    };
    static constexpr uint32_t kWays = 4;
    Run runs[kWays];
    void reset(Text) override {
        for (Run& r : runs) r.used = false;
    }
};

// The bytes read past the prefix of a run, on this thread, or the items
// tested for a repetition of a longer item (for the tests, which count work;
// incremented once per long run read).
[[gnu::tls_model("initial-exec")]] inline thread_local uint64_t tls_long_run_bytes = 0;

// The end of a run known to go on at `at` (every byte from `from` to `at`
// is in it): remembered, or read by `read(t, at, t.len)` and remembered.
template <class Read>
[[gnu::noinline]] Pos remembered_run_end(const void* owner, uint32_t tag, Text t, Pos from, Pos at, Read& read) {
    RememberedRuns::Run* slot = nullptr;
    if (MatchContext* c = current_context())
        if (RememberedRuns* m = c->scratch<RememberedRuns>(owner, t)) slot = &m->runs[tag % RememberedRuns::kWays];
    if (slot && slot->used && slot->tag == tag && slot->from <= at && at <= slot->end) return slot->end;
    const Pos end = read(t, at, t.len);
    tls_long_run_bytes += end - at;
    if (slot) {
        if (slot->used && slot->tag == tag && slot->end == end) {
            if (from < slot->from) slot->from = from;
        } else {
            *slot = RememberedRuns::Run{tag, true, from, end};
        }
    }
    return end;
}

// The end of a run whose prefix, read inline, went as far as `end` (from
// `from`). Out of line, and `read` taken by value (a functor of one word or
// less, given the text as an argument), so that the inline path builds
// nothing for it.
template <class Read>
[[gnu::noinline, gnu::cold]] Pos long_run_end(Read read, const void* owner, uint32_t tag, Text t, Pos from, Pos end) {
    return remembered_run_end(owner, tag, t, from, end, read);
}

// The end of the run from `from` (at most t.len), no further than `limit`
// (limit <= t.len; `from` itself when it is past it): `read(t, i, stop)` gives
// the first position in [i, stop) whose byte is not in the run, or stop (and
// i itself where i >= stop). The run is read here up to kPrefix bytes; a
// longer one is looked up or read once for the operation, under (owner,
// tag), which must name one run rule on one text.
template <Pos kPrefix, class Read>
inline Pos run_end(const void* owner, uint32_t tag, Text t, Pos from, Pos limit, Read&& read) {
    // In 64 bits, where from + kPrefix cannot wrap.
    const Pos stop = static_cast<Pos>(std::min<uint64_t>(uint64_t{from} + kPrefix, limit));
    const Pos end = read(t, from, stop);
    // The run ended inside the prefix, or reached the limit: the common
    // case, inline; a run longer than the prefix goes out of line.
    if (end < stop || end >= limit) [[likely]]
        return end;
    return std::min(long_run_end(read, owner, tag, t, from, end), limit);
}

// The prefix read inline: longer than nearly every word, number or field of
// ordinary text, so that those never reach the lookup. The fuzzer's build
// sets a few bytes, so that its short texts reach it.
#ifndef QGX_RUN_PREFIX
#define QGX_RUN_PREFIX 64
#endif
inline constexpr Pos kRunPrefix = QGX_RUN_PREFIX;

// The run of bytes that `table` (256 flags) takes, from `from`.
inline Pos table_run_end(const void* owner, uint32_t tag, const uint8_t* table, Text t, Pos from, Pos limit) {
    return run_end<kRunPrefix>(owner, tag, t, from, limit, [table](Text t, Pos i, Pos stop) {
        while (i < stop && table[t.at(i)]) ++i;
        return i;
    });
}

}  // namespace qgx

namespace qgx {

// An element whose every match is the `width` bytes at its position, decided
// by the text around that position alone: Char and a one-byte Literal (a
// run of bytes), and Literal, Keyword, CaselessLiteral and CaselessKeyword of
// a longer text. A repetition of it from p is its matches at p, p + width,
// p + 2 width, ...: the run from any of those starts ends where the run from p
// ends, so a run is remembered per record and per start modulo the width
// (its phase). (A wrapper around one is not such an item: it enters a
// nesting level.) `record` is the item's own record, the run's owner.
struct RunItem {
    const ElementHeader* record = nullptr;
    const ElementVTable* vt = nullptr;
    const uint8_t* table = nullptr;  // a Char's bytes
    Pos width = 0;
    bool bytes = false;              // a Char or a one-byte Literal: a run of bytes
    uint8_t byte = 0;                // a one-byte Literal's byte
    explicit operator bool() const { return record != nullptr; }
};

// The run item that `rec` (of kind `vt`) is, or an empty one.
RunItem run_item(const ElementHeader* rec, const ElementVTable* vt) noexcept;

// The runs of one record (not a run of bytes) remembered on the current text: for
// each phase met, the latest run read, [from, end), whose starts are from,
// from + width, ... (all with that phase) and whose end is where the item
// fails or no room is left for it.
struct RememberedPhases : ContextSlot {
    struct Run {
        Pos phase = 0, from = 0, end = 0;
        bool used = false;   // the entry holds this phase
        bool known = false;  // and a run of it
    };
    std::vector<Run> runs;  // open addressing on the phase, a power of two in size
    uint32_t used = 0;
    void reset(Text) override {
        runs.clear();
        used = 0;
    }
    // The run of `phase`, made when absent; nullptr when memory is exhausted.
    Run* of(Pos phase) noexcept;
};

// Where the matches of `item` (not a run of bytes) from i, i + width, ... stop before
// `stop`: the first of those starts, below `stop`, at which it fails, or the
// first one at or past `stop`.
inline Pos fixed_run_read(const RunItem& item, Text t, Pos i, Pos stop) {
    while (i < stop && item.vt->try_match_at(item.record, t, i).matched) i += item.width;
    return i;
}

// The end of a run of `item` (not a run of bytes) known to go on at `at` (its starts
// from `from` to `at` all match): remembered, or read once and remembered.
Pos remembered_phase_run_end(const RunItem& item, Text t, Pos from, Pos at) noexcept;

// Where the repetition of `item` from `from` stops, no further than `limit`
// (at most t.len): the end of the run of its matches.
inline Pos item_run_end(const RunItem& item, Text t, Pos from, Pos limit) {
    if (item.table) return table_run_end(item.record, kRunRepeatedByte, item.table, t, from, limit);
    if (item.bytes) {
        const uint8_t b = item.byte;
        return run_end<kRunPrefix>(item.record, kRunRepeatedByte, t, from, limit, [b](Text t, Pos i, Pos stop) {
            while (i < stop && t.at(i) == b) ++i;
            return i;
        });
    }
    if (from >= limit) return from;
    const Pos w = item.width;
    // The last end the run may have: a whole number of items from `from`.
    const Pos last = from + (limit - from) / w * w;
    const Pos quota = kRunPrefix >= w ? kRunPrefix / w * w : w;
    const Pos stop = last - from > quota ? from + quota : last;
    const Pos end = fixed_run_read(item, t, from, stop);
    if (end < stop || stop == last) [[likely]]
        return end;
    const Pos full = remembered_phase_run_end(item, t, from, end);
    return full < last ? full : last;
}

}  // namespace qgx
