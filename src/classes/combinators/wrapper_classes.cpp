// The one-child classes that pass on, drop or join their child's result:
// Optional, Group, Suppress and Combine.
#include <cstring>

#include "classes/combinators/support.hpp"
#include "elements/chars.hpp"
#include "elements/literals.hpp"

namespace qgx {

namespace {

// A Group over a row of fields: its child a sequence whose members each give
// at most the one token that is the text they matched, or a single such
// member. Its batch reads every member with try_match_at alone, the spans go
// to a buffer on the stack, and each item's strs and list are made once, at
// their size: no TokenList, no outcome objects, no heap block per item.
//
// The members it reads, and what parse_at gives for each:
//   Suppress(x): nothing; it matches where x matches.
//   a span kind (Word, Regex, Literal): the matched text.
//   Optional(span kind): the matched text, or nothing where the kind fails.
// A span kind's parse_at succeeds exactly where its try_match_at matches, at
// the same end, with one token whose bytes are the matched text (a Literal's
// token is its own text, which is what it matched).
class RowPlan {
  public:
    static constexpr size_t kMaxMembers = 64;

    // False when the Group's child is not such a row.
    bool build(const GroupElement& g) {
        const SharedElement& c = g.expr;
        if (c.vtable() == and_vtable()) {
            const auto& seq = *static_cast<const AndElement*>(c.record());
            if (seq.exprs.size() > kMaxMembers) return false;
            in_sequence_ = true;
            for (const SharedElement& m : seq.exprs)
                if (!add(m)) return false;
            return true;
        }
        return add(c);
    }

    // The spans of the tokens of a match at 0 into `spans` (room for kMaxMembers),
    // their number into `count`; false when the Group fails there. The depth
    // levels are those that group_parse_at enters (Group, the sequence, each
    // Optional and Suppress), so that a match near the bound fails as it does.
    bool match(Text t, Span* spans, uint32_t& count) const {
        MatchDepth group_depth;
        if (!group_depth.ok()) return false;
        if (!in_sequence_) return run(t, spans, count);
        MatchDepth sequence_depth;
        if (!sequence_depth.ok()) return false;
        return run(t, spans, count);
    }

  private:
    enum class Step : uint8_t { Skip, Span, OptionalSpan };
    // How the member's test runs: the Word and Literal tests inline, any
    // other kind through its table.
    enum class Test : uint8_t { Word, Literal, Table };
    struct Member {
        const SharedElement* e;  // Skip and OptionalSpan: the wrapped child
        Step step;
        Test test;
    };

    static TryMatchOutcome test(const Member& m, Text t, Pos p) {
        switch (m.test) {
            case Test::Word:
                return word_try_match_at(*static_cast<const WordElement*>(m.e->record()), t, p);
            case Test::Literal: {
                const auto& lit = *static_cast<const LiteralElement*>(m.e->record());
                // One byte (a separator) without the call that compares none.
                if (lit.text.size() == 1)
                    return p < t.len && t.at(p) == lit.first_byte ? TryMatchOutcome::yes(p + 1) : TryMatchOutcome::no();
                return literal_try_match_at(lit, t, p);
            }
            case Test::Table:
                break;
        }
        return m.e->try_match_at(t, p);
    }

    static Test test_of(const SharedElement& e) {
        const ElementVTable* v = e.vtable();
        if (v == word_vtable()) return Test::Word;
        if (v == literal_vtable()) return Test::Literal;
        return Test::Table;
    }

    static bool gives_its_span(const SharedElement& e) {
        const ElementVTable* v = e.vtable();
        return v == word_vtable() || v == regex_vtable() || v == literal_vtable();
    }

    bool add(const SharedElement& m) {
        const ElementVTable* v = m.vtable();
        const SharedElement* e = &m;
        Step step = Step::Span;
        if (v == suppress_vtable()) {
            e = &static_cast<const SuppressElement*>(m.record())->expr;
            step = Step::Skip;
        } else if (v == optional_vtable()) {
            e = &static_cast<const OptionalElement*>(m.record())->expr;
            if (!gives_its_span(*e)) return false;
            step = Step::OptionalSpan;
        } else if (!gives_its_span(m)) {
            return false;
        }
        members_[n_++] = Member{e, step, test_of(*e)};
        return true;
    }

