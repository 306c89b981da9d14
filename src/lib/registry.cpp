// The registry of the 26 classes. Each class family registers its own
// classes (QGX_REGISTER_CLASS); the table here only names them, so a family
// that this build does not hold is simply absent.
#include <Python.h>

#include "messages.hpp"
#include "python/class_frame.hpp"

namespace qgx {

[[gnu::weak]] extern const ClassDef* const kLiteralClass;
[[gnu::weak]] extern const ClassDef* const kKeywordClass;
[[gnu::weak]] extern const ClassDef* const kWordClass;
[[gnu::weak]] extern const ClassDef* const kRegexClass;
[[gnu::weak]] extern const ClassDef* const kAndClass;
[[gnu::weak]] extern const ClassDef* const kMatchFirstClass;
[[gnu::weak]] extern const ClassDef* const kZeroOrMoreClass;
[[gnu::weak]] extern const ClassDef* const kOneOrMoreClass;
[[gnu::weak]] extern const ClassDef* const kOptionalClass;
[[gnu::weak]] extern const ClassDef* const kGroupClass;
[[gnu::weak]] extern const ClassDef* const kSuppressClass;
[[gnu::weak]] extern const ClassDef* const kForwardClass;
[[gnu::weak]] extern const ClassDef* const kCombineClass;
[[gnu::weak]] extern const ClassDef* const kExactlyClass;
[[gnu::weak]] extern const ClassDef* const kCaselessLiteralClass;
[[gnu::weak]] extern const ClassDef* const kCaselessKeywordClass;
[[gnu::weak]] extern const ClassDef* const kCharClass;
[[gnu::weak]] extern const ClassDef* const kStringStartClass;
[[gnu::weak]] extern const ClassDef* const kStringEndClass;
[[gnu::weak]] extern const ClassDef* const kLineStartClass;
[[gnu::weak]] extern const ClassDef* const kLineEndClass;
[[gnu::weak]] extern const ClassDef* const kRestOfLineClass;
[[gnu::weak]] extern const ClassDef* const kQuotedStringClass;
[[gnu::weak]] extern const ClassDef* const kEmptyClass;
[[gnu::weak]] extern const ClassDef* const kNoMatchClass;
[[gnu::weak]] extern const ClassDef* const kSkipToClass;

namespace {

const ClassDef* const* const kRegistry[kClassCount] = {
    &kLiteralClass,
    &kKeywordClass,
    &kWordClass,
    &kRegexClass,
    &kAndClass,
    &kMatchFirstClass,
    &kZeroOrMoreClass,
    &kOneOrMoreClass,
    &kOptionalClass,
    &kGroupClass,
    &kSuppressClass,
    &kForwardClass,
    &kCombineClass,
    &kExactlyClass,
    &kCaselessLiteralClass,
    &kCaselessKeywordClass,
    &kCharClass,
    &kStringStartClass,
    &kStringEndClass,
    &kLineStartClass,
    &kLineEndClass,
    &kRestOfLineClass,
    &kQuotedStringClass,
    &kEmptyClass,
    &kNoMatchClass,
    &kSkipToClass,
};

PyTypeObject* g_types[kClassCount] = {};

}  // namespace

const ClassDef* class_def(ClassId id) {
    const ClassDef* const* slot = kRegistry[static_cast<int>(id)];
    return slot ? *slot : nullptr;
}

PyTypeObject* class_type_if_made(ClassId id) { return g_types[static_cast<int>(id)]; }

PyTypeObject* create_class_type(const char* name, PyType_Spec* spec) {
    PyObject* type = PyType_FromSpec(spec);
    if (type) return reinterpret_cast<PyTypeObject*>(type);
    ensure_error();
    PyObject *ct, *cv, *ctb;
    PyErr_Fetch(&ct, &cv, &ctb);
    PyErr_NormalizeException(&ct, &cv, &ctb);
    if (ctb) PyException_SetTraceback(cv, ctb);
    Py_XDECREF(ctb);
    Py_XDECREF(ct);
    PyErr_Format(PyExc_RuntimeError, msg::kInitClassFailed, name);
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    PyException_SetCause(v, cv);  // steals cv
    PyErr_Restore(t, v, tb);
    return nullptr;
}

PyTypeObject* get_class_type_object(ClassId id) {
    int i = static_cast<int>(id);
    if (g_types[i]) return g_types[i];
    const ClassDef* def = class_def(id);
    if (!def) return nullptr;
    g_types[i] = create_class_type(def->name, def->spec());  // kept for the life of the process
    return g_types[i];
}

}  // namespace qgx
