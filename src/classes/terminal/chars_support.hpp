// What the Word and Regex classes share: the map from input object to its
// result and the flat parse_batch built on it.
#pragma once

#include <memory>
#include <vector>

#include "lib/engines.hpp"
#include "lib/text_map.hpp"
#include "python/class_frame.hpp"

namespace qgx {

// Input object -> its result (a borrowed str, or nullptr for no entry), for
// the objects met first in a call. The table is fixed (it stays in cache);
// once half full, further objects are evaluated without being stored, so a
// list of a million distinct objects pays one probe per item, not a miss
// into a table of millions.
class IdentityCache {
  public:
    static constexpr size_t kSlots = 4096;
    static constexpr size_t kMaxEntries = kSlots / 2;

    IdentityCache() : slots_(new Slot[kSlots]()) {}

    // The stored result of `key` (found), else the slot to store it in
    // (nullptr when the cache is full).
    PyObject** find(PyObject* key, bool& found) {
        uint64_t a = reinterpret_cast<uintptr_t>(key) >> 4;
        for (size_t i = static_cast<size_t>((a * 0x9E3779B97F4A7C15ull) >> 52);; i = (i + 1) & (kSlots - 1)) {
            Slot& s = slots_[i];
            if (s.key == key) {
                found = true;
                return &s.value;
            }
            if (!s.key) {
                found = false;
                if (used_ == kMaxEntries) return nullptr;
                ++used_;
                s.key = key;
                return &s.value;
            }
        }
    }

  private:
    struct Slot {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
    };
    std::unique_ptr<Slot[]> slots_;
    size_t used_ = 0;
};

// The flat parse_batch of Word and Regex: one entry per input that matches at
// its start, in input order. `eval(item, out)` gives -1 with the error set, 0
// for no entry, or 1 with a new reference in `out` (the input itself when it
// is matched whole). Repeating inputs reuse the first period's results;
// otherwise an object met again reuses its result (neighbours always, others
// while the identity cache has room).
//
// `eval` makes only str objects, which never start a collection, so no code
// can run while the items are read in place. The entries go into a PyMem
// buffer (which never collects either), and the result list, whose making
// may start a collection, is made around that buffer once every item has
// been read.
template <class Eval>
PyObject* flat_parse_batch(PyObject* inputs, Eval&& eval) {
    Py_ssize_t n = PyList_GET_SIZE(inputs);
    PyObject* const* items = reinterpret_cast<PyListObject*>(inputs)->ob_item;
    if (n == 0) return new_list(0);
    Py_ssize_t k = (!kPlainPaths && n >= 2) ? find_identity_period(items, n) : 0;
    Py_ssize_t limit = k ? k : n;
    IdentityCache seen;
    PyObject** out = PyMem_New(PyObject*, static_cast<size_t>(limit));
    if (!out) return PyErr_NoMemory();
    Py_ssize_t used = 0;
    PyObject* prev_item = nullptr;
    PyObject* prev_result = nullptr;
    for (Py_ssize_t i = 0; i < limit; ++i) {
        PyObject* item = items[i];
        PyObject* r = nullptr;
        if constexpr (!kPlainPaths) {
            if (item == prev_item) {
                if (prev_result) {
                    Py_INCREF(prev_result);
                    out[used++] = prev_result;
                }
                continue;
            }
        }
        PyObject** slot = nullptr;
        bool found = false;
        if constexpr (!kPlainPaths) slot = seen.find(item, found);
        if (found) {
            r = *slot;
            if (r) Py_INCREF(r);
        } else {
            int e = eval(item, r);
            if (e < 0) {
                for (Py_ssize_t j = 0; j < used; ++j) Py_DECREF(out[j]);
                PyMem_Free(out);
                return nullptr;
            }
            if (!e) r = nullptr;
            if (slot) *slot = r;
        }
        if (r) out[used++] = r;
        prev_item = item;
        prev_result = r;
    }
    if (used == 0) {
        PyMem_Free(out);
        return new_list(0);
    }
    // A list keeps its storage, so room for the unmatched items is given back.
    if (used < limit / 2)
        if (auto* fit = static_cast<PyObject**>(PyMem_Realloc(out, sizeof(PyObject*) * static_cast<size_t>(used))))
            out = fit;
    PyObject* list = list_from_buffer(out, used);
    if (!k) return list;
    PyObject* repeated = PySequence_Repeat(list, n / k);
    Py_DECREF(list);
    if (!repeated) fatal_python_error("could not make a list result");
    return repeated;
}

}  // namespace qgx
