// Text sized before it is written: two passes over values that run no code,
// and a writer of entries whose pieces may begin with a constant.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <vector>

#include "ref.hpp"
#include "texts.hpp"

namespace summarizer {

// Copies a short run with a few fixed-size moves instead of a call: most
// pieces are a prefix or a short line.
inline void copy_bytes(char* to, const char* from, std::size_t count) {
    if (count >= 16) {
        std::memcpy(to, from, count);
    } else if (count >= 8) {
        std::memcpy(to, from, 8);
        std::memcpy(to + count - 8, from + count - 8, 8);
    } else if (count >= 4) {
        std::memcpy(to, from, 4);
        std::memcpy(to + count - 4, from + count - 4, 4);
    } else {
        for (std::size_t i = 0; i < count; ++i) to[i] = from[i];
    }
}

// The first `length` characters of `text` into `result` at `at`; the result's
// kind is at least the text's.
inline void copy_chars(PyObject* result, Py_ssize_t at, PyObject* text, Py_ssize_t length) {
    const int kind = PyUnicode_KIND(result);
    if (PyUnicode_KIND(text) == kind) {
        copy_bytes(static_cast<char*>(PyUnicode_DATA(result)) + at * kind,
                   static_cast<const char*>(PyUnicode_DATA(text)), static_cast<std::size_t>(length * kind));
    } else {
        _PyUnicode_FastCopyCharacters(result, at, text, 0, length);
    }
}

// The largest character among the first `length` characters of `text`.
inline Py_UCS4 prefix_max_char(PyObject* text, Py_ssize_t length) {
    if (PyUnicode_IS_ASCII(text)) return 0x7f;
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Py_UCS4 max_char = 0x7f;
    for (Py_ssize_t i = 0; i < length; ++i) max_char = std::max(max_char, PyUnicode_READ(kind, data, i));
    return max_char;
}

[[noreturn]] inline void text_too_long() { throw_no_memory(); }

// The first pass: the length and widest character of everything added.
class TextSize {
public:
    void add(PyObject* text) { grow(PyUnicode_GET_LENGTH(text), PyUnicode_MAX_CHAR_VALUE(text)); }
    // `text`, `count` times.
    void add(PyObject* text, Py_ssize_t count) {
        if (count == 0) return;
        Py_ssize_t length = 0;
        if (__builtin_mul_overflow(count, PyUnicode_GET_LENGTH(text), &length)) text_too_long();
        grow(length, PyUnicode_MAX_CHAR_VALUE(text));
    }
    // For each item of an exact list: lead_a, lead_b, the item. False when an
    // item is not an exact str.
    bool add_lines(PyObject* lead_a, PyObject* lead_b, PyObject* list) {
        const Py_ssize_t count = PyList_GET_SIZE(list);
        PyObject* const* items = &PyList_GET_ITEM(list, 0);
        Py_ssize_t length = 0;
        bool compact_ascii = true;  // the usual case, whose widest character is known
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* item = items[i];
            if (!PyUnicode_CheckExact(item)) return false;
            if (__builtin_add_overflow(length, PyUnicode_GET_LENGTH(item), &length)) text_too_long();
            compact_ascii = compact_ascii && PyUnicode_IS_COMPACT_ASCII(item);
        }
        Py_UCS4 max_char = 0x7f;
        for (Py_ssize_t i = 0; !compact_ascii && i < count; ++i) {
            max_char = std::max(max_char, PyUnicode_MAX_CHAR_VALUE(items[i]));
        }
        grow(length, max_char);
        Py_ssize_t leads = 0;
        if (__builtin_mul_overflow(count, PyUnicode_GET_LENGTH(lead_a) + PyUnicode_GET_LENGTH(lead_b), &leads)) {
            text_too_long();
        }
        grow(leads, std::max(PyUnicode_MAX_CHAR_VALUE(lead_a), PyUnicode_MAX_CHAR_VALUE(lead_b)));
        return true;
    }
    Py_ssize_t length() const noexcept { return length_; }
    Py_UCS4 max_char() const noexcept { return max_char_; }

