// The class frame at C level: argument binding on both paths, conversion of
// arguments, the reshaping of errors, and type creation.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "python/args.hpp"
#include "python/class_frame.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "test_support.hpp"

using namespace qgx;

namespace {

constexpr ArgumentDescriptor kTwoOfFour{"Thing", "__new__", {"a", "b", "c", "d"}, 4, 2};
constexpr ArgumentDescriptor kAllOfThree{"Three", "go", {"x", "y", "z"}, 3, 3};
constexpr ArgumentDescriptor kAllOfFour{"Four", "go", {"a", "b", "c", "d"}, 4, 4};
constexpr ArgumentDescriptor kOne{"Empty", "matches", {"s"}, 1, 1};
constexpr ArgumentDescriptor kNone{"Empty", "__new__", {}, 0, 0};
constexpr ArgumentDescriptor kFunction{nullptr, "one_of", {"strs"}, 1, 1};

struct BindCase {
    const ArgumentDescriptor* d;
    int positional;                     // given as the ints 0, 1, ...
    std::vector<const char*> keywords;  // each given the int 100
    const char* error;                  // nullptr: binds
};

const BindCase kBindCases[] = {
    {&kTwoOfFour, 5, {}, "Thing.__new__() takes from 2 to 4 positional arguments but 5 were given"},
    {&kTwoOfFour, 5, {"zz"}, "Thing.__new__() takes from 2 to 4 positional arguments but 5 were given"},
    {&kAllOfThree, 4, {}, "Three.go() takes 3 positional arguments but 4 were given"},
    {&kOne, 2, {}, "Empty.matches() takes 1 positional arguments but 2 were given"},
    {&kNone, 1, {}, "Empty.__new__() takes 0 positional arguments but 1 was given"},
    {&kNone, 3, {}, "Empty.__new__() takes 0 positional arguments but 3 were given"},
    {&kTwoOfFour, 1, {"a"}, "Thing.__new__() got multiple values for argument 'a'"},
    {&kTwoOfFour, 0, {"b", "b2"}, "Thing.__new__() got an unexpected keyword argument 'b2'"},
    {&kNone, 0, {"x"}, "Empty.__new__() got an unexpected keyword argument 'x'"},
    {&kTwoOfFour, 0, {}, "Thing.__new__() missing 2 required positional arguments: 'a' and 'b'"},
    {&kTwoOfFour, 0, {"b", "d"}, "Thing.__new__() missing 1 required positional argument: 'a'"},
    {&kTwoOfFour, 1, {}, "Thing.__new__() missing 1 required positional argument: 'b'"},
    {&kAllOfThree, 0, {}, "Three.go() missing 3 required positional arguments: 'x', 'y', and 'z'"},
    {&kAllOfThree, 0, {"y"}, "Three.go() missing 2 required positional arguments: 'x' and 'z'"},
    {&kAllOfFour, 0, {}, "Four.go() missing 4 required positional arguments: 'a', 'b', 'c', and 'd'"},
    {&kAllOfFour, 0, {"c"}, "Four.go() missing 3 required positional arguments: 'a', 'b', and 'd'"},
    {&kFunction, 0, {}, "one_of() missing 1 required positional argument: 'strs'"},
    {&kFunction, 2, {}, "one_of() takes 1 positional arguments but 2 were given"},
    {&kTwoOfFour, 2, {}, nullptr},
    {&kTwoOfFour, 1, {"d", "b"}, nullptr},
    {&kAllOfFour, 0, {"d", "c", "b", "a"}, nullptr},
    {&kNone, 0, {}, nullptr},
};

// Binds a case through both paths; gives the error text of each ("" = bound)
// and checks that both fill the same slots.
struct Bound {
    std::string vector_error, tuple_error;
    std::vector<long> slots;  // the int in each slot, -1 for an empty one
};

long slot_value(PyObject* o) { return o ? PyLong_AsLong(o) : -1; }

Bound bind_both(const BindCase& c) {
    Bound b;
    std::vector<OwnedRef> values;
    for (int i = 0; i < c.positional; ++i) values.push_back(OwnedRef::steal(PyLong_FromLong(i)));
    for (size_t i = 0; i < c.keywords.size(); ++i) values.push_back(OwnedRef::steal(PyLong_FromLong(100 + static_cast<long>(i))));
    std::vector<PyObject*> argv;
    for (OwnedRef& v : values) argv.push_back(v.get());

    OwnedRef kwnames;
    OwnedRef kwargs;
    if (!c.keywords.empty()) {
        kwnames = OwnedRef::steal(PyTuple_New(static_cast<Py_ssize_t>(c.keywords.size())));
        kwargs = OwnedRef::steal(PyDict_New());
        for (size_t i = 0; i < c.keywords.size(); ++i) {
            PyTuple_SET_ITEM(kwnames.get(), static_cast<Py_ssize_t>(i), PyUnicode_FromString(c.keywords[i]));
            PyDict_SetItemString(kwargs.get(), c.keywords[i], argv[c.positional + i]);
        }
    }
    BoundArguments slots;
    if (bind_vectorcall_arguments(*c.d, argv.data(), c.positional, kwnames.get(), slots)) {
        for (int i = 0; i < c.d->count; ++i) b.slots.push_back(slot_value(slots[i]));
    } else {
        b.vector_error = take_error();
    }
    OwnedRef tuple = OwnedRef::steal(PyTuple_New(c.positional));
    for (int i = 0; i < c.positional; ++i) {
        Py_INCREF(argv[i]);
        PyTuple_SET_ITEM(tuple.get(), i, argv[i]);
    }
    BoundArguments tslots;
    if (bind_tuple_arguments(*c.d, tuple.get(), kwargs.get(), tslots)) {
        std::vector<long> t;
        for (int i = 0; i < c.d->count; ++i) t.push_back(slot_value(tslots[i]));
        EXPECT_EQ(t, b.slots) << "the two paths filled different slots";
    } else {
        b.tuple_error = take_error();
    }
    return b;
}

}  // namespace

