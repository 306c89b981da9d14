#include "python/errors.hpp"

#include <new>

#include "messages.hpp"

namespace qgx {

PyErrorValue fetch_python_error() {
    PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
    PyErr_Fetch(&t, &v, &tb);
    PyErrorValue e;
    if (!t) {
        Py_XDECREF(v);
        Py_XDECREF(tb);
        e.type = OwnedRef::borrow(PyExc_SystemError);
        e.value = OwnedRef::steal(PyUnicode_FromString(msg::kNoExceptionSet));
        return e;
    }
    e.type = OwnedRef::steal(t);
    e.value = OwnedRef::steal(v);
    e.traceback = OwnedRef::steal(tb);
    return e;
}

PyObject* raise_error(PyErrorValue err) {
    PyObject* t = err.type.release();
    PyObject* v = err.value.release();
    PyObject* tb = err.traceback.release();
    if (!PyExceptionClass_Check(t)) {
        Py_XDECREF(t);
        Py_XDECREF(v);
        Py_XDECREF(tb);
        PyErr_SetString(PyExc_TypeError, msg::kNotBaseException);
        return nullptr;
    }
    PyErr_NormalizeException(&t, &v, &tb);
    PyErr_Restore(t, v, tb);
    return nullptr;
}

PyObject* ensure_error() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, msg::kNoExceptionSet);
    return nullptr;
}

void set_type_mismatch_error(PyObject* obj, const char* target) {
    OwnedRef qualname = QGX_GET_ATTR(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__");
    if (!qualname || !PyUnicode_Check(qualname.get())) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, msg::kCannotConvert, msg::kFailedTypeName, target);
        return;
    }
    // The name goes in whole (%U): as UTF-8 through %s it would stop at a NUL.
    OwnedRef text = OwnedRef::steal(PyUnicode_FromFormat(msg::kCannotConvertNamed, qualname.get(), target));
    if (text) PyErr_SetObject(PyExc_TypeError, text.get());
}

namespace {
// The str() of an exception, or "<unprintable {} object>" after reporting the
// failure as unraisable.
OwnedRef exception_text(PyObject* value) {
    OwnedRef s = OwnedRef::steal(PyObject_Str(value));
    if (s) return s;
    PyErr_WriteUnraisable(value);
    OwnedRef name = QGX_GET_ATTR(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__name__");
    if (name && PyUnicode_Check(name.get())) return OwnedRef::steal(PyUnicode_FromFormat(msg::kUnprintableNamed, name.get()));
    PyErr_Clear();
    return OwnedRef::steal(PyUnicode_FromString(msg::kUnprintable));
}
}  // namespace

void wrap_argument_error(const char* param) {
    if (!PyErr_Occurred()) {
        ensure_error();
        return;
    }
    PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
    PyErr_Fetch(&t, &v, &tb);
    if (t != PyExc_TypeError) {
        PyErr_Restore(t, v, tb);
        return;
    }
    PyErr_NormalizeException(&t, &v, &tb);
    OwnedRef type = OwnedRef::steal(t), value = OwnedRef::steal(v), trace = OwnedRef::steal(tb);
    OwnedRef text = exception_text(value.get());
    if (!text) return;
    OwnedRef cause = OwnedRef::steal(PyException_GetCause(value.get()));
    PyObject* wrapped = PyUnicode_FromFormat(msg::kArgumentWrap, param, text.get());
    if (!wrapped) return;
    OwnedRef wrapped_text = OwnedRef::steal(wrapped);
    OwnedRef err = OwnedRef::steal(PyObject_CallOneArg(PyExc_TypeError, wrapped_text.get()));
    if (!err) return;
    if (cause) PyException_SetCause(err.get(), cause.release());  // steals the cause
    PyErr_SetObject(PyExc_TypeError, err.get());
}

void throw_no_memory() {
    PyErr_Clear();
    throw std::bad_alloc();
}

bool run_signal_handlers() noexcept {
    if (PyErr_CheckSignals() == 0) [[likely]]
        return false;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    MatchContext* c = tls_match_context;
    if (c && !c->pending_error[0]) {
        c->pending_error[0] = type;
        c->pending_error[1] = value;
        c->pending_error[2] = traceback;
    } else {
        // Without a context to carry it (never from an entry's check), or
        // a second one: the first raised is the one the entry gives.
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
    }
    return true;
}

PyObject* raise_interruption(MatchContext& c, PyObject* result) {
    Py_XDECREF(result);
    PyErr_Clear();
    PyErr_Restore(static_cast<PyObject*>(c.pending_error[0]), static_cast<PyObject*>(c.pending_error[1]),
                  static_cast<PyObject*>(c.pending_error[2]));
    c.pending_error[0] = c.pending_error[1] = c.pending_error[2] = nullptr;
    return nullptr;
}

}  // namespace qgx
