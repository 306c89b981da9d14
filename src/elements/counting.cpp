#include "elements/counting.hpp"

#include <cstring>

#include "elements/substring_search.hpp"

namespace qgx {

namespace {

constexpr Pos kMaxPeriod = 1024;

// The index of the first byte where a and b differ, or n.
size_t first_mismatch(const char* a, const char* b, size_t n) {
    constexpr size_t kChunk = 4096;
    size_t i = 0;
    while (i < n) {
        size_t len = n - i < kChunk ? n - i : kChunk;
        if (std::memcmp(a + i, b + i, len) != 0) {
            while (a[i] == b[i]) ++i;
            return i;
        }
        i += len;
    }
    return n;
}

// The leftmost scan over [from, n): its count and the end of its last
// occurrence (`from` when there is none).
SubstringTally leftmost_scan(const char* hay, size_t n, Text needle, size_t from = 0) {
    return tally_substring(hay, n, needle.data, needle.len, from);
}

}  // namespace

// Candidates are the positions p whose byte equals the first byte. For each,
// the text is compared with itself shifted by p. When that comparison fails at
// offset i, the prefix of i + p bytes has period p but the byte after it
// breaks it; by the periodicity lemma no q <= i + 1 can then be a period of
// the whole text, so the search goes on after i + 1. So a text that repeats a
// short block almost to its end costs one pass, not one pass per candidate.
Pos find_text_period(Text t) {
    if (t.len < 4) return 0;
    Pos limit = t.len < kMaxPeriod + 1 ? t.len : kMaxPeriod + 1;  // candidates below `limit`
    Pos p = 1;
    while (p < limit && 2ull * p <= t.len) {
        const void* hit = std::memchr(t.data + p, t.data[0], limit - p);
        if (!hit) return 0;
        p = static_cast<Pos>(static_cast<const char*>(hit) - t.data);
        if (2ull * p > t.len) return 0;
        size_t i = first_mismatch(t.data, t.data + p, t.len - p);
        if (i == t.len - p) return p;
        size_t next = i + 2;
        if (next <= p) next = p + 1;
        if (next >= limit) return 0;
        p = static_cast<Pos>(next);
    }
    return 0;
}

uint64_t count_literal_occurrences(Text text, Text needle) {
    if (needle.len == 0) return text.len;
    if (needle.len > text.len) return 0;
    Pos period = kPlainPaths ? 0 : find_text_period(text);
    // A text repeating a block of p bytes also repeats every multiple of p;
    // the shortcut takes the first multiple that holds the needle, when the
    // text holds two of it.
    uint64_t p = period == 0 ? 0 : (uint64_t{needle.len} + period - 1) / period * period;
    if (p == 0 || 2 * p > text.len) return count_substring(text.data, text.len, needle.data, needle.len);
    // The first two blocks give the count up to the last whole block; only
    // the cut-short tail is scanned.
    SubstringTally one = leftmost_scan(text.data, p, needle);
    SubstringTally two = leftmost_scan(text.data, 2 * p, needle);
    uint64_t d = text.len / p;
    uint64_t whole = d * p;
    uint64_t total = one.count + (d - 1) * (two.count - one.count);
    if (whole < text.len) {
        uint64_t resume = two.count > 0 ? two.last_end + (d - 2) * p : 0;
        total += leftmost_scan(text.data, text.len, needle, resume).count;
    }
    return total;
}

uint64_t count_keyword_occurrences(const KeywordElement& k, Text text) {
    if (text.len == 0) return 0;
    const ByteTable& ident = k.identifier_chars;
    Pos m = k.match_len;
    uint64_t count = 0;
    if (m == 0) {
        for (Pos i = 0; i < text.len; ++i) count += !ident.has(text.at(i));
        return count;
    }
    for_each_keyword_match(k, text, [&](Pos) { ++count; });
    return count;
}

}  // namespace qgx
