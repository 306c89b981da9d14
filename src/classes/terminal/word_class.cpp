// The Word class: every operation reads the record's two sets directly and
// tests single bytes, with the reading of word_try_match_at.
#include "classes/terminal/chars_support.hpp"
#include "elements/chars.hpp"
#include "elements/counting.hpp"
#include "messages.hpp"

#include <cstring>
#include <string_view>

namespace qgx {

namespace {

// The two sets expanded to one-byte flags, so each byte costs one lookup.
struct WordTables {
    uint8_t init[256];
    uint8_t body[256];
    explicit WordTables(const WordElement& r) {
        for (int b = 0; b < 256; ++b) {
            init[b] = r.init_chars.has(static_cast<unsigned char>(b));
            body[b] = r.body_chars.has(static_cast<unsigned char>(b));
        }
    }
    // The end of the word that starts at `p` (init already tested).
    Pos run_end(Text t, Pos p) const {
        ++p;
        while (p < t.len && body[t.at(p)]) ++p;
        return p;
    }
};

// The word count of the scan over bytes [from, to), entered with `open`
// (a word is open and a body byte would continue it); leaves the final state
// in `open`. No branch on the text.
uint64_t branchless_count(const WordTables& tb, Text t, Pos from, Pos to, bool& open) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(t.data);
    uint64_t count = 0;
    uint8_t o = open;
    for (Pos i = from; i < to; ++i) {
        unsigned char b = p[i];
        uint8_t cont = o & tb.body[b];
        uint8_t start = tb.init[b] & (cont ^ 1);
        count += start;
        o = start | cont;
    }
    open = o;
    return count;
}

// The end of the word at `p`, whose byte is in init_chars, or `p` for none:
// the byte run, and with members in U+0080..U+00FF the reading of
// word_try_match_at (no word begins inside a character; one ends before a
// character that its run would cut).
inline Pos word_end(const WordElement& r, const WordTables& tb, Text t, Pos p) {
    if (!r.high_members) return tb.run_end(t, p);
    if (!on_boundary(t, p)) return p;
    return word_whole_end(t, p, tb.run_end(t, p));
}

// Calls f(start, end) for each word of the scan: the counting scan with
// word_try_match_at, going on at a word's end, else at the next byte.
template <class F>
void scan_words(const WordElement& r, const WordTables& tb, Text t, F&& f) {
    Pos p = 0;
    while (p < t.len) {
        if (!tb.init[t.at(p)]) {
            ++p;
            continue;
        }
        Pos e = word_end(r, tb, t, p);
        if (e == p) {
            ++p;
            continue;
        }
        f(p, e);
        p = e;
    }
}

uint64_t count_words(const WordElement& r, const WordTables& tb, Text t) {
    if (r.high_members) {
        uint64_t n = 0;
        scan_words(r, tb, t, [&](Pos, Pos) { ++n; });
        return n;
    }
    bool open = false;
    return branchless_count(tb, t, 0, t.len, open);
}

// The general path of search_string: count, then fill a list of exactly
// that many entries, equal words sharing one str.
PyObject* search_general(const WordElement& r, const WordTables& tb, Text s) {
    uint64_t count = count_words(r, tb, s);
    // Held, so that an allocation failure of the interner leaves nothing behind.
    OwnedRef list = OwnedRef::steal(new_sized_list(count));
    if (!list || count == 0) return list.release();
    // Small at first: a text of few distinct words keeps its map in the
    // nearest cache, and one of many pays a doubling now and then.
    TextInterner made;
    PyObject** out = reinterpret_cast<PyListObject*>(list.get())->ob_item;
    auto put = [&](PyObject* str) { *out++ = str; };
    InternQueue queue(made, put);
    scan_words(r, tb, s, [&](Pos a, Pos e) { queue.push(s.data + a, e - a); });
    queue.finish();
    return list.release();
}

// The word table of the repeating-text path: 32 slots on the stack keyed by
// a word's first four bytes, each holding the str made for that word and the
// number of result entries it will stand at. A block with more than 32
// distinct words spills into a growable map, so every word still shares one
// str.
class BlockWordTable {
  public:
    struct Slot {
        uint32_t key = kEmpty;
        Pos len = 0;
        const char* data = nullptr;
        PyObject* str = nullptr;
        Py_ssize_t entries = 0;
    };

    BlockWordTable() = default;
    BlockWordTable(const BlockWordTable&) = delete;
    BlockWordTable& operator=(const BlockWordTable&) = delete;
    ~BlockWordTable() {
        // Each str made drops the reference the table held (a slot whose str
        // could not be made holds none).
        for (Slot& s : slots_) Py_XDECREF(s.str);
        for (Slot& s : spill_) Py_XDECREF(s.str);
    }

