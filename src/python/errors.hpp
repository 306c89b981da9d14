// Raising and reshaping Python errors at the module's boundary.
#pragma once

#include "elements/match_context.hpp"
#include "python/ref.hpp"

namespace qgx {

// The interpreter's pending error, taken out of the error indicator.
struct PyErrorValue {
    OwnedRef type, value, traceback;
    explicit operator bool() const { return static_cast<bool>(type); }
};

// Takes the pending error; when none is pending, gives SystemError
// "attempted to fetch exception but none was set".
PyErrorValue fetch_python_error();

// Puts the error back into the indicator (instantiating a lazy error first);
// returns NULL so callers can `return raise_error(...)`.
PyObject* raise_error(PyErrorValue err);

// Makes sure an error is pending after a C API call failed: when the call set
// none, sets the SystemError above. Returns NULL.
PyObject* ensure_error();

// Sets TypeError "'{}' object cannot be converted to '{}'" for `obj`.
void set_type_mismatch_error(PyObject* obj, const char* target);

// Re-raises the pending error of converting parameter `param`: a TypeError
// (exactly) becomes TypeError "argument '{}': {}" keeping its cause; any other
// error is left unchanged.
void wrap_argument_error(const char* param);

// An object the call needs could not be made (memory exhausted): drops the
// pending error and throws std::bad_alloc, which the entry (guard_entry)
// turns into MemoryError once every holder on the way has released what it
// held. Nothing is left pending while those holders release objects.
[[noreturn]] void throw_no_memory();

// Drops `result` (a new reference or nullptr) and any error pending, and
// raises the exception a signal handler raised in the entry of `c`;
// returns NULL.
PyObject* raise_interruption(MatchContext& c, PyObject* result);

}  // namespace qgx
