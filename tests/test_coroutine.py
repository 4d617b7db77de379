"""The coroutine of summarize_messages against the host's own: the twin's
method is an `async def`, so every script of send, throw and close must end
the same way on both, step by step, with the same log lines."""
import asyncio
import gc
import itertools
import logging
import sys
import types
import warnings

import pytest

import twin
import vorlin.core.summarizer as ext
from conftest import Response

MESSAGES = [{"role": "user", "content": "Fix the build"}, {"role": "assistant", "content": "On it"}]


@types.coroutine
def answering():
    """Yields once; answers with what was sent, or a parsable record."""
    sent = yield "waiting"
    return Response(sent if sent is not None else '{"summary": "s"}')


@types.coroutine
def catching():
    """Answers a thrown Exception by yielding once more, then answers."""
    try:
        yield "waiting"
    except Exception as e:
        yield f"caught {type(e).__name__}"
    return Response('{"summary": "after"}')


@types.coroutine
def ignoring_exit():
    """Yields through the first GeneratorExit; the second one ends it."""
    try:
        yield "waiting"
    except GeneratorExit:
        pass
    yield "still waiting"


class Bare:
    """An awaitable with only __next__: no send, throw or close."""

    def __await__(self):
        return self

    def __next__(self):
        return "waiting"


class Client:
    def __init__(self, make):
        self.make = make

    def complete(self, **kwargs):
        return self.make()


STEPS = {
    "send None": lambda c: c.send(None),
    "send text": lambda c: c.send('{"summary": "sent"}'),
    "send 1": lambda c: c.send(1),
    "throw instance": lambda c: c.throw(ValueError("thrown")),
    "throw class": lambda c: c.throw(ValueError),
    "throw class, value": lambda c: c.throw(ValueError, "v"),
    "throw int": lambda c: c.throw(1),
    "throw bad traceback": lambda c: c.throw(ValueError, None, 2),
    "throw instance, value": lambda c: c.throw(ValueError("x"), 5),
    "throw GeneratorExit": lambda c: c.throw(GeneratorExit),
    "throw KeyboardInterrupt": lambda c: c.throw(KeyboardInterrupt("stop")),
    "close": lambda c: c.close(),
}
AWAITABLES = {"answering": answering, "catching": catching, "ignoring exit": ignoring_exit, "bare": Bare}


def outcome(step, coro, records):
    """What one step did, in terms both implementations can share."""
    del records[:]
    try:
        value = step(coro)
        result = ("value", value)
    except StopIteration as stop:
        record = dict(stop.value)
        record.pop("created_at")
        result = ("return", record)
    except BaseException as e:  # noqa: B036 - every outcome is compared
        context = type(e.__context__).__name__ if e.__context__ is not None else None
        result = ("raise", type(e).__name__, str(e), context)
    return result, [(r.levelname, r.getMessage()) for r in records]


class Collect(logging.Handler):
    def __init__(self):
        super().__init__()
        self.records = []

    def emit(self, record):
        self.records.append(record)


@pytest.fixture
def records():
    handler = Collect()
    logger = logging.getLogger("vorlin.summarizer")
    logger.addHandler(handler)
    level = logger.level
    logger.setLevel(logging.DEBUG)
    yield handler.records
    logger.removeHandler(handler)
    logger.setLevel(level)


def play(module, make, script, records):
    coro = module.ConversationSummarizer(Client(make)).summarize_messages(MESSAGES)
    results = [outcome(STEPS[name], coro, records) for name in script]
    results.append(("cr_await is None", coro.cr_await is None))
    results.append(outcome(STEPS["close"], coro, records))
    return results


