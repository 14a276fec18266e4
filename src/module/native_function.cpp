// The native method type: a function object that every inspecting tool takes
// for a Python function (name, qualified name, module, docstring, defaults,
// annotations, globals, a real code object for the parameter names) and that
// binds like one (a bound method through an instance, itself through the
// class). Calls arrive through vectorcall and go straight to the binder.
#include "module/native_function.hpp"

#include <structmember.h>

#include <cstddef>

namespace norv {

namespace {

struct NativeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* name;      // never null, as for a Python function (see fn_clear)
    PyObject* qualname;  // never null
    PyObject* code;      // never null
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;     // tuple or null; exposed only, binding keeps its own
    PyObject* kwdefaults;   // dict or null
    PyObject* annotations;  // dict or null (made empty on first read, as for functions)
    PyObject* globals;
    PyObject* dict;
    PyObject* weakrefs;
};

// The fields that tp_clear empties. Name, qualified name and code stay set
// until the object is freed, so that whatever reads them between a clear and
// the end (a repr, a finaliser that looks at __name__) never meets null.
constexpr PyObject* NativeFunction::* kClearable[] = {
    &NativeFunction::module,     &NativeFunction::doc,     &NativeFunction::defaults, &NativeFunction::kwdefaults,
    &NativeFunction::annotations, &NativeFunction::globals, &NativeFunction::dict,
};

PyObject* g_type = nullptr;  // owned: the heap type, made once

NativeFunction* as_fn(PyObject* self) { return reinterpret_cast<NativeFunction*>(self); }

PyObject* fn_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, obj);
}

PyObject* fn_repr(PyObject* self) { return PyUnicode_FromFormat("<function %U at %p>", as_fn(self)->qualname, self); }

int fn_traverse(PyObject* self, visitproc visit, void* arg) {
    NativeFunction* f = as_fn(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->code);
    for (PyObject* NativeFunction::* field : kClearable) {
        Py_VISIT(f->*field);
    }
    return 0;
}

// As CPython's func_clear: a name or qualified name (a str subclass can carry
// attributes) may close a cycle, so each is replaced by the empty string
// rather than cleared; the code object holds only constants and stays.
int fn_clear(PyObject* self) {
    NativeFunction* f = as_fn(self);
    for (PyObject* NativeFunction::* field : kClearable) {
        Py_CLEAR(f->*field);
    }
    Py_SETREF(f->name, Py_NewRef(str(S::empty)));
    Py_SETREF(f->qualname, Py_NewRef(str(S::empty)));
    return 0;
}

void fn_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    NativeFunction* f = as_fn(self);
    if (f->weakrefs != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    fn_clear(self);
    Py_DECREF(f->name);
    Py_DECREF(f->qualname);
    Py_DECREF(f->code);
    type->tp_free(self);
    Py_DECREF(type);
}

// The audit events a Python function raises around its code and defaults
// (object.__getattr__, __setattr__, __delattr__); -1 when a hook refuses.
int audit_get(PyObject* self, const char* attribute) {
    return PySys_Audit("object.__getattr__", "Os", self, attribute);
}
int audit_set(PyObject* self, const char* attribute, PyObject* value) {
    return value != nullptr ? PySys_Audit("object.__setattr__", "OsO", self, attribute, value)
                            : PySys_Audit("object.__delattr__", "Os", self, attribute);
}

// Attribute setters with the same rules and messages as a Python function's.
int set_text(PyObject*& field, PyObject* value, const char* message) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_SETREF(field, Py_NewRef(value));
    return 0;
}

// None or deletion empties the field; otherwise the value must pass `check`.
// `audited` names the attribute where a Python function raises an event.
int set_optional(PyObject* self, PyObject*& field, PyObject* value, int (*check)(PyObject*), const char* message,
                 const char* audited = nullptr) {
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    if (audited != nullptr && audit_set(self, audited, value) < 0) {
        return -1;
    }
    Py_XSETREF(field, Py_XNewRef(value));
    return 0;
}

