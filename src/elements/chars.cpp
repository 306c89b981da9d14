#include "elements/chars.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <new>
#include <vector>

#include "elements/match_context.hpp"
#include "elements/regex_engine.hpp"
#include "elements/run_memory.hpp"
#include "messages.hpp"

namespace qgx {

namespace {

// The code point of the UTF-8 character at `i` when it is at most U+00FF,
// with its length; a longer or malformed character gives length 0.
struct SmallChar {
    uint32_t code;
    Pos len;
};
SmallChar small_char_at(Text t, Pos i) {
    unsigned char b = t.at(i);
    if (b < 0x80) return {b, 1};
    if ((b == 0xC2 || b == 0xC3) && i + 1 < t.len && is_continuation(t.at(i + 1)))
        return {((b & 0x1Fu) << 6) | (t.at(i + 1) & 0x3Fu), 2};
    return {0, 0};
}

// The longest prefix of `t` of at most `n` bytes that ends on a character boundary.
Pos whole_prefix(Text t, Pos n) {
    if (n >= t.len) return t.len;
    while (n > 0 && is_continuation(t.at(n))) --n;
    return n;
}

SharedText joined(std::string_view a, std::string_view b, std::string_view c) {
    std::string s;
    s.reserve(a.size() + b.size() + c.size());
    s.append(a).append(b).append(c);
    return SharedText::copy(s);
}

// Length of the UTF-8 character that begins a non-empty text (1 for a stray byte).
Pos first_char_length(Text t) {
    unsigned char b = t.at(0);
    Pos n = b < 0xC0 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    return n <= t.len ? n : t.len;
}

}  // namespace

// ---------------------------------------------------------------------------
// Word

ByteSet word_set_of(Text chars) {
    ByteSet s;
    Pos i = 0;
    while (i < chars.len) {
        SmallChar c = small_char_at(chars, i);
        if (c.len == 0) {
            ++i;  // above U+00FF: not recorded; its continuation bytes are skipped below
            while (i < chars.len && is_continuation(chars.at(i))) ++i;
            continue;
        }
        s.add(static_cast<unsigned char>(c.code));
        i += c.len;
    }
    return s;
}

SharedText word_message(Text init_chars) {
    Pos n = whole_prefix(init_chars, 8);
    return joined(msg::kWordMessagePrefix, std::string_view(init_chars.data, n), msg::kWordMessageSuffix);
}

Rc<WordElement> make_word_element(Text init, const Text* body) {
    Rc<WordElement> r = Rc<WordElement>::make();
    r->message = word_message(init);
    r->init_chars = word_set_of(init);
    r->body_chars = body ? word_set_of(*body) : r->init_chars;
    for (int b = 0; b < 256; ++b) r->body_table[b] = r->body_chars.has(static_cast<unsigned char>(b));
    r->min_len = 1;
    r->max_len = 0;
    r->high_members = (r->init_chars.words[2] | r->init_chars.words[3] | r->body_chars.words[2] |
                       r->body_chars.words[3]) != 0;
    return r;
}

ParseOutcome word_parse_at(const WordElement& r, Text t, Pos pos) {
    TryMatchOutcome m = word_try_match_at(r, t, pos);
    if (!m.matched) return ParseOutcome::fail_stored(r.message, pos);
    return ParseOutcome::success(m.end, TokenList(SharedText::view(t.data + pos, m.end - pos)));
}

ParseFromStartOutcome word_parse_from_start(const WordElement& r, Text t) {
    return ParseFromStartOutcome::from(word_parse_at(r, t, 0));
}

const ElementVTable* word_vtable() {
    return &KindTable<WordElement, word_parse_at, word_try_match_at, word_parse_from_start>::table;
}

// ---------------------------------------------------------------------------
// Regex

RegexClassification classify_pattern(Text p) {
    RegexClassification c;
    std::string_view v = p.view();
    if (v == "\\s+" || v == "\\s*") {
        c.fast_path = RegexFastPath::WhitespaceRun;
        return c;
    }
    if (v.size() < 2 || v.front() != '[' || v.back() != ']') return c;
    std::string_view inner = v.substr(1, v.size() - 2);
    if (inner.empty() || inner.find('[') != std::string_view::npos) return c;
    // "&&" and "~~" are class operations to the engine (as "--" is).
    bool exact = inner.front() != '^' && inner.find("&&") == std::string_view::npos &&
                 inner.find("~~") == std::string_view::npos;
    std::string unescaped;
    for (size_t i = 0; i < inner.size(); ++i) {
        unsigned char ch = static_cast<unsigned char>(inner[i]);
        if (ch == '\\') {
            if (++i == inner.size()) break;
            ch = static_cast<unsigned char>(inner[i]);
            // An escaped letter or digit is a class or a control escape to the engine.
            if (ch >= 0x80 || std::isalnum(ch)) exact = false;
        } else if (ch == '-' || ch == ']' || ch >= 0x80) {
            exact = false;
        }
        unescaped += static_cast<char>(ch);
    }
    if (unescaped.empty()) return c;
    c.fast_path = RegexFastPath::ByteClass;
    c.fast_set = word_set_of(Text(unescaped));
    c.exact_class = exact;
    return c;
}

RegexBuildOutcome make_regex_element(Text pattern) {
    RegexBuildOutcome out;
    std::string_view p = pattern.view();
    bool wrapped = p.empty() || p.front() != '^';
    std::string anchored = "^(?:" + std::string(p) + ")";
    std::string unanchored = "(?:" + std::string(p) + ")";
    RegexClassification c = classify_pattern(pattern);
    std::unique_ptr<RegexShape> shape;
    if (!kPlainPaths) {
        RegexShape s;
        if (regex_ascii_shape(p, s)) shape = std::make_unique<RegexShape>(s);
    }
    CompileRequest matcher;
    matcher.starts_only = true;
    matcher.matcher = true;
    // A shaped pattern or an exact class is read from the bytes; where the
    // shape cannot decide (a wide character that its class may or may not
    // take) a matcher would mostly give up too, so none is made for them.
    matcher.dfa = !kPlainPaths && !shape && !(c.fast_path == RegexFastPath::ByteClass && c.exact_class);
    if (!wrapped) {
        // A pattern that begins with "^" is compiled as it stands for its
        // errors; it is matched through the wrapped form, which cannot look
        // past the position (a later top-level alternative of the pattern
        // itself would search the whole rest of the text) and gives the same
        // answers: the leftmost-first match, where it begins at the start.
        // The wrapping may take two levels more than the pattern had.
        CompileOutcome plain = CompiledRegex::compile(p);
        if (!plain.regex) {
            out.error = std::move(plain.error);
            return out;
        }
        matcher.nest_limit = kRegexNestLimit + 2;
    }
    CompileOutcome a = CompiledRegex::compile(anchored, matcher);
    if (!a.regex) {
        out.error = std::move(a.error);
        return out;
    }
    CompileOutcome u = CompiledRegex::compile(unanchored);
    if (!u.regex) {
        out.error = std::move(u.error);
        return out;
    }
    // A pattern that closes the wrapping group ("[x])|(?:y") would compile
    // into texts that mean something other than the pattern, and the two
    // forms would then disagree; such a pattern is refused with the engine's
    // description of its own text. Every pattern that parses alone keeps
    // the errors of the wrapped texts above.
    std::string alone = regex_syntax_error(p);
    if (!alone.empty()) {
        out.error = std::move(alone);
        return out;
    }
    Rc<RegexElement> r = Rc<RegexElement>::make();
    r->fast_path = c.fast_path;
    r->fast_set = c.fast_set;
    r->exact_class = c.exact_class;
    r->whitespace_plus = p == "\\s+";
    r->shape = std::move(shape);
    r->anchored_regex = std::move(a.regex);
    r->unanchored_regex = std::move(u.regex);
    r->dfa = r->anchored_regex->dfa();
    r->message = joined(msg::kRegexMessagePrefix, p, msg::kRegexMessageSuffix);
    out.element = std::move(r);
    return out;
}

bool regex_first_bytes(const RegexElement& r, ByteSet& bytes, bool& at_end) {
    const RegexStart& s = r.anchored_regex->start_info();
    if (!s.known) return false;
    bytes = s.bytes;
    at_end = s.at_end;
    return true;
}

bool regex_matches_empty(const RegexElement& r) {
    const RegexStart& s = r.anchored_regex->start_info();
    return !s.known || s.empty;
}

const std::string* regex_plain_literal(const RegexElement& r) {
    const RegexStart& s = r.anchored_regex->start_info();
    return s.known && !s.literal.empty() ? &s.literal : nullptr;
}

namespace {

bool is_ascii_space_byte(unsigned char b) { return b == 9 || b == 10 || b == 12 || b == 13 || b == 32; }

// A looping state's run is the same from every start that reaches the state
// inside it: a long one is read once per operation.
struct StayRemembered {
    const RegexElement* r;
    Text t;
    Pos pos;
    uint64_t* skipped = nullptr;  // adds the bytes stepped over, when set
    size_t operator()(const uint8_t* stay, uint32_t row, const unsigned char*, size_t j, size_t) const {
        const size_t end = table_run_end(r, kRunDfaState + row, stay, t, pos + static_cast<Pos>(j), t.len) - pos;
        if (skipped) *skipped += end - j;
        return end;
    }
};

// A looping state's run within the walk's first bytes, read from the
// matcher's own bytes: a run that reaches `stop` ends the walk there, in the
// state, and the trail's walk goes on from that byte. Splitting a run is
// exact, since each of its bytes is a step back into the state.
struct StayUpTo {
    size_t stop;
    size_t operator()(const uint8_t* stay, uint32_t /*row*/, const unsigned char* p, size_t j, size_t) const {
        while (j < stop && stay[p[j]]) ++j;
        return j;
    }
};

// What one operation has learnt of a pattern's automaton on its text: at
// checkpoints (every kTrailStep-th position), the states walks stood in there
// and each walk's outcome from there on. Two walks in one state at one
// position read the rest of the text alike, so a later walk that reaches a
// known (position, state) takes its outcome: the walks from the starts inside
// a long run converge within a checkpoint or two of each other, instead of
// each reading the rest of the run. At most one entry per state per
// checkpoint, so the walks that do not converge at a checkpoint are at most
// as many as the automaton has states.
struct DfaTrail : ContextSlot {
    struct Entry {
        Pos pos = 0;
        uint32_t state1 = 0;  // the state plus one; 0 for an empty entry
        int64_t outcome = 0;  // an absolute match end, kDfaNoMatch or kDfaAskEngine
    };
    struct Crossed {
        Pos pos;
        uint32_t state;
    };
    // Past this many entries nothing more is added: walks go on without.
    static constexpr uint32_t kMaxEntries = uint32_t{1} << 20;
    std::vector<Entry> table;  // open addressing, a power of two in size
    uint32_t used = 0;
    std::vector<Crossed> crossed;  // the checkpoints of the walk under way
    void reset(Text) override {
        table.clear();
        used = 0;
        crossed.clear();
    }
    static size_t slot_of(Pos pos, uint32_t state, size_t mask) {
        uint64_t h = (uint64_t{pos} << 20 ^ state) * 0x9E3779B97F4A7C15ull;
        return static_cast<size_t>(h >> 29) & mask;
    }
    const Entry* find(Pos pos, uint32_t state) const {
        if (table.empty()) return nullptr;
        const size_t mask = table.size() - 1;
        for (size_t i = slot_of(pos, state, mask);; i = (i + 1) & mask) {
            const Entry& e = table[i];
            if (e.state1 == 0) return nullptr;
            if (e.pos == pos && e.state1 == state + 1) return &e;
        }
    }
    void add(Pos pos, uint32_t state, int64_t outcome) noexcept {
        if (used >= kMaxEntries) return;
        if (table.empty() || (used + 1) * 2 > table.size()) {
            std::vector<Entry> fresh;
            try {
                fresh.resize(table.empty() ? 64 : table.size() * 2);
            } catch (const std::bad_alloc&) {
                return;
            }
            const size_t mask = fresh.size() - 1;
            for (const Entry& e : table) {
                if (e.state1 == 0) continue;
                size_t i = slot_of(e.pos, e.state1 - 1, mask);
                while (fresh[i].state1 != 0) i = (i + 1) & mask;
                fresh[i] = e;
            }
            table.swap(fresh);
        }
        const size_t mask = table.size() - 1;
        size_t i = slot_of(pos, state, mask);
        while (table[i].state1 != 0) {
            if (table[i].pos == pos && table[i].state1 == state + 1) return;
            i = (i + 1) & mask;
        }
        table[i] = Entry{pos, state + 1, outcome};
        ++used;
    }
};

inline constexpr Pos kTrailStep = kRunPrefix;

// The rest of a walk that went past the prefix (`c`, from the start at
// pos): through the operation's trail, as dfa_match_length would end it.
[[gnu::noinline]] int64_t trail_walk(const RegexElement& r, Text t, Pos pos, DfaCursor c) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(t.data) + pos;
    const size_t n = t.len - pos;
    const RegexDfa& d = *r.dfa;
    uint64_t skipped = 0;
    StayRemembered run{&r, t, pos, &skipped};
    const size_t from = c.i;
    int64_t out = kDfaNoMatch;
    DfaTrail* m = nullptr;
    if (MatchContext* ctx = current_context()) m = ctx->scratch<DfaTrail>(&r, t);
    if (!m) {
        dfa_walk(d, p, n, n, c, out, run);
        tls_long_run_bytes += c.i - from - skipped;
        return out;
    }
    m->crossed.clear();
    // The walk's outcome as an absolute end (or kDfaNoMatch, kDfaAskEngine).
    int64_t outcome;
    for (;;) {
        // Up to the next checkpoint after the walk's position.
        const uint64_t at = uint64_t{pos} + c.i;
        const uint64_t next = (at / kTrailStep + 1) * kTrailStep;
        if (next >= t.len || dfa_walk(d, p, n, static_cast<size_t>(next - pos), c, out, run)) {
            if (next >= t.len) dfa_walk(d, p, n, n, c, out, run);
            outcome = out >= 0 ? int64_t{pos} + out : out;
            break;
        }
        if (pos + c.i != next) continue;  // a looping state's run went past it
        if (const DfaTrail::Entry* e = m->find(static_cast<Pos>(next), c.state)) {
            outcome = e->outcome == kDfaNoMatch && c.last >= 0 ? int64_t{pos} + c.last : e->outcome;
            break;
        }
        try {
            m->crossed.push_back({static_cast<Pos>(next), c.state});
        } catch (const std::bad_alloc&) {
            // This walk leaves less behind.
        }
    }
    tls_long_run_bytes += c.i - from - skipped;
    for (const DfaTrail::Crossed& x : m->crossed)
        m->add(x.pos, x.state, outcome == kDfaAskEngine || outcome >= int64_t{x.pos} ? outcome : kDfaNoMatch);
    m->crossed.clear();
    return outcome >= 0 ? outcome - int64_t{pos} : outcome;
}

// The byte shortcuts: -1 when the engine must answer, else the match end
// (or -2 for no match).
constexpr int64_t kAskEngine = kShapeAskEngine;
constexpr int64_t kNoMatch = kShapeNoMatch;

int64_t shortcut_end(const RegexElement& r, Text t, Pos pos) {
    if (r.fast_path == RegexFastPath::ByteClass && r.exact_class)
        return pos < t.len && r.fast_set.has(t.at(pos)) ? int64_t{pos} + 1 : kNoMatch;
    if (r.fast_path == RegexFastPath::WhitespaceRun) {
        Pos e = run_end<kRunPrefix>(&r, kRunRegexSpace, t, pos, t.len, [](Text t, Pos i, Pos stop) {
            while (i < stop && is_ascii_space_byte(t.at(i))) ++i;
            return i;
        });
        // A vertical tab or a character above U+007F may be White_Space too.
        bool unsure = e < t.len && (t.at(e) == 11 || t.at(e) >= 0x80);
        if (!unsure) return e == pos && r.whitespace_plus ? kNoMatch : int64_t{e};
    } else if (r.shape) {
        int64_t e = regex_shape_end(*r.shape, t, pos);
        if (e != kAskEngine) return e;
    }
    if (r.dfa) {
        if (pos < t.len && is_continuation(t.at(pos))) return kNoMatch;
        const size_t len = t.len - pos;
        DfaCursor c{r.dfa->start};
        int64_t n = kDfaNoMatch;
        const size_t stop = len > kRunPrefix ? size_t{kRunPrefix} : len;
        if (!dfa_walk(*r.dfa, reinterpret_cast<const unsigned char*>(t.data) + pos, len, stop, c, n,
                      StayUpTo{stop}))
            n = trail_walk(r, t, pos, c);
        if (n >= 0) return int64_t{pos} + n;
        return n == kDfaNoMatch ? kNoMatch : kAskEngine;
    }
    return kAskEngine;
}

}  // namespace

