"""Repeated calls leak nothing: memory blocks stay flat and every input's
reference count comes back, on success and on every failure path."""
import asyncio
import collections
import contextlib
import functools
import gc
import inspect
import json
import logging
import os
import sys
import types
import warnings

import pytest

import twin
import vorlin.core.summarizer as ext
from conftest import LOGGER_NAME, Response

# Under the sanitizers every call is many times slower; fewer rounds still show
# any reference that is kept.
UNDER_ASAN = os.environ.get("SUMMARIZER_UNDER_ASAN") == "1"
ROUNDS = 200 if UNDER_ASAN else 2000
WARM_UP = 20 if UNDER_ASAN else 200
# Blocks that may come and go between two measurements without any leak (free
# lists, caches); one object kept per call would show as ROUNDS blocks.
BLOCK_SLACK = 32
# Without the interpreter's own allocator (PYTHONMALLOC=malloc, as under the
# sanitizers) no blocks are counted; the reference counts still are.
COUNTS_BLOCKS = sys.getallocatedblocks() > 0


class Instant:
    """Answers at once, with the same response object every time."""

    def __init__(self, answer):
        self.response = Response(answer)

    async def complete(self, *, messages, max_tokens):
        return self.response


class Failing:
    async def complete(self, *, messages, max_tokens):
        raise ValueError("model unavailable")


@types.coroutine
def _pending(response):
    yield "waiting"
    return response


class Pending:
    """Suspends once before answering, so the coroutine can be thrown into."""

    def __init__(self, answer):
        self.response = Response(answer)

    def complete(self, *, messages, max_tokens):
        return _pending(self.response)


class Awaited:
    """Keeps whatever it is given while it is awaited."""

    def __await__(self):
        return self

    def __next__(self):
        return "waiting"


class Holding:
    """Suspends on an object of its own, which the test hands the coroutine."""

    def complete(self, *, messages, max_tokens):
        return Awaited()


class PlainValue:
    """A complete that returns something that cannot be awaited."""

    def complete(self, *, messages, max_tokens):
        return Response("{}")


class Unprintable:
    def __format__(self, spec):
        raise LookupError("cannot format")


class Sized:
    """Has a length but no item access: cannot be cut."""

    def __len__(self):
        return 300


class BrokenLogger:
    def warning(self, message):
        raise OSError("log full")

    error = warning


class Resizing:
    """A value whose text adds or removes a key of the dict being briefed, in
    turn: the dict changes size during every walk but does not grow."""

    def __init__(self, target):
        self.target = target

    def __str__(self):
        if self.target.pop("extra", None) is None:
            self.target["extra"] = 0
        return "v"


