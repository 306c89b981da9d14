// The adapter between the Regex kind and the pattern engine (the Rust
// library behind src/elements/regex_abi.h): compilation with the module's
// fixed settings, the search of the rest of a text from a position, and the
// iteration over successive matches. Nothing here touches the interpreter.
// The module's own rules (character boundaries, the iteration) live here,
// on this side of the interface; the engine only answers searches.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "elements/element.hpp"

struct QgxRegex;

namespace qgx {

// The compiled-program budget and the deepest nesting the engine accepts
// (counted on the text compiled, so a wrapping group counts as one level).
inline constexpr int64_t kRegexSizeLimit = 10485760;
inline constexpr int kRegexNestLimit = 250;

class CompiledRegex;

// A compiled pattern, or the ValueError text that compiling it gave: the
// engine's description of a syntax error (which shows the text compiled) or
// "Compiled regex exceeds size limit of 10485760 bytes.".
struct [[nodiscard]] CompileOutcome {
    std::unique_ptr<CompiledRegex> regex;
    std::string error;
};

// The engine's description of the fault when `pattern` does not parse on
// its own; empty when it does.
std::string regex_syntax_error(std::string_view pattern);

// How a single-character atom treats the characters above U+007F.
enum class WideMembers : uint8_t { None, All, Some };

// A pattern read as single-character atoms ("#", "[a-h]", "\\d", "x{3}"
// counting three) and then at most one greedy run "R*" or "R+": a match at
// a start takes one character per head atom, then as many run characters as
// there are, so it is read there without the engine wherever its characters
// are ASCII or their atom takes all or none of the others.
struct RegexShape {
    static constexpr int kMaxHead = 16;
    struct Atom {
        ByteSet ascii;  // the ASCII members, from the engine's own class
        WideMembers wide = WideMembers::None;
        // The bytes a run of the atom steps over: its ASCII members, and
        // every byte above 0x7F when it takes all such characters.
        ByteSet bytes;
    };
    int head_len = 0;
    Atom head[kMaxHead];
    Atom run;  // no members when the pattern has no run
    bool run_min1 = false;
};

// Whether `pattern` has that shape and matches no empty text, as the engine
// reads it; if so `shape` describes it.
bool regex_ascii_shape(std::string_view pattern, RegexShape& shape);

// A span found by a search: byte offsets into the text searched.
struct [[nodiscard]] RegexFound {
    bool found = false;
    Pos start = 0, end = 0;
};

// A pattern compiled once: Unicode-aware, case-sensitive, leftmost-first.
// Searches may run on any thread; the engine keeps its scratch per thread.
class CompiledRegex {
  public:
    // Compiles `text` as it stands. `starts_only` says that every match of
    // the program begins where its text begins (the caller wrapped it in
    // "^(?:...)"), which lets the start test skip finding the span.
    static CompileOutcome compile(std::string_view text, bool starts_only = false);

    ~CompiledRegex();
    CompiledRegex(const CompiledRegex&) = delete;
    CompiledRegex& operator=(const CompiledRegex&) = delete;

    // The length of the leftmost-first match that begins at `pos`, the rest
    // of `t` from `pos` handed over as the engine's whole text (so "^", "\A"
    // and word boundaries see `pos` as the start, "$" the real end); -1 when
    // the first match of that rest does not begin at its start, or when
    // `pos` is not a character boundary.
    int64_t match_length_at(Text t, Pos pos) const;

    // Whether match_length_at(t, 0) finds a match; cheaper than the length.
    bool matches_at_start(Text t) const;

    // The leftmost-first match of the whole of `t` that begins at or after
    // `from` (a character boundary), the text before `from` as context.
    RegexFound find_from(Text t, Pos from) const;

    // Calls f(start, end) for each match of the iteration over the whole of
    // `t`: successive non-overlapping matches from the start; after an empty
    // match the next search begins one character later; an empty match that
    // ends where the previous match ended is not reported. Only an empty
    // match can begin inside a character (the engine's \B between the bytes
    // of one); such a match is no match of the iteration and is passed over.
    // `start` lets a caller that has read the text up to a character boundary
    // itself, with no match reported from it ending after `start` and none
    // that the iteration could begin before it, carry the iteration on.
    template <class F>
    void for_each_match(Text t, F&& f, Pos start = 0) const {
        uint64_t from = start;
        bool have_last = false;
        Pos last_end = 0;
        while (from <= t.len) {
            RegexFound m = find_from(t, static_cast<Pos>(from));
            if (!m.found) return;
            if (!on_boundary(t, m.start) || !on_boundary(t, m.end)) {
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
    CompiledRegex(QgxRegex* re, bool starts_only) : re_(re), starts_only_(starts_only) {}
    QgxRegex* re_;
    bool starts_only_;
};

}  // namespace qgx
