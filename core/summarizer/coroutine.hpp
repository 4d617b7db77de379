// A coroutine with one suspension point, following the host's coroutine
// protocol (send, throw, close, __await__, am_send).
//
// Its body is three steps around a single `await`: begin() runs up to the
// object to await, or ends at once with the result; when the awaited object
// completes, resume() runs to the result; when it fails, fail() runs with the
// exception set and either recovers with a result or rethrows. Steps throw
// PyError to end the coroutine with the exception set.
#pragma once

#include <cstddef>

#include "ref.hpp"
#include "texts.hpp"

namespace summarizer {

inline constexpr std::size_t coroutine_locals = 3;

struct CoroutineBody {
    Text name;
    Text qualname;
    // The result, or an empty Ref with *awaitable set to the object to await.
    Ref (*begin)(PyObject* const* locals, Ref* awaitable);
    Ref (*resume)(PyObject* const* locals, PyObject* awaited_value);
    Ref (*fail)(PyObject* const* locals);
};

void ready_coroutine_type();

// A new, not yet started coroutine holding new references to `locals`.
Ref make_coroutine(const CoroutineBody& body, PyObject* const* locals);

}  // namespace summarizer
