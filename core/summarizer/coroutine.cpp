// The coroutine type behind summarize_messages.
#include "coroutine.hpp"

#include <cstddef>
#include <utility>

namespace summarizer {
namespace {

enum class Phase : unsigned char { created, awaiting, finished };

struct CoroutineObject {
    PyObject_HEAD
    const CoroutineBody* body;
    PyObject* locals[coroutine_locals];
    PyObject* awaiting;  // the iterator of the awaited object, while suspended on it
    PyObject* weakrefs;
    // The exception the body is handling, its own as a frame's is: innermost
    // while the body runs, so nothing handled leaks into it or out of it.
    _PyErr_StackItem exc_state;
    Phase phase;  // awaiting, and not running, means `awaiting` is set
    bool running;
};

CoroutineObject* as_coroutine(PyObject* o) { return reinterpret_cast<CoroutineObject*>(o); }

void release_locals(CoroutineObject* c) {
    for (PyObject*& local : c->locals) Py_CLEAR(local);
    Py_CLEAR(c->awaiting);
    Py_CLEAR(c->exc_state.exc_value);
}

// --- awaiting -----------------------------------------------------------------

bool is_iterable_coroutine(PyObject* o) {
    return PyGen_CheckExact(o) &&
           (reinterpret_cast<PyGenObject*>(o)->gi_code->co_flags & CO_ITERABLE_COROUTINE) != 0;
}

constexpr char awaited_already[] = "coroutine is being awaited already";

// A native coroutine suspended in an await of its own is refused, as the
// host's await refuses it: driving it would take over its awaiter's work.
Ref unless_awaited_already(Ref coroutine) {
    Ref awaited = Ref::check(PyObject_GetAttr(coroutine.get(), T.cr_await));
    if (awaited.get() == Py_None) return coroutine;
    throw_runtime_error(awaited_already);
}

// The iterator that `await awaitable` drives, with the host's errors.
Ref awaitable_iterator(PyObject* awaitable) {
    if (PyCoro_CheckExact(awaitable)) return unless_awaited_already(Ref::borrow(awaitable));
    if (is_iterable_coroutine(awaitable)) return Ref::borrow(awaitable);
    PyAsyncMethods* async = Py_TYPE(awaitable)->tp_as_async;
    if (async == nullptr || async->am_await == nullptr) {
        throw_type_error("object %.100s can't be used in 'await' expression",
                         Py_TYPE(awaitable)->tp_name);
    }
    Ref iterator = Ref::check(async->am_await(awaitable));
    if (PyCoro_CheckExact(iterator.get()) || is_iterable_coroutine(iterator.get())) {
        throw_type_error("__await__() returned a coroutine");
    }
    if (!PyIter_Check(iterator.get())) {
        throw_type_error("__await__() returned non-iterator of type '%.100s'",
                         Py_TYPE(iterator.get())->tp_name);
    }
    return iterator;
}

// What one run of the body gives: a value to yield while suspended, or the result.
struct Outcome {
    Ref value;
    bool suspended = false;
};

Outcome finished(Ref result) { return {std::move(result), false}; }

// Carries on after the awaited object answered a send or throw.
Outcome after_inner_step(CoroutineObject* c, PySendResult sent, PyObject* value) {
    Ref owned = Ref::steal(value);
    if (sent == PYGEN_NEXT) return {std::move(owned), true};
    Py_CLEAR(c->awaiting);
    if (sent == PYGEN_ERROR) return finished(c->body->fail(c->locals));
    return finished(c->body->resume(c->locals, owned.get()));
}

Outcome send_inner(CoroutineObject* c, PyObject* arg) {
    PyObject* value = nullptr;
    PySendResult sent;
    {
        // Held across the send, which runs Python code; let go before the
        // body goes on, so the awaited object ends when the await does.
        Ref awaited = Ref::borrow(c->awaiting);
        sent = PyIter_Send(awaited.get(), arg, &value);
    }
    return after_inner_step(c, sent, value);
}

Outcome start(CoroutineObject* c) {
    Ref awaitable;
    Ref result = c->body->begin(c->locals, &awaitable);
    if (!awaitable) return finished(std::move(result));
    Ref iterator;
    try {
        iterator = awaitable_iterator(awaitable.get());
    } catch (const PyError&) {
        // still set: the body's handler takes it below
    }
    awaitable = Ref();  // the await keeps only the iterator, as the host's does
    if (!iterator) return finished(c->body->fail(c->locals));
    c->awaiting = iterator.release();
    c->phase = Phase::awaiting;
    return send_inner(c, Py_None);
}

// The outcome of the exception now set at the await.
Outcome raise_at_await(CoroutineObject* c) {
    Py_CLEAR(c->awaiting);
    return finished(c->body->fail(c->locals));
}

// An exception given to throw(), checked and normalised as the host does
// before it is raised anywhere.
class Thrown {
public:
    // False, with TypeError set, for arguments that cannot be raised. A class
    // is instantiated here, which can run Python code.
    bool take(PyObject* const* args, Py_ssize_t nargs) {
        PyObject* value = nargs > 1 ? args[1] : nullptr;
        PyObject* traceback = nargs > 2 ? args[2] : nullptr;
        if (traceback == Py_None) traceback = nullptr;
        if (traceback != nullptr && !PyTraceBack_Check(traceback)) {
            PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
            return false;
        }
        PyObject* type = args[0];
        if (PyExceptionClass_Check(type)) {
            PyObject* t = Py_NewRef(type);
            PyObject* v = Py_XNewRef(value);
            PyObject* tb = Py_XNewRef(traceback);
            PyErr_NormalizeException(&t, &v, &tb);  // a failure here is what gets raised
            type_ = Ref::steal(t);
            value_ = Ref::steal(v);
            traceback_ = Ref::steal(tb);
            return true;
        }
        if (!PyExceptionInstance_Check(type)) {
            PyErr_Format(PyExc_TypeError,
                         "exceptions must be classes or instances deriving from BaseException, not %s",
                         Py_TYPE(type)->tp_name);
            return false;
        }
        if (value != nullptr && value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return false;
        }
        type_ = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(type)));
        value_ = Ref::borrow(type);
        traceback_ = traceback != nullptr ? Ref::borrow(traceback) : Ref::steal(PyException_GetTraceback(type));
        return true;
    }

