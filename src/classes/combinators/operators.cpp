// The operators `+` and `|` of every class, and one_of.
//
// Only an And is spliced into an And and only a MatchFirst into a MatchFirst,
// so chains built with `+` or `|` stay one level deep. An And on the left of
// `|` (as in `a + b | c`, grouped `(a + b) | c`) takes the generic `|`: it
// enters the new MatchFirst as one alternative, which is what the expression
// reads as.
#include "classes/combinators/operators.hpp"

#include "classes/combinators/support.hpp"
#include "elements/literals.hpp"

namespace qgx {

namespace {

PyTypeObject* type_of_class(ClassId id) {
    PyTypeObject* t = class_type_if_made(id);
    return t ? t : get_class_type_object(id);
}

bool is_instance_of(PyObject* o, ClassId id) {
    PyTypeObject* t = class_type_if_made(id);
    return t && (Py_TYPE(o) == t || PyType_IsSubtype(Py_TYPE(o), t));
}

// Appends the contribution of `right` to the pieces of `rec`: when it is of
// class `splice`, its record as one spliced piece (its members stand there
// once `rec` is sealed); else its handle. False (nothing appended) when it
// is no element.
bool append_operand(ChainElement& rec, PyObject* right, ClassId splice) {
    if (is_instance_of(right, splice)) {
        const ElementHeader* h = reinterpret_cast<const ElementObject*>(right)->element;
        chain_append_spliced(rec, SharedElement(const_cast<ElementHeader*>(h), class_def(splice)->vtable()));
        return true;
    }
    ToElementOutcome c = to_element(right);
    if (!c.ok) return false;
    chain_append_member(rec, std::move(c.element));
    return true;
}

template <class R>
PyObject* join_as(SharedElement left, bool splice_left, PyObject* right, ClassId id, const char* error) {
    PyTypeObject* type = type_of_class(id);
    if (!type) return ensure_error();
    Rc<R> rec = Rc<R>::make(std::vector<SharedElement>());
    if (splice_left)
        chain_append_spliced(*rec, left);
    else
        chain_append_member(*rec, std::move(left));
    if (!append_operand(*rec, right, id)) {
        PyErr_SetString(PyExc_ValueError, error);
        return nullptr;  // the record releases every handle
    }
    return wrap_record(type, std::move(rec));
}

// The new object of `+` (id And) or `|` (id MatchFirst) over `left`, which
// is spliced when `splice_left`, else one member.
PyObject* join_with(SharedElement left, bool splice_left, PyObject* right, ClassId id, const char* error) {
    if (id == ClassId::And) return join_as<AndElement>(std::move(left), splice_left, right, id, error);
    return join_as<MatchFirstElement>(std::move(left), splice_left, right, id, error);
}

PyObject* join(SharedElement left, PyObject* right, ClassId id, const char* error) {
    // The left operand becomes a member: from here on it may be matched.
    seal_record(left);
    return join_with(std::move(left), false, right, id, error);
}

// Whether the left operand of the own `+` or `|` is a temporary that no one
// else can see, so that its record may grow in place instead of a new record
// being made: a chain `a + b + c + ...` then costs one handle per member and
// one record.
//
// The object's one reference is the caller's (for the interpreter, the
// evaluation stack holding the previous operator's result, which it drops
// right after this call): no name, container or other reference reaches
// it, and objects of these classes support no weak references. The
// record's one reference is that object's: no composite, Forward target,
// spliced piece or other object shares it, so no other holder, on any
// thread, can read it. Both counts are read under the interpreter lock, and
// nothing between this test and the growth runs Python code. A sealed
// record is left alone: it may have been matched, and something derived
// from it (its program, a table) describes its members.
bool grows_in_place(PyObject* left, PyObject* right) {
    if (kPlainPaths || left == right || Py_REFCNT(left) != 1) return false;
    const auto* h = static_cast<const CompositeHeader*>(reinterpret_cast<const ElementObject*>(left)->element);
    return h->refs.load(std::memory_order_acquire) == 1 && !h->sealed.load(std::memory_order_acquire);
}

// The new object of `+` or `|`: the right operand's contribution appended
// to the left operand's own record, which the new object then shares (the
// left object, about to be dropped by its caller, holds it too). A right
// operand that is no element raises `error` and changes nothing.
PyObject* grow_and_wrap(PyObject* left, PyObject* right, ClassId id, const char* error) {
    PyTypeObject* type = type_of_class(id);
    if (!type) return ensure_error();
    // Made first, so that a failure leaves the record as it was.
    OwnedRef o = OwnedRef::steal(allocate_instance(type));
    if (!o) return nullptr;
    ChainElement& rec = *static_cast<ChainElement*>(reinterpret_cast<ElementObject*>(left)->element);
    // A piece is appended whole or, failing to, throws before any change.
    if (!append_operand(rec, right, id)) {
        PyErr_SetString(PyExc_ValueError, error);
        return nullptr;  // the new object holds no record yet
    }
    retain_element(&rec);
    reinterpret_cast<ElementObject*>(o.get())->element = &rec;
    return o.release();
}

// The own `+` of And and `|` of MatchFirst: the left operand's members
// first, as one spliced piece, which leaves the left operand as it was.
PyObject* join_spliced(PyObject* left, PyObject* right, ClassId id, const char* error) {
    if (Py_TYPE(left) != class_type_if_made(id)) Py_RETURN_NOTIMPLEMENTED;
    if (grows_in_place(left, right)) return grow_and_wrap(left, right, id, error);
    SharedElement l(reinterpret_cast<ElementObject*>(left)->element, class_def(id)->vtable());
    return join_with(std::move(l), true, right, id, error);
}

}  // namespace

PyObject* join_and(SharedElement left, PyObject* right) {
    return join(std::move(left), right, ClassId::And, msg::kUnsupportedPlus);
}

PyObject* join_or(SharedElement left, PyObject* right) {
    return join(std::move(left), right, ClassId::MatchFirst, msg::kUnsupportedOr);
}

PyObject* and_add(PyObject* left, PyObject* right) {
    return join_spliced(left, right, ClassId::And, msg::kUnsupportedPlus);
}

PyObject* match_first_or(PyObject* left, PyObject* right) {
    return join_spliced(left, right, ClassId::MatchFirst, msg::kUnsupportedOr);
}

// ---------------------------------------------------------------------------
// one_of

static bool is_white_space(uint32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

std::vector<std::string_view> split_words(std::string_view text) {
    std::vector<std::string_view> words;
    size_t i = 0, start = 0;
    bool in_word = false;
    while (i < text.size()) {
        unsigned char b = static_cast<unsigned char>(text[i]);
        // The text is the interpreter's UTF-8, so every sequence is whole.
        size_t n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
        if (i + n > text.size()) n = text.size() - i;
        uint32_t c = n == 1 ? b : n == 2 ? b & 0x1Fu : n == 3 ? b & 0x0Fu : b & 0x07u;
        for (size_t k = 1; k < n; ++k) c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
        if (is_white_space(c)) {
            if (in_word) words.push_back(text.substr(start, i - start));
            in_word = false;
        } else if (!in_word) {
            in_word = true;
            start = i;
        }
        i += n;
    }
    if (in_word) words.push_back(text.substr(start));
    return words;
}

namespace {

constexpr ArgumentDescriptor kOneOfParams{nullptr, "one_of", {"strs"}, 1, 1};

PyObject* one_of_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments slots;
    if (!bind_vectorcall_arguments(kOneOfParams, args, nargs, kwnames, slots)) return nullptr;
    Text t;
    if (!convert_text_arg(slots[0], "strs", t)) return nullptr;
    std::vector<std::string_view> words = split_words(t.view());
    if (words.empty()) {
        PyErr_SetString(PyExc_ValueError, msg::kOneOfNoWords);
        return nullptr;
    }
    std::vector<SharedElement> list;
    list.reserve(words.size());
    for (std::string_view w : words) list.emplace_back(build_literal(w), literal_vtable());
    PyTypeObject* type = type_of_class(ClassId::MatchFirst);
    if (!type) return ensure_error();
    return wrap_record(type, Rc<MatchFirstElement>::make(std::move(list)));
}

PyObject* one_of(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard_entry([&] { return one_of_body(args, nargs, kwnames); });
}

}  // namespace

PyMethodDef kOneOfMethod = {
    "one_of",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&one_of)),
    METH_FASTCALL | METH_KEYWORDS,
    "one_of(strs)\n--\n\nCreate a MatchFirst from a space-separated string of literal alternatives.\n"
    "Equivalent to quillgram.one_of(\"+ - * /\").",
};

}  // namespace qgx
