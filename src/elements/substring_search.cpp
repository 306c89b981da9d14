#include "elements/substring_search.hpp"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QGX_X86 1
#else
#define QGX_X86 0
#endif

namespace qgx {

namespace {

// How common a byte is in ordinary text and code (higher = more common). The
// pair of positions tested by the vector kernels is the needle's two rarest
// bytes, so that few positions pass the cheap test and need a full compare.
struct ByteRank {
    uint8_t r[256];
    constexpr ByteRank() : r{} {
        for (int b = 0; b < 256; ++b) r[b] = b < 0x20 ? 10 : (b < 0x80 ? 110 : 50);
        const char* common = "etaoinsrhldcumfpgwybvkxjqz";
        for (int i = 0; common[i]; ++i) {
            r[static_cast<unsigned char>(common[i])] = static_cast<uint8_t>(250 - 6 * i);
            r[static_cast<unsigned char>(common[i] - 32)] = static_cast<uint8_t>(150 - 3 * i);
        }
        for (int b = '0'; b <= '9'; ++b) r[b] = 130;
        r[static_cast<unsigned char>(' ')] = 255;
        r[static_cast<unsigned char>('\n')] = 180;
        r[static_cast<unsigned char>('\t')] = 120;
        r[static_cast<unsigned char>(',')] = 170;
        r[static_cast<unsigned char>('.')] = 170;
        r[static_cast<unsigned char>('_')] = 140;
        r[static_cast<unsigned char>('(')] = 140;
        r[static_cast<unsigned char>(')')] = 140;
    }
};
constexpr ByteRank kRank;

// The two needle offsets the kernels test: i1 rarest, i2 the next rarest.
struct Pair {
    size_t i1, i2;
};
Pair choose_pair(const char* nd, size_t m) {
    auto rank = [&](size_t i) { return kRank.r[static_cast<unsigned char>(nd[i])]; };
    size_t a = 0;
    for (size_t i = 1; i < m; ++i)
        if (rank(i) < rank(a)) a = i;
    size_t b = a == 0 ? 1 : 0;
    for (size_t i = 0; i < m; ++i)
        if (i != a && rank(i) < rank(b)) b = i;
    return {a, b};
}

inline bool rest_equal(const char* at, const char* nd, size_t m) { return std::memcmp(at, nd, m) == 0; }

// ---------------------------------------------------------------------------
// Portable kernel: memchr for the rarest byte, then a compare.

const char* find_portable(const char* hay, size_t n, const char* nd, size_t m, size_t from) {
    if (n < m) return nullptr;
    size_t last = n - m;
    Pair pr = choose_pair(nd, m);
    char c = nd[pr.i1];
    size_t i = from;
    while (i <= last) {
        const void* hit = std::memchr(hay + i + pr.i1, c, last - i + 1);
        if (!hit) return nullptr;
        size_t pos = static_cast<size_t>(static_cast<const char*>(hit) - hay) - pr.i1;
        if (rest_equal(hay + pos, nd, m)) return hay + pos;
        i = pos + 1;
    }
    return nullptr;
}

// The leftmost scan by repeated searches (the portable and C-library kernels).
template <class Find, class Sink>
void scan_by_find(const char* hay, size_t n, size_t m, Find&& find, Sink& sink) {
    size_t i = 0;
    while (i + m <= n) {
        const char* hit = find(i);
        if (!hit) break;
        size_t pos = static_cast<size_t>(hit - hay);
        sink.hit(pos);
        i = pos + m;
    }
}

template <class Sink>
void scan_kernel(const char* hay, size_t n, const char* nd, size_t m, SearchKernel k, Sink& sink);

// Whether some proper prefix of the needle is also its suffix, so that two
// occurrences can overlap. Long needles are taken to have one (the scan that
// allows for overlaps is right either way).
bool has_border(const char* nd, size_t m) {
    if (m > 256) return true;
    for (size_t k = 1; k < m; ++k)
        if (std::memcmp(nd, nd + k, m - k) == 0) return true;
    return false;
}

// Where the leftmost scan puts its occurrences.
struct CountSink {
    static constexpr bool kCountOnly = true;
    uint64_t count = 0;
    void hit(size_t) { ++count; }
    void bits(size_t, uint32_t mask) { count += static_cast<uint64_t>(__builtin_popcount(mask)); }
    void add(uint64_t c) { count += c; }
};
// Copies the text between occurrences and the replacement for each one.
// Short pieces are copied as one fixed block of 16 or 64 bytes where both
// sides have room: the output is written strictly forward, so the bytes past
// the piece are overwritten by what follows, and dense occurrences cost no
// memcpy call.
struct ReplaceSink {
    static constexpr bool kCountOnly = false;
    const char* src;
    size_t n;
    size_t m;
    const char* repl;
    size_t rlen;
    char* dst;
    char* dst_end;
    size_t mark = 0;
    char repl_pad[16] = {};