    // Makes it the exception now set.
    void raise() {
        PyObject* type = type_.release();
        PyObject* value = value_.release();
        PyObject* traceback = traceback_.release();
        if (traceback != nullptr) PyException_SetTraceback(value, traceback);
        PyErr_Restore(type, value, traceback);
    }

private:
    Ref type_;
    Ref value_;
    Ref traceback_;
};

// Asks the awaited object to close, as the host does on close() and on
// GeneratorExit; false, with its error set, when its close() failed. A `close`
// that cannot even be looked up is reported as unraisable and taken as none.
bool close_inner(PyObject* awaited) {
    PyObject* close = nullptr;
    if (_PyObject_LookupAttr(awaited, T.close, &close) < 0) PyErr_WriteUnraisable(awaited);
    if (close == nullptr) return true;
    Ref method = Ref::steal(close);
    return static_cast<bool>(Ref::steal(PyObject_CallNoArgs(method.get())));
}

// The awaited object's throw() answered: a value it yields, or its end.
Outcome after_inner_throw(CoroutineObject* c, PyObject* value) {
    if (value != nullptr) return {Ref::steal(value), true};
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return raise_at_await(c);
    PyObject* returned = nullptr;
    if (_PyGen_FetchStopIterationValue(&returned) < 0) return raise_at_await(c);
    return after_inner_step(c, PYGEN_RETURN, returned);
}

// close() while suspended: the awaited object is closed, then GeneratorExit
// is raised at the await.
Outcome close_suspended(CoroutineObject* c) {
    bool closed;
    {
        Ref awaited = Ref::borrow(c->awaiting);
        closed = close_inner(awaited.get());
    }
    if (closed) PyErr_SetNone(PyExc_GeneratorExit);
    return raise_at_await(c);
}

// --- the protocol -------------------------------------------------------------

void finish(CoroutineObject* c) {
    c->phase = Phase::finished;
    release_locals(c);
}

// While the body runs: marked as running, and its own exception state the
// innermost, as the host pushes a frame's on resume and pops it on suspend.
class Resumed {
public:
    explicit Resumed(CoroutineObject* c) : c_(c), thread_(PyThreadState_Get()) {
        c->running = true;
        c->exc_state.previous_item = thread_->exc_info;
        thread_->exc_info = &c->exc_state;
    }
    Resumed(const Resumed&) = delete;
    Resumed& operator=(const Resumed&) = delete;
    ~Resumed() {
        thread_->exc_info = c_->exc_state.previous_item;
        c_->exc_state.previous_item = nullptr;
        c_->running = false;
    }

private:
    CoroutineObject* c_;
    PyThreadState* thread_;
};

