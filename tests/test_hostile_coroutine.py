"""Hostile callers of the coroutine against the host's own: each script runs on
the extension and on the twin's `async def` and must end alike, step by step
(values, records, log lines, unraisable reports, exceptions with cause and
context). Scripts that re-enter it from a lookup run in a child process."""
import ast
import functools
import gc
import json
import logging
import subprocess
import sys
import tracemalloc
import types
import warnings

import pytest

import twin
import vorlin.core.summarizer as ext
from conftest import LOGGER_NAME, Response

MESSAGES = [{"role": "user", "content": "Fix the build"}]


def describe(e, depth=2):
    if e is None:
        return None
    try:
        text = str(e)
    except Exception:  # noqa: BLE001 - an exception without a text is a case here
        text = "<no text>"
    return (type(e).__name__, text) + ((describe(e.__cause__, depth - 1),
                                        describe(e.__context__, depth - 1)) if depth else ())


def plain(value):
    if isinstance(value, Response):
        return ("Response", value.content)
    return {k: v for k, v in value.items() if k != "created_at"} if isinstance(value, dict) else value


def step(call):
    try:
        return ("value", plain(call()))
    except StopIteration as stop:
        return ("return", plain(stop.value))
    except BaseException as e:  # noqa: B036 - every outcome is compared
        return ("raise", describe(e))


class Watch(logging.Handler):
    """Log lines (an error line with the exception being handled as it is
    written) and unraisable reports while a script runs."""

    def emit(self, record):
        handled = (repr(sys.exc_info()[1]),) if record.levelno == logging.ERROR else ()
        self.lines.append((record.levelname, record.getMessage(), *handled))


def observe(module, script):
    watch, logger, hook = Watch(), logging.getLogger(LOGGER_NAME), sys.unraisablehook
    watch.lines, unraisable, level = [], [], logger.level
    logger.addHandler(watch)
    logger.setLevel(logging.DEBUG)
    sys.unraisablehook = lambda u: unraisable.append((describe(u.exc_value, 0), type(u.object).__name__))
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # coroutines a script leaves unawaited
            result = script(module)
            gc.collect()
    finally:
        sys.unraisablehook = hook
        logger.removeHandler(watch)
        logger.setLevel(level)
    return result, watch.lines, unraisable


def patched(module, script, **names):
    saved = {name: getattr(module, name) for name in names}
    vars(module).update(names)
    try:
        return script()
    finally:
        vars(module).update(saved)


class Client:
    def __init__(self, make):
        self.complete = lambda **kwargs: make()


@types.coroutine
def answering():
    return Response((yield "waiting"))


@types.coroutine
def failing_later():
    yield "waiting"
    raise ValueError("down")


def raising(exception):
    def make(*args):
        raise exception
    return make


class Iterator:
    """An awaitable whose iterator has no throw, plus what a case adds."""

    def __await__(self):
        return self

    def __next__(self):
        return "waiting"


class CloseLookupFails(Iterator):
    close = property(raising(LookupError("no close")))


class CloseFails(Iterator):
    close = raising(LookupError("close failed"))


class Shapeshifter(BaseException):
    """Raised, it becomes an ordinary Exception."""

    def __new__(cls, *args):
        return ValueError("shifted")


class ShiftingJson:
    """json whose loads raises a class that becomes a JSONDecodeError."""

    JSONDecodeError = json.JSONDecodeError
    loads = staticmethod(raising(type("Shifter", (BaseException,), {
        "__new__": lambda cls, *a: json.JSONDecodeError("shifted", "doc", 0)})))


class Formats(Exception):
    __format__ = lambda self, spec: "formatted"  # noqa: E731
    __str__ = lambda self: "stringified"  # noqa: E731


class Appended(str):
    def __radd__(self, other):
        return other + "appended " + str.__str__(self)


def summarize(module, make, messages=MESSAGES):
    return module.ConversationSummarizer(Client(make)).summarize_messages(messages)


def started(module, make):
    coro = summarize(module, make)
    return coro, step(lambda: coro.send(None))


def exception_state(module, make):
    """The failure path runs while an outer caller handles an exception; the
    inner caller goes on once that handler has ended."""
    async def caller():
        record = await summarize(module, make)
        await types.coroutine(lambda: (yield "caller paused"))()
        return plain(record), repr(sys.exc_info()[1])

    coro, out = caller(), []
    try:
        raise KeyError("outer")
    except KeyError:
        out += [step(lambda: coro.send(None)) for _ in range(2 if make is failing_later else 1)]
    return out + [step(lambda: coro.send(None)), repr(sys.exc_info()[1])]


def awaits_busy(module, native):
    if native:
        async def busy():
            return await answering()
        other = busy()
    else:
        other = summarize(module, answering)
    out = [step(lambda: other.send(None)), step(lambda: summarize(module, lambda: other).send(None))]
    return out + [step(lambda: other.send('{"summary": "other"}'))]


def two_awaiters(module):
    shared = summarize(module, answering)

    async def awaiter():
        return await shared

    first, second = awaiter(), awaiter()
    return [step(lambda: first.send(None)), step(lambda: second.send(None)),
            step(lambda: first.send('{"summary": "one"}'))]


def at_await(awaited, act):
    def script(module):
        coro, first = started(module, awaited)
        return [first, step(lambda: act(coro))]
    return script


def never_awaited_source(module):
    tracemalloc.start(5)
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            summarize(module, answering)
            gc.collect()
        return [(w.category.__name__, str(w.message), w.filename, w.lineno, type(w.source).__name__,
                 w.source.__qualname__, tracemalloc.get_object_traceback(w.source) is not None) for w in caught]
    finally:
        tracemalloc.stop()


