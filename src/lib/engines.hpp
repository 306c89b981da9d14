// The operation engines: one implementation of each Python operation for any
// element, templated on the element operation so that a class calling its own
// kind gets the kind's test inlined.
//
// Every engine returns a new reference, or nullptr with the error set.
#pragma once

#include <string_view>
#include <type_traits>
#include <vector>

#include "elements/element.hpp"
#include "elements/parse_path.hpp"
#include "elements/program.hpp"
#include "elements/structure.hpp"
#include "elements/first_bytes.hpp"
#include "lib/replaced_text.hpp"
#include "messages.hpp"
#include "python/class_frame.hpp"
#include "python/batch_inputs.hpp"
#include "python/convert.hpp"
#include "python/ref.hpp"

namespace qgx {

// ---------------------------------------------------------------------------
// Building results.

// A new list holding one new str per token, in order (equal tokens not shared).
PyObject* tokens_to_list(const TokenList& tokens);
PyObject* texts_to_list(const SharedText* tokens, uint32_t n);
// A new list of one new str per token of the buffer; with `hidden`, the list
// is left out of the collector's view (see new_hidden_list) for the caller to
// publish.
PyObject* sink_to_list(const TokenSink& sink, bool hidden);

// Raises ValueError for a failure of parse_string: "ParseException at position
// {}: {}", or the recursion-limit text when the depth bound was passed.
PyObject* raise_parse_failure(const ParseFailure& f);

// A list of `spans` texts of `t`, equal texts sharing one str (the first made).
// `distinct_hint`: about how many distinct texts to expect; the text map is
// sized for the smaller of it and the span count. Small by default, since
// most matches repeat; a caller whose texts are mostly distinct (lines) passes
// more, to spare the map its doublings.
PyObject* spans_to_list(Text t, const std::vector<Span>& spans, size_t distinct_hint = 32);

// A list of n items holding the k results of `block` repeated n / k times;
// steals the reference to `block` (k items). n is a multiple of k. nullptr
// with MemoryError set when the list cannot be made.
PyObject* repeat_block(PyObject* block, Py_ssize_t n);

// The identity period of `inputs`: the k of the batch rules (first index in
// 1..min(n,128)-1 whose item is item 0, n a multiple of k with at least two
// blocks, every block the same objects as the first), or 0.
Py_ssize_t find_identity_period(PyObject* const* items, Py_ssize_t n);

// True when every item is the same object as the first.
bool all_same_object(PyObject* const* items, Py_ssize_t n);

// ---------------------------------------------------------------------------
// The engines, generic over the element operation.

// parse_string: ParseFromStart(text) -> ParseFromStartOutcome.
template <class F>
PyObject* run_parse_string(Text t, F&& parse_from_start) {
    reset_depth_exceeded();
    ParseFromStartOutcome o = parse_from_start(t);
    if (!o.ok) return raise_parse_failure(o.failure);
    return tokens_to_list(o.tokens);
}

// One input of parse_batch: its tokens at 0, or an empty list. The item is
// held while its tokens, which may be views of its text, become strs: making
// the list can run the collector, whose callbacks may drop the item from
// `inputs`.
// Terminal kinds only: the item is not named as the operation's text (see
// read_terminal_item_text).
template <class F>
PyObject* parse_input_to_list(PyObject* item, F&& parse_at) {
    Text t;
    if (!read_terminal_item_text(item, t)) return nullptr;
    OwnedRef held = OwnedRef::borrow(item);
    ParseOutcome o = parse_at(t, Pos{0});
    if (!o.ok) return new_list(0);
    return tokens_to_list(o.tokens);
}

// One input of parse_batch for a combinator record: its subtree parsed into
// a token buffer, the list made straight from it (see parse_input_to_list).
template <class R>
PyObject* combinator_input_to_list(PyObject* item, const R& r, const ElementVTable* vt) {
    Text t;
    if (!read_item_text(item, t)) return nullptr;
    OwnedRef held = OwnedRef::borrow(item);
    TokenSink sink(t);
    ParseFailure failure;
    Into in{sink, failure};
    if (!combinator_parse_into(r, vt, t, 0, in)) return new_list(0);
    return sink_to_list(sink, true);
}

// Evaluates the items that `out` holds (a list from BatchInputs::into_list)
// in place: each slot's item is replaced by its result. With `reuse`, an item
// that is the same object as the one before takes that one's result. The
// slot keeps its item until its result is in, so that a failure (an error
// returned or an exception thrown) leaves a list whose release drops every
// reference taken. Takes over `out`; returns it published, or nullptr with
// the error set.
template <class Eval>
PyObject* evaluate_in_place(PyObject* out, bool reuse, Eval&& eval) {
    OwnedRef held = OwnedRef::steal(out);
    PyObject** slots = reinterpret_cast<PyListObject*>(out)->ob_item;
    const Py_ssize_t n = PyList_GET_SIZE(out);
    PyObject* prev_item = nullptr;
    PyObject* prev = nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = slots[i];
        PyObject* r;
        // Every item was alive when the snapshot was taken, so an address
        // seen before names the same object even after its reference went.
        if (reuse && item == prev_item) {
            r = prev;
            Py_INCREF(r);
        } else {
            r = work_tick() ? nullptr : eval(item);
            if (!r) return nullptr;
        }
        slots[i] = r;
        Py_DECREF(item);
        prev_item = item;
        prev = r;
    }
    return publish_list(held.release());
}

