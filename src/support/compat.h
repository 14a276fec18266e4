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

// self.<name>(args[1], ...), where args[0] is self and nargs counts it; the
// slot before args may be overwritten (PY_VECTORCALL_ARGUMENTS_OFFSET).
// `direct` is what calling the class's own method (vectorcall entry `own`)
// amounts to once its binding tests pass, and `admitted` says whether they
// pass for these arguments: where the method found is that one, `direct` runs
// in place of the call.
//
// 3.11 exposes the interpreter's method lookup, so the method can be checked
// before the call. 3.13 keeps it internal, and reading the attribute would
// make a bound method at every call; there the public method call does that
// lookup without one, and the class's own method binds its arguments itself.
// Either way the method that runs is the one `self.<name>(...)` finds.
inline PyObject* call_method(PyObject* name, PyObject* const* args, size_t nargs, vectorcallfunc own, bool admitted,
                             PyObject* (*direct)(PyObject* const*)) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    (void)own;
    (void)admitted;
    (void)direct;
    return PyObject_VectorcallMethod(name, args, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
#else
    PyObject* found = nullptr;
    int unbound = _PyObject_GetMethod(args[0], name, &found);
    if (found == nullptr) {
        return nullptr;
    }
    PyObject* result;
    if (unbound && admitted && PyVectorcall_Function(found) == own) {
        result = direct(args);
    } else if (unbound) {
        result = PyObject_Vectorcall(found, args, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    } else {
        // Anything else was bound by the lookup and takes the arguments after self.
        result = PyObject_Vectorcall(found, args + 1, (nargs - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    }
    Py_DECREF(found);
    return result;
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
