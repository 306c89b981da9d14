// The result of every transform: the text with spans replaced, built as a
// str of its exact length and kind in one allocation, by block copies of the
// kept text and of the replacement (no intermediate byte buffer, no second
// copy, no decoding pass over an assembled text).
//
// The spans come from an enumerator that can be run more than once (a
// searcher, a table test, or a CompactSpans store that a scan filled), since
// the size must be known before the str is asked for.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "elements/element.hpp"
#include "elements/substring_search.hpp"
#include "python/class_frame.hpp"

namespace qgx {

// A matched span of the text: start < end for the scans, which keep only
// non-empty matches; a Regex's own iteration gives empty ones too
// (start == end), which the vector form of replace_spans takes.
struct Span {
    Pos start, end;
};

// The spans of one scan, in order and not overlapping, each stored as its
// distance from the previous span's end and its length: one byte where both
// are small, variable-length numbers otherwise, so that a span never costs
// more bytes than the text it covers together with the gap before it. The
// bytes sit in blocks that are never moved, so the store's peak is its size.
class CompactSpans {
  public:
    CompactSpans() = default;
    CompactSpans(const CompactSpans&) = delete;
    CompactSpans& operator=(const CompactSpans&) = delete;

    // `s` must begin at or after the end of the previous span. Throws
    // std::bad_alloc when memory is exhausted.
    void push_back(Span s) {
        const Pos gap = s.start - last_end_, len = s.end - s.start;
        last_end_ = s.end;
        ++count_;
        if (gap < 15 && len < 16) [[likely]] {
            put(static_cast<uint8_t>((gap << 4) | len));
            return;
        }
        put(static_cast<uint8_t>(((gap < 15 ? gap : 15) << 4) | (len < 16 ? len : 0)));
        if (gap >= 15) put_number(gap);
        if (len >= 16) put_number(len);
    }
    size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }

    // Calls sink(start, end) for each span, in order.
    template <class Sink>
    void for_each(Sink&& sink) const {
        Pos end = 0;
        for (size_t b = 0; b < blocks_.size(); ++b) {
            const uint8_t* p = blocks_[b].bytes.get();
            const uint8_t* stop = p + blocks_[b].used;
            while (p < stop) {
                const uint8_t head = *p++;
                Pos gap = head >> 4, len = head & 15;
                if (gap == 15) gap = get_number(p);
                if (len == 0) len = get_number(p);
                const Pos start = end + gap;
                end = start + len;
                sink(start, end);
            }
        }
    }

  private:
    struct Block {
        std::unique_ptr<uint8_t[]> bytes;
        size_t used = 0, cap = 0;
    };
    // A span's bytes never straddle two blocks: a new block is begun when
    // fewer than the longest span's bytes are left.
    static constexpr size_t kMaxSpanBytes = 11;

    void put(uint8_t b) {
        if (blocks_.empty() || blocks_.back().cap - blocks_.back().used < kMaxSpanBytes) add_block();
        Block& k = blocks_.back();
        k.bytes[k.used++] = b;
    }
    void put_number(Pos v) {
        Block& k = blocks_.back();
        while (v >= 0x80) {
            k.bytes[k.used++] = static_cast<uint8_t>(v | 0x80);
            v >>= 7;
        }
        k.bytes[k.used++] = static_cast<uint8_t>(v);
    }
    static Pos get_number(const uint8_t*& p) {
        Pos v = 0;
        for (int shift = 0;; shift += 7) {
            const uint8_t b = *p++;
            v |= static_cast<Pos>(b & 0x7F) << shift;
            if (b < 0x80) return v;
        }
    }
    void add_block() {
        // Small first, so that a transform with few matches asks for little.
        size_t cap = blocks_.empty() ? 256 : blocks_.back().cap * 2;
        if (cap > (size_t{1} << 16)) cap = size_t{1} << 16;
        Block k;
        k.bytes.reset(new uint8_t[cap]);
        k.cap = cap;
        blocks_.push_back(std::move(k));
    }

    std::vector<Block> blocks_;
    Pos last_end_ = 0;
    size_t count_ = 0;
};

// How many characters the UTF-8 bytes hold and their largest byte (which
// tells the widest character's class).
struct Utf8Shape {
    uint64_t chars = 0;
    unsigned char max_byte = 0;
    void add(const char* p, size_t n);
};

// The largest code point a str must be able to hold for characters whose
// UTF-8 bytes are at most `max_byte`: 127, 255, 0xFFFF or 0x10FFFF.
Py_UCS4 max_char_of(unsigned char max_byte);

// Writes the characters of the UTF-8 bytes (whole characters) at `out`,
// one unit per character; gives the end of what was written.
Py_UCS1* decode_utf8_into(const char* p, size_t n, Py_UCS1* out);
Py_UCS2* decode_utf8_into(const char* p, size_t n, Py_UCS2* out);
Py_UCS4* decode_utf8_into(const char* p, size_t n, Py_UCS4* out);

// Copies the bytes kept between spans and the replacement for each span into
// a byte buffer of exactly the result's size. Pieces of up to 16 bytes are
// copied as one fixed block where both sides have room: the output is
// written strictly forward, so what lies past a piece is overwritten next.
struct ReplacedBytesWriter {
    const char* src;
    size_t n;
    const char* repl;
    size_t rlen;
    char* dst;
    char* dst_end;
    size_t mark = 0;

