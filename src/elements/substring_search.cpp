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

using Needle = SubstringSearcher::Needle;
using Budget = SubstringSearcher::Budget;
using TwoWay = SubstringSearcher::TwoWay;
constexpr size_t kNotFound = SubstringSearcher::kNotFound;
// A scan that finished (no place for the linear matcher to go on from).
constexpr size_t kDone = ~size_t{0};

// The two needle offsets the kernels test: i1 rarest, i2 the next rarest.
Needle make_needle(const char* nd, size_t m) {
    if (m < 2) return {nd, m, 0, 0};
    auto rank = [&](size_t i) { return kRank.r[static_cast<unsigned char>(nd[i])]; };
    size_t a = 0;
    for (size_t i = 1; i < m; ++i)
        if (rank(i) < rank(a)) a = i;
    size_t b = a == 0 ? 1 : 0;
    for (size_t i = 0; i < m; ++i)
        if (i != a && rank(i) < rank(b)) b = i;
    return {nd, m, a, b};
}

// What one kernel search found: an occurrence, none, or that the budget ran
// out (pos is then where the linear matcher goes on: no occurrence lies
// before it).
struct Probe {
    enum State : uint8_t { Found, Absent, OverBudget } state;
    size_t pos;
};

// Whether the needle occurs at `pos`, its compare charged to the budget. A
// long needle is compared in doubling chunks, so that what is charged is at
// most about twice the bytes that matched: a candidate that fails early costs
// little, one that fails late is charged for what it cost.
inline bool check_candidate(const char* hay, size_t pos, const Needle& nd, Budget& b) {
    const char* at = hay + pos;
    const size_t m = nd.m;
    size_t cost = m;
    bool equal;
    if (m <= 32) {
        equal = std::memcmp(at, nd.p, m) == 0;
    } else {
        size_t done = 0, chunk = 32;
        for (;;) {
            size_t len = chunk < m - done ? chunk : m - done;
            if (std::memcmp(at + done, nd.p + done, len) != 0) {
                cost = done + len;
                equal = false;
                break;
            }
            done += len;
            if (done == m) {
                equal = true;
                break;
            }
            chunk *= 2;
        }
    }
    b.spent += cost;
    if (pos + cost > b.reach) b.reach = pos + cost;
    return equal;
}

// ---------------------------------------------------------------------------
// The Two-Way matcher (Crochemore and Perrin): linear in the text and the
// needle in the worst case, constant extra space.

// The maximal suffix of x[0, m) under the byte order (reversed when
// `reverse`), as the index before its start, and its period.
ptrdiff_t maximal_suffix(const unsigned char* x, size_t m, bool reverse, size_t& period) {
    ptrdiff_t ms = -1;
    size_t j = 0, k = 1, p = 1;
    while (j + k < m) {
        unsigned char a = x[j + k];
        unsigned char b = x[static_cast<size_t>(ms + static_cast<ptrdiff_t>(k))];
        if (reverse ? a > b : a < b) {
            j += k;
            k = 1;
            p = static_cast<size_t>(static_cast<ptrdiff_t>(j) - ms);
        } else if (a == b) {
            if (k != p) {
                ++k;
            } else {
                j += p;
                k = 1;
            }
        } else {
            ms = static_cast<ptrdiff_t>(j);
            j = j + 1;
            k = p = 1;
        }
    }
    period = p;
    return ms;
}

}  // namespace

void TwoWay::init(const char* needle, size_t len) {
    x = needle;
    m = len;
    const auto* ux = reinterpret_cast<const unsigned char*>(needle);
    size_t p1 = 1, p2 = 1;
    ptrdiff_t ms1 = maximal_suffix(ux, m, false, p1);
    ptrdiff_t ms2 = maximal_suffix(ux, m, true, p2);
    ell = ms1 > ms2 ? ms1 : ms2;
    per = ms1 > ms2 ? p1 : p2;
    const size_t left = static_cast<size_t>(ell + 1);
    periodic = std::memcmp(x, x + per, left) == 0;
    if (!periodic) {
        // A lower bound of the needle's period, so a shift by it after a
        // match skips no occurrence.
        size_t right = m - left;
        per = (left > right ? left : right) + 1;
    }
    forget_place();
}

namespace {
inline unsigned char fold_byte(unsigned char b) { return (b >= 'A' && b <= 'Z') ? static_cast<unsigned char>(b + 0x20) : b; }
}  // namespace

