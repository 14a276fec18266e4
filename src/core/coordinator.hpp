// The behaviour of GovernanceCoordinator: construction and registry, the
// fail-safe runner and the two pipelines.
//
// Each body receives its arguments already bound and tested by the method layer
// (self first, in parameter order) and returns a new reference, or null with an
// exception set. Bodies know nothing of argument binding.
#pragma once

#include "support/ref.hpp"

namespace norv::core {

// self, timeout_ms (an exact int), audit_mode (Py_True or Py_False)
PyObject* init(PyObject* const* args) noexcept;
// self, guard / shield
PyObject* register_input_guard(PyObject* const* args) noexcept;
PyObject* register_output_shield(PyObject* const* args) noexcept;
PyObject* register_neural_guard(PyObject* const* args) noexcept;
// self, content (exact str), metadata (exact dict or None)
PyObject* process_input(PyObject* const* args) noexcept;
PyObject* process_output(PyObject* const* args) noexcept;
// self, module, content (exact str), metadata (exact dict or None), context (exact str)
PyObject* run_fail_safe(PyObject* const* args) noexcept;
// self, module, content, metadata (exact dict or None)
PyObject* safe_scan(PyObject* const* args) noexcept;

// The return test of the methods annotated "str", the one place it is written:
// a result passes when it is exactly a str, or None.
inline bool is_str_or_none(PyObject* value_b) noexcept { return value_b == Py_None || PyUnicode_CheckExact(value_b); }

// The return test's TypeError "Expected str, got <type>" for `value_b`; null.
PyObject* refuse_result(PyObject* value_b) noexcept;

}  // namespace norv::core
