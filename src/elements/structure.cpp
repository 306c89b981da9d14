#include "elements/structure.hpp"

#include <cstring>
#include <string_view>

#include "elements/chars.hpp"
#include "elements/forward.hpp"
#include "elements/literals.hpp"
#include "messages.hpp"

namespace qgx {

namespace {

ParseOutcome fixed_failure(const char* message, Pos pos) { return ParseOutcome::fail(SharedText::fixed(message), pos); }

bool any_reaches_forward(const std::vector<SharedElement>& v) {
    for (const SharedElement& e : v)
        if (child_reaches_forward(e)) return true;
    return false;
}

// The one repetition loop of ZeroOrMore and OneOrMore: gathers the tokens of
// every repetition that advances; gives the end and the number appended.
struct RepeatResult {
    Pos end;
    uint32_t appended;
};
RepeatResult repeat_parse(const SharedElement& child, Text t, Pos pos, TokenList& gathered) {
    Pos current = pos;
    uint32_t appended = 0;
    for (;;) {
        ParseOutcome o = child.parse_at(t, current);
        if (!o.ok || o.end == current) break;  // the outcome's tokens or failure go with it
        gathered.append(std::move(o.tokens));
        current = o.end;
        ++appended;
    }
    return {current, appended};
}

TryMatchOutcome repeat_try(const SharedElement& child, Text t, Pos current) {
    for (;;) {
        TryMatchOutcome m = child.try_match_at(t, current);
        if (!m.matched) return depth_aborting() ? m : TryMatchOutcome::yes(current);
        if (m.end == current) return m;
        current = m.end;
    }
}

// The text from `from` to `to` as a token. A bound inside a multi-byte
// character moves to the next character boundary, so that no token holds a
// cut character; the match end is not changed by this.
SharedText cut_token(Text t, Pos from, Pos to) {
    while (from < to && !on_boundary(t, from)) ++from;
    while (to > from && !on_boundary(t, to)) --to;
    return SharedText::view(t.data + from, to - from);
}

}  // namespace

AndElement::AndElement(std::vector<SharedElement> e) : exprs(std::move(e)) {
    reaches_forward = any_reaches_forward(exprs);
    note_composite_built(exprs.size());
}
namespace {

// The bytes at which an element can match (parse_at or try_match_at) at a
// position: `bytes` for a position inside the text, `at_end` for the end.
// Only a necessary condition: an element outside its set fails there.
struct FirstBytes {
    ByteSet bytes;
    bool at_end = false;