TEST(ArgumentBinding, EveryTextOnBothPaths) {
    for (const BindCase& c : kBindCases) {
        SCOPED_TRACE(std::string(c.d->function_name) + " with " + std::to_string(c.positional) + " positional");
        Bound b = bind_both(c);
        std::string want = c.error ? std::string("TypeError: ") + c.error : "";
        EXPECT_EQ(b.vector_error, want);
        EXPECT_EQ(b.tuple_error, want);
    }
}

TEST(ArgumentBinding, PositionalThenKeywordsFillTheirSlots) {
    Bound b = bind_both({&kTwoOfFour, 1, {"d", "b"}, nullptr});
    EXPECT_EQ(b.slots, (std::vector<long>{0, 101, -1, 100}));
}

// Every bound argument is held by the holder, on both paths and also when
// binding fails after some slots were filled; the holder's end gives each
// reference back.
TEST(ArgumentBinding, TheHolderKeepsEveryBoundArgumentAlive) {
    OwnedRef a = OwnedRef::steal(PyLong_FromLong(123456));
    OwnedRef b = OwnedRef::steal(PyLong_FromLong(654321));
    Py_ssize_t ra = Py_REFCNT(a.get()), rb = Py_REFCNT(b.get());
    OwnedRef kwnames = OwnedRef::steal(Py_BuildValue("(s)", "b"));
    OwnedRef bad_names = OwnedRef::steal(Py_BuildValue("(s)", "zz"));
    PyObject* argv[] = {a.get(), b.get()};
    for (bool ok : {true, false}) {
        BoundArguments slots;
        EXPECT_EQ(bind_vectorcall_arguments(kTwoOfFour, argv, 1, ok ? kwnames.get() : bad_names.get(), slots), ok);
        PyErr_Clear();
        EXPECT_EQ(Py_REFCNT(a.get()), ra + 1);
        EXPECT_EQ(Py_REFCNT(b.get()), rb + (ok ? 1 : 0));
    }
    EXPECT_EQ(Py_REFCNT(a.get()), ra);
    EXPECT_EQ(Py_REFCNT(b.get()), rb);

    OwnedRef tuple = OwnedRef::steal(PyTuple_Pack(1, a.get()));
    OwnedRef kwargs = OwnedRef::steal(PyDict_New());
    PyDict_SetItemString(kwargs.get(), "b", b.get());
    ra = Py_REFCNT(a.get());
    rb = Py_REFCNT(b.get());
    {
        BoundArguments slots;
        ASSERT_TRUE(bind_tuple_arguments(kTwoOfFour, tuple.get(), kwargs.get(), slots));
        // The dict emptied (as caller code run by a conversion could do)
        // leaves the bound value alive.
        PyDict_Clear(kwargs.get());
        EXPECT_EQ(slots[1], b.get());
        EXPECT_EQ(Py_REFCNT(b.get()), rb);
        EXPECT_EQ(Py_REFCNT(a.get()), ra + 1);
    }
    EXPECT_EQ(Py_REFCNT(a.get()), ra);
    EXPECT_EQ(Py_REFCNT(b.get()), rb - 1);
}

