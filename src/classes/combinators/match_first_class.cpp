// The MatchFirst class: ordered alternatives, the first that matches wins.
#include "classes/combinators/operators.hpp"
#include "classes/combinators/support.hpp"

namespace qgx {

namespace {

// The choice at a scan position, at its own level (match_first_try_match_at).
TryMatchOutcome choice_at(const MatchFirstElement& r, Text t, Pos p) { return match_first_try_match_at(r, t, p); }

// With a first-byte table, the scans go from one position where an
// alternative can begin to the next, by the table's scanner; the outcomes are
// those of the choice at every position (the passed-over ones fail there).
// The next position the choice's scanner allows; or, where the choice has
// one scanner per alternative, the least of the next positions they allow,
// each kept until the scan passes it.
struct NextCandidate {
    explicit NextCandidate(const AlternativeDispatch* d) : scanner(&d->scanner) {
        if (d->each.empty()) return;
        each = &d->each;
        cursors.resize(d->each.size());
        next.assign(d->each.size(), 0);
        known.assign(d->each.size(), 0);
    }
    Pos operator()(Text t, Pos p) {
        if (!each) return scanner->next_inside(t, p);
        Pos best = t.len;
        for (size_t i = 0; i < each->size(); ++i) {
            if (!known[i] || next[i] < p) {
                next[i] = (*each)[i].next_inside(t, p, cursors[i]);
                known[i] = 1;
            }
            if (next[i] < best) best = next[i];
        }
        return best;
    }
    const StartScanner* scanner;
    const std::vector<StartScanner>* each = nullptr;
    std::vector<StartCursor> cursors;
    std::vector<Pos> next;
    std::vector<uint8_t> known;
};

// The next position the choice's one scanner allows: NextCandidate without
// per-alternative scanners, kept apart so that a scan of such a choice
// reads no state of theirs at each candidate.
struct NextByScanner {
    const StartScanner* scanner;
    Pos operator()(Text t, Pos p) const { return scanner->next_inside(t, p); }
};

// Runs `scan(skip)` with the skip functor for table `d`.
template <class Scan>
auto with_candidates(const AlternativeDispatch* d, Scan&& scan) {
    if (d->each.empty()) return scan(NextByScanner{&d->scanner});
    return scan(NextCandidate(d));
}

// The table when the scans may use its scanners, else null.
const AlternativeDispatch* scans_jump(const MatchFirstElement& r) {
    const AlternativeDispatch* d = r.dispatch();
    if (!d || (d->scanner.passes_nothing() && d->each.empty()) || !may_pass_over(d->scanner)) return nullptr;
    return d;
}

}  // namespace

struct MatchFirstClass : GeneralForms<MatchFirstElement, match_first_parse_at, match_first_try_match_at,
                                      match_first_parse_from_start> {
    using Object = ElementObject;
    static constexpr char kName[] = "MatchFirst";
    static constexpr ClassId kId = ClassId::MatchFirst;
    static constexpr const char* kSignature = "(exprs)";
    static constexpr ArgumentDescriptor kNew{kName, "__new__", {"exprs"}, 1, 1};
    static const ElementVTable* vtable() { return match_first_vtable(); }
    static void release_payload(Object* o) { release_combinator_record(o); }
    static void seal(Object* o) { seal_chain(*static_cast<ChainElement*>(o->element)); }
    static PyObject* nb_or(PyObject* l, PyObject* r) { return match_first_or(l, r); }

    static PyObject* construct(PyTypeObject* type, PyObject** slots) {
        PyObject* exprs = slots[0];
        if (!convert_list_arg(exprs, "exprs")) return nullptr;
        std::vector<SharedElement> members;
        Py_ssize_t n = PyList_GET_SIZE(exprs);
        members.reserve(static_cast<size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            OwnedRef item = OwnedRef::borrow(PyList_GET_ITEM(exprs, i));
            ToElementOutcome c = to_element(item.get());
            if (!c.ok) {
                PyErr_Format(PyExc_ValueError, msg::kUnsupportedExpressionAt, i);
                return nullptr;
            }
            members.push_back(std::move(c.element));
        }
        return wrap_record(type, Rc<MatchFirstElement>::make(std::move(members)));
    }

    // The first alternative whose parse_at at 0 succeeds gives the tokens;
    // with none, "No match found" without position. The alternatives are
    // called inside the choice's own level, as match_first_parse_at calls them.
    static PyObject* parse_string(Object* o, Text s) {
        reset_depth_exceeded();
        {
            MatchDepth depth;
            if (depth.ok()) {
                for (const SharedElement& a : rec(o).exprs) {
                    ParseOutcome out = a.parse_at(s, 0);
                    if (out.ok) return tokens_to_list(out.tokens);
                    if (depth_exceeded()) break;
                }
            }
        }
        return raise_plain_failure(msg::kNoMatchFound);
    }

    // The alternatives over the member list in place, no engine call; each
    // test holds the choice's own level, so these give what parse_batch_count
    // and the plain scans give, at the nesting bound too.
    static PyObject* matches(Object* o, Text s) { return bool_result(choice_at(rec(o), s, 0).matched); }
    static PyObject* search_string_count(Object* o, Text s) {
        const MatchFirstElement& r = rec(o);
        const AlternativeDispatch* j = scans_jump(r);
        return count_result(with_scan_test(r, vtable(), choice_at, s, [&](auto& test) {
            return j ? with_candidates(j, [&](auto skip) { return counting_scan(s, test, std::move(skip)); })
                     : counting_scan(s, test);
        }));
    }
    static PyObject* search_string(Object* o, Text s) {
        const MatchFirstElement& r = rec(o);
        const AlternativeDispatch* j = scans_jump(r);
        return with_scan_test(r, vtable(), choice_at, s, [&](auto& test) {
            return j ? with_candidates(j, [&](auto skip) { return run_search_string(s, test, std::move(skip)); })
                     : run_search_string(s, test);
        });
    }
    static PyObject* transform_string(Object* o, Text s, Text replacement) {
        const MatchFirstElement& r = rec(o);
        const AlternativeDispatch* j = scans_jump(r);
        return with_scan_test(r, vtable(), choice_at, s, [&](auto& test) {
            return j ? with_candidates(j, [&](auto skip) { return run_transform_string(s, replacement, test, std::move(skip)); })
                     : run_transform_string(s, replacement, test);
        });
    }
};

}  // namespace qgx

QGX_REGISTER_CLASS(MatchFirstClass, kMatchFirstClass)
