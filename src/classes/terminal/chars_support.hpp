// What the Word and Regex classes share: the map from input object to its
// result and the flat parse_batch built on it.
#pragma once

#include <vector>

#include "lib/engines.hpp"
#include "lib/text_map.hpp"
#include "python/class_frame.hpp"

namespace qgx {

// Input object -> its result (a borrowed str, or nullptr for no entry), for
// every object of a call that may be met again. Open addressing over a
// power-of-two table that doubles at half load, so a lookup stays one or two
// probes however many objects a list holds. The first table is inline (a
// call with few shared objects allocates nothing); a larger one is
// TableMemory.
class IdentityMap {
  public:
    struct Slot {
        PyObject* key;
        PyObject* value;
    };

    IdentityMap() : slots_(inline_), mask_(kInlineSlots - 1) {
        for (Slot& s : inline_) s = Slot{nullptr, nullptr};
    }
    IdentityMap(const IdentityMap&) = delete;
    IdentityMap& operator=(const IdentityMap&) = delete;
    ~IdentityMap() {
        if (slots_ != inline_) TableMemory::release(slots_, (mask_ + 1) * sizeof(Slot));
    }

    // The slot of `key`: `found` tells whether it was stored before (its
    // value is the stored result); a new slot holds the key, its value to be
    // written by the caller. nullptr with MemoryError set when the table
    // cannot grow.
    Slot* find_or_insert(PyObject* key, bool& found) {
        Slot* s = probe(slots_, mask_, key);
        if (s->key == key) {
            found = true;
            return s;
        }
        found = false;
        if (2 * (used_ + 1) > mask_ + 1) {
            if (!grow()) return nullptr;
            s = probe(slots_, mask_, key);
        }
        ++used_;
        s->key = key;
        s->value = nullptr;
        return s;
    }

  private:
    static constexpr size_t kInlineSlots = 64;

    // The slot holding `key`, or the empty slot where it would go.
    static Slot* probe(Slot* slots, size_t mask, PyObject* key) {
        uint64_t a = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(key)) >> 4;
        for (size_t i = static_cast<size_t>((a * 0x9E3779B97F4A7C15ull) >> 32) & mask;; i = (i + 1) & mask) {
            Slot* s = slots + i;
            if (s->key == key || !s->key) return s;
        }
    }

    bool grow() {
        size_t cap = (mask_ + 1) * 2;
        auto* bigger = static_cast<Slot*>(TableMemory::allocate(cap * sizeof(Slot)));
        if (!bigger) {
            PyErr_NoMemory();
            return false;
        }
        for (size_t i = 0; i <= mask_; ++i)
            if (slots_[i].key) *probe(bigger, cap - 1, slots_[i].key) = slots_[i];
        if (slots_ != inline_) TableMemory::release(slots_, (mask_ + 1) * sizeof(Slot));
        slots_ = bigger;
        mask_ = cap - 1;
        return true;
    }

    Slot inline_[kInlineSlots];
    Slot* slots_;
    size_t mask_;
    size_t used_ = 0;
};

// The flat parse_batch of Word and Regex: one entry per input that matches at
// its start, in input order. `eval(item, out)` gives -1 with the error set, 0
// for no entry, or 1 with a new reference in `out` (the input itself when it
// is matched whole). Repeating inputs reuse the first period's results;
// otherwise an object met again reuses its result: a neighbour through the
// previous item, any other through the identity map.
//
// An item whose reference count is 1 is held by this list alone, at this one
// position, so it cannot be met again: it is evaluated without a map entry.
// A list of distinct strings made for the call (the common batch) then pays
// no map at all, and the map holds only objects that can recur.
//
// `eval` makes only str objects, which never start a collection, so no code
// can run while the items are read in place; the only reference counts that
// change meanwhile are the ones this call raises, so an item that stands at
// two positions never looks held once. The entries go into a PyMem buffer (which
// never collects either), and the result list, whose making may start a
// collection, is made around that buffer once every item has been read.
template <class Eval>
PyObject* flat_parse_batch(PyObject* inputs, Eval&& eval) {
    Py_ssize_t n = PyList_GET_SIZE(inputs);
    PyObject* const* items = reinterpret_cast<PyListObject*>(inputs)->ob_item;
    if (n == 0) return new_list(0);
    Py_ssize_t k = (!kPlainPaths && n >= 2) ? find_identity_period(items, n) : 0;
    Py_ssize_t limit = k ? k : n;
    PendingRefs out;
    out.reserve(static_cast<size_t>(limit));
    IdentityMap seen;
    PyObject* prev_item = nullptr;
    PyObject* prev_result = nullptr;
    for (Py_ssize_t i = 0; i < limit; ++i) {
        PyObject* item = items[i];
        PyObject* r = nullptr;
        if constexpr (!kPlainPaths) {
            if (item == prev_item) {
                if (prev_result) {
                    Py_INCREF(prev_result);
                    out.push(prev_result);
                }
                continue;
            }
        }
        IdentityMap::Slot* slot = nullptr;
        bool found = false;
        if (!kPlainPaths && Py_REFCNT(item) != 1) {
            slot = seen.find_or_insert(item, found);
            if (!slot) return nullptr;
        }
        if (found) {
            r = slot->value;
            if (r) Py_INCREF(r);
        } else {
            int e = eval(item, r);
            if (e < 0) return nullptr;
            if (!e) r = nullptr;
            if (slot) slot->value = r;
        }
        if (r) out.push(r);
        prev_item = item;
        prev_result = r;
    }
    if (out.empty()) return new_list(0);
    // A list keeps its storage, so room for the unmatched items is given back.
    PyObject* list = out.into_list();
    if (!k) return list;
    PyObject* repeated = PySequence_Repeat(list, n / k);
    Py_DECREF(list);
    return repeated ? repeated : ensure_error();
}

}  // namespace qgx
