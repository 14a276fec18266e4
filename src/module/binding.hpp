// Binding a call from the interpreter onto a method's parameters.
#pragma once

#include "module/method_table.hpp"

namespace norv {

// Binds a vectorcall (`args`, the positional count in `nargsf`, the keyword
// names or null) to `method`'s parameters, converts and tests the arguments,
// runs the body and applies the return test. A new reference, or null with an
// exception set; a call refused by binding runs nothing.
PyObject* call_method(const MethodSpec& method, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept;

}  // namespace norv