TryMatchOutcome regex_try_match_at(const RegexElement& r, Text t, Pos pos) {
    if constexpr (!kPlainPaths) {
        int64_t e = shortcut_end(r, t, pos);
        if (e == kNoMatch) return TryMatchOutcome::no();
        if (e >= 0) return TryMatchOutcome::yes(static_cast<Pos>(e));
    }
    int64_t n = r.anchored_regex->match_length_at(t, pos);
    if (n < 0) return TryMatchOutcome::no();
    return TryMatchOutcome::yes(pos + static_cast<Pos>(n));
}

// The span is the one try_match_at finds (its shortcuts answer only where
// their answer is the engine's), so the byte readings serve here too.
ParseOutcome regex_parse_at(const RegexElement& r, Text t, Pos pos) {
    TryMatchOutcome m = regex_try_match_at(r, t, pos);
    if (!m.matched) return ParseOutcome::fail_stored(r.message, pos);
    return ParseOutcome::success(m.end, TokenList(SharedText::view(t.data + pos, m.end - pos)));
}

ParseFromStartOutcome regex_parse_from_start(const RegexElement& r, Text t) {
    return ParseFromStartOutcome::from(regex_parse_at(r, t, 0));
}

const ElementVTable* regex_vtable() {
    return &KindTable<RegexElement, regex_parse_at, regex_try_match_at, regex_parse_from_start>::table;
}

