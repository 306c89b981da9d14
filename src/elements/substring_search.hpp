// The substring searcher behind the Literal counts and replaces: a packed-pair
// search (two rare bytes of the needle tested over a whole vector of
// positions, candidates verified) with AVX2 and SSE2 kernels and a portable
// one, chosen once at run time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qgx {

// The kernels; `Auto` is the best one this processor runs.
enum class SearchKernel : uint8_t { Auto, Avx2, Sse2, Portable, Libc };

// The kernel that `Auto` stands for on this processor.
SearchKernel best_search_kernel();

// Whether this processor can run `k` (Portable and Libc always can).
bool search_kernel_available(SearchKernel k);

// The first occurrence of the m-byte needle in the n-byte haystack, or nullptr.
// An empty needle occurs at the haystack's start.
const char* find_substring(const char* hay, size_t n, const char* needle, size_t m,
                           SearchKernel k = SearchKernel::Auto);

// The number of non-overlapping occurrences found by the leftmost scan (each
// search resumes at the end of the previous occurrence). m must be at least 1.
uint64_t count_substring(const char* hay, size_t n, const char* needle, size_t m,
                         SearchKernel k = SearchKernel::Auto);

// Writes the haystack with every occurrence of the leftmost scan replaced by
// the rlen bytes of `repl` into `out`, whose size out_len must be exactly
// n + count * (rlen - m) (count from count_substring); returns the number of
// bytes written, which is out_len. An empty needle replaces nothing.
size_t replace_substrings(const char* hay, size_t n, const char* needle, size_t m, const char* repl, size_t rlen,
                          char* out, size_t out_len, SearchKernel k = SearchKernel::Auto);

// True when every byte is below 0x80.
bool all_ascii(const char* p, size_t n);

}  // namespace qgx
