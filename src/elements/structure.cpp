#include "elements/structure.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "elements/chars.hpp"
#include "elements/forward.hpp"
#include "elements/literals.hpp"
#include "elements/match_context.hpp"
#include "elements/parse_path.hpp"
#include "elements/program.hpp"
#include "elements/run_memory.hpp"
#include "messages.hpp"

namespace qgx {

namespace {

ParseOutcome fixed_failure(const char* message, Pos pos) { return ParseOutcome::fail(SharedText::fixed(message), pos); }

bool any_reaches_forward(const std::vector<SharedElement>& v) {
    for (const SharedElement& e : v)
        if (child_reaches_forward(e)) return true;
    return false;
}

// Each step is a step of a long loop (work_tick); an interruption fails it.
TryMatchOutcome repeat_try(const SharedElement& child, Text t, Pos current) {
    // A repetition of a fixed-width item is a run: read once per operation.
    if (RunItem item = run_item(child.record(), child.vtable())) {
        Pos end = item_run_end(item, t, current, t.len);
        return depth_aborting() ? TryMatchOutcome::no() : TryMatchOutcome::yes(end);
    }
    for (;;) {
        if (work_tick()) [[unlikely]]
            return TryMatchOutcome::no();
        TryMatchOutcome m = child.try_match_at(t, current);
        if (!m.matched) return depth_aborting() ? m : TryMatchOutcome::yes(current);
        if (m.end == current) return m;
        current = m.end;
    }
}

}  // namespace

ChainElement::ChainElement(std::vector<SharedElement> e) : exprs(std::move(e)), members(exprs.size()) {
    reaches_forward = any_reaches_forward(exprs);
    note_composite_built(exprs.size());
}

namespace {

// Room for one more item, growing geometrically, so that pieces appended one
// at a time cost amortised constant time each.
template <class T>
void make_room(std::vector<T>& v) {
    if (v.size() == v.capacity()) v.reserve(v.size() < 4 ? 4 : v.size() * 2);
}

uint64_t saturating_add(uint64_t a, uint64_t b) { return a + b < a ? UINT64_MAX : a + b; }

const ChainElement& chain_of(const SharedElement& e) { return *static_cast<const ChainElement*>(e.record()); }

}  // namespace

void chain_append_member(ChainElement& r, SharedElement m) {
    make_room(r.exprs);
    r.reaches_forward = r.reaches_forward || child_reaches_forward(m);
    r.exprs.push_back(std::move(m));
    r.members = saturating_add(r.members, 1);
    note_composite_built(1);
}

void chain_append_spliced(ChainElement& r, const SharedElement& part) {
    const ChainElement& p = chain_of(part);
    if (p.members == 0) return;
    // A record that is one spliced piece and nothing else stands for that
    // piece: no chain of single links forms, so sealing walks no more
    // records than it places members.
    const SharedElement& piece = p.exprs.size() == 1 && p.spliced.size() == 1 ? p.exprs[0] : part;
    make_room(r.exprs);
    make_room(r.spliced);
    r.spliced.push_back(r.exprs.size());
    r.exprs.push_back(piece);
    r.members = saturating_add(r.members, p.members);
    r.reaches_forward = r.reaches_forward || p.reaches_forward;
    note_composite_built(1);
}

void seal_chain(ChainElement& r) {
    if (r.sealed.load(std::memory_order_relaxed)) return;
    if (!r.spliced.empty()) {
        if (r.members > SIZE_MAX / sizeof(SharedElement)) throw std::bad_alloc();
        std::vector<SharedElement> flat;
        flat.reserve(static_cast<size_t>(r.members));
        // Depth first over the spliced records, on a stack of our own: a chain
        // built as `e = x + e` nests as deep as it is long.
        struct Frame {
            const ChainElement* rec;
            size_t next = 0;    // the next piece
            size_t splice = 0;  // the next entry of rec->spliced
        };
        std::vector<Frame> stack;
        stack.push_back({&r});
        while (!stack.empty()) {
            Frame& f = stack.back();
            if (f.next == f.rec->exprs.size()) {
                stack.pop_back();
                continue;
            }
            const SharedElement& piece = f.rec->exprs[f.next];
            const bool is_spliced = f.splice < f.rec->spliced.size() && f.rec->spliced[f.splice] == f.next;
            ++f.next;
            if (!is_spliced) {
                flat.push_back(piece);
                continue;
            }
            ++f.splice;
            const ChainElement& p = chain_of(piece);
            if (p.spliced.empty())
                flat.insert(flat.end(), p.exprs.begin(), p.exprs.end());
            else
                stack.push_back({&p});  // may move `f`, which is not read again
        }
        note_composite_built(flat.size());
        // Nothing below throws; the pieces, released with `flat`, may free
        // whole chains of records (release_element queues them).
        r.exprs.swap(flat);
        r.spliced.clear();
        r.members = r.exprs.size();
    }
    r.sealed.store(true, std::memory_order_release);
}

void seal_record(const SharedElement& e) {
    if (e.vtable() == and_vtable() || e.vtable() == match_first_vtable())
        seal_chain(*static_cast<ChainElement*>(e.record()));
}
namespace {

// A table larger than this (alternatives that may match anywhere stand in
// every bucket) is not made: the alternatives are then tried in turn.
constexpr size_t kMaxDispatchItems = size_t{1} << 20;

// Nullptr when no table helps (or it cannot be made).
AlternativeDispatch* make_dispatch(const std::vector<SharedElement>& exprs) noexcept {
    if constexpr (kPlainPaths) return nullptr;
    try {
        std::vector<ElementStart> each;
        each.reserve(exprs.size());
        ElementStart summary = alternatives_start(exprs, &each);
        size_t items = 0;
        bool restricted = false;
        uint32_t skip_reach = 0;
        for (const ElementStart& s : each) {
            const FirstBytes& f = s.first;
            if (!f.is_anywhere()) {
                restricted = true;
                if (s.reach > skip_reach) skip_reach = s.reach;
            }
            items += static_cast<size_t>(f.count()) + f.at_end;
        }
        if (!restricted || items > kMaxDispatchItems) return nullptr;
        auto d = std::make_unique<AlternativeDispatch>();
        d->items.reserve(items);
        for (unsigned b = 0; b <= 256; ++b) {
            d->start[b] = static_cast<uint32_t>(d->items.size());
            for (size_t i = 0; i < exprs.size(); ++i) {
                bool in = b == 256 ? each[i].first.at_end : each[i].first.bytes.has(static_cast<unsigned char>(b));
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
        d->skip_reach = skip_reach;
        d->summary = summary;
        d->scanner = StartScanner(summary);
        constexpr size_t kMaxEachScanners = 8;
        if (!d->scanner.by_literal() && exprs.size() >= 2 && exprs.size() <= kMaxEachScanners) {
            for (const ElementStart& s : each) {
                StartScanner one(s);
                if (!one.by_literal()) {
                    d->each.clear();
                    break;
                }
                d->each.push_back(one);
            }
        }
        return d.release();
    } catch (...) {
        return nullptr;  // without a table every alternative is tried, as the plain path does
    }
}

}  // namespace

uintptr_t publish_derived(const CompositeHeader& owner, std::atomic<uintptr_t>& slot, uintptr_t value) noexcept {
    owner.sealed.store(true, std::memory_order_release);
    uintptr_t expected = 0;
    if (slot.compare_exchange_strong(expected, value, std::memory_order_acq_rel, std::memory_order_acquire))
        return value;
    return expected;
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
    uintptr_t now = publish_derived(*this, dispatch_, made);
    if (now != made) delete table;  // another thread published first
    return now;
}

namespace {

}  // namespace

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
    // The token is the text as built, which is the bytes just matched.
    in.out.push_span(pos, n);
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
    in.out.push_span(pos, end - pos);
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
        if (const AlternativeDispatch* d = match_first_table_here(r)) {
            // Only the alternatives that can match at this byte are tried, each
            // once. When none matches, the failure is the last alternative's, as
            // without the table: held when it was among them, else it is tried
            // now, for the first time here (it fails at once, by its first byte).
            unsigned b = pos < t.len ? t.at(pos) : 256u;
            if (d->one_byte_literals) {
                // The literal_into of the first alternative of the bucket, which
                // matches; with none, the last alternative fails by its first byte.
                if (d->start[b] < d->start[b + 1]) {
                    in.out.push_span(pos, 1);  // the literal's one byte, as built
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
        if (work_tick()) [[unlikely]]
            break;  // interrupted: the abandon flag is set, and the caller fails
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
            if (work_tick() || !parse_into(r.expr, t, current, in)) {
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

// The parse_at of a combinator kind: its subtree into one buffer, then one
// list; by the record's program where it has one.
template <class R, bool (*F)(const R&, Text, Pos, Into&)>
ParseOutcome run_into(const R& r, const ElementVTable* vt, Text t, Pos pos) {
    TokenSink sink(t);
    ParseOutcome o;
    Into in{sink, o.failure};
    const Program* p = program_for(r, vt);
    if (!(p ? program_parse(*p, t, pos, in) : F(r, t, pos, in))) return o;
    return ParseOutcome::success(in.end, sink.take());
}

}  // namespace

bool combinator_parse_into(const CompositeHeader& r, const ElementVTable* vt, Text t, Pos pos, Into& in) {
    if (const Program* p = program_for(r, vt)) return program_parse(*p, t, pos, in);
    if (vt == and_vtable()) return and_into(static_cast<const AndElement&>(r), t, pos, in);
    if (vt == match_first_vtable()) return match_first_into(static_cast<const MatchFirstElement&>(r), t, pos, in);
    if (vt == optional_vtable()) return optional_into(static_cast<const OptionalElement&>(r), t, pos, in);
    if (vt == zero_or_more_vtable()) return zero_or_more_into(static_cast<const ZeroOrMoreElement&>(r), t, pos, in);
    if (vt == one_or_more_vtable()) return one_or_more_into(static_cast<const OneOrMoreElement&>(r), t, pos, in);
    if (vt == exactly_vtable()) return exactly_into(static_cast<const ExactlyElement&>(r), t, pos, in);
    if (vt == group_vtable()) return group_into(static_cast<const GroupElement&>(r), t, pos, in);
    if (vt == suppress_vtable()) return suppress_into(static_cast<const SuppressElement&>(r), t, pos, in);
    if (vt == combine_vtable()) return combine_into(static_cast<const CombineElement&>(r), t, pos, in);
    if (vt == forward_vtable()) return forward_into(static_cast<const ForwardElement&>(r), t, pos, in);
    // Any other kind: its outcome, moved in.
    ParseOutcome o = vt->parse_at(&r, t, pos);
    if (!o.ok) {
        in.fail = std::move(o.failure);
        return false;
    }
    for (const SharedText& s : o.tokens) in.out.push(s);
    return in.done(o.end);
}

// ---------------------------------------------------------------------------
// And

ParseOutcome and_parse_at(const AndElement& r, Text t, Pos pos) { return run_into<AndElement, and_into>(r, and_vtable(), t, pos); }

ParseOutcome forward_slot_parse_at(const ForwardElement& r, Text t, Pos pos) {
    return run_into<ForwardElement, forward_into>(r, forward_vtable(), t, pos);
}


TryMatchOutcome and_try_match_at(const AndElement& r, Text t, Pos pos) {
    if (const Program* p = program_for(r, and_vtable())) return program_try(*p, t, pos);
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
    return run_into<MatchFirstElement, match_first_into>(r, match_first_vtable(), t, pos);
}

namespace {

TryMatchOutcome match_first_try(const MatchFirstElement& r, Text t, Pos pos) {
    if (const AlternativeDispatch* d = match_first_table_here(r)) {
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

}  // namespace

TryMatchOutcome match_first_try_match_at(const MatchFirstElement& r, Text t, Pos pos) {
    if (const Program* p = program_for(r, match_first_vtable())) return program_try(*p, t, pos);
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
    return run_into<OptionalElement, optional_into>(r, optional_vtable(), t, pos);
}

TryMatchOutcome optional_try_match_at(const OptionalElement& r, Text t, Pos pos) {
    if (const Program* p = program_for(r, optional_vtable())) return program_try(*p, t, pos);
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
    return run_into<ZeroOrMoreElement, zero_or_more_into>(r, zero_or_more_vtable(), t, pos);
}

TryMatchOutcome zero_or_more_try_match_at(const ZeroOrMoreElement& r, Text t, Pos pos) {
    if (const Program* p = program_for(r, zero_or_more_vtable())) return program_try(*p, t, pos);
    MatchDepth depth;
    if (!depth.ok()) return TryMatchOutcome::no();
    if (depth.memo_on()) [[unlikely]] return memo_try(&r, t, pos, [&] { return repeat_try(r.expr, t, pos); });
    return repeat_try(r.expr, t, pos);
}

ParseFromStartOutcome zero_or_more_parse_from_start(const ZeroOrMoreElement& r, Text t) {
    return ParseFromStartOutcome::from(zero_or_more_parse_at(r, t, 0));
}

ParseOutcome one_or_more_parse_at(const OneOrMoreElement& r, Text t, Pos pos) {
    return run_into<OneOrMoreElement, one_or_more_into>(r, one_or_more_vtable(), t, pos);
}

TryMatchOutcome one_or_more_try_match_at(const OneOrMoreElement& r, Text t, Pos pos) {
    if (const Program* p = program_for(r, one_or_more_vtable())) return program_try(*p, t, pos);
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
    return run_into<ExactlyElement, exactly_into>(r, exactly_vtable(), t, pos);
}

TryMatchOutcome exactly_try_match_at(const ExactlyElement& r, Text t, Pos pos) {
    if (const Program* p = program_for(r, exactly_vtable())) return program_try(*p, t, pos);
    if (r.count == 0) return TryMatchOutcome::yes(pos);
    MatchDepth depth;
    if (!depth.ok()) return TryMatchOutcome::no();
    auto body = [&] {
        if (RunItem item = run_item(r.expr.record(), r.expr.vtable())) {
            const uint64_t span = uint64_t{r.count} * item.width;
            if (pos > t.len || t.len - pos < span) return TryMatchOutcome::no();
            const Pos limit = pos + static_cast<Pos>(span);
            return item_run_end(item, t, pos, limit) == limit ? TryMatchOutcome::yes(limit) : TryMatchOutcome::no();
        }
        Pos current = pos;
        for (uint32_t i = 0; i < r.count; ++i) {
            if (work_tick()) [[unlikely]]
                return TryMatchOutcome::no();
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

TryMatchOutcome pass_through_try_match_at(const OneChildElement& r, const ElementVTable* vt, Text t, Pos pos) {
    if (const Program* p = program_for(r, vt)) return program_try(*p, t, pos);
    MatchDepth depth;
    if (!depth.ok()) return TryMatchOutcome::no();
    if (depth.memo_on()) [[unlikely]] return memo_try(&r, t, pos, [&] { return r.expr.try_match_at(t, pos); });
    return r.expr.try_match_at(t, pos);
}

ParseOutcome group_parse_at(const GroupElement& r, Text t, Pos pos) {
    return run_into<GroupElement, group_into>(r, group_vtable(), t, pos);
}

ParseFromStartOutcome group_parse_from_start(const GroupElement& r, Text t) {
    return ParseFromStartOutcome::from(group_parse_at(r, t, 0));
}

ParseOutcome suppress_parse_at(const SuppressElement& r, Text t, Pos pos) {
    return run_into<SuppressElement, suppress_into>(r, suppress_vtable(), t, pos);
}

ParseFromStartOutcome suppress_parse_from_start(const SuppressElement& r, Text t) {
    return ParseFromStartOutcome::from(suppress_parse_at(r, t, 0));
}

ParseOutcome combine_parse_at(const CombineElement& r, Text t, Pos pos) {
    return run_into<CombineElement, combine_into>(r, combine_vtable(), t, pos);
}

ParseFromStartOutcome combine_parse_from_start(const CombineElement& r, Text t) {
    return ParseFromStartOutcome::from(combine_parse_at(r, t, 0));
}

// ---------------------------------------------------------------------------
// SkipTo

SkipToElement::~SkipToElement() {
    uintptr_t j = jump_.load(std::memory_order_relaxed);
    if (j != kUnbuilt && j != kNone) delete reinterpret_cast<const StartScanner*>(j);
}

uintptr_t SkipToElement::build_jump() const {
    const StartScanner* made = nullptr;
    if constexpr (!kPlainPaths) {
        try {
            auto s = std::make_unique<StartScanner>(element_start(expr));
            if (!s->passes_nothing()) made = s.release();
        } catch (...) {
            // Without it every position is tried.
        }
    }
    uintptr_t value = made ? reinterpret_cast<uintptr_t>(made) : kNone;
    uintptr_t now = publish_derived(*this, jump_, value);
    if (now != value) delete made;  // another thread published first
    return now;
}

namespace {

// What one operation has learnt of a SkipTo's target on its text: runs of
// searched positions, each ending where the target matches. The target's
// answer at a position does not depend on where a search began, so a search
// that comes to a known run takes its answer, and every byte is searched
// once however many starts the scans try.
struct SkipToMemory : ContextSlot {
    struct Run {
        // No match at [lo, hi); a match at hi when `found`, else hi is the
        // text's length and there is none up to it either.
        Pos lo, hi;
        // How many levels deeper than the SkipTo the tests of the run went:
        // the answer is reused only where redoing them would fit the bound.
        uint32_t height;
        bool found;
    };
    // Past this many runs the lower half is forgotten (a scan does not come
    // back to them), so the memory stays small on any text.
    static constexpr size_t kMaxRuns = size_t{1} << 14;

    std::vector<Run> runs;  // by lo, disjoint
    uint64_t version = 0;   // changes with every run added
    void reset(Text) override {
        runs.clear();
        ++version;
    }

    // The run holding `pos`, or nullptr.
    const Run* holding(Pos pos) const {
        // A scan asks about the last run it made, mostly.
        if (!runs.empty() && runs.back().lo <= pos) return pos <= runs.back().hi ? &runs.back() : nullptr;
        auto it = std::upper_bound(runs.begin(), runs.end(), pos, [](Pos p, const Run& k) { return p < k.lo; });
        if (it == runs.begin()) return nullptr;
        --it;
        return pos <= it->hi ? &*it : nullptr;
    }
    // The first run that begins after `pos`, or nullptr.
    Run* after(Pos pos) {
        auto it = std::upper_bound(runs.begin(), runs.end(), pos, [](Pos p, const Run& k) { return p < k.lo; });
        return it == runs.end() ? nullptr : &*it;
    }
    // Adds a run, dropping the runs it covers. Throws std::bad_alloc.
    void add(Run k) {
        ++version;
        auto first = std::lower_bound(runs.begin(), runs.end(), k.lo, [](const Run& r, Pos p) { return r.lo < p; });
        auto last = first;
        while (last != runs.end() && last->lo <= k.hi) ++last;
        if (first != last) {
            *first = k;
            runs.erase(first + 1, last);
            return;
        }
        if (runs.size() >= kMaxRuns) {
            size_t at = static_cast<size_t>(first - runs.begin());
            size_t drop = runs.size() / 2;
            runs.erase(runs.begin(), runs.begin() + static_cast<std::ptrdiff_t>(drop));
            first = runs.begin() + static_cast<std::ptrdiff_t>(at > drop ? at - drop : 0);
        }
        runs.insert(first, k);
    }
};

// The first position from `pos` up to the text's length where the target
// matches (tested by `test(q)`), or false. Positions where the target cannot
// begin are passed over (the jump) while the levels their tests would have
// entered fit below the bound; a run learnt before in this operation answers
// for every position it holds.
//
// kFits: run by a program inside a subtree whose levels all fit below the
// bound (skip_to_search_fitting): nothing is read or changed in the depth
// state, every run fits (its levels are the target's), and the run made is
// remembered with `fit_height`. Otherwise called inside the SkipTo's own
// level, and the levels the tests went are measured.
template <bool kFits, class Test>
bool search_for_target(const SkipToElement& r, Text t, Pos pos, Pos& found, uint32_t fit_height, Test&& test) {
    if (pos > t.len) return false;
    MatchDepthState& s = tls_match_depth;
    auto fits = [&](uint32_t height) { return kFits || uint64_t{s.depth} + height <= kMaxMatchDepth; };
    MatchContext* c = current_context();
    SkipToMemory* mem = c ? c->scratch<SkipToMemory>(&r, t) : nullptr;
    if (mem) {
        if (const SkipToMemory::Run* k = mem->holding(pos)) {
            if (fits(k->height)) {
                if (!kFits) note_reused_height(s, k->height);
                found = k->hi;
                return k->found;
            }
            mem = nullptr;  // learnt higher up: worked out again here, not kept
        }
    }
    const StartScanner* jump = r.jump();
    if (!kFits && jump && !may_pass_over(*jump)) jump = nullptr;
    const uint32_t saved_peak = s.peak;
    if (!kFits) {
        s.peak = s.depth;
        if (jump && s.depth + jump->reach() > s.peak) s.peak = s.depth + jump->reach();
    }
    // The first run after `pos`, which the search may come to; read again
    // whenever a test has changed what is known (a test can reach this very
    // SkipTo again).
    struct Limit {
        bool any = false;
        SkipToMemory::Run run{};
    } limit;
    uint64_t seen = 0;
    auto read_limit = [&] {
        seen = mem->version;
        const SkipToMemory::Run* k = mem->after(pos);
        limit.any = k != nullptr;
        if (k) limit.run = *k;
    };
    if (mem) read_limit();
    bool hit = false, joined = false;
    Pos p = pos, end = t.len;
    StartCursor cursor;
    for (;;) {
        if (work_tick()) [[unlikely]]
            break;  // interrupted: a failure, not remembered
        Pos q = p;
        if (jump && !jump->next(t, p, q, cursor)) break;
        if (mem) {
            if (mem->version != seen) read_limit();
            // Everything before q is known to hold no match: a run holding q
            // answers for the rest.
            if (limit.any && limit.run.lo <= q && q <= limit.run.hi && fits(limit.run.height)) {
                joined = true;
                break;
            }
        }
        if (test(q).matched) {
            hit = true;
            end = q;
            break;
        }
        if ((!kFits && depth_aborting()) || q == t.len) break;
        p = q + 1;
    }
    uint32_t height = fit_height;
    if (!kFits) {
        height = s.peak - s.depth;
        if (saved_peak > s.peak) s.peak = saved_peak;
    }
    if (joined) {
        hit = limit.run.found;
        end = limit.run.hi;
        if (limit.run.height > height) height = limit.run.height;
        if (!kFits) note_reused_height(s, height);
    }
    if (mem && (kFits || !s.aborting) && !s.interrupted) mem->add({pos, end, height, hit});
    if (hit) found = end;
    return hit;
}

bool skip_to_search(const SkipToElement& r, Text t, Pos pos, Pos& found) {
    return search_for_target<false>(r, t, pos, found, 0, [&](Pos q) { return r.expr.try_match_at(t, q); });
}

}  // namespace

bool skip_to_search_fitting(const SkipToElement& r, Text t, Pos pos, Pos& found, uint32_t height,
                            TryMatchOutcome (*test)(void*, Pos), void* ctx) {
    return search_for_target<true>(r, t, pos, found, height, [&](Pos q) { return test(ctx, q); });
}

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
