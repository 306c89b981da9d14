// The literal-family classes: Literal and Keyword with their fast paths over
// the record and the cached string, and CaselessLiteral, CaselessKeyword and
// Char on the general forms with their kind's test inlined.
#include <sys/mman.h>

#include <memory>
#include <new>
#include <vector>

#include "elements/counting.hpp"
#include "elements/literals.hpp"
#include "elements/substring_search.hpp"
#include "lib/engines.hpp"
#include "lib/text_map.hpp"
#include "messages.hpp"
#include "python/class_frame.hpp"

namespace qgx {

namespace {

constexpr ArgumentDescriptor text_param(const char* cls) { return {cls, "__new__", {"s"}, 1, 1}; }

// A new str of the text that is no other object: the interpreter hands out
// shared one-character strings (every character below U+0100) from its
// decoder, so a one-character text is written into a new object of its own.
// (The empty str is the interpreter's singleton whatever is done.)
PyObject* fresh_str(Text s) {
    PyObject* r = new_str(s.data, s.len);
    if (PyUnicode_GET_LENGTH(r) != 1) return r;
    Py_UCS4 ch = PyUnicode_READ_CHAR(r, 0);
    Py_DECREF(r);
    PyObject* own = PyUnicode_New(1, ch);
    if (!own) throw_no_memory();
    PyUnicode_WRITE(PyUnicode_KIND(own), PyUnicode_DATA(own), 0, ch);
    return own;
}

// A new one-item list holding `item` (one more reference to it).
PyObject* list_of_one(PyObject* item) {
    PyObject* l = new_list(1);
    Py_INCREF(item);
    PyList_SET_ITEM(l, 0, item);
    return l;
}

// `count` references to one new one-item list holding `cached`: how Literal
// and Keyword list their occurrences.
PyObject* repeated_token_list(PyObject* cached, uint64_t count) {
    if (count == 0) return new_list(0);
    // The count is the text's to choose (up to its length), so a list that
    // cannot be made is MemoryError.
    if (!check_result_size(count)) return nullptr;
    OwnedRef inner = OwnedRef::steal(list_of_one(cached));
    OwnedRef outer = OwnedRef::steal(list_of_one(inner.get()));
    PyObject* r = PySequence_Repeat(outer.get(), static_cast<Py_ssize_t>(count));
    return r ? r : ensure_error();
}

// parse_batch of Literal and Keyword: every matching input gets the one
// success list (holding `cached`), every other input the one empty failure
// list. `test(text)` is the starts-with test at 0.
//
// Making a list may start a collection, which can run code that changes the
// caller's list; so every item is tested before the first object is made.
// The outcomes go into a PyMem buffer (which never collects), and that
// buffer becomes the result list's storage once the two shared lists exist.
template <class Test>
PyObject* shared_lists_batch(PyObject* inputs, PyObject* cached, Test&& test) {
    Py_ssize_t n = PyList_GET_SIZE(inputs);
    if (n == 0) return new_list(0);
    PyObject* const* items = reinterpret_cast<PyListObject*>(inputs)->ob_item;
    // One object throughout: one test, and the result is one list repeated.
    if (!kPlainPaths && all_same_object(items, n)) {
        Text t;
        if (!read_terminal_item_text(items[0], t)) return nullptr;
        bool matched = test(t);
        OwnedRef inner = OwnedRef::steal(matched ? list_of_one(cached) : new_list(0));
        PyObject* block = new_list(1);
        PyList_SET_ITEM(block, 0, inner.release());
        return repeat_block(block, n);
    }
    std::unique_ptr<PyObject*[], PyMemFree> slots(PyMem_New(PyObject*, static_cast<size_t>(n)));
    if (!slots) return PyErr_NoMemory();
    // Pass 1: a mark per item, 1 for a match and 0 for none, in `slots`.
    Py_ssize_t matched = 0;
    PyObject* prev_item = nullptr;
    uintptr_t prev = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = items[i];
        // The same object as the previous item takes its outcome untested.
        if (kPlainPaths || item != prev_item) {
            Text t;
            if (!read_terminal_item_text(item, t)) return nullptr;
            prev = test(t) ? 1 : 0;
            prev_item = item;
        }
        slots[i] = reinterpret_cast<PyObject*>(prev);
        matched += static_cast<Py_ssize_t>(prev);
    }
    // Every object is made before the marks turn into references, so that a
    // failure to make one leaves the buffer holding none.
    OwnedRef success = OwnedRef::steal(list_of_one(cached));
    OwnedRef failure = OwnedRef::steal(new_list(0));
    OwnedRef out = OwnedRef::steal(new_list(0));
    // Pass 2: the marks become the shared lists, each gaining its references
    // in one addition, and the buffer becomes the result's storage.
    for (Py_ssize_t i = 0; i < n; ++i) slots[i] = slots[i] ? success.get() : failure.get();
    add_refs(success.get(), matched);
    add_refs(failure.get(), n - matched);
    adopt_buffer(out.get(), slots.release(), n);
    return out.release();
}

// parse_batch_count of Literal: one test for a list of one object, the
// previous outcome for an item repeating the one before. -1 with the error set.
template <class Test>
int64_t consecutive_count(PyObject* inputs, Test&& test) {
    Py_ssize_t n = PyList_GET_SIZE(inputs);
    if (n == 0) return 0;
    PyObject* const* items = reinterpret_cast<PyListObject*>(inputs)->ob_item;
    if (!kPlainPaths && all_same_object(items, n)) {
        Text t;
        if (!read_terminal_item_text(items[0], t)) return -1;
        return test(t) ? n : 0;
    }
    int64_t count = 0;
    PyObject* prev_item = nullptr;
    bool prev = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = items[i];
        if (kPlainPaths || item != prev_item) {
            Text t;
            if (!read_terminal_item_text(item, t)) return -1;
            prev = test(t);
            prev_item = item;
        }
        count += prev;
    }
    return count;
}

