// Where a match of an element can begin: the bytes it can begin with, whether
// it can match at the end of the text, and the literal every match begins
// with, read once from the records (the first-byte analysis); and a scanner
// that goes from one position where a match may begin to the next, with
// vector kernels for a set of bytes and the substring searcher for a literal.
//
// Everything here is a necessary condition: an element matches (parse_at or
// try_match_at) only where its start allows. A weaker answer (more bytes, a
// shorter literal, `exact` false, a larger `reach`) is always correct, so an
// element the analysis cannot read counts as matching anywhere.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "elements/element.hpp"

namespace qgx {

// The bytes at which an element can match at a position: `bytes` for a
// position inside the text, `at_end` for the end of the text.
struct FirstBytes {
    ByteSet bytes;
    bool at_end = false;

    static FirstBytes anywhere();
    static FirstBytes one(unsigned char b);
    bool is_anywhere() const {
        return at_end && (bytes.words[0] & bytes.words[1] & bytes.words[2] & bytes.words[3]) == ~uint64_t{0};
    }
    void add(const FirstBytes& o);
    // How many bytes the set holds.
    int count() const;
};

// What every match of an element at a position has in common.
struct ElementStart {
    static constexpr uint32_t kMaxLiteral = 32;

    FirstBytes first = FirstBytes::anywhere();
    // Every match at a position p below the text's length begins with these
    // bytes, as far as the text goes: byte i is asked for only where p + i
    // lies inside the text. (A literal of up to kMaxLiteral bytes is kept.)
    char literal[kMaxLiteral] = {};
    uint32_t literal_len = 0;
    // Every match at a position p below the text's length ends at
    // p + literal_len, or at the end of the text where that lies beyond it:
    // the literal is the whole match, as far as the text goes.
    bool exact = false;
    // At most how many nesting levels (MatchDepth) a call of the element
    // enters at a position that this start excludes, before it fails there.
    // A scan that passes over such a position must count them as the call
    // would have: it passes over it only where the bound leaves room for them.
    uint32_t reach = 0;
    // A literal every match holds further on: every match at p holds `inner`
    // at some q >= p + inner_min with every byte of [p, q) in `lead`. Where
    // the first bytes are most bytes, this still excludes every position
    // from which no occurrence of the literal can be reached.
    static constexpr uint32_t kMaxInner = 16;
    char inner[kMaxInner] = {};
    uint32_t inner_len = 0;
    uint32_t inner_min = 0;
    ByteSet lead;

    std::string_view literal_view() const { return {literal, literal_len}; }
    std::string_view inner_view() const { return {inner, inner_len}; }
    // True when no position is excluded.
    bool anywhere() const { return first.is_anywhere() && literal_len == 0 && inner_len == 0; }
    // Sets the literal to the first `n` bytes of `s` (at most kMaxLiteral;
    // a literal cut short is no longer the whole match).
    void set_literal(const char* s, size_t n, bool whole_match);
    // Sets the inner literal to the first bytes of `s` (at most kMaxInner),
    // reached over `lead` bytes, at least `min` of them.
    void set_inner(const char* s, size_t n, uint32_t min, const ByteSet& lead_bytes);
};

// The start of `e`. The analysis follows composites a few levels into their
// children and a bounded number of alternatives; past either, an element
// counts as matching anywhere. A Forward counts as matching anywhere (its
// target can change), and so does any kind it does not read.
ElementStart element_start(const SharedElement& e);
ElementStart element_start(const ElementVTable* kind, const ElementHeader* record);

// The start of a MatchFirst of `alternatives`, and with `each`, the start of
// every alternative in order (one walk budget shared by all).
ElementStart alternatives_start(const std::vector<SharedElement>& alternatives, std::vector<ElementStart>* each);
// Folds the start of one more alternative into `acc` (the first one: `first`).
void fold_alternative(ElementStart& acc, const ElementStart& s, bool first);

// The start of a Regex record, from its pattern. The one place that knows
// how a pattern's first bytes and literal are found.
struct RegexElement;
ElementStart regex_start(const RegexElement& r);

// The bytes that can begin a match of a pattern and the literal every match
// begins with, read from its text; false where the text is not of the simple
// forms understood here (see first_bytes.cpp). `literal` gets up to
// ElementStart::kMaxLiteral bytes; `whole` says whether the pattern is that
// literal and nothing else.
bool pattern_start(std::string_view pattern, ByteSet& bytes, char* literal, uint32_t& literal_len, bool& whole);

// The literal every match of a pattern holds, read from its text: the
// longest run of plain bytes among its leading atoms (classes, escapes,
// plain characters, each with a quantifier or none), with `min` the fewest
// bytes and `lead` the bytes the atoms before it may take; false where no
// such literal is read. The pattern has no alternation outside a group.
bool pattern_inner_literal(std::string_view pattern, char* literal, uint32_t& literal_len, uint32_t& min,
                           ByteSet& lead);

// The kernels of the byte-set scan; `Auto` is the best this processor runs.
enum class ByteScanKernel : uint8_t { Auto, Avx2, Ssse3, Portable };
bool byte_scan_kernel_available(ByteScanKernel k);

// What a scan with an inner literal remembers between its calls: the
// occurrence found last and where the run of lead bytes before it begins, so
// that the text is searched and walked back over once per scan.
struct StartCursor {
    static constexpr Pos kNone = ~Pos{0};
    Pos hit = kNone;
    Pos lo = 0;
};

// Goes from one position where a match of an element may begin to the next:
// memchr for one byte, a vector compare for two or three, a nibble-table
// lookup for any other set, the substring searcher for a literal of two
// bytes or more, and for an inner literal the substring searcher and a walk
// back over the lead bytes before each occurrence. Made once from an
// ElementStart; holds no pointer into it.
class StartScanner {
  public:
    // Passes over nothing.
    StartScanner() = default;
    explicit StartScanner(const ElementStart& s, ByteScanKernel k = ByteScanKernel::Auto);