class Inputs:
    """Everything one case may pass in; each of them is checked afterwards."""

    def __init__(self):
        self.msgs = [
            {"role": "system", "content": "You are helpful."},
            {"role": "user", "content": "Find the bug " * 30},
            {"role": "assistant", "content": "Looking.", "tool_calls": [
                {"function": {"name": "read", "arguments": json.dumps({"path": "/a.py", "q": "x" * 150})}},
                {"name": "grep", "arguments": {"pattern": "def", "n": 3}},
                {"name": "bad", "arguments": "{not json"},
                {"name": "list", "arguments": "[1, 2]"},
                "skipped",
            ]},
            {"role": "tool", "tool_call_id": "c1", "content": "r" * 800},
            {"role": "tool", "content": None},
            {"role": "user", "content": ["part", 1]},
            {"role": "other", "content": 3},
        ]
        self.args = {"path": "/x" * 80, "n": 3, "nested": {"k": [1, 2]}}
        self.resizing = {"a": 1}
        self.resizing["b"] = Resizing(self.resizing)
        self.ordered = collections.OrderedDict(a=1)
        self.record = {
            "goals": ["g1", "g2"], "progress": ("p",), "current_state": "working", "key_decisions": ["d"],
            "key_facts": "ab", "blockers": [None, 3], "next_steps": ["n"], "summary": "s", "created_at": 1.0,
        }
        self.bad_record = dict(self.record, progress=5)
        self.existing = "Earlier: the goals were set."
        self.fenced = '```json\n{"goals": ["g"], "summary": "s", "extra": 1}\n```'
        self.prose = "Here is a summary, not JSON. " * 50
        self.non_object = '"just a string"'
        self.long_list = list(range(600))
        self.unprintable_record = {"goals": ["ok", Unprintable()]}
        clients = {
            "plain value": PlainValue(), "throwing in": Pending(self.fenced),
            "fenced": Instant(self.fenced), "prose": Instant(self.prose), "non-object": Instant(self.non_object),
            "empty": Instant(""), "failing": Failing(), "pending": Pending(self.fenced), "no complete": object(),
            "holding": Holding(),
        }
        self.clients = list(clients.values())
        self.summarizers = {name: ext.ConversationSummarizer(client) for name, client in clients.items()}

    def tracked(self):
        return [self.msgs, *self.msgs, self.long_list, self.args, self.resizing, self.ordered,
                self.record, self.bad_record, self.unprintable_record, self.existing, self.fenced, self.prose,
                self.non_object, *self.clients, *self.summarizers.values(),
                *[client.response for client in self.clients if hasattr(client, "response")]]

    def summarize(self, client, messages=None, *steps):
        coroutine = self.summarizers[client].summarize_messages(
            self.msgs if messages is None else messages, self.existing)
        try:
            coroutine.send(None)
            for step in steps:
                step(coroutine)
        except StopIteration as stop:
            return stop.value
        return None

    def in_a_cycle(self, *steps):
        """The client holds the coroutine that holds it: only the collector can free them."""
        client = Pending(self.fenced)
        coroutine = ext.ConversationSummarizer(client).summarize_messages(self.msgs, self.existing)
        client.coroutine = coroutine
        coroutine.send(None)
        for step in steps:
            step(coroutine)

    def held_by_its_await(self):
        """What the coroutine awaits holds it: only the collector can free them."""
        coroutine = self.summarizers["holding"].summarize_messages(self.msgs, self.existing)
        coroutine.send(None)
        coroutine.cr_await.coroutine = coroutine

    def with_broken_logger(self, call):
        saved = ext.logger
        ext.logger = BrokenLogger()
        try:
            return call()
        finally:
            ext.logger = saved

    @functools.cached_property
    def loop(self):
        return asyncio.new_event_loop()

    def close(self):
        if "loop" in vars(self):
            self.loop.close()

    def send_to_new(self):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # it is never awaited after that
            self.summarizers["fenced"].summarize_messages(self.msgs).send(1)

    def never_awaited(self):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # dropped unawaited on purpose
            self.summarizers["fenced"].summarize_messages(self.msgs, self.existing)


def introspect(coroutine):
    coroutine.__name__, coroutine.__qualname__, coroutine.cr_await, coroutine.cr_running
    coroutine.__await__().close()


def throw_in(coroutine):
    coroutine.throw(KeyError("thrown in"))


def throw_with_traceback(coroutine):
    try:
        raise KeyError("with traceback")
    except KeyError as error:
        coroutine.throw(KeyError, error, error.__traceback__)


FUNCTIONS = [ext._format_messages_for_summary, ext._brief_args, ext._parse_summary, ext._empty_summary,
             ext._fallback_summary, ext.ConversationSummarizer.__init__,
             ext.ConversationSummarizer.summarize_messages, ext.ConversationSummarizer.format_summary_for_context]


def introspect_functions(summarizer):
    for function in FUNCTIONS:
        inspect.signature(function)
        (function.__name__, function.__qualname__, function.__doc__, function.__module__, function.__defaults__,
         function.__kwdefaults__, function.__annotations__, function.__globals__, function.__dict__,
         function._is_coroutine, repr(function))
        bound = function.__get__(summarizer, type(summarizer))
        bound.__name__, bound._is_coroutine, repr(bound)


