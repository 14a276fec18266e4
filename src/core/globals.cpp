#include "core/globals.hpp"

#include <initializer_list>

namespace norv {

ModuleState g_module;

Ref lookup_global(S name) noexcept {
    PyObject* key = str(name);
    // The module's namespace first, then the builtins, as the eval loop does.
    for (PyObject* scope_b : {g_module.namespace_, g_module.builtins}) {
        if (scope_b == nullptr) {
            continue;
        }
        PyObject* found_b = PyDict_GetItemWithError(scope_b, key);
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
