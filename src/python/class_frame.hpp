// The class frame shared by the 26 element classes: object layout, type
// creation, method wrappers with argument binding and conversion.
//
// A class is a struct C that supplies:
//   using Object = ElementObject (or a struct deriving from it);
//   static constexpr char kName[] = "Empty";
//   static constexpr ClassId kId = ClassId::Empty;
//   static constexpr const char* kSignature = "()";      // nullptr: no class doc
//   static const ElementVTable* vtable();                 // the kind's table
//   static constexpr ArgumentDescriptor kNew{...};        // constructor parameters
//   static PyObject* construct(PyTypeObject*, PyObject** slots);  // tp_new body
//   static PyObject* parse_string(Object*, Text);
//   static PyObject* matches(Object*, Text);
//   static PyObject* search_string(Object*, Text);
//   static PyObject* search_string_count(Object*, Text);
//   static PyObject* transform_string(Object*, Text s, Text replacement);
//   static PyObject* parse_batch(Object*, PyObject* inputs);      // inputs: a list
//   static PyObject* parse_batch_count(Object*, PyObject* inputs);
// and optionally:
//   static constexpr MethodDocs kDocs{...};               // method descriptions
//   static void release_payload(Object*);                 // extra fields
//   static PyObject* nb_add(PyObject*, PyObject*);        // own `+` (And)
//   static PyObject* nb_or(PyObject*, PyObject*);         // own `|` (MatchFirst)
//   static PyObject* set(Object*, PyObject* expr);        // Forward.set
//   static PyObject* nb_inplace_lshift(PyObject*, PyObject*);
//   static constexpr bool kRejectConstruction = true;     // And
// and registers it with QGX_REGISTER_CLASS(C) in its source file.
#pragma once

#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>

#include "elements/element.hpp"
#include "elements/match_context.hpp"
#include "messages.hpp"
#include "python/args.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/ref.hpp"

namespace qgx {

// The 26 classes in the module's registration order.
enum class ClassId : uint8_t {
    Literal,
    Keyword,
    Word,
    Regex,
    And,
    MatchFirst,
    ZeroOrMore,
    OneOrMore,
    Optional,
    Group,
    Suppress,
    Forward,
    Combine,
    Exactly,
    CaselessLiteral,
    CaselessKeyword,
    Char,
    StringStart,
    StringEnd,
    LineStart,
    LineEnd,
    RestOfLine,
    QuotedString,
    Empty,
    NoMatch,
    SkipTo,
};
inline constexpr int kClassCount = 26;

// Every element object: the header, then the record it holds. Classes with
// more payload derive from it, so `element` sits at one offset for all.
struct ElementObject {
    PyObject_HEAD
    ElementHeader* element;
};

// Descriptions of the seven methods (and Forward.set), empty by default.
struct MethodDocs {
    const char* parse_string = "";
    const char* matches = "";
    const char* search_string = "";
    const char* search_string_count = "";
    const char* transform_string = "";
    const char* parse_batch = "";
    const char* parse_batch_count = "";
    const char* set = "";
};

// What the registry knows of a class.
struct ClassDef {
    const char* name;
    ClassId id;
    const ElementVTable* (*vtable)();
    PyType_Spec* (*spec)();
};

// The class's type object, made on first use; nullptr with RuntimeError
// "An error occurred while initializing class {}" set when it cannot be made,
// or nullptr without an error for a class this build does not have.
PyTypeObject* get_class_type_object(ClassId id);
// Makes a class's type object from its type spec; on failure nullptr
// with RuntimeError "An error occurred while initializing class {}" set, whose
// __cause__ is the error that stopped the creation.
PyTypeObject* create_class_type(const char* name, PyType_Spec* spec);
// The type object if it has been made, else nullptr (no error).
PyTypeObject* class_type_if_made(ClassId id);
const ClassDef* class_def(ClassId id);

// A new object of `type` with zero items, or nullptr with the error set.
PyObject* allocate_instance(PyTypeObject* type);

// Wraps a record into a new object of `type`; the record's reference is
// handed over (released on failure).
template <class R>
PyObject* wrap_record(PyTypeObject* type, Rc<R> rec) {
    PyObject* o = allocate_instance(type);
    if (!o) return nullptr;
    reinterpret_cast<ElementObject*>(o)->element = rec.release();
    return o;
}

// tp_new of And: TypeError "No constructor defined for {}".
PyObject* reject_construction(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// The `+` and `|` of the combinators family; absent until it is built.
[[gnu::weak]] PyObject* join_and(SharedElement left, PyObject* right);
[[gnu::weak]] PyObject* join_or(SharedElement left, PyObject* right);

// A Python bool / int result.
inline PyObject* bool_result(bool b) {
    PyObject* r = b ? Py_True : Py_False;
    Py_INCREF(r);
    return r;
}
// A Python int result; throws std::bad_alloc (see throw_no_memory) when it
// cannot be made.
PyObject* count_result(uint64_t n);

// Runs the body of a Python entry point (method, constructor, operator slot,
// module function). A C++ allocation failure (std::bad_alloc, or a container
// asked to grow past its maximum size) becomes MemoryError and any other C++
// exception SystemError, so that none reaches std::terminate.
// Each entry runs with a match context of its own (match_context.hpp), and
// checks for pending signals while it works: when a handler raises, the
// work stops, its result (if any) is dropped, and the entry raises the
// handler's exception instead.
template <class F>
PyObject* guard_entry(F&& body) noexcept {
    ContextScope scope(true);
    PyObject* r;
    try {
        r = body();
    } catch (const std::bad_alloc&) {
        r = PyErr_NoMemory();
    } catch (const std::length_error&) {
        r = PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, msg::kInternalException);
        r = nullptr;
    }
    if (scope.context().pending_error[0]) [[unlikely]]
        return raise_interruption(scope.context(), r);
    return r;
}

// A result whose size the input drives (a replaced text, a list of matches):
// nullptr with MemoryError set when it cannot be made, instead of ending the
// process. A size past PY_SSIZE_T_MAX is refused before anything is asked for.
PyObject* new_sized_str(const char* data, uint64_t n);
PyObject* new_sized_list(uint64_t n);
// MemoryError for a result of `n` units that cannot exist (past PY_SSIZE_T_MAX);
// false with the error set, true when the size is possible.
bool check_result_size(uint64_t n);

// A new str from UTF-8 bytes known to be whole characters; throws
// std::bad_alloc (see throw_no_memory) when it cannot be made.
PyObject* new_str(const char* data, Pos n);
// A new list of n empty slots (set later); throws std::bad_alloc when it
// cannot be made.
PyObject* new_list(Py_ssize_t n);

// New references gathered before the list that will hold them is made
// (making a list may start a collection, making a str never does). Whatever
// has not been handed to a list is released with the gatherer, so a failed
// allocation on the way leaves nothing behind. A few fit without a buffer.
class PendingRefs {
  public:
    PendingRefs() = default;
    PendingRefs(const PendingRefs&) = delete;
    PendingRefs& operator=(const PendingRefs&) = delete;
    ~PendingRefs() {
        for (size_t i = 0; i < n_; ++i) Py_DECREF(items_[i]);
        if (items_ != inline_) PyMem_Free(items_);
    }

