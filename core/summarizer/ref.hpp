// Owning references and the "a Python error is set" exception.
//
// Rules:
//  - A function that returns a new reference returns Ref. A raw PyObject*
//    parameter or local is borrowed and never released by its holder.
//  - Ref::check() takes the result of a C API call that returns a new
//    reference or NULL; on NULL it throws PyError (the error is already set).
//  - Ref::borrow() makes a new reference from a borrowed one.
//  - PyError is thrown only with an error set (a debug build checks it), and
//    the module's own errors are raised through throw_error() and its kin.
//  - PyError never crosses into the interpreter: every function the
//    interpreter calls is noexcept, and catches it to return NULL / -1 (see
//    boundary()).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cassert>
#include <new>
#include <utility>

namespace summarizer {

// Thrown when a Python exception is set and the current call must unwind.
struct PyError {
    PyError() noexcept { assert(PyErr_Occurred() != nullptr); }
};

// Sets an exception of `type` and unwinds: with `message` as it stands, or
// with a PyErr_Format text and its arguments.
[[noreturn]] inline void throw_error(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PyError{};
}

template <class... Args>
[[noreturn]] void throw_error(PyObject* type, const char* format, Args... args) {
    PyErr_Format(type, format, args...);
    throw PyError{};
}

template <class... Args>
[[noreturn]] void throw_type_error(const char* text, Args... args) {
    throw_error(PyExc_TypeError, text, args...);
}

template <class... Args>
[[noreturn]] void throw_runtime_error(const char* text, Args... args) {
    throw_error(PyExc_RuntimeError, text, args...);
}

[[noreturn]] inline void throw_no_memory() {
    PyErr_NoMemory();
    throw PyError{};
}

// Unwinds when the last call left an error set; for the C API calls whose
// NULL alone does not tell a failure from "nothing there".
inline void throw_if_error_set() {
    if (PyErr_Occurred() != nullptr) throw PyError{};
}

class Ref {
public:
    Ref() = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref old(std::move(*this));  // released after the new value is in place
        p_ = std::exchange(other.p_, nullptr);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes ownership of a new reference (which may be NULL).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Takes ownership of a new reference from the C API; NULL means an error is set.
    static Ref check(PyObject* p) {
        if (p == nullptr) throw PyError{};
        return Ref(p);
    }
    // A new reference to a borrowed object.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// For C API calls that return -1 with an error set.
inline int check(int rc) {
    if (rc < 0) throw PyError{};
    return rc;
}

inline Py_ssize_t check_size(Py_ssize_t n) {
    if (n < 0) throw PyError{};
    return n;
}

// Truth value by the interpreter's rules.
inline bool is_true(PyObject* o) { return check(PyObject_IsTrue(o)) != 0; }

// Runs a body that returns Ref and hands the interpreter a new reference or NULL.
template <class Body>
PyObject* boundary(Body&& body) noexcept {
    try {
        return body().release();
    } catch (const PyError&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    }
}

// Takes the exception now set, normalised and with its traceback attached,
// leaving none set (as an `except` clause receives it).
inline Ref take_exception() noexcept {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref::steal(value);
}

// Makes an exception "being handled" while the handler runs, as an `except`
// block does to the innermost exception state (the coroutine's own), so that
// one raised by the handler carries it as its context; afterwards that state
// is as it was.
class Handling {
public:
    explicit Handling(PyObject* exception)
        : previous_(Ref::borrow(PyThreadState_Get()->exc_info->exc_value)) {
        PyErr_SetHandledException(exception);
    }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;
    ~Handling() { PyErr_SetHandledException(previous_.get()); }

private:
    Ref previous_;
};

// Makes an exception taken by take_exception() current again, as a bare
// `raise` in its handler does: as its own class, with its traceback.
inline void raise_again(Ref exception) noexcept {
    PyObject* value = exception.release();
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value,
                  PyException_GetTraceback(value));
}

// Holds the current exception aside while other code runs, then puts it back
// (unless taken), so no call is ever made with an exception set.
class PendingError {
public:
    PendingError() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;
    ~PendingError() { restore(); }

    PyObject* value() const noexcept { return value_; }
    // Normalises the held exception as an `except` clause receives it (which
    // can run Python code): an instance of its own class, traceback attached.
    void normalize() noexcept {
        if (type_ == nullptr) return;
        PyErr_NormalizeException(&type_, &value_, &traceback_);
        if (traceback_ != nullptr) PyException_SetTraceback(value_, traceback_);
        Py_SETREF(type_, Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value_))));
    }
    // Makes the held exception current again.
    void restore() noexcept {
        if (type_ != nullptr || value_ != nullptr || traceback_ != nullptr) {
            PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr),
                          std::exchange(traceback_, nullptr));
        }
    }
    // Makes the held exception the context of the one now set.
    void chain_under_current() noexcept {
        if (type_ == nullptr) return;
        _PyErr_ChainExceptions(std::exchange(type_, nullptr), std::exchange(value_, nullptr),
                               std::exchange(traceback_, nullptr));
    }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

}  // namespace summarizer
