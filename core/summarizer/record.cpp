// The record builder and the records built without the model: the empty one
// and the fallback one.
#include "record.hpp"

#include "runtime.hpp"
#include "values.hpp"

namespace summarizer {

Ref new_list() { return Ref::check(PyList_New(0)); }

RecordBuilder::RecordBuilder() : dict_(Ref::check(_PyDict_NewPresized(9))) {}

void RecordBuilder::add(PyObject* value) {
    check(PyDict_SetItem(dict_.get(), T.*record_fields[next_], value));
    ++next_;
}

void RecordBuilder::add_empty() {
    if (is_list_field(record_fields[next_])) {
        add(new_list());
    } else {
        add(T.empty);
    }
}

Ref RecordBuilder::finish() {
    check(PyDict_SetItem(dict_.get(), T.created_at, current_time().get()));
    return std::move(dict_);
}

namespace {

Ref empty_summary(PyObject* const*) {
    RecordBuilder record;
    for (std::size_t i = 0; i < record_fields.size(); ++i) record.add_empty();
    return record.finish();
}

// One message of the search below, read in place where nothing it reads can
// run code: a plain dict with an exact str role, and content that is an
// exact str when the role is "user". False, with nothing done, otherwise.
bool read_user_text(PyObject* msg, Ref& first) {
    PyObject* const keys[] = {T.role, T.content};
    PyObject* found[2];
    if (!read_in_place(msg, keys, found)) return false;
    PyObject* role = found[0];
    if (role == nullptr) return true;  // None is not "user"
    if (!PyUnicode_CheckExact(role)) return false;
    if (!equals(role, T.user)) return true;
    PyObject* content = found[1];
    if (content == nullptr) return true;  // None is false
    if (!PyUnicode_CheckExact(content)) return false;
    if (PyUnicode_GET_LENGTH(content) == 0) return true;
    // The second read finds the same value: nothing ran since the first.
    Ref text = Ref::borrow(content);
    if (PyUnicode_GET_LENGTH(content) > 200) text = shorten(std::move(text), 200, T.ellipsis);
    if (!first) first = std::move(text);
    return true;
}

// The earliest user message with true content, cut to 200 characters; every
// later qualifying message is still read and cut, as each may fail.
Ref first_user_request(PyObject* messages) {
    Ref first;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(messages); ++i) {
        if (read_user_text(PyList_GET_ITEM(messages, i), first)) continue;
        Ref msg = Ref::borrow(PyList_GET_ITEM(messages, i));
        Ref role = mapping_get(msg.get(), T.role);
        if (!equals(role.get(), T.user)) continue;
        Ref content = get_if_true(msg.get(), T.content);
        if (!content) continue;
        content = shorten(std::move(content), 200, T.ellipsis);
        if (!first) first = std::move(content);
    }
    return first;
}

// prefix + N + suffix + tail
Ref count_text(Text prefix, Py_ssize_t count, Text suffix, PyObject* tail) {
    return Ref::check(PyUnicode_FromFormat("%U%zd%U%U", T.*prefix, count, T.*suffix, tail));
}

enum : std::size_t { messages_at };

Ref fallback_summary(PyObject* const* params) {
    PyObject* messages = params[messages_at];
    Ref goals = new_list();
    Ref progress = new_list();
    Ref request = first_user_request(messages);
    if (request) check(PyList_Append(goals.get(), request.get()));
    const Py_ssize_t count = PyList_GET_SIZE(messages);
    Ref request_text = text_of(request ? request.get() : T.unknown);
    RecordBuilder record;
    record.add(std::move(goals));
    record.add(std::move(progress));
    record.add(count_text(&Texts::had_prefix, count, &Texts::had_suffix, T.empty));
    for (int i = 0; i < 4; ++i) record.add_empty();
    record.add(count_text(&Texts::with_prefix, count, &Texts::with_suffix, request_text.get()));
    return record.finish();
}

constexpr Annotation empty_summary_annotations[] = {{&Texts::ret, &Texts::ann_record}};

constexpr Param messages_param[] = {{"messages", &Texts::messages, &PyList_Type, false}};
static_assert(binds(messages_param, messages_at, &Texts::messages));
constexpr Annotation fallback_summary_annotations[] = {
    {&Texts::messages, &Texts::ann_messages},
    {&Texts::ret, &Texts::ann_record},
};

}  // namespace

const FunctionSpec empty_summary_function = {
    .name = "_empty_summary",
    .name_text = &Texts::empty_summary,
    .qualname = &Texts::empty_summary,
    .doc = nullptr,
    .params = {},
    .defaults = 0,
    .annotations = empty_summary_annotations,
    .coroutine = false,
    .body = empty_summary,
};

const FunctionSpec fallback_summary_function = {
    .name = "_fallback_summary",
    .name_text = &Texts::fallback_summary,
    .qualname = &Texts::fallback_summary,
    .doc = &Texts::fallback_summary_doc,
    .params = messages_param,
    .defaults = 0,
    .annotations = fallback_summary_annotations,
    .coroutine = false,
    .body = fallback_summary,
};

}  // namespace summarizer
