// Helpers shared by the engine tests: small test kinds built directly, and
// access to the embedded interpreter that main.cpp starts.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "elements/element.hpp"
#include "python/ref.hpp"

namespace qgx {

inline std::vector<std::string> token_texts(const TokenList& t) {
    std::vector<std::string> v;
    for (const SharedText& s : t) v.emplace_back(s.view());
    return v;
}

// parse_from_start equals parse_at at 0 without the end, failure position included.
inline ::testing::AssertionResult same_outcome(const ParseOutcome& at0, const ParseFromStartOutcome& fs) {
    if (at0.ok != fs.ok) return ::testing::AssertionFailure() << "ok differs";
    if (at0.ok) {
        if (token_texts(at0.tokens) != token_texts(fs.tokens)) return ::testing::AssertionFailure() << "tokens differ";
    } else if (at0.failure.position != fs.failure.position || at0.failure.message.view() != fs.failure.message.view()) {
        return ::testing::AssertionFailure() << "failure differs";
    }
    return ::testing::AssertionSuccess();
}

// ---------------------------------------------------------------------------
// Test kinds.

// Matches its text at the position; the token is the text, the failure
// "Expected <text>" (a new message per failure).
struct FixedTextElement : ElementHeader {
    std::string text;
};
inline TryMatchOutcome fixed_text_try_match_at(const FixedTextElement& r, Text t, Pos p) {
    if (p > t.len || t.len - p < r.text.size()) return TryMatchOutcome::no();
    if (std::memcmp(t.data + p, r.text.data(), r.text.size()) != 0) return TryMatchOutcome::no();
    return TryMatchOutcome::yes(p + static_cast<Pos>(r.text.size()));
}
inline ParseOutcome fixed_text_parse_at(const FixedTextElement& r, Text t, Pos p) {
    TryMatchOutcome m = fixed_text_try_match_at(r, t, p);
    if (!m.matched) return ParseOutcome::fail(SharedText::copy("Expected " + r.text), p);
    return ParseOutcome::success(m.end, TokenList(SharedText::copy(r.text)));
}
inline ParseFromStartOutcome fixed_text_parse_from_start(const FixedTextElement& r, Text t) {
    return ParseFromStartOutcome::from(fixed_text_parse_at(r, t, 0));
}
inline const ElementVTable* fixed_text_vtable() {
    return &KindTable<FixedTextElement, fixed_text_parse_at, fixed_text_try_match_at, fixed_text_parse_from_start>::table;
}
inline Rc<FixedTextElement> make_fixed_text(std::string s) {
    Rc<FixedTextElement> r = Rc<FixedTextElement>::make();
    r->text = std::move(s);
    return r;
}

// Matches `width` bytes wherever that many remain (0: a zero-width match
// everywhere); no tokens.
struct WidthElement : ElementHeader {
    Pos width = 0;
};
inline TryMatchOutcome width_try_match_at(const WidthElement& r, Text t, Pos p) {
    if (p > t.len || t.len - p < r.width) return TryMatchOutcome::no();
    return TryMatchOutcome::yes(p + r.width);
}

// Holds one child and matches exactly as the child does.
struct WrapElement : ElementHeader {
    SharedElement child;
};
inline ParseOutcome wrap_parse_at(const WrapElement& r, Text t, Pos p) { return r.child.parse_at(t, p); }
inline TryMatchOutcome wrap_try_match_at(const WrapElement& r, Text t, Pos p) { return r.child.try_match_at(t, p); }
inline ParseFromStartOutcome wrap_parse_from_start(const WrapElement& r, Text t) { return r.child.parse_from_start(t); }
inline const ElementVTable* wrap_vtable() {
    return &KindTable<WrapElement, wrap_parse_at, wrap_try_match_at, wrap_parse_from_start>::table;
}

// ---------------------------------------------------------------------------
// The embedded interpreter.

// Runs statements in __main__; fails the test when they raise.
inline void run_python(const char* code) {
    OwnedRef main = OwnedRef::borrow(PyImport_AddModule("__main__"));
    PyObject* globals = PyModule_GetDict(main.get());
    OwnedRef r = OwnedRef::steal(PyRun_String(code, Py_file_input, globals, globals));
    if (!r) {
        PyErr_Print();
        ADD_FAILURE() << "python code raised:\n" << code;
    }
}

// Evaluates an expression in __main__ (a new reference; nullptr when it raised).
inline OwnedRef eval_python(const char* expr) {
    OwnedRef main = OwnedRef::borrow(PyImport_AddModule("__main__"));
    PyObject* globals = PyModule_GetDict(main.get());
    OwnedRef r = OwnedRef::steal(PyRun_String(expr, Py_eval_input, globals, globals));
    if (!r) {
        PyErr_Print();
        ADD_FAILURE() << "python expression raised: " << expr;
    }
    return r;
}

// The pending error as "TypeName: message", cleared; "" when none is pending.
inline std::string take_error() {
    if (!PyErr_Occurred()) return "";
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    OwnedRef type = OwnedRef::steal(t), value = OwnedRef::steal(v), trace = OwnedRef::steal(tb);
    std::string out = reinterpret_cast<PyTypeObject*>(type.get())->tp_name;
    OwnedRef s = OwnedRef::steal(PyObject_Str(value.get()));
    if (s) {
        Py_ssize_t n = 0;
        const char* p = PyUnicode_AsUTF8AndSize(s.get(), &n);
        if (p) out += ": " + std::string(p, static_cast<size_t>(n));
    }
    PyErr_Clear();
    return out;
}

// A Python str as std::string (its UTF-8 bytes).
inline std::string str_of(PyObject* o) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(o, &n);
    return p ? std::string(p, static_cast<size_t>(n)) : std::string("<not a str>");
}

// A new list of new str objects, one per text.
inline OwnedRef make_str_list(const std::vector<std::string>& texts) {
    OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(texts.size())));
    for (size_t i = 0; i < texts.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                        PyUnicode_FromStringAndSize(texts[i].data(), static_cast<Py_ssize_t>(texts[i].size())));
    return list;
}

// A new list of n items, item i being objects[pattern[i]] (new references).
inline OwnedRef make_list_of(const std::vector<PyObject*>& objects, const std::vector<size_t>& pattern) {
    OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(pattern.size())));
    for (size_t i = 0; i < pattern.size(); ++i) {
        PyObject* o = objects[pattern[i]];
        Py_INCREF(o);
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), o);
    }
    return list;
}

}  // namespace qgx
