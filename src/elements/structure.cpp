#include "elements/structure.hpp"

#include <cstring>
#include <string_view>

#include "elements/chars.hpp"
#include "elements/forward.hpp"
#include "elements/literals.hpp"
#include "elements/match_context.hpp"
#include "messages.hpp"

namespace qgx {

namespace {

ParseOutcome fixed_failure(const char* message, Pos pos) { return ParseOutcome::fail(SharedText::fixed(message), pos); }

bool any_reaches_forward(const std::vector<SharedElement>& v) {
    for (const SharedElement& e : v)
        if (child_reaches_forward(e)) return true;
    return false;
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
        d->one_byte_literals = !exprs.empty();
        for (const SharedElement& e : exprs)
            if (e.vtable() != literal_vtable() || static_cast<const LiteralElement*>(e.record())->text.size() != 1 ||
                static_cast<const LiteralElement*>(e.record())->tokens.size() != 1)
                d->one_byte_literals = false;
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
// The parse path of the combinators. A composite's parse_at runs its whole
// subtree here: every combinator kind (and the Literal and Word kinds, the
// common leaves) is called directly, its tokens appended to one buffer of the
// outermost call, and a failure written into one record, instead of each level
// returning an outcome with a token list of its own that its parent moves
// into its own. Every combinator still enters a MatchDepth before it calls a
// child, in the same places, so the depth bound and its failures are those of
// the general path. Other kinds are called through their table.

namespace {

// The tokens gathered by one outermost parse. A failing call leaves the
// buffer as it found it, so a parent drops only what its own failing branch
// appended. SharedText holds no pointer to itself: its bytes can be moved.
class TokenSink {
  public:
    TokenSink() : data_(reinterpret_cast<SharedText*>(inline_)) {}
    ~TokenSink() {
        truncate(0);
        if (data_ != reinterpret_cast<SharedText*>(inline_)) std::free(data_);
    }
    TokenSink(const TokenSink&) = delete;
    TokenSink& operator=(const TokenSink&) = delete;

    uint32_t size() const { return size_; }
    const SharedText* data() const { return data_; }
    void push(SharedText t) {
        if (size_ == cap_) grow();
        new (data_ + size_) SharedText(std::move(t));
        ++size_;
    }
    // Drops the tokens from index n on.
    void truncate(uint32_t n) {
        while (size_ > n) data_[--size_].~SharedText();
    }
    // The tokens as one list: a heap buffer is handed over whole, the inline
    // tokens are moved into a list of their size.
    TokenList take() {
        if (data_ != reinterpret_cast<SharedText*>(inline_)) {
            TokenList out = TokenList::adopt(data_, size_, cap_);
            data_ = reinterpret_cast<SharedText*>(inline_);
            size_ = 0;
            cap_ = kInline;
            return out;
        }
        TokenList out;
        if (size_ > 2) out.reserve(size_);
        for (uint32_t i = 0; i < size_; ++i) out.push_back(std::move(data_[i]));
        truncate(0);
        return out;
    }

  private:
    static constexpr uint32_t kInline = 16;
    // Throws std::bad_alloc when the buffer cannot grow; the operation's
    // entry turns it into MemoryError, and every buffer is released on the way.
    void grow() {
        if (cap_ == UINT32_MAX) throw std::bad_alloc();
        uint64_t n = uint64_t{cap_} * 2;
        if (n > UINT32_MAX) n = UINT32_MAX;
        void* mem;
        if (data_ == reinterpret_cast<SharedText*>(inline_)) {
            mem = std::malloc(sizeof(SharedText) * n);
            if (!mem) throw std::bad_alloc();
            std::memcpy(mem, static_cast<const void*>(data_), sizeof(SharedText) * size_);
        } else {
            // A large block grows in place or is remapped, not copied.
            mem = std::realloc(static_cast<void*>(data_), sizeof(SharedText) * n);
            if (!mem) throw std::bad_alloc();
        }
        data_ = static_cast<SharedText*>(mem);
        cap_ = static_cast<uint32_t>(n);
    }
    SharedText* data_;
    uint32_t size_ = 0, cap_ = kInline;
    alignas(SharedText) unsigned char inline_[sizeof(SharedText) * kInline];
};

// Where a call leaves its result: the end on success, the failure otherwise
// (its message a view of a stored or fixed text, as the parse_at of the
// kinds give). `fail` means something only after a call that failed.
struct Into {
    TokenSink& out;
    ParseFailure& fail;
    Pos end = 0;

    bool failed(const char* fixed_message, Pos pos) {
        fail.message = SharedText::fixed(fixed_message);
        fail.position = pos;
        return false;
    }
    bool failed_stored(const SharedText& message, Pos pos) {
        fail.message = SharedText::view(message.data(), message.size());
        fail.position = pos;
        return false;
    }
    bool done(Pos e) {
        end = e;
        return true;
    }
};

// The parse-path twin of memo_try: a remembered success gives its end and
// its tokens again, a remembered failure its failure.
template <class Body>
[[gnu::noinline]] bool memo_into(const void* rec, Text t, Pos pos, Into& in, Body&& body) {
    MatchContext* c = current_context();
    if (!c || !c->is_current(t)) return body();
    MatchDepthState& s = tls_match_depth;
    MemoTable& m = c->memo();
    if (const MemoEntry* e = m.find(rec, pos, kMemoParse, c->epoch())) {
        if (uint64_t{s.depth} + e->height <= kMaxMatchDepth) {
            note_reused_height(s, e->height);
            const SharedText* toks = m.tokens(e->first_token);
            if (!e->ok) {
                in.fail.message = toks[0];
                in.fail.position = e->fail_pos;
                return false;
            }
            for (uint32_t i = 0; i < e->token_count; ++i) in.out.push(toks[i]);
            return in.done(e->end);
        }
    }
    const uint32_t mark = in.out.size();
    const uint32_t saved_peak = s.peak;
    s.peak = s.depth;
    const bool ok = body();
    const uint32_t height = s.peak - s.depth;
    if (saved_peak > s.peak) s.peak = saved_peak;
    if (!s.aborting) {
        // The tokens (or the failure's message) are copied before the entry
        // is made, so that a failed allocation leaves no entry behind.
        uint32_t first = ok ? m.store_tokens(in.out.data() + mark, in.out.size() - mark, c->epoch())
                            : m.store_tokens(&in.fail.message, 1, c->epoch());
        MemoEntry& e = m.insert(rec, pos, kMemoParse, c->epoch());
        e.ok = ok;
        e.height = height;
        e.first_token = first;
        if (ok) {
            e.end = in.end;
            e.token_count = in.out.size() - mark;
        } else {
            e.fail_pos = in.fail.position;
        }
    }
    return ok;
}

// The combinator kinds' calls; each holds the dispatch of its children
// (parse_into, inlined), so a level of nesting costs one call.
#define QGX_INTO(R, name) [[gnu::noinline]] bool name(const R& r, Text t, Pos pos, Into& in);
QGX_INTO(AndElement, and_into)
QGX_INTO(MatchFirstElement, match_first_into)
QGX_INTO(ZeroOrMoreElement, zero_or_more_into)
QGX_INTO(OneOrMoreElement, one_or_more_into)
QGX_INTO(OptionalElement, optional_into)
QGX_INTO(ExactlyElement, exactly_into)
QGX_INTO(GroupElement, group_into)
QGX_INTO(SuppressElement, suppress_into)
QGX_INTO(CombineElement, combine_into)
QGX_INTO(ForwardElement, forward_into)
#undef QGX_INTO

// The Literal kind's parse_at: the prebuilt token as a view (the record
// outlives the operation), the stored message on failure.
bool literal_into(const LiteralElement& r, Text t, Pos pos, Into& in) {
    // literal_try_match_at, with no call to compare the rest of a one-byte text.
    const Pos n = r.text.size();
    bool matched = pos <= t.len && t.len - pos >= n &&
                   (n == 0 || (t.at(pos) == r.first_byte &&
                               (n == 1 || std::memcmp(t.data + pos + 1, r.text.data() + 1, n - 1) == 0)));
    if (!matched) return in.failed_stored(r.message, pos);
    if (r.tokens.size() == 1) {
        in.out.push(SharedText::view(r.tokens[0].data(), r.tokens[0].size()));
    } else {
        for (const SharedText& s : r.tokens) in.out.push(s);
    }
    return in.done(pos + n);
}

// Any kind through its table; its tokens are shared into the buffer.
bool table_into(const SharedElement& e, Text t, Pos pos, Into& in) {
    ParseOutcome o = e.parse_at(t, pos);
    if (!o.ok) {
        in.fail = std::move(o.failure);
        return false;
    }
    for (const SharedText& s : o.tokens) in.out.push(s);
    return in.done(o.end);
}

// The Word kind's parse_at when every member is ASCII and no maximum is set:
// then a run of member bytes begins and ends on character boundaries, and
// the byte run is the word.
bool word_into(const SharedElement& e, Text t, Pos pos, Into& in) {
    const WordElement& r = *static_cast<const WordElement*>(e.record());
    if (r.high_members || r.max_len != 0) return table_into(e, t, pos, in);
    Pos end = word_run_end(r, t, pos);
    if (end == pos || (r.min_len != 0 && end - pos < r.min_len)) return in.failed_stored(r.message, pos);
    in.out.push(SharedText::view(t.data + pos, end - pos));
    return in.done(end);
}

template <class R>
const R& rec_of(const SharedElement& e) {
    return *static_cast<const R*>(e.record());
}

template <class R, ParseOutcome (*P)(const R&, Text, Pos), TryMatchOutcome (*M)(const R&, Text, Pos),
          ParseFromStartOutcome (*S)(const R&, Text)>
constexpr const ElementVTable* table_of() {
    return &KindTable<R, P, M, S>::table;
}

[[gnu::always_inline]] inline bool parse_into(const SharedElement& e, Text t, Pos pos, Into& in) {
    const ElementVTable* v = e.vtable();
    if (v == table_of<LiteralElement, literal_parse_at, literal_try_match_at, literal_parse_from_start>())
        return literal_into(rec_of<LiteralElement>(e), t, pos, in);
    if (v == table_of<WordElement, word_parse_at, word_try_match_at, word_parse_from_start>())
        return word_into(e, t, pos, in);
    if (v == and_vtable()) return and_into(rec_of<AndElement>(e), t, pos, in);
    if (v == match_first_vtable()) return match_first_into(rec_of<MatchFirstElement>(e), t, pos, in);
    if (v == zero_or_more_vtable()) return zero_or_more_into(rec_of<ZeroOrMoreElement>(e), t, pos, in);
    if (v == table_of<ForwardElement, forward_parse_at, forward_try_match_at, forward_parse_from_start>())
        return forward_into(rec_of<ForwardElement>(e), t, pos, in);
    if (v == group_vtable()) return group_into(rec_of<GroupElement>(e), t, pos, in);
    if (v == optional_vtable()) return optional_into(rec_of<OptionalElement>(e), t, pos, in);
    if (v == one_or_more_vtable()) return one_or_more_into(rec_of<OneOrMoreElement>(e), t, pos, in);
    if (v == suppress_vtable()) return suppress_into(rec_of<SuppressElement>(e), t, pos, in);
    if (v == combine_vtable()) return combine_into(rec_of<CombineElement>(e), t, pos, in);
    if (v == exactly_vtable()) return exactly_into(rec_of<ExactlyElement>(e), t, pos, in);
    return table_into(e, t, pos, in);
}


bool and_into(const AndElement& r, Text t, Pos pos, Into& in) {
    MatchDepth depth;
    if (!depth.ok()) return in.failed(msg::kRecursionLimitFailure, pos);
    auto body = [&] {
        const uint32_t mark = in.out.size();
        Pos current = pos;
        for (const SharedElement& m : r.exprs) {
            if (!parse_into(m, t, current, in)) {
                in.out.truncate(mark);
                return false;
            }
            current = in.end;
        }
        return in.done(current);
    };
    if (depth.memo_on()) [[unlikely]] return memo_into(&r, t, pos, in, body);
    return body();
}

bool match_first_into(const MatchFirstElement& r, Text t, Pos pos, Into& in) {
    MatchDepth depth;
    if (!depth.ok()) return in.failed(msg::kRecursionLimitFailure, pos);
    if (r.exprs.empty()) return in.failed(msg::kNoMatchFound, pos);
    auto body = [&] {
        const uint32_t last_index = static_cast<uint32_t>(r.exprs.size() - 1);
        if (const AlternativeDispatch* d = r.dispatch()) {
            // Only the alternatives that can match at this byte are tried, each
            // once. When none matches, the failure is the last alternative's, as
            // without the table: held when it was among them, else it is tried
            // now, for the first time here (it fails at once, by its first byte).
            unsigned b = pos < t.len ? t.at(pos) : 256u;
            if (d->one_byte_literals) {
                // The literal_into of the first alternative of the bucket, which
                // matches; with none, the last alternative fails by its first byte.
                if (d->start[b] < d->start[b + 1]) {
                    const auto& lit = rec_of<LiteralElement>(r.exprs[d->items[d->start[b]]]);
                    in.out.push(SharedText::view(lit.tokens[0].data(), lit.tokens[0].size()));
                    return in.done(pos + 1);
                }
                return in.failed_stored(rec_of<LiteralElement>(r.exprs.back()).message, pos);
            }
            for (uint32_t k = d->start[b]; k < d->start[b + 1]; ++k) {
                uint32_t i = d->items[k];
                if (parse_into(r.exprs[i], t, pos, in)) return true;
                if (depth_aborting() || i == last_index) return false;
            }
            return parse_into(r.exprs.back(), t, pos, in);
        }
        for (const SharedElement& a : r.exprs) {
            // A failure overwrites the one before: the last alternative's stays.
            if (parse_into(a, t, pos, in)) return true;
            if (depth_aborting()) return false;
        }
        return false;
    };
    if (depth.memo_on()) [[unlikely]] return memo_into(&r, t, pos, in, body);
    return body();
}

// The repetition loop of ZeroOrMore and OneOrMore: the tokens of every
// repetition that advances; the failure that ends it is dropped. Gives the
// end and whether one repetition advanced.
struct Repeated {
    Pos end;
    bool any;
};
Repeated repeat_into(const SharedElement& child, Text t, Pos pos, Into& in) {
    Pos current = pos;
    bool any = false;
    for (;;) {
        const uint32_t mark = in.out.size();
        if (!parse_into(child, t, current, in)) break;
        if (in.end == current) {  // a zero-width success ends it, its tokens dropped
            in.out.truncate(mark);
            break;
        }
        current = in.end;
        any = true;
    }
    return {current, any};
}

// ZeroOrMore and OneOrMore (the record `rec`): the child as often as it
// matches; with `at_least_one`, no match at all is a failure.
bool repetition_into(const void* rec, const SharedElement& expr, bool at_least_one, Text t, Pos pos, Into& in) {
    MatchDepth depth;
    if (!depth.ok()) return in.failed(msg::kRecursionLimitFailure, pos);
    auto body = [&] {
        const uint32_t mark = in.out.size();
        Repeated rep = repeat_into(expr, t, pos, in);
        if (depth_aborting()) {
            in.out.truncate(mark);
            return in.failed(msg::kRecursionLimitFailure, pos);
        }
        if (at_least_one && !rep.any) return in.failed(msg::kExpectedAtLeastOne, pos);
        return in.done(rep.end);
    };
    if (depth.memo_on()) [[unlikely]] return memo_into(rec, t, pos, in, body);
    return body();
}

bool zero_or_more_into(const ZeroOrMoreElement& r, Text t, Pos pos, Into& in) {
    return repetition_into(&r, r.expr, false, t, pos, in);
}

bool one_or_more_into(const OneOrMoreElement& r, Text t, Pos pos, Into& in) {
    return repetition_into(&r, r.expr, true, t, pos, in);
}

bool optional_into(const OptionalElement& r, Text t, Pos pos, Into& in) {
    MatchDepth depth;
    if (!depth.ok()) return in.failed(msg::kRecursionLimitFailure, pos);
    auto body = [&] {
        if (parse_into(r.expr, t, pos, in)) return true;
        if (depth_aborting()) return false;  // the child's failure
        return in.done(pos);
    };
    if (depth.memo_on()) [[unlikely]] return memo_into(&r, t, pos, in, body);
    return body();
}

bool exactly_into(const ExactlyElement& r, Text t, Pos pos, Into& in) {
    if (r.count == 0) return in.done(pos);
    MatchDepth depth;
    if (!depth.ok()) return in.failed(msg::kRecursionLimitFailure, pos);
    auto body = [&] {
        const uint32_t mark = in.out.size();
        Pos current = pos;
        for (uint32_t i = 0; i < r.count; ++i) {
            if (!parse_into(r.expr, t, current, in)) {
                in.out.truncate(mark);
                return false;
            }
            if (in.end == current) {
                in.out.truncate(mark);
                return in.failed(msg::kNoProgressExactly, current);
            }
            current = in.end;
        }
        return in.done(current);
    };
    if (depth.memo_on()) [[unlikely]] return memo_into(&r, t, pos, in, body);
    return body();
}

bool group_into(const GroupElement& r, Text t, Pos pos, Into& in) {
    MatchDepth depth;
    if (!depth.ok()) return in.failed(msg::kRecursionLimitFailure, pos);
    auto body = [&] { return parse_into(r.expr, t, pos, in); };
    if (depth.memo_on()) [[unlikely]] return memo_into(&r, t, pos, in, body);
    return body();
}

bool suppress_into(const SuppressElement& r, Text t, Pos pos, Into& in) {
    MatchDepth depth;
    if (!depth.ok()) return in.failed(msg::kRecursionLimitFailure, pos);
    // The child's outcome comes from its try_match_at, which remembers its own.
    TryMatchOutcome m = r.expr.try_match_at(t, pos);
    if (!m.matched) return in.failed(msg::kSuppressNoMatch, pos);
    return in.done(m.end);
}

bool combine_into(const CombineElement& r, Text t, Pos pos, Into& in) {
    MatchDepth depth;
    if (!depth.ok()) return in.failed(msg::kRecursionLimitFailure, pos);
    auto body = [&] {
        const uint32_t mark = in.out.size();
        if (!parse_into(r.expr, t, pos, in)) return false;
        in.out.truncate(mark);  // the child's tokens give way to the one joined text
        in.out.push(cut_token(t, pos, in.end));
        return true;
    };
    if (depth.memo_on()) [[unlikely]] return memo_into(&r, t, pos, in, body);
    return body();
}

bool forward_into(const ForwardElement& r, Text t, Pos pos, Into& in) {
    MatchDepth depth;
    if (!depth.ok()) return in.failed(msg::kRecursionLimitFailure, pos);
    ReadGuard g(r.lock);
    if (!r.expr) return in.failed(msg::kForwardNotInitialized, pos);
    auto body = [&] { return parse_into(r.expr, t, pos, in); };
    if (depth.memo_on()) [[unlikely]] return memo_into(&r, t, pos, in, body);
    return body();
}

// The parse_at of a combinator kind: its subtree into one buffer, then one list.
template <class R, bool (*F)(const R&, Text, Pos, Into&)>
ParseOutcome run_into(const R& r, Text t, Pos pos) {
    TokenSink sink;
    ParseOutcome o;
    Into in{sink, o.failure};
    if (!F(r, t, pos, in)) return o;
    return ParseOutcome::success(in.end, sink.take());
}

}  // namespace

// ---------------------------------------------------------------------------
// And

ParseOutcome and_parse_at(const AndElement& r, Text t, Pos pos) { return run_into<AndElement, and_into>(r, t, pos); }

ParseOutcome forward_slot_parse_at(const ForwardElement& r, Text t, Pos pos) {
    return run_into<ForwardElement, forward_into>(r, t, pos);
}


TryMatchOutcome and_try_match_at(const AndElement& r, Text t, Pos pos) {
    MatchDepth depth;
    if (!depth.ok()) return TryMatchOutcome::no();
    auto body = [&] {
        Pos current = pos;
        for (const SharedElement& m : r.exprs) {
            TryMatchOutcome o = m.try_match_at(t, current);
            if (!o.matched) return o;
            current = o.end;
        }
        return TryMatchOutcome::yes(current);
    };
    if (depth.memo_on()) [[unlikely]] return memo_try(&r, t, pos, body);
    return body();
}

ParseFromStartOutcome and_parse_from_start(const AndElement& r, Text t) {
    return ParseFromStartOutcome::from(and_parse_at(r, t, 0));
}

// ---------------------------------------------------------------------------
// MatchFirst

ParseOutcome match_first_parse_at(const MatchFirstElement& r, Text t, Pos pos) {
    return run_into<MatchFirstElement, match_first_into>(r, t, pos);
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
    if (depth.memo_on()) [[unlikely]] return memo_try(&r, t, pos, [&] { return match_first_try(r, t, pos); });
    return match_first_try(r, t, pos);
}

ParseFromStartOutcome match_first_parse_from_start(const MatchFirstElement& r, Text t) {
    return ParseFromStartOutcome::from(match_first_parse_at(r, t, 0));
}

// ---------------------------------------------------------------------------
// Optional

ParseOutcome optional_parse_at(const OptionalElement& r, Text t, Pos pos) {
    return run_into<OptionalElement, optional_into>(r, t, pos);
}

TryMatchOutcome optional_try_match_at(const OptionalElement& r, Text t, Pos pos) {
    MatchDepth depth;
    if (!depth.ok()) return TryMatchOutcome::no();
    auto body = [&] {
        TryMatchOutcome o = r.expr.try_match_at(t, pos);
        if (o.matched) return o;
        // A child that failed because the bound was passed must not turn into a
        // zero-width success: the whole match fails in order.
        return depth_aborting() ? o : TryMatchOutcome::yes(pos);
    };
    if (depth.memo_on()) [[unlikely]] return memo_try(&r, t, pos, body);
    return body();
}

ParseFromStartOutcome optional_parse_from_start(const OptionalElement& r, Text t) {
    return ParseFromStartOutcome::from(optional_parse_at(r, t, 0));
}

// ---------------------------------------------------------------------------
// ZeroOrMore and OneOrMore

ParseOutcome zero_or_more_parse_at(const ZeroOrMoreElement& r, Text t, Pos pos) {
    return run_into<ZeroOrMoreElement, zero_or_more_into>(r, t, pos);
}

TryMatchOutcome zero_or_more_try_match_at(const ZeroOrMoreElement& r, Text t, Pos pos) {
    MatchDepth depth;
    if (!depth.ok()) return TryMatchOutcome::no();
    if (depth.memo_on()) [[unlikely]] return memo_try(&r, t, pos, [&] { return repeat_try(r.expr, t, pos); });
    return repeat_try(r.expr, t, pos);
}

ParseFromStartOutcome zero_or_more_parse_from_start(const ZeroOrMoreElement& r, Text t) {
    return ParseFromStartOutcome::from(zero_or_more_parse_at(r, t, 0));
}

ParseOutcome one_or_more_parse_at(const OneOrMoreElement& r, Text t, Pos pos) {
    return run_into<OneOrMoreElement, one_or_more_into>(r, t, pos);
}

TryMatchOutcome one_or_more_try_match_at(const OneOrMoreElement& r, Text t, Pos pos) {
    MatchDepth depth;
    if (!depth.ok()) return TryMatchOutcome::no();
    auto body = [&] {
        TryMatchOutcome first = r.expr.try_match_at(t, pos);
        if (!first.matched) return first;
        return repeat_try(r.expr, t, first.end);
    };
    if (depth.memo_on()) [[unlikely]] return memo_try(&r, t, pos, body);
    return body();
}

ParseFromStartOutcome one_or_more_parse_from_start(const OneOrMoreElement& r, Text t) {
    return ParseFromStartOutcome::from(one_or_more_parse_at(r, t, 0));
}

// ---------------------------------------------------------------------------
// Exactly

ParseOutcome exactly_parse_at(const ExactlyElement& r, Text t, Pos pos) {
    return run_into<ExactlyElement, exactly_into>(r, t, pos);
}

TryMatchOutcome exactly_try_match_at(const ExactlyElement& r, Text t, Pos pos) {
    if (r.count == 0) return TryMatchOutcome::yes(pos);
    MatchDepth depth;
    if (!depth.ok()) return TryMatchOutcome::no();
    auto body = [&] {
        Pos current = pos;
        for (uint32_t i = 0; i < r.count; ++i) {
            TryMatchOutcome o = r.expr.try_match_at(t, current);
            if (!o.matched || o.end == current) return TryMatchOutcome::no();
            current = o.end;
        }
        return TryMatchOutcome::yes(current);
    };
    if (depth.memo_on()) [[unlikely]] return memo_try(&r, t, pos, body);
    return body();
}

ParseFromStartOutcome exactly_parse_from_start(const ExactlyElement& r, Text t) {
    return ParseFromStartOutcome::from(exactly_parse_at(r, t, 0));
}

// ---------------------------------------------------------------------------
// Group, Suppress, Combine

TryMatchOutcome pass_through_try_match_at(const OneChildElement& r, Text t, Pos pos) {
    MatchDepth depth;
    if (!depth.ok()) return TryMatchOutcome::no();
    if (depth.memo_on()) [[unlikely]] return memo_try(&r, t, pos, [&] { return r.expr.try_match_at(t, pos); });
    return r.expr.try_match_at(t, pos);
}

ParseOutcome group_parse_at(const GroupElement& r, Text t, Pos pos) {
    return run_into<GroupElement, group_into>(r, t, pos);
}

ParseFromStartOutcome group_parse_from_start(const GroupElement& r, Text t) {
    return ParseFromStartOutcome::from(group_parse_at(r, t, 0));
}

ParseOutcome suppress_parse_at(const SuppressElement& r, Text t, Pos pos) {
    return run_into<SuppressElement, suppress_into>(r, t, pos);
}

ParseFromStartOutcome suppress_parse_from_start(const SuppressElement& r, Text t) {
    return ParseFromStartOutcome::from(suppress_parse_at(r, t, 0));
}

ParseOutcome combine_parse_at(const CombineElement& r, Text t, Pos pos) {
    return run_into<CombineElement, combine_into>(r, t, pos);
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