def failing_with(exception):
    return lambda module: [step(lambda: summarize(module, raising(exception)).send(None))]


def rebinding_logger(module):
    recorder = types.SimpleNamespace(lines=[])
    recorder.error = recorder.lines.append

    class Rebinding(Exception):
        def __str__(self):
            module.logger = recorder
            return "rebound"

    out = patched(module, lambda: failing_with(Rebinding())(module), logger=module.logger)
    return out + [recorder.lines]


def rebinding_parser(module):
    class Answer:
        reads = 0

        @property
        def content(self):
            self.reads += 1
            if self.reads == 2:
                module._parse_summary = lambda text: {"summary": "rebound"}
            return '{"summary": "parsed"}'

    async def answered():
        return Answer()

    return patched(module, lambda: [step(lambda: summarize(module, answered).send(None))],
                   _parse_summary=module._parse_summary)


TOOL_CALL = {"role": "assistant", "tool_calls": [{"name": "t", "arguments": "x"}]}
CASES = {
    "exception state, failing at the call": functools.partial(exception_state, make=raising(ValueError("down"))),
    "exception state, failing when resumed": functools.partial(exception_state, make=failing_later),
    "awaits a busy native coroutine": functools.partial(awaits_busy, native=True),
    "awaits a busy summarize_messages": functools.partial(awaits_busy, native=False),
    "two awaiters": two_awaiters,
    "throw StopIteration before the start": lambda m: [step(lambda: summarize(m, answering).throw(
        StopIteration("early")))],
    "throw StopIteration at an await without throw": at_await(Iterator, lambda c: c.throw(StopIteration("x"))),
    "StopIteration from the fallback": lambda m: patched(
        m, lambda: failing_with(ValueError("down"))(m), _fallback_summary=raising(StopIteration("fb"))),
    "StopIteration from the empty record": lambda m: patched(m, lambda: [step(lambda: summarize(
        m, answering, []).send(None))], _empty_summary=raising(StopIteration("empty"))),
    **{f"{awaited.__name__}, {name}": at_await(awaited, act) for awaited in (CloseLookupFails, CloseFails)
       for name, act in (("close", lambda c: c.close()), ("throw GeneratorExit", lambda c: c.throw(GeneratorExit)),
                         ("collected", lambda c: None))},  # dropped as the script ends
    "normalised match in complete": failing_with(Shapeshifter),
    "normalised match in the answer": lambda m: patched(m, lambda: [step(lambda: m._parse_summary("not json"))],
                                                        json=ShiftingJson),
    "normalised match in tool arguments": lambda m: patched(
        m, lambda: [step(lambda: m._format_messages_for_summary([TOOL_CALL]))], json=ShiftingJson),
    "never awaited, with its source": never_awaited_source,
    "error text of an exception with __format__": failing_with(Formats()),
    "error text of a str subclass with __radd__": failing_with(
        type("StrSubclass", (Exception,), {"__str__": lambda self: Appended("text")})()),
    "error text of an exception without a text": failing_with(
        type("Unprintable", (Exception,), {"__str__": raising(TypeError("no text"))})()),
    "error text that rebinds the logger": rebinding_logger,
    "answer that rebinds the parser": rebinding_parser,
}


@pytest.mark.parametrize("case", CASES)
def test_case_ends_as_the_hosts_coroutine(case):
    assert observe(ext, CASES[case]) == observe(twin, CASES[case])


def lookup_finishes(module, how, answer):
    """throw()'s lookup of the awaited object's `throw` finishes the coroutine
    (closing it, or by a send that completes the await) before it answers with
    a method that yields, raises or returns, or with none."""
    holder = []

    class Awaited(Iterator):
        close = lambda self: None  # noqa: E731

        def send(self, value):
            if value == "finish":
                raise StopIteration(Response('{"summary": "finished"}'))
            return "waiting"

        @property
        def throw(self):
            holder[1:] = [step(holder[0].close if how == "close" else lambda: holder[0].send("finish"))]
            if answer == "none":
                raise AttributeError("throw")
            return {"yields": lambda *a: "from throw", "raises": raising(ValueError("from throw")),
                    "returns": raising(StopIteration("done"))}[answer]

    coro, first = started(module, Awaited)
    holder.append(coro)
    return [first, step(lambda: coro.throw(KeyError("thrown"))), step(lambda: coro.send(None)),
            coro.cr_await is None, holder[1:]]


# Where the host's own coroutine crashes (it resumes a finished frame), the
# extension refuses the throw's end, with that end as the context.
REENTERED = {f"{how}, throw {answer}": (functools.partial(lookup_finishes, how=how, answer=answer), context)
             for how in ("close", "send") for answer, context in (
                 ("yields", None), ("none", None), ("raises", ("ValueError", "from throw", None, None)),
                 ("returns", ("StopIteration", "done", None, None)))}


@pytest.mark.parametrize("case", REENTERED)
def test_finished_while_its_throw_is_looked_up(case):
    script, context = REENTERED[case]
    child = subprocess.run([sys.executable, "-c", "import sys, test_hostile_coroutine as t; "
                            "print(repr(t.observe(t.ext, t.REENTERED[sys.argv[1]][0])))", case],
                           cwd=__file__.rpartition("/")[0], capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    actual = ast.literal_eval(child.stdout.splitlines()[-1])
    if context is None:
        assert actual == observe(twin, script)
        return
    reuse = ("RuntimeError", "cannot reuse already awaited coroutine")
    inner = ("value", None) if "close" in case else ("return", {**plain(ext._empty_summary()), "summary": "finished"})
    assert actual == ([("value", "waiting"), ("raise", (*reuse, None, context)), ("raise", (*reuse, None, None)),
                       True, [inner]], [], [])
