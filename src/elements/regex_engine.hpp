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
// engine's description of a syntax error (which shows the text compiled),
// "Compiled regex exceeds size limit of 10485760 bytes.", or the recursion-
// limit text when the calling thread's stack is too short to compile a
// pattern nested that deeply.
struct [[nodiscard]] CompileOutcome {
    std::unique_ptr<CompiledRegex> regex;
    std::string error;
};

// How a text is compiled.
struct CompileRequest {
    // Every match of the program begins where its text begins (the caller
    // wrapped it in "^(?:...)"), which lets the start test skip the span.
    bool starts_only = false;
    // The program serves matching at a position: read what can begin a
    // match (first_bytes), and with `dfa` also make the anchored matcher.
    bool matcher = false;
    bool dfa = false;
    // The deepest nesting accepted; 0 is kRegexNestLimit. A text the module
    // wraps itself may need a level or two more than the pattern had.
    uint32_t nest_limit = 0;
};

// The anchored matcher's tables, owned by the compiled program: `classes`
// maps a byte to its column, a state is the offset of its row in `trans`
// (`stride` columns, the last one the end of the text), an entry is the next
// state's offset with kDfaMatch (the text so far matched), kDfaDead (no later
// match) and kDfaQuit (only the engine can decide this byte) set.
// An entry into a state that loops on itself over some bytes also names,
// in the kDfaAccel bits, its row in `stays` (one plus its number): 256
// bytes, 0 for a byte that leaves the state, 1 for one that keeps it, 2 for
// one that keeps it and matches; a run of them is stepped over at once.
struct RegexDfa {
    const uint8_t* classes = nullptr;
    const uint32_t* trans = nullptr;
    uint32_t stride = 0;
    uint32_t start = 0;
    const uint8_t* stays = nullptr;
};
inline constexpr uint32_t kDfaMatch = 0x80000000u;
inline constexpr uint32_t kDfaDead = 0x40000000u;
inline constexpr uint32_t kDfaQuit = 0x20000000u;
inline constexpr uint32_t kDfaStop = kDfaDead | kDfaQuit;
inline constexpr uint32_t kDfaAccelShift = 18;
inline constexpr uint32_t kDfaAccel = 0x3FFu << kDfaAccelShift;
inline constexpr uint32_t kDfaOffset = (1u << kDfaAccelShift) - 1;

// What the matcher gives besides a match length.
inline constexpr int64_t kDfaNoMatch = -1;
inline constexpr int64_t kDfaAskEngine = -2;

// Steps over a run of bytes that keep a looping state: the first j' >= j
// below n whose byte leaves it (stay[p[j']] == 0), or n. `row` names the
// state's row in `stays`.
struct DfaStayRun {
    size_t operator()(const uint8_t* stay, uint32_t /*row*/, const unsigned char* p, size_t j, size_t n) const {
        while (j < n && stay[p[j]]) ++j;
        return j;
    }
};

// Where a walk of the matcher stands: before byte i, in `state`, with the
// longest match so far (kDfaNoMatch for none).
struct DfaCursor {
    uint32_t state = 0;
    size_t i = 0;
    int64_t last = kDfaNoMatch;
};

// Walks the n bytes at p from `c` until the walk ends (true, its outcome in
// `out`: a match length, kDfaNoMatch or kDfaAskEngine, and c.i where it
// ended) or reaches byte `stop` <= n (false, `c` left there or a little past
// it, before the end).
// `run` steps over a looping state's bytes (DfaStayRun, or one that
// remembers).
template <class StayRun>
inline bool dfa_walk(const RegexDfa& d, const unsigned char* p, size_t n, size_t stop, DfaCursor& c, int64_t& out,
                     StayRun&& run) {
    const uint32_t* trans = d.trans;
    const uint8_t* classes = d.classes;
    uint32_t s = c.state;
    int64_t last = c.last;
    size_t i = c.i;
    for (; i < stop; ++i) {
        uint32_t e = trans[s + classes[p[i]]];
        if (e & kDfaMatch) last = static_cast<int64_t>(i);
        if (e & kDfaStop) {
            out = (e & kDfaQuit) ? kDfaAskEngine : last;
            c.i = i;
            return true;
        }
        s = e & kDfaOffset;
        if (e & kDfaAccel) {
            // Each byte of the run is a step back into s, matching or not
            // as every other one of them.
            const uint32_t row = ((e & kDfaAccel) >> kDfaAccelShift) - 1;
            const uint8_t* stay = d.stays + size_t{row} * 256;
            size_t j = run(stay, row, p, i + 1, n);
            if (j > i + 1 && stay[p[j - 1]] == 2) last = static_cast<int64_t>(j - 1);
            i = j - 1;
        }
    }
    if (i >= n) {
        if (trans[s + d.stride - 1] & kDfaMatch) last = static_cast<int64_t>(n);
        out = last;
        c.i = n;
        return true;
    }
    c = DfaCursor{s, i, last};
    return false;
}

