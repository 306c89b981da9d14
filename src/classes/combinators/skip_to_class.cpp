// The SkipTo class: the text up to the first position where its target
// matches. Every operation is the general form over the SkipTo kind.
#include "classes/combinators/support.hpp"

namespace qgx {

struct SkipToClass : GeneralForms<SkipToElement, skip_to_parse_at, skip_to_try_match_at, skip_to_parse_from_start> {
    using Object = ElementObject;
    static constexpr char kName[] = "SkipTo";
    static constexpr ClassId kId = ClassId::SkipTo;
    static constexpr const char* kSignature = "(expr)";
    static constexpr ArgumentDescriptor kNew = expr_params(kName);
    static const ElementVTable* vtable() { return skip_to_vtable(); }
    static PyObject* construct(PyTypeObject* t, PyObject** s) { return construct_one_child<SkipToElement>(t, s[0]); }
    static void release_payload(Object* o) { release_combinator_record(o); }
};

}  // namespace qgx

QGX_REGISTER_CLASS(SkipToClass, kSkipToClass)