// Runs one stretch of the body and reports it as the host's send protocol does.
template <class Step>
PySendResult run(CoroutineObject* c, PyObject** result, Step&& step) {
    *result = nullptr;
    Outcome outcome;
    bool failed = false;
    {
        Resumed resumed(c);
        try {
            outcome = step();
        } catch (const PyError&) {
            failed = true;
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            failed = true;
        }
    }
    if (!failed && outcome.suspended) {
        *result = outcome.value.release();
        return PYGEN_NEXT;
    }
    finish(c);
    if (failed) {
        // As in the host's coroutines: a StopIteration escaping the body
        // would read as a normal return to whoever drives it.
        if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
            _PyErr_FormatFromCause(PyExc_RuntimeError, "coroutine raised StopIteration");
        }
        return PYGEN_ERROR;
    }
    *result = outcome.value.release();
    return PYGEN_RETURN;
}

bool refuse_if_running(CoroutineObject* c) {
    if (!c->running) return false;
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return true;
}

void refuse_reuse() { PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine"); }

PySendResult Coroutine_am_send(PyObject* self, PyObject* arg, PyObject** result) noexcept {
    CoroutineObject* c = as_coroutine(self);
    *result = nullptr;
    if (refuse_if_running(c)) return PYGEN_ERROR;
    switch (c->phase) {
    case Phase::created:
        if (arg != Py_None) {
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
        return run(c, result, [c] { return start(c); });
    case Phase::awaiting:
        return run(c, result, [c, arg] { return send_inner(c, arg); });
    case Phase::finished:
        break;
    }
    refuse_reuse();
    return PYGEN_ERROR;
}

// The send result as a method's return: a yielded value, or StopIteration
// carrying the result.
PyObject* as_method_result(PySendResult sent, PyObject* value) {
    if (sent != PYGEN_RETURN) return value;
    if (value == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
    } else {
        _PyGen_SetStopIterationValue(value);
    }
    Py_DECREF(value);
    return nullptr;
}

PyObject* Coroutine_send(PyObject* self, PyObject* arg) noexcept {
    PyObject* value = nullptr;
    const PySendResult sent = Coroutine_am_send(self, arg, &value);
    return as_method_result(sent, value);
}

PyObject* Coroutine_iternext(PyObject* self) noexcept { return Coroutine_send(self, Py_None); }

// One stretch of the body, as a method returns it.
template <class Step>
PyObject* run_as_method(CoroutineObject* c, Step&& step) {
    PyObject* value = nullptr;
    const PySendResult sent = run(c, &value, step);  // writes value: read it after
    return as_method_result(sent, value);
}

// Raises a thrown exception wherever the coroutine stands now (taking it may
// have run Python code that moved the coroutine on): at the body's start, at
// the await, or nowhere once it has finished.
PyObject* deliver(CoroutineObject* c, Thrown& thrown) {
    if (refuse_if_running(c)) return nullptr;
    switch (c->phase) {
    case Phase::created:
        return run_as_method(c, [&]() -> Outcome {
            thrown.raise();
            throw PyError{};
        });
    case Phase::awaiting:
        return run_as_method(c, [&] {
            thrown.raise();
            return raise_at_await(c);
        });
    case Phase::finished:
        break;
    }
    refuse_reuse();
    return nullptr;
}

// The lookup of `throw` ran Python code that finished the coroutine. The
// awaited object still gets the call, as the host gives it; a value it yields
// passes out, but its end has nothing left to resume, so that is refused.
PyObject* throw_into_finished(CoroutineObject* c, PyObject* method, PyObject* const* args,
                              Py_ssize_t nargs) {
    c->running = true;
    PyObject* value = PyObject_Vectorcall(method, args, static_cast<size_t>(nargs), nullptr);
    c->running = false;
    if (value != nullptr) return value;
    PendingError ended;
    refuse_reuse();
    ended.chain_under_current();
    return nullptr;
}

// throw() while suspended, in the host's order: the awaited object gets the
// arguments as they are, and only an exception raised here is checked first.
// Arguments refused here leave the coroutine suspended. The awaited object is
// held throughout: each lookup and call may finish the coroutine.
PyObject* throw_suspended(CoroutineObject* c, PyObject* const* args, Py_ssize_t nargs) {
    Ref awaited = Ref::borrow(c->awaiting);
    Thrown thrown;
    if (PyErr_GivenExceptionMatches(args[0], PyExc_GeneratorExit)) {
        c->running = true;
        const bool closed = close_inner(awaited.get());
        c->running = false;
        if (!closed) return run_as_method(c, [c] { return raise_at_await(c); });
        if (!thrown.take(args, nargs)) return nullptr;
        return deliver(c, thrown);
    }
    PyObject* method = nullptr;
    if (_PyObject_LookupAttr(awaited.get(), T.throw_, &method) < 0) return nullptr;
    Ref throw_method = Ref::steal(method);
    if (!throw_method) {
        if (!thrown.take(args, nargs)) return nullptr;
        return deliver(c, thrown);
    }
    if (c->phase != Phase::awaiting) return throw_into_finished(c, throw_method.get(), args, nargs);
    return run_as_method(c, [&] {
        return after_inner_throw(
            c, PyObject_Vectorcall(throw_method.get(), args, static_cast<size_t>(nargs), nullptr));
    });
}

PyObject* Coroutine_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    CoroutineObject* c = as_coroutine(self);
    if (!_PyArg_CheckPositional("throw", nargs, 1, 3)) return nullptr;
    if (c->phase == Phase::awaiting && !c->running) return throw_suspended(c, args, nargs);
    Thrown thrown;
    if (!thrown.take(args, nargs)) return nullptr;
    return deliver(c, thrown);
}

PyObject* Coroutine_close(PyObject* self, PyObject*) noexcept {
    CoroutineObject* c = as_coroutine(self);
    if (refuse_if_running(c)) return nullptr;
    if (c->phase != Phase::awaiting) {
        finish(c);
        Py_RETURN_NONE;
    }
    // The body never awaits again once the await failed: it either ends with
    // a record, which close() drops as the host does, or raises.
    PyObject* value = nullptr;
    if (run(c, &value, [c] { return close_suspended(c); }) != PYGEN_ERROR) {
        Py_XDECREF(value);
        Py_RETURN_NONE;
    }
    if (!PyErr_ExceptionMatches(PyExc_GeneratorExit)) return nullptr;
    PyErr_Clear();
    Py_RETURN_NONE;
}

// `await coroutine`: a second awaiter is refused while the first one's await
// is pending, as the host refuses it.
PyObject* Coroutine_await(PyObject* self) noexcept {
    CoroutineObject* c = as_coroutine(self);
    if (c->phase == Phase::awaiting && !c->running) {
        PyErr_SetString(PyExc_RuntimeError, awaited_already);
        return nullptr;
    }
    return Py_NewRef(self);
}

// coroutine.__await__(), which the host answers without that check.
PyObject* Coroutine_await_method(PyObject* self, PyObject*) noexcept { return Py_NewRef(self); }

// --- attributes -----------------------------------------------------------------

PyObject* get_name(PyObject* self, void*) noexcept { return Py_NewRef(T.*as_coroutine(self)->body->name); }
PyObject* get_qualname(PyObject* self, void*) noexcept {
    return Py_NewRef(T.*as_coroutine(self)->body->qualname);
}
PyObject* get_await(PyObject* self, void*) noexcept {
    PyObject* awaiting = as_coroutine(self)->awaiting;
    return Py_NewRef(awaiting != nullptr ? awaiting : Py_None);
}
PyObject* get_running(PyObject* self, void*) noexcept { return PyBool_FromLong(as_coroutine(self)->running); }

PyGetSetDef coroutine_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef coroutine_methods[] = {
    {"send", Coroutine_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Coroutine_throw)), METH_FASTCALL,
     nullptr},
    {"close", Coroutine_close, METH_NOARGS, nullptr},
    // Beside the am_await slot, not instead of its wrapper's place: see Coroutine_await_method.
    {"__await__", Coroutine_await_method, METH_NOARGS | METH_COEXIST,
     "Return an iterator to be used in await expression."},
    {nullptr, nullptr, 0, nullptr},
};

