// The per-call maps from matched text to what was made for it: every search
// and batch result gives equal texts of one call one shared str.
#pragma once

#include <cstdint>
#include <cstring>
#include <ctime>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include <sys/mman.h>
#if defined(__linux__)
#include <sys/random.h>
#endif

#include "elements/element.hpp"
#include "python/class_frame.hpp"

namespace qgx {

// Adds `n` references to `o` in one step. A debug interpreter keeps a total
// of all references, which only Py_INCREF updates.
inline void add_refs(PyObject* o, Py_ssize_t n) {
#ifdef Py_REF_DEBUG
    for (Py_ssize_t i = 0; i < n; ++i) Py_INCREF(o);
#else
    if (n) Py_SET_REFCNT(o, Py_REFCNT(o) + n);
#endif
}

// The key of the text maps' hash, drawn once per process: the matched texts
// come from the caller, and a fixed hash would let crafted input put every
// text in one probe run (each insert then walks all the others). The key is
// the kernel's randomness, or, failing that, clock and address entropy.
struct TextHashKey {
    uint64_t k[4];
};

inline TextHashKey make_text_hash_key() {
    TextHashKey key{};
    bool filled = false;
#if defined(__linux__)
    filled = getrandom(key.k, sizeof key.k, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof key.k);
#endif
    if (!filled) {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        uint64_t x = static_cast<uint64_t>(ts.tv_nsec) ^ (static_cast<uint64_t>(ts.tv_sec) << 30) ^
                     reinterpret_cast<uintptr_t>(&key) ^ (reinterpret_cast<uintptr_t>(&make_text_hash_key) << 17);
        for (uint64_t& w : key.k) {
            // splitmix64 steps over the entropy gathered.
            x += 0x9E3779B97F4A7C15ull;
            uint64_t z = x;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            w = z ^ (z >> 31);
        }
    }
    // The multipliers must not be zero, which would send every text to one slot.
    key.k[1] |= 1;
    key.k[3] |= 1;
    return key;
}

// The process's key, made on first use (thread-safe) and never changed.
inline const TextHashKey& text_hash_key() {
    static const TextHashKey key = make_text_hash_key();
    return key;
}

namespace text_hash {

// Up to 8 bytes as one word, loaded without a library call. Two loads
// cover 4..8 bytes and three cover 1..3, overlapping, so for a given
// length equal words mean equal bytes.
inline uint64_t short_word(const char* p, size_t n) {
    if (n >= 4) {
        uint32_t a, b;
        std::memcpy(&a, p, 4);
        std::memcpy(&b, p + n - 4, 4);
        return a | (uint64_t{b} << 32);
    }
    if (n == 0) return 0;
    return uint64_t{static_cast<uint8_t>(p[0])} | uint64_t{static_cast<uint8_t>(p[n / 2])} << 8 |
           uint64_t{static_cast<uint8_t>(p[n - 1])} << 16;
}

inline bool same_bytes(const char* a, const char* b, size_t n) {
    if (n <= 8) return short_word(a, n) == short_word(b, n);
    return std::memcmp(a, b, n) == 0;
}

// The high and low halves of the full product, folded: every bit of
// either factor reaches every bit of the result.
inline uint64_t fold_mul(uint64_t a, uint64_t b) {
    unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
    return static_cast<uint64_t>(r) ^ static_cast<uint64_t>(r >> 64);
}

// A keyed multiply-fold over 8-byte words (the texts are short matches:
// one or two products for most), then one more keyed fold, so that no
// choice of texts made without the key puts them in one probe run. Past
// 16 bytes two lanes take alternate words, each with its own key, so
// that a long text (a line) waits on half as many products in a row.
inline uint64_t hash(const TextHashKey& key, std::string_view k) {
    const char* p = k.data();
    size_t n = k.size();
    uint64_t h = key.k[0] ^ n;
    uint64_t h2 = key.k[2] ^ n;
    for (; n > 16; p += 16, n -= 16) {
        uint64_t w, w2;
        std::memcpy(&w, p, 8);
        std::memcpy(&w2, p + 8, 8);
        h = fold_mul(h ^ w, key.k[1]);
        h2 = fold_mul(h2 ^ w2, key.k[3]);
    }
    if (n > 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        h = fold_mul(h ^ w, key.k[1]);
        p += 8;
        n -= 8;
    }
    h = fold_mul(h ^ short_word(p, n), key.k[1]);
    return fold_mul(h ^ h2, key.k[3]);
}

}  // namespace text_hash

// Zeroed memory for a large lookup table. A table of millions of slots is
// written at random, so each of its pages is touched at once and costs a
// page fault; above a few MiB it is mapped directly and marked for huge
// pages where the system offers them, which turns thousands of faults into a
// few. Smaller tables come from PyMem's calloc. Neither starts a collection.
class TableMemory {
  public:
    static constexpr size_t kMapFrom = size_t{4} << 20;