int is_tuple(PyObject* o) { return PyTuple_Check(o); }
int is_dict(PyObject* o) { return PyDict_Check(o); }

// An optional field as a Python function shows it: the object, or None.
PyObject* or_none(PyObject* field) { return Py_NewRef(field != nullptr ? field : Py_None); }

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_fn(self)->name); }
int set_name(PyObject* self, PyObject* v, void*) {
    return set_text(as_fn(self)->name, v, "__name__ must be set to a string object");
}
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_fn(self)->qualname); }
int set_qualname(PyObject* self, PyObject* v, void*) {
    return set_text(as_fn(self)->qualname, v, "__qualname__ must be set to a string object");
}
PyObject* get_defaults(PyObject* self, void*) {
    return audit_get(self, "__defaults__") < 0 ? nullptr : or_none(as_fn(self)->defaults);
}
int set_defaults(PyObject* self, PyObject* v, void*) {
    return set_optional(self, as_fn(self)->defaults, v, is_tuple, "__defaults__ must be set to a tuple object",
                        "__defaults__");
}
PyObject* get_kwdefaults(PyObject* self, void*) {
    return audit_get(self, "__kwdefaults__") < 0 ? nullptr : or_none(as_fn(self)->kwdefaults);
}
int set_kwdefaults(PyObject* self, PyObject* v, void*) {
    return set_optional(self, as_fn(self)->kwdefaults, v, is_dict, "__kwdefaults__ must be set to a dict object",
                        "__kwdefaults__");
}
PyObject* get_annotations(PyObject* self, void*) {
    NativeFunction* f = as_fn(self);
    if (f->annotations == nullptr) {
        f->annotations = PyDict_New();
    }
    return Py_XNewRef(f->annotations);
}
int set_annotations(PyObject* self, PyObject* v, void*) {
    return set_optional(self, as_fn(self)->annotations, v, is_dict, "__annotations__ must be set to a dict object");
}
PyObject* get_code(PyObject* self, void*) {
    return audit_get(self, "__code__") < 0 ? nullptr : Py_NewRef(as_fn(self)->code);
}
int set_code(PyObject* self, PyObject* v, void*) {
    if (v == nullptr || !PyCode_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__code__ must be set to a code object");
        return -1;
    }
    if (audit_set(self, "__code__", v) < 0) {
        return -1;
    }
    Py_SETREF(as_fn(self)->code, Py_NewRef(v));
    return 0;
}
PyObject* get_doc(PyObject* self, void*) { return or_none(as_fn(self)->doc); }
int set_doc(PyObject* self, PyObject* v, void*) {
    Py_XSETREF(as_fn(self)->doc, Py_XNewRef(v));
    return 0;
}

PyGetSetDef fn_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__code__", get_code, set_code, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Like a Python function, copied as itself and pickled by reference: a
// string result tells pickle to look the qualified name up in __module__.
PyObject* fn_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_fn(self)->qualname); }

