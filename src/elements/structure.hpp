// The combinator kinds that build elements out of other elements: And,
// MatchFirst, Optional, ZeroOrMore, OneOrMore, Exactly, Group, Suppress,
// Combine and SkipTo. The Forward slot lives in forward.hpp.
//
// A combinator reaches its children through their interface table, with
// parse_at and try_match_at; a combinator's parse_at runs the combinator and
// Literal and Word kinds beneath it directly, into one token buffer (see
// structure.cpp), and every other kind through its table. Every operation
// enters a MatchDepth first, so a grammar nested past the bound fails in
// order instead of overflowing the stack.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "elements/element.hpp"
#include "elements/first_bytes.hpp"

namespace qgx {

// The common header of every combinator record (the Forward slot included):
// whether the record can reach a Forward slot through its children, whether
// it may still change, and the scratch fields of the cycle collector
// (forward.hpp), which only the collector touches, under the interpreter lock.
struct CompositeHeader : ElementHeader {
    bool reaches_forward = false;
    // Set before the record publishes anything derived from it (publish_derived
    // below): from then on its members never change. The operators grow a
    // record in place only while it is unset.
    mutable std::atomic<bool> sealed{false};
    mutable uint32_t gc_internal = 0;
    mutable uint32_t gc_epoch = 0;
    mutable bool gc_live = false;
    // The record's compiled program (program.hpp): 0 until its first match,
    // kNoProgram when none could be made, else its address; set once.
    mutable std::atomic<uintptr_t> program{0};
    static constexpr uintptr_t kNoProgram = 1;

    CompositeHeader() = default;
    ~CompositeHeader();
    CompositeHeader(const CompositeHeader&) = delete;
    CompositeHeader& operator=(const CompositeHeader&) = delete;
};

// Publishes a state derived from `owner` (its program, a table made from its
// members) into `slot`, which holds 0 until then, sealing the record first.
// The first publication wins: returns the value now in the slot, which is
// `value` when this call made it, else the earlier one (the caller then
// frees its own). Every derived state goes through here, so that no record
// that something describes can change.
uintptr_t publish_derived(const CompositeHeader& owner, std::atomic<uintptr_t>& slot, uintptr_t value) noexcept;

// Tells the Forward cycle collector (forward.hpp) that a combinator record
// holding `children` handles was built. The collector paces its passes by
// the records built since the last one as well as by releases, so that
// dropped recursive grammars never pile up beyond a fixed multiple of what
// is alive, whatever their size.
void note_composite_built(size_t children);

// The members of a sequence or of a choice. A record that the operators
// build holds, until it is sealed, its pieces in `exprs`: members, and at the
// indices listed in `spliced`, records of its own kind whose members stand
// there (an operand spliced by `+` or `|`, shared instead of copied, so that
// a chain built one operand at a time costs one handle per operand however
// it is built). Sealing (seal_chain) puts every member in its place once;
// the engines see sealed records only, whose `spliced` is empty.
struct ChainElement : CompositeHeader {
    std::vector<SharedElement> exprs;
    std::vector<size_t> spliced;  // ascending
    uint64_t members = 0;         // once in their places (saturating)
    explicit ChainElement(std::vector<SharedElement> e);
};

// Appends a piece to the pieces of an unsealed chain record `r`: the member
// `m`, or the members of `part`, a record of `r`'s own kind (nothing when it
// has none). Either is appended whole or, throwing std::bad_alloc, not at all.
void chain_append_member(ChainElement& r, SharedElement m);
void chain_append_spliced(ChainElement& r, const SharedElement& part);

// Seals a chain record: its members put in their places, without recursion
// however deep its spliced records nest, and from then on never changed.
// Throws std::bad_alloc (and changes nothing) when the member list cannot be made.
void seal_chain(ChainElement& r);

// Seals the record behind a handle when it is a chain record (seal_chain);
// nothing for any other kind. The boundary where a record becomes matchable
// (embedded as a child or a Forward target, or called on as a root) calls it.
void seal_record(const SharedElement& e);

struct AndElement : ChainElement {
    // at least two members, built by `+`
    using ChainElement::ChainElement;
};

// Which alternatives can match at a position, by the byte there: built for
// alternatives that can only match where the byte at the position lies in a
// known set (literals, keywords, Char, Word, QuotedString, and composites that
// must begin with one of these), so that a position is tried only with the
// alternatives that can match there, in their order. Bucket 256 is the end
// of the text. `start` has one more entry than the buckets: bucket b holds
// items[start[b] .. start[b + 1]).
struct AlternativeDispatch {
    uint32_t start[258] = {};
    std::vector<uint32_t> items;
    // 1 for the bytes whose bucket is not empty: a scan passes over the others.
    ByteTable may_start;
    // Every alternative is a Literal of one byte (one_of of single characters):
    // the first of a byte's bucket matches there, and an empty bucket fails.
    bool one_byte_literals = false;
    // The most levels an alternative left out of some bucket enters before it
    // fails there: where the depth of the choice plus this would pass the
    // bound, every alternative is tried in turn, so the bound is reached as
    // without the table.
    uint32_t skip_reach = 0;
    // The start of the whole choice (first_bytes.hpp), and the scanner the
    // class's scans go from one possible start to the next with.
    ElementStart summary;
    StartScanner scanner;
    // Where the choice's scanner goes by common bytes only and each
    // alternative's by a literal of its own: one scanner per alternative,
    // the next position any of them allows being the next candidate.
    std::vector<StartScanner> each;
};

struct MatchFirstElement : ChainElement {
    // members in order of preference; may be empty
    using ChainElement::ChainElement;
    ~MatchFirstElement();
    // The dispatch table, made on the first match and kept; null when every
    // alternative may match everywhere. Building it on every `|` of a chain
    // would cost 257 steps per member each time.
    const AlternativeDispatch* dispatch() const {
        uintptr_t d = dispatch_.load(std::memory_order_acquire);
        if (d == kUnbuilt) [[unlikely]] d = build_dispatch();
        return d == kNoTable ? nullptr : reinterpret_cast<const AlternativeDispatch*>(d);
    }

