// The function type: introspection, argument binding, method binding.
#include "function.hpp"

#include <structmember.h>

#include <array>
#include <cstddef>

#include "values.hpp"

namespace summarizer {
namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;
    PyObject* annotations;
    PyObject* globals;
    PyObject* code;
    PyObject* dict;
    PyObject* weakrefs;
    PyObject* is_coroutine;  // resolved on first access
};

FunctionObject* as_function(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

// --- argument binding -------------------------------------------------------

bool positional_count_error(const FunctionSpec& spec, Py_ssize_t given) {
    const auto count = static_cast<Py_ssize_t>(spec.params.size());
    const Py_ssize_t required = count - spec.defaults;
    Py_ssize_t expected = count;
    const char* bound = "at most";
    if (given < required) {
        expected = required;
        bound = "at least";
    }
    if (spec.defaults == 0) bound = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 spec.name, bound, expected, expected == 1 ? "" : "s", given);
    return false;
}

// The parameter that a keyword names, as the host matches it: by identity
// (the usual case, since both sides are interned), then by `==`. -1 when it
// names none; throws when a comparison fails.
Py_ssize_t named_param(const FunctionSpec& spec, PyObject* key) {
    const auto count = static_cast<Py_ssize_t>(spec.params.size());
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (T.*spec.params[i].text == key) return i;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (equals(key, T.*spec.params[i].text)) return i;
    }
    return -1;
}

void keyword_error(const FunctionSpec& spec, PyObject* key, bool bound_before) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.name);
    } else if (bound_before) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                     spec.name, key);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.name, key);
    }
}

bool bind_no_params(const FunctionSpec& spec, Py_ssize_t nargs, Py_ssize_t nkw) {
    if (nkw > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s", spec.name, "takes no keyword arguments");
        return false;
    }
    if (nargs > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", spec.name, "takes no arguments",
                     nargs);
        return false;
    }
    return true;
}

// Binds positional and keyword arguments to the parameters, in order. A
// missing required parameter is reported before any stray keyword; of those,
// the first one given.
bool bind(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** bound) {
    const auto count = static_cast<Py_ssize_t>(spec.params.size());
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    if (count == 0) return bind_no_params(spec, nargs, nkw);
    if (nargs > count) return positional_count_error(spec, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
    PyObject* stray = nullptr;
    bool stray_bound_before = false;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        const Py_ssize_t i = PyUnicode_Check(key) ? named_param(spec, key) : -1;
        if (i >= 0 && bound[i] == nullptr) {
            bound[i] = args[nargs + k];
        } else if (stray == nullptr) {
            stray = key;
            stray_bound_before = i >= 0;
        }
    }
    const Py_ssize_t required = count - spec.defaults;
    for (Py_ssize_t i = nargs; i < count; ++i) {
        if (bound[i] != nullptr) continue;
        if (i < required) return positional_count_error(spec, i);
        bound[i] = Py_None;
    }
    if (stray == nullptr) return true;
    keyword_error(spec, stray, stray_bound_before);
    return false;
}

// The entry checks: exactly the declared built-in type, None only where allowed.
bool check_types(const FunctionSpec& spec, PyObject* const* bound) {
    for (std::size_t i = 0; i < spec.params.size(); ++i) {
        const Param& param = spec.params[i];
        PyObject* value = bound[i];
        if (param.exact == nullptr || Py_IS_TYPE(value, param.exact)) continue;
        if (param.none_ok && value == Py_None) continue;
        PyErr_Format(PyExc_TypeError,
                     "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     param.name, param.exact->tp_name, Py_TYPE(value)->tp_name);
        return false;
    }
    return true;
}

PyObject* Function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
    const FunctionSpec& spec = *as_function(callable)->spec;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    std::array<PyObject*, max_params> bound{};
    PyObject* const* params = args;
    const bool simple = (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) &&
                        nargs == static_cast<Py_ssize_t>(spec.params.size()) && nargs > 0;
    if (!simple) {
        bool bound_all = false;
        try {
            bound_all = bind(spec, args, nargs, kwnames, bound.data());
        } catch (const PyError&) {  // a keyword's own __eq__ failed
        }
        if (!bound_all) return nullptr;
        params = bound.data();
    }
    if (!check_types(spec, params)) return nullptr;
    return boundary([&] { return spec.body(params); });
}

