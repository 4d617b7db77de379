// Messages -> transcript; the tool-argument brief.
#include "transcript.hpp"

#include "runtime.hpp"
#include "sized_text.hpp"
#include "text.hpp"

namespace summarizer {
namespace {

constexpr Py_ssize_t tool_result_limit = 500;
constexpr Py_ssize_t raw_arguments_limit = 200;
constexpr Py_ssize_t argument_value_limit = 100;

Ref new_dict() { return Ref::check(PyDict_New()); }

// The constants an entry's pieces begin with, numbered from 1.
enum Prefix : unsigned { none, user, assistant, called, called_end, result, result_end, truncated };
constexpr Text prefixes[] = {
    &Texts::user_prefix,        &Texts::assistant_prefix,   &Texts::assistant_called_prefix,
    &Texts::called_suffix,      &Texts::tool_result_prefix, &Texts::tool_result_suffix,
    &Texts::truncated_marker,
};

// The constant, then format(value, "").
[[gnu::always_inline]] inline void add_text_of(PrefixedText& out, Prefix prefix, PyObject* value) {
    if (PyUnicode_CheckExact(value)) {
        out.add(prefix, value);
        return;
    }
    // A __format__ may answer with a str subclass: its characters are copied
    // like any other piece.
    Ref text = text_of(value);
    out.add(prefix, text.get());
}

// tc.get(key, tc.get("function", {}).get(key, fallback)): a key on the tool
// call itself wins whenever present, yet the nested mapping is read first,
// every time. The outer `get` is looked up before the inner call runs, as the
// host evaluates the expression. A nullptr fallback stands for a new empty dict.
Ref tool_call_field(PyObject* tc, PyObject* key, PyObject* fallback) {
    Ref outer_get;
    if (!PyDict_CheckExact(tc)) outer_get = Ref::check(PyObject_GetAttr(tc, T.get));
    Ref function = get_or(tc, T.function, new_dict);
    Ref nested = get_or(function.get(), key,
                        [&] { return fallback != nullptr ? Ref::borrow(fallback) : new_dict(); });
    if (!outer_get) return get_or(tc, key, [&] { return std::move(nested); });
    PyObject* args[] = {key, nested.get()};
    return Ref::check(PyObject_Vectorcall(outer_get.get(), args, 2, nullptr));
}

// Arguments given as JSON text are decoded; text the decoder rejects stays as it is.
Ref decoded_arguments(Ref args) {
    if (!is_instance(args.get(), &PyUnicode_Type)) return args;
    try {
        return json_loads(args.get());
    } catch (const PyError&) {
        if (!json_decode_error_pending()) throw;
        PyErr_Clear();
    }
    return args;
}

Ref arguments_brief(PyObject* args) {
    if (is_instance(args, &PyDict_Type)) return call_global(T.brief_args, args);
    Ref text = str_of(args);
    return prefix(text.get(), raw_arguments_limit);
}

void write_tool_call(PrefixedText& out, PyObject* tc) {
    if (!is_instance(tc, &PyDict_Type)) return;
    Ref name = tool_call_field(tc, T.name, T.unknown);
    Ref args = decoded_arguments(tool_call_field(tc, T.arguments, nullptr));
    Ref brief = arguments_brief(args.get());
    out.next_entry();
    add_text_of(out, called, name.get());
    add_text_of(out, called_end, brief.get());
}

void write_assistant(PrefixedText& out, PyObject* msg, PyObject* content) {
    if (PyUnicode_CheckExact(content) ? PyUnicode_GET_LENGTH(content) > 0 : is_true(content)) {
        out.next_entry();
        add_text_of(out, assistant, content);
    }
    Ref calls = get_if_true(msg, T.tool_calls);
    if (!calls) return;
    for_each_item(calls.get(), [&](PyObject* tc) { write_tool_call(out, tc); });
}

// A tool result's content: an exact str still whole is cut as it is written.
void add_result_content(PrefixedText& out, PyObject* content, bool exact) {
    if (exact && PyUnicode_GET_LENGTH(content) > tool_result_limit) {
        out.add_prefix(result_end, content, tool_result_limit);
        out.add(truncated);
    } else {
        add_text_of(out, result_end, content);
    }
}

void write_tool_result(PrefixedText& out, PyObject* msg, Ref content) {
    Ref tool_id = mapping_get(msg, T.tool_call_id, T.unknown);
    // `content and len(content) > 500`: an exact str is true whenever it is
    // long, and is cut only as it is written, without a copy; any other value
    // is measured and cut at once, in the host's order of steps.
    const bool exact = PyUnicode_CheckExact(content.get());
    if (!exact && is_true(content.get())) content = shorten(std::move(content), tool_result_limit, T.truncated_marker);
    out.next_entry();
    add_text_of(out, result, tool_id.get());
    add_result_content(out, content.get(), exact);
}

// One message read in place, where nothing its entry needs can run code: a
// plain dict (see read_in_place) whose role, content and tool-call id are
// exact str and whose tool calls are absent, None or an exact list. False,
// with nothing written, otherwise.
bool write_plain_message(PrefixedText& out, PyObject* msg) {
    PyObject* const keys[] = {T.role, T.content, T.tool_calls, T.tool_call_id};
    PyObject* found[4];
    if (!read_in_place(msg, keys, found)) return false;
    PyObject* const role = found[0] != nullptr ? found[0] : T.unknown;
    PyObject* const content = found[1] != nullptr ? found[1] : T.empty;
    if (!PyUnicode_CheckExact(role) || !PyUnicode_CheckExact(content)) return false;
    if (role == T.user || equals(role, T.user)) {
        out.next_entry();
        out.add(user, content);
    } else if (role == T.assistant || equals(role, T.assistant)) {
        PyObject* const calls = found[2];
        // None and an exact list are told true or false without running code.
        if (calls != nullptr && calls != Py_None && !PyList_CheckExact(calls)) return false;
        if (PyUnicode_GET_LENGTH(content) > 0) {
            out.next_entry();
            out.add(assistant, content);
        }
        if (calls == nullptr || calls == Py_None || PyList_GET_SIZE(calls) == 0) return true;
        // The second read finds the same list: nothing ran since the first.
        // The calls may run code, so the list and the texts so far are held
        // from here on.
        out.hold();
        Ref held = Ref::borrow(calls);
        for_each_item(held.get(), [&](PyObject* tc) { write_tool_call(out, tc); });
    } else if (equals(role, T.tool)) {
        PyObject* const tool_id = found[3] != nullptr ? found[3] : T.unknown;
        if (!PyUnicode_CheckExact(tool_id)) return false;
        out.next_entry();
        out.add(result, tool_id);
        add_result_content(out, content, true);
    }
    return true;  // a system message, or any other role, writes nothing
}

void write_message(PrefixedText& out, PyObject* msg) {
    // msg.get(key, fallback), read in place for an exact dict.
    Ref role = get_or(msg, T.role, [] { return Ref::borrow(T.unknown); });
    Ref content = get_or(msg, T.content, [] { return Ref::borrow(T.empty); });
    // The usual roles are the interned constants themselves: found by
    // identity, with the answer the comparisons below would give.
    if (role.get() == T.user) {
        out.next_entry();
        add_text_of(out, user, content.get());
        return;
    }
    if (role.get() == T.assistant) {
        write_assistant(out, msg, content.get());
        return;
    }
    if (equals(role.get(), T.system)) return;
    if (equals(role.get(), T.tool)) {
        write_tool_result(out, msg, std::move(content));
    } else if (equals(role.get(), T.assistant)) {
        write_assistant(out, msg, content.get());
    } else if (equals(role.get(), T.user)) {
        out.next_entry();
        add_text_of(out, user, content.get());
    }
}

enum : std::size_t { messages_at };

Ref format_messages_for_summary(PyObject* const* params) {
    PyObject* messages = params[messages_at];
    // About one piece an entry: its prefix and its text. The texts of plain
    // messages are held by their messages until anything may run code.
    PrefixedText out(T.newline, prefixes, static_cast<std::size_t>(PyList_GET_SIZE(messages)) + 8, true);
    // The list is read by index each time: a message's own `get` may change it.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(messages); ++i) {
        if (write_plain_message(out, PyList_GET_ITEM(messages, i))) continue;
        out.hold();
        Ref msg = Ref::borrow(PyList_GET_ITEM(messages, i));
        write_message(out, msg.get());
    }
    return out.finish();
}

enum : std::size_t { args_at };

// Each value's text is made and cut before its key is formatted, as the
// host runs the steps of one pair.
Ref brief_args(PyObject* const* params) {
    // Three pieces a pair (key, "=", value): the list is made once.
    TextWriter out(T.pair_separator, 3 * static_cast<std::size_t>(PyDict_GET_SIZE(params[args_at])));
    for_each_pair(params[args_at], [&](PyObject* key, PyObject* value) {
        Shortened value_text(str_of(value), argument_value_limit, T.ellipsis);
        out.next_entry();
        out.add_text_of(key);
        out.add(T.equals);
        out.add(std::move(value_text));
    });
    return out.finish();
}

constexpr Param messages_param[] = {{"messages", &Texts::messages, &PyList_Type, false}};
static_assert(binds(messages_param, messages_at, &Texts::messages));
constexpr Annotation format_messages_annotations[] = {
    {&Texts::messages, &Texts::ann_messages},
    {&Texts::ret, &Texts::ann_str},
};
constexpr Param args_param[] = {{"args", &Texts::args, &PyDict_Type, false}};
static_assert(binds(args_param, args_at, &Texts::args));
constexpr Annotation brief_args_annotations[] = {
    {&Texts::args, &Texts::ann_dict},
    {&Texts::ret, &Texts::ann_str},
};

}  // namespace

const FunctionSpec format_messages_for_summary_function = {
    .name = "_format_messages_for_summary",
    .name_text = &Texts::format_messages_for_summary,
    .qualname = &Texts::format_messages_for_summary,
    .doc = &Texts::format_messages_for_summary_doc,
    .params = messages_param,
    .defaults = 0,
    .annotations = format_messages_annotations,
    .coroutine = false,
    .body = format_messages_for_summary,
};

const FunctionSpec brief_args_function = {
    .name = "_brief_args",
    .name_text = &Texts::brief_args,
    .qualname = &Texts::brief_args,
    .doc = &Texts::brief_args_doc,
    .params = args_param,
    .defaults = 0,
    .annotations = brief_args_annotations,
    .coroutine = false,
    .body = brief_args,
};

}  // namespace summarizer