// ---------------------------------------------------------------------------
// QuotedString

Rc<QuotedStringElement> make_quoted_string_element(Text quote_char, const Text* esc_char, bool multiline,
                                                   bool unquote) {
    Rc<QuotedStringElement> r = Rc<QuotedStringElement>::make();
    r->message = joined(msg::kQuotedMessagePrefix, quote_char.view(), msg::kQuotedMessageSuffix);
    if (quote_char.len > 0) {
        r->quote_len = static_cast<uint8_t>(first_char_length(quote_char));
        std::memcpy(r->quote_bytes, quote_char.data, r->quote_len);
    }
    r->quote = static_cast<uint8_t>(r->quote_bytes[0]);
    if (esc_char && esc_char->len > 0) {
        r->has_escape = 1;
        r->escape_len = static_cast<uint8_t>(first_char_length(*esc_char));
        std::memcpy(r->escape_bytes, esc_char->data, r->escape_len);
        r->escape = static_cast<uint8_t>(r->escape_bytes[0]);
    }
    r->multiline = multiline;
    r->unquote = unquote;
    return r;
}

namespace {

// Whether the whole quote character stands at i (its first byte is known to).
inline bool quote_rest_at(const QuotedStringElement& r, Text t, Pos i) {
    return r.quote_len == 1 || (t.len - i >= r.quote_len && std::memcmp(t.data + i, r.quote_bytes, r.quote_len) == 0);
}

// Where a scan of the quoted text stands: still open at `e` (the next byte it
// examines), closed with end `end`, or failed.
struct QuotedScan {
    enum State : uint8_t { Open, Closed, Failed } state;
    Pos at;  // Open: the next byte examined; Closed: the match's end
};

// Examines the bytes from e on while e < limit, in the kind's order: a newline
// (when not multiline) fails, an escape passes over itself and the byte after
// it, a quote closes.
inline QuotedScan scan_quoted(const QuotedStringElement& r, Text t, Pos e, Pos limit) {
    while (e < limit) {
        unsigned char b = t.at(e);
        if (b == '\n' && !r.multiline) return {QuotedScan::Failed, 0};
        if (r.has_escape && b == r.escape &&
            (r.escape_len == 1 ||
             (t.len - e >= r.escape_len && std::memcmp(t.data + e, r.escape_bytes, r.escape_len) == 0))) {
            // The escape and the byte after it are passed over, whatever it is.
            if (t.len - e <= r.escape_len) return {QuotedScan::Failed, 0};
            e += r.escape_len + 1;
            continue;
        }
        if (b == r.quote && quote_rest_at(r, t, e)) return {QuotedScan::Closed, e + r.quote_len};
        ++e;
    }
    if (e >= t.len) return {QuotedScan::Failed, 0};
    return {QuotedScan::Open, e};
}

// The outcome of a scan depends only on the byte it examines next, not on
// the opening it came from: two scans that examine one same byte end alike.
// Scans of one text are cut into blocks of kQuotedBlock bytes, and the first
// byte a scan examines in each block it passes (its checkpoint there) is
// remembered with the scan's outcome. A later scan that reaches a remembered
// checkpoint stops there with that outcome. Scans in step examine the same
// first byte in a block, so a scan from a later opening in the same escape
// phase goes at most one block before it stops; scans out of step (an escape
// equal to the quote, runs of escapes) are at most escape length + 1 apart,
// since a step moves at most that far, so each byte is passed by a bounded
// number of distinct scans and the whole is linear in the text.
constexpr Pos kQuotedBlock = 64;

class QuotedScanMemo : public ContextSlot {
  public:
    void reset(Text) override {
        used_ = 0;
        pending_.clear();
        if (!keys_.empty()) std::fill(keys_.begin(), keys_.end(), 0);
    }
    // The outcome remembered at checkpoint e: 0 for a failure, else the end.
    bool find(Pos e, Pos& outcome) const {
        if (keys_.empty()) return false;
        for (size_t i = slot_of(e);; i = (i + 1) & mask_) {
            if (keys_[i] == 0) return false;
            if (keys_[i] == uint64_t{e} + 1) {
                outcome = values_[i];
                return true;
            }
        }
    }
    void note(Pos e) { pending_.push_back(e); }
    // Remembers the noted checkpoints with the outcome of their scan.
    void settle(Pos outcome) {
        for (Pos e : pending_) put(e, outcome);
        pending_.clear();
    }

