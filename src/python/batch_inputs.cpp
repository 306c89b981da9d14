#include "python/batch_inputs.hpp"

#include "python/class_frame.hpp"

namespace qgx {

PyObject* list_from_buffer(PyObject** buf, Py_ssize_t n) {
    // Made empty, then given the buffer: a list made at full size would have
    // storage of its own to fill, and the buffer already is a list's storage
    // (PyMem, one pointer per slot), which the list's deallocator frees.
    PyObject* list = new_list(0);
    auto* l = reinterpret_cast<PyListObject*>(list);
    l->ob_item = buf;
    l->allocated = n;
    Py_SET_SIZE(l, n);
    return list;
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

void publish_items(PyObject* out) {
    PyObject* const* items = reinterpret_cast<PyListObject*>(out)->ob_item;
    const Py_ssize_t n = PyList_GET_SIZE(out);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!PyObject_GC_IsTracked(items[i])) PyObject_GC_Track(items[i]);
}

}  // namespace qgx