// The batch map under the reuse rules: `eval(item)` gives a new reference for
// one evaluated item. Same object, identity period, consecutive repeats. The
// list is read only before the first allocation: the reuse tests read its
// pointers, and the items that will be evaluated are then taken into a
// snapshot, since every result is a new list and may start a collection.
template <class Eval>
PyObject* batch_map(PyObject* inputs, Eval&& eval) {
    Py_ssize_t n = PyList_GET_SIZE(inputs);
    PyObject* const* items = reinterpret_cast<PyListObject*>(inputs)->ob_item;
    if (n == 0) return new_list(0);
    BatchInputs snapshot;
    if (kPlainPaths) {
        if (!snapshot.take(inputs, n)) return nullptr;
        return evaluate_in_place(snapshot.into_list(), false, eval);
    }
    if (n == 1 || all_same_object(items, n)) {
        OwnedRef item = OwnedRef::borrow(items[0]);
        OwnedRef r = OwnedRef::steal(eval(item.get()));
        if (!r) return nullptr;
        PyObject* block = new_list(1);
        PyList_SET_ITEM(block, 0, r.release());
        return repeat_block(block, n);
    }
    // A period's blocks hold the same objects as the first, so the first
    // block is all the snapshot needs.
    Py_ssize_t k = find_identity_period(items, n);
    if (!snapshot.take(inputs, k ? k : n)) return nullptr;
    PyObject* out = evaluate_in_place(snapshot.into_list(), k == 0, eval);
    if (!out || !k) return out;
    return repeat_block(out, n);
}

// parse_batch: ParseAt(text, pos) -> ParseOutcome.
template <class F>
PyObject* run_parse_batch(PyObject* inputs, F&& parse_at) {
    return batch_map(inputs, [&](PyObject* item) { return parse_input_to_list(item, parse_at); });
}

// The whole characters of `s` within `t`: a start inside a character moves
// forward to the next character, an end inside one moves back to its first
// byte. The result may be empty.
inline Span whole_characters(Text t, Span s) {
    while (s.start < s.end && !on_boundary(t, s.start)) ++s.start;
    while (s.end > s.start && !on_boundary(t, s.end)) --s.end;
    return s;
}