    // True when every position may begin a match (nothing is passed over).
    bool passes_nothing() const { return mode_ == Mode::Every; }
    // The ElementStart's reach: a caller at nesting depth d may pass over
    // positions only while d + reach() stays within the bound.
    uint32_t reach() const { return reach_; }
    bool at_end() const { return at_end_; }

    // The first position q in [p, t.len) at which a match may begin, or
    // t.len when none may below the end (p <= t.len).
    Pos next_inside(Text t, Pos p) const {
        // A candidate at p itself (common where the first bytes are common
        // ones) is answered without a call.
        if (p < t.len && in_set_[static_cast<unsigned char>(t.data[p])]) return p;
        return next_inside_call(t, p);
    }
    Pos next_inside_call(Text t, Pos p) const;
    // The same, for a scan that calls it with rising positions and keeps
    // `c` between the calls (one cursor per scan and text).
    Pos next_inside(Text t, Pos p, StartCursor& c) const {
        if (mode_ == Mode::Inner) return next_inner(t, p, c);
        return next_inside(t, p);
    }
    bool uses_inner() const { return mode_ == Mode::Inner; }
    // True when it goes by a literal (at the start or further on).
    bool by_literal() const { return mode_ == Mode::Literal || mode_ == Mode::Inner; }
    // The first q in [p, t.len], the end included; false when there is none.
    bool next(Text t, Pos p, Pos& q) const {
        q = next_inside(t, p);
        return q < t.len || at_end_;
    }
    bool next(Text t, Pos p, Pos& q, StartCursor& c) const {
        q = next_inside(t, p, c);
        return q < t.len || at_end_;
    }

    // The tables of the nibble lookup (public for the kernels).
    struct Nibbles {
        alignas(16) uint8_t low_clear[16];  // byte (h << 4 | l), h < 8: bit h of entry l
        alignas(16) uint8_t low_set[16];    // h >= 8: bit h - 8 of entry l
    };

  private:
    enum class Mode : uint8_t { Every, Nothing, Byte, Few, Set, Literal, Inner };
    Pos next_inner(Text t, Pos p, StartCursor& c) const;
    Mode mode_ = Mode::Every;
    ByteScanKernel kernel_ = ByteScanKernel::Portable;
    bool at_end_ = true;
    uint8_t few_count_ = 0;
    uint8_t few_[3] = {};
    uint32_t reach_ = 0;
    uint32_t literal_len_ = 0;
    char literal_[ElementStart::kMaxLiteral] = {};
    uint32_t inner_min_ = 0;
    ByteSet set_;
    ByteSet lead_;
    // Per byte, whether a match may begin before it: set_ as one flag a byte
    // in the byte and set modes, every byte in Every, none in the others.
    uint8_t in_set_[256] = {};
    Nibbles nibbles_ = {};
};

// Whether a caller at the present nesting depth may pass over the positions
// that `s` excludes: the levels the skipped calls would have entered still
// fit below the bound.
bool may_pass_over(const StartScanner& s);

}  // namespace qgx
