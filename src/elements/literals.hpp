// The literal-family kinds: Literal (exact bytes), Keyword (exact bytes not
// followed by an identifier byte), CaselessLiteral and CaselessKeyword (ASCII
// letters compared without case) and Char (one byte out of a set).
//
// Every test compares raw bytes and is anchored at the position it is given.
// The texts a constructor takes are whole UTF-8 characters, so a match of a
// non-empty literal text always begins and ends on character boundaries.
//
// The empty text: a Literal or Keyword of the empty text behaves like its
// caseless twin (and like the empty prefix every text has): Literal("")
// matches zero-width at every position, the end included; Keyword("") matches
// zero-width where the next byte is no identifier byte or at the end. The
// scans never list or replace zero-width matches, and the counting scan
// counts them, so every operation and counter follows from this one rule.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "elements/element.hpp"

namespace qgx {

// A private byte string owned by one record.
class OwnedBytes {
  public:
    OwnedBytes() = default;
    explicit OwnedBytes(std::string_view s) : len_(static_cast<Pos>(s.size())) {
        if (len_ == 0) return;
        data_.reset(new char[len_]);
        std::memcpy(data_.get(), s.data(), len_);
    }
    const char* data() const { return data_ ? data_.get() : ""; }
    char* mutable_data() { return data_.get(); }
    Pos size() const { return len_; }
    std::string_view view() const { return {data(), len_}; }

