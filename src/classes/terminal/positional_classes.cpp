// The constant, line and string-boundary classes: Empty, NoMatch, LineStart,
// LineEnd, StringStart, StringEnd and rest_of_line. Where the outcome is fixed
// by the text alone, the operation computes it in closed form; each shortcut
// equals the general form over the kind.
#include "elements/positional.hpp"
#include "lib/engines.hpp"
#include "python/class_frame.hpp"

namespace qgx {

namespace {

uint64_t count_newlines(Text t) {
    uint64_t n = 0;
    const char* p = t.data;
    const char* end = t.data + t.len;
    while (p < end) {
        const void* hit = std::memchr(p, '\n', static_cast<size_t>(end - p));
        if (!hit) break;
        ++n;
        p = static_cast<const char*>(hit) + 1;
    }
    return n;
}

template <class R>
PyObject* construct_fieldless(PyTypeObject* type, PyObject**) {
    return wrap_record(type, Rc<R>::make());
}

constexpr ArgumentDescriptor no_params(const char* cls) { return {cls, "__new__", {}, 0, 0}; }

// parse_batch_count with the kind's test at position 0 done on the text in
// place, under the reuse rules of count_batch.
template <class Test>
PyObject* count_inline(PyObject* inputs, Test&& test) {
    int64_t c = count_batch<false>(inputs, test);
    return c < 0 ? nullptr : count_result(static_cast<uint64_t>(c));
}

}  // namespace

// Each closed form below equals the general form over the kind; the
// plain-paths build runs the general form instead, so that the suite checks
// both against the same expectations.

struct EmptyClass : GeneralForms<EmptyElement, empty_parse_at, empty_try_match_at, empty_parse_from_start> {
    using Base = GeneralForms<EmptyElement, empty_parse_at, empty_try_match_at, empty_parse_from_start>;
    using Object = ElementObject;
    static constexpr char kName[] = "Empty";
    static constexpr ClassId kId = ClassId::Empty;
    static constexpr const char* kSignature = "()";
    static constexpr ArgumentDescriptor kNew = no_params(kName);
    static PyObject* construct(PyTypeObject* t, PyObject** s) { return construct_fieldless<EmptyElement>(t, s); }

    static PyObject* matches(Object* o, Text s) {
        if constexpr (kPlainPaths) return Base::matches(o, s);
        return bool_result(true);
    }
    // Every match has zero width: nothing is listed or replaced.
    static PyObject* search_string(Object* o, Text s) {
        if constexpr (kPlainPaths) return Base::search_string(o, s);
        return new_list(0);
    }
    // One zero-width match at every byte position.
    static PyObject* search_string_count(Object* o, Text s) {
        if constexpr (kPlainPaths) return Base::search_string_count(o, s);
        return count_result(s.len);
    }
    static PyObject* transform_string(Object* o, Text s, Text r) {
        if constexpr (kPlainPaths) return Base::transform_string(o, s, r);
        return new_str(s.data, s.len);
    }
    static PyObject* parse_batch_count(Object* o, PyObject* inputs) {
        if constexpr (kPlainPaths) return Base::parse_batch_count(o, inputs);
        return count_inline(inputs, [](Text) { return true; });
    }
};

struct NoMatchClass : GeneralForms<NoMatchElement, no_match_parse_at, no_match_try_match_at, no_match_parse_from_start> {
    using Base = GeneralForms<NoMatchElement, no_match_parse_at, no_match_try_match_at, no_match_parse_from_start>;
    using Object = ElementObject;
    static constexpr char kName[] = "NoMatch";
    static constexpr ClassId kId = ClassId::NoMatch;
    static constexpr const char* kSignature = "()";
    static constexpr ArgumentDescriptor kNew = no_params(kName);
    static PyObject* construct(PyTypeObject* t, PyObject** s) { return construct_fieldless<NoMatchElement>(t, s); }

