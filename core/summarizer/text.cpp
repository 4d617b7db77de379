// Reading values the way the host's own code would, and writing text once.
#include "text.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include "sized_text.hpp"
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

// As `value[:length]` does: the type's own item access given a slice, with
// the host's errors for a type that has none or cannot take a slice.
Ref prefix(PyObject* value, Py_ssize_t length) {
    if (PyUnicode_CheckExact(value)) return Ref::check(PyUnicode_Substring(value, 0, length));
    Ref stop = Ref::check(PyLong_FromSsize_t(length));
    Ref slice = Ref::check(PySlice_New(nullptr, stop.get(), nullptr));
    return Ref::check(PyObject_GetItem(value, slice.get()));
}

Ref shorten(Ref value, Py_ssize_t length, PyObject* marker) {
    if (check_size(PyObject_Length(value.get())) <= length) return value;
    Ref cut = prefix(value.get(), length);
    if (marker == nullptr) return cut;
    return Ref::check(PyNumber_Add(cut.get(), marker));
}

TextWriter::~TextWriter() {
    for (const Piece& piece : pieces_) Py_DECREF(piece.text);
}

void TextWriter::no_room() {
    PyErr_NoMemory();
    throw PyError{};
}

// A separator whose entry stayed empty still stands in the text.
void TextWriter::flush_separator() {
    if (!separator_pending_) return;
    separator_pending_ = false;
    push(separator_, PyUnicode_GET_LENGTH(separator_), PyUnicode_MAX_CHAR_VALUE(separator_));
}

void TextWriter::add(Ref text) { add(text.get()); }

void TextWriter::add_prefix(PyObject* text, Py_ssize_t length) {
    length = std::min(length, PyUnicode_GET_LENGTH(text));
    push(text, length, prefix_max_char(text, length));
}

void TextWriter::add_formatted(PyObject* value) {
    // A __format__ may answer with a str subclass: its characters are copied
    // like any other piece.
    Ref text = text_of(value);
    add(text.get());
}

void TextWriter::add(Shortened text) {
    PyObject* value = text.value_.get();
    if (text.length_ == Shortened::whole_length) {
        add_text_of(value);
    } else if (PyUnicode_GET_LENGTH(value) <= text.length_) {
        add(value);
    } else {
        add_prefix(value, text.length_);
        if (text.marker_ != nullptr) add(text.marker_);
    }
}

// Each piece is released as soon as it is copied, so the text is read once.
void TextWriter::write_into(PyObject* result) {
    const int kind = PyUnicode_KIND(result);
    char* data = static_cast<char*>(PyUnicode_DATA(result));
    Py_ssize_t at = 0;
    auto copy = [&](PyObject* text, Py_ssize_t length) {
        if (PyUnicode_KIND(text) == kind) {
            copy_bytes(data + at * kind, static_cast<const char*>(PyUnicode_DATA(text)),
                       static_cast<std::size_t>(length * kind));
        } else {
            _PyUnicode_FastCopyCharacters(result, at, text, 0, length);
        }
        at += length;
    };
    for (const Piece& piece : pieces_) {
        if (piece.stored_length < 0) copy(separator_, PyUnicode_GET_LENGTH(separator_));
        copy(piece.text, piece.stored_length < 0 ? ~piece.stored_length : piece.stored_length);
        Py_DECREF(piece.text);
    }
    pieces_.clear();
}

Ref TextWriter::finish() {
    flush_separator();
    if (pieces_.empty()) return Ref::borrow(T.empty);
    const Piece& first = pieces_.front();
    if (pieces_.size() == 1 && first.stored_length == PyUnicode_GET_LENGTH(first.text) &&
        PyUnicode_CheckExact(first.text)) {
        return Ref::borrow(first.text);
    }
    Ref result = Ref::check(PyUnicode_New(length_, max_char_));
    write_into(result.get());
    return result;
}

}  // namespace summarizer