def resume(coroutine):
    coroutine.send(None)


def cancel(coroutine):
    coroutine.throw(asyncio.CancelledError())


def close(coroutine):
    coroutine.close()


def with_tool_call(msgs, arguments):
    return msgs + [{"role": "assistant", "tool_calls": [{"name": "n", "arguments": arguments}]}]


# name: (what the call must end with, the call)
CASES = {
    # the functions themselves
    "introspection": (type(None), lambda i: introspect_functions(i.summarizers["fenced"])),
    # transcript
    "format": (str, lambda i: ext._format_messages_for_summary(i.msgs)),
    "format element without get": (AttributeError, lambda i: ext._format_messages_for_summary(i.msgs + ["x"])),
    "format arguments changing size": (
        RuntimeError, lambda i: ext._format_messages_for_summary(with_tool_call(i.msgs, i.resizing))),
    "format dict subclass arguments": (
        TypeError, lambda i: ext._format_messages_for_summary(with_tool_call(i.msgs, i.ordered))),
    "format long list tool result": (
        TypeError, lambda i: ext._format_messages_for_summary(i.msgs + [{"role": "tool", "content": i.long_list}])),
    "format tuple": (TypeError, lambda i: ext._format_messages_for_summary(tuple(i.msgs))),
    # argument brief
    "brief": (str, lambda i: ext._brief_args(i.args)),
    "brief dict changing size": (RuntimeError, lambda i: ext._brief_args(i.resizing)),
    "brief dict subclass": (TypeError, lambda i: ext._brief_args(args=i.ordered)),
    "brief unexpected keyword": (TypeError, lambda i: ext._brief_args(i.args, x=1)),
    # answer parsing
    "parse fenced": (dict, lambda i: ext._parse_summary(i.fenced)),
    "parse prose": (dict, lambda i: ext._parse_summary(i.prose)),
    "parse non-object": (AttributeError, lambda i: ext._parse_summary(i.non_object)),
    "parse warning failing": (OSError, lambda i: i.with_broken_logger(lambda: ext._parse_summary(i.prose))),
    "parse None": (TypeError, lambda i: ext._parse_summary(None)),
    # records without the model
    "empty": (dict, lambda i: ext._empty_summary()),
    "empty with argument": (TypeError, lambda i: ext._empty_summary(i.msgs)),
    "fallback": (dict, lambda i: ext._fallback_summary(i.msgs)),
    "fallback content without length": (
        TypeError, lambda i: ext._fallback_summary([{"role": "user", "content": 5}] + i.msgs)),
    "fallback content that cannot be cut": (
        TypeError, lambda i: ext._fallback_summary([{"role": "user", "content": Sized()}] + i.msgs)),
    "fallback element without get": (AttributeError, lambda i: ext._fallback_summary([None] + i.msgs)),
    # rendering
    "render": (str, lambda i: i.summarizers["fenced"].format_summary_for_context(i.record)),
    "render not iterable": (TypeError, lambda i: i.summarizers["fenced"].format_summary_for_context(i.bad_record)),
    "render item that cannot be formatted": (
        LookupError, lambda i: i.summarizers["fenced"].format_summary_for_context(i.unprintable_record)),
    "render wrong type": (TypeError, lambda i: i.summarizers["fenced"].format_summary_for_context(summary=[])),
    # summarizing: answers and fallbacks
    "summarize answer": (dict, lambda i: i.summarize("fenced")),
    "summarize prose answer": (dict, lambda i: i.summarize("prose")),
    "summarize non-object answer": (dict, lambda i: i.summarize("non-object")),
    "summarize empty answer": (dict, lambda i: i.summarize("empty")),
    "summarize complete raising": (dict, lambda i: i.summarize("failing")),
    "summarize client without complete": (dict, lambda i: i.summarize("no complete")),
    "summarize complete not awaitable": (dict, lambda i: i.summarize("plain value")),
    "summarize empty list": (dict, lambda i: i.summarize("fenced", [])),
    "summarize element without get": (AttributeError, lambda i: i.summarize("fenced", i.msgs + [7])),
    "summarize error log failing": (OSError, lambda i: i.with_broken_logger(lambda: i.summarize("failing"))),
    "summarize warning and error log failing": (
        OSError, lambda i: i.with_broken_logger(lambda: i.summarize("empty"))),
    "summarize wrong type": (
        TypeError, lambda i: i.summarizers["fenced"].summarize_messages(i.msgs, existing_summary={})),
    "summarize unexpected keyword": (
        TypeError, lambda i: i.summarizers["fenced"].summarize_messages(i.msgs, extra=1)),
    # summarizing: the coroutine's life
    "summarize after suspension": (dict, lambda i: i.summarize("pending", None, resume)),
    "summarize exception thrown in": (dict, lambda i: i.summarize("throwing in", None, throw_in)),
    "summarize thrown with a traceback": (dict, lambda i: i.summarize("throwing in", None, throw_with_traceback)),
    "summarize cancelled": (asyncio.CancelledError, lambda i: i.summarize("pending", None, cancel)),
    "summarize closed while pending": (type(None), lambda i: i.summarize("pending", None, close)),
    "summarize closed before start": (
        type(None), lambda i: i.summarizers["pending"].summarize_messages(i.msgs, i.existing).close()),
    "summarize never awaited": (type(None), lambda i: i.never_awaited()),
    "summarize send to a new coroutine": (TypeError, lambda i: i.send_to_new()),
    "summarize coroutine introspected": (type(None), lambda i: i.summarize("pending", None, introspect)),
    "summarize in a running loop": (dict, lambda i: i.loop.run_until_complete(
        i.summarizers["pending"].summarize_messages(i.msgs, i.existing))),
    "summarize pending in a reference cycle": (type(None), lambda i: i.in_a_cycle()),
    "summarize finished in a reference cycle": (StopIteration, lambda i: i.in_a_cycle(resume)),
    "summarize pending in a cycle through its await": (type(None), lambda i: i.held_by_its_await()),
}


