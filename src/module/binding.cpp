// Argument binding: one table-driven binder for all eight methods.
//
// A call is mapped onto the method's parameters in a fixed array of borrowed
// pointers (the caller's argument array keeps the values alive for the call),
// so binding allocates nothing except the int made by a `timeout_ms`
// conversion. The order of checks decides which of several faults is reported:
// positional count, then each keyword in the caller's order, then missing
// arguments, then conversions, then type tests.
#include "module/binding.hpp"

#include "core/coordinator.hpp"
#include "support/text.hpp"

namespace norv {

namespace {

PyObject* param_name(const MethodSpec& m, Py_ssize_t i) noexcept { return str(m.params[i].name); }

// "%.200s() takes %.8s %zd positional argument%.1s (%zd given)"
PyObject* count_error(const MethodSpec& m, Py_ssize_t given, bool missing) noexcept {
    const char* qualifier;
    Py_ssize_t expected;
    if (m.nrequired == m.nparams) {
        qualifier = "exactly";
        expected = m.nparams;
    } else if (missing || given < m.nrequired) {
        qualifier = "at least";
        expected = m.nrequired;
    } else {
        qualifier = "at most";
        expected = m.nparams;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", m.c_name(),
                 qualifier, expected, expected == 1 ? "" : "s", given);
    return nullptr;
}

enum : Py_ssize_t { kNoMatch = -1, kFailed = -2 };

// Index of the parameter named `key` in [from, to), or kNoMatch, or kFailed with
// an exception set (only a str subclass's own equality can fail).
Py_ssize_t find_param(const MethodSpec& m, PyObject* key, Py_ssize_t from, Py_ssize_t to, bool exact) noexcept {
    for (Py_ssize_t i = from; i < to; ++i) {
        if (exact) {
            if (str_equal(param_name(m, i), key)) {
                return i;
            }
            continue;
        }
        Ref equal = Ref::steal(PyObject_RichCompare(param_name(m, i), key, Py_EQ));
        if (!equal) {
            return kFailed;
        }
        int truth = PyObject_IsTrue(equal.get());
        if (truth < 0) {
            return kFailed;
        }
        if (truth) {
            return i;
        }
    }
    return kNoMatch;
}

// Puts one keyword argument into its slot; -1 with TypeError (or the exception
// of a str subclass's equality) when it fits nowhere.
int bind_keyword(const MethodSpec& m, PyObject* key, PyObject* value, Py_ssize_t npos,
                 PyObject** slots) noexcept {
    Py_ssize_t index = kNoMatch;
    // Names written in a call are interned, so identity settles the usual case.
    for (Py_ssize_t i = npos; i < m.nparams; ++i) {
        if (param_name(m, i) == key) {
            index = i;
            break;
        }
    }
    if (index == kNoMatch) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", m.c_name());
            return -1;
        }
        bool exact = PyUnicode_CheckExact(key);
        index = find_param(m, key, npos, m.nparams, exact);
        if (index == kNoMatch) {
            index = find_param(m, key, 0, npos, exact);
            if (index >= 0) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", m.c_name(), key);
                return -1;
            }
        }
        if (index == kFailed) {
            return -1;
        }
        if (index == kNoMatch) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", m.c_name(), key);
            return -1;
        }
    }
    // Two keywords naming one parameter (possible only through str subclasses
    // or a hand-made keyword tuple) must not silently drop a value.
    if (slots[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", m.c_name(), key);
        return -1;
    }
    slots[index] = value;
    return 0;
}

// Brings `value` to an exact int the way int() would, or refuses it. Writes the
// made object to `holder`, which owns it for the rest of the call.
PyObject* convert_int(S refusal, PyObject* value, Ref& holder) noexcept {
    if (PyLong_CheckExact(value)) {
        return value;
    }
    if (!PyNumber_Check(value)) {
        return raise_type_error(str(refusal), Py_TYPE(value)->tp_name, str(S::refuse_end));
    }
    holder = Ref::steal(PyNumber_Long(value));
    return holder.get();
}

}  // namespace

// "Argument '<name>' has incorrect type (expected <type>, got <type>)", with
// the subclass note when the argument's type derives from the required one.
// The subclass relation is looked at only here, once a test has failed.
PyObject* refuse_argument(const ParamSpec& param, PyObject* value) noexcept {
    PyTypeObject* required = param.check() == Check::dict_or_none ? &PyDict_Type : &PyUnicode_Type;
    bool subclass = PyType_IsSubtype(Py_TYPE(value), required) != 0;
    return raise_type_error(str(param.refusal), Py_TYPE(value)->tp_name,
                            str(subclass ? S::refuse_end_subclass : S::refuse_end));
}

PyObject* call_method(const MethodSpec& m, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    const Py_ssize_t npos = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);

    if (npos > m.nparams || (nkw == 0 && npos < m.nrequired)) {
        return count_error(m, npos, false);
    }
    PyObject* slots[kMaxParams] = {};
    for (Py_ssize_t i = 0; i < npos; ++i) {
        slots[i] = args[i];
    }
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        if (bind_keyword(m, PyTuple_GET_ITEM(kwnames, i), args[npos + i], npos, slots) < 0) {
            return nullptr;
        }
    }
    for (int i = m.nrequired; i < m.nparams; ++i) {
        if (slots[i] == nullptr) {
            slots[i] = default_value(m.params[i].fallback);
        }
    }
    if (nkw > 0) {
        for (Py_ssize_t i = npos; i < m.nrequired; ++i) {
            if (slots[i] == nullptr) {
                return count_error(m, i, true);
            }
        }
    }

    Ref converted;  // owns a value made by the int conversion
    for (int i = 0; i < m.nparams; ++i) {
        const ParamSpec& p = m.params[i];
        if (p.check() == Check::to_int) {
            slots[i] = convert_int(p.refusal, slots[i], converted);
            if (slots[i] == nullptr) {
                return nullptr;
            }
        } else if (p.check() == Check::to_flag) {
            PyObject* v = slots[i];
            int truth = v == Py_True ? 1 : (v == Py_False || v == Py_None) ? 0 : PyObject_IsTrue(v);
            if (truth < 0) {
                return nullptr;
            }
            slots[i] = truth ? Py_True : Py_False;
        }
    }
    for (int i = 0; i < m.nparams; ++i) {
        if (!passes(m.params[i].check(), slots[i])) {
            return refuse_argument(m.params[i], slots[i]);
        }
    }
    return return_tested(m.return_test, m.body(slots));
}

}  // namespace norv
