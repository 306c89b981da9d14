// Conversion of element objects into shared handles.
#pragma once

#include "elements/element.hpp"
#include "python/ref.hpp"

namespace qgx {

// The SharedElement of an object of any of the 26 classes, sharing the
// object's record, sealed (seal_record): it may be matched from now on.
// `ok` is false for any other object, whose error ("Unsupported parser
// element type") the caller raises or replaces. Touches no Python error
// state; throws std::bad_alloc when the record cannot be sealed.
struct [[nodiscard]] ToElementOutcome {
    bool ok = false;
    SharedElement element;
};
ToElementOutcome to_element(PyObject* obj);

// Sets ValueError "Unsupported parser element type".
void raise_conversion_error();

}  // namespace qgx
