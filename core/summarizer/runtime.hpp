// The runtime: the process-wide state, and the services the function bodies
// ask of the module by name (a global, the logger, the clock, the decoder).
#pragma once

#include <cstdint>

#include "ref.hpp"

namespace summarizer {

// One copy per process, shared by every module object: the module lives in
// one interpreter only, so its types and constants are process-wide too.
// Module set-up writes it; the services below only read it.
struct ProcessState {
    bool interpreter_recorded = false;
    int64_t interpreter_id = -1;
    PyObject* module = nullptr;   // owned; set while an exec step runs or has succeeded
    PyObject* globals = nullptr;  // owned; that module's dict
    // The builtins module's dict, borrowed for the life of the process: the
    // interpreter holds the builtins module until it ends, and the module is
    // never loaded into another one.
    PyObject* builtins = nullptr;
};

extern ProcessState process;

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