    // Whether the first match has settled the table (made it or found none).
    bool dispatch_settled() const { return dispatch_.load(std::memory_order_acquire) != kUnbuilt; }

  private:
    static constexpr uintptr_t kUnbuilt = 0, kNoTable = 1;
    uintptr_t build_dispatch() const;
    // kUnbuilt until the first match, then the table's address or kNoTable;
    // set once (a racing second build is dropped), so readers need no lock.
    mutable std::atomic<uintptr_t> dispatch_{kUnbuilt};
};


// The table of a choice entered at the present depth, or null. The
// alternatives it leaves out at a byte would each have entered a few levels
// before failing there; where those levels would pass the bound, every
// alternative is tried in turn, so that the bound is reached exactly where
// it is without the table. Otherwise the levels are noted as reached, so
// that a remembered outcome is reused only where redoing the work fits too.
inline const AlternativeDispatch* match_first_table_here(const MatchFirstElement& r) {
    const AlternativeDispatch* d = r.dispatch();
    if (!d) return nullptr;
    MatchDepthState& s = tls_match_depth;
    const uint64_t reached = uint64_t{s.depth} + d->skip_reach;
    if (reached > kMaxMatchDepth) [[unlikely]] return nullptr;
    if (reached > s.peak) s.peak = static_cast<uint32_t>(reached);
    return d;
}


// The one-child records.
struct OneChildElement : CompositeHeader {
    SharedElement expr;
    explicit OneChildElement(SharedElement e);
};
struct OptionalElement : OneChildElement {
    using OneChildElement::OneChildElement;
};
struct ZeroOrMoreElement : OneChildElement {
    using OneChildElement::OneChildElement;
};
struct OneOrMoreElement : OneChildElement {
    using OneChildElement::OneChildElement;
};
struct GroupElement : OneChildElement {
    using OneChildElement::OneChildElement;
};
struct SuppressElement : OneChildElement {
    using OneChildElement::OneChildElement;
};
struct CombineElement : OneChildElement {
    using OneChildElement::OneChildElement;
};
// `expr` is the target searched for.
struct SkipToElement : OneChildElement {
    using OneChildElement::OneChildElement;
    ~SkipToElement();
    // How the search passes over the positions where the target cannot
    // match, made from the target's start on the first search and kept; null
    // when it passes over none (and always in the plain build).
    const StartScanner* jump() const {
        uintptr_t j = jump_.load(std::memory_order_acquire);
        if (j == kUnbuilt) [[unlikely]] j = build_jump();
        return j == kNone ? nullptr : reinterpret_cast<const StartScanner*>(j);
    }

