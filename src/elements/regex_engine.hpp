// The adapter between the Regex kind and the pattern engine (RE2): pattern
// translation, compilation with the module's fixed settings, the anchored
// search of the rest of a text, and the iteration over successive matches.
// Nothing here touches the interpreter; RE2 appears only in the source file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "elements/element.hpp"

namespace re2 {
class RE2;
}

namespace qgx {

// The compiled-program budget: a pattern whose forward program needs more
// fails with "Compiled regex exceeds size limit of {} bytes.".
inline constexpr int64_t kRegexSizeLimit = 10485760;
// Deepest group nesting accepted, counted on the text compiled (so the
// wrapping group of the anchored and unanchored forms counts as one level).
inline constexpr int kRegexNestLimit = 250;

// Rewrites a pattern so that \d \D \w \W \s \S mean their Unicode classes
// under RE2, whose own Perl classes are ASCII-only. Escapes, \Q...\E and
// bracket classes are tokenised as RE2 reads them, so the result means
// exactly what the original means on ASCII text. `error` is set (and `text`
// meaningless) for what the module refuses before RE2 sees it: \C, which
// matches a single byte and so could cut a character, and nesting deeper
// than kRegexNestLimit.
struct [[nodiscard]] TranslateOutcome {
    std::string text;
    std::string error;
};
TranslateOutcome translate_pattern(std::string_view pattern);

class CompiledRegex;

// A compiled pattern, or the ValueError text that compiling it gave:
// the size-limit text, or "Error parsing '{}': {}" with the text that was
// compiled (as the caller wrote it, before translation) and RE2's
// description of the fault.
struct [[nodiscard]] CompileOutcome {
    std::unique_ptr<CompiledRegex> regex;
    std::string error;
};

// A span found by a search: byte offsets into the text searched.
struct [[nodiscard]] RegexFound {
    bool found = false;
    Pos start = 0, end = 0;
};

// A pattern compiled once with the module's settings: UTF-8, case-sensitive,
// leftmost-first, "." not matching a newline, no capture groups recorded,
// errors not logged. RE2 objects are safe to search from many threads at once.
class CompiledRegex {
  public:
    // Compiles `text` (already wrapped by the caller) after translation.
    static CompileOutcome compile(std::string_view text);

    ~CompiledRegex();
    CompiledRegex(const CompiledRegex&) = delete;
    CompiledRegex& operator=(const CompiledRegex&) = delete;

    // The leftmost-first match that begins at `pos`, the rest of `t` from
    // `pos` handed over as the engine's whole text (so "^", "\A" and word
    // boundaries see `pos` as the start, "$" the real end). Gives the match
    // length, or -1 when no match begins there.
    int64_t match_length_at(Text t, Pos pos) const;

    // Whether a match begins at byte 0 of `t`; cheaper than the length.
    bool matches_at_start(Text t) const;

    // The leftmost-first match of the whole of `t` that begins at or after
    // `from`, searched with the text before `from` as context.
    RegexFound find_from(Text t, Pos from) const;

    // Calls f(start, end) for each match of the iteration over the whole of
    // `t`: successive non-overlapping matches from the start; after an empty
    // match the next search begins one character later; an empty match that
    // ends where the previous match ended is not reported. A match can only
    // begin inside a character when it is empty (ASCII \B between the bytes
    // of one character); such a match is passed over.
    template <class F>
    void for_each_match(Text t, F&& f) const {
        uint64_t from = 0;
        bool have_last = false;
        Pos last_end = 0;
        while (from <= t.len) {
            RegexFound m = find_from(t, static_cast<Pos>(from));
            if (!m.found) return;
            if (!on_boundary(t, m.start)) {
                from = next_boundary(t, m.start);
                continue;
            }
            if (m.start == m.end) {
                from = next_boundary(t, m.end);
                if (have_last && m.end == last_end) continue;
            } else {
                from = m.end;
            }
            have_last = true;
            last_end = m.end;
            f(m.start, m.end);
        }
    }

    // The number of matches that for_each_match reports.
    uint64_t count_matches(Text t) const {
        uint64_t n = 0;
        for_each_match(t, [&](Pos, Pos) { ++n; });
        return n;
    }

    // The first position after `p` that begins a character (len + 1 past the end).
    static uint64_t next_boundary(Text t, Pos p) {
        uint64_t q = uint64_t{p} + 1;
        while (q < t.len && is_continuation(t.at(static_cast<Pos>(q)))) ++q;
        return q;
    }

  private:
    explicit CompiledRegex(std::unique_ptr<re2::RE2> re);
    std::unique_ptr<re2::RE2> re_;
};

}  // namespace qgx
