// PyInit_summarizer and the create and exec steps: the one file that knows
// every function of the module, and puts each in its place.
#include "answer.hpp"
#include "coroutine.hpp"
#include "function.hpp"
#include "record.hpp"
#include "render.hpp"
#include "runtime.hpp"
#include "summarizer.hpp"
#include "texts.hpp"
#include "transcript.hpp"

namespace summarizer {
namespace {

// --- create step ----------------------------------------------------------------

int check_single_interpreter() {
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return -1;
    if (!process.interpreter_recorded) {
        process.interpreter_recorded = true;
        process.interpreter_id = id;
    } else if (process.interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return -1;
    }
    return 0;
}

// Copies spec.<from> into the module's dict as <to>; a missing attribute is skipped.
void copy_spec_attribute(PyObject* spec, PyObject* dict, const char* from, const char* to,
                         bool allow_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyError{};
        PyErr_Clear();
        return;
    }
    if (allow_none || value.get() != Py_None) check(PyDict_SetItemString(dict, to, value.get()));
}

PyObject* Module_create(PyObject* spec, PyModuleDef*) noexcept {
    if (check_single_interpreter() < 0) return nullptr;
    // Under whatever name it is imported again: the module lives once per process.
    if (process.module != nullptr) return Py_NewRef(process.module);
    return boundary([&] {
        Ref name = Ref::check(PyObject_GetAttrString(spec, "name"));
        Ref module = Ref::check(PyModule_NewObject(name.get()));
        PyObject* dict = PyModule_GetDict(module.get());
        copy_spec_attribute(spec, dict, "loader", "__loader__", true);
        copy_spec_attribute(spec, dict, "origin", "__file__", true);
        copy_spec_attribute(spec, dict, "parent", "__package__", true);
        copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", false);
        return module;
    });
}

// --- exec step -------------------------------------------------------------------

void set(PyObject* dict, PyObject* name, Ref value) { check(PyDict_SetItem(dict, name, value.get())); }

void check_runtime_version() {
    const int major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return;
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, "vorlin.core.summarizer", "does not match",
                  major, minor);
    check(PyErr_WarnEx(nullptr, message, 1));
}

// Enters the module under its package path unless that entry exists; true when entered.
bool enter_in_loaded_modules(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    if (PyDict_GetItemWithError(modules, T.module_name) != nullptr) return false;
    throw_if_error_set();
    check(PyDict_SetItem(modules, T.module_name, module));
    return true;
}

Ref import_module(PyObject* name, PyObject* fromlist = nullptr) {
    return Ref::check(PyImport_ImportModuleLevelObject(name, process.globals, nullptr, fromlist, 0));
}

// `from typing import Any`
Ref import_any() {
    Ref typing = Ref::steal(PyImport_GetModule(T.typing));
    if (!typing) throw_if_error_set();
    if (!typing || !PyObject_HasAttr(typing.get(), T.Any)) {
        Ref fromlist = Ref::check(PyList_New(1));
        PyList_SET_ITEM(fromlist.get(), 0, Py_NewRef(T.Any));
        typing = import_module(T.typing, fromlist.get());
    }
    PyObject* value = PyObject_GetAttr(typing.get(), T.Any);
    if (value == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        Ref submodule = Ref::check(PyUnicode_FromFormat("%U.%U", T.typing, T.Any));
        value = PyImport_GetModule(submodule.get());
    }
    if (value == nullptr) {
        throw_error(PyExc_ImportError, "cannot import name %S", T.Any);
    }
    return Ref::steal(value);
}

Ref make_class(PyObject* globals) {
    Ref namespace_ = Ref::check(PyDict_New());
    PyObject* ns = namespace_.get();
    check(PyDict_SetItem(ns, T.dunder_module, T.module_name));
    check(PyDict_SetItem(ns, T.dunder_qualname, T.ConversationSummarizer));
    check(PyDict_SetItem(ns, T.dunder_doc, T.class_doc));
    set(ns, T.dunder_init, make_function(init_function, globals));
    set(ns, T.summarize_messages, make_function(summarize_messages_function, globals));
    set(ns, T.format_summary_for_context, make_function(format_summary_for_context_function, globals));
    Ref bases = Ref::check(PyTuple_New(0));
    return Ref::check(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyType_Type),
                                                   T.ConversationSummarizer, bases.get(), ns,
                                                   nullptr));
}

// The module's top-level statements, in order.
void run_top_level(PyObject* d) {
    set(d, T.json, import_module(T.json));
    set(d, T.logging, import_module(T.logging));
    set(d, T.time, import_module(T.time));
    set(d, T.Any, import_any());
    Ref logging = global(T.logging);
    set(d, T.logger, Ref::check(PyObject_CallMethodOneArg(logging.get(), T.getLogger, T.logger_name)));
    check(PyDict_SetItem(d, T.SUMMARIZE_PROMPT, T.prompt));
    set(d, T.ConversationSummarizer, make_class(d));
    set(d, T.format_messages_for_summary, make_function(format_messages_for_summary_function, d));
    set(d, T.brief_args, make_function(brief_args_function, d));
    set(d, T.parse_summary, make_function(parse_summary_function, d));
    set(d, T.empty_summary, make_function(empty_summary_function, d));
    set(d, T.fallback_summary, make_function(fallback_summary_function, d));
    set(d, T.dunder_test, Ref::check(PyDict_New()));
}

// Undoes what a failed exec step left behind, so a later import starts afresh.
void forget_failed_module(bool entered) {
    PendingError error;
    if (entered && PyDict_GetItemWithError(PyImport_GetModuleDict(), T.module_name) == process.module) {
        if (PyDict_DelItem(PyImport_GetModuleDict(), T.module_name) < 0) PyErr_Clear();
    }
    PyErr_Clear();
    Py_CLEAR(process.module);
    Py_CLEAR(process.globals);
}

int Module_exec(PyObject* module) noexcept {
    if (process.module != nullptr) {
        if (process.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'summarizer' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    process.module = Py_NewRef(module);
    process.globals = Py_NewRef(PyModule_GetDict(module));
    bool statements_started = false;
    bool entered = false;
    try {
        PyObject* builtins = PyImport_AddModule("builtins");
        if (builtins == nullptr) throw PyError{};
        process.builtins = PyModule_GetDict(builtins);  // borrowed for the life of the process
        check(PyDict_SetItemString(process.globals, "__builtins__", builtins));
        check_runtime_version();
        create_texts();
        ready_function_type();
        ready_coroutine_type();
        entered = enter_in_loaded_modules(module);
        statements_started = true;
        run_top_level(process.globals);
        return 0;
    } catch (const PyError&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    if (statements_started) _PyTraceback_Add("init vorlin.core.summarizer", "vorlin/core/summarizer", 1);
    forget_failed_module(entered);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(Module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(Module_exec)},
    {0, nullptr},
};

PyMethodDef module_functions[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "summarizer",
    .m_doc = module_doc,
    .m_size = 0,
    .m_methods = module_functions,
    .m_slots = module_slots,
};

}  // namespace
}  // namespace summarizer

PyMODINIT_FUNC PyInit_summarizer() noexcept { return PyModuleDef_Init(&summarizer::module_def); }