    static FirstBytes anywhere() {
        FirstBytes f;
        for (uint64_t& w : f.bytes.words) w = ~uint64_t{0};
        f.at_end = true;
        return f;
    }
    static FirstBytes one(unsigned char b) {
        FirstBytes f;
        f.bytes.add(b);
        return f;
    }
    bool is_anywhere() const {
        return at_end && (bytes.words[0] & bytes.words[1] & bytes.words[2] & bytes.words[3]) == ~uint64_t{0};
    }
    void add(const FirstBytes& o) {
        for (int i = 0; i < 4; ++i) bytes.words[i] |= o.bytes.words[i];
        at_end = at_end || o.at_end;
    }
};

// The bytes that can begin a match of a pattern, read from its text, or
// false where the text is not of the simple forms understood here: a first
// atom that is an ASCII character, an escaped ASCII punctuation character or
// a class of ASCII characters and ranges (no negation, no class escape but
// \n \t \r \f \v), not followed by a quantifier that allows zero, and no
// alternation anywhere. Such a pattern matches only where its first atom
// does: at one of these bytes, never at the end of the text.
bool pattern_first_bytes(std::string_view p, ByteSet& out) {
    auto ascii = [](unsigned char c) { return c < 0x80; };
    // No "|" outside a class, with escapes and classes skipped.
    for (size_t i = 0; i < p.size(); ++i) {
        char c = p[i];
        if (c == '\\') {
            ++i;
        } else if (c == '[') {
            size_t j = i + 1;
            if (j < p.size() && p[j] == '^') ++j;
            if (j < p.size() && p[j] == ']') ++j;
            for (; j < p.size() && p[j] != ']'; ++j) {
                if (p[j] == '\\') ++j;
                else if (p[j] == '[') return false;  // a named class: not read here
            }
            if (j >= p.size()) return false;
            i = j;
        } else if (c == '|') {
            return false;
        }
    }
    if (p.empty()) return false;
    auto escaped_byte = [](char e, unsigned char& b) {
        switch (e) {
            case 'n': b = '\n'; return true;
            case 't': b = '\t'; return true;
            case 'r': b = '\r'; return true;
            case 'f': b = '\f'; return true;
            case 'v': b = '\v'; return true;
            default: break;
        }
        unsigned char u = static_cast<unsigned char>(e);
        bool alnum = (u >= '0' && u <= '9') || (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z');
        if (u < 0x7F && u > 0x20 && !alnum) {
            b = u;
            return true;
        }
        return false;
    };
    ByteSet set;
    size_t next = 0;
    unsigned char c0 = static_cast<unsigned char>(p[0]);
    if (c0 == '[') {
        size_t i = 1;
        if (i >= p.size() || p[i] == '^' || p[i] == ']') return false;
        bool closed = false;
        while (i < p.size()) {
            unsigned char lo = static_cast<unsigned char>(p[i]);
            if (lo == ']') {
                closed = true;
                ++i;
                break;
            }
            if (lo == '\\') {
                if (i + 1 >= p.size() || !escaped_byte(p[i + 1], lo)) return false;
                i += 2;
            } else {
                if (!ascii(lo) || lo == '[') return false;
                i += 1;
            }
            unsigned char hi = lo;
            if (i + 1 < p.size() && p[i] == '-' && p[i + 1] != ']') {
                hi = static_cast<unsigned char>(p[i + 1]);
                if (hi == '\\') {
                    if (i + 2 >= p.size() || !escaped_byte(p[i + 2], hi)) return false;
                    i += 3;
                } else {
                    if (!ascii(hi) || hi == '[') return false;
                    i += 2;
                }
                if (hi < lo) return false;
            }
            for (unsigned b = lo; b <= hi; ++b) set.add(static_cast<unsigned char>(b));
        }
        if (!closed) return false;
        next = i;
    } else if (c0 == '\\') {
        unsigned char b;
        if (p.size() < 2 || p[1] == 'n' || p[1] == 't' || p[1] == 'r' || p[1] == 'f' || p[1] == 'v' ||
            !escaped_byte(p[1], b))
            return false;
        set.add(b);
        next = 2;
    } else {
        if (!ascii(c0) || std::strchr("^$.()*+?{}|]", c0) != nullptr || c0 == 0) return false;
        set.add(c0);
        next = 1;
    }
    if (next < p.size() && (p[next] == '*' || p[next] == '?' || p[next] == '{')) return false;
    if (set.empty()) return false;
    out = set;
    return true;
}

// How far the analysis follows composites into their children, and how many
// alternatives of nested MatchFirsts it looks at in all: past either, an
// element counts as matching anywhere.
constexpr int kFirstBytesDepth = 8;

// The terminal records are read here, once per MatchFirst, when its table is
// built; matching still goes through their interface. A Forward's target can
// change, so a Forward counts as matching anywhere.
FirstBytes first_bytes_of(const SharedElement& e, int depth, uint32_t& budget) {
    const ElementVTable* v = e.vtable();
    const ElementHeader* rec = e.record();
    if (v == literal_vtable()) {
        const auto* r = static_cast<const LiteralElement*>(rec);
        return r->text.size() ? FirstBytes::one(r->first_byte) : FirstBytes::anywhere();
    }
    if (v == keyword_vtable()) {
        const auto* r = static_cast<const KeywordElement*>(rec);
        return r->match_len ? FirstBytes::one(r->first_byte) : FirstBytes::anywhere();
    }
    if (v == caseless_literal_vtable() || v == caseless_keyword_vtable()) {
        // A byte matches the lowered first byte c when it lowers to c.
        const OwnedBytes& lower = v == caseless_literal_vtable()
                                      ? static_cast<const CaselessLiteralElement*>(rec)->lower_text
                                      : static_cast<const CaselessKeywordElement*>(rec)->lower_text;
        Pos n = v == caseless_literal_vtable() ? lower.size() : static_cast<const CaselessKeywordElement*>(rec)->match_len;
        if (n == 0) return FirstBytes::anywhere();
        unsigned char c = static_cast<unsigned char>(lower.data()[0]);
        FirstBytes f = FirstBytes::one(c);
        if (c >= 'a' && c <= 'z') f.bytes.add(static_cast<unsigned char>(c - 0x20));
        return f;
    }
    if (v == char_vtable()) {
        const auto* r = static_cast<const CharElement*>(rec);
        FirstBytes f;
        for (int b = 0; b < 256; ++b)
            if (r->members.has(static_cast<unsigned char>(b))) f.bytes.add(static_cast<unsigned char>(b));
        return f;
    }
    if (v == word_vtable()) {
        // Both operations test the first byte against the first set.
        FirstBytes f;
        f.bytes = static_cast<const WordElement*>(rec)->init_chars;
        return f;
    }
    if (v == regex_vtable()) {
        // The message holds the pattern as written: "Expected match for /{}/".
        std::string_view m = static_cast<const RegexElement*>(rec)->message.view();
        std::string_view prefix = msg::kRegexMessagePrefix, suffix = msg::kRegexMessageSuffix;
        FirstBytes f;
        if (m.size() >= prefix.size() + suffix.size() && m.substr(0, prefix.size()) == prefix &&
            m.substr(m.size() - suffix.size()) == suffix &&
            pattern_first_bytes(m.substr(prefix.size(), m.size() - prefix.size() - suffix.size()), f.bytes))
            return f;
        return FirstBytes::anywhere();
    }
    if (v == quoted_string_vtable()) return FirstBytes::one(static_cast<const QuotedStringElement*>(rec)->quote);
    if (depth >= kFirstBytesDepth) return FirstBytes::anywhere();
    if (v == and_vtable()) {
        // Every member is tried in turn from the position, so the first one decides.
        const auto& m = static_cast<const AndElement*>(rec)->exprs;
        return m.empty() ? FirstBytes::anywhere() : first_bytes_of(m.front(), depth + 1, budget);
    }
    if (v == match_first_vtable()) {
        const auto* r = static_cast<const MatchFirstElement*>(rec);
        FirstBytes f;
        for (const SharedElement& a : r->exprs) {
            if (budget == 0) return FirstBytes::anywhere();
            --budget;
            f.add(first_bytes_of(a, depth + 1, budget));
            if (f.is_anywhere()) break;
        }
        return f;
    }
    // The kinds whose every match begins with a match of their child there.
    if (v == group_vtable() || v == suppress_vtable() || v == combine_vtable() || v == one_or_more_vtable())
        return first_bytes_of(static_cast<const OneChildElement*>(rec)->expr, depth + 1, budget);
    if (v == exactly_vtable()) {
        const auto* r = static_cast<const ExactlyElement*>(rec);
        return r->count ? first_bytes_of(r->expr, depth + 1, budget) : FirstBytes::anywhere();
    }
    return FirstBytes::anywhere();
}

// A table larger than this (alternatives that may match anywhere stand in
// every bucket) is not made: the alternatives are then tried in turn.
constexpr size_t kMaxDispatchItems = size_t{1} << 20;

// Nullptr when no table helps (or it cannot be made).
AlternativeDispatch* make_dispatch(const std::vector<SharedElement>& exprs) noexcept {
    if constexpr (kPlainPaths) return nullptr;
    try {
        std::vector<FirstBytes> first;
        first.reserve(exprs.size());
        uint32_t budget = 4096;
        size_t items = 0;
        bool restricted = false;
        for (const SharedElement& e : exprs) {
            first.push_back(first_bytes_of(e, 0, budget));
            const FirstBytes& f = first.back();
            restricted = restricted || !f.is_anywhere();
            for (uint64_t w : f.bytes.words) items += static_cast<size_t>(__builtin_popcountll(w));
            items += f.at_end;
        }
        if (!restricted || items > kMaxDispatchItems) return nullptr;
        auto d = std::make_unique<AlternativeDispatch>();
        d->items.reserve(items);
        for (unsigned b = 0; b <= 256; ++b) {
            d->start[b] = static_cast<uint32_t>(d->items.size());
            for (size_t i = 0; i < exprs.size(); ++i) {
                bool in = b == 256 ? first[i].at_end : first[i].bytes.has(static_cast<unsigned char>(b));
                if (in) d->items.push_back(static_cast<uint32_t>(i));
            }
        }
        d->start[257] = static_cast<uint32_t>(d->items.size());
        for (unsigned b = 0; b < 256; ++b)
            if (d->start[b + 1] > d->start[b]) d->may_start.add(static_cast<unsigned char>(b));
        return d.release();
    } catch (...) {
        return nullptr;  // without a table every alternative is tried, as the plain path does
    }
}

}  // namespace

MatchFirstElement::MatchFirstElement(std::vector<SharedElement> e) : exprs(std::move(e)) {
    reaches_forward = any_reaches_forward(exprs);
    note_composite_built(exprs.size());
}
OneChildElement::OneChildElement(SharedElement e) : expr(std::move(e)) {
    reaches_forward = child_reaches_forward(expr);
    note_composite_built(1);
}

MatchFirstElement::~MatchFirstElement() {
    uintptr_t d = dispatch_.load(std::memory_order_relaxed);
    if (d != kUnbuilt && d != kNoTable) delete reinterpret_cast<const AlternativeDispatch*>(d);
}

uintptr_t MatchFirstElement::build_dispatch() const {
    const AlternativeDispatch* table = make_dispatch(exprs);
    uintptr_t made = table ? reinterpret_cast<uintptr_t>(table) : kNoTable;
    uintptr_t expected = kUnbuilt;
    if (dispatch_.compare_exchange_strong(expected, made, std::memory_order_acq_rel, std::memory_order_acquire))
        return made;
    delete table;  // another thread published first
    return expected;
}

ParseOutcome depth_failure(Pos pos) { return fixed_failure(msg::kRecursionLimitFailure, pos); }

// ---------------------------------------------------------------------------
// And

ParseOutcome and_parse_at(const AndElement& r, Text t, Pos pos) {
    MatchDepth depth;
    if (!depth.ok()) return depth_failure(pos);
    Pos current = pos;
    TokenList gathered;
    for (const SharedElement& m : r.exprs) {
        ParseOutcome o = m.parse_at(t, current);
        if (!o.ok) return o;
        gathered.append(std::move(o.tokens));
        current = o.end;
    }
    return ParseOutcome::success(current, std::move(gathered));
}

TryMatchOutcome and_try_match_at(const AndElement& r, Text t, Pos pos) {
    MatchDepth depth;
    if (!depth.ok()) return TryMatchOutcome::no();
    Pos current = pos;
    for (const SharedElement& m : r.exprs) {
        TryMatchOutcome o = m.try_match_at(t, current);
        if (!o.matched) return o;
        current = o.end;
    }
    return TryMatchOutcome::yes(current);
}

ParseFromStartOutcome and_parse_from_start(const AndElement& r, Text t) {
    return ParseFromStartOutcome::from(and_parse_at(r, t, 0));
}

// ---------------------------------------------------------------------------
// MatchFirst

ParseOutcome match_first_parse_at(const MatchFirstElement& r, Text t, Pos pos) {
    MatchDepth depth;
    if (!depth.ok()) return depth_failure(pos);
    if (r.exprs.empty()) return fixed_failure(msg::kNoMatchFound, pos);
    const uint32_t last_index = static_cast<uint32_t>(r.exprs.size() - 1);
    if (const AlternativeDispatch* d = r.dispatch()) {
        // Only the alternatives that can match at this byte are tried, each
        // once. When none matches, the failure is the last alternative's, as
        // without the table: held when it was among them, else it is tried
        // now, for the first time here (it fails at once, by its first byte).
        unsigned b = pos < t.len ? t.at(pos) : 256u;
        for (uint32_t k = d->start[b]; k < d->start[b + 1]; ++k) {
            ParseOutcome o = r.exprs[d->items[k]].parse_at(t, pos);
            if (o.ok || depth_aborting() || d->items[k] == last_index) return o;
        }
        return r.exprs.back().parse_at(t, pos);
    }
    ParseOutcome last;
    for (const SharedElement& a : r.exprs) {
        last = a.parse_at(t, pos);  // releases the failure held before
        if (last.ok || depth_aborting()) return last;
    }
    return last;
}

TryMatchOutcome match_first_try(const MatchFirstElement& r, Text t, Pos pos) {
    if (const AlternativeDispatch* d = r.dispatch()) {
        // The alternatives that cannot match at this byte are skipped.
        unsigned b = pos < t.len ? t.at(pos) : 256u;
        for (uint32_t k = d->start[b]; k < d->start[b + 1]; ++k) {
            TryMatchOutcome o = r.exprs[d->items[k]].try_match_at(t, pos);
            if (o.matched || depth_aborting()) return o;
        }
        return TryMatchOutcome::no();
    }
    for (const SharedElement& a : r.exprs) {
        TryMatchOutcome o = a.try_match_at(t, pos);
        if (o.matched || depth_aborting()) return o;
    }
    return TryMatchOutcome::no();
}

TryMatchOutcome match_first_try_match_at(const MatchFirstElement& r, Text t, Pos pos) {
    MatchDepth depth;
    if (!depth.ok()) return TryMatchOutcome::no();
    return match_first_try(r, t, pos);
}

ParseFromStartOutcome match_first_parse_from_start(const MatchFirstElement& r, Text t) {
    return ParseFromStartOutcome::from(match_first_parse_at(r, t, 0));
}

// ---------------------------------------------------------------------------
// Optional

ParseOutcome optional_parse_at(const OptionalElement& r, Text t, Pos pos) {
    MatchDepth depth;
    if (!depth.ok()) return depth_failure(pos);
    ParseOutcome o = r.expr.parse_at(t, pos);
    if (o.ok || depth_aborting()) return o;
    return ParseOutcome::success(pos);
}

TryMatchOutcome optional_try_match_at(const OptionalElement& r, Text t, Pos pos) {
    MatchDepth depth;
    if (!depth.ok()) return TryMatchOutcome::no();
    TryMatchOutcome o = r.expr.try_match_at(t, pos);
    if (o.matched) return o;
    // A child that failed because the bound was passed must not turn into a
    // zero-width success: the whole match fails in order.
    return depth_aborting() ? o : TryMatchOutcome::yes(pos);
}

ParseFromStartOutcome optional_parse_from_start(const OptionalElement& r, Text t) {
    return ParseFromStartOutcome::from(optional_parse_at(r, t, 0));
}

// ---------------------------------------------------------------------------
// ZeroOrMore and OneOrMore

ParseOutcome zero_or_more_parse_at(const ZeroOrMoreElement& r, Text t, Pos pos) {
    MatchDepth depth;
    if (!depth.ok()) return depth_failure(pos);
    TokenList gathered;
    RepeatResult rr = repeat_parse(r.expr, t, pos, gathered);
    if (depth_aborting()) return depth_failure(pos);
    return ParseOutcome::success(rr.end, std::move(gathered));
}

TryMatchOutcome zero_or_more_try_match_at(const ZeroOrMoreElement& r, Text t, Pos pos) {
    MatchDepth depth;
    if (!depth.ok()) return TryMatchOutcome::no();
    return repeat_try(r.expr, t, pos);
}

ParseFromStartOutcome zero_or_more_parse_from_start(const ZeroOrMoreElement& r, Text t) {
    return ParseFromStartOutcome::from(zero_or_more_parse_at(r, t, 0));
}

ParseOutcome one_or_more_parse_at(const OneOrMoreElement& r, Text t, Pos pos) {
    MatchDepth depth;
    if (!depth.ok()) return depth_failure(pos);
    TokenList gathered;
    RepeatResult rr = repeat_parse(r.expr, t, pos, gathered);
    if (depth_aborting()) return depth_failure(pos);
    if (rr.appended == 0) return fixed_failure(msg::kExpectedAtLeastOne, pos);
    return ParseOutcome::success(rr.end, std::move(gathered));
}

TryMatchOutcome one_or_more_try_match_at(const OneOrMoreElement& r, Text t, Pos pos) {
    MatchDepth depth;
    if (!depth.ok()) return TryMatchOutcome::no();
    TryMatchOutcome first = r.expr.try_match_at(t, pos);
    if (!first.matched) return first;
    return repeat_try(r.expr, t, first.end);
}

ParseFromStartOutcome one_or_more_parse_from_start(const OneOrMoreElement& r, Text t) {
    return ParseFromStartOutcome::from(one_or_more_parse_at(r, t, 0));
}

// ---------------------------------------------------------------------------
// Exactly

ParseOutcome exactly_parse_at(const ExactlyElement& r, Text t, Pos pos) {
    if (r.count == 0) return ParseOutcome::success(pos);
    MatchDepth depth;
    if (!depth.ok()) return depth_failure(pos);
    Pos current = pos;
    TokenList gathered;
    for (uint32_t i = 0; i < r.count; ++i) {
        ParseOutcome o = r.expr.parse_at(t, current);
        if (!o.ok) return o;
        if (o.end == current) return fixed_failure(msg::kNoProgressExactly, current);
        gathered.append(std::move(o.tokens));
        current = o.end;
    }
    return ParseOutcome::success(current, std::move(gathered));
}

TryMatchOutcome exactly_try_match_at(const ExactlyElement& r, Text t, Pos pos) {
    if (r.count == 0) return TryMatchOutcome::yes(pos);
    MatchDepth depth;
    if (!depth.ok()) return TryMatchOutcome::no();
    Pos current = pos;
    for (uint32_t i = 0; i < r.count; ++i) {
        TryMatchOutcome o = r.expr.try_match_at(t, current);
        if (!o.matched || o.end == current) return TryMatchOutcome::no();
        current = o.end;
    }
    return TryMatchOutcome::yes(current);
}

ParseFromStartOutcome exactly_parse_from_start(const ExactlyElement& r, Text t) {
    return ParseFromStartOutcome::from(exactly_parse_at(r, t, 0));
}

// ---------------------------------------------------------------------------
// Group, Suppress, Combine

TryMatchOutcome pass_through_try_match_at(const OneChildElement& r, Text t, Pos pos) {
    MatchDepth depth;
    if (!depth.ok()) return TryMatchOutcome::no();
    return r.expr.try_match_at(t, pos);
}

ParseOutcome group_parse_at(const GroupElement& r, Text t, Pos pos) {
    MatchDepth depth;
    if (!depth.ok()) return depth_failure(pos);
    return r.expr.parse_at(t, pos);
}

ParseFromStartOutcome group_parse_from_start(const GroupElement& r, Text t) {
    return ParseFromStartOutcome::from(group_parse_at(r, t, 0));
}

ParseOutcome suppress_parse_at(const SuppressElement& r, Text t, Pos pos) {
    MatchDepth depth;
    if (!depth.ok()) return depth_failure(pos);
    TryMatchOutcome m = r.expr.try_match_at(t, pos);
    if (!m.matched) return fixed_failure(msg::kSuppressNoMatch, pos);
    return ParseOutcome::success(m.end);
}

ParseFromStartOutcome suppress_parse_from_start(const SuppressElement& r, Text t) {
    return ParseFromStartOutcome::from(suppress_parse_at(r, t, 0));
}

ParseOutcome combine_parse_at(const CombineElement& r, Text t, Pos pos) {
    MatchDepth depth;
    if (!depth.ok()) return depth_failure(pos);
    ParseOutcome o = r.expr.parse_at(t, pos);
    if (!o.ok) return o;
    return ParseOutcome::success(o.end, TokenList(cut_token(t, pos, o.end)));
}

ParseFromStartOutcome combine_parse_from_start(const CombineElement& r, Text t) {
    return ParseFromStartOutcome::from(combine_parse_at(r, t, 0));
}

// ---------------------------------------------------------------------------
// SkipTo

namespace {
// The first position from `pos` up to the text's length where the target
// matches, or false.
bool skip_to_search(const SkipToElement& r, Text t, Pos pos, Pos& found) {
    if (pos > t.len) return false;
    for (Pos p = pos;; ++p) {
        if (r.expr.try_match_at(t, p).matched) {
            found = p;
            return true;
        }
        if (p == t.len) return false;
    }
}
}  // namespace

ParseOutcome skip_to_parse_at(const SkipToElement& r, Text t, Pos pos) {
    MatchDepth depth;
    if (!depth.ok()) return depth_failure(pos);
    Pos found = 0;
    if (!skip_to_search(r, t, pos, found)) return fixed_failure(msg::kSkipToNotFound, pos);
    return ParseOutcome::success(found, TokenList(cut_token(t, pos, found)));
}

TryMatchOutcome skip_to_try_match_at(const SkipToElement& r, Text t, Pos pos) {
    MatchDepth depth;
    if (!depth.ok()) return TryMatchOutcome::no();
    Pos found = 0;
    return skip_to_search(r, t, pos, found) ? TryMatchOutcome::yes(found) : TryMatchOutcome::no();
}

ParseFromStartOutcome skip_to_parse_from_start(const SkipToElement& r, Text t) {
    return ParseFromStartOutcome::from(skip_to_parse_at(r, t, 0));
}

// ---------------------------------------------------------------------------
// Interface tables

const ElementVTable* and_vtable() {
    return &KindTable<AndElement, and_parse_at, and_try_match_at, and_parse_from_start>::table;
}
const ElementVTable* match_first_vtable() {
    return &KindTable<MatchFirstElement, match_first_parse_at, match_first_try_match_at,
                      match_first_parse_from_start>::table;
}
const ElementVTable* optional_vtable() {
    return &KindTable<OptionalElement, optional_parse_at, optional_try_match_at, optional_parse_from_start>::table;
}
const ElementVTable* zero_or_more_vtable() {
    return &KindTable<ZeroOrMoreElement, zero_or_more_parse_at, zero_or_more_try_match_at,
                      zero_or_more_parse_from_start>::table;
}
const ElementVTable* one_or_more_vtable() {
    return &KindTable<OneOrMoreElement, one_or_more_parse_at, one_or_more_try_match_at,
                      one_or_more_parse_from_start>::table;
}
const ElementVTable* exactly_vtable() {
    return &KindTable<ExactlyElement, exactly_parse_at, exactly_try_match_at, exactly_parse_from_start>::table;
}
const ElementVTable* group_vtable() {
    return &KindTable<GroupElement, group_parse_at, group_try_match_at, group_parse_from_start>::table;
}
const ElementVTable* suppress_vtable() {
    return &KindTable<SuppressElement, suppress_parse_at, suppress_try_match_at, suppress_parse_from_start>::table;
}
const ElementVTable* combine_vtable() {
    return &KindTable<CombineElement, combine_parse_at, combine_try_match_at, combine_parse_from_start>::table;
}
const ElementVTable* skip_to_vtable() {
    return &KindTable<SkipToElement, skip_to_parse_at, skip_to_try_match_at, skip_to_parse_from_start>::table;
}

const CompositeHeader* composite_of(const SharedElement& e) {
    const ElementVTable* v = e.vtable();
    if (v == and_vtable() || v == match_first_vtable() || v == optional_vtable() || v == zero_or_more_vtable() ||
        v == one_or_more_vtable() || v == exactly_vtable() || v == group_vtable() || v == suppress_vtable() ||
        v == combine_vtable() || v == skip_to_vtable() || v == forward_vtable())
        return static_cast<const CompositeHeader*>(e.record());
    return nullptr;
}

bool child_reaches_forward(const SharedElement& child) {
    if (child.vtable() == forward_vtable()) return true;
    const CompositeHeader* c = composite_of(child);
    return c && c->reaches_forward;
}

}  // namespace qgx
