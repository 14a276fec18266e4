// Worker pools in a forked child: the registry of coordinators and the hook.
//
// The registry maps the address of each tracked coordinator to a weak
// reference whose callback removes the entry when the coordinator dies, so
// tracking never keeps one alive and a coordinator constructed again (its
// `__init__` called twice) keeps one entry.
//
// In the child, an inherited pool is only read (a few plain attributes) and
// then dropped: nothing that could wait on one of its locks is called, and
// its dead workers are not joined.
#include "core/fork.hpp"

#include "core/globals.hpp"
#include "support/compat.h"

namespace norv::core {

namespace {

// Names that only fork handling uses. They are made with the hook at the first
// construction, so a process that constructs no coordinator makes none of them.
enum class F : int {
    os,
    register_at_fork,
    after_in_child,
    shutdown,
    _shutdown,
    _max_workers,
    _thread_name_prefix,
    _initializer,
    _initargs,
    initializer,
    initargs,
    count_
};
constexpr const char* kNames[] = {
    "os",           "register_at_fork", "after_in_child", "shutdown",    "_shutdown", "_max_workers",
    "_thread_name_prefix", "_initializer", "_initargs",   "initializer", "initargs",
};
static_assert(sizeof(kNames) / sizeof(kNames[0]) == static_cast<size_t>(F::count_));

PyObject* g_names[static_cast<int>(F::count_)] = {};
PyObject* g_kw_after_in_child = nullptr;  // ("after_in_child",)
PyObject* g_kw_pool_full = nullptr;       // ("max_workers", "thread_name_prefix", "initializer", "initargs")

PyObject* name(F id) noexcept { return g_names[static_cast<int>(id)]; }

Ref attr(PyObject* obj_b, F id) noexcept { return Ref::steal(PyObject_GetAttr(obj_b, name(id))); }

// Idempotent: what an earlier, failed attempt made is kept.
int make_names() noexcept {
    for (int i = 0; i < static_cast<int>(F::count_); ++i) {
        if (g_names[i] == nullptr && (g_names[i] = PyUnicode_InternFromString(kNames[i])) == nullptr) {
            return -1;
        }
    }
    if (g_kw_after_in_child == nullptr &&
        (g_kw_after_in_child = PyTuple_Pack(1, name(F::after_in_child))) == nullptr) {
        return -1;
    }
    if (g_kw_pool_full == nullptr &&
        (g_kw_pool_full = PyTuple_Pack(4, str(S::max_workers), str(S::thread_name_prefix), name(F::initializer),
                                       name(F::initargs))) == nullptr) {
        return -1;
    }
    return 0;
}

// A new pool like `inherited`: the same class, worker count, thread name
// prefix and initializer; shut down when `inherited` was, so that the child's
// calls fail as the parent's would, without touching the inherited locks. A
// default pool is made by exactly the call that construction makes.
Ref make_like(PyObject* pool_type_b, PyObject* inherited_b) noexcept {
    Ref shut = attr(inherited_b, F::_shutdown);
    Ref max_workers = shut ? attr(inherited_b, F::_max_workers) : Ref();
    Ref prefix = max_workers ? attr(inherited_b, F::_thread_name_prefix) : Ref();
    Ref initializer = prefix ? attr(inherited_b, F::_initializer) : Ref();
    if (!initializer) {
        return {};
    }
    int shut_down = PyObject_IsTrue(shut.get());
    if (shut_down < 0) {
        return {};
    }
    Ref fresh;
    if (initializer.get() == Py_None) {
        PyObject* kwvalues[] = {max_workers.get(), prefix.get()};
        fresh = Ref::steal(PyObject_Vectorcall(pool_type_b, kwvalues, 0, g_numbers.kw_pool));
    } else {
        Ref initargs = attr(inherited_b, F::_initargs);
        if (!initargs) {
            return {};
        }
        PyObject* kwvalues[] = {max_workers.get(), prefix.get(), initializer.get(), initargs.get()};
        fresh = Ref::steal(PyObject_Vectorcall(pool_type_b, kwvalues, 0, g_kw_pool_full));
    }
    if (fresh && shut_down) {
        Ref done = Ref::steal(PyObject_CallMethodOneArg(fresh.get(), name(F::shutdown), Py_False));
        if (!done) {
            return {};
        }
    }
    return fresh;
}

// Gives `coord_b` a fresh pool when its `_executor` is a plain
// ThreadPoolExecutor. Anything else (a subclass, a wrapper, another executor)
// is the host's own and is left alone. `renewed_b` maps each inherited pool to
// its replacement, so that coordinators that shared a pool still share one.
int renew_pool(PyObject* coord_b, PyObject* pool_type_b, PyObject* renewed_b) noexcept {
    PyObject* found = nullptr;
    if (compat::get_optional_attr(coord_b, str(S::_executor), &found) < 0) {
        return -1;
    }
    Ref inherited = Ref::steal(found);
    if (!inherited || reinterpret_cast<PyObject*>(Py_TYPE(inherited.get())) != pool_type_b) {
        return 0;
    }
    Ref fresh = Ref::own(PyDict_GetItemWithError(renewed_b, inherited.get()));
    if (!fresh) {
        if (PyErr_Occurred()) {
            return -1;
        }
        fresh = make_like(pool_type_b, inherited.get());
        if (!fresh || PyDict_SetItem(renewed_b, inherited.get(), fresh.get()) < 0) {
            return -1;
        }
    }
    return PyObject_SetAttr(coord_b, str(S::_executor), fresh.get());
}

// The hook, run in the child only (os.register_at_fork(after_in_child=...)).
// A coordinator whose pool cannot be renewed is reported as unraisable and the
// others are still renewed.
PyObject* renew_pools(PyObject*, PyObject*) noexcept {
    PyObject* registry = g_module.fork_registry;
    if (registry == nullptr || PyDict_GET_SIZE(registry) == 0) {
        Py_RETURN_NONE;
    }
    // A snapshot: attribute hooks of subclasses run below and may end coordinators.
    Ref refs = Ref::steal(PyDict_Values(registry));
    Ref pool_type = refs ? lookup_pool_class() : Ref();
    Ref renewed = pool_type ? Ref::steal(PyDict_New()) : Ref();
    if (!renewed) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(refs.get()); ++i) {
        Ref coord = Ref::steal(compat::weakref_target(PyList_GET_ITEM(refs.get(), i)));
        if (!coord) {
            PyErr_Clear();
            continue;
        }
        if (renew_pool(coord.get(), pool_type.get(), renewed.get()) < 0) {
            PyErr_WriteUnraisable(coord.get());
        }
    }
    Py_RETURN_NONE;
}

// Weak reference callback, bound to the registry key of the coordinator. The
// entry may already hold a newer reference (the coordinator was constructed
// again); only its own is removed.
PyObject* forget(PyObject* key_b, PyObject* ref_b) noexcept {
    PyObject* registry = g_module.fork_registry;
    PyObject* current = PyDict_GetItemWithError(registry, key_b);
    if (current == nullptr) {
        return PyErr_Occurred() ? nullptr : Py_NewRef(Py_None);
    }
    if (current == ref_b && PyDict_DelItem(registry, key_b) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef kRenewDef = {"renew_pools_after_fork", renew_pools, METH_NOARGS,
                         "Give every live coordinator a fresh worker pool (in a forked child)."};
PyMethodDef kForgetDef = {"forget_coordinator", forget, METH_O, nullptr};

// os.register_at_fork(after_in_child=renew_pools_after_fork), then the registry.
int start_tracking() noexcept {
    if (make_names() < 0) {
        return -1;
    }
    Ref registry = Ref::steal(PyDict_New());
    Ref hook = registry ? Ref::steal(PyCFunction_New(&kRenewDef, nullptr)) : Ref();
    Ref os = hook ? Ref::steal(PyImport_Import(name(F::os))) : Ref();
    Ref register_at_fork = os ? attr(os.get(), F::register_at_fork) : Ref();
    if (!register_at_fork) {
        return -1;
    }
    PyObject* kwvalues[] = {hook.get()};
    Ref done = Ref::steal(PyObject_Vectorcall(register_at_fork.get(), kwvalues, 0, g_kw_after_in_child));
    if (!done) {
        return -1;
    }
    g_module.fork_registry = registry.release();
    return 0;
}

}  // namespace

int track_for_fork(PyObject* self_b) noexcept {
    if (!PyType_SUPPORTS_WEAKREFS(Py_TYPE(self_b))) {
        return 0;
    }
    if (g_module.fork_registry == nullptr && start_tracking() < 0) {
        return -1;
    }
    Ref key = Ref::steal(PyLong_FromVoidPtr(self_b));
    Ref callback = key ? Ref::steal(PyCFunction_New(&kForgetDef, key.get())) : Ref();
    Ref ref = callback ? Ref::steal(PyWeakref_NewRef(self_b, callback.get())) : Ref();
    if (!ref) {
        return -1;
    }
    return PyDict_SetItem(g_module.fork_registry, key.get(), ref.get());
}

}  // namespace norv::core
