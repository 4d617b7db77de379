// The coroutine type behind summarize_messages.
#include "ref.hpp"
