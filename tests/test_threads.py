"""Eight threads at once on shared inputs: every call gives what it gives on
one thread, and the shared inputs are left as they were."""
import asyncio
import collections
import contextlib
import copy
import json
import logging
import sys
import threading

import pytest

import vorlin.core.summarizer as ext
from conftest import LOGGER_NAME, Response

THREADS = 8
ROUNDS = 60


def agent_messages(n):
    messages = [{"role": "system", "content": "You are helpful."}, {"role": "user", "content": "Fix the tests " * 20}]
    for i in range(n):
        arguments = json.dumps({"path": f"/src/m{i}.py", "query": "q" * (i % 150)})
        messages.append({"role": "assistant", "content": f"step {i}",
                         "tool_calls": [{"id": f"c{i}", "function": {"name": "read", "arguments": arguments}},
                                        {"name": "note", "arguments": {"text": "t" * i}}]})
        messages.append({"role": "tool", "tool_call_id": f"c{i}", "content": "r" * (i * 7 % 900)})
    return messages


MESSAGES = agent_messages(40)
ARGS = {f"k{i}": "v" * i for i in range(0, 200, 20)}
ANSWER = "```json\n" + json.dumps({"goals": ["g"], "progress": ["p1", "p2"], "summary": "narrative"}) + "\n```"
PROSE = "No JSON here, sorry. " * 80
RECORD = {"goals": ["a", "b"], "current_state": "working", "key_facts": ("f",), "summary": "s", "created_at": 1.0}
EXISTING = "Earlier: the build was red."

OPERATIONS = {
    "transcript": lambda s: ext._format_messages_for_summary(MESSAGES),
    "fallback": lambda s: ext._fallback_summary(MESSAGES),
    "brief": lambda s: ext._brief_args(ARGS),
    "parse": lambda s: ext._parse_summary(ANSWER),
    "parse prose": lambda s: ext._parse_summary(PROSE),
    "empty": lambda s: ext._empty_summary(),
    "render": lambda s: s.format_summary_for_context(RECORD),
    "brief refused": lambda s: ext._brief_args(collections.OrderedDict(ARGS)),
    "fallback without get": lambda s: ext._fallback_summary(MESSAGES + [None]),
    "summarize refused": lambda s: s.summarize_messages(tuple(MESSAGES)),
}


def outcome(call):
    try:
        result = call()
    except Exception as error:
        return type(error), str(error)
    if isinstance(result, dict):
        assert type(result.pop("created_at")) is float
    return result


@contextlib.contextmanager
def counted_logs():
    """Count the module's log lines here rather than keep them in pytest's capture."""
    counts = collections.Counter()
    lock = threading.Lock()

    class Count(logging.Handler):
        def emit(self, record):
            with lock:
                counts[record.levelname, record.getMessage()] += 1

    logger = logging.getLogger(LOGGER_NAME)
    handler, propagate = Count(), logger.propagate
    logger.addHandler(handler)
    logger.propagate = False
    try:
        yield counts
    finally:
        logger.propagate = propagate
        logger.removeHandler(handler)


