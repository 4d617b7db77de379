// A record -> the Markdown block for the agent's system prompt.
#include "functions.hpp"
#include "record.hpp"
#include "text.hpp"

namespace summarizer {
namespace {

Ref not_yet(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "not yet");
    throw PyError{};
}

constexpr Param params[] = {
    {"self", &Texts::self, nullptr, false},
    {"summary", &Texts::summary, &PyDict_Type, false},
};
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
    .body = not_yet,
};

}  // namespace summarizer
