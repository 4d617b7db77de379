// Reading values the way the host's own code would, and writing text once.
#pragma once

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

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
        if (PyErr_Occurred()) throw PyError{};
        return make_fallback();
    }
    Ref fallback = make_fallback();
    return call_get(obj, key, fallback.get());
}

// obj[key]
Ref subscript(PyObject* obj, PyObject* key);

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
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            throw PyError{};
        }
        if (!PyDict_Next(dict, &position, &key, &value)) return;
        if (unseen-- == 0) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
            throw PyError{};
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
    if (PyErr_Occurred()) throw PyError{};
}

// a == b, by the host's rules; two exact str compare their characters directly
// (two interned ones are equal only when they are the same object).
inline bool equals(PyObject* a, PyObject* b) {
    if (a == b) return true;
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
        if (PyUnicode_CHECK_INTERNED(a) && PyUnicode_CHECK_INTERNED(b)) return false;
        const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
        return length == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
               std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                           static_cast<std::size_t>(length * PyUnicode_KIND(a))) == 0;
    }
    return check(PyObject_RichCompareBool(a, b, Py_EQ)) != 0;
}

// format(value, ""): a str unchanged, numbers in decimal, others by their formatting.
Ref text_of(PyObject* value);

// str(value)
Ref str_of(PyObject* value);

// value[:length], through the type's item access.
Ref prefix(PyObject* value, Py_ssize_t length);

// value[:length] + marker when len(value) > length (marker may be nullptr: no
// marker); otherwise value itself. Any value with a length and item access.
Ref shorten(Ref value, Py_ssize_t length, PyObject* marker);

// value[:length] + marker when len(value) > length, else value, for a text
// written later. A value that can run code while it is measured and cut
// (anything but an exact str) is cut at once, so the host's order of steps
// holds; an exact str is cut only as it is written, without a copy.
class Shortened {
public:
    Shortened(Ref value, Py_ssize_t length, PyObject* marker)
        : value_(std::move(value)), length_(length), marker_(marker) {
        if (!PyUnicode_CheckExact(value_.get())) {
            value_ = shorten(std::move(value_), length, marker);
            length_ = whole_length;
        }
    }
    // A value kept whole.
    static Shortened whole(Ref value) { return Shortened(std::move(value)); }

private:
    friend class TextWriter;
    static constexpr Py_ssize_t whole_length = -1;
    explicit Shortened(Ref value) : value_(std::move(value)), length_(whole_length), marker_(nullptr) {}

    Ref value_;
    Py_ssize_t length_;  // whole_length: written as it stands
    PyObject* marker_;
};

// Collects pieces of text and writes them into one new str at the end, so a
// long text is written once instead of being joined from copies.
class TextWriter {
public:
    // Entries begun with next_entry() are separated by `separator`.
    explicit TextWriter(PyObject* separator = nullptr, std::size_t expected_pieces = 0)
        : separator_(separator) {
        pieces_.reserve(expected_pieces);
    }
    TextWriter(const TextWriter&) = delete;
    TextWriter& operator=(const TextWriter&) = delete;
    ~TextWriter();

    void next_entry() {
        if (started_ && separator_ != nullptr) {
            flush_separator();
            separator_pending_ = true;
        }
        started_ = true;
    }
    // A str (borrowed; the writer keeps its own reference).
    void add(PyObject* text) { push(text, PyUnicode_GET_LENGTH(text), PyUnicode_MAX_CHAR_VALUE(text)); }
    void add(Ref text);
    // The first `length` characters of a str.
    void add_prefix(PyObject* text, Py_ssize_t length);
    // format(value, "")
    void add_text_of(PyObject* value) {
        if (PyUnicode_CheckExact(value)) {
            add(value);
        } else {
            add_formatted(value);
        }
    }
    // format(text, ""), once cut.
    void add(Shortened text);

    Ref finish();

private:
    // A piece is 16 bytes so that a long transcript's list of pieces stays
    // small; a piece that follows an entry separator stores ~length.
    struct Piece {
        PyObject* text;  // owned
        Py_ssize_t stored_length;
    };
    void push(PyObject* text, Py_ssize_t length, Py_UCS4 max_char) {
        if (length == 0) return;
        const bool separated = separator_pending_;
        if (separated) grow(PyUnicode_GET_LENGTH(separator_), PyUnicode_MAX_CHAR_VALUE(separator_));
        grow(length, max_char);
        pieces_.push_back(Piece{text, separated ? ~length : length});
        Py_INCREF(text);  // only once the piece is stored: growing the list may throw
        separator_pending_ = false;
    }
    void grow(Py_ssize_t length, Py_UCS4 max_char) {
        if (length > std::numeric_limits<Py_ssize_t>::max() - length_) no_room();
        length_ += length;
        max_char_ = std::max(max_char_, max_char);
    }
    [[noreturn]] static void no_room();
    void add_formatted(PyObject* value);
    void flush_separator();
    void write_into(PyObject* result);

    std::vector<Piece> pieces_;
    PyObject* separator_;
    Py_ssize_t length_ = 0;
    Py_UCS4 max_char_ = 0;
    bool started_ = false;
    bool separator_pending_ = false;
};

}  // namespace summarizer
