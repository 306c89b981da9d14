#include "python/convert.hpp"

#include <cstring>
#include <string_view>

#include "messages.hpp"
#include "python/errors.hpp"

namespace qgx {

bool check_text_length(Py_ssize_t n) {
    if (n >= 0 && static_cast<uint64_t>(n) <= kMaxTextBytes) return true;
    PyErr_Format(PyExc_OverflowError, msg::kTextTooLong, static_cast<size_t>(n));
    return false;
}

bool convert_text_arg(PyObject* obj, const char* param, Text& out) {
    if (!PyUnicode_Check(obj)) {
        set_type_mismatch_error(obj, "PyString");
        wrap_argument_error(param);
        return false;
    }
    if (read_text_in_place(obj, out)) return true;
    wrap_argument_error(param);
    return false;
}

bool convert_list_arg(PyObject* obj, const char* param) {
    if (PyList_Check(obj)) return true;
    set_type_mismatch_error(obj, "PyList");
    wrap_argument_error(param);
    return false;
}

namespace {
// True when the attribute `v` (of a type) is the str `want`, the whole text
// compared (a NUL inside the attribute does not end it); read errors count as no.
bool attr_is(OwnedRef v, std::string_view want) {
    if (!v || !PyUnicode_Check(v.get())) {
        PyErr_Clear();
        return false;
    }
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(v.get(), &n);
    if (!s) {
        PyErr_Clear();
        return false;
    }
    return std::string_view(s, static_cast<size_t>(n)) == want;
}
}  // namespace

int extract_bool(PyObject* obj) {
    if (PyBool_Check(obj)) return obj == Py_True ? 1 : 0;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    if (attr_is(QGX_GET_ATTR(type, "__module__"), "numpy") &&
        (attr_is(QGX_GET_ATTR(type, "__name__"), "bool_") || attr_is(QGX_GET_ATTR(type, "__name__"), "bool"))) {
        PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
        if (!nb || !nb->nb_bool) {
            OwnedRef s = OwnedRef::steal(PyObject_Str(type));
            if (!s) return -1;
            OwnedRef m = OwnedRef::steal(PyUnicode_FromFormat(msg::kNoBoolConversion, s.get()));
            if (m) PyErr_SetObject(PyExc_TypeError, m.get());
            return -1;
        }
        int r = nb->nb_bool(obj);
        if (r == 0 || r == 1) return r;
        ensure_error();
        return -1;
    }
    set_type_mismatch_error(obj, "PyBool");
    return -1;
}

bool convert_bool_arg(PyObject* obj, const char* param, bool& out) {
    int r = extract_bool(obj);
    if (r < 0) {
        wrap_argument_error(param);
        return false;
    }
    out = r == 1;
    return true;
}

}  // namespace qgx