  private:
    size_t slot_of(Pos e) const { return static_cast<size_t>((uint64_t{e} * 0x9E3779B97F4A7C15ull) >> 20) & mask_; }
    void put(Pos e, Pos outcome) {
        if ((used_ + 1) * 2 > keys_.size()) grow();
        size_t i = slot_of(e);
        while (keys_[i] != 0 && keys_[i] != uint64_t{e} + 1) i = (i + 1) & mask_;
        if (keys_[i] == 0) ++used_;
        keys_[i] = uint64_t{e} + 1;
        values_[i] = outcome;
    }
    void grow() {
        std::vector<uint64_t> old_keys = std::move(keys_);
        std::vector<Pos> old_values = std::move(values_);
        size_t cap = old_keys.empty() ? 64 : old_keys.size() * 2;
        keys_.assign(cap, 0);
        values_.assign(cap, 0);
        mask_ = cap - 1;
        used_ = 0;
        for (size_t j = 0; j < old_keys.size(); ++j)
            if (old_keys[j]) put(static_cast<Pos>(old_keys[j] - 1), old_values[j]);
    }

    std::vector<uint64_t> keys_;  // checkpoint + 1; 0 = empty
    std::vector<Pos> values_;
    size_t mask_ = 0, used_ = 0;
    std::vector<Pos> pending_;
};

inline Pos block_end_after(Pos e, Pos len) {
    uint64_t b = (uint64_t{e} / kQuotedBlock + 1) * kQuotedBlock;
    return b < len ? static_cast<Pos>(b) : len;
}

// The rest of a scan that has passed its first block: from checkpoint to
// checkpoint, with the memo when there is one.
[[gnu::noinline]] Pos quoted_scan_long(const QuotedStringElement& r, Text t, Pos e) {
    QuotedScanMemo* memo = nullptr;
    if (MatchContext* c = current_context()) memo = c->scratch<QuotedScanMemo>(&r, t);
    if (!memo) {
        QuotedScan s = scan_quoted(r, t, e, t.len);
        return s.state == QuotedScan::Closed ? s.at : 0;
    }
    Pos outcome = 0;
    try {
        for (;;) {
            if (memo->find(e, outcome)) break;
            memo->note(e);
            QuotedScan s = scan_quoted(r, t, e, block_end_after(e, t.len));
            if (s.state != QuotedScan::Open) {
                outcome = s.state == QuotedScan::Closed ? s.at : 0;
                break;
            }
            e = s.at;
        }
        memo->settle(outcome);
    } catch (const std::bad_alloc&) {
        // Without room to remember, the scan finishes as written.
        memo->reset(t);
        QuotedScan s = scan_quoted(r, t, e, t.len);
        return s.state == QuotedScan::Closed ? s.at : 0;
    }
    return outcome;
}

}  // namespace