    // nullptr when the memory cannot be had.
    static void* allocate(size_t bytes) {
        if (bytes < kMapFrom) return PyMem_Calloc(1, bytes);
        void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return nullptr;
#ifdef MADV_HUGEPAGE
        madvise(p, bytes, MADV_HUGEPAGE);  // advice only: refused, the table still works
#endif
        return p;
    }
    static void release(void* p, size_t bytes) {
        if (bytes < kMapFrom)
            PyMem_Free(p);
        else
            munmap(p, bytes);
    }

    // The block `p` of `bytes` grown to `bigger` bytes, its contents kept and
    // the rest zeroed; nullptr (the block untouched) when that cannot be had.
    // A mapped block is remapped, so its pages move without a copy and the
    // old and the new block are never both held; a small one is copied.
    static void* grow(void* p, size_t bytes, size_t bigger) {
#if defined(__linux__) && defined(MREMAP_MAYMOVE)
        if (bytes >= kMapFrom) {
            void* q = mremap(p, bytes, bigger, MREMAP_MAYMOVE);
            if (q == MAP_FAILED) return nullptr;
#ifdef MADV_HUGEPAGE
            madvise(q, bigger, MADV_HUGEPAGE);
#endif
            return q;  // the pages past `bytes` are new, hence zero
        }
#endif
        void* q = allocate(bigger);
        if (!q) return nullptr;
        std::memcpy(q, p, bytes);
        release(p, bytes);
        return q;
    }
};

// An open-addressing map from texts of the call's input to a value: no node
// per entry, the hash kept beside the key, doubling at half load. The keys
// point into the texts of the call, which outlive the map.
template <class V>
class TextMap {
  public:
    // Room for about `hint` keys before the first doubling.
    explicit TextMap(size_t hint) : key_(text_hash_key()) {
        size_t cap = 16;
        while (cap < hint * 2) cap <<= 1;
        slots_.assign(cap, Slot{});
    }

    // The value of `key`; `fresh` is set when it was not there and a slot was
    // made for it, whose value the caller fills.
    V& find_or_insert(std::string_view key, bool& fresh) { return find_or_insert(key, slot_hash(key), fresh); }

    // The hash find_or_insert uses, and a hint that brings that key's first
    // slot into the cache: a caller with lookups queued asks a few ahead, so
    // that the cache misses of a map larger than the cache overlap.
    uint32_t slot_hash(std::string_view key) const { return static_cast<uint32_t>(text_hash::hash(key_, key)); }
    void prefetch(uint32_t h) const { __builtin_prefetch(&slots_[h & (slots_.size() - 1)]); }

    // find_or_insert with the key's slot_hash already known.
    V& find_or_insert(std::string_view key, uint32_t h, bool& fresh) {
        const size_t mask = slots_.size() - 1;
        for (size_t i = h & mask;; i = (i + 1) & mask) {
            ++probes_;
            Slot& s = slots_[i];
            if (!s.data) {
                if ((size_ + 1) * 2 > slots_.size()) {
                    grow();
                    return find_or_insert(key, h, fresh);
                }
                // An empty slot has no data, so an empty key gets a non-null one.
                s = Slot{key.data() ? key.data() : "", V{}, static_cast<uint32_t>(key.size()), h};
                ++size_;
                fresh = true;
                return s.value;
            }
            if (s.hash == h && s.len == key.size() && text_hash::same_bytes(s.data, key.data(), key.size())) {
                fresh = false;
                return s.value;
            }
        }
    }

    // The slots looked at by every find_or_insert so far (for tests of the
    // worst case).
    uint64_t probes() const { return probes_; }
    size_t size() const { return size_; }
    size_t capacity() const { return slots_.size(); }

    // The hash of a key under the process's key (for tests).
    uint64_t hash_of(std::string_view key) const { return text_hash::hash(key_, key); }

  private:
    struct Slot {
        const char* data = nullptr;
        V value{};
        uint32_t len = 0;
        uint32_t hash = 0;
    };
    void grow() {
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(old.size() * 2, Slot{});
        const size_t mask = slots_.size() - 1;
        for (Slot& s : old) {
            if (!s.data) continue;
            size_t i = s.hash & mask;
            while (slots_[i].data) i = (i + 1) & mask;
            slots_[i] = s;
        }
    }