// --- attributes ---------------------------------------------------------------

PyObject* get_name(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->name); }
PyObject* get_qualname(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->qualname); }

int set_text(PyObject** slot, PyObject* value, const char* what) noexcept {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(*slot, Py_NewRef(value));
    return 0;
}

int set_name(PyObject* self, PyObject* value, void*) noexcept {
    return set_text(&as_function(self)->name, value, "__name__");
}
int set_qualname(PyObject* self, PyObject* value, void*) noexcept {
    return set_text(&as_function(self)->qualname, value, "__qualname__");
}

PyObject* get_doc(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->doc); }
int set_doc(PyObject* self, PyObject* value, void*) noexcept {
    Py_SETREF(as_function(self)->doc, Py_NewRef(value != nullptr ? value : Py_None));
    return 0;
}

PyObject* get_defaults(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->defaults); }
PyObject* get_kwdefaults(PyObject*, void*) noexcept { Py_RETURN_NONE; }
PyObject* get_globals(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->globals); }
PyObject* get_code(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->code); }

PyObject* get_annotations(PyObject* self, void*) noexcept {
    return Py_NewRef(as_function(self)->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) noexcept {
    if (value == nullptr || !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_SETREF(as_function(self)->annotations, Py_NewRef(value));
    return 0;
}

// The marker of asyncio.coroutines for a coroutine function, False for every
// other function; kept once resolved. True stands in while that module cannot
// give it, and is not kept: the failure may pass (memory pressure, an import
// path set up later), and asyncio must then still recognise the method.
PyObject* get_is_coroutine(PyObject* self, void*) noexcept {
    FunctionObject* f = as_function(self);
    if (f->is_coroutine != nullptr) return Py_NewRef(f->is_coroutine);
    if (f->spec->coroutine) {
        Ref fromlist = Ref::steal(PyList_New(1));
        if (!fromlist) return nullptr;
        PyList_SET_ITEM(fromlist.get(), 0, Py_NewRef(T.is_coroutine));
        Ref module = Ref::steal(
            PyImport_ImportModuleLevelObject(T.asyncio_coroutines, nullptr, nullptr, fromlist.get(), 0));
        if (module) f->is_coroutine = PyObject_GetAttr(module.get(), T.is_coroutine);
        if (f->is_coroutine != nullptr) return Py_NewRef(f->is_coroutine);
        PyErr_Clear();
        Py_RETURN_TRUE;
    }
    f->is_coroutine = Py_NewRef(Py_False);
    return Py_NewRef(Py_False);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"_is_coroutine", get_is_coroutine, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Pickled by reference, as the host pickles its own functions.
PyObject* Function_reduce(PyObject* self, PyObject*) noexcept { return Py_NewRef(as_function(self)->qualname); }

PyMethodDef function_methods[] = {
    {"__reduce__", Function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// --- lifecycle ----------------------------------------------------------------

PyObject* Function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* Function_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int Function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    FunctionObject* f = as_function(self);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->dict);
    Py_VISIT(f->is_coroutine);
    return 0;
}

int Function_clear(PyObject* self) noexcept {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->code);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->is_coroutine);
    return 0;
}

void Function_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    Function_clear(self);
    PyObject_GC_Del(self);
}