// The length of the anchored leftmost-first match at the start of the n
// bytes at p (the whole rest of the text), kDfaNoMatch, or kDfaAskEngine
// when the matcher reached a byte that only the engine can decide.
template <class StayRun = DfaStayRun>
inline int64_t dfa_match_length(const RegexDfa& d, const unsigned char* p, size_t n, StayRun&& run = StayRun{}) {
    DfaCursor c{d.start};
    int64_t out = kDfaNoMatch;
    dfa_walk(d, p, n, n, c, out, run);
    return out;
}

// What can begin a match of a pattern at a position, read from its parsed
// syntax (see regex_first_bytes in chars.hpp for the contract).
struct RegexStart {
    bool known = false;
    ByteSet bytes;
    bool at_end = false;
    bool empty = false;
    std::string literal;  // the pattern's plain text, or empty
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
    // Compiles `text` as it stands.
    static CompileOutcome compile(std::string_view text, const CompileRequest& how = {});

    ~CompiledRegex();
    CompiledRegex(const CompiledRegex&) = delete;
    CompiledRegex& operator=(const CompiledRegex&) = delete;

    // The length of the leftmost-first match that begins at `pos`, the rest
    // of `t` from `pos` handed over as the engine's whole text (so "^", "\A"
    // and word boundaries see `pos` as the start, "$" the real end); -1 when
    // the first match of that rest does not begin at its start, or when
    // `pos` is not a character boundary.
    // A pattern with a Unicode word boundary that has an anchored matcher
    // is read by it, and where it stops at a byte above 0x7F (as the
    // engine's own DFA does) by the NFA twin, which is what the engine falls
    // back to there but costs only the bytes it reads.
    int64_t match_length_at(Text t, Pos pos) const;

    // match_length_at as the engine answers it alone, whatever it costs:
    // the reference that the shortcuts are checked against.
    int64_t engine_length_at(Text t, Pos pos) const;

    // Whether match_length_at(t, 0) finds a match; cheaper than the length.
    bool matches_at_start(Text t) const;

    // The leftmost-first match of the whole of `t` that begins at or after
    // `from` (a character boundary), the text before `from` as context.
    // `wide_ahead` says that a byte above 0x7F stands at or after from - 1
    // (read by a pattern with a Unicode word boundary: its search then runs
    // on the twin whose cost follows the bytes it reads).
    RegexFound find_from(Text t, Pos from, bool wide_ahead = true) const;

    // The anchored matcher, when the program has one.
    const RegexDfa* dfa() const { return has_dfa_ ? &dfa_ : nullptr; }
    // What can begin a match (read when compiled as a matcher).
    const RegexStart& start_info() const { return start_; }

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
        // The first byte above 0x7F at or after from - 1 (t.len when none),
        // found by forward passes that each start past the byte the previous
        // one stopped at. A pattern with a twin searches on it while such a
        // byte is near; one farther away than kTwinWindow is left to the
        // engine, whose give-up at it costs at most a bounded clearing
        // (256 KiB) after a scan of at least the window.
        uint64_t wide = 0;
        bool wide_known = false;
        while (from <= t.len) {
            if (has_twin_) {
                uint64_t lo = from ? from - 1 : 0;
                if (!wide_known || wide < lo) {
                    wide = next_wide_byte(t, static_cast<Pos>(lo));
                    wide_known = true;
                }
            }
            RegexFound m = find_from(t, static_cast<Pos>(from), has_twin_ && wide < t.len && wide < from + kTwinWindow);
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

    static constexpr uint64_t kTwinWindow = 16384;

    // The first position at or after `p` whose byte is above 0x7F, or t.len.
    static uint64_t next_wide_byte(Text t, Pos p);

    // The first position after `p` that begins a character (len + 1 past the end).
    static uint64_t next_boundary(Text t, Pos p) {
        uint64_t q = uint64_t{p} + 1;
        while (q < t.len && is_continuation(t.at(static_cast<Pos>(q)))) ++q;
        return q;
    }

  private:
    CompiledRegex(QgxRegex* re, bool starts_only);
    QgxRegex* re_;
    bool starts_only_;
    bool has_twin_ = false;
    bool has_dfa_ = false;
    RegexDfa dfa_;
    RegexStart start_;
};

}  // namespace qgx