// The scan of search_string and transform_string: spans of the non-empty
// matches, stepping one byte after a failure or a zero-width match. A match
// that begins or ends inside a character (a byte-table kind on a multi-byte
// character) keeps only the whole characters it covers, and none when it
// covers no whole character, so that no listed or replaced text holds a cut
// character; the scan still goes on at the match's end. `skip` maps a
// position to the next one worth trying (a class that knows the bytes at which
// no match can begin passes over them); by default every position is tried.
struct TryEveryPosition {
    Pos operator()(Text, Pos p) const { return p; }
};
template <class F, class Spans, class Skip = TryEveryPosition>
void scan_spans(Text t, F&& try_match_at, Spans& spans, Skip skip = {}) {
    Pos p = skip(t, 0);
    WorkTicks ticks;
    while (p < t.len) {
        if (ticks.step()) [[unlikely]]
            return;
        TryMatchOutcome m = try_match_at(t, p);
        if (m.matched && m.end > p) {
            Span s{p, m.end};
            if (!on_boundary(t, s.start) || !on_boundary(t, s.end)) [[unlikely]] {
                s = whole_characters(t, s);
                if (s.start < s.end) spans.push_back(s);
            } else {
                spans.push_back(s);
            }
            p = m.end;
        } else {
            ++p;
        }
        p = skip(t, p);
    }
}

template <class F, class Skip = TryEveryPosition>
PyObject* run_search_string(Text t, F&& try_match_at, Skip skip = {}) {
    std::vector<Span> spans;
    scan_spans(t, try_match_at, spans, skip);
    if (interrupted()) return nullptr;
    return spans_to_list(t, spans);
}

// The spans are kept compactly (no more bytes than the text they cover), and
// the result is written once (build_replaced).
template <class F, class Skip = TryEveryPosition>
PyObject* run_transform_string(Text t, Text replacement, F&& try_match_at, Skip skip = {}) {
    CompactSpans spans;
    scan_spans(t, try_match_at, spans, skip);
    if (interrupted()) return nullptr;
    return replace_spans(t, spans, replacement);
}

// The counting scan of search_string_count: zero-width matches count. `skip`
// as in scan_spans.
template <class F, class Skip = TryEveryPosition>
uint64_t counting_scan(Text t, F&& try_match_at, Skip skip = {}) {
    uint64_t count = 0;
    Pos p = skip(t, 0);
    WorkTicks ticks;
    while (p < t.len) {
        if (ticks.step()) [[unlikely]]
            return count;
        TryMatchOutcome m = try_match_at(t, p);
        if (m.matched) {
            ++count;
            p = m.end > p + 1 ? m.end : p + 1;
        } else {
            ++p;
        }
        p = skip(t, p);
    }
    return count;
}

// The skip of the general scans of an element: the positions at which the
// element cannot begin a match (its start, first_bytes.hpp) are passed over,
// where the scan is long enough to repay reading the start and the levels
// the passed-over tests would have entered fit below the bound. Off in the
// plain build.
class StartSkip {
  public:
    StartSkip(const ElementVTable* kind, const ElementHeader* record, Text t) {
        if (kPlainPaths || t.len < kMinText) return;
        ElementStart s = element_start(kind, record);
        if (s.anywhere()) return;
        scanner_ = StartScanner(s);
        on_ = !scanner_.passes_nothing() && may_pass_over(scanner_);
    }
    Pos operator()(Text t, Pos p) { return on_ ? scanner_.next_inside(t, p, cursor_) : p; }

  private:
    // Shorter texts are tried at every position: reading the start would
    // cost about as much as the tests it spares.
    static constexpr Pos kMinText = 256;
    StartScanner scanner_;
    StartCursor cursor_;
    bool on_ = false;
};

// The per-call cache of batch outcomes by input object: 32 slots, at most 31 entries.
class InputMatchCache {
  public:
    static constexpr int kSlots = 32;
    static constexpr int kMaxEntries = 31;

    // 1 matched, 2 not matched, 0 unknown; `slot` gets the entry's slot on a
    // hit (for a caller that keeps more per entry), and where to store on a
    // miss (-1 when the cache is full).
    uint8_t lookup(PyObject* key, int& slot) const {
        uintptr_t a = reinterpret_cast<uintptr_t>(key);
        int home = static_cast<int>(((a >> 4) ^ (a >> 12)) % kSlots);
        for (int i = 0; i < kSlots; ++i) {
            int s = (home + i) % kSlots;
            if (keys_[s] == a) {
                slot = s;
                return states_[s];
            }
            if (keys_[s] == 0 && entries_ < kMaxEntries) {
                slot = s;
                return 0;
            }
        }
        slot = -1;
        return 0;
    }
    void store(int slot, PyObject* key, bool matched) {
        if (slot < 0) return;
        keys_[slot] = reinterpret_cast<uintptr_t>(key);
        states_[slot] = matched ? 1 : 2;
        ++entries_;
    }

