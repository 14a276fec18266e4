// Binding a call from the interpreter onto a method's parameters.
#pragma once

#include "core/coordinator.hpp"
#include "module/method_table.hpp"

#include <utility>

namespace norv {

// Binds a vectorcall (`args`, the positional count in `nargsf`, the keyword
// names or null) to `method`'s parameters, converts and tests the arguments,
// runs the body and applies the return test. A new reference, or null with an
// exception set; a call refused by binding runs nothing.
PyObject* call_method(const MethodSpec& method, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept;

// TypeError for an argument that failed its parameter's type test; null.
PyObject* refuse_argument(const ParamSpec& param, PyObject* value) noexcept;

// The return test, for a method whose entry asks for it: `result` (owned, or
// null with an exception set) when it passes, else null with TypeError.
inline PyObject* return_tested(bool test, PyObject* result) noexcept {
    if (test && result != nullptr && !is_str_or_none(result)) {
        Ref refused = Ref::steal(result);
        return core::refuse_result(refused.get());
    }
    return result;
}

// call_method for a method known at compile time, the entry point of every
// method object. A positional call of a method without conversions (all but
// `__init__`) binds here: the count test, then only the type tests that the
// method's table entry asks for, unrolled. Every other call takes the general
// binder above, which also owns the order in which faults are reported.
template <const MethodSpec& M>
PyObject* call_method_fixed(PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    const Py_ssize_t npos = PyVectorcall_NARGS(nargsf);
    if (has_conversions(M) || kwnames != nullptr || npos < M.nrequired || npos > M.nparams) {
        return call_method(M, args, nargsf, kwnames);
    }
    PyObject* slots[kMaxParams];
    int refused = -1;
    [&]<size_t... I>(std::index_sequence<I...>) {
        ((slots[I] = static_cast<Py_ssize_t>(I) < npos ? args[I] : default_value(M.params[I].fallback)), ...);
        // The first failing test in parameter order, as the general binder reports it.
        (void)((passes(M.params[I].check(), slots[I]) || (refused = static_cast<int>(I), false)) && ...);
    }(std::make_index_sequence<M.nparams>{});
    if (refused >= 0) {
        return refuse_argument(M.params[refused], slots[refused]);
    }
    return return_tested(M.return_test, M.body(slots));
}

}  // namespace norv