TEST(ArgumentBinding, AnUnreadableKeywordNameMatchesNoParameter) {
    OwnedRef name = eval_python("'s\\udc80'");
    OwnedRef value = OwnedRef::steal(PyLong_FromLong(1));
    OwnedRef kwnames = OwnedRef::steal(PyTuple_Pack(1, name.get()));
    PyObject* argv[] = {value.get()};
    BoundArguments slots;
    EXPECT_FALSE(bind_vectorcall_arguments(kOne, argv, 0, kwnames.get(), slots));
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    OwnedRef type = OwnedRef::steal(t), val = OwnedRef::steal(v), trace = OwnedRef::steal(tb);
    EXPECT_EQ(type.get(), PyExc_TypeError);
    OwnedRef text = OwnedRef::steal(PyObject_Str(val.get()));
    OwnedRef want = eval_python("\"Empty.matches() got an unexpected keyword argument 's\\udc80'\"");
    EXPECT_EQ(PyUnicode_Compare(text.get(), want.get()), 0);
}

// ---------------------------------------------------------------------------
// Conversion of arguments

TEST(Conversion, TextAndListArguments) {
    Text t;
    OwnedRef sub = eval_python("type('S', (str,), {})('ok')");
    EXPECT_TRUE(convert_text_arg(sub.get(), "s", t));
    EXPECT_EQ(std::string(t.data, t.len), "ok");

    OwnedRef num = OwnedRef::steal(PyLong_FromLong(3));
    EXPECT_FALSE(convert_text_arg(num.get(), "s", t));
    EXPECT_EQ(take_error(), "TypeError: argument 's': 'int' object cannot be converted to 'PyString'");

    OwnedRef lone = eval_python("'a\\udc80'");
    EXPECT_FALSE(convert_text_arg(lone.get(), "replacement", t));
    std::string err = take_error();
    EXPECT_EQ(err.substr(0, err.find(':')), "UnicodeEncodeError");  // not wrapped: not a TypeError

    OwnedRef tup = eval_python("(1,)");
    EXPECT_FALSE(convert_list_arg(tup.get(), "inputs"));
    EXPECT_EQ(take_error(), "TypeError: argument 'inputs': 'tuple' object cannot be converted to 'PyList'");
    OwnedRef sublist = eval_python("type('L', (list,), {})()");
    EXPECT_TRUE(convert_list_arg(sublist.get(), "inputs"));
}

TEST(Conversion, ItemTextsAreReadWithoutATypeTest) {
    Text t;
    OwnedRef s = eval_python("'h\\u00e9'");
    ASSERT_TRUE(read_item_text(s.get(), t));
    EXPECT_EQ(std::string(t.data, t.len), "h\xc3\xa9");
    OwnedRef num = OwnedRef::steal(PyLong_FromLong(3));
    EXPECT_FALSE(read_item_text(num.get(), t));
    EXPECT_EQ(take_error(), "TypeError: bad argument type for built-in operation");
    OwnedRef lone = eval_python("'\\udc80'");
    EXPECT_FALSE(read_item_text(lone.get(), t));
    std::string err = take_error();
    EXPECT_EQ(err.substr(0, err.find(':')), "UnicodeEncodeError");
}

