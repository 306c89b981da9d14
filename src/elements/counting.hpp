// Text periods and occurrence counts: the routines behind the whole-text
// counts of Literal and Keyword and the repeating-text paths of Word. Pure
// functions of their inputs; none fails or reads outside the text.
#pragma once

#include <cstdint>

#include "elements/element.hpp"
#include "elements/literals.hpp"
#include "elements/substring_search.hpp"

namespace qgx {

// The shortest period of the whole text, if it is short and repeats: the
// smallest p from 1 to 1024 with 2p <= t.len such that t[i] == t[i + p] for
// every i < t.len - p (the text is its first p bytes repeated, the last
// repetition possibly cut short). 0 when there is none, and for every text
// shorter than 4 bytes. Examples: "abababab" 2, "aaaa" 1, "abcabcab" 3,
// "ababcccc" 0.
Pos find_text_period(Text t);

// The number of non-overlapping occurrences of `needle` in `text` found by the
// leftmost scan (count one, go on at its end), which is what the counting scan
// gives with the Literal test. An empty needle is the zero-width Literal, which
// matches at every position: the count is text.len.
uint64_t count_literal_occurrences(Text text, Text needle);

// The number of matches of the keyword in `text` found by the counting scan
// with the keyword test (a match is counted and the scan goes on at its end).
// The byte before a match is never examined, so "xif" holds one "if". The
// empty keyword matches zero-width before every byte that is no identifier
// byte: the count is the number of such bytes.
uint64_t count_keyword_occurrences(const KeywordElement& k, Text text);

// Calls sink(start) for each match of the counting scan with the keyword test
// (those count_keyword_occurrences counts), in order; each ends at start + M.
// M must be at least 1. The searcher finds the next place the keyword's bytes
// occur, so only the byte after it is left to test; after an occurrence
// followed by an identifier byte the scan goes on one byte later, inside it,
// and the one searcher keeps its place across those calls: linear in the text
// and the keyword.
template <class Sink>
void for_each_keyword_match(const KeywordElement& k, Text text, Sink&& sink) {
    const ByteTable& ident = k.identifier_chars;
    const Pos m = k.match_len;
    SubstringSearcher searcher(k.text.data(), m);
    size_t i = 0;
    while (i + m <= text.len) {
        size_t o = searcher.find(text.data, text.len, i);
        if (o == SubstringSearcher::kNotFound) break;
        size_t end = o + m;
        if (end == text.len || !ident.has(text.at(static_cast<Pos>(end)))) {
            sink(static_cast<Pos>(o));
            i = end;
        } else {
            i = o + 1;
        }
    }
}

}  // namespace qgx
