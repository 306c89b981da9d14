// Owned references to Python objects: every path releases what it took.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace qgx {

// A move-only owner of one strong reference. Construct with `steal` for a
// reference handed over, `borrow` for one that must be added.
class OwnedRef {
  public:
    OwnedRef() = default;
    static OwnedRef steal(PyObject* o) { return OwnedRef(o); }
    static OwnedRef borrow(PyObject* o) {
        Py_XINCREF(o);
        return OwnedRef(o);
    }
    OwnedRef(OwnedRef&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    OwnedRef& operator=(OwnedRef&& o) noexcept {
        if (this != &o) {
            PyObject* old = p_;
            p_ = o.p_;
            o.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    ~OwnedRef() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    void reset() {
        PyObject* old = p_;
        p_ = nullptr;
        Py_XDECREF(old);
    }

  private:
    explicit OwnedRef(PyObject* o) : p_(o) {}
    PyObject* p_ = nullptr;
};

// Frees a PyMem block (the deleter of a std::unique_ptr holding one).
struct PyMemFree {
    void operator()(void* p) const { PyMem_Free(p); }
};

// The attribute `name` of `obj`, or an empty ref with the error set. The name
// is interned once into `*cell` and kept for the process: a fresh name object
// per call would be held by the interpreter's type attribute cache, one per
// call, until its slot is reused.
inline OwnedRef get_attr(PyObject* obj, const char* name, PyObject** cell) {
    if (!*cell) {
        *cell = PyUnicode_InternFromString(name);
        if (!*cell) return {};
    }
    return OwnedRef::steal(PyObject_GetAttr(obj, *cell));
}

// get_attr with a cell of its own for each literal name.
#define QGX_GET_ATTR(obj, literal)                     \
    ([](PyObject* o_) {                                \
        static PyObject* cell_ = nullptr;              \
        return ::qgx::get_attr(o_, literal, &cell_);   \
    }(obj))

}  // namespace qgx