// A 4 GiB string is too big for a test; the guard that read_item_text and
// convert_text_arg apply to every length is checked on the lengths themselves.
TEST(Conversion, TextsLongerThanAPositionReachAreRefused) {
    EXPECT_TRUE(check_text_length(0));
    EXPECT_TRUE(check_text_length(4294967295));
    EXPECT_FALSE(PyErr_Occurred());
    EXPECT_FALSE(check_text_length(4294967296));
    EXPECT_EQ(take_error(), "OverflowError: text too long: 4294967296 bytes (the limit is 4294967295)");
    EXPECT_FALSE(check_text_length(static_cast<Py_ssize_t>(1) << 40));
    EXPECT_EQ(take_error(), "OverflowError: text too long: 1099511627776 bytes (the limit is 4294967295)");
}

namespace {
void define_bool_types() {
    run_python(R"(
import numpy
class bool_:
    __module__ = "numpy"
class bool:
    __module__ = "numpy"
    def __bool__(self):
        return True
class RaisingBool:
    __module__ = "numpy"
    def __bool__(self):
        raise TypeError("no truth") from ValueError("why")
RaisingBool.__name__ = "bool_"
class ValueErrorBool:
    __module__ = "numpy"
    def __bool__(self):
        raise ValueError("bad truth")
ValueErrorBool.__name__ = "bool_"
class HideModule(type):
    def __getattribute__(cls, name):
        if name == "__module__":
            raise RuntimeError("hidden")
        return super().__getattribute__(name)
class HiddenModuleBool(metaclass=HideModule):
    def __bool__(self):
        return True
HiddenModuleBool.__name__ = "bool_"
class int8:
    __module__ = "numpy"
    def __bool__(self):
        return True
)");
}
}  // namespace

TEST(ExtractBool, BoolsAndNumpyBooleansOnly) {
    define_bool_types();
    struct Case {
        const char* expr;
        int value;          // 0 or 1, or -1 for an error
        const char* error;  // of convert_bool_arg for parameter "multiline"
    };
    const Case cases[] = {
        {"True", 1, nullptr},
        {"False", 0, nullptr},
        {"numpy.bool_(True)", 1, nullptr},
        {"numpy.bool_(False)", 0, nullptr},
        {"bool()", 1, nullptr},
        {"bool_()", -1,
         "TypeError: argument 'multiline': object of type '<class 'numpy.bool_'>' does not define a '__bool__' "
         "conversion"},
        {"RaisingBool()", -1, "TypeError: argument 'multiline': no truth"},
        {"ValueErrorBool()", -1, "ValueError: bad truth"},
        {"HiddenModuleBool()", -1, "TypeError: argument 'multiline': 'HiddenModuleBool' object cannot be converted to 'PyBool'"},
        {"int8()", -1, "TypeError: argument 'multiline': 'int8' object cannot be converted to 'PyBool'"},
        {"1", -1, "TypeError: argument 'multiline': 'int' object cannot be converted to 'PyBool'"},
        {"None", -1, "TypeError: argument 'multiline': 'NoneType' object cannot be converted to 'PyBool'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expr);
        OwnedRef o = eval_python(c.expr);
        ASSERT_TRUE(o);
        EXPECT_EQ(extract_bool(o.get()), c.value);
        if (c.value < 0) {
            EXPECT_TRUE(PyErr_Occurred());
            PyErr_Clear();
        }
        bool out = false;
        bool ok = convert_bool_arg(o.get(), "multiline", out);
        EXPECT_EQ(ok, c.value >= 0);
        if (ok) {
            EXPECT_EQ(out, c.value == 1);
        }
        EXPECT_EQ(take_error(), c.error ? c.error : "");
    }
}

TEST(ExtractBool, WrappedErrorKeepsTheTruthSlotsCause) {
    define_bool_types();
    OwnedRef o = eval_python("RaisingBool()");
    bool out;
    ASSERT_FALSE(convert_bool_arg(o.get(), "unquote", out));
    PyErrorValue e = fetch_python_error();
    PyObject *t = e.type.release(), *v = e.value.release(), *tb = e.traceback.release();
    PyErr_NormalizeException(&t, &v, &tb);
    OwnedRef type = OwnedRef::steal(t), value = OwnedRef::steal(v), trace = OwnedRef::steal(tb);
    OwnedRef cause = OwnedRef::steal(PyException_GetCause(value.get()));
    ASSERT_TRUE(cause);
    EXPECT_EQ(Py_TYPE(cause.get()), reinterpret_cast<PyTypeObject*>(PyExc_ValueError));
    EXPECT_EQ(str_of(OwnedRef::steal(PyObject_Str(cause.get())).get()), "why");
}

// ---------------------------------------------------------------------------
// Errors

namespace {
// Raises `expr` (an exception instance) as the pending error.
void set_error_from(const char* expr) {
    OwnedRef e = eval_python(expr);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(e.get())), e.get());
}
}  // namespace

