#include "elements/structure.hpp"

#include "elements/forward.hpp"
#include "elements/literals.hpp"
#include "messages.hpp"

namespace qgx {

namespace {

ParseOutcome fixed_failure(const char* message, Pos pos) { return ParseOutcome::fail(SharedText::copy(message), pos); }

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
    return SharedText::copy(t.data + from, to - from);
}

}  // namespace

AndElement::AndElement(std::vector<SharedElement> e) : exprs(std::move(e)) {
    reaches_forward = any_reaches_forward(exprs);
    note_composite_built(exprs.size());
}
namespace {

// The first byte that an alternative needs, or -1 when it may match anywhere
// (the end of the text included). Literal and keyword records are read here,
// once, at construction; matching still goes through their interface.
int first_byte_of(const SharedElement& e) {
    if (e.vtable() == literal_vtable()) {
        const auto* r = static_cast<const LiteralElement*>(e.record());
        return r->text.size() ? r->first_byte : -1;
    }
    if (e.vtable() == keyword_vtable()) {
        const auto* r = static_cast<const KeywordElement*>(e.record());
        return r->text.size() ? r->first_byte : -1;
    }
    return -1;
}

constexpr size_t kMaxDispatchItems = 1 << 16;

std::unique_ptr<AlternativeDispatch> build_dispatch(const std::vector<SharedElement>& exprs) {
    if constexpr (kPlainPaths) return nullptr;
    std::vector<int> first(exprs.size());
    size_t known = 0, anywhere = 0;
    for (size_t i = 0; i < exprs.size(); ++i) {
        first[i] = first_byte_of(exprs[i]);
        (first[i] < 0 ? anywhere : known) += 1;
    }
    if (known == 0 || anywhere * 257 + known > kMaxDispatchItems) return nullptr;
    auto d = std::make_unique<AlternativeDispatch>();
    d->items.reserve(anywhere * 257 + known);
    for (int b = 0; b <= 256; ++b) {
        d->start[b] = static_cast<uint32_t>(d->items.size());
        for (size_t i = 0; i < exprs.size(); ++i)
            if (first[i] < 0 || first[i] == b) d->items.push_back(static_cast<uint32_t>(i));
    }
    d->start[257] = static_cast<uint32_t>(d->items.size());
    return d;
}

}  // namespace

MatchFirstElement::MatchFirstElement(std::vector<SharedElement> e) : exprs(std::move(e)), dispatch(build_dispatch(exprs)) {
    reaches_forward = any_reaches_forward(exprs);
    note_composite_built(exprs.size());
}
OneChildElement::OneChildElement(SharedElement e) : expr(std::move(e)) {
    reaches_forward = child_reaches_forward(expr);
    note_composite_built(1);
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
    if (r.dispatch) {
        // Only the alternatives that can match at this byte are tried; when
        // none does, the failure is the last alternative's, as without it.
        const AlternativeDispatch& d = *r.dispatch;
        unsigned b = pos < t.len ? t.at(pos) : 256u;
        for (uint32_t k = d.start[b]; k < d.start[b + 1]; ++k) {
            ParseOutcome o = r.exprs[d.items[k]].parse_at(t, pos);
            if (o.ok || depth_aborting()) return o;
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
    if (r.dispatch) {
        // The alternatives that cannot match at this byte are skipped.
        const AlternativeDispatch& d = *r.dispatch;
        unsigned b = pos < t.len ? t.at(pos) : 256u;
        for (uint32_t k = d.start[b]; k < d.start[b + 1]; ++k) {
            TryMatchOutcome o = r.exprs[d.items[k]].try_match_at(t, pos);
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
