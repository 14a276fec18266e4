// The extension module: its definition, creation from the import spec, and the
// initialisation that imports the collaborators, sets up the audit logger and
// builds the class GovernanceCoordinator.
//
// The module body runs once per process. Its state is process-wide, so the
// module belongs to the first interpreter that creates it; later imports (after
// `del sys.modules[...]`, or a reload) get the same module object back.
#include "core/coordinator.hpp"
#include "core/globals.hpp"
#include "module/method_table.hpp"
#include "module/native_function.hpp"
#include "support/compat.h"

namespace norv {

namespace {

constexpr const char kModuleDoc[] =
    "\nnorv.core.coordinator\n~~~~~~~~~~~~~~~~~~~~~\n\nThe Central Nervous System of NORV.\nManages the "
    "orchestration of security modules, enforces timeouts,\nand guarantees Fail-Safe execution (Zero-Crash "
    "Policy).\n";

using compat::kBuiltMajor;
using compat::kBuiltMinor;
static_assert(compat::kSupported, "built for CPython 3.11 or 3.13");

int bind(S name, PyObject* value_b) noexcept { return PyDict_SetItem(g_module.namespace_, str(name), value_b); }

// Copies the import spec's <from> into the module as <to>; a missing attribute is skipped.
int copy_spec_attr(PyObject* import_spec, PyObject* module, S from, S to, bool skip_none) noexcept {
    PyObject* found = nullptr;
    if (compat::get_optional_attr(import_spec, str(from), &found) < 0) {
        return -1;
    }
    Ref value = Ref::steal(found);
    if (!value || (skip_none && value.get() == Py_None)) {
        return 0;
    }
    return PyObject_SetAttr(module, str(to), value.get());
}

PyObject* create_module(PyObject* import_spec, PyModuleDef*) noexcept {
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) {
        return nullptr;
    }
    if (g_module.interpreter_id == -1) {
        g_module.interpreter_id = current;
    } else if (g_module.interpreter_id != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    if (g_module.module != nullptr) {
        // The import machinery resets the state pointer of the module that
        // creation returns, and the next exec allocates a fresh (empty) block:
        // free the old one now, or every re-import leaks it.
        PyMem_Free(PyModule_GetState(g_module.module));
        return Py_NewRef(g_module.module);
    }
    if (make_constants() < 0) {
        return nullptr;
    }
    Ref name = get_attr(import_spec, S::name);
    if (!name) {
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module || copy_spec_attr(import_spec, module.get(), S::loader, S::d_loader, false) < 0 ||
        copy_spec_attr(import_spec, module.get(), S::origin, S::d_file, false) < 0 ||
        copy_spec_attr(import_spec, module.get(), S::parent, S::d_package, false) < 0 ||
        copy_spec_attr(import_spec, module.get(), S::submodule_search_locations, S::d_path, true) < 0) {
        return nullptr;
    }
    return module.release();
}

int warn_on_version_mismatch() noexcept {
    int major = static_cast<int>((Py_Version >> 24) & 0xff);
    int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == kBuiltMajor && minor == kBuiltMinor) {
        return 0;
    }
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                            kBuiltMajor, kBuiltMinor, "coordinator", "does not match", major, minor);
}

// import concurrent.futures  (binds the package `concurrent`)
int import_concurrent() noexcept {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* loaded = PyDict_GetItemWithError(modules, str(S::concurrent_futures));
    if (loaded == nullptr && PyErr_Occurred()) {
        return -1;
    }
    if (loaded != nullptr) {
        PyObject* package = PyDict_GetItemWithError(modules, str(S::concurrent));
        if (package != nullptr) {
            return bind(S::concurrent, package);
        }
        if (PyErr_Occurred()) {
            return -1;
        }
    }
    Ref package = Ref::steal(
        PyImport_ImportModuleLevelObject(str(S::concurrent_futures), g_module.namespace_, nullptr, nullptr, 0));
    return package ? bind(S::concurrent, package.get()) : -1;
}

int import_module(S name) noexcept {
    Ref module = Ref::steal(PyImport_ImportModuleLevelObject(str(name), g_module.namespace_, nullptr, nullptr, 0));
    return module ? bind(name, module.get()) : -1;
}

// from <package> import <names...>
int import_from(S package, std::initializer_list<S> names) noexcept {
    PyObject* modules = PyImport_GetModuleDict();
    Ref module = Ref::own(PyDict_GetItemWithError(modules, str(package)));
    if (!module && PyErr_Occurred()) {
        return -1;
    }
    bool complete = static_cast<bool>(module);
    for (S name : names) {
        if (!complete) {
            break;
        }
        PyObject* found = nullptr;
        if (compat::get_optional_attr(module.get(), str(name), &found) < 0) {
            return -1;
        }
        complete = found != nullptr;
        Py_XDECREF(found);
    }
    if (!complete) {
        Ref fromlist = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
        if (!fromlist) {
            return -1;
        }
        Py_ssize_t i = 0;
        for (S name : names) {
            PyTuple_SET_ITEM(fromlist.get(), i++, Py_NewRef(str(name)));
        }
        module = Ref::steal(
            PyImport_ImportModuleLevelObject(str(package), g_module.namespace_, nullptr, fromlist.get(), 0));
        if (!module) {
            return -1;
        }
    }
    for (S name : names) {
        Ref value = get_attr(module.get(), name);
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                return -1;
            }
            PyErr_Clear();
            // A submodule not yet set as an attribute of its package.
            Ref key = Ref::steal(PyUnicode_FromFormat("%U.%U", str(package), str(name)));
            if (!key) {
                return -1;
            }
            value = Ref::own(PyDict_GetItemWithError(modules, key.get()));
            if (!value) {
                if (!PyErr_Occurred()) {
                    PyErr_Format(PyExc_ImportError, "cannot import name %S", str(name));
                }
                return -1;
            }
        }
        if (bind(name, value.get()) < 0) {
            return -1;
        }
    }
    return 0;
}

