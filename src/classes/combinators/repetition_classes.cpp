// The repetition classes OneOrMore, ZeroOrMore and Exactly: every operation
// is the general form over the class's own kind.
#include "classes/combinators/support.hpp"

namespace qgx {

struct OneOrMoreClass
    : GeneralForms<OneOrMoreElement, one_or_more_parse_at, one_or_more_try_match_at, one_or_more_parse_from_start> {
    using Object = ElementObject;
    static constexpr char kName[] = "OneOrMore";
    static constexpr ClassId kId = ClassId::OneOrMore;
    static constexpr const char* kSignature = "(expr)";
    static constexpr ArgumentDescriptor kNew = expr_params(kName);
    static const ElementVTable* vtable() { return one_or_more_vtable(); }
    static PyObject* construct(PyTypeObject* t, PyObject** s) { return construct_one_child<OneOrMoreElement>(t, s[0]); }
    static void release_payload(Object* o) { release_combinator_record(o); }
};

struct ZeroOrMoreClass : GeneralForms<ZeroOrMoreElement, zero_or_more_parse_at, zero_or_more_try_match_at,
                                      zero_or_more_parse_from_start> {
    using Object = ElementObject;
    static constexpr char kName[] = "ZeroOrMore";
    static constexpr ClassId kId = ClassId::ZeroOrMore;
    static constexpr const char* kSignature = "(expr)";
    static constexpr ArgumentDescriptor kNew = expr_params(kName);
    static const ElementVTable* vtable() { return zero_or_more_vtable(); }
    static PyObject* construct(PyTypeObject* t, PyObject** s) {
        return construct_one_child<ZeroOrMoreElement>(t, s[0]);
    }
    static void release_payload(Object* o) { release_combinator_record(o); }
};

namespace {

// The `count` argument of Exactly: an int (or subclass) read as unsigned
// 64-bit, anything else through __index__ first; values from 2**32 up to
// 2**64 - 1 give OverflowError "out of range integral type conversion
// attempted". Returns false with the error set (not yet wrapped).
bool convert_count(PyObject* obj, uint32_t& out) {
    unsigned long long v;
    if (PyLong_Check(obj)) {
        v = PyLong_AsUnsignedLongLong(obj);
    } else {
        OwnedRef index = OwnedRef::steal(PyNumber_Index(obj));
        if (!index) return false;
        v = PyLong_AsUnsignedLongLong(index.get());
    }
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    if (v > 0xFFFFFFFFull) {
        PyErr_SetString(PyExc_OverflowError, msg::kCountOutOfRange);
        return false;
    }
    out = static_cast<uint32_t>(v);
    return true;
}

}  // namespace

struct ExactlyClass
    : GeneralForms<ExactlyElement, exactly_parse_at, exactly_try_match_at, exactly_parse_from_start> {
    using Object = ElementObject;
    static constexpr char kName[] = "Exactly";
    static constexpr ClassId kId = ClassId::Exactly;
    static constexpr const char* kSignature = "(expr, count)";
    static constexpr ArgumentDescriptor kNew{kName, "__new__", {"expr", "count"}, 2, 2};
    static const ElementVTable* vtable() { return exactly_vtable(); }
    static void release_payload(Object* o) { release_combinator_record(o); }

    // `count` is converted before `expr` is looked at.
    static PyObject* construct(PyTypeObject* type, PyObject** slots) {
        uint32_t count = 0;
        if (!convert_count(slots[1], count)) {
            wrap_argument_error("count");
            return nullptr;
        }
        ToElementOutcome c = to_element(slots[0]);
        if (!c.ok) {
            raise_conversion_error();
            return nullptr;
        }
        return wrap_record(type, Rc<ExactlyElement>::make(std::move(c.element), count));
    }
};

}  // namespace qgx

QGX_REGISTER_CLASS(OneOrMoreClass, kOneOrMoreClass)
QGX_REGISTER_CLASS(ZeroOrMoreClass, kZeroOrMoreClass)
QGX_REGISTER_CLASS(ExactlyClass, kExactlyClass)
