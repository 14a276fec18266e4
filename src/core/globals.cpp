#include "core/globals.hpp"

namespace norv {

ModuleState g_module;

Ref lookup_global(S name) noexcept {
    PyObject* key = str(name);
    if (g_module.namespace_ != nullptr) {
        PyObject* found_b = PyDict_GetItemWithError(g_module.namespace_, key);
        if (found_b != nullptr) {
            return Ref::own(found_b);
        }
        if (PyErr_Occurred()) {
            return {};
        }
    }
    if (g_module.builtins != nullptr) {
        PyObject* found_b = PyDict_GetItemWithError(g_module.builtins, key);
        if (found_b != nullptr) {
            return Ref::own(found_b);
        }
        if (PyErr_Occurred()) {
            return {};
        }
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    return {};
}

Ref lookup_pool_class() noexcept {
    Ref concurrent = lookup_global(S::concurrent);
    if (!concurrent) {
        return {};
    }
    Ref futures = get_attr(concurrent.get(), S::futures);
    if (!futures) {
        return {};
    }
    return get_attr(futures.get(), S::ThreadPoolExecutor);
}

}  // namespace norv