PyObject* count_or_error(int64_t c) { return c < 0 ? nullptr : count_result(static_cast<uint64_t>(c)); }

PyObject* raise_value_error(std::string_view text) {
    OwnedRef m = OwnedRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!m) return nullptr;
    PyErr_SetObject(PyExc_ValueError, m.get());
    return nullptr;
}

// Asks for huge pages under a large result buffer that is about to be written
// in full. First touches of fresh memory are the bulk of the cost of a large
// replace (one fault per 4 KiB page otherwise); the buffer is the result's
// own, so the hint changes nothing but the page size. Only whole 2 MiB blocks
// inside the buffer are advised.
void advise_huge_pages(void* p, size_t n) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr uintptr_t kHuge = uintptr_t{2} << 20;
    if (n < 4 * kHuge) return;
    uintptr_t begin = (reinterpret_cast<uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
    uintptr_t end = (reinterpret_cast<uintptr_t>(p) + n) & ~(kHuge - 1);
    if (end > begin) (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)p;
    (void)n;
#endif
}

// The occurrences of a Literal's text, as build_replaced takes them: counted
// and written by the searcher's own scans.
struct LiteralSpans {
    Text t, needle;
    void tally(uint64_t& count, uint64_t& removed) const {
        count = count_substring(t.data, t.len, needle.data, needle.len);
        removed = count * needle.len;
    }
    template <class Sink>
    void for_each(Sink&& sink) const {
        SubstringSearcher searcher(needle.data, needle.len);
        for (size_t i = 0; i + needle.len <= t.len;) {
            size_t o = searcher.find(t.data, t.len, i);
            if (o == SubstringSearcher::kNotFound) break;
            sink(static_cast<Pos>(o), static_cast<Pos>(o + needle.len));
            i = o + needle.len;
        }
    }
    void write_bytes(char* out, uint64_t len, Text r) const {
        advise_huge_pages(out, len);
        replace_substrings(t.data, t.len, needle.data, needle.len, r.data, r.len, out, len);
    }
};

// The matches of a Keyword, found by the searcher (as its count finds them).
struct KeywordSpans {
    const KeywordElement& k;
    Text t;
    template <class Sink>
    void for_each(Sink&& sink) const {
        for_each_keyword_match(k, t, [&](Pos start) { sink(start, start + k.match_len); });
    }
};