    // The slot of the word's text, its str made on first sight.
    Slot* get(const char* p, Pos n) {
        uint32_t x = 0;
        std::memcpy(&x, p, n < 4 ? n : 4);  // little-endian; missing bytes stay zero
        for (uint32_t i = 0, h = (x ^ (x >> 16)) % 32; i < 32; ++i, h = (h + 1) % 32) {
            Slot& s = slots_[h];
            if (s.key == kEmpty) return fill(s, x, p, n);
            if (s.key == x && s.len == n && std::memcmp(s.data, p, n) == 0) return &s;
        }
        bool fresh;
        size_t& at = spill_index_.find_or_insert(std::string_view(p, n), fresh);
        if (fresh) {
            at = spill_.size();
            spill_.emplace_back();
            fill(spill_.back(), x, p, n);
        }
        return &spill_[at];
    }

    // Gives every str made its entries' references in one step.
    void add_entry_refs() {
        for (Slot& s : slots_)
            if (s.str) add_refs(s.str, s.entries);
        for (Slot& s : spill_) add_refs(s.str, s.entries);
    }

  private:
    static constexpr uint32_t kEmpty = 0xFFFFFFFFu;
    Slot* fill(Slot& s, uint32_t x, const char* p, Pos n) {
        s.key = x;
        s.len = n;
        s.data = p;
        s.str = new_str(p, n);
        return &s;
    }
    Slot slots_[32];
    std::vector<Slot> spill_;
    TextMap<size_t> spill_index_{8};
};

// The repeating-text path of search_string: a text that repeats its first
// `k` bytes, with no word crossing a block boundary, lists the block's words
// q times and then the words of the rest. Gives nullptr when the block holds
// no word or a word runs across the boundary (the general path then runs).
PyObject* search_repeating(const WordTables& tb, Text s, Pos k) {
    std::vector<Span> block;
    Pos p = 0;
    while (p < k) {
        if (!tb.init[s.at(p)]) {
            ++p;
            continue;
        }
        Pos e = p + 1;
        while (e < k && tb.body[s.at(e)]) ++e;
        block.push_back({p, e});
        p = e;
    }
    if (block.empty() || (block.back().end == k && tb.body[s.at(k)])) return nullptr;
    Pos q = s.len / k;
    std::vector<Span> rest;
    for (p = q * k; p < s.len;) {
        if (!tb.init[s.at(p)]) {
            ++p;
            continue;
        }
        Pos e = tb.run_end(s, p);
        rest.push_back({p, e});
        p = e;
    }
    // Every str is made before the list, which holds no reference until
    // the last step: a failure to make one leaves nothing to undo.
    BlockWordTable table;
    for (const Span& w : block) table.get(s.data + w.start, w.end - w.start);
    for (const Span& w : rest) table.get(s.data + w.start, w.end - w.start);
    const Py_ssize_t nb = static_cast<Py_ssize_t>(block.size());
    if (rest.empty()) {
        // Whole blocks only: the interpreter repeats a list of one block.
        OwnedRef one = OwnedRef::steal(new_list(nb));
        for (Py_ssize_t i = 0; i < nb; ++i) {
            PyObject* str = table.get(s.data + block[i].start, block[i].end - block[i].start)->str;
            Py_INCREF(str);
            PyList_SET_ITEM(one.get(), i, str);
        }
        PyObject* all = PySequence_Repeat(one.get(), q);
        return all ? all : ensure_error();  // as many words as the text holds: MemoryError
    }
    const Py_ssize_t total = nb * q + static_cast<Py_ssize_t>(rest.size());
    PyObject* list = new_sized_list(static_cast<uint64_t>(total));
    if (!list) return nullptr;
    PyObject** items = reinterpret_cast<PyListObject*>(list)->ob_item;
    for (Py_ssize_t i = 0; i < nb; ++i) {
        BlockWordTable::Slot* slot = table.get(s.data + block[i].start, block[i].end - block[i].start);
        slot->entries += q;
        items[i] = slot->str;
    }
    // Doubling copies: one block, two, four, ... until q blocks stand.
    for (Py_ssize_t done = nb, want = nb * q; done < want;) {
        Py_ssize_t n = done < want - done ? done : want - done;
        std::memcpy(items + done, items, static_cast<size_t>(n) * sizeof(PyObject*));
        done += n;
    }
    Py_ssize_t at = nb * q;
    for (const Span& w : rest) {
        BlockWordTable::Slot* slot = table.get(s.data + w.start, w.end - w.start);
        ++slot->entries;
        items[at++] = slot->str;
    }
    table.add_entry_refs();
    return list;
}

}  // namespace

struct WordClass {
    using Object = ElementObject;
    static constexpr char kName[] = "Word";
    static constexpr ClassId kId = ClassId::Word;
    static constexpr const char* kSignature = "(init_chars, body_chars=None)";
    static constexpr ArgumentDescriptor kNew{kName, "__new__", {"init_chars", "body_chars"}, 2, 1};
    static constexpr MethodDocs kDocs{
        "Fast-path word parse — returns the list directly, without allocating an intermediate text",
        "Zero-allocation match check via try_match_at",
        "Search string — text cycle detection + memcpy doubling fast path,\n"
        "fallback to single-pass scan + u8 index dedup + bulk INCREF",
        "Count word matches in large text — cycle detection + branchless scan",
        "Specialized transform: uses 256-byte lookup tables for direct byte scanning.",
        "Cyclic detection + hash-based cache fallback + bulk INCREF",
        "Count word matches in batch — uniform + cycle + hash cache",
    };

