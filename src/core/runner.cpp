// The fail-safe runner: one security module over one text, on the coordinator's
// pool, under its time limit, with every detection, time-out and failure
// written as an audit event and the given text passing whenever anything fails.
//
// The two guarded regions are try/except blocks written out by hand:
//
//   outer:  skip test, submit, inner region and its handlers
//           except Exception as e: print last-resort line; return content
//   inner:  wait, compare, record detection, audit mode, return test
//           except concurrent.futures.TimeoutError: "TIMEOUT"; return content
//           except Exception as e: "INTERNAL_MODULE_ERROR"; return content
//
// While a handler runs, the exception it handles is the thread's handled
// exception (HandledExceptionScope), so an error raised inside the handler
// carries it as __context__, and code called from the handler sees it.
#include "core/coordinator.hpp"
#include "core/globals.hpp"
#include "support/text.hpp"

namespace norv::core {

namespace {

// Truth value of the coordinator's `audit_mode`, read afresh: 1, 0, or -1.
int audit_mode_on(PyObject* self) noexcept {
    Ref mode = get_attr(self, S::audit_mode);
    return mode ? PyObject_IsTrue(mode.get()) : -1;
}

// One audit event: log_audit(logger, event, details). The two globals are
// looked up before the details are built, and both afresh at every event.
template <typename BuildDetails>
int write_event(S event, BuildDetails build_details) noexcept {
    Ref log_audit = lookup_global(S::log_audit);
    if (!log_audit) {
        return -1;
    }
    Ref logger = lookup_global(S::logger);
    if (!logger) {
        return -1;
    }
    Ref details = Ref::steal(PyDict_New());
    if (!details || build_details(details.get()) < 0) {
        return -1;
    }
    PyObject* call_args[] = {logger.get(), str(event), details.get()};
    Ref ignored = Ref::steal(PyObject_Vectorcall(log_audit.get(), call_args, 3, nullptr));
    return ignored ? 0 : -1;
}

int put(PyObject* dict_b, S key, PyObject* value_b) noexcept { return PyDict_SetItem(dict_b, str(key), value_b); }

int record_detection(PyObject* self, PyObject* content, PyObject* context) noexcept {
    return write_event(S::THREAT_DETECTED, [&](PyObject* details) noexcept {
        if (put(details, S::module, context) < 0) {
            return -1;
        }
        int audit = audit_mode_on(self);
        if (audit < 0 || put(details, S::outcome, str(audit ? S::AUDIT_ONLY : S::BLOCKED)) < 0) {
            return -1;
        }
        Ref size = Ref::steal(PyLong_FromSsize_t(utf8_size(content)));
        return size ? put(details, S::size_bytes, size.get()) : -1;
    });
}

int record_timeout(PyObject* self, PyObject* context) noexcept {
    return write_event(S::TIMEOUT, [&](PyObject* details) noexcept {
        if (put(details, S::module, context) < 0) {
            return -1;
        }
        Ref limit = get_attr(self, S::timeout_seconds);
        if (!limit || put(details, S::limit_sec, limit.get()) < 0) {
            return -1;
        }
        return put(details, S::action, str(S::FAIL_OPEN));
    });
}

// The error's text for its event: str(error), or its type's name when the
// module's exception cannot even describe itself, so that its failure is still
// recorded as a module error rather than falling through to the last resort.
Ref error_text(PyObject* error) noexcept {
    Ref text = Ref::steal(PyObject_Str(error));
    if (text || !PyErr_ExceptionMatches(PyExc_Exception)) {
        return text;
    }
    PyErr_Clear();
    // The name as the type object holds it: looking up `__name__` would run a
    // metaclass's code, which can fail just the same.
    return Ref::steal(PyType_GetName(Py_TYPE(error)));
}

int record_module_error(PyObject* error, PyObject* context) noexcept {
    return write_event(S::INTERNAL_MODULE_ERROR, [&](PyObject* details) noexcept {
        if (put(details, S::module, context) < 0) {
            return -1;
        }
        Ref text = error_text(error);
        if (!text || put(details, S::error, text.get()) < 0) {
            return -1;
        }
        return put(details, S::action, str(S::FAIL_OPEN));
    });
}

// logger.info("Audit Mode: Passing input despite detection in <context>")
int log_audit_mode_notice(PyObject* context) noexcept {
    Ref logger = lookup_global(S::logger);
    if (!logger) {
        return -1;
    }
    Ref text = Ref::steal(PyUnicode_Concat(str(S::audit_mode_notice), context));
    if (!text) {
        return -1;
    }
    PyObject* call_args[] = {nullptr, logger.get(), text.get()};
    Ref ignored = Ref::steal(
        PyObject_VectorcallMethod(str(S::info), call_args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    return ignored ? 0 : -1;
}

// Whether the module's result differs from the content, as `result != content`
// decides it: 1, 0, or -1 with the comparison's exception.
int differs(PyObject* result, PyObject* content) noexcept {
    if (result == content) {
        return 0;
    }
    if (PyUnicode_CheckExact(result)) {
        return str_equal(result, content) ? 0 : 1;
    }
    if (result == Py_None) {
        return 1;
    }
    Ref outcome = Ref::steal(PyObject_RichCompare(result, content, Py_NE));
    return outcome ? PyObject_IsTrue(outcome.get()) : -1;
}

// concurrent.futures.TimeoutError, evaluated when an exception is being handled.
Ref timeout_class() noexcept {
    Ref concurrent = lookup_global(S::concurrent);
    if (!concurrent) {
        return {};
    }
    Ref futures = get_attr(concurrent.get(), S::futures);
    return futures ? get_attr(futures.get(), S::TimeoutError) : Ref{};
}

// Inner region: wait for the scan and decide what passes.
Ref wait_and_decide(PyObject* self, PyObject* content, PyObject* context, PyObject* future) noexcept {
    Ref limit = get_attr(self, S::timeout_seconds);
    if (!limit) {
        return {};
    }
    PyObject* wait_args[] = {nullptr, future, limit.get()};
    Ref result = Ref::steal(PyObject_VectorcallMethod(str(S::result), wait_args + 1,
                                                      1 | PY_VECTORCALL_ARGUMENTS_OFFSET, g_numbers.kw_timeout));
    if (!result) {
        return {};
    }
    int different = differs(result.get(), content);
    if (different < 0) {
        return {};
    }
    if (different) {
        if (record_detection(self, content, context) < 0) {
            return {};
        }
        int audit = audit_mode_on(self);
        if (audit < 0) {
            return {};
        }
        if (audit) {
            if (log_audit_mode_notice(context) < 0) {
                return {};
            }
            return Ref::own(content);
        }
    }
    if (!is_str_or_none(result.get())) {
        refuse_result(result.get());
        return {};
    }
    return result;
}

// The handlers of the inner region, for an exception that left it. Returns the
// content when a handler took it; otherwise null with an exception set (the
// original one when neither handler applies, or what a handler raised).
Ref handle_inner_failure(PyObject* self, PyObject* content, PyObject* context) noexcept {
    CaughtException caught = CaughtException::fetch();
    {
        HandledExceptionScope handling(caught.value());
        Ref timeout_type = timeout_class();
        if (!timeout_type) {
            return {};
        }
        if (caught.matches(timeout_type.get())) {
            return record_timeout(self, context) < 0 ? Ref{} : Ref::own(content);
        }
        if (caught.matches(PyExc_Exception)) {
            return record_module_error(caught.value(), context) < 0 ? Ref{} : Ref::own(content);
        }
    }
    caught.restore();
    return {};
}

// Outer region: skip test, submission, and the inner region with its handlers.
Ref run_guarded(PyObject* self, PyObject* module, PyObject* content, PyObject* metadata, PyObject* context) noexcept {
    int usable = PyObject_IsTrue(module);
    if (usable < 0) {
        return {};
    }
    if (!usable || PyUnicode_GET_LENGTH(content) == 0) {
        return Ref::own(content);
    }
    Ref pool = get_attr(self, S::_executor);
    if (!pool) {
        return {};
    }
    Ref scan = get_attr(self, S::_safe_scan);
    if (!scan) {
        return {};
    }
    PyObject* submit_args[] = {nullptr, pool.get(), scan.get(), module, content, metadata};
    Ref future = Ref::steal(PyObject_VectorcallMethod(str(S::submit), submit_args + 1,
                                                      5 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!future) {
        return {};
    }
    Ref passed = wait_and_decide(self, content, context, future.get());
    if (passed) {
        return passed;
    }
    // An abandoned scan keeps running; its future is simply dropped here.
    return handle_inner_failure(self, content, context);
}

// The outer handler: even the recording failed, so one line goes to standard
// output and the content passes. Only the Exception family is contained;
// KeyboardInterrupt, SystemExit and the like reach the host.
Ref last_resort(PyObject* content) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        return {};
    }
    CaughtException caught = CaughtException::fetch();
    HandledExceptionScope handling(caught.value());
    Ref text = Ref::steal(PyObject_Format(caught.value(), str(S::empty)));
    if (!text) {
        return {};
    }
    Ref line = Ref::steal(PyUnicode_Concat(str(S::critical_failure), text.get()));
    if (!line) {
        return {};
    }
    Ref printed = Ref::steal(PyObject_CallOneArg(g_module.print, line.get()));
    return printed ? Ref::own(content) : Ref{};
}

}  // namespace

PyObject* refuse_result(PyObject* value_b) noexcept {
    return raise_type_error(str(S::expected_str), Py_TYPE(value_b)->tp_name, str(S::empty));
}

PyObject* run_fail_safe(PyObject* const* args) noexcept {
    PyObject* content = args[2];
    Ref passed = run_guarded(args[0], args[1], content, args[3], args[4]);
    return passed ? passed.release() : last_resort(content).release();
}

PyObject* contain_module_error(PyObject* content_b, PyObject* context_b) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        return nullptr;
    }
    {
        CaughtException caught = CaughtException::fetch();
        HandledExceptionScope handling(caught.value());
        if (record_module_error(caught.value(), context_b) == 0) {
            return Py_NewRef(content_b);
        }
    }
    return last_resort(content_b).release();
}

PyObject* safe_scan(PyObject* const* args) noexcept {
    // scan(content, metadata); whatever it returns or raises goes back unchanged.
    PyObject* call_args[] = {nullptr, args[1], args[2], args[3]};
    return PyObject_VectorcallMethod(str(S::scan), call_args + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

}  // namespace norv::core