  private:
    uintptr_t keys_[kSlots] = {};
    uint8_t states_[kSlots] = {};
    int entries_ = 0;
};

// The item at `i` of list `inputs` as it now stands, or nullptr past its end
// (borrowed).
inline PyObject* item_at(PyObject* inputs, Py_ssize_t i) {
    return i < PyList_GET_SIZE(inputs) ? PyList_GET_ITEM(inputs, i) : nullptr;
}

// The batch count under the reuse rules: `test(text)` says whether one text
// matches at its start. Returns -1 with the error set when an item cannot be
// read, and -1 once the operation is interrupted.
// It reads the list in place: reading a text and testing it make no object
// that the collector tracks, so the list changes only where a signal check
// runs a handler. Each item is held while it is tested, the list is read
// again at each step, and what the cache knows of items by address is
// forgotten once a check has run.
// `kNamed`: each item is named as the operation's text (a combinator's test
// may remember outcomes on it); a terminal's test keeps nothing for later.
template <bool kNamed, class Test>
int64_t count_batch(PyObject* inputs, Test&& test) {
    const Py_ssize_t n = PyList_GET_SIZE(inputs);
    PyObject* const* items = reinterpret_cast<PyListObject*>(inputs)->ob_item;
    auto eval = [&](PyObject* item) -> int {
        if (!item) return 0;  // the list was shortened by a handler
        if (work_tick()) return -1;
        Text t;
        if (!(kNamed ? read_item_text(item, t) : read_terminal_item_text(item, t))) return -1;
        Py_INCREF(item);
        const bool matched = test(t);
        Py_DECREF(item);
        return interrupted() ? -1 : matched ? 1 : 0;
    };
    if (n == 0) return 0;
    if (kPlainPaths) {
        int64_t c = 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            int r = eval(item_at(inputs, i));
            if (r < 0) return -1;
            c += r;
        }
        return c;
    }
    if (n == 1 || all_same_object(items, n)) {
        int r = eval(items[0]);
        return r < 0 ? -1 : r * static_cast<int64_t>(n);
    }
    if (Py_ssize_t k = find_identity_period(items, n)) {
        int64_t c = 0;
        for (Py_ssize_t i = 0; i < k; ++i) {
            int r = eval(item_at(inputs, i));
            if (r < 0) return -1;
            c += r;
        }
        return c * (n / k);
    }
    InputMatchCache cache;
    uint64_t checks = tls_checks_run;
    int64_t count = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = item_at(inputs, i);
        if (tls_checks_run != checks) [[unlikely]] {
            cache = InputMatchCache();
            checks = tls_checks_run;
        }
        // Held by this list alone, at this one position: the item cannot be
        // met again, so it is evaluated without a look into the cache (whose
        // full probe of 32 slots would be most of the cost of a list of
        // distinct strings) and leaves its entries to objects that can recur.
        if (item && Py_REFCNT(item) == 1) {
            int r = eval(item);
            if (r < 0) return -1;
            count += r;
            continue;
        }
        int slot = -1;
        uint8_t state = item ? cache.lookup(item, slot) : 0;
        if (state == 0) {
            int r = eval(item);
            if (r < 0) return -1;
            if (tls_checks_run == checks) cache.store(slot, item, r == 1);
            state = r == 1 ? 1 : 2;
        }
        count += state == 1;
    }
    return count;
}

// count_batch_matches: TryMatchAt(text, pos) -> TryMatchOutcome, at 0.
template <bool kNamed, class F>
PyObject* count_batch_matches(PyObject* inputs, F&& try_match_at) {
    int64_t c = count_batch<kNamed>(inputs, [&](Text t) { return try_match_at(t, Pos{0}).matched != 0; });
    return c < 0 ? nullptr : count_result(static_cast<uint64_t>(c));
}