    ReplaceSink(const char* s, size_t n_, size_t m_, const char* r, size_t rl, char* out, size_t out_len)
        : src(s), n(n_), m(m_), repl(r), rlen(rl), dst(out), dst_end(out + out_len) {
        if (rlen <= 16) std::memcpy(repl_pad, repl, rlen);
    }
    void hit(size_t pos) {
        size_t seg = pos - mark;
        if (seg <= 16 && mark + 16 <= n && dst + 16 <= dst_end) {
            std::memcpy(dst, src + mark, 16);
        } else if (seg <= 64 && mark + 64 <= n && dst + 64 <= dst_end) {
            std::memcpy(dst, src + mark, 64);
        } else {
            std::memcpy(dst, src + mark, seg);
        }
        dst += seg;
        if (rlen <= 16 && dst + 16 <= dst_end)
            std::memcpy(dst, repl_pad, 16);
        else
            std::memcpy(dst, repl, rlen);
        dst += rlen;
        mark = pos + m;
    }
    void bits(size_t base, uint32_t mask) {
        while (mask) {
            hit(base + static_cast<size_t>(__builtin_ctz(mask)));
            mask &= mask - 1;
        }
    }
    void add(uint64_t) {}
};

// ---------------------------------------------------------------------------
// Vector kernels (substring_kernel.inc). The loads at i + i1 and i + i2 stay
// inside the haystack because i + W - 1 <= n - m.

#if QGX_X86

// Every load is unaligned; W positions are tested per step.
namespace sse2_kernel {
struct L {
    static constexpr size_t W = 16;
    static __m128i splat(char c) { return _mm_set1_epi8(c); }
    static uint32_t eq2(const char* p1, const char* p2, __m128i b1, __m128i b2) {
        __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p1));
        __m128i v2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p2));
        return static_cast<uint32_t>(_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(v1, b1), _mm_cmpeq_epi8(v2, b2))));
    }
    static uint32_t eq1(const char* p, __m128i b) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        return static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, b)));
    }
};
#include "elements/substring_kernel.inc"
}  // namespace sse2_kernel

#pragma GCC push_options
#pragma GCC target("avx2")
namespace avx2_kernel {
struct L {
    static constexpr size_t W = 32;
    static __m256i splat(char c) { return _mm256_set1_epi8(c); }
    static uint32_t eq2(const char* p1, const char* p2, __m256i b1, __m256i b2) {
        __m256i v1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p1));
        __m256i v2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p2));
        return static_cast<uint32_t>(
            _mm256_movemask_epi8(_mm256_and_si256(_mm256_cmpeq_epi8(v1, b1), _mm256_cmpeq_epi8(v2, b2))));
    }
    static uint32_t eq1(const char* p, __m256i b) {
        __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        return static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, b)));
    }
};
#include "elements/substring_kernel.inc"
}  // namespace avx2_kernel
#pragma GCC pop_options

const char* find_sse2(const char* hay, size_t n, const char* nd, size_t m) { return sse2_kernel::find_vec(hay, n, nd, m, 0); }
template <class Sink>
void scan_sse2(const char* hay, size_t n, const char* nd, size_t m, Sink& sink) {
    if (m == 1 && Sink::kCountOnly) {
        sink.add(sse2_kernel::count_byte_vec(hay, n, nd[0]));
        return;
    }
    sse2_kernel::scan_vec(hay, n, nd, m, has_border(nd, m), sink);
}
const char* find_avx2(const char* hay, size_t n, const char* nd, size_t m) { return avx2_kernel::find_vec(hay, n, nd, m, 0); }
template <class Sink>
void scan_avx2(const char* hay, size_t n, const char* nd, size_t m, Sink& sink) {
    if (m == 1 && Sink::kCountOnly) {
        sink.add(avx2_kernel::count_byte_vec(hay, n, nd[0]));
        return;
    }
    avx2_kernel::scan_vec(hay, n, nd, m, has_border(nd, m), sink);
}

