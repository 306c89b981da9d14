// The items of a batch operation's inputs list, fixed when the call begins.
#pragma once

#include "python/ref.hpp"

namespace qgx {

// A snapshot of the leading item pointers of a list, each held by a strong
// reference. A batch that makes result lists can start a garbage collection,
// which runs finalizers, gc callbacks and weakref callbacks and can hand the
// interpreter lock to another thread; any of them may clear, shrink, grow or
// refill the caller's list. Reading the snapshot instead of the list keeps
// every item and its UTF-8 text alive and gives the result for the list as it
// stood when the call began. The buffer comes from PyMem, which never
// collects, so taking the snapshot runs nothing.
//
// The buffer is the storage a list uses, so it can become the result list
// itself (`into_list`): each slot then holds its item until the batch puts
// the item's result there, and no second buffer of n pointers is written.
class BatchInputs {
  public:
    BatchInputs() = default;
    BatchInputs(const BatchInputs&) = delete;
    BatchInputs& operator=(const BatchInputs&) = delete;
    ~BatchInputs() {
        for (Py_ssize_t i = 0; i < n_; ++i) Py_DECREF(items_[i]);
        PyMem_Free(items_);
    }

    // Takes the first `m` items of `list` (a list or subclass holding at least
    // m). False with MemoryError set when the buffer cannot be had.
    [[nodiscard]] bool take(PyObject* list, Py_ssize_t m) {
        if (m == 0) return true;
        PyObject** buf = PyMem_New(PyObject*, static_cast<size_t>(m));
        if (!buf) {
            PyErr_NoMemory();
            return false;
        }
        PyObject* const* src = reinterpret_cast<PyListObject*>(list)->ob_item;
        for (Py_ssize_t i = 0; i < m; ++i) {
            PyObject* o = src[i];
            Py_INCREF(o);
            buf[i] = o;
        }
        items_ = buf;
        n_ = m;
        return true;
    }

    PyObject* const* items() const { return items_; }
    Py_ssize_t size() const { return n_; }

    // A new list of size() slots holding the items, their references handed
    // over; the snapshot is empty afterwards. The list is hidden from the
    // collector, so that no callback can find it through gc.get_objects() and
    // change it while the batch writes its slots: the caller publishes it with
    // `publish_list` once every slot holds its result (or releases it).
    // Throws std::bad_alloc when the list cannot be made; the snapshot then
    // still holds the items.
    PyObject* into_list();

  private:
    PyObject** items_ = nullptr;
    Py_ssize_t n_ = 0;
};

// A new list whose storage is `buf` (from PyMem, `n` slots, each holding a
// reference that the list takes over). Making the list may start a
// collection; the buffer is reachable from nowhere until it is in the list.
// Throws std::bad_alloc when the list cannot be made; the buffer and its
// references are then still the caller's.
PyObject* list_from_buffer(PyObject** buf, Py_ssize_t n);
// Gives `list`, a new empty list, the storage `buf` as list_from_buffer
// does. Makes nothing, so it cannot fail.
void adopt_buffer(PyObject* list, PyObject** buf, Py_ssize_t n);

// Makes a list from `into_list` visible to the collector again.
inline PyObject* publish_list(PyObject* list) {
    PyObject_GC_Track(list);
    return list;
}

// A result list of a batch, hidden from the collector while the batch makes
// the rest. A batch makes one list per item, and each counts towards the
// collector's next pass: were each in view as soon as made, every pass would
// walk the lists made so far, young and then older again, however many
// there are. A hidden list is one the collector takes as held from outside;
// it holds only strs, so it closes no cycle. Until the batch publishes its
// result, code run by a collection can reach one only through a block of
// results already whole (the reuse paths repeat a published block).
inline PyObject* hide_result(PyObject* list) {
    PyObject_GC_UnTrack(list);
    return list;
}

// A new list of `n` slots made hidden (as by hide_result), which the caller
// fills at once, before anything else runs: its slots are not cleared. The
// object is the one PyList_New makes, without the tracking that hide_result
// would undo. Making it may start a collection; filling it runs nothing.
// Throws std::bad_alloc when it cannot be made, as new_list does.
PyObject* new_hidden_list(Py_ssize_t n);

// A list of `n` slots made by new_hidden_list and filled in order. When the
// filling stops early (making an item failed), the list is cut to the slots
// written and released with the filler, so no slot is read that was never
// written and no half-filled list is left behind.
class HiddenListFill {
  public:
    explicit HiddenListFill(Py_ssize_t n) : list_(new_hidden_list(n)) {}
    HiddenListFill(const HiddenListFill&) = delete;
    HiddenListFill& operator=(const HiddenListFill&) = delete;
    ~HiddenListFill() {
        if (!list_) return;
        Py_SET_SIZE(reinterpret_cast<PyVarObject*>(list_), filled_);
        Py_DECREF(list_);
    }
    // Takes over `o`, a new reference, into the next slot.
    void put(PyObject* o) { reinterpret_cast<PyListObject*>(list_)->ob_item[filled_++] = o; }
    // The list, every slot written; still hidden.
    PyObject* release() {
        PyObject* l = list_;
        list_ = nullptr;
        return l;
    }

  private:
    PyObject* list_;
    Py_ssize_t filled_ = 0;
};

// Makes every list hidden by `hide_result` or made by `new_hidden_list` among
// the items of `out` (a published result, in which a shared item appears more
// than once) visible again. Runs no code of the interpreter's.
void publish_items(PyObject* out);

}  // namespace qgx
