// The exact type tests, each written once: binding's argument tests, the
// return test of the methods annotated "str", and the pipelines' direct entry
// into the runner all use these.
#pragma once

#include <Python.h>

namespace norv {

// An argument annotated "str": exactly a str; a subclass is refused.
inline bool is_exact_str(PyObject* value_b) noexcept { return PyUnicode_CheckExact(value_b); }

// An argument annotated "Optional[Dict[str, Any]]": exactly a dict, or None.
inline bool is_dict_or_none(PyObject* value_b) noexcept { return value_b == Py_None || PyDict_CheckExact(value_b); }

// The result of a method annotated "str": exactly a str, or None.
inline bool is_str_or_none(PyObject* value_b) noexcept { return value_b == Py_None || PyUnicode_CheckExact(value_b); }

}  // namespace norv
