// Stand-in terminal kinds for the combinator tests, built directly: Lit (a
// fixed text, one token), Nothing (a zero-width match, no token) and End (the
// end of the text), and builders for the combinator records.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "elements/forward.hpp"
#include "elements/structure.hpp"

namespace qgx::stand_in {


struct LitElement : ElementHeader {
    std::string text;
    SharedText token;
    SharedText message;
};

inline TryMatchOutcome lit_try_match_at(const LitElement& r, Text t, Pos p) {
    Pos n = static_cast<Pos>(r.text.size());
    if (p > t.len || t.len - p < n || std::memcmp(t.data + p, r.text.data(), n) != 0) return TryMatchOutcome::no();
    return TryMatchOutcome::yes(p + n);
}
inline ParseOutcome lit_parse_at(const LitElement& r, Text t, Pos p) {
    TryMatchOutcome m = lit_try_match_at(r, t, p);
    if (!m.matched) return ParseOutcome::fail(r.message, p);
    return ParseOutcome::success(m.end, TokenList(r.token));
}
inline ParseFromStartOutcome lit_parse_from_start(const LitElement& r, Text t) {
    return ParseFromStartOutcome::from(lit_parse_at(r, t, 0));
}
using LitTable = KindTable<LitElement, lit_parse_at, lit_try_match_at, lit_parse_from_start>;

struct NothingElement : ElementHeader {};
inline ParseOutcome nothing_parse_at(const NothingElement&, Text, Pos p) { return ParseOutcome::success(p); }
inline TryMatchOutcome nothing_try_match_at(const NothingElement&, Text, Pos p) { return TryMatchOutcome::yes(p); }
inline ParseFromStartOutcome nothing_parse_from_start(const NothingElement&, Text) {
    ParseFromStartOutcome o;
    o.ok = true;
    return o;
}
using NothingTable = KindTable<NothingElement, nothing_parse_at, nothing_try_match_at, nothing_parse_from_start>;

inline SharedElement lit(const std::string& s) {
    Rc<LitElement> r = Rc<LitElement>::make();
    r->text = s;
    r->token = SharedText::copy(s);
    r->message = SharedText::copy("Expected '" + s + "'");
    return SharedElement(r, &LitTable::table);
}
inline SharedElement nothing() { return SharedElement(Rc<NothingElement>::make(), &NothingTable::table); }

inline SharedElement seq(std::vector<SharedElement> v) { return SharedElement(Rc<AndElement>::make(std::move(v)), and_vtable()); }
inline SharedElement first(std::vector<SharedElement> v) {
    return SharedElement(Rc<MatchFirstElement>::make(std::move(v)), match_first_vtable());
}
template <class R>
inline SharedElement wrap(SharedElement c, const ElementVTable* vt) {
    return SharedElement(Rc<R>::make(std::move(c)), vt);
}
inline SharedElement optional(SharedElement c) { return wrap<OptionalElement>(std::move(c), optional_vtable()); }
inline SharedElement zero_or_more(SharedElement c) { return wrap<ZeroOrMoreElement>(std::move(c), zero_or_more_vtable()); }
inline SharedElement one_or_more(SharedElement c) { return wrap<OneOrMoreElement>(std::move(c), one_or_more_vtable()); }
inline SharedElement group(SharedElement c) { return wrap<GroupElement>(std::move(c), group_vtable()); }
inline SharedElement suppress(SharedElement c) { return wrap<SuppressElement>(std::move(c), suppress_vtable()); }
inline SharedElement combine(SharedElement c) { return wrap<CombineElement>(std::move(c), combine_vtable()); }
inline SharedElement skip_to(SharedElement c) { return wrap<SkipToElement>(std::move(c), skip_to_vtable()); }
inline SharedElement exactly(SharedElement c, uint32_t n) {
    return SharedElement(Rc<ExactlyElement>::make(std::move(c), n), exactly_vtable());
}
// The end of the text: matches only at its length.
struct EndElement : ElementHeader {};
inline TryMatchOutcome end_try(const EndElement&, Text t, Pos p) { return p >= t.len ? TryMatchOutcome::yes(p) : TryMatchOutcome::no(); }
inline ParseOutcome end_parse(const EndElement& r, Text t, Pos p) {
    if (end_try(r, t, p).matched) return ParseOutcome::success(p);
    return ParseOutcome::fail(SharedText::copy("Expected end of string"), p);
}
inline ParseFromStartOutcome end_from_start(const EndElement& r, Text t) { return ParseFromStartOutcome::from(end_parse(r, t, 0)); }
using EndTable = KindTable<EndElement, end_parse, end_try, end_from_start>;
inline SharedElement string_end() { return SharedElement(Rc<EndElement>::make(), &EndTable::table); }

// Counted: passes every call on to `inner` and counts the calls per position,
// so that a test can see how often a combinator tries a child where.
struct CountedElement : ElementHeader {
    SharedElement inner;
    mutable std::vector<uint32_t> parse_calls, try_calls;  // indexed by position
    static void bump(std::vector<uint32_t>& v, Pos p) {
        if (v.size() <= p) v.resize(p + 1, 0);
        ++v[p];
    }
};
inline ParseOutcome counted_parse(const CountedElement& r, Text t, Pos p) {
    CountedElement::bump(r.parse_calls, p);
    return r.inner.parse_at(t, p);
}
inline TryMatchOutcome counted_try(const CountedElement& r, Text t, Pos p) {
    CountedElement::bump(r.try_calls, p);
    return r.inner.try_match_at(t, p);
}
inline ParseFromStartOutcome counted_from_start(const CountedElement& r, Text t) {
    return ParseFromStartOutcome::from(counted_parse(r, t, 0));
}
using CountedTable = KindTable<CountedElement, counted_parse, counted_try, counted_from_start>;
inline SharedElement counted(SharedElement inner, Rc<CountedElement>& out) {
    out = Rc<CountedElement>::make();
    out->inner = std::move(inner);
    return SharedElement(out, &CountedTable::table);
}

}  // namespace qgx::stand_in
