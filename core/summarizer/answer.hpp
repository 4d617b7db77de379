// The model's answer -> record.
#pragma once

#include "function.hpp"

namespace summarizer {

extern const FunctionSpec parse_summary_function;

}  // namespace summarizer