    bool run(Text t, Span* spans, uint32_t& count) const {
        Pos p = 0;
        uint32_t k = 0;
        for (size_t i = 0; i < n_; ++i) {
            const Member& m = members_[i];
            if (m.step == Step::Span) {
                TryMatchOutcome o = test(m, t, p);
                if (!o.matched) return false;
                spans[k++] = Span{p, o.end};
                p = o.end;
                continue;
            }
            // The wrapper's own level (pass_through_try_match_at, optional_parse_at).
            MatchDepth depth;
            if (!depth.ok()) return false;
            TryMatchOutcome o = test(m, t, p);
            if (m.step == Step::Skip) {
                if (!o.matched) return false;
                p = o.end;
            } else if (o.matched) {
                spans[k++] = Span{p, o.end};
                p = o.end;
            } else if (depth_aborting()) {
                return false;  // a failure at the bound does not become an empty success
            }
        }
        count = k;
        return true;
    }

    Member members_[kMaxMembers];
    size_t n_ = 0;
    bool in_sequence_ = false;
};

// A str of `n` ASCII bytes. One byte and none give the interpreter's shared
// strs, as the UTF-8 decoder does; longer ones are filled by one copy.
inline PyObject* ascii_str(const char* data, Pos n) {
    if (n < 2) return new_str(data, n);
    PyObject* s = PyUnicode_New(n, 127);
    if (!s) [[unlikely]] throw_no_memory();
    std::memcpy(PyUnicode_DATA(s), data, n);
    return s;
}

// One item of a row batch: the list of its tokens, or an empty list where
// the Group fails. The caller holds the item while its spans become strs.
PyObject* row_to_list(const RowPlan& plan, PyObject* item, Span* spans) {
    Text t;
    if (!read_item_text(item, t)) return nullptr;
    const bool ascii = PyUnicode_IS_ASCII(item);
    uint32_t k = 0;
    if (!plan.match(t, spans, k)) return new_hidden_list(0);
    // The strs first: making a list can run the collector, making a str never.
    PendingRefs strs;
    strs.reserve(k);
    for (uint32_t i = 0; i < k; ++i) {
        const char* d = t.data + spans[i].start;
        Pos n = spans[i].end - spans[i].start;
        strs.push(ascii ? ascii_str(d, n) : new_str(d, n));
    }
    return strs.into_hidden_list();
}

}  // namespace

struct OptionalClass
    : GeneralForms<OptionalElement, optional_parse_at, optional_try_match_at, optional_parse_from_start> {
    using Object = ElementObject;
    static constexpr char kName[] = "Optional";
    static constexpr ClassId kId = ClassId::Optional;
    static constexpr const char* kSignature = "(expr)";
    static constexpr ArgumentDescriptor kNew = expr_params(kName);
    static const ElementVTable* vtable() { return optional_vtable(); }
    static PyObject* construct(PyTypeObject* t, PyObject** s) { return construct_one_child<OptionalElement>(t, s[0]); }
    static void release_payload(Object* o) { release_combinator_record(o); }

    // The child's try_match_at decides; parse_at only supplies the tokens of a
    // non-empty match. Never a match error.
    static PyObject* parse_string(Object* o, Text s) {
        const OptionalElement& r = rec(o);
        reset_depth_exceeded();
        TryMatchOutcome m = r.expr.try_match_at(s, 0);
        if (depth_exceeded()) return raise_plain_failure("");
        if (!m.matched || m.end == 0) return new_list(0);
        return run_parse_string(s, [&](Text t) { return optional_parse_from_start(r, t); });
    }
    static PyObject* matches(Object*, Text) { return bool_result(true); }
    static PyObject* parse_batch_count(Object*, PyObject* inputs) {
        int64_t c = count_batch<false>(inputs, [](Text) { return true; });
        return c < 0 ? nullptr : count_result(static_cast<uint64_t>(c));
    }
};

struct GroupClass : GeneralForms<GroupElement, group_parse_at, group_try_match_at, group_parse_from_start> {
    using Object = ElementObject;
    static constexpr char kName[] = "Group";
    static constexpr ClassId kId = ClassId::Group;
    static constexpr const char* kSignature = "(expr)";
    static constexpr ArgumentDescriptor kNew = expr_params(kName);
    static const ElementVTable* vtable() { return group_vtable(); }
    static PyObject* construct(PyTypeObject* t, PyObject** s) { return construct_one_child<GroupElement>(t, s[0]); }
    static void release_payload(Object* o) { release_combinator_record(o); }