// count_batch_matches_shared: the same through a SharedElement's table.
PyObject* count_batch_matches_shared(const SharedElement& e, PyObject* inputs);

// Runs `scan(test)`, where test(t, p) is the try_match_at of record `r` (of
// kind `vt`) at the positions of the one text `s`: its program's scan where it
// has one, else `try_at`.
template <class R, class Scan>
auto with_scan_test(const R& r, const ElementVTable* vt, TryMatchOutcome (*try_at)(const R&, Text, Pos), Text s,
                    Scan&& scan) {
    if constexpr (std::is_base_of_v<CompositeHeader, R>) {
        if (const Program* p = program_for(r, vt)) {
            ProgramScan test(*p, s);
            return scan(test);
        }
    }
    auto test = [&r, try_at](Text t, Pos q) { return try_at(r, t, q); };
    return scan(test);
}

// ---------------------------------------------------------------------------
// The general forms of a class whose every operation goes through its kind:
// a class C with `using Record = R` and the kind's three operations can take
// these as its seven bodies.
template <class R, ParseOutcome (*ParseAt)(const R&, Text, Pos), TryMatchOutcome (*TryMatchAt)(const R&, Text, Pos),
          ParseFromStartOutcome (*ParseFromStart)(const R&, Text)>
struct GeneralForms {
    static const R& rec(const ElementObject* o) { return *static_cast<const R*>(o->element); }

    static PyObject* parse_string(ElementObject* o, Text s) {
        const R& r = rec(o);
        if constexpr (std::is_base_of_v<CompositeHeader, R>) {
            // A combinator's parse_from_start is its parse_at at 0.
            reset_depth_exceeded();
            TokenSink sink(s);
            ParseFailure failure;
            Into in{sink, failure};
            if (!combinator_parse_into(r, vtable(), s, 0, in)) return raise_parse_failure(failure);
            return sink_to_list(sink, false);
        } else {
            return run_parse_string(s, [&](Text t) { return ParseFromStart(r, t); });
        }
    }
    static PyObject* matches(ElementObject* o, Text s) { return bool_result(TryMatchAt(rec(o), s, 0).matched); }
    // The scans pass over the positions where the element cannot begin.
    static PyObject* search_string(ElementObject* o, Text s) {
        const R& r = rec(o);
        return with_scan_test(r, vtable(), TryMatchAt, s,
                              [&](auto& test) { return run_search_string(s, test, StartSkip(vtable(), &r, s)); });
    }
    static PyObject* search_string_count(ElementObject* o, Text s) {
        const R& r = rec(o);
        return count_result(
            with_scan_test(r, vtable(), TryMatchAt, s,
                           [&](auto& test) { return counting_scan(s, test, StartSkip(vtable(), &r, s)); }));
    }
    static PyObject* transform_string(ElementObject* o, Text s, Text repl) {
        const R& r = rec(o);
        return with_scan_test(r, vtable(), TryMatchAt, s, [&](auto& test) {
            return run_transform_string(s, repl, test, StartSkip(vtable(), &r, s));
        });
    }
    static PyObject* parse_batch(ElementObject* o, PyObject* inputs) {
        const R& r = rec(o);
        if constexpr (std::is_base_of_v<CompositeHeader, R>) {
            // The lists are made hidden from the collector and shown once the
            // batch is whole, so that collections do not walk them again and again.
            PyObject* out =
                batch_map(inputs, [&](PyObject* item) { return combinator_input_to_list(item, r, vtable()); });
            if (out) publish_items(out);
            return out;
        } else
            return run_parse_batch(inputs, [&](Text t, Pos p) { return ParseAt(r, t, p); });
    }
    static PyObject* parse_batch_count(ElementObject* o, PyObject* inputs) {
        const R& r = rec(o);
        return count_batch_matches<std::is_base_of_v<CompositeHeader, R>>(
            inputs, [&](Text t, Pos p) { return TryMatchAt(r, t, p); });
    }
    static const ElementVTable* vtable() { return &KindTable<R, ParseAt, TryMatchAt, ParseFromStart>::table; }
};

}  // namespace qgx