TEST(WrapArgumentError, OnlyAnExactTypeErrorIsWrappedAndItsCauseKept) {
    run_python(R"(
cause = ValueError("why")
with_cause = TypeError("inner")
with_cause.__cause__ = cause
class SubTypeError(TypeError):
    pass
)");
    set_error_from("with_cause");
    wrap_argument_error("s");
    PyErrorValue e = fetch_python_error();
    ASSERT_EQ(e.type.get(), PyExc_TypeError);
    EXPECT_EQ(str_of(OwnedRef::steal(PyObject_Str(e.value.get())).get()), "argument 's': inner");
    OwnedRef got = OwnedRef::steal(PyException_GetCause(e.value.get()));
    OwnedRef want = eval_python("cause");
    EXPECT_EQ(got.get(), want.get());

    set_error_from("TypeError('plain')");
    wrap_argument_error("inputs");
    e = fetch_python_error();
    EXPECT_EQ(str_of(OwnedRef::steal(PyObject_Str(e.value.get())).get()), "argument 'inputs': plain");
    EXPECT_FALSE(OwnedRef::steal(PyException_GetCause(e.value.get())));

    PyErr_SetString(PyExc_TypeError, "lazy");
    wrap_argument_error("s");
    EXPECT_EQ(take_error(), "TypeError: argument 's': lazy");

    for (const char* other : {"SubTypeError('sub')", "ValueError('v')", "OverflowError('o')"}) {
        OwnedRef before = eval_python(other);  // a twin, to compare the text
        set_error_from(other);
        wrap_argument_error("s");
        std::string err = take_error();
        std::string want_text = std::string(Py_TYPE(before.get())->tp_name) + ": " +
                                str_of(OwnedRef::steal(PyObject_Str(before.get())).get());
        EXPECT_EQ(err, want_text) << other;
    }

    // No error pending: the SystemError of a failed call that set none.
    wrap_argument_error("s");
    EXPECT_EQ(take_error(), "SystemError: attempted to fetch exception but none was set");
}

TEST(WrapArgumentError, UnprintableErrorIsReportedAsUnraisable) {
    run_python(R"(
import sys
unraisable = []
saved_hook = sys.unraisablehook
sys.unraisablehook = unraisable.append
class BadStr:
    def __str__(self):
        raise RuntimeError("no text")
)");
    set_error_from("TypeError(BadStr())");
    wrap_argument_error("s");
    EXPECT_EQ(take_error(), "TypeError: argument 's': <unprintable TypeError object>");
    OwnedRef n = eval_python("len(unraisable)");
    EXPECT_EQ(PyLong_AsLong(n.get()), 1);
    OwnedRef kind = eval_python("type(unraisable[0].exc_value).__name__");
    EXPECT_EQ(str_of(kind.get()), "RuntimeError");
    run_python("sys.unraisablehook = saved_hook\nunraisable.clear()");
}

