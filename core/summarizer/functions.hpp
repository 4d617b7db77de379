// The eight functions of the module, each defined beside the code it runs.
#pragma once

#include "function.hpp"

namespace summarizer {

extern const FunctionSpec init_function;
extern const FunctionSpec summarize_messages_function;
extern const FunctionSpec format_summary_for_context_function;
extern const FunctionSpec format_messages_for_summary_function;
extern const FunctionSpec brief_args_function;
extern const FunctionSpec parse_summary_function;
extern const FunctionSpec empty_summary_function;
extern const FunctionSpec fallback_summary_function;

}  // namespace summarizer
