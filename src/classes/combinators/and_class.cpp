// The And class: a sequence whose members match one after the other. Its own
// seven operations try the members in turn at the caller's depth, in the
// record's program (its member mode), and report the text that each member
// matched (not the members' tokens); no TokenList is ever built.
#include <cstring>
#include <string_view>
#include <vector>

#include "classes/combinators/operators.hpp"
#include "classes/combinators/support.hpp"
#include "elements/program.hpp"
#include "lib/text_map.hpp"

namespace qgx {

namespace {

// The sequence match at `pos`: the members tried in turn at the present
// depth (the sequence enters no level of its own), each member's end into
// `ends` (one slot per member) when it is given. `p` is the record's program;
// where programs are off, each member's own try_match_at.
inline TryMatchOutcome sequence_at(const AndElement& r, const Program* p, Text t, Pos pos, Pos* ends) {
    if (p) return program_member_ends(*p, t, pos, ends);
    Pos current = pos;
    const size_t m = r.exprs.size();
    for (size_t i = 0; i < m; ++i) {
        TryMatchOutcome o = r.exprs[i].try_match_at(t, current);
        if (!o.matched) return o;
        current = o.end;
        if (ends) ends[i] = current;
    }
    return TryMatchOutcome::yes(current);
}

inline const Program* program_of(const AndElement& r) { return program_for(r, and_vtable()); }

// The text of the member span [from, to), or false when it has none. A span
// that begins or ends inside a character (a byte-table member on a multi-byte
// character) keeps only the whole characters it covers, as the scans do.
inline bool member_text(Text t, Pos from, Pos to, std::string_view& out) {
    if (to <= from) return false;
    if (!on_boundary(t, from) || !on_boundary(t, to)) [[unlikely]] {
        Span w = whole_characters(t, Span{from, to});
        if (w.start >= w.end) return false;
        from = w.start;
        to = w.end;
    }
    out = std::string_view(t.data + from, to - from);
    return true;
}

// A new str for each member's text of a match at 0 whose member ends are
// `ends`, into `texts` (members with no text give none).
inline void member_texts_into(Text t, const std::vector<Pos>& ends, PendingRefs& texts) {
    texts.reserve(ends.size());
    Pos prev = 0;
    std::string_view v;
    for (Pos e : ends) {
        if (member_text(t, prev, e, v)) texts.push(new_str(v.data(), static_cast<Pos>(v.size())));
        prev = e;
    }
}

}  // namespace

struct AndClass {
    using Object = ElementObject;
    static constexpr char kName[] = "And";
    static constexpr ClassId kId = ClassId::And;
    static constexpr const char* kSignature = nullptr;
    static constexpr bool kRejectConstruction = true;
    static constexpr MethodDocs kDocs{
        .parse_string = "Parse using try_match_at on flattened elements \xe2\x80\x94 raw FFI list construction",
        .matches = "Zero-allocation match check using try_match_at (no ParseResults)",
        .search_string = "Search string \xe2\x80\x94 raw FFI with dedup for repeated tokens",
        .parse_batch = "Cyclic detection + hash-based cache fallback + indexed tokens",
        .parse_batch_count = "Cyclic detection + hash-based pointer cache count",
    };
    static const ElementVTable* vtable() { return and_vtable(); }
    static void release_payload(Object* o) { release_combinator_record(o); }
    static void seal(Object* o) { seal_chain(*static_cast<ChainElement*>(o->element)); }
    static PyObject* nb_add(PyObject* l, PyObject* r) { return and_add(l, r); }

    static const AndElement& rec(const Object* o) { return record_of<AndElement>(o); }

    static PyObject* parse_string(Object* o, Text s) {
        const AndElement& r = rec(o);
        reset_depth_exceeded();
        std::vector<Pos> ends(r.exprs.size());
        if (!sequence_at(r, program_of(r), s, 0, ends.data()).matched) return raise_plain_failure(msg::kExpectedMatch);
        PendingRefs texts;
        member_texts_into(s, ends, texts);
        return texts.into_list();
    }

    static PyObject* matches(Object* o, Text s) {
        const AndElement& r = rec(o);
        return bool_result(sequence_at(r, program_of(r), s, 0, nullptr).matched);
    }

    // One pass per position: the member ends are kept while testing, so a
    // match is cut without running the members again.
    static PyObject* search_string(Object* o, Text s) {
        const AndElement& r = rec(o);
        const Program* prog = program_of(r);
        std::vector<Pos> ends(r.exprs.size());
        PendingRefs found;
        TextInterner interner(64);
        Pos p = 0;
        while (p < s.len) {
            if (work_tick()) [[unlikely]]
                break;  // interrupted: the entry drops what was found
            TryMatchOutcome m = sequence_at(r, prog, s, p, ends.data());
            if (!m.matched) {
                ++p;
                continue;
            }
            Pos prev = p;
            std::string_view v;
            for (Pos e : ends) {
                if (member_text(s, prev, e, v)) found.push(interner.get(v));
                prev = e;
            }
            p = m.end > p ? m.end : p + 1;
        }
        return found.into_list();
    }

    static PyObject* search_string_count(Object* o, Text s) {
        const AndElement& r = rec(o);
        const Program* prog = program_of(r);
        return count_result(counting_scan(s, [&](Text t, Pos p) { return sequence_at(r, prog, t, p, nullptr); }));
    }

    static PyObject* transform_string(Object* o, Text s, Text repl) {
        const AndElement& r = rec(o);
        return run_transform_string(s, repl, [&](Text t, Pos p) { return and_try_match_at(r, t, p); });
    }