  private:
    static constexpr uintptr_t kUnbuilt = 0, kNone = 1;
    uintptr_t build_jump() const;
    mutable std::atomic<uintptr_t> jump_{kUnbuilt};
};
struct ExactlyElement : OneChildElement {
    uint32_t count;
    ExactlyElement(SharedElement e, uint32_t n) : OneChildElement(std::move(e)), count(n) {}
};

struct Into;
// What the parse_at of a combinator record of kind `vt` does at `pos`, with
// its tokens and failure left in `in` rather than in an outcome (so that an
// operation can make its result straight from the buffer).
bool combinator_parse_into(const CompositeHeader& r, const ElementVTable* vt, Text t, Pos pos, Into& in);

// The failure of a composite entered past the depth bound, at `pos`.
ParseOutcome depth_failure(Pos pos);

struct ForwardElement;
// The parse_at of the Forward kind: its target's subtree on the combinators'
// parse path (see structure.cpp).
ParseOutcome forward_slot_parse_at(const ForwardElement& r, Text t, Pos pos);

ParseOutcome and_parse_at(const AndElement& r, Text t, Pos pos);
TryMatchOutcome and_try_match_at(const AndElement& r, Text t, Pos pos);
ParseFromStartOutcome and_parse_from_start(const AndElement& r, Text t);

ParseOutcome match_first_parse_at(const MatchFirstElement& r, Text t, Pos pos);
TryMatchOutcome match_first_try_match_at(const MatchFirstElement& r, Text t, Pos pos);
ParseFromStartOutcome match_first_parse_from_start(const MatchFirstElement& r, Text t);

ParseOutcome optional_parse_at(const OptionalElement& r, Text t, Pos pos);
TryMatchOutcome optional_try_match_at(const OptionalElement& r, Text t, Pos pos);
ParseFromStartOutcome optional_parse_from_start(const OptionalElement& r, Text t);

ParseOutcome zero_or_more_parse_at(const ZeroOrMoreElement& r, Text t, Pos pos);
TryMatchOutcome zero_or_more_try_match_at(const ZeroOrMoreElement& r, Text t, Pos pos);
ParseFromStartOutcome zero_or_more_parse_from_start(const ZeroOrMoreElement& r, Text t);

ParseOutcome one_or_more_parse_at(const OneOrMoreElement& r, Text t, Pos pos);
TryMatchOutcome one_or_more_try_match_at(const OneOrMoreElement& r, Text t, Pos pos);
ParseFromStartOutcome one_or_more_parse_from_start(const OneOrMoreElement& r, Text t);

ParseOutcome exactly_parse_at(const ExactlyElement& r, Text t, Pos pos);
TryMatchOutcome exactly_try_match_at(const ExactlyElement& r, Text t, Pos pos);
ParseFromStartOutcome exactly_parse_from_start(const ExactlyElement& r, Text t);

ParseOutcome group_parse_at(const GroupElement& r, Text t, Pos pos);
ParseFromStartOutcome group_parse_from_start(const GroupElement& r, Text t);

ParseOutcome suppress_parse_at(const SuppressElement& r, Text t, Pos pos);
ParseFromStartOutcome suppress_parse_from_start(const SuppressElement& r, Text t);

ParseOutcome combine_parse_at(const CombineElement& r, Text t, Pos pos);
ParseFromStartOutcome combine_parse_from_start(const CombineElement& r, Text t);

// The one try_match_at routine of Group, Suppress and Combine: the child's
// outcome, unchanged. `vt` is the record's own kind table.
TryMatchOutcome pass_through_try_match_at(const OneChildElement& r, const ElementVTable* vt, Text t, Pos pos);
const ElementVTable* group_vtable();
const ElementVTable* suppress_vtable();
const ElementVTable* combine_vtable();
inline TryMatchOutcome group_try_match_at(const GroupElement& r, Text t, Pos pos) {
    return pass_through_try_match_at(r, group_vtable(), t, pos);
}
inline TryMatchOutcome suppress_try_match_at(const SuppressElement& r, Text t, Pos pos) {
    return pass_through_try_match_at(r, suppress_vtable(), t, pos);
}
inline TryMatchOutcome combine_try_match_at(const CombineElement& r, Text t, Pos pos) {
    return pass_through_try_match_at(r, combine_vtable(), t, pos);
}

ParseOutcome skip_to_parse_at(const SkipToElement& r, Text t, Pos pos);
TryMatchOutcome skip_to_try_match_at(const SkipToElement& r, Text t, Pos pos);
// The SkipTo search run by a program inside a subtree whose levels all fit
// below the depth bound: the target tested by `test(ctx, q)`, nothing read
// or changed in the depth state, the run remembered with `height` (the
// target's levels). The first position from `pos` where the target matches,
// or false.
bool skip_to_search_fitting(const SkipToElement& r, Text t, Pos pos, Pos& found, uint32_t height,
                            TryMatchOutcome (*test)(void*, Pos), void* ctx);
ParseFromStartOutcome skip_to_parse_from_start(const SkipToElement& r, Text t);

// The kinds' interface tables.
const ElementVTable* and_vtable();
const ElementVTable* match_first_vtable();
const ElementVTable* optional_vtable();
const ElementVTable* zero_or_more_vtable();
const ElementVTable* one_or_more_vtable();
const ElementVTable* exactly_vtable();
const ElementVTable* group_vtable();
const ElementVTable* suppress_vtable();
const ElementVTable* combine_vtable();
const ElementVTable* skip_to_vtable();

// The combinator record behind a handle (Forward slot included), or nullptr
// for a terminal kind, which holds no children.
const CompositeHeader* composite_of(const SharedElement& e);

// Whether a record holding `child` can reach a Forward slot through it.
bool child_reaches_forward(const SharedElement& child);

}  // namespace qgx
