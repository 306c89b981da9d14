// What the Word and Regex classes share: the per-call map from matched text
// to the str made for it, the map from input object to its result, and the
// flat parse_batch built on them.
#pragma once

#include <cstring>
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

// Input object -> its result (a borrowed str, or nullptr for no entry).
class IdentityMap {
  public:
    explicit IdentityMap(size_t expected) {
        size_t cap = 64;
        while (cap < expected * 2) cap *= 2;
        slots_.resize(cap);
    }

    // The slot of `key`; `found` says whether it was there already.
    PyObject** find(PyObject* key, bool& found) {
        size_t mask = slots_.size() - 1;
        for (size_t i = home(key, mask);; i = (i + 1) & mask) {
            if (slots_[i].key == key) {
                found = true;
                return &slots_[i].value;
            }
            if (!slots_[i].key) {
                found = false;
                if ((used_ + 1) * 2 > slots_.size()) {
                    grow();
                    return find(key, found);
                }
                ++used_;
                slots_[i].key = key;
                return &slots_[i].value;
            }
        }
    }

  private:
    struct Slot {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
    };
    static size_t home(PyObject* key, size_t mask) {
        uint64_t a = reinterpret_cast<uintptr_t>(key) >> 4;
        return static_cast<size_t>((a * 0x9E3779B97F4A7C15ull) >> 20) & mask;
    }
    void grow() {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        size_t mask = slots_.size() - 1;
        for (const Slot& s : old) {
            if (!s.key) continue;
            size_t i = home(s.key, mask);
            while (slots_[i].key) i = (i + 1) & mask;
            slots_[i] = s;
        }
    }
    std::vector<Slot> slots_;
    size_t used_ = 0;
};

// A list owning the references in `refs` (moved in, in order).
inline PyObject* list_from_refs(const std::vector<PyObject*>& refs) {
    PyObject* list = new_list(static_cast<Py_ssize_t>(refs.size()));
    if (!refs.empty())
        std::memcpy(reinterpret_cast<PyListObject*>(list)->ob_item, refs.data(), refs.size() * sizeof(PyObject*));
    return list;
}

inline void release_refs(const std::vector<PyObject*>& refs) {
    for (PyObject* o : refs) Py_DECREF(o);
}

// The flat parse_batch of Word and Regex: one entry per input that matches at
// its start, in input order. `eval(item, out)` gives -1 with the error set, 0
// for no entry, or 1 with a new reference in `out` (the input itself when it
// is matched whole). Repeating inputs reuse the first period's results;
// otherwise each distinct object is evaluated once.
template <class Eval>
PyObject* flat_parse_batch(PyObject* inputs, Eval&& eval) {
    Py_ssize_t n = PyList_GET_SIZE(inputs);
    PyObject* const* items = reinterpret_cast<PyListObject*>(inputs)->ob_item;
    if (n == 0) return new_list(0);
    std::vector<PyObject*> results;
    if constexpr (kPlainPaths) {
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* r = nullptr;
            int e = eval(items[i], r);
            if (e < 0) {
                release_refs(results);
                return nullptr;
            }
            if (e) results.push_back(r);
        }
        return list_from_refs(results);
    }
    Py_ssize_t k = n >= 2 ? find_identity_period(items, n) : 0;
    Py_ssize_t limit = k ? k : n;
    IdentityMap seen(static_cast<size_t>(limit));
    results.reserve(static_cast<size_t>(k ? k : (n < 1024 ? n : 1024)));
    for (Py_ssize_t i = 0; i < limit; ++i) {
        bool found = false;
        PyObject** slot = seen.find(items[i], found);
        if (found) {
            if (*slot) {
                Py_INCREF(*slot);
                results.push_back(*slot);
            }
            continue;
        }
        PyObject* r = nullptr;
        int e = eval(items[i], r);
        if (e < 0) {
            release_refs(results);
            return nullptr;
        }
        *slot = e ? r : nullptr;
        if (e) results.push_back(r);
    }
    if (!k) return list_from_refs(results);
    PyObject* block = list_from_refs(results);
    if (results.empty()) return block;
    PyObject* out = PySequence_Repeat(block, n / k);
    Py_DECREF(block);
    if (!out) fatal_python_error("could not make a list result");
    return out;
}

}  // namespace qgx