PyTypeObject FunctionType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vorlin.core.summarizer.function",
    .tp_basicsize = sizeof(FunctionObject),
    .tp_dealloc = Function_dealloc,
    .tp_vectorcall_offset = offsetof(FunctionObject, vectorcall),
    .tp_repr = Function_repr,
    .tp_call = PyVectorcall_Call,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                Py_TPFLAGS_METHOD_DESCRIPTOR,
    .tp_doc = "A function of the vorlin.core.summarizer module.",
    .tp_traverse = Function_traverse,
    .tp_clear = Function_clear,
    .tp_weaklistoffset = offsetof(FunctionObject, weakrefs),
    .tp_methods = function_methods,
    .tp_members = function_members,
    .tp_getset = function_getset,
    .tp_descr_get = Function_descr_get,
    .tp_dictoffset = offsetof(FunctionObject, dict),
};

// --- construction ---------------------------------------------------------------

// A code object that tells inspect the parameter names and count; it holds no
// bytecode that is ever run.
Ref make_code(const FunctionSpec& spec) {
    Ref empty = Ref::check(
        reinterpret_cast<PyObject*>(PyCode_NewEmpty("<vorlin.core.summarizer>", spec.name, 1)));
    const auto count = static_cast<Py_ssize_t>(spec.params.size());
    Ref names = Ref::check(PyTuple_New(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyTuple_SET_ITEM(names.get(), i, Py_NewRef(T.*spec.params[i].text));
    }
    Ref replace = Ref::check(PyObject_GetAttrString(empty.get(), "replace"));
    Ref no_args = Ref::check(PyTuple_New(0));
    Ref changes = Ref::check(PyDict_New());
    Ref argcount = Ref::check(PyLong_FromSsize_t(count));
    const long flags = CO_OPTIMIZED | CO_NEWLOCALS | (spec.coroutine ? CO_COROUTINE : 0);
    Ref code_flags = Ref::check(PyLong_FromLong(flags));
    check(PyDict_SetItemString(changes.get(), "co_argcount", argcount.get()));
    check(PyDict_SetItemString(changes.get(), "co_nlocals", argcount.get()));
    check(PyDict_SetItemString(changes.get(), "co_varnames", names.get()));
    check(PyDict_SetItemString(changes.get(), "co_flags", code_flags.get()));
    check(PyDict_SetItemString(changes.get(), "co_qualname", T.*spec.qualname));
    return Ref::check(PyObject_Call(replace.get(), no_args.get(), changes.get()));
}

Ref make_annotations(const FunctionSpec& spec) {
    Ref annotations = Ref::check(PyDict_New());
    for (const Annotation& a : spec.annotations) {
        check(PyDict_SetItem(annotations.get(), T.*a.key, T.*a.value));
    }
    return annotations;
}

Ref make_defaults(const FunctionSpec& spec) {
    if (spec.defaults == 0) return Ref::borrow(Py_None);
    Ref defaults = Ref::check(PyTuple_New(spec.defaults));
    for (Py_ssize_t i = 0; i < spec.defaults; ++i) {
        PyTuple_SET_ITEM(defaults.get(), i, Py_NewRef(Py_None));
    }
    return defaults;
}

}  // namespace

void ready_function_type() { check(PyType_Ready(&FunctionType)); }

Ref make_function(const FunctionSpec& spec, PyObject* globals) {
    Ref code = make_code(spec);
    Ref annotations = make_annotations(spec);
    Ref defaults = make_defaults(spec);
    FunctionObject* f = PyObject_GC_New(FunctionObject, &FunctionType);
    if (f == nullptr) throw PyError{};
    f->vectorcall = Function_vectorcall;
    f->spec = &spec;
    f->name = Py_NewRef(T.*spec.name_text);
    f->qualname = Py_NewRef(T.*spec.qualname);
    f->module = Py_NewRef(T.module_name);
    f->doc = Py_NewRef(spec.doc != nullptr ? T.*spec.doc : Py_None);
    f->defaults = defaults.release();
    f->annotations = annotations.release();
    f->globals = Py_NewRef(globals);
    f->code = code.release();
    f->dict = nullptr;
    f->weakrefs = nullptr;
    f->is_coroutine = nullptr;
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace summarizer
