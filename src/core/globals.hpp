// Process-wide state of the module and the lookup of its global names.
//
// The module can live in one interpreter per process (module creation refuses a
// second one), so its state is process-wide rather than per module object.
#pragma once

#include "support/constants.hpp"

#include <cstdint>

namespace norv {

struct ModuleState {
    int64_t interpreter_id = -1;     // the interpreter that first created the module; never cleared
    PyObject* module = nullptr;      // owned: the initialised module, or null
    PyObject* namespace_ = nullptr;  // borrowed from `module`: its dict
    PyObject* builtins = nullptr;    // owned: the builtins module's dict
    PyObject* print = nullptr;       // owned: `print`, fetched once at initialisation
    // The vectorcall entry of the class's own `_run_fail_safe`: a method object
    // with this entry does nothing but bind its arguments and run the runner.
    vectorcallfunc run_fail_safe_entry = nullptr;
    // Coordinators whose pools a forked child renews (core/fork.cpp); made at
    // the first construction, when the at-fork hook is registered.
    PyObject* fork_registry = nullptr;  // owned: {id(coordinator): weakref to it}
};

extern ModuleState g_module;

// The module global `name` as the module's own code sees it at this moment: the
// module namespace first, then the builtins; NameError when neither has it.
// Read at every use, so a host that rebinds `logger`, `log_audit` or
// `concurrent` in the module changes what the next call uses.
Ref lookup_global(S name) noexcept;

// `concurrent.futures.ThreadPoolExecutor`, with `concurrent` looked up as above.
Ref lookup_pool_class() noexcept;

}  // namespace norv
