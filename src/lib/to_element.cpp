#include "lib/to_element.hpp"

#include "elements/structure.hpp"
#include "messages.hpp"
#include "python/class_frame.hpp"

namespace qgx {

namespace {
// The order in which classes are tested (not the registration order).
constexpr ClassId kTestOrder[kClassCount] = {
    ClassId::Literal,      ClassId::Word,        ClassId::Regex,           ClassId::And,
    ClassId::MatchFirst,   ClassId::Group,       ClassId::Suppress,        ClassId::ZeroOrMore,
    ClassId::OneOrMore,    ClassId::Optional,    ClassId::Keyword,         ClassId::Forward,
    ClassId::Combine,      ClassId::Exactly,     ClassId::CaselessLiteral, ClassId::CaselessKeyword,
    ClassId::Char,         ClassId::StringStart, ClassId::StringEnd,       ClassId::LineStart,
    ClassId::LineEnd,      ClassId::RestOfLine,  ClassId::QuotedString,    ClassId::Empty,
    ClassId::NoMatch,      ClassId::SkipTo,
};
}  // namespace

ToElementOutcome to_element(PyObject* obj) {
    ToElementOutcome out;
    PyTypeObject* t = Py_TYPE(obj);
    for (ClassId id : kTestOrder) {
        PyTypeObject* type = class_type_if_made(id);
        if (!type || (t != type && !PyType_IsSubtype(t, type))) continue;
        SharedElement e(reinterpret_cast<ElementObject*>(obj)->element, class_def(id)->vtable());
        // Embedded, the record may be matched from now on.
        seal_record(e);
        out.ok = true;
        out.element = std::move(e);
        return out;
    }
    return out;
}

void raise_conversion_error() { PyErr_SetString(PyExc_ValueError, msg::kUnsupportedElement); }

}  // namespace qgx
