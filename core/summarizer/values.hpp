// Reading values the way the host's own code and formatting would: lookups,
// truth, iteration, comparison, text, cuts.
#pragma once

#include <cstddef>
#include <cstring>

#include "ref.hpp"

namespace summarizer {

// obj.get(key) and obj.get(key, fallback), through the object's own `get`
// (read directly for an exact dict, whose `get` nobody can replace).
Ref mapping_get(PyObject* obj, PyObject* key);
Ref mapping_get(PyObject* obj, PyObject* key, PyObject* fallback);

// obj.get(key, fallback) through the object's own `get`.
Ref call_get(PyObject* obj, PyObject* key, PyObject* fallback);

// obj.get(key, make_fallback()), where an exact dict only makes the fallback
// when the key is missing.
template <class MakeFallback>
Ref get_or(PyObject* obj, PyObject* key, MakeFallback&& make_fallback) {
    if (PyDict_CheckExact(obj)) {
        PyObject* value = PyDict_GetItemWithError(obj, key);
        if (value != nullptr) return Ref::borrow(value);
        throw_if_error_set();
        return make_fallback();
    }
    Ref fallback = make_fallback();
    return call_get(obj, key, fallback.get());
}

// obj[key]
Ref subscript(PyObject* obj, PyObject* key);

// Two str with the same characters (a str's characters are stored in its
// narrowest kind, so a different kind means different characters).
inline bool equal_texts(PyObject* a, PyObject* b) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    return length == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<std::size_t>(length * PyUnicode_KIND(a))) == 0;
}

// a == b for two exact str: two interned ones are equal only when they are
// the same object.
inline bool same_text(PyObject* a, PyObject* b) {
    return a == b || (!(PyUnicode_CHECK_INTERNED(a) && PyUnicode_CHECK_INTERNED(b)) && equal_texts(a, b));
}

// A dict whose keys are all exact str: a lookup in it compares characters
// only, so no code of anyone's runs (any other key may have an __eq__ of its
// own that sees each lookup).
inline bool exact_str_keys(PyObject* dict) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return false;
    }
    return true;
}

// An exact dict read in one walk over it: when it holds at most `most`
// entries and every key is an exact str, found[i] is the value of keys[i]
// (borrowed; nullptr when absent) and the answer is true. No lookup in such
// a dict runs code of anyone's, so the walk finds what the host's lookups
// would, and nobody can tell how many were made. False, with nothing found,
// for any other object; nothing runs either way.
template <std::size_t Count>
bool read_in_place(PyObject* obj, PyObject* const (&keys)[Count], PyObject* (&found)[Count],
                   Py_ssize_t most = 8) {
    if (!PyDict_CheckExact(obj)) return false;
    const Py_ssize_t size = PyDict_GET_SIZE(obj);
    if (size > most) return false;
    for (PyObject*& value : found) value = nullptr;
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    // Nothing runs during the walk, so it ends once it has met every entry.
    for (Py_ssize_t met = 0; met < size && PyDict_Next(obj, &position, &key, &value); ++met) {
        if (!PyUnicode_CheckExact(key)) return false;
        for (std::size_t i = 0; i < Count; ++i) {
            if (same_text(key, keys[i])) {
                found[i] = value;
                break;
            }
        }
    }
    return true;
}

// obj.get(key), and when that is true, obj[key] as the second read gives it
// (an empty Ref when the first read is false).
Ref get_if_true(PyObject* obj, PyObject* key);

// isinstance(obj, type), which also believes an object's own __class__.
inline bool is_instance(PyObject* obj, PyTypeObject* type) {
    return PyObject_TypeCheck(obj, type) ||
           check(PyObject_IsInstance(obj, reinterpret_cast<PyObject*>(type))) != 0;
}

// for key, value in dict.items(): visit(key, value), with the errors its
// iterator raises when a visit changes the dict: a different size, or more
// entries met than the dict held when the walk began. Both are held for the
// visit, since the dict may drop its own references meanwhile.
template <class Visit>
void for_each_pair(PyObject* dict, Visit&& visit) {
    const Py_ssize_t size = PyDict_GET_SIZE(dict);
    Py_ssize_t unseen = size;
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (true) {
        if (PyDict_GET_SIZE(dict) != size) {
            throw_runtime_error("dictionary changed size during iteration");
        }
        if (!PyDict_Next(dict, &position, &key, &value)) return;
        if (unseen-- == 0) {
            throw_runtime_error("dictionary keys changed during iteration");
        }
        Ref k = Ref::borrow(key);
        Ref v = Ref::borrow(value);
        visit(k.get(), v.get());
    }
}

// for item in iterable: visit(item). Exact lists and tuples are read by
// index, as their own iterators read them, without making one; the size is
// read anew each time, since a visit may change a list.
template <class Visit>
void for_each_item(PyObject* iterable, Visit&& visit) {
    if (PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable)) {
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(iterable); ++i) {
            Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(iterable, i));
            visit(item.get());
        }
        return;
    }
    Ref iterator = Ref::check(PyObject_GetIter(iterable));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) visit(item.get());
    throw_if_error_set();
}

// a == b, by the host's rules; two exact str compare their characters directly.
inline bool equals(PyObject* a, PyObject* b) {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) return same_text(a, b);
    return a == b || check(PyObject_RichCompareBool(a, b, Py_EQ)) != 0;
}

// format(value, ""): a str unchanged, numbers in decimal, others by their formatting.
Ref text_of(PyObject* value);

// str(value)
Ref str_of(PyObject* value);

// value[:length] of a value with a length, through the type's item access;
// TypeError "'...' object is unsliceable" for one with no item access at all.
Ref prefix(PyObject* value, Py_ssize_t length);

// value[:length] + marker when len(value) > length (marker may be nullptr: no
// marker); otherwise value itself. Any value with a length.
Ref shorten(Ref value, Py_ssize_t length, PyObject* marker);

}  // namespace summarizer
