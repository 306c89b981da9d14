// The Word, Regex and QuotedString kinds: matching by character sets, by a
// compiled pattern, and by quote delimiters.
#pragma once

#include <memory>
#include <string>

#include "elements/element.hpp"
#include "elements/regex_engine.hpp"
#include "elements/run_memory.hpp"

namespace qgx {

// ---------------------------------------------------------------------------
// Word

struct WordElement : ElementHeader {
    SharedText message;  // "Expected W:({}...)", shared into every failure
    ByteSet init_chars;
    ByteSet body_chars;
    // body_chars as one flag a byte: the run's loop tests a byte with one load.
    uint8_t body_table[256] = {};
    uint32_t min_len = 1;  // 0 = no minimum
    uint32_t max_len = 0;  // bytes; 0 = no maximum
    // Some member of either set lies in U+0080..U+00FF, so a byte test can
    // meet part of a character (see word_try_match_at).
    bool high_members = false;
};

// The set of the characters of a UTF-8 text whose code points are at most 255.
ByteSet word_set_of(Text chars);

// "Expected W:({}...)" with the first eight bytes of `init_chars`, cut back to
// the last whole character when the eighth byte falls inside one.
SharedText word_message(Text init_chars);

// A record built from the constructor's texts; `body` null means a copy of init.
Rc<WordElement> make_word_element(Text init, const Text* body);

// The byte-wise word at `pos`: the end of the run, or `pos` when none starts.
// The body's run is the same from every start inside it: a long one is read
// once per operation (run_memory.hpp).
inline Pos word_run_end(const WordElement& r, Text t, Pos pos) {
    if (pos >= t.len || !r.init_chars.has(t.at(pos))) return pos;
    return table_run_end(&r, kRunWordBody, r.body_table, t, pos + 1, t.len);
}

// The end of a byte run `end` > `pos`, starting on a character boundary, cut
// back to the last boundary: a run of members in U+0080..U+00FF, tested by
// byte value, can stop inside a character, and the word then ends before it
// (at `pos` when nothing is left). At most three bytes are stepped back.
inline Pos word_whole_end(Text t, Pos pos, Pos end) {
    while (end > pos && !on_boundary(t, end)) --end;
    return end;
}

// The word at `pos`, the one reading of every operation of the kind and the
// class: the byte at `pos` in init_chars, then the bytes that follow in
// body_chars, each tested by its byte value. With sets that hold members in
// U+0080..U+00FF a byte test can meet part of a character, so a word never
// begins inside a character (tested first, so that a scan stepping through
// a character costs nothing there) and ends before a character that its run
// would cut; the text matched is always whole characters. With ASCII sets
// neither can happen.
inline TryMatchOutcome word_try_match_at(const WordElement& r, Text t, Pos pos) {
    if (r.high_members && !on_boundary(t, pos)) [[unlikely]]
        return TryMatchOutcome::no();
    Pos end = word_run_end(r, t, pos);
    if (end == pos) return TryMatchOutcome::no();
    if (r.max_len != 0 && end - pos > r.max_len) end = pos + r.max_len;
    if (r.high_members) [[unlikely]] {
        end = word_whole_end(t, pos, end);
        if (end == pos) return TryMatchOutcome::no();
    }
    if (end - pos < r.min_len) return TryMatchOutcome::no();
    return TryMatchOutcome::yes(end);
}

// word_try_match_at with the matched text as its one token; a failure at
// `pos` with the stored message.
ParseOutcome word_parse_at(const WordElement& r, Text t, Pos pos);
ParseFromStartOutcome word_parse_from_start(const WordElement& r, Text t);

const ElementVTable* word_vtable();

// ---------------------------------------------------------------------------
// Regex

enum class RegexFastPath : uint32_t {
    WhitespaceRun = 0,
    ByteClass = 1,
    FullRegex = 2,
};

struct RegexClassification {
    RegexFastPath fast_path = RegexFastPath::FullRegex;
    ByteSet fast_set;
    // The engine reads a ByteClass pattern as one class of exactly the
    // (ASCII) bytes of fast_set: no range, negation, escaped letter, inner
    // "]" or member above U+007F. Only then may the byte test stand for it.
    bool exact_class = false;
};

// The classification of a pattern: "\s+" and "\s*" are WhitespaceRun; a
// pattern "[...]" with no further "[" inside and something left once
// escapes are removed is ByteClass; all else is FullRegex.
RegexClassification classify_pattern(Text pattern);

struct RegexElement : ElementHeader {
    RegexFastPath fast_path = RegexFastPath::FullRegex;
    ByteSet fast_set;
    // The program matched at a position: the pattern wrapped as "^(?:...)"
    // (a pattern that begins with "^" too), so no search looks past it.
    std::unique_ptr<CompiledRegex> anchored_regex;
    std::unique_ptr<CompiledRegex> unanchored_regex;
    SharedText message;  // "Expected match for /{}/"
    bool exact_class = false;
    bool whitespace_plus = false;  // "\s+" rather than "\s*"
    // Set when the pattern is single-character atoms and a greedy run
    // (RegexShape): its matches are then read from the bytes, and a
    // character above U+007F that its atom may or may not take is left to
    // the engine.
    std::unique_ptr<RegexShape> shape;
    // The anchored matcher made ahead of time (owned by anchored_regex), for
    // patterns whose determinised program fits its budget; null in the plain
    // build. It answers as the engine's anchored search at every position
    // and gives up to the engine on a byte it cannot decide.
    const RegexDfa* dfa = nullptr;
};

// Builds the record, or gives the ValueError text: both forms are compiled,
// anchored first.
struct [[nodiscard]] RegexBuildOutcome {
    Rc<RegexElement> element;
    std::string error;
};
RegexBuildOutcome make_regex_element(Text pattern);

// What reading a shape at a position gives besides a match end.
inline constexpr int64_t kShapeNoMatch = -2;
inline constexpr int64_t kShapeAskEngine = -1;

// The end of the match of `s` that begins at `pos`, kShapeNoMatch when none
// begins there, or kShapeAskEngine when a character above U+007F decides it
// and only the engine knows whether its atom takes it. Without kToEnd the
// run is read only as far as its least length: a match is then known to
// begin at `pos`, and the end given is not its end.
template <bool kToEnd = true>
inline int64_t regex_shape_end(const RegexShape& s, Text t, Pos pos) {
    if (pos > t.len || (pos < t.len && is_continuation(t.at(pos)))) return kShapeNoMatch;
    Pos i = pos;
    for (int k = 0; k < s.head_len; ++k) {
        if (i >= t.len) return kShapeNoMatch;
        unsigned char b = t.at(i);
        if (b < 0x80) {
            if (!s.head[k].ascii.has(b)) return kShapeNoMatch;
            ++i;
            continue;
        }
        if (s.head[k].wide == WideMembers::None) return kShapeNoMatch;
        if (s.head[k].wide == WideMembers::Some) return kShapeAskEngine;
        do ++i;
        while (i < t.len && is_continuation(t.at(i)));
    }
    Pos run_start = i;
    if (!kToEnd && !s.run_min1) return i;
    const RegexShape::Atom& run = s.run;
    // Every byte of a character above U+007F is at least 0x80, so a run that
    // takes all of them steps through them byte by byte.
    if constexpr (kToEnd) {
        // Read once per operation where it is long (run_memory.hpp).
        i = run_end<kRunPrefix>(&s, kRunRegexShape, t, i, t.len, [&run](Text t, Pos j, Pos stop) {
            while (j < stop && run.bytes.has(t.at(j))) ++j;
            return j;
        });
    } else {
        if (i < t.len && run.bytes.has(t.at(i))) ++i;
    }
    if (i < t.len && (kToEnd || i == run_start) && t.at(i) >= 0x80 && run.wide == WideMembers::Some)
        return kShapeAskEngine;
    if (s.run_min1 && i == run_start) return kShapeNoMatch;
    return i;
}

// What can begin a match of the pattern at a position, for scans that jump
// and for dispatch on the first byte. Read once at construction from the
// pattern's parsed syntax (the program the engine compiles from it), not
// from its text, so every pattern has an answer. The contract is a
// necessary condition: regex_try_match_at (and regex_parse_at) at a
// position p < t.len matches only when the byte at p is in `bytes`, and at
// p == t.len only when `at_end` is set. Bytes 0x80..0xBF are never in the
// set (no match begins inside a character); a pattern that can match the
// empty text has every byte its empty match may stand before (for "a*"
// every byte that begins a character). The byte before p is not read: the
// position is the start of the engine's text, so "^" and "\b" see no
// character before it. Gives false when nothing is known (then any byte may
// begin a match); the engine's programs always give an answer today.
bool regex_first_bytes(const RegexElement& r, ByteSet& bytes, bool& at_end);

// Whether the pattern can match the empty text at some position (true when
// unknown). A pattern that cannot never makes a zero-width match.
bool regex_matches_empty(const RegexElement& r);

// When the pattern is a plain non-empty sequence of characters ("\n\n",
// "abc", "(?:ab)c"; no class, repetition, case folding or assertion but a
// leading "^"), the text it matches: try_match_at at p then matches exactly
// where that text stands at p, with the end p + its length. Else null. The
// string lives as long as the record.
const std::string* regex_plain_literal(const RegexElement& r);

ParseOutcome regex_parse_at(const RegexElement& r, Text t, Pos pos);
// Decides exactly as regex_parse_at; the byte shortcuts answer only where
// their answer is the engine's.
TryMatchOutcome regex_try_match_at(const RegexElement& r, Text t, Pos pos);
ParseFromStartOutcome regex_parse_from_start(const RegexElement& r, Text t);

const ElementVTable* regex_vtable();

// ---------------------------------------------------------------------------
// QuotedString

struct QuotedStringElement : ElementHeader {
    SharedText message;  // "Expected quoted string starting with '{}'"
    uint8_t quote = '"';
    uint8_t has_escape = 0;
    uint8_t escape = 0;
    uint8_t multiline = 0;
    uint8_t unquote = 1;
    // A quote or escape character outside ASCII is matched whole: `quote` and
    // `escape` are its first byte and these its full UTF-8 form (length 1 to 4).
    uint8_t quote_len = 1;
    uint8_t escape_len = 1;
    char quote_bytes[4] = {'"', 0, 0, 0};
    char escape_bytes[4] = {0, 0, 0, 0};
};

// The record of QuotedString(quote_char, esc_char, multiline, unquote);
// `esc_char` null means none. The whole first character of each text is used.
Rc<QuotedStringElement> make_quoted_string_element(Text quote_char, const Text* esc_char, bool multiline,
                                                   bool unquote);

// The end of the closing quote of a quoted string opening at `pos`, or 0
// when none opens and closes there (a match always ends after pos + 1).
Pos quoted_string_close(const QuotedStringElement& r, Text t, Pos pos);

inline TryMatchOutcome quoted_string_try_match_at(const QuotedStringElement& r, Text t, Pos pos) {
    Pos end = quoted_string_close(r, t, pos);
    return end ? TryMatchOutcome::yes(end) : TryMatchOutcome::no();
}
ParseOutcome quoted_string_parse_at(const QuotedStringElement& r, Text t, Pos pos);
ParseFromStartOutcome quoted_string_parse_from_start(const QuotedStringElement& r, Text t);

const ElementVTable* quoted_string_vtable();

}  // namespace qgx
