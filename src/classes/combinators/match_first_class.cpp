// The MatchFirst class: ordered alternatives, the first that matches wins.
#include "classes/combinators/operators.hpp"
#include "classes/combinators/support.hpp"

namespace qgx {

namespace {

// The next position from `p` (below the text's length) whose byte can begin
// some alternative; t.len when none is left.
inline Pos next_candidate(const AlternativeDispatch& d, Text t, Pos p) {
    while (p < t.len && !d.may_start.has(t.at(p))) ++p;
    return p;
}

// The scan of search_string and transform_string (as scan_spans) passing over
// the bytes at which no alternative can begin, where every try would fail.
void dispatch_scan_spans(const MatchFirstElement& r, const AlternativeDispatch& d, Text t, std::vector<Span>& spans) {
    scan_spans(
        t, [&r](Text tt, Pos p) { return match_first_try(r, tt, p); }, spans,
        [&d](Text tt, Pos p) { return next_candidate(d, tt, p); });
}

// The counting scan (as counting_scan), passing over the same bytes.
uint64_t dispatch_counting_scan(const MatchFirstElement& r, const AlternativeDispatch& d, Text t) {
    uint64_t count = 0;
    Pos p = next_candidate(d, t, 0);
    while (p < t.len) {
        TryMatchOutcome m = match_first_try(r, t, p);
        if (m.matched) {
            ++count;
            p = m.end > p + 1 ? m.end : p + 1;
        } else {
            ++p;
        }
        p = next_candidate(d, t, p);
    }
    return count;
}

}  // namespace

struct MatchFirstClass : GeneralForms<MatchFirstElement, match_first_parse_at, match_first_try_match_at,
                                      match_first_parse_from_start> {
    using Object = ElementObject;
    static constexpr char kName[] = "MatchFirst";
    static constexpr ClassId kId = ClassId::MatchFirst;
    static constexpr const char* kSignature = "(exprs)";
    static constexpr ArgumentDescriptor kNew{kName, "__new__", {"exprs"}, 1, 1};
    static const ElementVTable* vtable() { return match_first_vtable(); }
    static void release_payload(Object* o) { release_combinator_record(o); }
    static PyObject* nb_or(PyObject* l, PyObject* r) { return match_first_or(l, r); }

    static PyObject* construct(PyTypeObject* type, PyObject** slots) {
        PyObject* exprs = slots[0];
        if (!convert_list_arg(exprs, "exprs")) return nullptr;
        std::vector<SharedElement> members;
        Py_ssize_t n = PyList_GET_SIZE(exprs);
        members.reserve(static_cast<size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            OwnedRef item = OwnedRef::borrow(PyList_GET_ITEM(exprs, i));
            ToElementOutcome c = to_element(item.get());
            if (!c.ok) {
                PyErr_Format(PyExc_ValueError, msg::kUnsupportedExpressionAt, i);
                return nullptr;
            }
            members.push_back(std::move(c.element));
        }
        return wrap_record(type, Rc<MatchFirstElement>::make(std::move(members)));
    }

    // The first alternative whose parse_at at 0 succeeds gives the tokens;
    // with none, "No match found" without position.
    static PyObject* parse_string(Object* o, Text s) {
        reset_depth_exceeded();
        for (const SharedElement& a : rec(o).exprs) {
            ParseOutcome out = a.parse_at(s, 0);
            if (out.ok) return tokens_to_list(out.tokens);
            if (depth_exceeded()) break;
        }
        return raise_plain_failure(msg::kNoMatchFound);
    }

    // The alternatives over the member list in place, no call of the kind.
    static PyObject* matches(Object* o, Text s) { return bool_result(match_first_try(rec(o), s, 0).matched); }
    static PyObject* search_string_count(Object* o, Text s) {
        const MatchFirstElement& r = rec(o);
        if (const AlternativeDispatch* d = r.dispatch()) return count_result(dispatch_counting_scan(r, *d, s));
        return count_result(counting_scan(s, [&](Text t, Pos p) { return match_first_try(r, t, p); }));
    }

    // With a first-byte table, the scans go from one byte that can begin an
    // alternative to the next; the spans are those of the general scan.
    static PyObject* search_string(Object* o, Text s) {
        const MatchFirstElement& r = rec(o);
        const AlternativeDispatch* d = r.dispatch();
        if (!d) return GeneralForms::search_string(o, s);
        std::vector<Span> spans;
        dispatch_scan_spans(r, *d, s, spans);
        return spans_to_list(s, spans);
    }
    static PyObject* transform_string(Object* o, Text s, Text replacement) {
        const MatchFirstElement& r = rec(o);
        const AlternativeDispatch* d = r.dispatch();
        if (!d) return GeneralForms::transform_string(o, s, replacement);
        std::vector<Span> spans;
        dispatch_scan_spans(r, *d, s, spans);
        return replace_spans(s, spans, replacement);
    }
};

}  // namespace qgx

QGX_REGISTER_CLASS(MatchFirstClass, kMatchFirstClass)