PyMethodDef fn_methods[] = {
    {"__reduce__", fn_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef fn_members[] = {
    {"__module__", T_OBJECT, offsetof(NativeFunction, module), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(NativeFunction, globals), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(NativeFunction, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(NativeFunction, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(NativeFunction, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot fn_slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(fn_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(fn_descr_get)},
    {Py_tp_traverse, reinterpret_cast<void*>(fn_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(fn_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(fn_dealloc)},
    {Py_tp_getset, fn_getset},
    {Py_tp_methods, fn_methods},
    {Py_tp_members, fn_members},
    {0, nullptr},
};

PyType_Spec fn_spec = {
    "coordinator.native_function",
    sizeof(NativeFunction),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    fn_slots,
};

// A code object whose argument count and names are the method's parameters, so
// that inspect.signature reads them as it reads a Python function's.
Ref make_code(const MethodSpec& desc, PyObject* qualname) {
    Ref names = Ref::steal(PyTuple_New(desc.nparams));
    if (!names) {
        return {};
    }
    for (int i = 0; i < desc.nparams; ++i) {
        PyTuple_SET_ITEM(names.get(), i, Py_NewRef(str(desc.params[i].name)));
    }
    Ref empty = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty("coordinator", desc.c_name(), 0)));
    if (!empty) {
        return {};
    }
    Ref count = Ref::steal(PyLong_FromLong(desc.nparams));
    if (!count) {
        return {};
    }
    Ref replace = Ref::steal(PyObject_GetAttr(empty.get(), str(S::replace)));
    if (!replace) {
        return {};
    }
    Ref kwnames = Ref::steal(PyTuple_Pack(4, str(S::co_argcount), str(S::co_nlocals), str(S::co_varnames),
                                          str(S::co_qualname)));
    if (!kwnames) {
        return {};
    }
    PyObject* kwvalues[] = {count.get(), count.get(), names.get(), qualname};
    return Ref::steal(PyObject_Vectorcall(replace.get(), kwvalues, 0, kwnames.get()));
}

Ref make_annotations(const MethodSpec& desc) {
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) {
        return {};
    }
    for (int i = 0; i < desc.nparams; ++i) {
        const ParamSpec& p = desc.params[i];
        if (p.annotation != kNone && PyDict_SetItem(annotations.get(), str(p.name), str(p.annotation)) < 0) {
            return {};
        }
    }
    if (desc.return_annotation != kNone &&
        PyDict_SetItem(annotations.get(), str(S::return_), str(desc.return_annotation)) < 0) {
        return {};
    }
    return annotations;
}

// The tuple of default values of the trailing optional parameters, or null.
Ref make_defaults(const MethodSpec& desc) {
    int first_optional = desc.nrequired;
    if (first_optional == desc.nparams) {
        return {};
    }
    Ref defaults = Ref::steal(PyTuple_New(desc.nparams - first_optional));
    if (!defaults) {
        return {};
    }
    for (int i = first_optional; i < desc.nparams; ++i) {
        PyTuple_SET_ITEM(defaults.get(), i - first_optional, Py_NewRef(default_value(desc.params[i].fallback)));
    }
    return defaults;
}

}  // namespace

int make_native_function_type() noexcept {
    if (g_type != nullptr) {
        return 0;
    }
    g_type = PyType_FromSpec(&fn_spec);
    return g_type != nullptr ? 0 : -1;
}

Ref make_native_function(const Method& method, PyObject* class_name, PyObject* globals) noexcept {
    const MethodSpec& desc = method.desc;
    PyObject* name = str(desc.name);
    Ref qualname = Ref::steal(PyUnicode_FromFormat("%U.%U", class_name, name));
    if (!qualname) {
        return {};
    }
    Ref code = make_code(desc, qualname.get());
    Ref annotations = code ? make_annotations(desc) : Ref{};
    Ref doc = annotations ? Ref::steal(PyUnicode_FromString(desc.doc)) : Ref{};
    if (!doc) {
        return {};
    }
    Ref defaults = make_defaults(desc);
    if (!defaults && PyErr_Occurred()) {
        return {};
    }
    auto* type = reinterpret_cast<PyTypeObject*>(g_type);
    Ref made = Ref::steal(type->tp_alloc(type, 0));
    if (!made) {
        return {};
    }
    NativeFunction* f = as_fn(made.get());
    f->vectorcall = method.entry;
    f->name = Py_NewRef(name);
    f->qualname = qualname.release();
    f->module = Py_NewRef(str(S::coordinator));
    f->doc = doc.release();
    f->defaults = defaults.release();
    f->annotations = annotations.release();
    f->globals = Py_NewRef(globals);
    f->code = code.release();
    return made;
}

}  // namespace norv
