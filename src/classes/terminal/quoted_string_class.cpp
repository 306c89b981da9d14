// The QuotedString class: the general forms over the QuotedString kind.
#include "elements/chars.hpp"
#include "lib/engines.hpp"

namespace qgx {

struct QuotedStringClass : GeneralForms<QuotedStringElement, quoted_string_parse_at, quoted_string_try_match_at,
                                        quoted_string_parse_from_start> {
    using Object = ElementObject;
    static constexpr char kName[] = "QuotedString";
    static constexpr ClassId kId = ClassId::QuotedString;
    static constexpr const char* kSignature = "(quote_char=\"\\\"\", esc_char=None, multiline=False, unquote=True)";
    static constexpr ArgumentDescriptor kNew{
        kName, "__new__", {"quote_char", "esc_char", "multiline", "unquote"}, 4, 0};

    static PyObject* construct(PyTypeObject* type, PyObject** slots) {
        Text quote("\"", 1);
        if (slots[0] && !convert_text_arg(slots[0], "quote_char", quote)) return nullptr;
        Text esc;
        bool has_esc = slots[1] && slots[1] != Py_None;
        if (has_esc && !convert_text_arg(slots[1], "esc_char", esc)) return nullptr;
        bool multiline = false;
        if (slots[2] && !convert_bool_arg(slots[2], "multiline", multiline)) return nullptr;
        bool unquote = true;
        if (slots[3] && !convert_bool_arg(slots[3], "unquote", unquote)) return nullptr;
        return wrap_record(type, make_quoted_string_element(quote, has_esc ? &esc : nullptr, multiline, unquote));
    }
};

}  // namespace qgx

QGX_REGISTER_CLASS(QuotedStringClass, kQuotedStringClass)
