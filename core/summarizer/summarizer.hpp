// The class's __init__ and summarize_messages.
#pragma once

#include "function.hpp"

namespace summarizer {

extern const FunctionSpec init_function;
extern const FunctionSpec summarize_messages_function;

}  // namespace summarizer
