#include "python/args.hpp"

#include <cstring>
#include <string>

#include "messages.hpp"

namespace qgx {

namespace {

std::string callable_name(const ArgumentDescriptor& d) {
    std::string n;
    if (d.class_name) {
        n += d.class_name;
        n += '.';
    }
    n += d.function_name;
    n += "()";
    return n;
}

bool too_many_positional(const ArgumentDescriptor& d, Py_ssize_t given) {
    const char* verb = given == 1 ? "was" : "were";
    std::string name = callable_name(d);
    if (d.required == d.count)
        PyErr_Format(PyExc_TypeError, msg::kTakesPositional, name.c_str(), static_cast<Py_ssize_t>(d.count), given, verb);
    else
        PyErr_Format(PyExc_TypeError, msg::kTakesFromTo, name.c_str(), static_cast<Py_ssize_t>(d.required),
                     static_cast<Py_ssize_t>(d.count), given, verb);
    return false;
}

// Binds one keyword; false with TypeError set.
bool bind_keyword(const ArgumentDescriptor& d, PyObject* key, PyObject* value, PyObject** slots) {
    Py_ssize_t n = 0;
    const char* k = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &n) : nullptr;
    if (!k) PyErr_Clear();  // an unreadable name matches no parameter
    for (int i = 0; k && i < d.count; ++i) {
        if (std::strlen(d.params[i]) == static_cast<size_t>(n) && std::memcmp(d.params[i], k, n) == 0) {
            if (slots[i]) {
                PyErr_Format(PyExc_TypeError, msg::kMultipleValues, callable_name(d).c_str(), d.params[i]);
                return false;
            }
            Py_INCREF(value);
            slots[i] = value;
            return true;
        }
    }
    OwnedRef text = OwnedRef::steal(PyObject_Str(key));
    if (!text) return false;
    std::string name = callable_name(d);
    OwnedRef message = OwnedRef::steal(
        PyUnicode_FromFormat(msg::kUnexpectedKeyword, name.c_str(), text.get()));
    if (message) PyErr_SetObject(PyExc_TypeError, message.get());
    return false;
}

bool check_required(const ArgumentDescriptor& d, PyObject** slots) {
    int missing_idx[kMaxParams];
    int missing = 0;
    for (int i = 0; i < d.required; ++i)
        if (!slots[i]) missing_idx[missing++] = i;
    if (missing == 0) return true;
    std::string names;
    for (int j = 0; j < missing; ++j) {
        if (j > 0) {
            if (missing == 2)
                names += " and ";
            else if (j == missing - 1)
                names += ", and ";
            else
                names += ", ";
        }
        names += '\'';
        names += d.params[missing_idx[j]];
        names += '\'';
    }
    std::string name = callable_name(d);
    PyErr_Format(PyExc_TypeError, msg::kMissingRequired, name.c_str(),
                 static_cast<Py_ssize_t>(missing), missing == 1 ? "argument" : "arguments", names.c_str());
    return false;
}

}  // namespace

bool bind_vectorcall_arguments(const ArgumentDescriptor& d, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames, BoundArguments& out) {
    PyObject** slots = out.slots;
    nargs = PyVectorcall_NARGS(nargs);
    if (nargs > d.count) return too_many_positional(d, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        Py_INCREF(args[i]);
        slots[i] = args[i];
    }
    if (kwnames) {
        Py_ssize_t nk = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < nk; ++i)
            if (!bind_keyword(d, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], slots)) return false;
    }
    return check_required(d, slots);
}

bool bind_tuple_arguments(const ArgumentDescriptor& d, PyObject* args, PyObject* kwargs, BoundArguments& out) {
    PyObject** slots = out.slots;
    Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
    if (nargs > d.count) return too_many_positional(d, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        PyObject* a = PyTuple_GET_ITEM(args, i);
        Py_INCREF(a);
        slots[i] = a;
    }
    if (kwargs) {
        // The dict is held too: a keyword name's str() (for the error text)
        // can run code that drops it while it is being walked.
        OwnedRef hold = OwnedRef::borrow(kwargs);
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value))
            if (!bind_keyword(d, key, value, slots)) return false;
    }
    return check_required(d, slots);
}

}  // namespace qgx