// The matches of a Char: each member byte stands for the text of
// char_text_span, and empty ones (inside a character) are dropped. With
// ASCII members only, that is the byte itself.
struct CharSpans {
    const CharElement& r;
    Text t;
    bool ascii_members;
    template <class Sink>
    void for_each(Sink&& sink) const {
        const ByteTable& m = r.members;
        if (ascii_members) {
            for (Pos p = 0; p < t.len; ++p)
                if (m.flags[t.at(p)]) sink(p, p + 1);
            return;
        }
        for (Pos p = 0; p < t.len; ++p) {
            if (!m.flags[t.at(p)]) continue;
            CharSpan c = char_text_span(t, p);
            if (c.end > c.start) sink(c.start, c.end);
        }
    }
};

}  // namespace

// ---------------------------------------------------------------------------
// Literal

struct LiteralObject : ElementObject {
    SharedText message;  // "Expected '{}'", raised by parse_string
    PyObject* cached_text;
};

struct LiteralClass {
    using Object = LiteralObject;
    static constexpr char kName[] = "Literal";
    static constexpr ClassId kId = ClassId::Literal;
    static constexpr const char* kSignature = "(s)";
    static constexpr ArgumentDescriptor kNew = text_param(kName);
    static constexpr MethodDocs kDocs{
        .parse_string = "Returns the list directly with the cached string, without allocating any intermediate text",
        .matches = "Zero-allocation match check",
        .search_string = "Search string \u2014 cycle-aware count + PySequence_Repeat for optimal list creation",
        .search_string_count = "Count occurrences \u2014 cycle detection fast path + SIMD memchr fallback",
        .transform_string =
            "Replace all non-overlapping matches with replacement string.\nUses SIMD-accelerated memchr::memmem for "
            "literal search.",
        .parse_batch = "Full raw FFI batch parse \u2014 uniform detection + bulk INCREF, last-ptr fallback",
        .parse_batch_count = "Full raw FFI count \u2014 uniform detection + last-ptr fallback",
    };
    static const ElementVTable* vtable() { return literal_vtable(); }

    static const LiteralElement& rec(const Object* o) { return record_of<LiteralElement>(o); }

    static PyObject* construct(PyTypeObject* type, PyObject** slots) {
        Text s;
        if (!convert_text_arg(slots[0], "s", s)) return nullptr;
        Rc<LiteralElement> r = build_literal(s.view());
        OwnedRef cached = OwnedRef::steal(fresh_str(s));
        PyObject* obj = allocate_instance(type);
        if (!obj) return nullptr;
        auto* o = reinterpret_cast<Object*>(obj);
        new (&o->message) SharedText(r->message);
        o->cached_text = cached.release();
        o->element = r.release();
        return obj;
    }
    static void release_payload(Object* o) {
        o->message.~SharedText();
        Py_CLEAR(o->cached_text);
    }

    // The starts-with test at 0, without the interface table.
    static bool starts_with(const LiteralElement& r, Text t) { return literal_try_match_at(r, t, 0).matched; }

    static PyObject* parse_string(Object* o, Text s) {
        if (!starts_with(rec(o), s)) return raise_value_error(o->message.view());
        return list_of_one(o->cached_text);
    }
    static PyObject* matches(Object* o, Text s) { return bool_result(starts_with(rec(o), s)); }

    static PyObject* search_string(Object* o, Text s) {
        const LiteralElement& r = rec(o);
        // Zero-width matches are never listed.
        if (r.text.size() == 0) return new_list(0);
        return repeated_token_list(o->cached_text, count_literal_occurrences(s, Text(r.text.view())));
    }
    static PyObject* search_string_count(Object* o, Text s) {
        return count_result(count_literal_occurrences(s, Text(rec(o).text.view())));
    }

    static PyObject* transform_string(Object* o, Text s, Text replacement) {
        const LiteralElement& r = rec(o);
        Pos n = r.text.size();
        if (n == 0) return new_str(s.data, s.len);
        // The count sizes the result; the searcher's second pass writes it.
        LiteralSpans spans{s, Text(r.text.view())};
        return build_replaced(s, replacement, spans);
    }

