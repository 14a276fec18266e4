// The function type of GovernanceCoordinator's methods.
#pragma once

#include "module/method_table.hpp"

namespace norv {

// Makes the type once per process; -1 with an exception set on failure.
int make_native_function_type() noexcept;

// The function object of `method`, qualified by `class_name`, whose
// __globals__ is `globals` (the module namespace).
Ref make_native_function(const Method& method, PyObject* class_name, PyObject* globals) noexcept;

}  // namespace norv