    // Room for `n` in all, so that pushes up to that many ask for no memory.
    // Throws std::bad_alloc when the room cannot be had.
    void reserve(size_t n) {
        if (n > cap_) grow_to(n);
    }
    // Takes over `o`, a new reference; when no room can be had, `o` is
    // released and std::bad_alloc thrown.
    void push(PyObject* o) {
        if (n_ == cap_) [[unlikely]]
            grow_or_release(o);
        items_[n_++] = o;
    }
    size_t size() const { return n_; }
    bool empty() const { return n_ == 0; }
    // The reference at position i (borrowed: it stays held here).
    PyObject* at(size_t i) const { return items_[i]; }

    // A new list of the references in order, handed over to it (a buffer
    // grown on the heap becomes the list's storage). Throws std::bad_alloc
    // when the list cannot be made; the references then stay here.
    PyObject* into_list();
    // The same as a list made by new_hidden_list (its storage a copy).
    PyObject* into_hidden_list();

  private:
    static constexpr size_t kInline = 16;
    void grow_to(size_t n);
    void grow_or_release(PyObject* o);

    PyObject* inline_[kInline];
    PyObject** items_ = inline_;
    size_t n_ = 0, cap_ = kInline;
};

namespace frame_detail {

inline std::string method_doc(const char* name, const char* sig, const char* desc) {
    std::string d = name;
    d += sig;
    d += "\n--\n\n";
    d += desc;
    return d;
}

template <class C>
constexpr MethodDocs docs_of() {
    if constexpr (requires { C::kDocs; })
        return C::kDocs;
    else
        return MethodDocs{};
}

}  // namespace frame_detail

template <class C>
struct ClassFrame {
    using Object = typename C::Object;

