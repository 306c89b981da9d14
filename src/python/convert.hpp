// Conversion of Python arguments: str, list, bool.
#pragma once

#include "elements/element.hpp"
#include "elements/match_context.hpp"
#include "python/ref.hpp"

namespace qgx {

// Sets OverflowError "text too long: {} bytes (the limit is 4294967295)" and
// returns false when `n` bytes do not fit a 32-bit position.
bool check_text_length(Py_ssize_t n);

// Reads the UTF-8 text of a str in place: no type test, the interpreter's
// own TypeError or UnicodeEncodeError on failure.
inline bool read_text_in_place(PyObject* item, Text& out) {
    // A compact ASCII str is its own UTF-8 form: the same pointer and length
    // that PyUnicode_AsUTF8AndSize gives, without the call.
    if (PyUnicode_Check(item) && PyUnicode_IS_COMPACT_ASCII(item)) [[likely]] {
        Py_ssize_t len = PyUnicode_GET_LENGTH(item);
        if (static_cast<uint64_t>(len) <= kMaxTextBytes) [[likely]] {
            out = Text(static_cast<const char*>(PyUnicode_DATA(item)), static_cast<Pos>(len));
            return true;
        }
    }
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(item, &n);
    if (!p) return false;
    if (static_cast<uint64_t>(n) > kMaxTextBytes) return check_text_length(n);
    out = Text(p, static_cast<Pos>(n));
    return true;
}

// Reads the text of a batch item (as read_text_in_place) and names it as the
// text the running operation matches next.
inline bool read_item_text(PyObject* item, Text& out) {
    if (!read_text_in_place(item, out)) return false;
    begin_text(out);
    return true;
}

// A batch item of a terminal kind, whose one test at the start keeps nothing
// for later: read without naming it (a kind that asks for its scratch then
// works without, which costs one test nothing).
inline bool read_terminal_item_text(PyObject* item, Text& out) { return read_text_in_place(item, out); }

// A `str` parameter: type test ("PyString"), then its UTF-8 form. Errors are
// wrapped under the parameter's name. Returns false with the error set.
bool convert_text_arg(PyObject* obj, const char* param, Text& out);

// A list parameter ("PyList").
bool convert_list_arg(PyObject* obj, const char* param);

// A bool parameter: bool, or numpy's bool type through its truth slot.
// Returns 0 or 1, or -1 with the error set (not yet wrapped).
int extract_bool(PyObject* obj);
bool convert_bool_arg(PyObject* obj, const char* param, bool& out);

}  // namespace qgx
