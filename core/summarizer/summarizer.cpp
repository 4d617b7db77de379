// The class: __init__ and summarize_messages.
#include "summarizer.hpp"

#include "coroutine.hpp"
#include "runtime.hpp"
#include "text.hpp"
#include "values.hpp"

namespace summarizer {
namespace {

// Where each parameter stands in the bound arrays of __init__ and
// summarize_messages; the coroutine's locals are the latter's, in place.
enum : std::size_t { self_at, llm_client_at };
enum : std::size_t { messages_at = 1, existing_summary_at };

Ref init(PyObject* const* params) {
    check(PyObject_SetAttr(params[self_at], T.llm, params[llm_client_at]));
    return Ref::borrow(Py_None);
}

// Every value the operation returns is exactly a dict, or None.
Ref checked_result(Ref result) {
    if (PyDict_CheckExact(result.get()) || result.get() == Py_None) return result;
    throw_type_error("Expected %s, got %.200s", "dict", Py_TYPE(result.get())->tp_name);
}

Ref fallback_record(PyObject* messages) {
    return checked_result(call_global(T.fallback_summary, messages));
}

// callable(make_argument()) in the host's order of a call: the callable is
// found before its argument is made, so code that runs while the argument is
// made cannot change what is called.
template <class MakeArgument>
Ref call_made(Ref callable, MakeArgument&& make_argument) {
    Ref argument = make_argument();
    return Ref::check(PyObject_CallOneArg(callable.get(), argument.get()));
}

// logger.error("Summarization failed: " + str(e)): the text joined by the host's `+`.
void log_failure(PyObject* error) {
    Ref logger = global(T.logger);
    call_made(Ref::check(PyObject_GetAttr(logger.get(), T.error)), [&] {
        Ref text = str_of(error);
        return Ref::check(PyNumber_Add(T.failed_prefix, text.get()));
    });
}

// Any Exception from the request on: logged, and the fallback record instead.
// Other exceptions (cancellation, interpreter exit, close) pass on. The match
// is on the exception as the clause receives it, normalised.
Ref recover(PyObject* const* locals) {
    Ref error = take_exception();
    if (!PyErr_GivenExceptionMatches(error.get(), PyExc_Exception)) {
        raise_again(std::move(error));
        throw PyError{};
    }
    Handling handling(error.get());
    log_failure(error.get());
    return fallback_record(locals[messages_at]);
}

// The prompt, the earlier summary if any, and the transcript, each a piece of
// the system text; the transcript last, formatted, without its heading.
Ref prompt_parts(PyObject* messages, PyObject* existing_summary) {
    Ref conv_text = call_global(T.format_messages_for_summary, messages);
    Ref parts = Ref::check(PyList_New(0));
    check(PyList_Append(parts.get(), global(T.SUMMARIZE_PROMPT).get()));
    if (existing_summary != Py_None && PyUnicode_GET_LENGTH(existing_summary) > 0) {
        Ref previous = Ref::check(PyUnicode_Concat(T.previous_heading, existing_summary));
        check(PyList_Append(parts.get(), previous.get()));
    }
    check(PyList_Append(parts.get(), text_of(conv_text.get()).get()));
    return parts;
}

// The pieces joined by newlines, the transcript under its heading, written
// once. A prompt that is not a str fails as the host's join fails on it.
Ref system_text_of(PyObject* parts) {
    PyObject* prompt = PyList_GET_ITEM(parts, 0);
    if (!PyUnicode_Check(prompt)) return Ref::check(PyUnicode_Join(T.newline, parts));
    const Py_ssize_t last = PyList_GET_SIZE(parts) - 1;
    TextWriter out(T.newline, 6);
    for (Py_ssize_t i = 0; i <= last; ++i) {
        out.next_entry();
        if (i == last) out.add(T.conversation_heading);
        out.add(PyList_GET_ITEM(parts, i));
    }
    return out.finish();
}

Ref role_message(PyObject* role, PyObject* content) {
    Ref message = Ref::check(_PyDict_NewPresized(2));
    check(PyDict_SetItem(message.get(), T.role, role));
    check(PyDict_SetItem(message.get(), T.content, content));
    return message;
}

// complete(messages=[system, user], max_tokens=2048) on the client.
Ref request(PyObject* self, PyObject* parts) {
    Ref client = Ref::check(PyObject_GetAttr(self, T.llm));
    Ref system_text = system_text_of(parts);
    Ref request_messages = Ref::check(PyList_New(2));
    PyList_SET_ITEM(request_messages.get(), 0, role_message(T.system, system_text.get()).release());
    PyList_SET_ITEM(request_messages.get(), 1, role_message(T.user, T.user_instruction).release());
    PyObject* args[] = {client.get(), request_messages.get(), T.int_2048};
    return Ref::check(PyObject_VectorcallMethod(T.complete, args, 1, T.request_keywords));
}

// Up to the request: the empty record for no messages, else the request to await.
Ref begin(PyObject* const* locals, Ref* awaitable) {
    PyObject* messages = locals[messages_at];
    if (PyList_GET_SIZE(messages) == 0) {
        Ref empty_summary = global(T.empty_summary);
        return checked_result(Ref::check(PyObject_CallNoArgs(empty_summary.get())));
    }
    Ref parts = prompt_parts(messages, locals[existing_summary_at]);
    try {
        *awaitable = request(locals[self_at], parts.get());
    } catch (const PyError&) {
        return recover(locals);
    }
    return Ref();
}

// The model's answer: parsed when there is one, else the fallback record.
Ref answer(PyObject* const* locals, PyObject* response) {
    try {
        Ref content = Ref::check(PyObject_GetAttr(response, T.content));
        if (is_true(content.get())) {
            // _parse_summary(response.content): the second read of content
            // comes after the name is looked up.
            return checked_result(call_made(global(T.parse_summary), [&] {
                return Ref::check(PyObject_GetAttr(response, T.content));
            }));
        }
        log(T.warning, T.empty_response_warning);
        return fallback_record(locals[messages_at]);
    } catch (const PyError&) {
        return recover(locals);
    }
}

const CoroutineBody summarize_body = {
    .name = &Texts::summarize_messages,
    .qualname = &Texts::qual_summarize_messages,
    .begin = begin,
    .resume = answer,
    .fail = recover,
};

Ref summarize_messages(PyObject* const* params) {
    return make_coroutine(summarize_body, params);
}

constexpr Param init_params[] = {
    {"self", &Texts::self, nullptr, false},
    {"llm_client", &Texts::llm_client, nullptr, false},
};
constexpr Annotation init_annotations[] = {{&Texts::llm_client, &Texts::ann_any}};
static_assert(binds(init_params, self_at, &Texts::self) &&
              binds(init_params, llm_client_at, &Texts::llm_client));

constexpr Param summarize_params[] = {
    {"self", &Texts::self, nullptr, false},
    {"messages", &Texts::messages, &PyList_Type, false},
    {"existing_summary", &Texts::existing_summary, &PyUnicode_Type, true},
};
constexpr Annotation summarize_annotations[] = {
    {&Texts::messages, &Texts::ann_messages},
    {&Texts::existing_summary, &Texts::ann_optional_str},
    {&Texts::ret, &Texts::ann_record},
};
static_assert(binds(summarize_params, self_at, &Texts::self) &&
              binds(summarize_params, messages_at, &Texts::messages) &&
              binds(summarize_params, existing_summary_at, &Texts::existing_summary));
static_assert(std::size(summarize_params) == coroutine_locals);

}  // namespace

const FunctionSpec init_function = {
    .name = "__init__",
    .name_text = &Texts::dunder_init,
    .qualname = &Texts::qual_init,
    .doc = &Texts::init_doc,
    .params = init_params,
    .defaults = 0,
    .annotations = init_annotations,
    .coroutine = false,
    .body = init,
};

const FunctionSpec summarize_messages_function = {
    .name = "summarize_messages",
    .name_text = &Texts::summarize_messages,
    .qualname = &Texts::qual_summarize_messages,
    .doc = &Texts::summarize_messages_doc,
    .params = summarize_params,
    .defaults = 1,
    .annotations = summarize_annotations,
    .coroutine = true,
    .body = summarize_messages,
};

}  // namespace summarizer
