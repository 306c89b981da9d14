// The Regex class: every operation uses the record's two compiled patterns
// directly (the anchored one at the start of a text, the unanchored one for
// the iteration over a whole text).
#include <cstring>
#include <new>
#include <vector>

#include "classes/terminal/chars_support.hpp"
#include "elements/chars.hpp"
#include "messages.hpp"
#include "python/batch_inputs.hpp"

namespace qgx {

namespace {

// The end of the match at the start of `t`, or -1.
int64_t match_end_at_start(const RegexElement& r, Text t) {
    TryMatchOutcome m = regex_try_match_at(r, t, 0);
    return m.matched ? int64_t{m.end} : -1;
}

bool matches_at_start(const RegexElement& r, Text t) {
    if (r.fast_path != RegexFastPath::FullRegex) return regex_try_match_at(r, t, 0).matched;
    if (r.shape) {
        // Whether a match begins is known once the run's least length is read.
        int64_t e = regex_shape_end<false>(*r.shape, t, 0);
        if (e != kShapeAskEngine) return e >= 0;
    } else if (r.dfa) {
        int64_t n = dfa_match_length(*r.dfa, reinterpret_cast<const unsigned char*>(t.data), t.len);
        if (n != kDfaAskEngine) return n >= 0;
    }
    return r.anchored_regex->matches_at_start(t);
}

// A one-class pattern of ASCII members matches each member byte on its own,
// so its iteration is the member bytes in text order.
bool iterates_bytes(const RegexElement& r) {
    return !kPlainPaths && r.fast_path == RegexFastPath::ByteClass && r.exact_class;
}

// The one ASCII byte that alone can begin a match of `a`, or -1.
int only_start_byte(const RegexShape::Atom& a) {
    if (a.wide != WideMembers::None) return -1;
    int found = -1;
    for (int b = 0; b < 128; ++b) {
        if (!a.ascii.has(static_cast<unsigned char>(b))) continue;
        if (found >= 0) return -1;
        found = b;
    }
    return found;
}

// The iteration of a shaped pattern, read from the bytes. Its matches are
// never empty and it holds no assertion, so the next match is the first
// start at which the shape reads one, and the iteration goes on at its end.
// Where a character above U+007F that an atom may or may not take decides a
// start, the engine finds the next match from that start and the byte
// reading goes on after it: every start passed over was decided exactly, so
// each search finds what the engine's own iteration would.
template <class F>
void for_each_shape_match(const RegexElement& r, Text t, F&& f) {
    const RegexShape& s = *r.shape;
    const RegexShape::Atom& first = s.head_len > 0 ? s.head[0] : s.run;
    const int only = only_start_byte(first);
    Pos i = 0;
    WorkTicks ticks;
    while (i < t.len) {
        if (only >= 0) {
            const void* hit = std::memchr(t.data + i, only, t.len - i);
            if (!hit) return;
            i = static_cast<Pos>(static_cast<const char*>(hit) - t.data);
        } else {
            // A start is a byte the atom takes, or the first byte (0xC0 and
            // up) of a character it may take. The bytes before the next one
            // are passed over in a loop of their own, which keeps its
            // position in a register.
            const bool wide_some = first.wide == WideMembers::Some;
            Pos j = i;
            while (j < t.len) {
                const unsigned char b = t.at(j);
                if (first.bytes.has(b) || (b >= 0xC0 && wide_some)) break;
                ++j;
            }
            if (j >= t.len) return;
            i = j;
        }
        // A start's test may read far ahead: each is a step of a long loop.
        if (ticks.step()) [[unlikely]]
            return;  // interrupted: the entry drops what was found
        int64_t e = regex_shape_end(s, t, i);
        if (e == kShapeNoMatch) {
            ++i;
            continue;
        }
        if (e >= 0) {
            f(i, static_cast<Pos>(e));
            i = static_cast<Pos>(e);
            continue;
        }
        RegexFound m = r.unanchored_regex->find_from(t, i);
        if (!m.found) return;
        if (m.end <= m.start || !on_boundary(t, m.start) || !on_boundary(t, m.end)) {
            // Not the kind of match this reading assumes: the engine's own
            // iteration carries on from here.
            r.unanchored_regex->for_each_match(t, f, i);
            return;
        }
        f(m.start, m.end);
        i = m.end;
    }
}

template <class F>
void for_each_match(const RegexElement& r, Text t, F&& f) {
    if (iterates_bytes(r)) {
        for (Pos i = 0; i < t.len; ++i)
            if (r.fast_set.has(t.at(i))) f(i, i + 1);
        return;
    }
    if (r.shape) return for_each_shape_match(r, t, f);
    r.unanchored_regex->for_each_match(t, f);
}

uint64_t count_matches(const RegexElement& r, Text t) {
    if (iterates_bytes(r)) {
        uint64_t n = 0;
        for (Pos i = 0; i < t.len; ++i) n += r.fast_set.has(t.at(i));
        return n;
    }
    uint64_t n = 0;
    for_each_match(r, t, [&](Pos, Pos) { ++n; });
    return n;
}

// The strs of an iteration as they are found, in storage that becomes the
// result list's own: it doubles through PyMem_Realloc, which moves a large
// block without copying it, and no second array is filled at the end.
class GatheredStrs {
  public:
    GatheredStrs() = default;
    GatheredStrs(const GatheredStrs&) = delete;
    GatheredStrs& operator=(const GatheredStrs&) = delete;
    ~GatheredStrs() {
        for (size_t i = 0; i < n_; ++i) Py_DECREF(items_[i]);
        PyMem_Free(items_);
    }

