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

}  // namespace qgx