    // `length` more characters, none wider than `max_char`.
    void grow(Py_ssize_t length, Py_UCS4 max_char) {
        if (length > std::numeric_limits<Py_ssize_t>::max() - length_) text_too_long();
        length_ += length;
        max_char_ = std::max(max_char_, max_char);
    }

private:
    Py_ssize_t length_ = 0;
    Py_UCS4 max_char_ = 0;
};

// The second pass: the same texts, copied into a str of that size whose kind
// is `Kind`.
template <int Kind>
class TextFill {
public:
    explicit TextFill(PyObject* result) noexcept
        : result_(result), to_(static_cast<char*>(PyUnicode_DATA(result))) {}
    [[gnu::always_inline]] void add(PyObject* text) {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
        if (PyUnicode_KIND(text) == Kind) [[likely]] {
            copy_bytes(to_, static_cast<const char*>(PyUnicode_DATA(text)), static_cast<std::size_t>(length * Kind));
        } else {
            _PyUnicode_FastCopyCharacters(result_, (to_ - start()) / Kind, text, 0, length);
        }
        to_ += length * Kind;
    }
    // The same lines as TextSize::add_lines measured. The two leads are
    // copied from a buffer of their own when they are short and of this kind.
    bool add_lines(PyObject* lead_a, PyObject* lead_b, PyObject* list) {
        const std::size_t a = static_cast<std::size_t>(PyUnicode_GET_LENGTH(lead_a) * Kind);
        const std::size_t b = static_cast<std::size_t>(PyUnicode_GET_LENGTH(lead_b) * Kind);
        const Py_ssize_t count = PyList_GET_SIZE(list);
        if (PyUnicode_KIND(lead_a) != Kind || PyUnicode_KIND(lead_b) != Kind || a + b > sizeof lead_) {
            for (Py_ssize_t i = 0; i < count; ++i) {
                add(lead_a);
                add(lead_b);
                add(PyList_GET_ITEM(list, i));
            }
            return true;
        }
        std::memcpy(lead_, PyUnicode_DATA(lead_a), a);
        std::memcpy(lead_ + a, PyUnicode_DATA(lead_b), b);
        PyObject* const* items = &PyList_GET_ITEM(list, 0);
        char* to = to_;
        char* const end = start() + PyUnicode_GET_LENGTH(result_) * Kind;
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* item = items[i];
            // The whole buffer where there is room: the bytes past the leads
            // are written over by what follows, since the text is written in order.
            if (end - to >= static_cast<std::ptrdiff_t>(sizeof lead_)) {
                std::memcpy(to, lead_, sizeof lead_);
            } else {
                copy_bytes(to, lead_, a + b);
            }
            to += a + b;
            const Py_ssize_t length = PyUnicode_GET_LENGTH(item);
            if (Kind == PyUnicode_1BYTE_KIND && PyUnicode_IS_COMPACT_ASCII(item)) [[likely]] {
                copy_bytes(to, reinterpret_cast<const char*>(reinterpret_cast<PyASCIIObject*>(item) + 1),
                           static_cast<std::size_t>(length));
            } else if (PyUnicode_KIND(item) == Kind) {
                copy_bytes(to, static_cast<const char*>(PyUnicode_DATA(item)), static_cast<std::size_t>(length * Kind));
            } else {
                _PyUnicode_FastCopyCharacters(result_, (to - start()) / Kind, item, 0, length);
            }
            to += length * Kind;
        }
        to_ = to;
        return true;
    }

private:
    char* start() const noexcept { return static_cast<char*>(PyUnicode_DATA(result_)); }

    char lead_[16];
    PyObject* result_;
    char* to_;
};

// Runs `write(out)` once to size the text and once to fill it, and gives the
// text; or an empty Ref, before anything is made, when the first run answers
// false. Only for steps that read borrowed values and run no code of anyone's
// (not even between the runs), so that both runs see the same texts.
template <class Write>
Ref sized_text(Write&& write) {
    TextSize size;
    if (!write(size)) return Ref();
    Ref result = Ref::check(PyUnicode_New(size.length(), size.max_char()));
    switch (PyUnicode_KIND(result.get())) {
    case PyUnicode_1BYTE_KIND: {
        TextFill<1> fill(result.get());
        write(fill);
        break;
    }
    case PyUnicode_2BYTE_KIND: {
        TextFill<2> fill(result.get());
        write(fill);
        break;
    }
    default: {
        TextFill<4> fill(result.get());
        write(fill);
        break;
    }
    }
    return result;
}

