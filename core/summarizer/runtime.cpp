// The process-wide state and the services that look names up, log and decode.
#include "runtime.hpp"

#include "texts.hpp"

namespace summarizer {

ProcessState process;

Ref global(PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(process.globals, name);
    if (value == nullptr && !PyErr_Occurred()) value = PyDict_GetItemWithError(process.builtins, name);
    if (value != nullptr) return Ref::borrow(value);
    throw_if_error_set();
    throw_error(PyExc_NameError, "name '%U' is not defined", name);
}

Ref call_global(PyObject* name, PyObject* arg) {
    Ref function = global(name);
    return Ref::check(PyObject_CallOneArg(function.get(), arg));
}

void log(PyObject* level, PyObject* message) {
    Ref logger = global(T.logger);
    Ref result = Ref::check(PyObject_CallMethodOneArg(logger.get(), level, message));
}

Ref current_time() {
    Ref time = global(T.time);
    return Ref::check(PyObject_CallMethodNoArgs(time.get(), T.time));
}

Ref json_loads(PyObject* text) {
    Ref json = global(T.json);
    return Ref::check(PyObject_CallMethodOneArg(json.get(), T.loads, text));
}

namespace {

// What an `except` clause accepts: an exception class, or a tuple of them.
bool catchable(PyObject* classes) {
    if (!PyTuple_Check(classes)) return PyExceptionClass_Check(classes);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(classes); ++i) {
        if (!PyExceptionClass_Check(PyTuple_GET_ITEM(classes, i))) return false;
    }
    return true;
}

}  // namespace

bool json_decode_error_pending() {
    PendingError pending;
    // The clause matches the exception as it receives it, normalised first.
    pending.normalize();
    try {
        Ref json = global(T.json);
        Ref decode_error = Ref::check(PyObject_GetAttr(json.get(), T.JSONDecodeError));
        if (!catchable(decode_error.get())) {
            throw_type_error("catching classes that do not inherit from BaseException is not allowed");
        }
        return PyErr_GivenExceptionMatches(pending.value(), decode_error.get()) != 0;
    } catch (const PyError&) {
        pending.chain_under_current();
        throw;
    }
}

}  // namespace summarizer