    static PyObject* parse_batch(Object* o, PyObject* inputs) {
        const AndElement& r = rec(o);
        const Program* prog = program_of(r);
        // The list is read in place: until every item has been read, nothing
        // here makes an object that the collector tracks or calls into Python
        // code (the texts become str objects, which never start a collection,
        // and a member text is always whole characters, so making one never
        // raises), and the lists are made after the last read. Only a signal
        // check inside a member's test runs Python code, which may change the
        // list: it is read again at each step, and every item tested is held
        // until the call ends, since the interner and the cache know texts and
        // objects by address.
        const Py_ssize_t n = PyList_GET_SIZE(inputs);
        if (n == 0) return new_list(0);
        PyObject* const* items = reinterpret_cast<PyListObject*>(inputs)->ob_item;
        const size_t m = r.exprs.size();
        std::vector<Pos> ends(m);

        // Uniform inputs: one evaluation, n references to one list.
        if (n == 1 || all_same_object(items, n)) {
            Text t;
            if (!read_item_text(items[0], t)) return nullptr;
            OwnedRef held = OwnedRef::borrow(items[0]);
            OwnedRef inner;
            const bool matched = sequence_at(r, prog, t, 0, ends.data()).matched;
            if (interrupted()) return nullptr;
            if (matched) {
                PendingRefs texts;
                member_texts_into(t, ends, texts);
                if (texts.empty()) return new_list(0);  // the flat paths give nothing either
                inner = OwnedRef::steal(texts.into_list());
            } else {
                inner = OwnedRef::steal(new_list(0));
            }
            PyObject* block = new_list(1);
            PyList_SET_ITEM(block, 0, inner.release());
            return repeat_block(block, n);
        }

        // Declared first, so released last: the interner and the queue below
        // read the items' texts until they go.
        PendingRefs tested;
        // Every distinct text of the call is one str, made at its first
        // occurrence; `found` holds one reference per occurrence, in order.
        TextInterner interner(64);
        PendingRefs found;
        auto into_found = [&](PyObject* s) { found.push(s); };
        // Once the map is large, its lookups are queued a few texts ahead;
        // the texts stay readable until the call ends.
        InternQueue<decltype(into_found)> queue(interner, into_found);
        // Appends the texts of one input; false when the item cannot be read
        // or the operation is interrupted. An item the list no longer holds (a
        // handler shortened it) matches nothing.
        auto evaluate = [&](PyObject* item, bool& matched) {
            matched = false;
            if (!item) return true;
            if (work_tick()) return false;
            Text t;
            if (!read_item_text(item, t)) return false;
            Py_INCREF(item);
            tested.push(item);
            matched = sequence_at(r, prog, t, 0, ends.data()).matched;
            if (interrupted()) return false;
            if (!matched) return true;
            Pos prev = 0;
            std::string_view v;
            for (Pos e : ends) {
                if (member_text(t, prev, e, v)) queue.push(v.data(), static_cast<Pos>(v.size()));
                prev = e;
            }
            return true;
        };

        if constexpr (!kPlainPaths) {
            // A repeating period of input objects: only the first block is evaluated.
            if (Py_ssize_t k = find_identity_period(items, n)) {
                for (Py_ssize_t i = 0; i < k; ++i) {
                    bool matched;
                    if (!evaluate(item_at(inputs, i), matched)) return nullptr;
                }
                queue.finish();
                PyObject* block = found.into_list();
                PyObject* out = PySequence_Repeat(block, n / k);
                Py_DECREF(block);
                return out ? out : ensure_error();
            }
        }

        // The per-input cache: an object met again gives the texts stored
        // for it (a run of `runs`, whose strs `found` keeps alive).
        InputMatchCache cache;
        std::vector<PyObject*> runs;
        size_t run_start[InputMatchCache::kSlots] = {}, run_len[InputMatchCache::kSlots] = {};
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* item = item_at(inputs, i);
            // Held by this list alone, at this one position: never met again,
            // so it is evaluated without a look into the cache.
            const bool may_recur = !kPlainPaths && item && Py_REFCNT(item) != 1;
            int slot = -1;
            if (may_recur) {
                if (uint8_t state = cache.lookup(item, slot)) {
                    if (state == 1) {
                        queue.finish();  // the texts before these take their places first
                        for (size_t j = 0; j < run_len[slot]; ++j) {
                            PyObject* s = runs[run_start[slot] + j];
                            Py_INCREF(s);
                            found.push(s);
                        }
                    }
                    continue;
                }
            }
            const bool stored = may_recur && slot >= 0;
            if (stored) queue.finish();  // its run begins where the texts before it end
            const size_t before = found.size();
            bool matched;
            if (!evaluate(item, matched)) return nullptr;
            if (stored) {
                queue.finish();
                run_start[slot] = runs.size();
                run_len[slot] = found.size() - before;
                for (size_t j = before; j < found.size(); ++j) runs.push_back(found.at(j));
                cache.store(slot, item, matched);
            }
        }
        queue.finish();
        return found.into_list();
    }

    static PyObject* parse_batch_count(Object* o, PyObject* inputs) {
        const AndElement& r = rec(o);
        const Program* prog = program_of(r);
        int64_t c = count_batch<true>(inputs, [&](Text t) { return sequence_at(r, prog, t, 0, nullptr).matched != 0; });
        return c < 0 ? nullptr : count_result(static_cast<uint64_t>(c));
    }
};

}  // namespace qgx

QGX_REGISTER_CLASS(AndClass, kAndClass)