Pos quoted_string_close(const QuotedStringElement& r, Text t, Pos pos) {
    if (pos >= t.len || t.at(pos) != r.quote || !quote_rest_at(r, t, pos)) return 0;
    // Each quote after the opening is taken as an escape first: nothing closes.
    if (!kPlainPaths && r.has_escape && r.escape_len == r.quote_len &&
        std::memcmp(r.escape_bytes, r.quote_bytes, r.quote_len) == 0)
        return 0;
    Pos e = pos + r.quote_len;
    if (e >= t.len) return 0;
    // Most quoted texts close within their first two blocks, with no memo.
    QuotedScan s = scan_quoted(r, t, e, block_end_after(block_end_after(e, t.len), t.len));
    if (s.state != QuotedScan::Open) return s.state == QuotedScan::Closed ? s.at : 0;
    return quoted_scan_long(r, t, s.at);
}

ParseOutcome quoted_string_parse_at(const QuotedStringElement& r, Text t, Pos pos) {
    Pos end = quoted_string_close(r, t, pos);
    if (!end) return ParseOutcome::fail_stored(r.message, pos);
    Pos from = r.unquote ? pos + r.quote_len : pos;
    Pos to = r.unquote ? end - r.quote_len : end;
    return ParseOutcome::success(end, TokenList(SharedText::view(t.data + from, to - from)));
}

ParseFromStartOutcome quoted_string_parse_from_start(const QuotedStringElement& r, Text t) {
    return ParseFromStartOutcome::from(quoted_string_parse_at(r, t, 0));
}

const ElementVTable* quoted_string_vtable() {
    return &KindTable<QuotedStringElement, quoted_string_parse_at, quoted_string_try_match_at,
                      quoted_string_parse_from_start>::table;
}

}  // namespace qgx