    // A row (see RowPlan) under the batch rules of batch_map; any other child
    // through the general form.
    static PyObject* parse_batch(Object* o, PyObject* inputs) {
        const GroupElement& g = rec(o);
        RowPlan plan;
        if (kPlainPaths || !plan.build(g)) return GeneralForms::parse_batch(o, inputs);
        Span spans[RowPlan::kMaxMembers];
        PyObject* out = batch_map(inputs, [&](PyObject* item) { return row_to_list(plan, item, spans); });
        if (out) publish_items(out);
        return out;
    }
    static PyObject* parse_batch_count(Object* o, PyObject* inputs) {
        return count_batch_matches_shared(rec(o).expr, inputs);
    }
};

struct SuppressClass
    : GeneralForms<SuppressElement, suppress_parse_at, suppress_try_match_at, suppress_parse_from_start> {
    using Object = ElementObject;
    static constexpr char kName[] = "Suppress";
    static constexpr ClassId kId = ClassId::Suppress;
    static constexpr const char* kSignature = "(expr)";
    static constexpr ArgumentDescriptor kNew = expr_params(kName);
    static const ElementVTable* vtable() { return suppress_vtable(); }
    static PyObject* construct(PyTypeObject* t, PyObject** s) { return construct_one_child<SuppressElement>(t, s[0]); }
    static void release_payload(Object* o) { release_combinator_record(o); }

    static PyObject* parse_string(Object* o, Text s) {
        reset_depth_exceeded();
        if (rec(o).expr.try_match_at(s, 0).matched) return new_list(0);
        return raise_plain_failure(msg::kNoMatchSuppressed);
    }

    // Every item evaluated (no reuse shortcuts); all matching items share one
    // empty list, each other item gets its own.
    static PyObject* parse_batch(Object* o, PyObject* inputs) {
        const SharedElement& child = rec(o).expr;
        // Each failing item gets a new list, so a collection can run between
        // items: the items go into a snapshot first, whose buffer becomes the
        // result, each slot holding its item until its result is in.
        Py_ssize_t n = PyList_GET_SIZE(inputs);
        if (n == 0) return new_list(0);
        BatchInputs snapshot;
        if (!snapshot.take(inputs, n)) return nullptr;
        OwnedRef out = OwnedRef::steal(snapshot.into_list());
        OwnedRef shared = OwnedRef::steal(new_list(0));
        PyObject** slots = reinterpret_cast<PyListObject*>(out.get())->ob_item;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* item = slots[i];
            Text t;
            if (!read_item_text(item, t)) return nullptr;
            PyObject* r;
            if (child.try_match_at(t, 0).matched) {
                r = shared.get();
                Py_INCREF(r);
            } else {
                r = new_list(0);
            }
            slots[i] = r;
            Py_DECREF(item);
        }
        return publish_list(out.release());
    }
    static PyObject* parse_batch_count(Object* o, PyObject* inputs) {
        return count_batch_matches_shared(rec(o).expr, inputs);
    }
};

struct CombineClass : GeneralForms<CombineElement, combine_parse_at, combine_try_match_at, combine_parse_from_start> {
    using Object = ElementObject;
    static constexpr char kName[] = "Combine";
    static constexpr ClassId kId = ClassId::Combine;
    static constexpr const char* kSignature = "(expr)";
    static constexpr ArgumentDescriptor kNew = expr_params(kName);
    static const ElementVTable* vtable() { return combine_vtable(); }
    static PyObject* construct(PyTypeObject* t, PyObject** s) { return construct_one_child<CombineElement>(t, s[0]); }
    static void release_payload(Object* o) { release_combinator_record(o); }

    static PyObject* parse_batch_count(Object* o, PyObject* inputs) {
        return count_batch_matches_shared(rec(o).expr, inputs);
    }
};

}  // namespace qgx

QGX_REGISTER_CLASS(OptionalClass, kOptionalClass)
QGX_REGISTER_CLASS(GroupClass, kGroupClass)
QGX_REGISTER_CLASS(SuppressClass, kSuppressClass)
QGX_REGISTER_CLASS(CombineClass, kCombineClass)