// Entries joined by a separator, each made of pieces that may begin with one
// of a few constants (written from the table, holding no reference of their
// own), written once into a str of the right size at the end.
//
// A writer made `borrowing` keeps no reference to its texts while nothing
// that could run code has happened since its first piece: its caller then
// holds them all, through what they came from. The caller calls hold()
// before anything that might run code; from then on every piece, earlier
// ones included, holds its own reference.
class PrefixedText {
public:
    // prefixes[i - 1] is the constant of prefix number i; 0 is none.
    template <std::size_t Count>
    PrefixedText(PyObject* separator, const Text (&prefixes)[Count], std::size_t expected_pieces,
                 bool borrowing = false)
        : separator_(separator), prefixes_(prefixes), owning_(!borrowing) {
        static_assert(Count <= max_prefixes);
        pieces_.reserve(expected_pieces);
    }
    PrefixedText(const PrefixedText&) = delete;
    PrefixedText& operator=(const PrefixedText&) = delete;
    ~PrefixedText() {
        if (!owning_) return;
        for (const Piece& piece : pieces_) Py_XDECREF(piece.text);
    }

    // Every piece holds its text from here on.
    void hold() noexcept {
        if (owning_) return;
        for (const Piece& piece : pieces_) Py_XINCREF(piece.text);
        owning_ = true;
    }

    void next_entry() {
        if (started_) {
            if (separator_pending_) push(0, nullptr, 0, 0);  // the entry before stayed empty
            separator_pending_ = true;
        }
        started_ = true;
    }
    // The constant, then a str (borrowed; the writer keeps its own reference
    // unless it is borrowing).
    void add(unsigned prefix, PyObject* text) {
        push(prefix, text, PyUnicode_GET_LENGTH(text), PyUnicode_MAX_CHAR_VALUE(text));
    }
    // The constant, then the first `length` characters of a str.
    void add_prefix(unsigned prefix, PyObject* text, Py_ssize_t length) {
        length = std::min(length, PyUnicode_GET_LENGTH(text));
        push(prefix, text, length, prefix_max_char(text, length));
    }
    // The constant alone.
    void add(unsigned prefix) { push(prefix, nullptr, 0, 0); }

    Ref finish() {
        if (separator_pending_) push(0, nullptr, 0, 0);
        if (pieces_.empty()) return Ref::borrow(T.empty);
        for (unsigned prefix = 0; prefix <= prefixes_.size(); ++prefix) {
            for (unsigned separated = 0; separated < 2; ++separated) {
                if (separated != 0) size_.add(separator_, uses_[prefix][separated]);
                if (prefix != 0) size_.add(constant(prefix), uses_[prefix][separated]);
            }
        }
        Ref result = Ref::check(PyUnicode_New(size_.length(), size_.max_char()));
        write_into(result.get());
        return result;
    }

private:
    static constexpr std::uint64_t max_length = (std::uint64_t{1} << 55) - 1;
    static constexpr std::size_t max_prefixes = 15;
    // 16 bytes a piece, so that a long transcript's pieces stay small.
    struct Piece {
        PyObject* text;  // owned; nullptr: the constant (or separator) alone
        std::uint64_t length : 55;
        std::uint64_t prefix : 8;
        std::uint64_t separated : 1;
    };

    PyObject* constant(unsigned prefix) const { return T.*prefixes_[prefix - 1]; }