    void operator()(Pos start, Pos end) {
        const size_t seg = start - mark;
        if (seg <= 16 && mark + 16 <= n && dst + 16 <= dst_end)
            std::memcpy(dst, src + mark, 16);
        else
            std::memcpy(dst, src + mark, seg);
        dst += seg;
        if (rlen <= 16 && dst + 16 <= dst_end && rlen_padded)
            std::memcpy(dst, repl_pad, 16);
        else
            std::memcpy(dst, repl, rlen);
        dst += rlen;
        mark = end;
    }
    void finish() { std::memcpy(dst, src + mark, n - mark); }

    ReplacedBytesWriter(const char* s, size_t n_, const char* r, size_t rl, char* out, size_t out_len)
        : src(s), n(n_), repl(r), rlen(rl), dst(out), dst_end(out + out_len) {
        if (rlen <= 16) {
            std::memcpy(repl_pad, repl, rlen);
            rlen_padded = true;
        }
    }

  private:
    char repl_pad[16] = {};
    bool rlen_padded = false;
};

namespace replaced_detail {

// The characters of the result, unit type C, written once.
template <class C, class Spans>
void write_units(Text t, const C* repl, size_t rchars, Spans& spans, C* out) {
    Pos mark = 0;
    spans.for_each([&](Pos start, Pos end) {
        out = decode_utf8_into(t.data + mark, start - mark, out);
        std::memcpy(out, repl, rchars * sizeof(C));
        out += rchars;
        mark = end;
    });
    decode_utf8_into(t.data + mark, t.len - mark, out);
}

template <class C, class Spans>
bool write_kind(Text t, Text replacement, uint64_t rchars, Spans& spans, PyObject* res) {
    // The replacement is decoded once, then copied per span.
    std::unique_ptr<C[]> repl(new (std::nothrow) C[rchars ? rchars : 1]);
    if (!repl) return false;
    decode_utf8_into(replacement.data, replacement.len, repl.get());
    write_units<C>(t, repl.get(), rchars, spans, static_cast<C*>(PyUnicode_DATA(res)));
    return true;
}

}  // namespace replaced_detail

// `t` with each span of `spans` replaced by `replacement`, as a new str (a
// new object even when there is no span). Spans: for_each(sink) calls
// sink(start, end) for each span, in order, not overlapping, on character
// boundaries, the same ones on every call. It may also give
//   tally(count, removed): the number of spans and the bytes they cover, and
//   write_bytes(out, len, replacement): the whole result as bytes (used when
//   the result is ASCII, so that its bytes are its characters),
// where it has a faster way to them. nullptr with MemoryError set when the
// result cannot be made.
template <class Spans>
PyObject* build_replaced(Text t, Text replacement, Spans& spans) {
    uint64_t count = 0, removed = 0;
    if constexpr (requires { spans.tally(count, removed); }) {
        spans.tally(count, removed);
    } else {
        spans.for_each([&](Pos start, Pos end) {
            ++count;
            removed += end - start;
        });
    }
    if (count == 0) return new_str(t.data, t.len);
    // Below 2**64: the count and both lengths are below 2**32.
    const uint64_t bytes = t.len - removed + count * replacement.len;
    Utf8Shape kept, repl;
    repl.add(replacement.data, replacement.len);
    const bool ascii = repl.max_byte < 0x80 && all_ascii(t.data, t.len);
    if (ascii) {
        kept.chars = t.len - removed;
    } else {
        Pos mark = 0;
        spans.for_each([&](Pos start, Pos end) {
            kept.add(t.data + mark, start - mark);
            mark = end;
        });
        kept.add(t.data + mark, t.len - mark);
    }
    const uint64_t chars = kept.chars + count * repl.chars;
    if (!check_result_size(chars)) return nullptr;
    unsigned char widest = kept.max_byte;
    if (replacement.len && repl.max_byte > widest) widest = repl.max_byte;
    const Py_UCS4 max_char = max_char_of(widest);
    PyObject* res = PyUnicode_New(static_cast<Py_ssize_t>(chars), max_char);
    if (!res) return ensure_error();
    if (max_char < 0x80) {
        // An ASCII result: its bytes are its characters.
        char* out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(res));
        if constexpr (requires { spans.write_bytes(out, bytes, replacement); }) {
            spans.write_bytes(out, bytes, replacement);
        } else {
            ReplacedBytesWriter w(t.data, t.len, replacement.data, replacement.len, out, bytes);
            spans.for_each(w);
            w.finish();
        }
        return res;
    }
    bool ok;
    switch (PyUnicode_KIND(res)) {
        case PyUnicode_1BYTE_KIND:
            ok = replaced_detail::write_kind<Py_UCS1>(t, replacement, repl.chars, spans, res);
            break;
        case PyUnicode_2BYTE_KIND:
            ok = replaced_detail::write_kind<Py_UCS2>(t, replacement, repl.chars, spans, res);
            break;
        default:
            ok = replaced_detail::write_kind<Py_UCS4>(t, replacement, repl.chars, spans, res);
            break;
    }
    if (!ok) {
        Py_DECREF(res);
        return PyErr_NoMemory();
    }
    return res;
}

// The spans of a vector, as build_replaced takes them.
struct VectorSpans {
    const std::vector<Span>& v;
    template <class Sink>
    void for_each(Sink&& sink) const {
        for (const Span& s : v) sink(s.start, s.end);
    }
};

// `t` with every span replaced by `replacement`, as a new str.
PyObject* replace_spans(Text t, const std::vector<Span>& spans, Text replacement);
PyObject* replace_spans(Text t, const CompactSpans& spans, Text replacement);

}  // namespace qgx