    static constexpr ArgumentDescriptor kParseString{C::kName, "parse_string", {"s"}, 1, 1};
    static constexpr ArgumentDescriptor kMatches{C::kName, "matches", {"s"}, 1, 1};
    static constexpr ArgumentDescriptor kSearchString{C::kName, "search_string", {"s"}, 1, 1};
    static constexpr ArgumentDescriptor kSearchStringCount{C::kName, "search_string_count", {"s"}, 1, 1};
    static constexpr ArgumentDescriptor kTransformString{C::kName, "transform_string", {"s", "replacement"}, 2, 2};
    static constexpr ArgumentDescriptor kParseBatch{C::kName, "parse_batch", {"inputs"}, 1, 1};
    static constexpr ArgumentDescriptor kParseBatchCount{C::kName, "parse_batch_count", {"inputs"}, 1, 1};
    static constexpr ArgumentDescriptor kSet{C::kName, "set", {"expr"}, 1, 1};

    // Called on as a root, the record may be matched from now on: a class
    // whose records the operators build seals it first (seal_chain).
    static void seal_self(Object* o) {
        if constexpr (requires { C::seal(o); }) C::seal(o);
    }

    // The self borrow: one more reference to self for the call.
    struct SelfHold {
        PyObject* self;
        explicit SelfHold(PyObject* s) : self(s) { Py_INCREF(s); }
        ~SelfHold() { Py_DECREF(self); }
    };

    // The binding runs inside the guard too: its error texts are built in
    // C++ strings, whose allocation may fail as well.
    template <const ArgumentDescriptor& D, PyObject* (*Body)(Object*, Text)>
    static PyObject* text_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return guard_entry([&]() -> PyObject* {
            BoundArguments slots;
            if (!bind_vectorcall_arguments(D, args, nargs, kwnames, slots)) return nullptr;
            SelfHold hold(self);
            Text s;
            if (!convert_text_arg(slots[0], "s", s)) return nullptr;
            seal_self(reinterpret_cast<Object*>(self));
            begin_text(s);
            return Body(reinterpret_cast<Object*>(self), s);
        });
    }