PyAsyncMethods coroutine_async = {
    .am_await = Coroutine_await,
    .am_aiter = nullptr,
    .am_anext = nullptr,
    .am_send = Coroutine_am_send,
};

// --- lifecycle ----------------------------------------------------------------

PyObject* Coroutine_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<coroutine object %U at %p>", T.*as_coroutine(self)->body->qualname,
                                self);
}

// "never awaited", through the warnings module with the coroutine as the
// warning's source, so that tracemalloc can show where it was made; without
// that module (at exit), through the interpreter's own warning, as the host.
void warn_never_awaited(PyObject* self) {
    Ref message = Ref::steal(PyUnicode_FromFormat("coroutine '%U' was never awaited",
                                                  T.*as_coroutine(self)->body->qualname));
    if (!message) {
        PyErr_WriteUnraisable(self);
        return;
    }
    Ref warnings = Ref::steal(_Py_IsFinalizing() ? PyImport_GetModule(T.warnings)
                                                 : PyImport_Import(T.warnings));
    if (!warnings && PyErr_ExceptionMatches(PyExc_ImportError)) PyErr_Clear();
    PyObject* found = nullptr;
    if (warnings) _PyObject_LookupAttr(warnings.get(), T.warn, &found);
    Ref warn = Ref::steal(found);
    bool warned = false;
    if (warn) {
        Ref level = Ref::steal(PyLong_FromLong(1));
        PyObject* args[] = {message.get(), PyExc_RuntimeWarning, level.get(), self};
        Ref result = level ? Ref::steal(PyObject_Vectorcall(warn.get(), args, 4, nullptr)) : Ref();
        warned = result || PyErr_ExceptionMatches(PyExc_RuntimeWarning);
    }
    if (PyErr_Occurred()) PyErr_WriteUnraisable(self);
    if (!warned && PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "%U", message.get()) < 0) {
        PyErr_WriteUnraisable(self);
    }
}

