// What the function bodies need of the module: its namespace, by name.
#pragma once

#include "ref.hpp"

namespace summarizer {

// The module's dict (borrowed), as bound by the exec step.
PyObject* module_globals() noexcept;

// Looks a module-level name up at its point of use: the module's dict, then
// the builtins; NameError "name '...' is not defined" when it is in neither.
Ref global(PyObject* name);

// Calls a module-level function or method found by name: global(name)(arg).
Ref call_global(PyObject* name, PyObject* arg);

// logger.<level>(message), with the logger looked up by name.
void log(PyObject* level, PyObject* message);

// time.time(), with the time module looked up by name.
Ref current_time();

// json.loads(text), with the json module looked up by name.
Ref json_loads(PyObject* text);

// Whether the exception now set is the json module's JSONDecodeError (looked
// up by name as it arrives). The exception stays set either way.
bool json_decode_error_pending();

}  // namespace summarizer
