// The behaviour of GovernanceCoordinator: construction and registry, the
// fail-safe runner and the two pipelines.
//
// Each body receives its arguments already bound and tested by the method layer
// (self first, in parameter order) and returns a new reference, or null with an
// exception set. Bodies know nothing of argument binding.
#pragma once

#include "support/ref.hpp"
#include "support/type_tests.hpp"

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
// The runner's handlers for a module's failure met outside its scan, with that
// failure raised: an Exception becomes an INTERNAL_MODULE_ERROR event under
// `context_b` (the last-resort line when the event cannot be written) and
// `content_b` comes back; anything else stays raised and null comes back.
PyObject* contain_module_error(PyObject* content_b, PyObject* context_b) noexcept;
// self, module, content, metadata (exact dict or None)
PyObject* safe_scan(PyObject* const* args) noexcept;

// The TypeError of the return test (is_str_or_none) of the methods annotated
// "str": "Expected str, got <type>" for `value_b`; null.
PyObject* refuse_result(PyObject* value_b) noexcept;

}  // namespace norv::core