template <bool kFold>
size_t TwoWay::find_as(const char* h, size_t len, size_t from, uint64_t& compares) {
    auto at_y = [](const unsigned char* y, size_t i) { return kFold ? fold_byte(y[i]) : y[i]; };
    if (len < m || from > len - m) return kNotFound;
    size_t at;
    ptrdiff_t mem;
    // Going on where the last search on this text stopped keeps its memory:
    // a scan that resumes inside the previous occurrence stays linear.
    if (h == hay && len == n && from >= floor && from <= j) {
        at = j;
        mem = memory;
    } else {
        at = from;
        mem = -1;
    }
    hay = h;
    n = len;
    const auto* xs = reinterpret_cast<const unsigned char*>(x);
    const auto* y = reinterpret_cast<const unsigned char*>(h);
    const size_t last = len - m;
    const ptrdiff_t after_match = periodic ? static_cast<ptrdiff_t>(m - per) - 1 : -1;
    uint64_t c = 0;
    while (at <= last) {
        size_t i = static_cast<size_t>((ell > mem ? ell : mem) + 1);
        const size_t i0 = i;
        while (i < m && xs[i] == at_y(y, i + at)) ++i;
        c += i - i0 + 1;
        if (i < m) {
            at += static_cast<size_t>(static_cast<ptrdiff_t>(i) - ell);
            mem = -1;
            continue;
        }
        ptrdiff_t k = ell;
        while (k > mem && xs[k] == at_y(y, static_cast<size_t>(k) + at)) --k;
        c += static_cast<uint64_t>(ell - k) + 1;
        const bool found = k <= mem;
        const size_t here = at;
        at += per;
        mem = after_match;
        if (found) {
            floor = here + 1;
            j = at;
            memory = mem;
            compares += c;
            return here;
        }
    }
    floor = from;
    j = at;
    memory = -1;
    compares += c;
    return kNotFound;
}

template size_t TwoWay::find_as<false>(const char*, size_t, size_t, uint64_t&);
template size_t TwoWay::find_as<true>(const char*, size_t, size_t, uint64_t&);

namespace {

// Whether some proper prefix of the needle is also its suffix, so that two
// occurrences can overlap. Long needles are taken to have one (the scan that
// allows for overlaps is right either way).
bool has_border(const char* nd, size_t m) {
    if (m > 256) return true;
    for (size_t k = 1; k < m; ++k)
        if (std::memcmp(nd, nd + k, m - k) == 0) return true;
    return false;
}

// Where the leftmost scan puts its occurrences: a count only.
struct CountSink {
    static constexpr bool kCountOnly = true;
    uint64_t count = 0;
    void hit(size_t) { ++count; }
    void bits(size_t, uint32_t mask) { count += static_cast<uint64_t>(__builtin_popcount(mask)); }
    void add(uint64_t c) { count += c; }
};
// A count and the end of the last occurrence.
struct TallySink {
    static constexpr bool kCountOnly = false;
    size_t m;
    uint64_t count = 0;
    size_t last_end;
    void hit(size_t pos) {
        ++count;
        last_end = pos + m;
    }
    void bits(size_t base, uint32_t mask) {
        if (!mask) return;
        count += static_cast<uint64_t>(__builtin_popcount(mask));
        last_end = base + static_cast<size_t>(31 - __builtin_clz(mask)) + m;
    }
    void add(uint64_t) {}
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
// Portable kernel: memchr for the rarest byte, then a compare.

Probe find_portable(const char* hay, size_t n, const Needle& nd, size_t from, Budget& b) {
    if (b.over()) return {Probe::OverBudget, from};
    const size_t last = n - nd.m;
    const char c = nd.p[nd.i1];
    size_t i = from;
    while (i <= last) {
        const void* hit = std::memchr(hay + i + nd.i1, c, last - i + 1);
        if (!hit) return {Probe::Absent, 0};
        size_t pos = static_cast<size_t>(static_cast<const char*>(hit) - hay) - nd.i1;
        if (check_candidate(hay, pos, nd, b)) return {Probe::Found, pos};
        if (b.over()) return {Probe::OverBudget, pos + 1};
        i = pos + 1;
    }
    return {Probe::Absent, 0};
}

// The C library's memmem is linear per call, but it sets the needle up anew
// on every call (a needle's length charged per call), so a scan that resumes
// inside each occurrence is handed to the Two-Way matcher, which keeps its
// place.
Probe find_libc(const char* hay, size_t n, const Needle& nd, size_t from, Budget& b) {
    if (b.over()) return {Probe::OverBudget, from};
    const void* hit = memmem(hay + from, n - from, nd.p, nd.m);
    b.spent += nd.m;
    if (!hit) return {Probe::Absent, 0};
    size_t pos = static_cast<size_t>(static_cast<const char*>(hit) - hay);
    if (pos + nd.m > b.reach) b.reach = pos + nd.m;
    return {Probe::Found, pos};
}

// The leftmost scan by repeated searches (the portable and C-library
// kernels); gives kDone or where the linear matcher goes on.
template <class Find, class Sink>
size_t scan_by_find(const char* hay, size_t n, const Needle& nd, size_t from, Budget& b, Find&& find, Sink& sink) {
    size_t i = from;
    while (i + nd.m <= n) {
        Probe p = find(hay, n, nd, i, b);
        if (p.state == Probe::Absent) break;
        if (p.state == Probe::OverBudget) return p.pos;
        sink.hit(p.pos);
        i = p.pos + nd.m;
    }
    return kDone;
}

// The leftmost scan from `from` with the Two-Way matcher alone.
template <class Sink>
void scan_two_way(const char* hay, size_t n, const Needle& nd, size_t from, Sink& sink, SearchWork* work) {
    TwoWay tw;
    tw.init(nd.p, nd.m);
    uint64_t compares = 0;
    size_t i = from;
    while (i + nd.m <= n) {
        size_t o = tw.find(hay, n, i, compares);
        if (o == kNotFound) break;
        sink.hit(o);
        i = o + nd.m;
    }
    if (work) {
        work->two_way += compares;
        work->fell_back = true;
    }
}

// ---------------------------------------------------------------------------
// Vector kernels (substring_kernel.inc). The loads at i + i1 and i + i2 stay
// inside the haystack because i + W - 1 <= n - m. Each function carries the
// target attribute of its instruction set, so that the AVX2 code is compiled
// as such by either compiler while the rest of the file stays baseline; the
// AVX2 kernel runs only where the processor reports AVX2 (detect_kernel).

#if QGX_X86

// Every load is unaligned; W positions are tested per step.
namespace sse2_kernel {
#define QGX_KERNEL_TARGET __attribute__((target("sse2")))
struct L {
    static constexpr size_t W = 16;
    QGX_KERNEL_TARGET static __m128i splat(char c) { return _mm_set1_epi8(c); }
    QGX_KERNEL_TARGET static uint32_t eq2(const char* p1, const char* p2, __m128i b1, __m128i b2) {
        __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p1));
        __m128i v2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p2));
        return static_cast<uint32_t>(_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(v1, b1), _mm_cmpeq_epi8(v2, b2))));
    }
    QGX_KERNEL_TARGET static uint32_t eq1(const char* p, __m128i b) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        return static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, b)));
    }
};
#include "elements/substring_kernel.inc"
#undef QGX_KERNEL_TARGET
}  // namespace sse2_kernel

