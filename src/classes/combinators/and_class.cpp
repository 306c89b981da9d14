// The And class: a sequence whose members match one after the other. Its own
// seven operations run over the member list with try_match_at only and report
// the text that each member matched (not the members' tokens); no TokenList
// is ever built.
#include <cstring>
#include <string_view>
#include <vector>

#include "classes/combinators/operators.hpp"
#include "classes/combinators/support.hpp"
#include "lib/text_map.hpp"

namespace qgx {

namespace {

// The sequence match at `pos`: each member's end goes to `ends` (one slot per
// member). Gives the end of the whole match, or false.
inline bool sequence_match(const AndElement& r, Text t, Pos pos, Pos* ends, Pos& end) {
    Pos current = pos;
    const size_t m = r.exprs.size();
    for (size_t i = 0; i < m; ++i) {
        TryMatchOutcome o = r.exprs[i].try_match_at(t, current);
        if (!o.matched) return false;
        current = o.end;
        ends[i] = current;
    }
    end = current;
    return true;
}

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

inline TryMatchOutcome sequence_test(const AndElement& r, Text t, Pos pos) {
    Pos current = pos;
    for (const SharedElement& e : r.exprs) {
        TryMatchOutcome o = e.try_match_at(t, current);
        if (!o.matched) return o;
        current = o.end;
    }
    return TryMatchOutcome::yes(current);
}

// The token table of parse_batch's flat paths: each distinct text is made into
// one str, entered under its index. Indices are 32-bit, so any number of
// distinct texts and members fits.
class TokenTable {
  public:
    TokenTable() : index_(64) {}
    ~TokenTable() {
        for (PyObject* s : strs_) Py_XDECREF(s);  // an entry whose str could not be made holds none
    }
    TokenTable(const TokenTable&) = delete;
    TokenTable& operator=(const TokenTable&) = delete;

    uint32_t index_of(std::string_view key) {
        bool fresh;
        uint32_t& slot = index_.find_or_insert(key, fresh);
        if (fresh) {
            slot = static_cast<uint32_t>(strs_.size());
            strs_.emplace_back();  // room first: a failure to grow leaves no str unowned
            strs_.back() = new_str(key.data(), static_cast<Pos>(key.size()));
        }
        return slot;
    }

    // A list filled from the table through `idx`, repeated `times` times. Each
    // table entry gains its references in one addition; the table's own go
    // with the table.
    // nullptr with MemoryError set when the list cannot be made: k times the
    // repeats can pass what a list can hold.
    PyObject* fill(const std::vector<uint32_t>& idx, Py_ssize_t times) {
        const Py_ssize_t k = static_cast<Py_ssize_t>(idx.size());
        if (k != 0 && times > PY_SSIZE_T_MAX / k) return PyErr_NoMemory();
        std::vector<Py_ssize_t> uses(strs_.size(), 0);
        PyObject* out = new_sized_list(static_cast<uint64_t>(k * times));
        if (!out) return nullptr;
        for (Py_ssize_t i = 0; i < k; ++i) {
            PyObject* s = strs_[idx[i]];
            for (Py_ssize_t j = 0; j < times; ++j) PyList_SET_ITEM(out, j * k + i, s);
            uses[idx[i]] += times;
        }
        for (size_t j = 0; j < strs_.size(); ++j) add_refs(strs_[j], uses[j]);
        return out;
    }

  private:
    std::vector<PyObject*> strs_;
    TextMap<uint32_t> index_;
};

// The per-input cache of parse_batch: the InputMatchCache shape (32 slots by
// object address, at most 31 entries), each entry with its run of indices.
class RunCache {
  public:
    static constexpr int kSlots = 32;
    static constexpr int kMaxEntries = 31;

    RunCache() = default;

    // The slot holding `key`, or -1; `store_at` gets the slot to fill on a miss
    // (-1 once the cache is full).
    int find(PyObject* key, int& store_at) const {
        uintptr_t a = reinterpret_cast<uintptr_t>(key);
        int home = static_cast<int>(((a >> 4) ^ (a >> 12)) & 31);
        store_at = -1;
        for (int i = 0; i < kSlots; ++i) {
            int s = (home + i) & 31;
            if (keys_[s] == a) return s;
            if (keys_[s] == 0 && entries_ < kMaxEntries) {
                store_at = s;
                return -1;
            }
        }
        return -1;
    }
    void store(int slot, PyObject* key, bool matched, const uint32_t* run, size_t len) {
        if (slot < 0) return;
        keys_[slot] = reinterpret_cast<uintptr_t>(key);
        matched_[slot] = matched;
        start_[slot] = runs_.size();
        len_[slot] = len;
        runs_.insert(runs_.end(), run, run + len);
        ++entries_;
    }
    bool matched(int slot) const { return matched_[slot]; }
    void append_run(int slot, std::vector<uint32_t>& idx) const {
        idx.insert(idx.end(), runs_.begin() + static_cast<ptrdiff_t>(start_[slot]),
                   runs_.begin() + static_cast<ptrdiff_t>(start_[slot] + len_[slot]));
    }

