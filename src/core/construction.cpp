// Construction and the guard registry: plain attribute assignments on the
// instance, in a fixed order, so that hosts and subclasses see ordinary
// attributes and every write goes through the type's attribute hook.
#include "core/coordinator.hpp"
#include "core/fork.hpp"
#include "core/globals.hpp"

namespace norv::core {

namespace {

int set_attr(PyObject* self_b, S name, PyObject* value_b) noexcept {
    return PyObject_SetAttr(self_b, str(name), value_b);
}

// concurrent.futures.ThreadPoolExecutor(max_workers=4, thread_name_prefix="NORV_Worker"),
// with `concurrent` read from the module globals at this moment.
Ref make_pool() noexcept {
    Ref pool_type = lookup_pool_class();
    if (!pool_type) {
        return {};
    }
    PyObject* kwvalues[] = {g_numbers.int_4, str(S::NORV_Worker)};
    return Ref::steal(PyObject_Vectorcall(pool_type.get(), kwvalues, 0, g_numbers.kw_pool));
}

PyObject* register_into(PyObject* const* args, S slot) noexcept {
    if (set_attr(args[0], slot, args[1]) < 0) {
        return nullptr;
    }
#ifdef NORV_TEST_LEAK
    // Only for the leak harness's own test: a build with this flag leaks one
    // reference per registration, and the harness must catch it.
    Py_INCREF(args[1]);
#endif
    Py_RETURN_NONE;
}

}  // namespace

PyObject* init(PyObject* const* args) noexcept {
    PyObject* self = args[0];
    // Exact int to the nearest double, as float(int) does; too large raises OverflowError.
    double ms = PyLong_AsDouble(args[1]);
    if (ms == -1.0 && PyErr_Occurred()) {
        return nullptr;
    }
    Ref seconds = Ref::steal(PyFloat_FromDouble(ms / PyFloat_AS_DOUBLE(g_numbers.float_1000)));
    if (!seconds || set_attr(self, S::timeout_seconds, seconds.get()) < 0 ||
        set_attr(self, S::audit_mode, args[2]) < 0 || set_attr(self, S::input_guard, Py_None) < 0 ||
        set_attr(self, S::output_shield, Py_None) < 0 || set_attr(self, S::neural_guard, Py_None) < 0) {
        return nullptr;
    }
    Ref pool = make_pool();
    // Tracked once it has a pool: a forked child gives it a fresh one.
    if (!pool || set_attr(self, S::_executor, pool.get()) < 0 || track_for_fork(self) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* register_input_guard(PyObject* const* args) noexcept { return register_into(args, S::input_guard); }
PyObject* register_output_shield(PyObject* const* args) noexcept { return register_into(args, S::output_shield); }
PyObject* register_neural_guard(PyObject* const* args) noexcept { return register_into(args, S::neural_guard); }

}  // namespace norv::core