    static const ElementVTable* vtable() { return word_vtable(); }
    static const WordElement& rec(const Object* o) { return record_of<WordElement>(o); }

    static PyObject* construct(PyTypeObject* type, PyObject** slots) {
        Text init;
        if (!convert_text_arg(slots[0], "init_chars", init)) return nullptr;
        Text body;
        bool has_body = slots[1] && slots[1] != Py_None;
        if (has_body && !convert_text_arg(slots[1], "body_chars", body)) return nullptr;
        return wrap_record(type, make_word_element(init, has_body ? &body : nullptr));
    }

    static PyObject* parse_string(Object* o, Text s) {
        const WordElement& r = rec(o);
        if (s.len == 0 || !r.init_chars.has(s.at(0))) return word_failure();
        Pos e = first_word_end(r, s);
        if (e == 0) return word_failure();
        OwnedRef word = OwnedRef::steal(new_str(s.data, e));
        PyObject* list = new_list(1);
        PyList_SET_ITEM(list, 0, word.release());
        return list;
    }

    static PyObject* matches(Object* o, Text s) {
        return bool_result(starts_a_word(rec(o), s));
    }

    static PyObject* search_string(Object* o, Text s) {
        const WordElement& r = rec(o);
        if (s.len == 0) return new_list(0);
        WordTables tb(r);
        if (!kPlainPaths && !r.high_members) {
            // A text that repeats a short block is scanned once per block.
            if (Pos k = find_text_period(s)) {
                if (PyObject* list = search_repeating(tb, s, k)) return list;
                if (PyErr_Occurred()) return nullptr;  // the list could not be made
            }
        }
        return search_general(r, tb, s);
    }

    static PyObject* search_string_count(Object* o, Text s) {
        const WordElement& r = rec(o);
        if (s.len == 0) return count_result(0);
        WordTables tb(r);
        if (!kPlainPaths && !r.high_members) {
            // Every block starts with no word open unless a word reaches the
            // block's end and the next block's first byte continues it.
            Pos k = find_text_period(s);
            bool open = false;
            uint64_t per_block = k ? branchless_count(tb, s, 0, k, open) : 0;
            if (k && !(open && tb.body[s.at(0)])) {
                Pos q = s.len / k;
                bool rest_open = false;
                return count_result(per_block * q + branchless_count(tb, s, q * k, s.len, rest_open));
            }
        }
        return count_result(count_words(r, tb, s));
    }

    static PyObject* transform_string(Object* o, Text s, Text replacement) {
        const WordElement& r = rec(o);
        if (s.len == 0) return new_str("", 0);
        WordTables tb(r);
        std::string out;
        out.reserve(s.len);
        Pos mark = 0;
        scan_words(r, tb, s, [&](Pos a, Pos e) {
            out.append(s.data + mark, a - mark);
            out.append(replacement.data, replacement.len);
            mark = e;
        });
        if (mark == 0 && out.empty()) return new_str(s.data, s.len);
        out.append(s.data + mark, s.len - mark);
        // The replacement can make the result far larger than the text.
        return new_sized_str(out.data(), out.size());
    }

    static PyObject* parse_batch(Object* o, PyObject* inputs) {
        const WordElement& r = rec(o);
        return flat_parse_batch(inputs, [&](PyObject* item, PyObject*& out) -> int {
            Text t;
            if (!read_terminal_item_text(item, t)) return -1;
            if (t.len == 0 || !r.init_chars.has(t.at(0))) return 0;
            Pos e = first_word_end(r, t);
            if (e == 0) return 0;
            if (e == t.len) {
                Py_INCREF(item);
                out = item;
            } else {
                out = new_str(t.data, e);
            }
            return 1;
        });
    }

    static PyObject* parse_batch_count(Object* o, PyObject* inputs) {
        const WordElement& r = rec(o);
        int64_t c = count_batch<false>(inputs, [&](Text t) { return starts_a_word(r, t); });
        return c < 0 ? nullptr : count_result(static_cast<uint64_t>(c));
    }

  private:
    // The end of the word at 0 of a text whose first byte is in init_chars,
    // 0 for none.
    static Pos first_word_end(const WordElement& r, Text t) {
        Pos e = 1;
        while (e < t.len && r.body_table[t.at(e)]) ++e;
        return r.high_members ? word_whole_end(t, 0, e) : e;
    }
    // Whether a word begins at 0: with ASCII sets the first byte decides,
    // since a run of ASCII members always ends on a character boundary.
    static bool starts_a_word(const WordElement& r, Text t) {
        if (t.len == 0 || !r.init_chars.has(t.at(0))) return false;
        return !r.high_members || first_word_end(r, t) != 0;
    }

    static PyObject* word_failure() {
        PyErr_SetString(PyExc_ValueError, msg::kExpectedWord);
        return nullptr;
    }
};

}  // namespace qgx

QGX_REGISTER_CLASS(WordClass, kWordClass)
