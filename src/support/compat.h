// The few places where the interpreters this tree builds for (CPython 3.11 and
// 3.13) differ in their C API, each behind one helper. Code elsewhere calls
// these and never tests the version itself.
#pragma once

#include <Python.h>

namespace norv::compat {

// The interpreter the module is compiled for; the module warns when it is
// loaded into another (as Cython-built modules do).
constexpr int kBuiltMajor = PY_MAJOR_VERSION;
constexpr int kBuiltMinor = PY_MINOR_VERSION;
constexpr bool kSupported = kBuiltMajor == 3 && (kBuiltMinor == 11 || kBuiltMinor == 13);

// getattr(obj, name) where only AttributeError means "absent": 1 with a new
// reference in *found, 0 with *found null and no error, -1 with an error set.
// 3.13 made the private call public under a new name.
inline int get_optional_attr(PyObject* obj, PyObject* name, PyObject** found) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, found);
#else
    return _PyObject_LookupAttr(obj, name, found);
#endif
}

// obj.name looked up for a call, as the eval loop does for `obj.name(...)`.
// Returns 1 when *found (a new reference) is a function to call with obj
// prepended, 0 when *found is the attribute itself (call it as it is), -1 with
// *found null and an error set.
//
// 3.13 keeps the interpreter's own lookup internal; there the bound method that
// the attribute read makes is unwrapped when it binds obj. Calling the function
// with obj first is exactly what calling that bound method does, so callers see
// the same calls either way.
inline int get_method(PyObject* obj, PyObject* name, PyObject** found) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* attribute = PyObject_GetAttr(obj, name);
    *found = attribute;
    if (attribute == nullptr) {
        return -1;
    }
    if (PyMethod_Check(attribute) && PyMethod_GET_SELF(attribute) == obj) {
        *found = Py_NewRef(PyMethod_GET_FUNCTION(attribute));
        Py_DECREF(attribute);
        return 1;
    }
    return 0;
#else
    int unbound = _PyObject_GetMethod(obj, name, found);
    return *found == nullptr ? -1 : unbound;
#endif
}

// The object a weak reference points to, as a new reference; null when it has
// died (no error set) or on an error. 3.13 deprecates the borrowing call.
inline PyObject* weakref_target(PyObject* ref) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* target = nullptr;
    return PyWeakref_GetRef(ref, &target) < 0 ? nullptr : target;
#else
    PyObject* target = PyWeakref_GetObject(ref);
    return target == nullptr || target == Py_None ? nullptr : Py_NewRef(target);
#endif
}

}  // namespace norv::compat
