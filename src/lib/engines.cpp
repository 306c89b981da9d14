#include "lib/engines.hpp"

#include "lib/text_map.hpp"

#include <string>

namespace qgx {

PyObject* texts_to_list(const SharedText* tokens, uint32_t n) {
    // Tokens may be views of the input or of records. The strs are made
    // before the list: making a list can run the collector, whose callbacks
    // may run any Python code, while making a str from whole characters runs
    // none.
    PendingRefs strs;
    strs.reserve(n);
    for (uint32_t i = 0; i < n; ++i) strs.push(new_str(tokens[i].data(), tokens[i].size()));
    return strs.into_list();
}

PyObject* sink_to_list(const TokenSink& sink, bool hidden) {
    // The list is made first, hidden, and filled with no code run between:
    // making a str from whole characters runs none, so no collection sees the
    // list half made, and no array of the strs is needed beside it.
    const uint32_t n = sink.size();
    HiddenListFill list(n);
    for (uint32_t i = 0; i < n; ++i) list.put(new_str(sink.bytes(i), sink.length(i)));
    PyObject* out = list.release();
    if (!hidden) PyObject_GC_Track(out);
    return out;
}

PyObject* tokens_to_list(const TokenList& tokens) { return texts_to_list(tokens.begin(), tokens.size()); }

PyObject* raise_parse_failure(const ParseFailure& f) {
    if (depth_exceeded()) {
        if (depth_stack_short())
            PyErr_Format(PyExc_ValueError, msg::kStackLimit, static_cast<unsigned>(f.position));
        else
            PyErr_Format(PyExc_ValueError, msg::kRecursionLimit, static_cast<unsigned>(f.position),
                         static_cast<unsigned>(kMaxMatchDepth));
        return nullptr;
    }
    // %s would stop at a NUL byte inside a stored message; build the text whole.
    OwnedRef m = OwnedRef::steal(PyUnicode_FromStringAndSize(f.message.data(), f.message.size()));
    if (!m) return nullptr;
    OwnedRef text = OwnedRef::steal(PyUnicode_FromFormat("ParseException at position %u: %U",
                                                         static_cast<unsigned>(f.position), m.get()));
    if (text) PyErr_SetObject(PyExc_ValueError, text.get());
    return nullptr;
}

PyObject* spans_to_list(Text t, const std::vector<Span>& spans, size_t distinct_hint) {
    // Held, so that an allocation failure of the interner leaves nothing behind.
    OwnedRef list = OwnedRef::steal(new_sized_list(spans.size()));
    if (!list || spans.empty()) return list.release();
    TextInterner made(spans.size() < distinct_hint ? spans.size() : distinct_hint);
    Py_ssize_t filled = 0;
    auto put = [&](PyObject* str) { PyList_SET_ITEM(list.get(), filled++, str); };
    InternQueue queue(made, put);
    for (const Span& s : spans) queue.push(t.data + s.start, s.end - s.start);
    queue.finish();
    return list.release();
}

PyObject* repeat_block(PyObject* block, Py_ssize_t n) {
    Py_ssize_t k = PyList_GET_SIZE(block);
    if (k == n) return block;
    PyObject* r = PySequence_Repeat(block, n / k);
    Py_DECREF(block);
    return r ? r : ensure_error();
}

bool all_same_object(PyObject* const* items, Py_ssize_t n) {
    PyObject* first = items[0];
    for (Py_ssize_t i = 1; i < n; ++i)
        if (items[i] != first) return false;
    return true;
}

Py_ssize_t find_identity_period(PyObject* const* items, Py_ssize_t n) {
    Py_ssize_t limit = n < 128 ? n : 128;
    Py_ssize_t k = 0;
    for (Py_ssize_t i = 1; i < limit; ++i) {
        if (items[i] == items[0]) {
            k = i;
            break;
        }
    }
    if (k == 0 || n % k != 0 || n / k < 2) return 0;
    for (Py_ssize_t j = k; j < n; ++j)
        if (items[j] != items[j % k]) return 0;
    return k;
}

// Each test holds one level for the wrapper whose count this is (its
// try_match_at is the child's at one level more), so the count agrees with
// the wrapper's matches at the nesting bound too.
PyObject* count_batch_matches_shared(const SharedElement& e, PyObject* inputs) {
    return count_batch_matches<true>(inputs, [&](Text t, Pos p) {
        MatchDepth depth;
        if (!depth.ok()) return TryMatchOutcome::no();
        return e.try_match_at(t, p);
    });
}

}  // namespace qgx