namespace avx2_kernel {
#define QGX_KERNEL_TARGET __attribute__((target("avx2")))
struct L {
    static constexpr size_t W = 32;
    QGX_KERNEL_TARGET static __m256i splat(char c) { return _mm256_set1_epi8(c); }
    QGX_KERNEL_TARGET static uint32_t eq2(const char* p1, const char* p2, __m256i b1, __m256i b2) {
        __m256i v1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p1));
        __m256i v2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p2));
        return static_cast<uint32_t>(
            _mm256_movemask_epi8(_mm256_and_si256(_mm256_cmpeq_epi8(v1, b1), _mm256_cmpeq_epi8(v2, b2))));
    }
    QGX_KERNEL_TARGET static uint32_t eq1(const char* p, __m256i b) {
        __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        return static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, b)));
    }
};
#include "elements/substring_kernel.inc"
#undef QGX_KERNEL_TARGET
}  // namespace avx2_kernel

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

// One search of the prefilter kernel `k` (m >= 2, m <= n; never TwoWay).
Probe probe(SearchKernel k, const char* hay, size_t n, const Needle& nd, size_t from, Budget& b) {
    switch (k) {
#if QGX_X86
        case SearchKernel::Avx2:
            if (b.over()) return {Probe::OverBudget, from};
            return avx2_kernel::find_vec(hay, n, nd, from, b);
        case SearchKernel::Sse2:
            if (b.over()) return {Probe::OverBudget, from};
            return sse2_kernel::find_vec(hay, n, nd, from, b);
#endif
        case SearchKernel::Libc:
            return find_libc(hay, n, nd, from, b);
        default:
            return find_portable(hay, n, nd, from, b);
    }
}

