// A record -> the Markdown block for the agent's system prompt.
#include "render.hpp"

#include "record.hpp"
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

enum : std::size_t { self_at, summary_at };

Ref format_summary_for_context(PyObject* const* params) {
    PyObject* summary = params[summary_at];
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
