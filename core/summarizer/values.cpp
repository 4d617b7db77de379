// Reading values the way the host's own code and formatting would.
#include "values.hpp"

#include "texts.hpp"

namespace summarizer {

Ref mapping_get(PyObject* obj, PyObject* key) {
    if (PyDict_CheckExact(obj)) return get_or(obj, key, [] { return Ref::borrow(Py_None); });
    PyObject* args[] = {obj, key};
    return Ref::check(PyObject_VectorcallMethod(T.get, args, 2, nullptr));
}

Ref mapping_get(PyObject* obj, PyObject* key, PyObject* fallback) {
    return get_or(obj, key, [&] { return Ref::borrow(fallback); });
}

Ref call_get(PyObject* obj, PyObject* key, PyObject* fallback) {
    PyObject* args[] = {obj, key, fallback};
    return Ref::check(PyObject_VectorcallMethod(T.get, args, 3, nullptr));
}

// One lookup, as the host's own item access makes: a key missing from an
// exact dict is not looked up a second time to raise its KeyError.
Ref subscript(PyObject* obj, PyObject* key) { return Ref::check(PyObject_GetItem(obj, key)); }

namespace {

// Built-in values whose truth test runs no code of anyone's.
bool plain_truth(PyObject* value) {
    return PyUnicode_CheckExact(value) || PyList_CheckExact(value) || PyTuple_CheckExact(value) ||
           PyDict_CheckExact(value) || PyLong_CheckExact(value) || PyFloat_CheckExact(value) ||
           value == Py_None || PyBool_Check(value);
}

}  // namespace

Ref get_if_true(PyObject* obj, PyObject* key) {
    Ref value = mapping_get(obj, key);
    if (!is_true(value.get())) return Ref();
    // The second read may be skipped only where nobody could see it: no code
    // ran in the first read or the truth test, so it would give this value.
    if (PyDict_CheckExact(obj) && plain_truth(value.get()) && exact_str_keys(obj)) return value;
    return subscript(obj, key);
}

Ref text_of(PyObject* value) {
    if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
    if (PyLong_CheckExact(value) || PyFloat_CheckExact(value)) {
        return Ref::check(Py_TYPE(value)->tp_repr(value));
    }
    return Ref::check(PyObject_Format(value, T.empty));
}

Ref str_of(PyObject* value) {
    if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
    return Ref::check(PyObject_Str(value));
}

namespace {

// The error of a cut of a value that has no item access at all.
[[noreturn]] void throw_unsliceable(PyObject* value) {
    throw_type_error("'%.200s' object is unsliceable", Py_TYPE(value)->tp_name);
}

bool has_item_access(PyTypeObject* type) {
    return (type->tp_as_mapping != nullptr && type->tp_as_mapping->mp_subscript != nullptr) ||
           (type->tp_as_sequence != nullptr && type->tp_as_sequence->sq_item != nullptr);
}

// cls[key] for a class whose own type has no item access, as the host makes
// it: its __class_getitem__, looked up once, called with the key. A class
// without one has no item access at all.
Ref class_item(PyObject* cls, PyObject* key) {
    PyObject* found = nullptr;
    check(_PyObject_LookupAttr(cls, T.dunder_class_getitem, &found));
    Ref method = Ref::steal(found);
    if (!method || method.get() == Py_None) throw_unsliceable(cls);
    return Ref::check(PyObject_CallOneArg(method.get(), key));
}

}  // namespace

// As `value[:length]` does for a value with a length: the type's own item
// access given a slice, with the host's errors for one that cannot take it.
Ref prefix(PyObject* value, Py_ssize_t length) {
    if (PyUnicode_CheckExact(value)) return Ref::check(PyUnicode_Substring(value, 0, length));
    Ref stop = Ref::check(PyLong_FromSsize_t(length));
    Ref slice = Ref::check(PySlice_New(nullptr, stop.get(), nullptr));
    if (has_item_access(Py_TYPE(value))) return Ref::check(PyObject_GetItem(value, slice.get()));
    if (PyType_Check(value)) return class_item(value, slice.get());
    throw_unsliceable(value);
}

Ref shorten(Ref value, Py_ssize_t length, PyObject* marker) {
    if (check_size(PyObject_Length(value.get())) <= length) return value;
    Ref cut = prefix(value.get(), length);
    if (marker == nullptr) return cut;
    return Ref::check(PyNumber_Add(cut.get(), marker));
}

}  // namespace summarizer