    // Takes over the reference; on failure it is released and bad_alloc thrown.
    void push(PyObject* str) {
        if (n_ == cap_) {
            size_t cap = cap_ ? cap_ * 2 : 64;
            void* p = cap <= static_cast<size_t>(PY_SSIZE_T_MAX) / sizeof(PyObject*)
                          ? PyMem_Realloc(items_, cap * sizeof(PyObject*))
                          : nullptr;
            if (!p) {
                Py_DECREF(str);
                throw std::bad_alloc();
            }
            items_ = static_cast<PyObject**>(p);
            cap_ = cap;
        }
        items_[n_++] = str;
    }

    PyObject* into_list() {
        if (n_ == 0) return new_list(0);
        PyObject* list = list_from_buffer(items_, static_cast<Py_ssize_t>(n_));
        items_ = nullptr;
        n_ = cap_ = 0;
        return list;
    }

  private:
    PyObject** items_ = nullptr;
    size_t n_ = 0, cap_ = 0;
};

// The iteration's texts as one list, equal texts sharing one str. One pass
// of the engine: the strings are gathered as they are found, in the list's
// own storage (the list cannot be sized from a separate count without a
// second pass, and a second pass could only disagree with the first).
PyObject* match_texts(const RegexElement& r, Text s) {
    GatheredStrs found;
    try {
        TextInterner made;
        auto keep = [&](PyObject* str) { found.push(str); };
        InternQueue queue(made, keep);
        for_each_match(r, s, [&](Pos a, Pos e) { queue.push(s.data + a, e - a); });
        queue.finish();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    return found.into_list();
}

}  // namespace

struct RegexClass {
    using Object = ElementObject;
    static constexpr char kName[] = "Regex";
    static constexpr ClassId kId = ClassId::Regex;
    static constexpr const char* kSignature = "(pattern)";
    static constexpr ArgumentDescriptor kNew{kName, "__new__", {"pattern"}, 1, 1};
    static constexpr MethodDocs kDocs{
        "Fast-path pattern parse — returns the list directly, without allocating an intermediate text",
        "Zero-allocation match check",
        "Search string — counts the matches first, then fills the list directly,\n"
        "sharing equal texts, with no intermediate vector",
        "Count the pattern's matches with the pattern engine's match iteration",
        "Replace-all through the pattern engine: every match replaced, the replacement inserted literally",
        "Cyclic detection + hash-based cache fallback + bulk INCREF",
        "Count regex matches in batch — uniform + cycle + hash cache",
    };

    static const ElementVTable* vtable() { return regex_vtable(); }
    static const RegexElement& rec(const Object* o) { return record_of<RegexElement>(o); }

    static PyObject* construct(PyTypeObject* type, PyObject** slots) {
        Text pattern;
        if (!convert_text_arg(slots[0], "pattern", pattern)) return nullptr;
        RegexBuildOutcome b = make_regex_element(pattern);
        if (!b.element) {
            OwnedRef text = OwnedRef::steal(
                PyUnicode_DecodeUTF8(b.error.data(), static_cast<Py_ssize_t>(b.error.size()), "replace"));
            if (text) PyErr_SetObject(PyExc_ValueError, text.get());
            return nullptr;
        }
        return wrap_record(type, std::move(b.element));
    }

    static PyObject* parse_string(Object* o, Text s) {
        int64_t end = match_end_at_start(rec(o), s);
        if (end < 0) {
            PyErr_SetString(PyExc_ValueError, msg::kExpectedRegexMatch);
            return nullptr;
        }
        OwnedRef text = OwnedRef::steal(new_str(s.data, static_cast<Pos>(end)));
        PyObject* list = new_list(1);
        PyList_SET_ITEM(list, 0, text.release());
        return list;
    }

    static PyObject* matches(Object* o, Text s) { return bool_result(matches_at_start(rec(o), s)); }

    static PyObject* search_string(Object* o, Text s) {
        return match_texts(rec(o), s);
    }

    static PyObject* search_string_count(Object* o, Text s) { return count_result(count_matches(rec(o), s)); }

    static PyObject* transform_string(Object* o, Text s, Text replacement) {
        const RegexElement& r = rec(o);
        // Every match the iteration finds is replaced, empty ones too (which
        // the compact store does not take), then the result is written once.
        std::vector<Span> spans;
        try {
            for_each_match(r, s, [&](Pos a, Pos e) { spans.push_back({a, e}); });
        } catch (const std::bad_alloc&) {
            return PyErr_NoMemory();
        }
        return replace_spans(s, spans, replacement);
    }

    static PyObject* parse_batch(Object* o, PyObject* inputs) {
        const RegexElement& r = rec(o);
        return flat_parse_batch(inputs, [&](PyObject* item, PyObject*& out) -> int {
            Text t;
            if (!read_terminal_item_text(item, t)) return -1;
            int64_t end = match_end_at_start(r, t);
            if (end < 0) return 0;
            if (end == t.len) {
                Py_INCREF(item);
                out = item;
            } else {
                out = new_str(t.data, static_cast<Pos>(end));
            }
            return 1;
        });
    }

    static PyObject* parse_batch_count(Object* o, PyObject* inputs) {
        const RegexElement& r = rec(o);
        int64_t c = count_batch<false>(inputs, [&](Text t) { return matches_at_start(r, t); });
        return c < 0 ? nullptr : count_result(static_cast<uint64_t>(c));
    }
};

}  // namespace qgx

QGX_REGISTER_CLASS(RegexClass, kRegexClass)
