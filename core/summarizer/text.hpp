// Writing text once: pieces collected, then copied into one new str.
#pragma once

#include <vector>

#include "sized_text.hpp"
#include "values.hpp"

namespace summarizer {

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
    PyObject* marker_;   // borrowed: a constant text, alive as long as the process
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
        if (separated) size_.add(separator_);
        size_.grow(length, max_char);
        pieces_.push_back(Piece{text, separated ? ~length : length});
        Py_INCREF(text);  // only once the piece is stored: growing the list may throw
        separator_pending_ = false;
    }
    void add_formatted(PyObject* value);
    void flush_separator();
    void write_into(PyObject* result);

    std::vector<Piece> pieces_;
    PyObject* separator_;  // borrowed: a constant text, alive as long as the process
    TextSize size_;
    bool started_ = false;
    bool separator_pending_ = false;
};

}  // namespace summarizer
