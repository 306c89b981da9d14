// The one-child classes that pass on, drop or join their child's result:
// Optional, Group, Suppress and Combine.
#include "classes/combinators/support.hpp"

namespace qgx {

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
        int64_t c = count_batch(inputs, [](Text) { return true; });
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