    static PyObject* parse_batch(Object* o, PyObject* inputs) {
        const LiteralElement& r = rec(o);
        return shared_lists_batch(inputs, o->cached_text, [&](Text t) { return starts_with(r, t); });
    }
    static PyObject* parse_batch_count(Object* o, PyObject* inputs) {
        const LiteralElement& r = rec(o);
        return count_or_error(consecutive_count(inputs, [&](Text t) { return starts_with(r, t); }));
    }
};

// ---------------------------------------------------------------------------
// Keyword

struct KeywordObject : ElementObject {
    PyObject* cached_text;
};

struct KeywordClass {
    using Object = KeywordObject;
    static constexpr char kName[] = "Keyword";
    static constexpr ClassId kId = ClassId::Keyword;
    static constexpr const char* kSignature = "(s)";
    static constexpr ArgumentDescriptor kNew = text_param(kName);
    static constexpr MethodDocs kDocs{
        .parse_string = "Fast keyword parse \u2014 uses try_match_at + cached PyString, zero allocation",
        .search_string = "Search string \u2014 count + PySequence_Repeat (same pattern as Literal)",
        .parse_batch = "Specialized parse_batch \u2014 cached PyString + last-pointer cache",
    };
    static const ElementVTable* vtable() { return keyword_vtable(); }

    static const KeywordElement& rec(const Object* o) { return record_of<KeywordElement>(o); }

    static PyObject* construct(PyTypeObject* type, PyObject** slots) {
        Text s;
        if (!convert_text_arg(slots[0], "s", s)) return nullptr;
        Rc<KeywordElement> r = build_keyword(s.view());
        OwnedRef cached = OwnedRef::steal(fresh_str(s));
        PyObject* obj = allocate_instance(type);
        if (!obj) return nullptr;
        auto* o = reinterpret_cast<Object*>(obj);
        o->cached_text = cached.release();
        o->element = r.release();
        return obj;
    }
    static void release_payload(Object* o) { Py_CLEAR(o->cached_text); }

    static bool test_at_start(const KeywordElement& r, Text t) { return keyword_try_match_at(r, t, 0).matched; }

    static PyObject* parse_string(Object* o, Text s) {
        if (!test_at_start(rec(o), s)) return raise_value_error(msg::kExpectedKeyword);
        return list_of_one(o->cached_text);
    }
    static PyObject* matches(Object* o, Text s) { return bool_result(test_at_start(rec(o), s)); }

    static PyObject* search_string(Object* o, Text s) {
        const KeywordElement& r = rec(o);
        if (r.match_len == 0) return new_list(0);  // zero-width matches are never listed
        return repeated_token_list(o->cached_text, count_keyword_occurrences(r, s));
    }
    static PyObject* search_string_count(Object* o, Text s) { return count_result(count_keyword_occurrences(rec(o), s)); }

    static PyObject* transform_string(Object* o, Text s, Text replacement) {
        const KeywordElement& r = rec(o);
        // The matches the general scan would find, found by the searcher.
        if (r.match_len == 0) return new_str(s.data, s.len);  // zero-width matches are never replaced
        KeywordSpans spans{r, s};
        return build_replaced(s, replacement, spans);
    }

    static PyObject* parse_batch(Object* o, PyObject* inputs) {
        const KeywordElement& r = rec(o);
        return shared_lists_batch(inputs, o->cached_text, [&](Text t) { return test_at_start(r, t); });
    }

    // No period shortcut here: one object throughout, else the object cache.
    static PyObject* parse_batch_count(Object* o, PyObject* inputs) {
        const KeywordElement& r = rec(o);
        Py_ssize_t n = PyList_GET_SIZE(inputs);
        if (n == 0) return count_result(0);
        PyObject* const* items = reinterpret_cast<PyListObject*>(inputs)->ob_item;
        auto eval = [&](PyObject* item) -> int {
            Text t;
            if (!read_terminal_item_text(item, t)) return -1;
            return test_at_start(r, t) ? 1 : 0;
        };
        if (!kPlainPaths && all_same_object(items, n)) {
            int m = eval(items[0]);
            return m < 0 ? nullptr : count_result(m ? static_cast<uint64_t>(n) : 0);
        }
        InputMatchCache cache;
        uint64_t count = 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            int slot = -1;
            uint8_t state = kPlainPaths ? 0 : cache.lookup(items[i], slot);
            if (state == 0) {
                int m = eval(items[i]);
                if (m < 0) return nullptr;
                if (!kPlainPaths) cache.store(slot, items[i], m == 1);
                state = m == 1 ? 1 : 2;
            }
            count += state == 1;
        }
        return count_result(count);
    }
};

