// What the combinator classes share: the one-child constructors, the release
// of a record that may sit in a recursive grammar, and the parse failure of
// the forms that report no position.
#pragma once

#include "elements/forward.hpp"
#include "elements/structure.hpp"
#include "lib/engines.hpp"
#include "messages.hpp"
#include "lib/to_element.hpp"
#include "python/class_frame.hpp"

namespace qgx {

// The constructor of a one-child class: `expr` converted with to_element, its
// conversion error raised unchanged.
template <class R>
PyObject* construct_one_child(PyTypeObject* type, PyObject* expr) {
    ToElementOutcome c = to_element(expr);
    if (!c.ok) {
        raise_conversion_error();
        return nullptr;
    }
    return wrap_record(type, Rc<R>::make(std::move(c.element)));
}

// The deallocator's release of a combinator object's record. A record that
// can reach a Forward slot may leave a cycle behind when its last outside
// holder goes, so the release is reported to the cycle collector.
inline void release_combinator_record(ElementObject* o) {
    ElementHeader* h = o->element;
    o->element = nullptr;
    if (!h) return;
    bool may_leave_cycle = static_cast<const CompositeHeader*>(h)->reaches_forward;
    release_element(h);
    if (may_leave_cycle) note_forward_release();
}

// Raises ValueError with `text` (a parse_string form without position), or
// the recursion-limit text when the depth bound was passed in this operation.
inline PyObject* raise_plain_failure(const char* text) {
    if (depth_exceeded() && depth_stack_short())
        PyErr_SetString(PyExc_ValueError, msg::kStackLimitNoPosition);
    else if (depth_exceeded())
        PyErr_Format(PyExc_ValueError, msg::kRecursionLimitNoPosition, static_cast<unsigned>(kMaxMatchDepth));
    else
        PyErr_SetString(PyExc_ValueError, text);
    return nullptr;
}

inline constexpr ArgumentDescriptor expr_params(const char* cls) { return {cls, "__new__", {"expr"}, 1, 1}; }

}  // namespace qgx
