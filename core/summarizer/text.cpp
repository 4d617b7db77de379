// Writing text once: pieces collected, then copied into one new str.
#include "text.hpp"

#include <algorithm>

#include "texts.hpp"

namespace summarizer {

TextWriter::~TextWriter() {
    for (const Piece& piece : pieces_) Py_DECREF(piece.text);
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
    Py_ssize_t at = 0;
    auto copy = [&](PyObject* text, Py_ssize_t length) {
        copy_chars(result, at, text, length);
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
    Ref result = Ref::check(PyUnicode_New(size_.length(), size_.max_char()));
    write_into(result.get());
    return result;
}

}  // namespace summarizer
