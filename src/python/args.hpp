// Binding of call arguments to parameters, with this module's own TypeError texts.
#pragma once

#include "python/ref.hpp"

#include <cstddef>

namespace qgx {

inline constexpr int kMaxParams = 4;

// The static description of one callable's parameters. Every parameter of
// this module is positional-or-keyword; the leading `required` ones are required.
struct ArgumentDescriptor {
    const char* class_name;  // nullptr for a module function
    const char* function_name;
    const char* params[kMaxParams];
    int count;
    int required;
};

// The bound arguments of one call: one slot per parameter, each a strong
// reference or empty, released when the holder goes. Converting an argument
// can run the caller's code (`__index__`, a numpy-named type's `__bool__`, a
// metaclass's `__qualname__`), which may drop the keyword dict or anything
// else that held the others, so the binder never lends them.
struct BoundArguments {
    PyObject* slots[kMaxParams] = {};

    BoundArguments() = default;
    BoundArguments(const BoundArguments&) = delete;
    BoundArguments& operator=(const BoundArguments&) = delete;
    ~BoundArguments() {
        for (PyObject* o : slots) Py_XDECREF(o);
    }
    PyObject* operator[](int i) const { return slots[i]; }
};

// Fills `out` from a vector call. Returns false with TypeError set (the
// slots bound so far stay in `out`, released with it).
bool bind_vectorcall_arguments(const ArgumentDescriptor& d, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames, BoundArguments& out);

// The same for a tuple and an optional keyword dict (constructors).
bool bind_tuple_arguments(const ArgumentDescriptor& d, PyObject* args, PyObject* kwargs, BoundArguments& out);

}  // namespace qgx
