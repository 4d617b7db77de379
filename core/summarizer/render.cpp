// A record -> the Markdown block for the agent's system prompt.
#include "render.hpp"

#include <array>
#include <iterator>

#include "record.hpp"
#include "sized_text.hpp"
#include "text.hpp"

namespace summarizer {
namespace {

enum class Shape { bullets, current_state, narrative };

struct Section {
    Text key;
    Text heading;
    Shape shape;
};

constexpr Section sections[] = {
    {&Texts::goals, &Texts::goals_heading, Shape::bullets},
    {&Texts::progress, &Texts::progress_heading, Shape::bullets},
    {&Texts::current_state, &Texts::current_state_heading, Shape::current_state},
    {&Texts::key_decisions, &Texts::key_decisions_heading, Shape::bullets},
    {&Texts::key_facts, &Texts::key_facts_heading, Shape::bullets},
    {&Texts::blockers, &Texts::blockers_heading, Shape::bullets},
    {&Texts::next_steps, &Texts::next_steps_heading, Shape::bullets},
    {&Texts::summary, &Texts::narrative_heading, Shape::narrative},
};

void write_bullet(TextWriter& out, PyObject* item) {
    out.next_entry();
    out.add(T.bullet);
    out.add_text_of(item);
}

// One bullet per item. A text where a list was asked for is one item: split
// into characters it would fill the agent's prompt with one letter a line.
// A text is what isinstance says is one; it is written through its formatting.
void write_bullets(TextWriter& out, PyObject* items) {
    if (is_instance(items, &PyUnicode_Type)) {
        write_bullet(out, items);
        return;
    }
    for_each_item(items, [&](PyObject* item) { write_bullet(out, item); });
}

void write_section(TextWriter& out, const Section& section, PyObject* value) {
    out.next_entry();
    out.add(T.*section.heading);
    switch (section.shape) {
    case Shape::bullets:
        write_bullets(out, value);
        out.next_entry();  // the blank line after the list
        break;
    case Shape::current_state:
        out.add_text_of(value);
        out.add(T.newline);
        break;
    case Shape::narrative:
        out.add_text_of(value);
        break;
    }
}

constexpr std::size_t section_count = std::size(sections);

// The sections' values, borrowed, when every key of the record is an exact
// str and each value is absent (nullptr), None, an exact str, or an exact list
// where a list is asked for: reading such a record runs no code of anyone's.
bool read_plain_record(PyObject* summary, std::array<PyObject*, section_count>& values) {
    if (!exact_str_keys(summary)) return false;
    for (std::size_t i = 0; i < section_count; ++i) {
        PyObject* value = PyDict_GetItemWithError(summary, T.*sections[i].key);
        if (value == nullptr && PyErr_Occurred()) throw PyError{};
        if (value != nullptr && value != Py_None && !PyUnicode_CheckExact(value) &&
            !(PyList_CheckExact(value) && sections[i].shape == Shape::bullets)) {
            return false;
        }
        values[i] = value == Py_None ? nullptr : value;
    }
    return true;
}

// The whole text of such a record; false when a list holds anything but
// exact str.
template <class Out>
bool write_plain_record(Out& out, const std::array<PyObject*, section_count>& values) {
    out.add(T.summary_heading);
    out.add(T.newline);
    out.add(T.summary_note);
    for (std::size_t i = 0; i < section_count; ++i) {
        const Section& section = sections[i];
        PyObject* value = values[i];
        if (value == nullptr) continue;
        const bool text = PyUnicode_CheckExact(value);
        if (text ? PyUnicode_GET_LENGTH(value) == 0 : PyList_GET_SIZE(value) == 0) continue;
        out.add(T.newline);
        out.add(T.*section.heading);
        if (section.shape != Shape::bullets) {
            out.add(value);
            if (section.shape == Shape::current_state) out.add(T.newline);
            continue;
        }
        if (text) {
            out.add(T.newline);
            out.add(T.bullet);
            out.add(value);
        } else if (!out.add_lines(T.newline, T.bullet, value)) {
            return false;
        }
        out.add(T.newline);  // the blank line after the list
    }
    return true;
}

enum : std::size_t { self_at, summary_at };

Ref format_summary_for_context(PyObject* const* params) {
    PyObject* summary = params[summary_at];
    std::array<PyObject*, section_count> values;
    if (read_plain_record(summary, values)) {
        Ref text = sized_text([&](auto& out) { return write_plain_record(out, values); });
        if (text) return text;
    }
    TextWriter out(T.newline);
    out.next_entry();
    out.add(T.summary_heading);
    out.next_entry();
    out.add(T.summary_note);
    for (const Section& section : sections) {
        Ref value = get_if_true(summary, T.*section.key);
        if (!value) continue;
        write_section(out, section, value.get());
    }
    return out.finish();
}

constexpr Param params[] = {
    {"self", &Texts::self, nullptr, false},
    {"summary", &Texts::summary, &PyDict_Type, false},
};
static_assert(binds(params, self_at, &Texts::self) && binds(params, summary_at, &Texts::summary));
constexpr Annotation annotations[] = {
    {&Texts::summary, &Texts::ann_record},
    {&Texts::ret, &Texts::ann_str},
};

}  // namespace

const FunctionSpec format_summary_for_context_function = {
    .name = "format_summary_for_context",
    .name_text = &Texts::format_summary_for_context,
    .qualname = &Texts::qual_format_summary_for_context,
    .doc = &Texts::format_summary_for_context_doc,
    .params = params,
    .defaults = 0,
    .annotations = annotations,
    .coroutine = false,
    .body = format_summary_for_context,
};

}  // namespace summarizer