  private:
    std::unique_ptr<char[]> data_;
    Pos len_ = 0;
};

// 1 for the bytes of '0'-'9', 'A'-'Z', '_', 'a'-'z'; 0 for all others.
const ByteTable& identifier_table();

struct LiteralElement : ElementHeader {
    TokenList tokens;     // one token: s
    OwnedBytes text;      // s; its length is L
    SharedText message;   // "Expected '{}'"
    uint8_t first_byte = 0;  // 0 for the empty text
};

struct KeywordElement : ElementHeader {
    TokenList tokens;
    OwnedBytes text;
    ByteTable identifier_chars;
    SharedText message;  // "Expected keyword '{}'"
    Pos match_len = 0;
    uint8_t first_byte = 0;
};

struct CaselessLiteralElement : ElementHeader {
    TokenList tokens;       // s as constructed, not lowered
    OwnedBytes lower_text;  // s with 'A'-'Z' lowered, all other bytes unchanged
    SharedText message;     // "Expected '{}' (caseless)"
};

struct CaselessKeywordElement : ElementHeader {
    TokenList tokens;
    OwnedBytes lower_text;
    ByteTable identifier_chars;
    SharedText message;  // "Expected keyword '{}' (caseless)"
    Pos match_len = 0;
};

struct CharElement : ElementHeader {
    ByteTable members;  // every byte of s's UTF-8 form
    SharedText message;  // "Expected one of '{}'"
};

// The record builders; `s` is the UTF-8 text of the constructor's argument.
// They cannot fail other than by exhausting memory. build_literal is shared by
// Literal.__new__ and one_of.
Rc<LiteralElement> build_literal(std::string_view s);
Rc<KeywordElement> build_keyword(std::string_view s);
Rc<CaselessLiteralElement> build_caseless_literal(std::string_view s);
Rc<CaselessKeywordElement> build_caseless_keyword(std::string_view s);
Rc<CharElement> build_char(std::string_view s);

// "{}" in `tmpl` replaced by `s` (the message texts).
std::string fill_message(const char* tmpl, std::string_view s);

// ---------------------------------------------------------------------------
// The tests, inline so that the class fast paths and the scans inline them.

inline unsigned char ascii_lower(unsigned char b) { return (b >= 'A' && b <= 'Z') ? static_cast<unsigned char>(b + 0x20) : b; }

// Whether the n bytes at `p` lowered equal `lower` (already lowered).
inline bool caseless_equal(const char* p, const char* lower, Pos n) {
    for (Pos i = 0; i < n; ++i)
        if (ascii_lower(static_cast<unsigned char>(p[i])) != static_cast<unsigned char>(lower[i])) return false;
    return true;
}

// Long texts. A scan tries a kind at many positions, overlapping ones too,
// and comparing a long text at each costs its length per position where the
// text nearly occurs. From kLongNeedle bytes on, a position whose first
// kNeedleProbe bytes agree is answered by needle_occurs_at, which, within an
// operation, remembers where a linear searcher found the text next (so each
// test is amortised constant); shorter texts, and positions that differ
// early, stay a plain compare.
inline constexpr Pos kLongNeedle = 64;
inline constexpr Pos kNeedleProbe = 32;

// Whether `needle` (the record's text; lowered when `caseless`) occurs at
// pos, with the ASCII capitals of `t` lowered when `caseless`. Needs
// pos + needle.len <= t.len. `owner` is the record the answer is remembered
// for; without a context for `t` it is a plain compare.
bool needle_occurs_at(const void* owner, Text needle, bool caseless, Text t, Pos pos);

// Whether the n >= 1 bytes of `text` occur at pos (pos + n <= t.len), the
// first byte already known to agree.
inline bool exact_rest_at(const void* owner, const OwnedBytes& text, Text t, Pos pos) {
    const Pos n = text.size();
    if (n >= kLongNeedle) [[unlikely]] {
        if (std::memcmp(t.data + pos + 1, text.data() + 1, kNeedleProbe - 1) != 0) return false;
        return needle_occurs_at(owner, Text(text.view()), false, t, pos);
    }
    return std::memcmp(t.data + pos + 1, text.data() + 1, n - 1) == 0;
}

// Whether the lowered n bytes occur caselessly at pos (pos + n <= t.len).
inline bool caseless_at(const void* owner, const OwnedBytes& lower, Text t, Pos pos) {
    const Pos n = lower.size();
    if (n >= kLongNeedle) [[unlikely]] {
        if (!caseless_equal(t.data + pos, lower.data(), kNeedleProbe)) return false;
        return needle_occurs_at(owner, Text(lower.view()), true, t, pos);
    }
    return caseless_equal(t.data + pos, lower.data(), n);
}

inline TryMatchOutcome literal_try_match_at(const LiteralElement& r, Text t, Pos pos) {
    Pos n = r.text.size();
    if (pos > t.len || t.len - pos < n) return TryMatchOutcome::no();
    if (n == 0) return TryMatchOutcome::yes(pos);
    if (t.at(pos) != r.first_byte) return TryMatchOutcome::no();
    if (!exact_rest_at(&r, r.text, t, pos)) return TryMatchOutcome::no();
    return TryMatchOutcome::yes(pos + n);
}

// The keyword test at pos on the record's fields (also the counters' test).
inline TryMatchOutcome keyword_try_match_at(const KeywordElement& r, Text t, Pos pos) {
    Pos m = r.match_len;
    if (pos > t.len || t.len - pos < m) return TryMatchOutcome::no();
    if (m > 0 && (t.at(pos) != r.first_byte || !exact_rest_at(&r, r.text, t, pos))) return TryMatchOutcome::no();
    Pos end = pos + m;
    if (end < t.len && r.identifier_chars.has(t.at(end))) return TryMatchOutcome::no();
    return TryMatchOutcome::yes(end);
}

inline TryMatchOutcome caseless_literal_try_match_at(const CaselessLiteralElement& r, Text t, Pos pos) {
    Pos n = r.lower_text.size();
    if (pos > t.len || t.len - pos < n) return TryMatchOutcome::no();
    if (!caseless_at(&r, r.lower_text, t, pos)) return TryMatchOutcome::no();
    return TryMatchOutcome::yes(pos + n);
}

inline TryMatchOutcome caseless_keyword_try_match_at(const CaselessKeywordElement& r, Text t, Pos pos) {
    Pos m = r.match_len;
    if (pos > t.len || t.len - pos < m) return TryMatchOutcome::no();
    if (!caseless_at(&r, r.lower_text, t, pos)) return TryMatchOutcome::no();
    Pos end = pos + m;
    if (end < t.len && r.identifier_chars.has(t.at(end))) return TryMatchOutcome::no();
    return TryMatchOutcome::yes(end);
}

// A byte match; at the end of the text no match (the end is left at 0).
inline TryMatchOutcome char_try_match_at(const CharElement& r, Text t, Pos pos) {
    if (pos >= t.len) return TryMatchOutcome::no();
    return {r.members.flags[t.at(pos)], pos + 1};
}

// A byte range of a text, start <= end.
struct CharSpan {
    Pos start, end;
};

// The next character boundary at or after p (t.len at most).
inline Pos next_boundary(Text t, Pos p) {
    while (p < t.len && is_continuation(t.at(p))) ++p;
    return p;
}

// The text a one-byte Char match at pos stands for: both ends moved forward to
// the next character boundary. For an ASCII byte that is the byte itself; at
// the lead byte of a multi-byte character, the whole character; at a
// continuation byte, the empty text at the next boundary. So no text handed to
// Python holds a cut character, and the texts of successive byte matches never
// overlap.
inline CharSpan char_text_span(Text t, Pos pos) {
    Pos start = next_boundary(t, pos);
    Pos end = next_boundary(t, pos + 1);
    return {start, end};
}

ParseOutcome literal_parse_at(const LiteralElement& r, Text t, Pos pos);
ParseFromStartOutcome literal_parse_from_start(const LiteralElement& r, Text t);
ParseOutcome keyword_parse_at(const KeywordElement& r, Text t, Pos pos);
ParseFromStartOutcome keyword_parse_from_start(const KeywordElement& r, Text t);
ParseOutcome caseless_literal_parse_at(const CaselessLiteralElement& r, Text t, Pos pos);
ParseFromStartOutcome caseless_literal_parse_from_start(const CaselessLiteralElement& r, Text t);
ParseOutcome caseless_keyword_parse_at(const CaselessKeywordElement& r, Text t, Pos pos);
ParseFromStartOutcome caseless_keyword_parse_from_start(const CaselessKeywordElement& r, Text t);
// The token is the text of char_text_span, a new SharedText.
ParseOutcome char_parse_at(const CharElement& r, Text t, Pos pos);
ParseFromStartOutcome char_parse_from_start(const CharElement& r, Text t);

// The kinds' interface tables.
const ElementVTable* literal_vtable();
const ElementVTable* keyword_vtable();
const ElementVTable* caseless_literal_vtable();
const ElementVTable* caseless_keyword_vtable();
const ElementVTable* char_vtable();

}  // namespace qgx