// ---------------------------------------------------------------------------
// CaselessLiteral, CaselessKeyword, Char: the general forms.

template <class R, Rc<R> (*Build)(std::string_view)>
PyObject* construct_from_text(PyTypeObject* type, PyObject** slots) {
    Text s;
    if (!convert_text_arg(slots[0], "s", s)) return nullptr;
    return wrap_record(type, Build(s.view()));
}

struct CaselessLiteralClass : GeneralForms<CaselessLiteralElement, caseless_literal_parse_at,
                                           caseless_literal_try_match_at, caseless_literal_parse_from_start> {
    using Object = ElementObject;
    static constexpr char kName[] = "CaselessLiteral";
    static constexpr ClassId kId = ClassId::CaselessLiteral;
    static constexpr const char* kSignature = "(s)";
    static constexpr ArgumentDescriptor kNew = text_param(kName);
    static PyObject* construct(PyTypeObject* t, PyObject** s) {
        return construct_from_text<CaselessLiteralElement, build_caseless_literal>(t, s);
    }
};

struct CaselessKeywordClass : GeneralForms<CaselessKeywordElement, caseless_keyword_parse_at,
                                           caseless_keyword_try_match_at, caseless_keyword_parse_from_start> {
    using Object = ElementObject;
    static constexpr char kName[] = "CaselessKeyword";
    static constexpr ClassId kId = ClassId::CaselessKeyword;
    static constexpr const char* kSignature = "(s)";
    static constexpr ArgumentDescriptor kNew = text_param(kName);
    static PyObject* construct(PyTypeObject* t, PyObject** s) {
        return construct_from_text<CaselessKeywordElement, build_caseless_keyword>(t, s);
    }
};

struct CharClass : GeneralForms<CharElement, char_parse_at, char_try_match_at, char_parse_from_start> {
    using Object = ElementObject;
    static constexpr char kName[] = "Char";
    static constexpr ClassId kId = ClassId::Char;
    static constexpr const char* kSignature = "(s)";
    static constexpr ArgumentDescriptor kNew = text_param(kName);
    static PyObject* construct(PyTypeObject* t, PyObject** s) {
        return construct_from_text<CharElement, build_char>(t, s);
    }

    static bool has_non_ascii_member(const CharElement& r) {
        for (int b = 0x80; b < 0x100; ++b)
            if (r.members.flags[b]) return true;
        return false;
    }

    static PyObject* search_string(Object* o, Text s) {
        const CharElement& r = rec(o);
        if (!has_non_ascii_member(r))
            return run_search_string(s, [&](Text t, Pos p) { return char_try_match_at(r, t, p); });
        std::vector<Span> spans;
        CharSpans{r, s, false}.for_each([&](Pos a, Pos e) { spans.push_back({a, e}); });
        return spans_to_list(s, spans);
    }
    static PyObject* transform_string(Object* o, Text s, Text replacement) {
        // The table test is cheap to run again, so the spans are not kept.
        CharSpans spans{rec(o), s, !has_non_ascii_member(rec(o))};
        return build_replaced(s, replacement, spans);
    }
    // Every match is one byte long, so the counting scan tries every byte.
    static PyObject* search_string_count(Object* o, Text s) {
        const CharElement& r = rec(o);
        uint64_t count = 0;
        for (Pos i = 0; i < s.len; ++i) count += r.members.flags[s.at(i)];
        return count_result(count);
    }
};

}  // namespace qgx

QGX_REGISTER_CLASS(LiteralClass, kLiteralClass)
QGX_REGISTER_CLASS(KeywordClass, kKeywordClass)
QGX_REGISTER_CLASS(CaselessLiteralClass, kCaselessLiteralClass)
QGX_REGISTER_CLASS(CaselessKeywordClass, kCaselessKeywordClass)
QGX_REGISTER_CLASS(CharClass, kCharClass)
