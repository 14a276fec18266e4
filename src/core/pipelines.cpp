// The two public pipelines. Each step goes through `_run_fail_safe`, looked up
// by name on the coordinator at every call, so an override on a subclass or an
// instance is the one that runs. Attributes are read at the moment each step
// needs them, so a guard registered by another thread mid-call is seen by the
// later reads of that call. The one failure the pipelines catch themselves is
// the refusal test's: it runs the input guard's own code (its refusal_message,
// that value's truth and comparison) outside the runner, and is contained as
// that guard's module error.
#include "core/coordinator.hpp"
#include "core/globals.hpp"
#include "support/compat.h"

namespace norv::core {

namespace {

// self._run_fail_safe(module, content, metadata, label). When the method found
// is the class's own and the arguments pass its binding tests (the method
// table asserts which tests those are), the runner is entered directly: that
// is all its call would do. Anything else (an override on a subclass or the
// instance, a content that is not a str) takes the call. Where the interpreter
// does not expose its method lookup, every step takes the call (compat.h).
Ref run_step(PyObject* self, S slot, PyObject* content, PyObject* metadata, S label) noexcept {
    Ref module = get_attr(self, slot);
    if (!module) {
        return {};
    }
    PyObject* call_args[] = {nullptr, self, module.get(), content, metadata, str(label)};
    bool admitted = is_exact_str(content) && is_dict_or_none(metadata);
    return Ref::steal(compat::call_method(str(S::_run_fail_safe), call_args + 1, 5, g_module.run_fail_safe_entry,
                                          admitted, run_fail_safe));
}

// Whether the heuristic result is the guard's refusal: 1, 0 or -1.
int is_refusal(PyObject* guard, PyObject* result) noexcept {
    // getattr(guard, "refusal_message", None): only AttributeError means "none".
    PyObject* found = nullptr;
    if (compat::get_optional_attr(guard, str(S::refusal_message), &found) < 0) {
        return -1;
    }
    Ref refusal = Ref::steal(found);
    if (!refusal) {
        return 0;
    }
    int meaningful = PyObject_IsTrue(refusal.get());
    if (meaningful <= 0) {
        return meaningful;
    }
    Ref equal = Ref::steal(PyObject_RichCompare(result, refusal.get(), Py_EQ));
    return equal ? PyObject_IsTrue(equal.get()) : -1;
}

}  // namespace

PyObject* process_input(PyObject* const* args) noexcept {
    PyObject* self = args[0];
    PyObject* content = args[1];
    PyObject* metadata = args[2];
    Ref result = run_step(self, S::input_guard, content, metadata, S::InputHeuristic);
    if (!result) {
        return nullptr;
    }
    Ref guard = get_attr(self, S::input_guard);
    if (!guard) {
        return nullptr;
    }
    int refused = is_refusal(guard.get(), result.get());
    if (refused < 0) {
        // The guard failed after its scan: its result is dropped and the prompt
        // goes on to the neural step, as after a scan that raised.
        result = Ref::steal(contain_module_error(content, str(S::InputHeuristic)));
        if (!result) {
            return nullptr;
        }
        refused = 0;
    }
    if (refused) {
        return result.release();
    }
    Ref neural = get_attr(self, S::neural_guard);
    if (!neural) {
        return nullptr;
    }
    int enabled = PyObject_IsTrue(neural.get());
    if (enabled < 0) {
        return nullptr;
    }
    if (!enabled) {
        return result.release();
    }
    return run_step(self, S::neural_guard, result.get(), metadata, S::InputNeural).release();
}

PyObject* process_output(PyObject* const* args) noexcept {
    return run_step(args[0], S::output_shield, args[1], args[2], S::Output).release();
}

}  // namespace norv::core