    static PyObject* matches(Object* o, Text s) {
        if constexpr (kPlainPaths) return Base::matches(o, s);
        return bool_result(false);
    }
    static PyObject* search_string(Object* o, Text s) {
        if constexpr (kPlainPaths) return Base::search_string(o, s);
        return new_list(0);
    }
    static PyObject* search_string_count(Object* o, Text s) {
        if constexpr (kPlainPaths) return Base::search_string_count(o, s);
        return count_result(0);
    }
    static PyObject* transform_string(Object* o, Text s, Text r) {
        if constexpr (kPlainPaths) return Base::transform_string(o, s, r);
        return new_str(s.data, s.len);
    }
    static PyObject* parse_batch_count(Object* o, PyObject* inputs) {
        if constexpr (kPlainPaths) return Base::parse_batch_count(o, inputs);
        return count_inline(inputs, [](Text) { return false; });
    }
};

struct LineStartClass
    : GeneralForms<LineStartElement, line_start_parse_at, line_start_try_match_at, line_start_parse_from_start> {
    using Base = GeneralForms<LineStartElement, line_start_parse_at, line_start_try_match_at, line_start_parse_from_start>;
    using Object = ElementObject;
    static constexpr char kName[] = "LineStart";
    static constexpr ClassId kId = ClassId::LineStart;
    static constexpr const char* kSignature = "()";
    static constexpr ArgumentDescriptor kNew = no_params(kName);
    static PyObject* construct(PyTypeObject* t, PyObject** s) { return construct_fieldless<LineStartElement>(t, s); }

    static PyObject* matches(Object* o, Text s) {
        if constexpr (kPlainPaths) return Base::matches(o, s);
        return bool_result(true);
    }
    // Position 0 and every position after a newline that is not the last byte.
    static PyObject* search_string_count(Object* o, Text s) {
        if constexpr (kPlainPaths) return Base::search_string_count(o, s);
        if (s.len == 0) return count_result(0);
        return count_result(1 + count_newlines(Text(s.data, s.len - 1)));
    }
    static PyObject* parse_batch_count(Object* o, PyObject* inputs) {
        if constexpr (kPlainPaths) return Base::parse_batch_count(o, inputs);
        return count_inline(inputs, [](Text) { return true; });
    }
};

struct LineEndClass : GeneralForms<LineEndElement, line_end_parse_at, line_end_try_match_at, line_end_parse_from_start> {
    using Base = GeneralForms<LineEndElement, line_end_parse_at, line_end_try_match_at, line_end_parse_from_start>;
    using Object = ElementObject;
    static constexpr char kName[] = "LineEnd";
    static constexpr ClassId kId = ClassId::LineEnd;
    static constexpr const char* kSignature = "()";
    static constexpr ArgumentDescriptor kNew = no_params(kName);
    static PyObject* construct(PyTypeObject* t, PyObject** s) { return construct_fieldless<LineEndElement>(t, s); }

