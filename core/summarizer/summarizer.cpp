// The class: __init__ and summarize_messages.
#include "functions.hpp"
#include "module.hpp"

namespace summarizer {
namespace {

Ref init(PyObject* const* params) {
    check(PyObject_SetAttr(params[0], T.llm, params[1]));
    return Ref::borrow(Py_None);
}

Ref not_yet(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "not yet");
    throw PyError{};
}

constexpr Param init_params[] = {
    {"self", &Texts::self, nullptr, false},
    {"llm_client", &Texts::llm_client, nullptr, false},
};
constexpr Annotation init_annotations[] = {{&Texts::llm_client, &Texts::ann_any}};

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
    .body = not_yet,
};

}  // namespace summarizer
