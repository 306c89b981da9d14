// The operators `+` and `|` of every class, and one_of.
//
// Only an And is spliced into an And and only a MatchFirst into a MatchFirst,
// so chains built with `+` or `|` stay one level deep. An And on the left of
// `|` (as in `a + b | c`, grouped `(a + b) | c`) takes the generic `|`: it
// enters the new MatchFirst as one alternative, which is what the expression
// reads as.
#include "classes/combinators/operators.hpp"

#include "classes/combinators/support.hpp"

namespace qgx {

namespace {

PyTypeObject* type_of_class(ClassId id) {
    PyTypeObject* t = class_type_if_made(id);
    return t ? t : get_class_type_object(id);
}

bool is_instance_of(PyObject* o, ClassId id) {
    PyTypeObject* t = class_type_if_made(id);
    return t && (Py_TYPE(o) == t || PyType_IsSubtype(Py_TYPE(o), t));
}

const std::vector<SharedElement>& members_of(PyObject* o, ClassId id) {
    const ElementObject* e = reinterpret_cast<const ElementObject*>(o);
    if (id == ClassId::And) return record_of<AndElement>(e).exprs;
    return record_of<MatchFirstElement>(e).exprs;
}

// Appends `right` to `list`: its members when it is of class `splice`, else
// its handle. False (nothing set) when it is no element.
bool append_operand(std::vector<SharedElement>& list, PyObject* right, ClassId splice) {
    if (is_instance_of(right, splice)) {
        const std::vector<SharedElement>& m = members_of(right, splice);
        list.insert(list.end(), m.begin(), m.end());
        return true;
    }
    ToElementOutcome c = to_element(right);
    if (!c.ok) return false;
    list.push_back(std::move(c.element));
    return true;
}

PyObject* build(ClassId id, std::vector<SharedElement> list) {
    PyTypeObject* type = type_of_class(id);
    if (!type) return ensure_error();
    if (id == ClassId::And) return wrap_record(type, Rc<AndElement>::make(std::move(list)));
    return wrap_record(type, Rc<MatchFirstElement>::make(std::move(list)));
}

PyObject* join(SharedElement left, PyObject* right, ClassId id, const char* error) {
    std::vector<SharedElement> list;
    list.push_back(std::move(left));
    if (!append_operand(list, right, id)) {
        PyErr_SetString(PyExc_ValueError, error);
        return nullptr;  // the list releases every handle
    }
    return build(id, std::move(list));
}

// The own `+` of And and `|` of MatchFirst: the left operand's members first.
PyObject* join_spliced(PyObject* left, PyObject* right, ClassId id, const char* error) {
    if (Py_TYPE(left) != class_type_if_made(id)) Py_RETURN_NOTIMPLEMENTED;
    std::vector<SharedElement> list = members_of(left, id);
    if (!append_operand(list, right, id)) {
        PyErr_SetString(PyExc_ValueError, error);
        return nullptr;
    }
    return build(id, std::move(list));
}

}  // namespace

PyObject* join_and(SharedElement left, PyObject* right) {
    return join(std::move(left), right, ClassId::And, msg::kUnsupportedPlus);
}

PyObject* join_or(SharedElement left, PyObject* right) {
    return join(std::move(left), right, ClassId::MatchFirst, msg::kUnsupportedOr);
}

PyObject* and_add(PyObject* left, PyObject* right) {
    return join_spliced(left, right, ClassId::And, msg::kUnsupportedPlus);
}

PyObject* match_first_or(PyObject* left, PyObject* right) {
    return join_spliced(left, right, ClassId::MatchFirst, msg::kUnsupportedOr);
}

}  // namespace qgx