    static PyObject* transform_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return guard_entry([&]() -> PyObject* {
            BoundArguments slots;
            if (!bind_vectorcall_arguments(kTransformString, args, nargs, kwnames, slots)) return nullptr;
            SelfHold hold(self);
            Text s, r;
            if (!convert_text_arg(slots[0], "s", s)) return nullptr;
            if (!convert_text_arg(slots[1], "replacement", r)) return nullptr;
            seal_self(reinterpret_cast<Object*>(self));
            begin_text(s);
            return C::transform_string(reinterpret_cast<Object*>(self), s, r);
        });
    }

    template <const ArgumentDescriptor& D, PyObject* (*Body)(Object*, PyObject*)>
    static PyObject* list_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return guard_entry([&]() -> PyObject* {
            BoundArguments slots;
            if (!bind_vectorcall_arguments(D, args, nargs, kwnames, slots)) return nullptr;
            SelfHold hold(self);
            if (!convert_list_arg(slots[0], "inputs")) return nullptr;
            seal_self(reinterpret_cast<Object*>(self));
            return Body(reinterpret_cast<Object*>(self), slots[0]);
        });
    }

    static PyObject* set_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return guard_entry([&]() -> PyObject* {
            BoundArguments slots;
            if (!bind_vectorcall_arguments(kSet, args, nargs, kwnames, slots)) return nullptr;
            SelfHold hold(self);
            return C::set(reinterpret_cast<Object*>(self), slots[0]);
        });
    }

    static PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
        return guard_entry([&]() -> PyObject* {
            BoundArguments slots;
            if (!bind_tuple_arguments(C::kNew, args, kwargs, slots)) return nullptr;
            return C::construct(type, slots.slots);
        });
    }

    static void dealloc(PyObject* self) {
        Object* o = reinterpret_cast<Object*>(self);
        if constexpr (requires { C::release_payload(o); }) C::release_payload(o);
        if (o->element) release_element(o->element);
        PyTypeObject* type = Py_TYPE(self);
        type->tp_free(self);
        Py_DECREF(type);  // heap types: each instance holds its type
    }

    // `+` and `|` of a class without its own: the left operand must be of this class.
    static PyObject* generic_add(PyObject* l, PyObject* r) {
        if (!join_and || Py_TYPE(l) != class_type_if_made(C::kId)) Py_RETURN_NOTIMPLEMENTED;
        return join_and(SharedElement(reinterpret_cast<ElementObject*>(l)->element, C::vtable()), r);
    }
    static PyObject* generic_or(PyObject* l, PyObject* r) {
        if (!join_or || Py_TYPE(l) != class_type_if_made(C::kId)) Py_RETURN_NOTIMPLEMENTED;
        return join_or(SharedElement(reinterpret_cast<ElementObject*>(l)->element, C::vtable()), r);
    }
    // An operator slot's function run under guard_entry.
    template <PyObject* (*F)(PyObject*, PyObject*)>
    static PyObject* guarded_slot(PyObject* l, PyObject* r) {
        return guard_entry([&] { return F(l, r); });
    }

    static PyType_Spec* spec() {
        static constexpr MethodDocs docs = frame_detail::docs_of<C>();
        static std::string doc_texts[8] = {
            frame_detail::method_doc("parse_string", "($self, s)", docs.parse_string),
            frame_detail::method_doc("matches", "($self, s)", docs.matches),
            frame_detail::method_doc("search_string", "($self, s)", docs.search_string),
            frame_detail::method_doc("search_string_count", "($self, s)", docs.search_string_count),
            frame_detail::method_doc("transform_string", "($self, s, replacement)", docs.transform_string),
            frame_detail::method_doc("parse_batch", "($self, inputs)", docs.parse_batch),
            frame_detail::method_doc("parse_batch_count", "($self, inputs)", docs.parse_batch_count),
            frame_detail::method_doc("set", "($self, expr)", docs.set),
        };
        constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS;
        static PyMethodDef methods[] = {
            {"parse_string", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&text_method<kParseString, &C::parse_string>)), kFlags, doc_texts[0].c_str()},
            {"matches", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&text_method<kMatches, &C::matches>)), kFlags, doc_texts[1].c_str()},
            {"search_string", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&text_method<kSearchString, &C::search_string>)), kFlags, doc_texts[2].c_str()},
            {"search_string_count", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&text_method<kSearchStringCount, &C::search_string_count>)), kFlags, doc_texts[3].c_str()},
            {"transform_string", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&transform_method)), kFlags, doc_texts[4].c_str()},
            {"parse_batch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&list_method<kParseBatch, &C::parse_batch>)), kFlags, doc_texts[5].c_str()},
            {"parse_batch_count", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&list_method<kParseBatchCount, &C::parse_batch_count>)), kFlags, doc_texts[6].c_str()},
            {nullptr, nullptr, 0, nullptr},
            {nullptr, nullptr, 0, nullptr},
        };
        if constexpr (requires { C::set; })
            methods[7] = {"set", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&set_method)), kFlags, doc_texts[7].c_str()};

        static std::string class_doc = C::kSignature ? std::string(C::kName) + C::kSignature + "\n--\n\n" : std::string();
        static PyType_Slot slots[10];
        int i = 0;
        if (C::kSignature) slots[i++] = {Py_tp_doc, const_cast<char*>(class_doc.c_str())};
        if constexpr (requires { C::kRejectConstruction; })
            slots[i++] = {Py_tp_new, reinterpret_cast<void*>(&reject_construction)};
        else
            slots[i++] = {Py_tp_new, reinterpret_cast<void*>(&tp_new)};
        slots[i++] = {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc)};
        slots[i++] = {Py_tp_methods, methods};
        if constexpr (requires { C::nb_add; })
            slots[i++] = {Py_nb_add, reinterpret_cast<void*>(&guarded_slot<&C::nb_add>)};
        else
            slots[i++] = {Py_nb_add, reinterpret_cast<void*>(&guarded_slot<&generic_add>)};
        if constexpr (requires { C::nb_or; })
            slots[i++] = {Py_nb_or, reinterpret_cast<void*>(&guarded_slot<&C::nb_or>)};
        else
            slots[i++] = {Py_nb_or, reinterpret_cast<void*>(&guarded_slot<&generic_or>)};
        if constexpr (requires { C::nb_inplace_lshift; })
            slots[i++] = {Py_nb_inplace_lshift, reinterpret_cast<void*>(&guarded_slot<&C::nb_inplace_lshift>)};
        slots[i] = {0, nullptr};
        static std::string full_name = std::string("builtins.") + C::kName;
        static PyType_Spec s{full_name.c_str(), static_cast<int>(sizeof(Object)), 0, Py_TPFLAGS_DEFAULT, slots};
        return &s;
    }

    static const ClassDef def;
};

template <class C>
const ClassDef ClassFrame<C>::def{C::kName, C::kId, &C::vtable, &ClassFrame<C>::spec};

// The record held by an object of class C, typed.
template <class R>
const R& record_of(const ElementObject* o) {
    return *static_cast<const R*>(o->element);
}

}  // namespace qgx

// Registers class C under its registry symbol (see lib/registry.cpp).
#define QGX_REGISTER_CLASS(C, Symbol) \
    namespace qgx {                   \
    extern const ClassDef* const Symbol; \
    const ClassDef* const Symbol = &ClassFrame<C>::def; \
    }