    TextHashKey key_;
    std::vector<Slot> slots_;
    size_t size_ = 0;
    uint64_t probes_ = 0;
};

namespace text_hash {

// Whether the `len` characters at `d` are those of the UTF-8 text [b, b + n).
template <class Ch>
bool same_characters(const Ch* d, Py_ssize_t len, const unsigned char* b, Pos n) {
    Py_ssize_t k = 0;
    for (Pos i = 0; i < n; ++k) {
        if (k == len) return false;
        uint32_t c = b[i];
        if (c < 0x80) {
            i += 1;
        } else if (c < 0xE0) {
            if (n - i < 2) return false;
            c = (c & 0x1Fu) << 6 | (b[i + 1] & 0x3Fu);
            i += 2;
        } else if (c < 0xF0) {
            if (n - i < 3) return false;
            c = (c & 0x0Fu) << 12 | (b[i + 1] & 0x3Fu) << 6 | (b[i + 2] & 0x3Fu);
            i += 3;
        } else {
            if (n - i < 4) return false;
            c = (c & 0x07u) << 18 | (b[i + 1] & 0x3Fu) << 12 | (b[i + 2] & 0x3Fu) << 6 | (b[i + 3] & 0x3Fu);
            i += 4;
        }
        if (d[k] != c) return false;
    }
    return k == len;
}

}  // namespace text_hash

// Whether the str `o` holds exactly the characters of the UTF-8 text
// [p, p + n) (whole characters, as every matched text is). A str is stored
// by one byte per character when all are ASCII, so those compare as bytes;
// any other is compared character by character.
inline bool str_holds_text(PyObject* o, const char* p, Pos n) {
    const Py_ssize_t len = PyUnicode_GET_LENGTH(o);
    if (PyUnicode_IS_ASCII(o)) return len == n && text_hash::same_bytes(static_cast<const char*>(PyUnicode_DATA(o)), p, n);
    if (len >= static_cast<Py_ssize_t>(n)) return false;  // a character beyond ASCII takes two bytes or more
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    switch (PyUnicode_KIND(o)) {
        case PyUnicode_1BYTE_KIND:
            return text_hash::same_characters(PyUnicode_1BYTE_DATA(o), len, b, n);
        case PyUnicode_2BYTE_KIND:
            return text_hash::same_characters(PyUnicode_2BYTE_DATA(o), len, b, n);
        default:
            return text_hash::same_characters(PyUnicode_4BYTE_DATA(o), len, b, n);
    }
}

// Equal texts of one call share one str. The map holds borrowed references:
// the caller keeps every reference it is given (one per occurrence) for as
// long as the interner lives, so the first one keeps the str alive.
//
// Its table is what a search of many distinct texts pays beside its result,
// so each slot is 16 bytes: the str itself, which holds the text (a lookup
// compares against the str's own characters, not against the text where it
// was first found), the text's hash and its length. It fills to three
// quarters before it doubles, and it doubles in place: a mapped table is
// remapped (no second table beside it) and its entries are moved within it.
class TextInterner {
  public:
    explicit TextInterner(size_t hint = 32) : key_(text_hash_key()) {
        size_t cap = 16;
        while (cap / 4 * 3 < hint) cap <<= 1;
        slots_ = static_cast<Slot*>(TableMemory::allocate(cap * sizeof(Slot)));
        if (!slots_) throw std::bad_alloc();
        mask_ = cap - 1;
    }
    ~TextInterner() { TableMemory::release(slots_, (mask_ + 1) * sizeof(Slot)); }
    TextInterner(const TextInterner&) = delete;
    TextInterner& operator=(const TextInterner&) = delete;

    // A new reference to the str of these bytes (whole characters), made at
    // their first occurrence.
    // Inline: a search asks once per token, mostly for a text already held.
    [[gnu::always_inline]] PyObject* get(const char* p, Pos n) { return get(p, n, hash_of(p, n)); }
    PyObject* get(std::string_view key) { return get(key.data(), static_cast<Pos>(key.size())); }

    // For lookups queued ahead: the key's hash, with its slot asked into the
    // cache; the lookup is then get with that hash.
    uint32_t prepare(const char* p, Pos n) {
        uint32_t h = hash_of(p, n);
        __builtin_prefetch(&slots_[h & mask_]);
        return h;
    }
    // Whether the map has outgrown the nearer caches (64Ki slots, 1 MiB),
    // so that a lookup is likely a miss.
    bool large() const { return mask_ + 1 >= (size_t{1} << 16); }

