// The Forward class: a slot whose target is given after construction with
// `set` or `<<=`, which makes recursive grammars possible.
#include "classes/combinators/support.hpp"

namespace qgx {

struct ForwardClass : GeneralForms<ForwardElement, forward_parse_at, forward_try_match_at, forward_parse_from_start> {
    using Object = ElementObject;
    static constexpr char kName[] = "Forward";
    static constexpr ClassId kId = ClassId::Forward;
    static constexpr const char* kSignature = "()";
    static constexpr ArgumentDescriptor kNew{kName, "__new__", {}, 0, 0};
    static constexpr MethodDocs kDocs{.set = "Set the inner parser expression (equivalent to <<= in quillgram)."};
    static const ElementVTable* vtable() { return forward_vtable(); }
    static PyObject* construct(PyTypeObject* type, PyObject**) { return wrap_record(type, Rc<ForwardElement>::make()); }
    static void release_payload(Object* o) { release_combinator_record(o); }

    static ForwardElement& slot(Object* o) { return *static_cast<ForwardElement*>(o->element); }

    // Converts before writing, so a failed conversion leaves the slot as it was.
    static bool assign(Object* o, PyObject* expr) {
        ToElementOutcome c = to_element(expr);
        if (!c.ok) {
            raise_conversion_error();
            return false;
        }
        set_forward_target(slot(o), std::move(c.element));
        return true;
    }

    static PyObject* set(Object* o, PyObject* expr) {
        if (!assign(o, expr)) return nullptr;
        Py_RETURN_NONE;
    }

    static PyObject* nb_inplace_lshift(PyObject* self, PyObject* expr) {
        if (Py_TYPE(self) != class_type_if_made(kId)) Py_RETURN_NOTIMPLEMENTED;
        Py_INCREF(self);  // the self borrow, handed out as the result on success
        if (!assign(reinterpret_cast<Object*>(self), expr)) {
            Py_DECREF(self);
            return nullptr;
        }
        return self;
    }

    // The target's try_match_at under the read lock, with no call of the
    // Forward kind in between; the test holds the Forward's own level, as
    // forward_try_match_at does, so that these agree with parse_batch_count
    // and the other scans at the nesting bound too.
    static TryMatchOutcome target_at(const ForwardElement& f, Text t, Pos p) {
        MatchDepth depth;
        if (!depth.ok()) return TryMatchOutcome::no();
        ReadGuard g(f.lock);
        return f.expr ? f.expr.try_match_at(t, p) : TryMatchOutcome::no();
    }
    static PyObject* matches(Object* o, Text s) { return bool_result(target_at(slot(o), s, 0).matched); }
    static PyObject* search_string_count(Object* o, Text s) {
        const ForwardElement& f = slot(o);
        return count_result(counting_scan(s, [&](Text t, Pos p) { return target_at(f, t, p); }));
    }
};

}  // namespace qgx

QGX_REGISTER_CLASS(ForwardClass, kForwardClass)
