// What the Word and Regex classes share: the per-call map from matched text
// to the str made for it, the map from input object to its result, and the
// flat parse_batch built on them.
#pragma once

#include <cstring>
#include <memory>
#include <vector>

#include "lib/engines.hpp"
#include "python/class_frame.hpp"

namespace qgx {

// Adds `k` references to `o` in one step.
inline void add_refs(PyObject* o, Py_ssize_t k) { Py_SET_REFCNT(o, Py_REFCNT(o) + k); }

inline uint64_t hash_bytes(const char* p, Pos n) {
    uint64_t h = 0x9E3779B97F4A7C15ull ^ (uint64_t{n} * 0xC2B2AE3D27D4EB4Full);
    while (n >= 8) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        h = (h ^ v) * 0xFF51AFD7ED558CCDull;
        h ^= h >> 32;
        p += 8;
        n -= 8;
    }
    uint64_t v = 0;
    std::memcpy(&v, p, n);
    h = (h ^ v) * 0xC4CEB9FE1A85EC53ull;
    return h ^ (h >> 29);
}

// Matched text -> the one str made for it in this call. Holds one reference
// to each str it made and drops them when it goes.
class TextStrMap {
  public:
    TextStrMap() { slots_.resize(64); }
    ~TextStrMap() {
        for (Slot& s : slots_)
            if (s.str) Py_DECREF(s.str);
    }
    TextStrMap(const TextStrMap&) = delete;
    TextStrMap& operator=(const TextStrMap&) = delete;

    // A new reference to the str of these bytes (whole characters), made on first sight.
    PyObject* get(const char* p, Pos n) {
        uint64_t h = hash_bytes(p, n);
        size_t mask = slots_.size() - 1;
        for (size_t i = h & mask;; i = (i + 1) & mask) {
            Slot& s = slots_[i];
            if (!s.str) {
                PyObject* str = new_str(p, n);
                s = {p, n, h, str};
                Py_INCREF(str);
                if (++used_ * 2 > slots_.size()) grow();
                return str;
            }
            if (s.hash == h && s.len == n && std::memcmp(s.data, p, n) == 0) {
                Py_INCREF(s.str);
                return s.str;
            }
        }
    }

  private:
    struct Slot {
        const char* data = nullptr;
        Pos len = 0;
        uint64_t hash = 0;
        PyObject* str = nullptr;
    };
    void grow() {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        size_t mask = slots_.size() - 1;
        for (const Slot& s : old) {
            if (!s.str) continue;
            size_t i = s.hash & mask;
            while (slots_[i].str) i = (i + 1) & mask;
            slots_[i] = s;
        }
    }
    std::vector<Slot> slots_;
    size_t used_ = 0;
};

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

// Cuts `list` (made with room for `size` items, the first `used` filled) to
// its filled part.
inline PyObject* truncate_list(PyObject* list, Py_ssize_t used, Py_ssize_t size) {
    if (used < size && PyList_SetSlice(list, used, size, nullptr) < 0) fatal_python_error("could not cut a list result");
    return list;
}

// The flat parse_batch of Word and Regex: one entry per input that matches at
// its start, in input order. `eval(item, out)` gives -1 with the error set, 0
// for no entry, or 1 with a new reference in `out` (the input itself when it
// is matched whole). Repeating inputs reuse the first period's results;
// otherwise an object met again reuses its result (neighbours always, others
// while the identity cache has room).
template <class Eval>
PyObject* flat_parse_batch(PyObject* inputs, Eval&& eval) {
    Py_ssize_t n = PyList_GET_SIZE(inputs);
    PyObject* const* items = reinterpret_cast<PyListObject*>(inputs)->ob_item;
    if (n == 0) return new_list(0);
    Py_ssize_t k = (!kPlainPaths && n >= 2) ? find_identity_period(items, n) : 0;
    Py_ssize_t limit = k ? k : n;
    // Entries go straight into a list with room for every item; unfilled
    // slots stay NULL, which the list's release skips on the error path.
    PyObject* list = new_list(limit);
    PyObject** out = reinterpret_cast<PyListObject*>(list)->ob_item;
    Py_ssize_t used = 0;
    IdentityCache seen;
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
                Py_DECREF(list);
                return nullptr;
            }
            if (!e) r = nullptr;
            if (slot) *slot = r;
        }
        if (r) out[used++] = r;
        prev_item = item;
        prev_result = r;
    }
    truncate_list(list, used, limit);
    if (!k || used == 0) return list;
    PyObject* repeated = PySequence_Repeat(list, n / k);
    Py_DECREF(list);
    if (!repeated) fatal_python_error("could not make a list result");
    return repeated;
}

}  // namespace qgx
