// A record -> the Markdown block for the agent's system prompt.
#pragma once

#include "function.hpp"

namespace summarizer {

extern const FunctionSpec format_summary_for_context_function;

}  // namespace summarizer