    static bool at_line_end(Text s) { return s.len == 0 || s.at(0) == '\n'; }
    static PyObject* matches(Object* o, Text s) {
        if constexpr (kPlainPaths) return Base::matches(o, s);
        return bool_result(at_line_end(s));
    }
    // The scan never tries the end of the text, so only newlines count.
    static PyObject* search_string_count(Object* o, Text s) {
        if constexpr (kPlainPaths) return Base::search_string_count(o, s);
        return count_result(count_newlines(s));
    }
    static PyObject* parse_batch_count(Object* o, PyObject* inputs) {
        if constexpr (kPlainPaths) return Base::parse_batch_count(o, inputs);
        return count_inline(inputs, [](Text t) { return at_line_end(t); });
    }
};

struct StringStartClass : GeneralForms<StringStartElement, string_start_parse_at, string_start_try_match_at,
                                       string_start_parse_from_start> {
    using Base = GeneralForms<StringStartElement, string_start_parse_at, string_start_try_match_at,
                              string_start_parse_from_start>;
    using Object = ElementObject;
    static constexpr char kName[] = "StringStart";
    static constexpr ClassId kId = ClassId::StringStart;
    static constexpr const char* kSignature = "()";
    static constexpr ArgumentDescriptor kNew = no_params(kName);
    static PyObject* construct(PyTypeObject* t, PyObject** s) { return construct_fieldless<StringStartElement>(t, s); }

    static PyObject* matches(Object* o, Text s) {
        if constexpr (kPlainPaths) return Base::matches(o, s);
        return bool_result(true);
    }
    static PyObject* search_string_count(Object* o, Text s) {
        if constexpr (kPlainPaths) return Base::search_string_count(o, s);
        return count_result(s.len > 0 ? 1 : 0);
    }
    static PyObject* parse_batch_count(Object* o, PyObject* inputs) {
        if constexpr (kPlainPaths) return Base::parse_batch_count(o, inputs);
        return count_inline(inputs, [](Text) { return true; });
    }
};

struct StringEndClass
    : GeneralForms<StringEndElement, string_end_parse_at, string_end_try_match_at, string_end_parse_from_start> {
    using Base = GeneralForms<StringEndElement, string_end_parse_at, string_end_try_match_at, string_end_parse_from_start>;
    using Object = ElementObject;
    static constexpr char kName[] = "StringEnd";
    static constexpr ClassId kId = ClassId::StringEnd;
    static constexpr const char* kSignature = "()";
    static constexpr ArgumentDescriptor kNew = no_params(kName);
    static PyObject* construct(PyTypeObject* t, PyObject** s) { return construct_fieldless<StringEndElement>(t, s); }

    static PyObject* matches(Object* o, Text s) {
        if constexpr (kPlainPaths) return Base::matches(o, s);
        return bool_result(s.len == 0);
    }
    // The scan tries positions below the length only, where the kind never matches.
    static PyObject* search_string_count(Object* o, Text s) {
        if constexpr (kPlainPaths) return Base::search_string_count(o, s);
        return count_result(0);
    }
    static PyObject* parse_batch_count(Object* o, PyObject* inputs) {
        if constexpr (kPlainPaths) return Base::parse_batch_count(o, inputs);
        return count_inline(inputs, [](Text t) { return t.len == 0; });
    }
};

struct RestOfLineClass : GeneralForms<RestOfLineElement, rest_of_line_parse_at, rest_of_line_try_match_at,
                                      rest_of_line_parse_from_start> {
    using Base = GeneralForms<RestOfLineElement, rest_of_line_parse_at, rest_of_line_try_match_at,
                              rest_of_line_parse_from_start>;
    using Object = ElementObject;
    static constexpr char kName[] = "rest_of_line";
    static constexpr ClassId kId = ClassId::RestOfLine;
    static constexpr const char* kSignature = "()";
    static constexpr ArgumentDescriptor kNew = no_params(kName);
    static PyObject* construct(PyTypeObject* type, PyObject**) {
        Rc<RestOfLineElement> rec = Rc<RestOfLineElement>::make();
        rec->message = SharedText::copy(msg::kExpectedRestOfLine);
        return wrap_record(type, std::move(rec));
    }

    static PyObject* matches(Object* o, Text s) {
        if constexpr (kPlainPaths) return Base::matches(o, s);
        return bool_result(true);
    }
    // The scan of search_string and transform_string with the line search
    // inlined: a match starts at 0 and after each newline and runs to the next
    // newline, and only the empty ones are dropped. All these positions are
    // character boundaries, so no span needs trimming.
    static void line_spans(Text s, std::vector<Span>& spans) {
        Pos p = 0;
        while (p < s.len) {
            Pos end = find_newline(s, p);
            if (end > p) spans.push_back(Span{p, end});
            p = end + 1;
        }
    }
    static PyObject* search_string(Object* o, Text s) {
        if constexpr (kPlainPaths) return Base::search_string(o, s);
        std::vector<Span> spans;
        line_spans(s, spans);
        // Lines are mostly distinct: the map is sized for up to 8192 of them.
        return spans_to_list(s, spans, 8192);
    }
    static PyObject* transform_string(Object* o, Text s, Text r) {
        if constexpr (kPlainPaths) return Base::transform_string(o, s, r);
        std::vector<Span> spans;
        line_spans(s, spans);
        return replace_spans(s, spans, r);
    }
    // The counting scan with the line search inlined: it visits only 0,
    // newlines and the positions after them, all character boundaries.
    static PyObject* search_string_count(Object* o, Text s) {
        if constexpr (kPlainPaths) return Base::search_string_count(o, s);
        uint64_t count = 0;
        Pos p = 0;
        while (p < s.len) {
            Pos end = find_newline(s, p);
            ++count;
            p = end > p + 1 ? end : p + 1;
        }
        return count_result(count);
    }
};

}  // namespace qgx

QGX_REGISTER_CLASS(EmptyClass, kEmptyClass)
QGX_REGISTER_CLASS(NoMatchClass, kNoMatchClass)
QGX_REGISTER_CLASS(LineStartClass, kLineStartClass)
QGX_REGISTER_CLASS(LineEndClass, kLineEndClass)
QGX_REGISTER_CLASS(StringStartClass, kStringStartClass)
QGX_REGISTER_CLASS(StringEndClass, kStringEndClass)
QGX_REGISTER_CLASS(RestOfLineClass, kRestOfLineClass)
