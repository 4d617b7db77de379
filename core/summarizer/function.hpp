// The one function type behind every function of the module.
//
// A function is a static FunctionSpec (names, doc, parameters with their
// entry checks, annotations, the C++ body) plus the objects the host sees
// (__globals__, __defaults__, __annotations__, __dict__, a code object for
// inspect.signature). One binder turns a vectorcall into an array of checked,
// borrowed parameters, with the exact error texts, for every function.
#pragma once

#include <span>

#include "ref.hpp"
#include "texts.hpp"

namespace summarizer {

struct Param {
    const char* name;      // for error messages
    Text text;             // the parameter's name as the host sees it
    PyTypeObject* exact;   // nullptr: any object; otherwise exactly this type
    bool none_ok;          // None passes the entry check as well
};

struct Annotation {
    Text key;
    Text value;
};

// Receives one borrowed object per parameter, already bound and checked.
// Throws PyError (with the error set) to fail.
using Body = Ref (*)(PyObject* const* params);

struct FunctionSpec {
    const char* name;  // for error messages
    Text name_text;
    Text qualname;
    Text doc;  // nullptr: the function has no doc string
    std::span<const Param> params;
    int defaults;  // the last `defaults` parameters default to None
    std::span<const Annotation> annotations;
    bool coroutine;  // marked for asyncio as a coroutine function
    Body body;
};

inline constexpr std::size_t max_params = 3;

// A body reads each parameter from its place in the bound array, by name:
//     enum : std::size_t { self_at, summary_at };                 beside the body
//     static_assert(binds(params, summary_at, &Texts::summary));  beside the table
// so the table and the places its body reads cannot drift apart, and no table
// outgrows the binder's array.
template <std::size_t N>
constexpr bool binds(const Param (&table)[N], std::size_t at, Text name) {
    return N <= max_params && at < N && table[at].text == name;
}

// Prepares the type; safe to call more than once.
void ready_function_type();

// A new function object for `spec` whose __globals__ is `globals`.
Ref make_function(const FunctionSpec& spec, PyObject* globals);

}  // namespace summarizer
