// The substring searcher behind the Literal counts and replaces and the
// Keyword counts: a packed-pair prefilter (two rare bytes of the needle
// tested over a whole vector of positions, candidates verified) with AVX2 and
// SSE2 kernels and a portable one, chosen once at run time, and behind it a
// Two-Way matcher that takes over once verifying candidates costs more than
// a fixed multiple of the text passed, so that every search is linear in the
// text and the needle whatever the input.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qgx {

// The kernels; `Auto` is the best one this processor runs. `TwoWay` is the
// linear matcher alone, from the first byte (for tests and comparisons).
enum class SearchKernel : uint8_t { Auto, Avx2, Sse2, Portable, Libc, TwoWay };

// The kernel that `Auto` stands for on this processor.
SearchKernel best_search_kernel();

// Whether this processor can run `k` (Portable, Libc and TwoWay always can).
bool search_kernel_available(SearchKernel k);

// What a search cost, for tests of the worst case: bytes compared while
// verifying the prefilter's candidates (or, for Libc, a needle's length per
// call), bytes compared by the Two-Way matcher, and whether it took over.
struct SearchWork {
    uint64_t verified = 0;
    uint64_t two_way = 0;
    bool fell_back = false;
    uint64_t total() const { return verified + two_way; }
};

// The verification work the prefilter may spend before the Two-Way matcher
// takes over: kBudgetFactor bytes per byte of text passed, plus a start.
inline constexpr uint64_t kBudgetFactor = 8;
inline constexpr uint64_t kBudgetSlack = 1024;

// The first occurrence of the m-byte needle in the n-byte haystack, or nullptr.
// An empty needle occurs at the haystack's start.
const char* find_substring(const char* hay, size_t n, const char* needle, size_t m,
                           SearchKernel k = SearchKernel::Auto, SearchWork* work = nullptr);

// The leftmost scan over hay[from, n): the number of non-overlapping
// occurrences (each search resumes at the end of the previous occurrence)
// and the end of the last one (`from` when there is none). m must be at
// least 1.
struct SubstringTally {
    uint64_t count = 0;
    size_t last_end = 0;
};
SubstringTally tally_substring(const char* hay, size_t n, const char* needle, size_t m, size_t from = 0,
                               SearchKernel k = SearchKernel::Auto, SearchWork* work = nullptr);

// The count of tally_substring from 0. m must be at least 1.
uint64_t count_substring(const char* hay, size_t n, const char* needle, size_t m,
                         SearchKernel k = SearchKernel::Auto, SearchWork* work = nullptr);

// Writes the haystack with every occurrence of the leftmost scan replaced by
// the rlen bytes of `repl` into `out`, whose size out_len must be exactly
// n + count * (rlen - m) (count from count_substring); returns the number of
// bytes written, which is out_len. An empty needle replaces nothing.
size_t replace_substrings(const char* hay, size_t n, const char* needle, size_t m, const char* repl, size_t rlen,
                          char* out, size_t out_len, SearchKernel k = SearchKernel::Auto,
                          SearchWork* work = nullptr);

// A searcher for one needle over one haystack, for scans that resume before
// the end of the previous occurrence (the keyword count goes on one byte
// after an occurrence followed by an identifier byte). The budget and the
// Two-Way matcher's place are kept between calls, so that any sequence of
// calls with non-decreasing `from` on one haystack costs time linear in the
// haystack and the needle. The needle's bytes must outlive the searcher.
class SubstringSearcher {
  public:
    static constexpr size_t kNotFound = ~size_t{0};

    // m must be at least 1.
    SubstringSearcher(const char* needle, size_t m, SearchKernel k = SearchKernel::Auto);

    // The offset of the first occurrence that starts at or after `from` and
    // lies wholly inside the n-byte haystack, or kNotFound.
    size_t find(const char* hay, size_t n, size_t from);

    const SearchWork& work() const { return work_; }

    // Makes the searcher ready for another haystack (the needle's set-up is
    // kept, so this costs nothing in the needle's length).
    void restart();

    // The state of the prefilter and of the matcher behind it (public for
    // the kernels in the implementation file).
    struct Needle {
        const char* p;
        size_t m;
        size_t i1, i2;  // the offsets of the two rare bytes the prefilter tests
    };
    struct Budget {
        uint64_t spent = 0;
        size_t reach = 0;  // the furthest byte the search has passed or compared
        bool over() const { return spent > kBudgetFactor * reach + kBudgetSlack; }
    };
    // Crochemore and Perrin's Two-Way matcher: a critical factorization of
    // the needle made in O(m) with no allocation, and a search that can go
    // on from where the previous one stopped.
    struct TwoWay {
        const char* x = nullptr;
        size_t m = 0;
        ptrdiff_t ell = -1;  // the factorization's left part is x[0, ell]
        size_t per = 1;      // the needle's period, or a lower bound of it
        bool periodic = false;
        // Where the last search stopped: nothing was left unreported in
        // [floor, j) of `hay`, and x[0, memory] is known to match at j.
        const char* hay = nullptr;
        size_t n = 0;
        size_t floor = 0;
        size_t j = 0;
        ptrdiff_t memory = -1;

        void init(const char* needle, size_t len);
        // Forgets where the last search stopped (the factorization stays).
        void forget_place() {
            hay = nullptr;
            n = floor = j = 0;
            memory = -1;
        }
        size_t find(const char* h, size_t len, size_t from, uint64_t& compares) {
            return find_as<false>(h, len, from, compares);
        }
        // With kFold, the haystack's ASCII capitals are compared as small
        // letters (the needle must be lowered already): the search of the
        // lowered needle in the lowered haystack.
        template <bool kFold>
        size_t find_as(const char* h, size_t len, size_t from, uint64_t& compares);
    };

  private:
    Needle nd_;
    SearchKernel kernel_;
    Budget budget_;
    TwoWay tw_;
    SearchWork work_;
};

// The Two-Way matcher for a lowered needle over haystacks compared without
// regard to ASCII case, with the same resuming rule as SubstringSearcher:
// calls with non-decreasing `from` on one haystack cost time linear in it.
class CaselessSearcher {
  public:
    static constexpr size_t kNotFound = SubstringSearcher::kNotFound;

    // `lowered` (m >= 1 bytes, ASCII capitals already lowered) must outlive
    // the searcher.
    CaselessSearcher(const char* lowered, size_t m) { tw_.init(lowered, m); }
    size_t find(const char* hay, size_t n, size_t from) { return tw_.find_as<true>(hay, n, from, compares_); }
    void restart() { tw_.forget_place(); }
    uint64_t compares() const { return compares_; }

  private:
    SubstringSearcher::TwoWay tw_;
    uint64_t compares_ = 0;
};

// True when every byte is below 0x80.
bool all_ascii(const char* p, size_t n);

}  // namespace qgx
