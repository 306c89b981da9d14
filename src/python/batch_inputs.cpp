#include "python/batch_inputs.hpp"

#include "python/class_frame.hpp"
#include "python/errors.hpp"

namespace qgx {

PyObject* list_from_buffer(PyObject** buf, Py_ssize_t n) {
    // Made empty, then given the buffer: a list made at full size would have
    // storage of its own to fill, and the buffer already is a list's storage
    // (PyMem, one pointer per slot), which the list's deallocator frees.
    PyObject* list = new_list(0);
    adopt_buffer(list, buf, n);
    return list;
}

void adopt_buffer(PyObject* list, PyObject** buf, Py_ssize_t n) {
    auto* l = reinterpret_cast<PyListObject*>(list);
    l->ob_item = buf;
    l->allocated = n;
    Py_SET_SIZE(l, n);
}

PyObject* BatchInputs::into_list() {
    PyObject* list = list_from_buffer(items_, n_);
    // Hidden before any code can run again: making the list was the last
    // point where a collection could start.
    PyObject_GC_UnTrack(list);
    items_ = nullptr;
    n_ = 0;
    return list;
}

PyObject* new_hidden_list(Py_ssize_t n) {
    PyObject** items = nullptr;
    if (n > 0) {
        items = PyMem_New(PyObject*, static_cast<size_t>(n));
        if (!items) throw_no_memory();
    }
    PyListObject* l = PyObject_GC_New(PyListObject, &PyList_Type);
    if (!l) {
        PyMem_Free(items);
        throw_no_memory();
    }
    l->ob_item = items;
    l->allocated = n;
    Py_SET_SIZE(l, n);
    return reinterpret_cast<PyObject*>(l);
}

void publish_items(PyObject* out) {
    PyObject* const* items = reinterpret_cast<PyListObject*>(out)->ob_item;
    const Py_ssize_t n = PyList_GET_SIZE(out);
    // The lists lie in the order they were made, long out of the cache: their
    // collector headers (the two words before the object) are asked for a few
    // items ahead. A hint only: a wrong address costs nothing but the miss.
    constexpr Py_ssize_t kAhead = 8;
    PyObject* prev = nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (i + kAhead < n) __builtin_prefetch(reinterpret_cast<const char*>(items[i + kAhead]) - 16, 1);
        PyObject* o = items[i];
        if (o == prev) continue;  // a result shared by neighbours
        if (!PyObject_GC_IsTracked(o)) PyObject_GC_Track(o);
        prev = o;
    }
}

}  // namespace qgx
