#include "lib/replaced_text.hpp"

namespace qgx {

namespace {

constexpr uint64_t kHighBits = 0x8080808080808080ull;

inline uint64_t load8(const char* p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

// The code point of the character whose lead byte is at p[i]; i moves past
// it. A sequence cut short by the end (never in text from the interpreter)
// gives what its bytes hold, so nothing is read past the end.
inline Py_UCS4 next_code_point(const unsigned char* p, size_t n, size_t& i) {
    Py_UCS4 c = p[i++];
    if (c < 0x80) return c;
    int more;
    if (c < 0xE0) {
        c &= 0x1F;
        more = 1;
    } else if (c < 0xF0) {
        c &= 0x0F;
        more = 2;
    } else {
        c &= 0x07;
        more = 3;
    }
    for (; more > 0 && i < n && (p[i] & 0xC0) == 0x80; --more) c = (c << 6) | (p[i++] & 0x3F);
    return c <= 0x10FFFF ? c : 0xFFFD;
}

template <class C>
C* decode_into(const char* src, size_t n, C* out) {
    const auto* p = reinterpret_cast<const unsigned char*>(src);
    size_t i = 0;
    while (i < n) {
        // Runs of ASCII go eight bytes at a time.
        if (i + 8 <= n && !(load8(src + i) & kHighBits)) {
            for (int k = 0; k < 8; ++k) out[k] = static_cast<C>(p[i + k]);
            out += 8;
            i += 8;
            continue;
        }
        // A continuation byte with no lead before it (a piece cut inside a
        // character, which the scans never hand over) stands for nothing.
        if ((p[i] & 0xC0) == 0x80) {
            ++i;
            continue;
        }
        *out++ = static_cast<C>(next_code_point(p, n, i));
    }
    return out;
}

}  // namespace

void Utf8Shape::add(const char* src, size_t n) {
    const auto* p = reinterpret_cast<const unsigned char*>(src);
    size_t i = 0;
    uint64_t any = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w = load8(src + i);
        if (!(w & kHighBits)) {
            any |= w;
            continue;
        }
        for (int k = 0; k < 8; ++k) {
            unsigned char b = p[i + k];
            chars -= (b & 0xC0) == 0x80;
            if (b > max_byte) max_byte = b;
        }
    }
    for (; i < n; ++i) {
        unsigned char b = p[i];
        chars -= (b & 0xC0) == 0x80;
        if (b > max_byte) max_byte = b;
    }
    // Every byte counts as a character but the continuation bytes, taken
    // off above.
    chars += n;
    for (int k = 0; k < 8; ++k) {
        unsigned char b = static_cast<unsigned char>(any >> (8 * k));
        if (b > max_byte) max_byte = b;
    }
}

Py_UCS4 max_char_of(unsigned char max_byte) {
    if (max_byte < 0x80) return 0x7F;
    if (max_byte < 0xC4) return 0xFF;  // lead bytes of U+0080..U+00FF
    if (max_byte < 0xF0) return 0xFFFF;
    return 0x10FFFF;
}

Py_UCS1* decode_utf8_into(const char* p, size_t n, Py_UCS1* out) { return decode_into(p, n, out); }
Py_UCS2* decode_utf8_into(const char* p, size_t n, Py_UCS2* out) { return decode_into(p, n, out); }
Py_UCS4* decode_utf8_into(const char* p, size_t n, Py_UCS4* out) { return decode_into(p, n, out); }

PyObject* replace_spans(Text t, const std::vector<Span>& spans, Text replacement) {
    VectorSpans v{spans};
    return build_replaced(t, replacement, v);
}

PyObject* replace_spans(Text t, const CompactSpans& spans, Text replacement) {
    return build_replaced(t, replacement, spans);
}

}  // namespace qgx