TEST(TypeMismatchError, NamesTheQualifiedTypeOrSaysItCouldNot) {
    run_python(R"(
class Outer:
    class Inner:
        pass
class HideQualname(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise AttributeError(name)
        return super().__getattribute__(name)
class NumberQualname(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            return 42
        return super().__getattribute__(name)
class Hidden(metaclass=HideQualname):
    pass
class Numbered(metaclass=NumberQualname):
    pass
)");
    struct Case {
        const char* expr;
        const char* text;
    };
    const Case cases[] = {
        {"Outer.Inner()", "TypeError: 'Outer.Inner' object cannot be converted to 'PyString'"},
        {"Hidden()", "TypeError: '<failed to extract type name>' object cannot be converted to 'PyString'"},
        {"Numbered()", "TypeError: '<failed to extract type name>' object cannot be converted to 'PyString'"},
    };
    for (const Case& c : cases) {
        OwnedRef o = eval_python(c.expr);
        set_type_mismatch_error(o.get(), "PyString");
        EXPECT_EQ(take_error(), c.text);
    }
}

TEST(FetchPythonError, TakesThePendingErrorOrMakesTheSystemError) {
    PyErrorValue none = fetch_python_error();
    ASSERT_TRUE(none);
    EXPECT_EQ(none.type.get(), PyExc_SystemError);
    EXPECT_EQ(raise_error(std::move(none)), nullptr);
    EXPECT_EQ(take_error(), "SystemError: attempted to fetch exception but none was set");

    PyErr_SetString(PyExc_ValueError, "pending");
    PyErrorValue e = fetch_python_error();
    EXPECT_FALSE(PyErr_Occurred());
    EXPECT_EQ(e.type.get(), PyExc_ValueError);
    raise_error(std::move(e));
    EXPECT_EQ(take_error(), "ValueError: pending");

    EXPECT_EQ(ensure_error(), nullptr);
    EXPECT_EQ(take_error(), "SystemError: attempted to fetch exception but none was set");
    PyErr_SetString(PyExc_KeyError, "kept");
    ensure_error();
    EXPECT_EQ(take_error(), "KeyError: 'kept'");
}

TEST(RaiseError, InstantiatesLazyErrorsAndRefusesNonExceptions) {
    PyErrorValue lazy;
    lazy.type = OwnedRef::borrow(PyExc_ValueError);
    lazy.value = OwnedRef::steal(PyUnicode_FromString("made late"));
    raise_error(std::move(lazy));
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    OwnedRef type = OwnedRef::steal(t), value = OwnedRef::steal(v), trace = OwnedRef::steal(tb);
    ASSERT_TRUE(value);
    EXPECT_TRUE(PyObject_TypeCheck(value.get(), reinterpret_cast<PyTypeObject*>(PyExc_ValueError)));

    PyErrorValue bogus;
    bogus.type = OwnedRef::borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type));
    bogus.value = OwnedRef::steal(PyUnicode_FromString("x"));
    raise_error(std::move(bogus));
    EXPECT_EQ(take_error(), "TypeError: exceptions must derive from BaseException");
}

// ---------------------------------------------------------------------------
// Types

TEST(ClassTypes, AFailedCreationRaisesRuntimeErrorWithTheCause) {
    static PyType_Slot bad_slots[] = {{9999, nullptr}, {0, nullptr}};
    static PyType_Spec bad{"builtins.Bogus", static_cast<int>(sizeof(ElementObject)), 0, Py_TPFLAGS_DEFAULT, bad_slots};
    EXPECT_EQ(create_class_type("Bogus", &bad), nullptr);
    PyErrorValue e = fetch_python_error();
    PyObject *t = e.type.release(), *v = e.value.release(), *tb = e.traceback.release();
    PyErr_NormalizeException(&t, &v, &tb);
    OwnedRef type = OwnedRef::steal(t), value = OwnedRef::steal(v), trace = OwnedRef::steal(tb);
    EXPECT_EQ(type.get(), PyExc_RuntimeError);
    EXPECT_EQ(str_of(OwnedRef::steal(PyObject_Str(value.get())).get()), "An error occurred while initializing class Bogus");
    OwnedRef cause = OwnedRef::steal(PyException_GetCause(value.get()));
    ASSERT_TRUE(cause);
    EXPECT_EQ(str_of(OwnedRef::steal(PyObject_Str(cause.get())).get()), "invalid slot offset");
}