// The leftmost scan from `from` (1 <= m, from + m <= n): the prefilter kernel
// while its budget lasts, then the Two-Way matcher for the rest.
template <class Sink>
void scan(const char* hay, size_t n, const char* needle, size_t m, size_t from, SearchKernel k, Sink& sink,
          SearchWork* work) {
    const Needle nd = make_needle(needle, m);
    Budget b;
    b.reach = from;
    size_t resume = from;
    switch (resolve(k)) {
#if QGX_X86
        case SearchKernel::Avx2:
            // One byte: a count is a popcount of the equal lanes.
            if (m == 1 && Sink::kCountOnly) {
                sink.add(avx2_kernel::count_byte_vec(hay + from, n - from, needle[0]));
                resume = kDone;
            } else {
                resume = avx2_kernel::scan_vec(hay, n, nd, from, has_border(needle, m), b, sink);
            }
            break;
        case SearchKernel::Sse2:
            if (m == 1 && Sink::kCountOnly) {
                sink.add(sse2_kernel::count_byte_vec(hay + from, n - from, needle[0]));
                resume = kDone;
            } else {
                resume = sse2_kernel::scan_vec(hay, n, nd, from, has_border(needle, m), b, sink);
            }
            break;
#endif
        case SearchKernel::TwoWay:
            break;
        case SearchKernel::Libc:
            resume = scan_by_find(hay, n, nd, from, b, find_libc, sink);
            break;
        default:
            resume = scan_by_find(hay, n, nd, from, b, find_portable, sink);
            break;
    }
    if (work) work->verified += b.spent;
    if (resume != kDone) scan_two_way(hay, n, nd, resume, sink, work);
}

}  // namespace

SubstringSearcher::SubstringSearcher(const char* needle, size_t m, SearchKernel k)
    : nd_(make_needle(needle, m)), kernel_(resolve(k)) {
    if (kernel_ == SearchKernel::TwoWay) {
        tw_.init(needle, m);
        work_.fell_back = true;
    }
}

void SubstringSearcher::restart() {
    budget_ = Budget{};
    work_ = SearchWork{};
    if (kernel_ == SearchKernel::TwoWay) {
        tw_.forget_place();
        work_.fell_back = true;
    }
}

size_t SubstringSearcher::find(const char* hay, size_t n, size_t from) {
    const size_t m = nd_.m;
    if (from > n || n - from < m) return kNotFound;
    if (!work_.fell_back) {
        // One byte: the C library's memchr is already vectorised, and linear.
        if (m == 1) {
            const void* hit = std::memchr(hay + from, nd_.p[0], n - from);
            return hit ? static_cast<size_t>(static_cast<const char*>(hit) - hay) : kNotFound;
        }
        if (from > budget_.reach) budget_.reach = from;
        Probe p = probe(kernel_, hay, n, nd_, from, budget_);
        work_.verified = budget_.spent;
        if (p.state == Probe::Found) return p.pos;
        if (p.state == Probe::Absent) return kNotFound;
        tw_.init(nd_.p, m);
        work_.fell_back = true;
        from = p.pos;
    }
    return tw_.find(hay, n, from, work_.two_way);
}

SearchKernel best_search_kernel() { return resolve(SearchKernel::Auto); }

bool search_kernel_available(SearchKernel k) {
    switch (k) {
        case SearchKernel::Auto:
        case SearchKernel::Portable:
        case SearchKernel::Libc:
        case SearchKernel::TwoWay:
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

const char* find_substring(const char* hay, size_t n, const char* needle, size_t m, SearchKernel k,
                           SearchWork* work) {
    if (m == 0) return hay;
    if (m > n) return nullptr;
    SubstringSearcher s(needle, m, k);
    size_t at = s.find(hay, n, 0);
    if (work) *work = s.work();
    return at == kNotFound ? nullptr : hay + at;
}

SubstringTally tally_substring(const char* hay, size_t n, const char* needle, size_t m, size_t from, SearchKernel k,
                               SearchWork* work) {
    TallySink sink{m, 0, from};
    if (m > 0 && from <= n && n - from >= m) scan(hay, n, needle, m, from, k, sink, work);
    return {sink.count, sink.last_end};
}

uint64_t count_substring(const char* hay, size_t n, const char* needle, size_t m, SearchKernel k, SearchWork* work) {
    CountSink sink;
    if (m == 0 || m > n) return 0;
    scan(hay, n, needle, m, 0, k, sink, work);
    return sink.count;
}

size_t replace_substrings(const char* hay, size_t n, const char* needle, size_t m, const char* repl, size_t rlen,
                          char* out, size_t out_len, SearchKernel k, SearchWork* work) {
    ReplaceSink sink(hay, n, m, repl, rlen, out, out_len);
    if (m > 0 && m <= n) scan(hay, n, needle, m, 0, k, sink, work);
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