    [[gnu::always_inline]] void push(unsigned prefix, PyObject* text, Py_ssize_t length, Py_UCS4 max_char) {
        if (text != nullptr && length == 0 && prefix == 0) return;
        if (static_cast<std::uint64_t>(length) > max_length) text_too_long();
        const bool separated = separator_pending_;
        ++uses_[prefix][separated];  // sized at the end, all uses at once
        size_.grow(length, max_char);
        // Both fit their fields (checked above; a prefix number is below max_prefixes).
        pieces_.push_back(Piece{text, static_cast<std::uint64_t>(length) & max_length, prefix & 0xffU, separated});
        if (owning_) Py_XINCREF(text);  // only once the piece is stored: growing the list may throw
        separator_pending_ = false;
    }
    // Each piece is released as soon as it is copied, so the text is read once.
    void write_into(PyObject* result) {
        if (PyUnicode_KIND(result) == PyUnicode_1BYTE_KIND && write_bytes(result)) return;
        Py_ssize_t at = 0;
        auto copy = [&](PyObject* text, Py_ssize_t length) {
            copy_chars(result, at, text, length);
            at += length;
        };
        for (Piece& piece : pieces_) {
            if (piece.separated) copy(separator_, PyUnicode_GET_LENGTH(separator_));
            if (piece.prefix != 0) copy(constant(piece.prefix), PyUnicode_GET_LENGTH(constant(piece.prefix)));
            if (piece.text != nullptr) {
                copy(piece.text, static_cast<Py_ssize_t>(piece.length));
                if (owning_) Py_DECREF(piece.text);
            }
        }
        pieces_.clear();
    }

    // What goes before a piece's text, as the bytes of a one-byte text.
    struct Lead {
        char bytes[32];
        std::size_t size;
    };
    // Each piece's separator and constant come from a buffer made once for
    // each pair; false (nothing written) unless they are all one-byte texts
    // short enough for it.
    bool write_bytes(PyObject* result) {
        std::array<std::array<Lead, 2>, max_prefixes + 1> leads;
        for (unsigned prefix = 0; prefix <= prefixes_.size(); ++prefix) {
            for (unsigned separated = 0; separated < 2; ++separated) {
                Lead& lead = leads[prefix][separated];
                lead.size = 0;
                if (separated != 0 && !append(lead, separator_)) return false;
                if (prefix != 0 && !append(lead, constant(prefix))) return false;
            }
        }
        char* to = static_cast<char*>(PyUnicode_DATA(result));
        char* const end = to + PyUnicode_GET_LENGTH(result);
        for (Piece& piece : pieces_) {
            const Lead& lead = leads[piece.prefix][piece.separated];
            // The whole buffer where there is room: the bytes past the lead are
            // written over by what follows, since the text is written in order.
            if (end - to >= static_cast<std::ptrdiff_t>(sizeof lead.bytes)) [[likely]] {
                std::memcpy(to, lead.bytes, sizeof lead.bytes);
            } else {
                std::memcpy(to, lead.bytes, lead.size);
            }
            to += lead.size;
            PyObject* text = piece.text;
            if (text == nullptr) continue;
            const auto length = static_cast<std::size_t>(piece.length);
            if (PyUnicode_IS_COMPACT_ASCII(text)) [[likely]] {
                copy_bytes(to, reinterpret_cast<const char*>(reinterpret_cast<PyASCIIObject*>(text) + 1), length);
            } else {
                copy_chars(result, to - static_cast<char*>(PyUnicode_DATA(result)), text, piece.length);
            }
            to += length;
            if (owning_) Py_DECREF(text);
        }
        pieces_.clear();
        return true;
    }
    static bool append(Lead& lead, PyObject* text) {
        const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
        if (PyUnicode_KIND(text) != PyUnicode_1BYTE_KIND || length > sizeof lead.bytes - lead.size) return false;
        std::memcpy(lead.bytes + lead.size, PyUnicode_DATA(text), length);
        lead.size += length;
        return true;
    }

    std::vector<Piece> pieces_;
    PyObject* separator_;
    std::span<const Text> prefixes_;
    TextSize size_;
    std::array<std::array<Py_ssize_t, 2>, max_prefixes + 1> uses_{};  // pieces by prefix and separator
    bool owning_;
    bool started_ = false;
    bool separator_pending_ = false;
};

}  // namespace summarizer
