// The model's answer -> record.
#include "functions.hpp"
#include "module.hpp"
#include "record.hpp"
#include "text.hpp"

namespace summarizer {
namespace {

Ref not_yet(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "not yet");
    throw PyError{};
}

constexpr Param text_param[] = {{"text", &Texts::text, &PyUnicode_Type, false}};
constexpr Annotation parse_summary_annotations[] = {
    {&Texts::text, &Texts::ann_str},
    {&Texts::ret, &Texts::ann_record},
};

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
    .body = not_yet,
};

}  // namespace summarizer
