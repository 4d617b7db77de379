// Messages -> transcript; the tool-argument brief.
#pragma once

#include "function.hpp"

namespace summarizer {

extern const FunctionSpec format_messages_for_summary_function;
extern const FunctionSpec brief_args_function;

}  // namespace summarizer