@contextlib.contextmanager
def quiet_logger():
    """Log lines go to a handler that keeps nothing, not to pytest's capture."""
    logger = logging.getLogger(LOGGER_NAME)
    handler = logging.NullHandler()
    propagate = logger.propagate
    logger.addHandler(handler)
    logger.propagate = False
    try:
        yield
    finally:
        logger.propagate = propagate
        logger.removeHandler(handler)


def ending(call):
    try:
        return type(call())
    except (Exception, asyncio.CancelledError) as error:
        return type(error)


def repeat(call, rounds):
    for _ in range(rounds):
        try:
            call()
        except (Exception, asyncio.CancelledError):
            pass


def blocks():
    gc.collect()
    gc.collect()
    return sys.getallocatedblocks()


@pytest.mark.parametrize("name", CASES)
def test_repeated_calls_keep_memory_and_counts_flat(name):
    expected, run = CASES[name]
    inputs = Inputs()
    tracked = inputs.tracked()
    with quiet_logger():
        assert ending(lambda: run(inputs)) is expected
        repeat(lambda: run(inputs), WARM_UP)
        before = blocks()
        counts = [sys.getrefcount(o) for o in tracked]
        repeat(lambda: run(inputs), ROUNDS)
        after = blocks()
        assert [sys.getrefcount(o) for o in tracked] == counts
    inputs.close()
    assert after - before < BLOCK_SLACK


@pytest.mark.skipif(not COUNTS_BLOCKS, reason="the allocator counts no blocks")
def test_the_block_check_sees_one_object_per_call():
    kept = []
    before = blocks()
    repeat(lambda: kept.append(object()), ROUNDS)
    assert blocks() - before >= ROUNDS - BLOCK_SLACK
