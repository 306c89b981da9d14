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

// Fills `slots` (one per parameter, borrowed or nullptr) from a vector call.
// Returns false with TypeError set.
bool bind_vectorcall_arguments(const ArgumentDescriptor& d, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames, PyObject** slots);

// The same for a tuple and an optional keyword dict (constructors).
bool bind_tuple_arguments(const ArgumentDescriptor& d, PyObject* args, PyObject* kwargs, PyObject** slots);

}  // namespace qgx
