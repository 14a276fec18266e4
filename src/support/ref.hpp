// Ownership of interpreter references, written into the types.
//
// Rules, stated once:
//   * `Ref` owns exactly one strong reference (or none). It is move-only; its
//     destructor releases what it owns. Logic code never calls Py_DECREF itself.
//   * `Ref::steal(p)` takes over a reference the caller already owns (the result
//     of a C-API call returning a new reference). A null `p` makes an empty Ref,
//     so `Ref r = Ref::steal(PyObject_Call...); if (!r) return {};` is the idiom.
//   * `Ref::own(p)` takes a new reference to a borrowed pointer.
//   * `release()` hands the reference back to the interpreter (a slot returning
//     a new reference); `get()` lends it out without transfer.
//   * A plain `PyObject*` in logic code is a borrowed reference. Parameters that
//     borrow are named `*_b` where the borrowing is not obvious from context.
//   * Functions that can fail return an empty Ref, or -1, with an exception set
//     (the interpreter's own convention); nothing here throws.
#pragma once

#include <Python.h>

#include <utility>

namespace norv {

class Ref {
public:
    constexpr Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    [[nodiscard]] static Ref steal(PyObject* p) noexcept { return Ref(p); }
    [[nodiscard]] static Ref own(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    [[nodiscard]] PyObject* get() const noexcept { return p_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    // A new strong reference for a callee that steals one.
    [[nodiscard]] PyObject* new_ref() const noexcept {
        Py_XINCREF(p_);
        return p_;
    }
    void reset() noexcept { Py_CLEAR(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// An exception taken out of the interpreter's error indicator, normalised, with
// its traceback attached, so that it can be inspected, handled and re-raised.
class CaughtException {
public:
    // Takes the currently raised exception; there must be one.
    static CaughtException fetch() noexcept {
        PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        if (tb != nullptr && value != nullptr) {
            PyException_SetTraceback(value, tb);
        }
        return CaughtException(Ref::steal(type), Ref::steal(value), Ref::steal(tb));
    }

    bool matches(PyObject* cls_b) const noexcept {
        return PyErr_GivenExceptionMatches(type_.get(), cls_b) != 0;
    }
    PyObject* value() const noexcept { return value_.get(); }

    // Raises it again, giving up ownership (the state it came from).
    void restore() noexcept { PyErr_Restore(type_.release(), value_.release(), tb_.release()); }

private:
    CaughtException(Ref type, Ref value, Ref tb) noexcept
        : type_(std::move(type)), value_(std::move(value)), tb_(std::move(tb)) {}
    Ref type_, value_, tb_;
};

// While alive, makes an exception the thread's "currently handled" one, as an
// `except` block does; the previous state comes back when it ends. It swaps the
// innermost exception-state entry itself, as the eval loop does on entering and
// leaving a handler: PyErr_SetHandledException would instead write the outermost
// visible exception back into it on restore, which inside a generator would
// leave the caller's exception attached to the generator's own state.
class HandledExceptionScope {
public:
    explicit HandledExceptionScope(PyObject* exc_b) noexcept : item_(PyThreadState_Get()->exc_info) {
        saved_ = item_->exc_value;
        Py_INCREF(exc_b);
        item_->exc_value = exc_b;
    }
    HandledExceptionScope(const HandledExceptionScope&) = delete;
    HandledExceptionScope& operator=(const HandledExceptionScope&) = delete;
    ~HandledExceptionScope() {
        PyObject* ours = item_->exc_value;
        item_->exc_value = saved_;
        Py_XDECREF(ours);
    }

private:
    _PyErr_StackItem* item_;
    PyObject* saved_;  // owned by the stack item again once restored
};

}  // namespace norv