int build_class() noexcept {
    Ref ns = Ref::steal(PyDict_New());
    if (!ns || PyDict_SetItem(ns.get(), str(S::d_module), str(S::coordinator)) < 0 ||
        PyDict_SetItem(ns.get(), str(S::d_qualname), str(S::GovernanceCoordinator)) < 0 ||
        PyDict_SetItem(ns.get(), str(S::d_doc), str(S::class_doc)) < 0) {
        return -1;
    }
    for (const Method& entry : methods()) {
        Ref method = make_native_function(entry, str(S::GovernanceCoordinator), g_module.namespace_);
        if (!method || PyDict_SetItem(ns.get(), str(entry.desc.name), method.get()) < 0) {
            return -1;
        }
        if (entry.desc.body == core::run_fail_safe) {
            g_module.run_fail_safe_entry = entry.entry;
        }
    }
    Ref bases = Ref::steal(PyTuple_New(0));
    if (!bases) {
        return -1;
    }
    PyObject* type_args[] = {str(S::GovernanceCoordinator), bases.get(), ns.get()};
    Ref cls = Ref::steal(PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PyType_Type), type_args, 3, nullptr));
    return cls ? bind(S::GovernanceCoordinator, cls.get()) : -1;
}

// The module body, in the order its names are bound.
int run_body() noexcept {
    if (import_concurrent() < 0 || import_module(S::logging) < 0 ||
        import_from(S::typing, {S::Any, S::Optional, S::Dict}) < 0 ||
        import_from(S::norv_core_interfaces, {S::SecurityModule}) < 0 ||
        import_from(S::norv_utils_logger, {S::setup_logger, S::log_audit}) < 0) {
        return -1;
    }
    Ref setup_logger = lookup_global(S::setup_logger);
    if (!setup_logger) {
        return -1;
    }
    Ref logger = Ref::steal(PyObject_CallOneArg(setup_logger.get(), str(S::logger_name)));
    if (!logger || bind(S::logger, logger.get()) < 0) {
        return -1;
    }
    return build_class();
}

int initialise(PyObject* module) noexcept {
    if (make_constants() < 0) {
        return -1;
    }
    Ref builtins = Ref::steal(PyImport_Import(str(S::builtins)));
    if (!builtins || bind(S::d_builtins, builtins.get()) < 0) {
        return -1;
    }
    if (warn_on_version_mismatch() < 0 || make_native_function_type() < 0) {
        return -1;
    }
    Py_XSETREF(g_module.builtins, Py_NewRef(PyModule_GetDict(builtins.get())));

    PyObject* modules = PyImport_GetModuleDict();
    int present = PyDict_Contains(modules, str(S::coordinator));
    if (present < 0 || (!present && PyDict_SetItem(modules, str(S::coordinator), module) < 0)) {
        return -1;
    }
    PyObject* print = PyDict_GetItemWithError(g_module.builtins, str(S::print));
    if (print == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", str(S::print));
        }
        return -1;
    }
    Py_XSETREF(g_module.print, Py_NewRef(print));
    return run_body();
}

// A failed initialisation forgets the module, so that the next import starts
// afresh, and withdraws the "coordinator" alias that would keep it reachable.
void forget_module(PyObject* module) noexcept {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyObject* modules = PyImport_GetModuleDict();
    if (str(S::coordinator) != nullptr) {
        PyObject* alias = PyDict_GetItemWithError(modules, str(S::coordinator));
        if (alias == module && PyDict_DelItem(modules, str(S::coordinator)) < 0) {
            PyErr_Clear();
        }
        PyErr_Clear();
    }
    g_module.namespace_ = nullptr;
    Py_CLEAR(g_module.module);
    PyErr_Restore(type, value, tb);
}

int exec_module(PyObject* module) noexcept {
    if (g_module.module != nullptr) {
        if (g_module.module == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'coordinator' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    g_module.module = Py_NewRef(module);
    g_module.namespace_ = PyModule_GetDict(module);
    if (initialise(module) < 0) {
        forget_module(module);
        return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyMethodDef no_functions[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "coordinator",
    kModuleDoc,
    0,
    no_functions,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace norv

PyMODINIT_FUNC PyInit_coordinator() { return PyModuleDef_Init(&norv::module_def); }
