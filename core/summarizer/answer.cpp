// The model's answer -> record.
#include <cstring>

#include "answer.hpp"

#include "record.hpp"
#include "runtime.hpp"
#include "values.hpp"

namespace summarizer {
namespace {

constexpr Py_ssize_t undecodable_limit = 1000;

// [start, end) of one line of the answer, or of a part of it.
struct Span {
    Py_ssize_t start;
    Py_ssize_t end;
};

class Characters {
public:
    explicit Characters(PyObject* text)
        : kind_(PyUnicode_KIND(text)), data_(PyUnicode_DATA(text)), length_(PyUnicode_GET_LENGTH(text)) {}

    Py_ssize_t length() const { return length_; }
    Py_UCS4 operator[](Py_ssize_t i) const { return PyUnicode_READ(kind_, data_, i); }

    // The span without surrounding whitespace, as str.strip() removes it.
    Span stripped(Span span) const {
        while (span.start < span.end && Py_UNICODE_ISSPACE((*this)[span.start])) ++span.start;
        while (span.end > span.start && Py_UNICODE_ISSPACE((*this)[span.end - 1])) --span.end;
        return span;
    }
    bool starts_with_fence(Span span) const {
        return span.end - span.start >= 3 && (*this)[span.start] == '`' &&
               (*this)[span.start + 1] == '`' && (*this)[span.start + 2] == '`';
    }
    bool is_fence(Span span) const { return span.end - span.start == 3 && starts_with_fence(span); }
    Py_ssize_t line_end(Py_ssize_t from) const {
        switch (kind_) {
        case PyUnicode_1BYTE_KIND: {
            const auto* data = static_cast<const Py_UCS1*>(data_);
            const void* found = std::memchr(data + from, '\n', static_cast<std::size_t>(length_ - from));
            return found != nullptr ? static_cast<const Py_UCS1*>(found) - data : length_;
        }
        case PyUnicode_2BYTE_KIND:
            return find_newline(static_cast<const Py_UCS2*>(data_), from);
        default:
            return find_newline(static_cast<const Py_UCS4*>(data_), from);
        }
    }

private:
    template <class Char>
    Py_ssize_t find_newline(const Char* data, Py_ssize_t from) const {
        while (from < length_ && data[from] != '\n') ++from;
        return from;
    }

    int kind_;
    const void* data_;
    Py_ssize_t length_;
};

Ref stripped(PyObject* text) {
    const Characters chars(text);
    const Span span = chars.stripped({0, chars.length()});
    return Ref::check(PyUnicode_Substring(text, span.start, span.end));
}

// The lines inside an opening code fence, up to the line that is the fence
// marker alone. An answer that does not open with the marker, or whose fence
// holds no line at all, is kept as it is, so the model's answer is never lost.
Ref without_fence(Ref text) {
    const Characters chars(text.get());
    if (!chars.starts_with_fence({0, chars.length()})) return text;
    bool in_block = false;
    Span kept{-1, -1};
    for (Py_ssize_t start = 0; start <= chars.length();) {
        const Span line{start, chars.line_end(start)};
        const Span bare = chars.stripped(line);
        if (!in_block && chars.starts_with_fence(bare)) {
            in_block = true;
        } else if (in_block && chars.is_fence(bare)) {
            break;
        } else if (in_block) {
            if (kept.start < 0) kept.start = line.start;
            kept.end = line.end;
        }
        start = line.end + 1;
    }
    if (kept.start < 0) return text;
    return Ref::check(PyUnicode_Substring(text.get(), kept.start, kept.end));
}

Ref record_from(PyObject* data) {
    RecordBuilder record;
    for (Text field : record_fields) {
        record.add(get_or(data, T.*field, [field] {
            return is_list_field(field) ? new_list() : Ref::borrow(T.empty);
        }));
    }
    return record.finish();
}

Ref undecodable_record(PyObject* text) {
    RecordBuilder record;
    for (std::size_t i = 0; i + 1 < record_fields.size(); ++i) record.add_empty();
    record.add(Ref::check(PyUnicode_Substring(text, 0, undecodable_limit)));
    return record.finish();
}

enum : std::size_t { text_at };

Ref parse_summary(PyObject* const* params) {
    Ref text = without_fence(stripped(params[text_at]));
    try {
        Ref data = json_loads(text.get());
        return record_from(data.get());
    } catch (const PyError&) {
        if (!json_decode_error_pending()) throw;
    }
    Ref error = take_exception();
    Handling handling(error.get());
    log(T.warning, T.parse_warning);
    return undecodable_record(text.get());
}

constexpr Param text_param[] = {{"text", &Texts::text, &PyUnicode_Type, false}};
constexpr Annotation parse_summary_annotations[] = {
    {&Texts::text, &Texts::ann_str},
    {&Texts::ret, &Texts::ann_record},
};
static_assert(binds(text_param, text_at, &Texts::text));

}  // namespace

const FunctionSpec parse_summary_function = {
    .name = "_parse_summary",
    .name_text = &Texts::parse_summary,
    .qualname = &Texts::parse_summary,
    .doc = &Texts::parse_summary_doc,
    .params = text_param,
    .defaults = 0,
    .annotations = parse_summary_annotations,
    .coroutine = false,
    .body = parse_summary,
};

}  // namespace summarizer