    [[gnu::always_inline]] PyObject* get(const char* p, Pos n, uint32_t h) {
        const uint32_t len = stored_len(n);
        for (size_t i = h & mask_;; i = (i + 1) & mask_) {
            Slot& s = slots_[i];
            if (!s.str) {
                return add(i, p, n, h);
            }
            if (s.hash == h && s.len == len && str_holds_text(s.str, p, n)) {
                Py_INCREF(s.str);
                return s.str;
            }
        }
    }

    // For tests: the distinct texts held and the slots of the table.
    size_t size() const { return size_; }
    size_t capacity() const { return mask_ + 1; }

  private:
    // The text's first occurrence, at empty slot i of its probe run (or of
    // the doubled table's).
    [[gnu::noinline]] PyObject* add(size_t i, const char* p, Pos n, uint32_t h) {
        if ((size_ + 1) * 4 > (mask_ + 1) * 3) {
            grow();
            for (i = h & mask_; slots_[i].str; i = (i + 1) & mask_) {
            }
        }
        slots_[i] = Slot{new_str(p, n), h, stored_len(n)};
        ++size_;
        return slots_[i].str;
    }
    struct Slot {
        PyObject* str;  // nullptr: empty
        uint32_t hash;
        uint32_t len;  // the text's length in bytes, up to kMoved - 1; kMoved marks an entry during a doubling
    };
    static_assert(sizeof(Slot) == 16);
    static constexpr uint32_t kMoved = uint32_t{1} << 31;
    // A length kept in 31 bits: longer texts share one value, which only
    // makes the length test weaker for them.
    static uint32_t stored_len(Pos n) { return n < kMoved ? n : kMoved - 1; }

    uint32_t hash_of(const char* p, Pos n) const {
        return static_cast<uint32_t>(text_hash::hash(key_, std::string_view(p, n)));
    }

    // Doubles the table in place. Every entry is marked; then each marked
    // entry, in slot order, is lifted out and put at the first slot of its
    // new probe run that is empty or holds a marked entry, which it displaces
    // and whose placing goes on the same way. An entry once placed is never
    // moved again, and every slot before it on its run held a placed entry
    // when it was placed, so every run stays unbroken.
    void grow() {
        const size_t old_cap = mask_ + 1, cap = old_cap * 2;
        auto* s = static_cast<Slot*>(TableMemory::grow(slots_, old_cap * sizeof(Slot), cap * sizeof(Slot)));
        if (!s) throw std::bad_alloc();
        slots_ = s;
        mask_ = cap - 1;
        for (size_t i = 0; i < old_cap; ++i)
            if (s[i].str) s[i].len |= kMoved;
        for (size_t i = 0; i < old_cap; ++i) {
            if (!s[i].str || !(s[i].len & kMoved)) continue;
            Slot e = s[i];
            s[i] = Slot{};
            for (;;) {
                e.len &= ~kMoved;
                size_t j = e.hash & mask_;
                while (s[j].str && !(s[j].len & kMoved)) j = (j + 1) & mask_;
                if (!s[j].str) {
                    s[j] = e;
                    break;
                }
                std::swap(e, s[j]);
            }
        }
    }

    TextHashKey key_;
    Slot* slots_ = nullptr;
    size_t mask_ = 0;
    size_t size_ = 0;
};

// The lookups of an interner queued a few texts ahead once its map is
// large: each text's slot is asked into the cache when it is pushed and read
// kAhead pushes later, so that the misses overlap. While the map is small
// the queue only costs, and each text is looked up at once. `sink` gets each
// str (a new reference) in push order; finish() hands over the last ones.
template <class Sink>
class InternQueue {
  public:
    InternQueue(TextInterner& made, Sink& sink) : made_(made), sink_(sink) {}

    void push(const char* p, Pos n) {
        if (pushed_ == taken_ && !made_.large()) {
            sink_(made_.get(p, n));
            return;
        }
        if (pushed_ - taken_ == kAhead) pop();
        queue_[pushed_++ % kAhead] = Item{p, n, made_.prepare(p, n)};
    }
    void finish() {
        while (taken_ < pushed_) pop();
    }

  private:
    static constexpr unsigned kAhead = 8;
    struct Item {
        const char* data;
        Pos len;
        uint32_t hash;
    };
    void pop() {
        const Item& it = queue_[taken_++ % kAhead];
        sink_(made_.get(it.data, it.len, it.hash));
    }
    TextInterner& made_;
    Sink& sink_;
    Item queue_[kAhead];
    uint64_t pushed_ = 0, taken_ = 0;
};

}  // namespace qgx