#endif  // QGX_X86

SearchKernel detect_kernel() {
#if QGX_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return SearchKernel::Avx2;
    return SearchKernel::Sse2;
#else
    return SearchKernel::Portable;
#endif
}

SearchKernel resolve(SearchKernel k) {
    static const SearchKernel best = detect_kernel();
    if (k == SearchKernel::Auto || !search_kernel_available(k)) return best;
    return k;
}

template <class Sink>
void scan_kernel(const char* hay, size_t n, const char* nd, size_t m, SearchKernel k, Sink& sink) {
    switch (resolve(k)) {
#if QGX_X86
        case SearchKernel::Avx2:
            return scan_avx2(hay, n, nd, m, sink);
        case SearchKernel::Sse2:
            return scan_sse2(hay, n, nd, m, sink);
#endif
        case SearchKernel::Libc:
            return scan_by_find(hay, n, m, [&](size_t i) { return static_cast<const char*>(memmem(hay + i, n - i, nd, m)); }, sink);
        default:
            return scan_by_find(hay, n, m, [&](size_t i) { return find_portable(hay, n, nd, m, i); }, sink);
    }
}

}  // namespace

SearchKernel best_search_kernel() { return resolve(SearchKernel::Auto); }

bool search_kernel_available(SearchKernel k) {
    switch (k) {
        case SearchKernel::Auto:
        case SearchKernel::Portable:
        case SearchKernel::Libc:
            return true;
#if QGX_X86
        case SearchKernel::Sse2:
            return true;
        case SearchKernel::Avx2:
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx2");
#else
        default:
            return false;
#endif
    }
    return false;
}

const char* find_substring(const char* hay, size_t n, const char* needle, size_t m, SearchKernel k) {
    if (m == 0) return hay;
    if (m > n) return nullptr;
    // One byte: the C library's memchr is already vectorised.
    if (m == 1) return static_cast<const char*>(std::memchr(hay, needle[0], n));
    switch (resolve(k)) {
#if QGX_X86
        case SearchKernel::Avx2:
            return find_avx2(hay, n, needle, m);
        case SearchKernel::Sse2:
            return find_sse2(hay, n, needle, m);
#endif
        case SearchKernel::Libc:
            return static_cast<const char*>(memmem(hay, n, needle, m));
        default:
            return find_portable(hay, n, needle, m, 0);
    }
}

uint64_t count_substring(const char* hay, size_t n, const char* needle, size_t m, SearchKernel k) {
    CountSink sink;
    if (m == 0 || m > n) return 0;
    scan_kernel(hay, n, needle, m, k, sink);
    return sink.count;
}

size_t replace_substrings(const char* hay, size_t n, const char* needle, size_t m, const char* repl, size_t rlen,
                          char* out, size_t out_len, SearchKernel k) {
    ReplaceSink sink(hay, n, m, repl, rlen, out, out_len);
    if (m > 0 && m <= n) scan_kernel(hay, n, needle, m, k, sink);
    std::memcpy(sink.dst, hay + sink.mark, n - sink.mark);
    return static_cast<size_t>(sink.dst + (n - sink.mark) - out);
}

bool all_ascii(const char* p, size_t n) {
    size_t i = 0;
    // Blocks of 256 bytes: the OR of a block vectorises, and a non-ASCII text
    // is usually rejected within its first block.
    while (i + 256 <= n) {
        uint64_t acc = 0;
        for (size_t j = 0; j < 256; j += 8) {
            uint64_t w;
            std::memcpy(&w, p + i + j, 8);
            acc |= w;
        }
        if (acc & 0x8080808080808080ull) return false;
        i += 256;
    }
    unsigned char acc = 0;
    for (; i < n; ++i) acc |= static_cast<unsigned char>(p[i]);
    return acc < 0x80;
}

}  // namespace qgx