# An abandoned "ignoring exit" generator complains when it is collected, under
# both implementations alike.
@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
@pytest.mark.parametrize("awaitable", AWAITABLES)
def test_every_three_step_script_ends_as_the_hosts_coroutine(awaitable, records):
    make = AWAITABLES[awaitable]
    mismatches = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # the twin's never-awaited coroutines
        for script in itertools.product(STEPS, repeat=3):
            if script[0] != "send None" and script[0] not in ("close", "throw instance", "throw int", "send 1"):
                continue  # the other first steps are covered by these
            expected = play(twin, make, script, records)
            actual = play(ext, make, script, records)
            if actual != expected:
                mismatches.append((script, expected, actual))
    assert mismatches == []


def test_reentering_a_running_coroutine_is_refused():
    seen = []

    class Reentrant:
        def __await__(self):
            return self

        def __next__(self):
            seen.append(coro.cr_running)
            for step in (lambda: coro.send(None), lambda: coro.throw(ValueError), coro.close):
                with pytest.raises(ValueError, match="^coroutine already executing$"):
                    step()
            raise StopIteration(Response('{"summary": "s"}'))

    coro = ext.ConversationSummarizer(Client(Reentrant)).summarize_messages(MESSAGES)
    assert coro.cr_running is False
    with pytest.raises(StopIteration) as stop:
        coro.send(None)
    assert stop.value.value["summary"] == "s"
    assert seen == [True] and coro.cr_running is False


@pytest.mark.parametrize("module", [ext, twin], ids=["ext", "twin"])
def test_never_awaited_warns_once_and_started_does_not(module):
    summarizer = module.ConversationSummarizer(Client(answering))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        summarizer.summarize_messages(MESSAGES)
        gc.collect()
        started = summarizer.summarize_messages(MESSAGES)
        started.send(None)
        del started
        gc.collect()
    assert [(w.category, str(w.message)) for w in caught] == [
        (RuntimeWarning, "coroutine 'ConversationSummarizer.summarize_messages' was never awaited")]


def test_dropping_a_suspended_coroutine_closes_its_awaitable():
    closed = []

    @types.coroutine
    def watched():
        try:
            yield "waiting"
        finally:
            closed.append(True)

    coro = ext.ConversationSummarizer(Client(watched)).summarize_messages(MESSAGES)
    coro.send(None)
    del coro
    assert closed == [True]


def counts(*objects):
    return [sys.getrefcount(o) for o in objects]


@pytest.mark.parametrize("script", [
    ["send None", "send text"],
    ["send None", "throw instance"],
    ["send None", "throw KeyboardInterrupt"],
    ["send None", "close"],
    ["close"],
    ["throw instance"],
    [],
])
def test_inputs_are_released_on_every_ending(script, records):
    client = Client(answering)
    summarizer = ext.ConversationSummarizer(client)
    messages = [dict(m) for m in MESSAGES]
    existing = "earlier " * 3
    before = counts(summarizer, client, messages, existing)
    coro = summarizer.summarize_messages(messages, existing)
    for name in script:
        outcome(STEPS[name], coro, records)
    if not script:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            del coro
    else:
        del coro
    assert counts(summarizer, client, messages, existing) == before


class Immediate:
    async def complete(self, *, messages, max_tokens):
        return Response('{"summary": "s"}')


class Delegating:
    """A host awaitable that awaits another through its __await__ iterator."""

    def __init__(self, inner):
        self.inner = inner

    def __await__(self):
        return (yield from self.inner.__await__())


@types.coroutine
def generator_based(inner):
    return (yield from inner)


@pytest.mark.parametrize("module", [ext, twin], ids=["ext", "twin"])
@pytest.mark.parametrize("wrap", [Delegating, generator_based])
def test_awaited_through_yield_from(module, wrap):
    """yield from needs an iterator: the host's coroutine_wrapper is one, and a
    generator-based coroutine may yield from a coroutine."""
    summarizer = module.ConversationSummarizer(Immediate())

    async def main():
        return await wrap(summarizer.summarize_messages([{"role": "user", "content": "x"}]))

    assert asyncio.run(main())["summary"] == "s"
