// Messages -> transcript; the tool-argument brief.
#include "functions.hpp"
#include "module.hpp"
#include "text.hpp"

namespace summarizer {
namespace {

Ref not_yet(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "not yet");
    throw PyError{};
}

constexpr Param messages_param[] = {{"messages", &Texts::messages, &PyList_Type, false}};
constexpr Annotation format_messages_annotations[] = {
    {&Texts::messages, &Texts::ann_messages},
    {&Texts::ret, &Texts::ann_str},
};
constexpr Param args_param[] = {{"args", &Texts::args, &PyDict_Type, false}};
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
    .body = not_yet,
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
    .body = not_yet,
};

}  // namespace summarizer