  private:
    uintptr_t keys_[kSlots] = {};
    bool matched_[kSlots] = {};
    size_t start_[kSlots] = {};
    size_t len_[kSlots] = {};
    std::vector<uint32_t> runs_;
    int entries_ = 0;
};

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
        Pos end;
        if (!sequence_match(r, s, 0, ends.data(), end)) return raise_plain_failure(msg::kExpectedMatch);
        PendingRefs texts;
        member_texts_into(s, ends, texts);
        return texts.into_list();
    }

    static PyObject* matches(Object* o, Text s) { return bool_result(sequence_test(rec(o), s, 0).matched); }

    // One pass per position: the member ends are kept while testing, so a
    // match is cut without running the members again.
    static PyObject* search_string(Object* o, Text s) {
        const AndElement& r = rec(o);
        std::vector<Pos> ends(r.exprs.size());
        PendingRefs found;
        TextInterner interner(64);
        Pos p = 0;
        while (p < s.len) {
            if (work_tick()) [[unlikely]]
                break;  // interrupted: the entry drops what was found
            Pos end;
            if (!sequence_match(r, s, p, ends.data(), end)) {
                ++p;
                continue;
            }
            Pos prev = p;
            std::string_view v;
            for (Pos e : ends) {
                if (member_text(s, prev, e, v)) found.push(interner.get(v));
                prev = e;
            }
            p = end > p ? end : p + 1;
        }
        return found.into_list();
    }

    static PyObject* search_string_count(Object* o, Text s) {
        const AndElement& r = rec(o);
        return count_result(counting_scan(s, [&](Text t, Pos p) { return sequence_test(r, t, p); }));
    }

    static PyObject* transform_string(Object* o, Text s, Text repl) {
        const AndElement& r = rec(o);
        return run_transform_string(s, repl, [&](Text t, Pos p) { return and_try_match_at(r, t, p); });
    }

    static PyObject* parse_batch(Object* o, PyObject* inputs) {
        const AndElement& r = rec(o);
        // The list is read in place: until every item has been read, nothing
        // here makes an object that the collector tracks or calls into Python
        // code (the texts become str objects, which never start a collection,
        // and a member text is always whole characters, so making one never
        // raises), and the lists are made after the last read. Only a signal
        // check inside a member's test runs Python code: each item is held
        // while it is tested, the list is read again at each step, and the
        // cache forgets the items it knew by address once a check has run.
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
            Pos end;
            OwnedRef inner;
            const bool matched = sequence_match(r, t, 0, ends.data(), end);
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

        TokenTable table;
        std::vector<uint32_t> idx;
        // Appends the indices of one input's texts; false when the item cannot
        // be read or the operation is interrupted. An item the list no longer
        // holds (a handler shortened it) matches nothing.
        auto evaluate = [&](PyObject* item, bool& matched) {
            matched = false;
            if (!item) return true;
            if (work_tick()) return false;
            Text t;
            if (!read_item_text(item, t)) return false;
            Pos end;
            Py_INCREF(item);
            matched = sequence_match(r, t, 0, ends.data(), end);
            Py_DECREF(item);
            if (interrupted()) return false;
            if (!matched) return true;
            Pos prev = 0;
            std::string_view v;
            for (Pos e : ends) {
                if (member_text(t, prev, e, v)) idx.push_back(table.index_of(v));
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
                return table.fill(idx, n / k);
            }
        }

        // The indices grow as matches are found: room for n × m up front
        // would be asked for even when nothing matches.
        RunCache cache;
        uint64_t checks = tls_checks_run;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* item = item_at(inputs, i);
            if (tls_checks_run != checks) [[unlikely]] {
                cache = RunCache();
                checks = tls_checks_run;
            }
            int store_at = -1;
            if constexpr (!kPlainPaths) {
                int hit = item ? cache.find(item, store_at) : -1;
                if (hit >= 0) {
                    if (cache.matched(hit)) cache.append_run(hit, idx);
                    continue;
                }
            }
            size_t before = idx.size();
            bool matched;
            if (!evaluate(item, matched)) return nullptr;
            if constexpr (!kPlainPaths)
                if (item && tls_checks_run == checks)
                    cache.store(store_at, item, matched, idx.data() + before, idx.size() - before);
        }
        return table.fill(idx, 1);
    }

    static PyObject* parse_batch_count(Object* o, PyObject* inputs) {
        const AndElement& r = rec(o);
        int64_t c = count_batch<true>(inputs, [&](Text t) { return sequence_test(r, t, 0).matched != 0; });
        return c < 0 ? nullptr : count_result(static_cast<uint64_t>(c));
    }
};

}  // namespace qgx

QGX_REGISTER_CLASS(AndClass, kAndClass)