// Never awaited: warn, as the host does. Suspended: close the awaited object.
void Coroutine_finalize(PyObject* self) noexcept {
    CoroutineObject* c = as_coroutine(self);
    PendingError pending;
    if (c->phase == Phase::created) {
        finish(c);
        warn_never_awaited(self);
    } else if (c->phase == Phase::awaiting && !c->running) {
        PyObject* result = Coroutine_close(self, nullptr);
        if (result == nullptr) PyErr_WriteUnraisable(self);
        Py_XDECREF(result);
    }
}

int Coroutine_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    CoroutineObject* c = as_coroutine(self);
    for (PyObject* local : c->locals) Py_VISIT(local);
    Py_VISIT(c->awaiting);
    Py_VISIT(c->exc_state.exc_value);
    return 0;
}

// Collected in a cycle: what it held is gone, so it cannot run again.
int Coroutine_clear(PyObject* self) noexcept {
    CoroutineObject* c = as_coroutine(self);
    c->phase = Phase::finished;
    release_locals(c);
    return 0;
}

void Coroutine_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    if (as_coroutine(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    PyObject_GC_Track(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    release_locals(as_coroutine(self));
    PyObject_GC_Del(self);
}

PyTypeObject CoroutineType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vorlin.core.summarizer.coroutine",
    .tp_basicsize = sizeof(CoroutineObject),
    .tp_dealloc = Coroutine_dealloc,
    .tp_as_async = &coroutine_async,
    .tp_repr = Coroutine_repr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "A coroutine of the vorlin.core.summarizer module.",
    .tp_traverse = Coroutine_traverse,
    .tp_clear = Coroutine_clear,
    .tp_weaklistoffset = offsetof(CoroutineObject, weakrefs),
    // An iterator of its own, as __await__ returns it: `yield from` takes it.
    .tp_iter = PyObject_SelfIter,
    .tp_iternext = Coroutine_iternext,
    .tp_methods = coroutine_methods,
    .tp_getset = coroutine_getset,
    .tp_finalize = Coroutine_finalize,
};

}  // namespace

void ready_coroutine_type() { check(PyType_Ready(&CoroutineType)); }

Ref make_coroutine(const CoroutineBody& body, PyObject* const* locals) {
    CoroutineObject* c = PyObject_GC_New(CoroutineObject, &CoroutineType);
    if (c == nullptr) throw PyError{};
    c->body = &body;
    for (std::size_t i = 0; i < coroutine_locals; ++i) c->locals[i] = Py_NewRef(locals[i]);
    c->awaiting = nullptr;
    c->weakrefs = nullptr;
    c->exc_state.exc_value = nullptr;
    c->exc_state.previous_item = nullptr;
    c->phase = Phase::created;
    c->running = false;
    PyObject_GC_Track(c);
    return Ref::steal(reinterpret_cast<PyObject*>(c));
}

}  // namespace summarizer
