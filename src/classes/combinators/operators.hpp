// The own operator slots of And (`+`) and MatchFirst (`|`); the generic
// slots of every class go through join_and and join_or (class_frame.hpp).
#pragma once

#include <string_view>
#include <vector>

#include "python/ref.hpp"

namespace qgx {

// `left + right` with an And on the left: its members, then the right
// operand's (spliced when it is an And). NotImplemented for any other left
// operand; ValueError "Unsupported operand type for +" for a right operand
// that is no element.
PyObject* and_add(PyObject* left, PyObject* right);

// `left | right` with a MatchFirst on the left, the twin of and_add.
PyObject* match_first_or(PyObject* left, PyObject* right);

// The words of one_of's text: maximal runs of characters that are not among
// the 25 characters of the Unicode White_Space property.
std::vector<std::string_view> split_words(std::string_view text);

}  // namespace qgx