TEST(ClassTypes, RejectConstructionNamesTheType) {
    run_python(R"(
class And:
    pass
class HideName(type):
    def __getattribute__(cls, name):
        if name == "__name__":
            raise AttributeError(name)
        return super().__getattribute__(name)
class Nameless(metaclass=HideName):
    pass
)");
    OwnedRef args = OwnedRef::steal(PyTuple_New(0));
    OwnedRef a = eval_python("And");
    EXPECT_EQ(reject_construction(reinterpret_cast<PyTypeObject*>(a.get()), args.get(), nullptr), nullptr);
    EXPECT_EQ(take_error(), "TypeError: No constructor defined for And");
    OwnedRef n = eval_python("Nameless");
    EXPECT_EQ(reject_construction(reinterpret_cast<PyTypeObject*>(n.get()), args.get(), nullptr), nullptr);
    EXPECT_EQ(take_error(), "TypeError: No constructor defined for <unknown>");
}

// ---------------------------------------------------------------------------
// Element conversion, on the classes of a module made in this process.

extern "C" PyObject* PyInit_quillgramx();

#include "elements/positional.hpp"
#include "lib/to_element.hpp"

TEST(ToElement, SharesTheRecordOfAnElementObjectWithItsKindsTable) {
    OwnedRef module = OwnedRef::steal(PyInit_quillgramx());
    ASSERT_TRUE(module);
    struct Case {
        const char* cls;
        const ElementVTable* table;
    };
    const Case cases[] = {
        {"Empty", empty_vtable()},           {"NoMatch", no_match_vtable()},
        {"LineStart", line_start_vtable()},  {"LineEnd", line_end_vtable()},
        {"StringStart", string_start_vtable()}, {"StringEnd", string_end_vtable()},
        {"rest_of_line", rest_of_line_vtable()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cls);
        OwnedRef type = OwnedRef::steal(PyObject_GetAttrString(module.get(), c.cls));
        ASSERT_TRUE(type);
        OwnedRef obj = OwnedRef::steal(PyObject_CallNoArgs(type.get()));
        ASSERT_TRUE(obj);
        ElementHeader* rec = reinterpret_cast<ElementObject*>(obj.get())->element;
        const uint32_t refs = rec->refs.load();
        const Py_ssize_t obj_refs = Py_REFCNT(obj.get());
        ToElementOutcome a = to_element(obj.get());
        ToElementOutcome b = to_element(obj.get());
        ASSERT_TRUE(a.ok && b.ok);
        EXPECT_EQ(a.element.record(), rec);
        EXPECT_EQ(b.element.record(), rec);
        EXPECT_EQ(a.element.vtable(), c.table);
        EXPECT_EQ(rec->refs.load(), refs + 2);
        EXPECT_EQ(Py_REFCNT(obj.get()), obj_refs);
        // The handle outlives the object and still matches as its kind.
        TryMatchOutcome before = a.element.try_match_at(Text("\nx"), 0);
        obj.reset();
        TryMatchOutcome after = a.element.try_match_at(Text("\nx"), 0);
        EXPECT_EQ(before.matched, after.matched);
        EXPECT_EQ(before.end, after.end);
    }
}

TEST(ToElement, AnyOtherObjectIsRefusedWithoutTouchingTheErrorState) {
    OwnedRef module = OwnedRef::steal(PyInit_quillgramx());
    ASSERT_TRUE(module);
    PyObject_SetAttrString(PyImport_AddModule("__main__"), "quillgramx", module.get());
    run_python("class Fake:\n    pass\n");
    for (const char* expr : {"'a'", "None", "5", "[quillgramx.Empty()]", "quillgramx.Empty", "Fake()"}) {
        SCOPED_TRACE(expr);
        OwnedRef o = eval_python(expr);
        ASSERT_TRUE(o);
        Py_ssize_t refs = Py_REFCNT(o.get());
        ToElementOutcome out = to_element(o.get());
        EXPECT_FALSE(out.ok);
        EXPECT_FALSE(out.element);
        EXPECT_FALSE(PyErr_Occurred());
        EXPECT_EQ(Py_REFCNT(o.get()), refs);
    }
    raise_conversion_error();
    EXPECT_EQ(take_error(), "ValueError: Unsupported parser element type");
}