@contextlib.contextmanager
def frequent_switches():
    """Hand the interpreter lock over as often as it allows, to mix the threads."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        yield
    finally:
        sys.setswitchinterval(interval)


def run_threads(work):
    """Run work(index) on THREADS threads released together; return their results."""
    barrier = threading.Barrier(THREADS)
    results = [None] * THREADS
    errors = []

    def body(index):
        try:
            barrier.wait()
            results[index] = work(index)
        except BaseException as error:  # noqa: B036 - reported in the main thread
            errors.append(error)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(THREADS)]
    with frequent_switches():
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    assert errors == []
    return results


@pytest.fixture
def shared_inputs_unchanged():
    before = copy.deepcopy([MESSAGES, ARGS, RECORD])
    yield
    assert [MESSAGES, ARGS, RECORD] == before


def test_functions_from_eight_threads(shared_inputs_unchanged):
    summarizer = ext.ConversationSummarizer(None)
    with counted_logs() as logs:
        expected = {name: outcome(lambda: op(summarizer)) for name, op in OPERATIONS.items()}
        logs.clear()

        def work(index):
            names = list(OPERATIONS)
            names = names[index % len(names):] + names[:index % len(names)]  # each thread its own order
            return [(name, outcome(lambda: OPERATIONS[name](summarizer))) for _ in range(ROUNDS) for name in names]

        results = run_threads(work)
    for per_thread in results:
        assert per_thread == [(name, expected[name]) for name, _ in per_thread]
    assert logs == {("WARNING", "Could not parse summary JSON, using fallback"): THREADS * ROUNDS}


class YieldingClient:
    """Gives the loop a turn before answering, so the calls of one loop interleave."""

    def __init__(self, answer):
        self.answer = answer

    async def complete(self, *, messages, max_tokens):
        await asyncio.sleep(0)
        if isinstance(self.answer, Exception):
            raise self.answer
        return Response(self.answer)


CALLS_PER_LOOP = 25


def test_one_event_loop_per_thread(shared_inputs_unchanged):
    clients = {"parsed": YieldingClient(ANSWER), "empty": YieldingClient(""), "failing": YieldingClient(OSError("down"))}
    summarizers = {name: ext.ConversationSummarizer(client) for name, client in clients.items()}

    def expected_of(name):
        async def one():
            return await summarizers[name].summarize_messages(MESSAGES, EXISTING)
        return outcome(lambda: asyncio.run(one()))

    with counted_logs() as logs:
        expected = {name: expected_of(name) for name in summarizers}
        logs.clear()

        async def loop_body(index):
            names = [list(summarizers)[(index + i) % len(summarizers)] for i in range(CALLS_PER_LOOP)]
            calls = [summarizers[name].summarize_messages(MESSAGES, EXISTING) for name in names]
            records = await asyncio.gather(*calls)
            return list(zip(names, [outcome(lambda: r) for r in records]))

        results = run_threads(lambda index: asyncio.run(loop_body(index)))
    assert expected["parsed"]["summary"] == "narrative"
    assert expected["empty"]["current_state"] == expected["failing"]["current_state"] == (
        f"Conversation had {len(MESSAGES)} messages before summarization")
    for per_thread in results:
        assert per_thread == [(name, expected[name]) for name, _ in per_thread]
    names = [name for per_thread in results for name, _ in per_thread]
    assert logs == {
        ("WARNING", "Empty response from summarizer LLM"): names.count("empty"),
        ("ERROR", "Summarization failed: down"): names.count("failing"),
    }


class Slow:
    """An awaitable whose step lets go of the interpreter lock for a while."""

    def __init__(self, started, release):
        self.started, self.release = started, release

    def __await__(self):
        return self

    def __next__(self):
        self.started.set()
        self.release.wait(5)  # blocks without the interpreter lock
        raise StopIteration(Response(ANSWER))


class SlowClient:
    def __init__(self):
        self.started, self.release = threading.Event(), threading.Event()

    def complete(self, *, messages, max_tokens):
        return Slow(self.started, self.release)


@pytest.mark.parametrize("step", [
    lambda c: c.send(None), lambda c: c.throw(ValueError("other thread")), lambda c: c.close(),
], ids=["send", "throw", "close"])
def test_coroutine_running_in_another_thread_is_refused(step):
    client = SlowClient()
    coroutine = ext.ConversationSummarizer(client).summarize_messages(MESSAGES)
    ended = []

    def drive():
        try:
            coroutine.send(None)
        except StopIteration as stop:
            ended.append(stop.value["summary"])

    driver = threading.Thread(target=drive)
    driver.start()
    try:
        assert client.started.wait(5)
        assert coroutine.cr_running is True
        with pytest.raises(ValueError, match="^coroutine already executing$"):
            step(coroutine)
    finally:
        client.release.set()
        driver.join()
    assert ended == ["narrative"] and coroutine.cr_running is False
