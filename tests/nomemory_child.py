"""Allocation-failure sweep of one operation, run in a process of its own.

    python nomemory_child.py OP [--start K] [--clean N] [--limit K]

For k = start, start+1, ... the k-th allocation made after the hook is set fails
(`_testcapi.set_nomemory(k, k + 1)`: exactly one failure, every later allocation
succeeds), the operation runs once, and the outcome is judged against the clean
result computed beforehand. The sweep ends once the call has run clean N times in
a row. The last line on stdout is one JSON object of observations, faults included;
the assertions live in test_nomemory.py. Each step writes its k to stderr first, so
a crash still names the failure point.

The operation `import` imports the module itself under the hook. The exec step runs
for the first time only once per process, so each failure point is tried in a forked
copy of a process that has loaded everything but this module.
"""

import argparse
import copy
import gc
import importlib
import importlib.util
import json
import logging
import os
import re
import sys
import time
import typing  # noqa: F401  (imported before the sweep: the exec step finds it loaded)
import warnings
from collections import Counter

import _testcapi

MODULE_NAME = "vorlin.core.summarizer"
LOGGER_NAME = "vorlin.summarizer"
FAILED = "Summarization failed: "
MAX_FAULTS = 5

# Which allocations fail: the interpreter's (every PyMem/PyObject allocator call), or,
# with --cxx, C++ operator new, through the library CXX_SHIM builds (preloaded).
def fail_at(k):
    _testcapi.set_nomemory(k, k + 1)


def stop_failing():
    _testcapi.remove_mem_hooks()


CXX_SHIM = r"""
// Preloaded: operator new throws std::bad_alloc once, at the k-th call after arming.
#include <cstdlib>
#include <new>

static long countdown = -1;  // -1: disarmed

extern "C" void nomemory_cxx_arm(long k) { countdown = k; }
extern "C" void nomemory_cxx_disarm() { countdown = -1; }

void* operator new(std::size_t size) {
    if (countdown >= 0 && countdown-- == 0) throw std::bad_alloc();
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
"""


def use_cxx_failures():
    import ctypes

    global fail_at, stop_failing
    process = ctypes.CDLL(None)
    arm, disarm = process.nomemory_cxx_arm, process.nomemory_cxx_disarm
    arm.argtypes = [ctypes.c_long]
    fail_at = lambda k: arm(k)
    stop_failing = lambda: disarm()


# --- inputs ----------------------------------------------------------------------------

ANSWER = {
    "goals": ["Deploy the site to staging"],
    "progress": ["Build passed", "Uploaded assets"],
    "current_state": "Waiting for the health check",
    "key_decisions": ["Use the blue slot"],
    "key_facts": ["URL is https://staging.example.test", None],
    "next_steps": ["Report the URL"],
    "summary": "The agent built and uploaded the site.",
    "blockers": None,
    "created_at": 1.5,
    "extra": {"ignored": True},
}
BARE_ANSWER = "\n   " + json.dumps(ANSWER) + "  \n"
FENCED_ANSWER = "```json\n" + json.dumps(ANSWER, indent=2) + "\n```\nignored tail\n"
UNDECODABLE_ANSWER = "  Sorry, I could not produce JSON this time. " * 30


def conversation():
    """Every kind of entry the transcript renders, both tool-call layouts included."""
    return [
        {"role": "system", "content": "You are a deployment agent."},
        {"role": "user", "content": "Deploy the site to staging, then report the URL. " * 5},
        {
            "role": "assistant",
            "content": "Building first.",
            "tool_calls": [
                {"name": "shell", "arguments": {
                    "cmd": "make build", "jobs": 2, "dry": None,
                    "env": {"CI": "1", "paths": ["a", "b"]}, "long": "x" * 150,
                }},
                {"function": {"name": "deploy", "arguments": '{"target": "staging", "retries": 3}'}},
                {"function": {"name": "notify", "arguments": "not json {"}},
                {"type": "function", "function": {"name": "count", "arguments": "[1, 2, null]"}},
                {"name": None, "function": {"name": "hidden"}},
                "not a tool call",
            ],
        },
        {"role": "tool", "tool_call_id": "call_1", "content": "build ok\n" * 70},
        {"role": "tool", "content": ""},
        {"role": "assistant", "content": None, "tool_calls": [{"function": {}}]},
        {"role": "user", "content": [{"type": "text", "text": "also the docs"}]},
        {"role": "user"},
        {"role": "User", "content": "skipped"},
    ]


class Msg(dict):
    """A message of a dict subclass with its own get: the module's general path."""

    def get(self, key, *default):
        return super().get(key, *default)


def general_conversation():
    """The same conversation through the general path: dict subclasses, tuples of calls."""
    out = []
    for msg in conversation():
        msg = Msg(msg)
        if isinstance(msg.get("tool_calls"), list):
            msg["tool_calls"] = tuple(
                Msg(tc, **({"function": Msg(tc["function"])} if "function" in tc else {}))
                if isinstance(tc, dict) else tc
                for tc in msg["tool_calls"])
        out.append(msg)
    return out


def full_record():
    return {
        "goals": ["Deploy", ("tuple", "item")],
        "progress": ("Built", 3, None),
        "current_state": ["a", "list", "state"],
        "key_decisions": ["Blue slot"],
        "key_facts": {"fact-key": 1},
        "blockers": [],
        "next_steps": "ab",
        "summary": "Narrative " * 20,
        "created_at": 12.5,
    }


class Response:
    def __init__(self, content):
        self.content = content


class Tick:
    """Suspends once, as an event loop's future does."""

    def __await__(self):
        yield "tick"


class Client:
    """Answers at once (`complete` never suspends), or after one suspension."""

    def __init__(self, answer, error=None, suspend=False):
        self.answer = answer
        self.error = error
        self.suspend = suspend
        self.requests = []

    async def complete(self, *, messages, max_tokens):
        self.requests.append((messages, max_tokens))
        if self.suspend:
            await Tick()
        if self.error is not None:
            raise ValueError(self.error)  # a new one each time: a kept one gathers tracebacks
        return Response(self.answer)


def run_to_end(coroutine):
    try:
        coroutine.send(None)
    except StopIteration as stop:
        return stop.value
    coroutine.close()
    raise AssertionError("the coroutine suspended on a client that answers at once")


def drive(coroutine, action):
    """Resume a coroutine that suspends once on its client, then `action` it: send None,
    throw an Exception into it, or close it."""
    try:
        first = coroutine.send(None)
    except StopIteration as stop:  # a failure before the request ends in the fallback
        return stop.value
    if first != "tick":
        raise AssertionError(f"the coroutine yielded {first!r}, not the client's value")
    if action == "close":
        return coroutine.close()
    try:
        if action == "throw":
            coroutine.throw(ValueError("thrown in by the host"))
        else:
            coroutine.send(None)
    except StopIteration as stop:
        return stop.value
    raise AssertionError("the coroutine suspended twice on a client that suspends once")


class Case:
    """One operation on representative inputs.

    `data()` builds the plain inputs (lists, dicts, texts) that the host's repr and the
    deep-copy comparison watch; `call(data)` runs the operation on them. `fallbacks(data)`
    gives the other results the operation may legitimately give, with a logged error,
    after a failure it catches (summarize_messages turns every Exception into the
    fallback record).
    """

    def __init__(self, data, call, client=None, fallbacks=None, held=()):
        self.data = data
        self.call = call
        self.client = client
        self.fallbacks = fallbacks
        self.held = held  # long-lived objects whose reference counts must not drift


def cases(mod):
    def summarize(messages, existing, answer, error=None, action=None):
        client = Client(answer, error, suspend=action is not None)
        summarizer = mod.ConversationSummarizer(client)
        if action is None:
            call = lambda d: run_to_end(summarizer.summarize_messages(d[0], existing_summary=d[1]))
        else:
            call = lambda d: drive(summarizer.summarize_messages(d[0], d[1]), action)
        return Case(
            lambda: (messages(), existing),
            call,
            client=client,
            # A failure that replaces GeneratorExit is an Exception, so it is logged and
            # handled too; close() then drops the record, as for a coroutine in Python.
            fallbacks=lambda d: [mod._fallback_summary(d[0])] + ([None] if action == "close" else []),
            held=(client, summarizer),
        )

    summarizer = mod.ConversationSummarizer(None)
    return {
        "format_messages": Case(lambda: (conversation(),),
                                lambda d: mod._format_messages_for_summary(d[0])),
        "brief_args": Case(lambda: (conversation()[2]["tool_calls"][0]["arguments"],),
                           lambda d: mod._brief_args(d[0])),
        "parse_bare": Case(lambda: (BARE_ANSWER,), lambda d: mod._parse_summary(d[0])),
        "parse_fenced": Case(lambda: (FENCED_ANSWER,), lambda d: mod._parse_summary(text=d[0])),
        "parse_undecodable": Case(lambda: (UNDECODABLE_ANSWER,), lambda d: mod._parse_summary(d[0])),
        "empty_summary": Case(lambda: (), lambda d: mod._empty_summary()),
        "fallback_summary": Case(lambda: (conversation(),), lambda d: mod._fallback_summary(d[0])),
        "format_for_context": Case(lambda: (full_record(),),
                                   lambda d: summarizer.format_summary_for_context(d[0]),
                                   held=(summarizer,)),
        "summarize": summarize(conversation, "Earlier: the user wants staging.", FENCED_ANSWER),
        "summarize_empty_answer": summarize(conversation, None, ""),
        "summarize_no_messages": summarize(list, None, BARE_ANSWER),
        # The failure branch runs on every call here, so the sweep reaches into it too.
        "summarize_client_fails": summarize(conversation, None, None, "model down"),
        "summarize_suspended": summarize(conversation, "Earlier.", BARE_ANSWER, action="send"),
        "summarize_thrown": summarize(conversation, None, BARE_ANSWER, action="throw"),
        "summarize_closed": summarize(conversation, None, BARE_ANSWER, action="close"),
        "format_messages_general": Case(lambda: (general_conversation(),),
                                        lambda d: mod._format_messages_for_summary(d[0])),
        "fallback_summary_general": Case(lambda: (general_conversation(),),
                                         lambda d: mod._fallback_summary(d[0])),
        # Calls that fail on their inputs after part of the work: the error must come out
        # unchanged, and the cleanup on the way out must survive a failure of its own.
        "format_messages_fails": Case(
            lambda: (conversation()[:4] + [{"role": "assistant", "tool_calls": [{"function": None}]}],),
            lambda d: mod._format_messages_for_summary(d[0])),
        "brief_args_fails": Case(lambda: ({"a": "x" * 120, "b": Unprintable()},),
                                 lambda d: mod._brief_args(d[0])),
        "parse_not_object": Case(lambda: ('```\n[1, 2, {"goals": []}]\n```',),
                                 lambda d: mod._parse_summary(d[0])),
        "fallback_summary_fails": Case(lambda: (conversation()[:3] + [{"role": "user", "content": 5}],),
                                       lambda d: mod._fallback_summary(d[0])),
        "format_for_context_fails": Case(lambda: ({"goals": ["a", "b"], "progress": 5},),
                                         lambda d: summarizer.format_summary_for_context(d[0]),
                                         held=(summarizer,)),
        "summarize_bad_message": summarize(lambda: conversation() + ["not a message"], None,
                                           BARE_ANSWER),
    }


class Unprintable:
    def __str__(self):
        raise ValueError("no text for this value")

    def __eq__(self, other):  # copies compare equal, for the unchanged-inputs check
        return type(other) is Unprintable

    __hash__ = object.__hash__


# Operations written to be wrong, so that a test can show the sweep notices each kind of
# fault: a failure swallowed into a partial result, a reference or an object kept on failure.
KEPT = []


def swallowing(messages):
    parts = []
    for msg in messages:
        try:
            parts.append(f"[{msg.get('role')}] {msg.get('content')}")
        except MemoryError:
            pass
    return "\n".join(parts)


def keeping(messages, new_object=False):
    try:
        return [dict(msg) for msg in messages]
    except MemoryError:
        KEPT.append([] if new_object else messages)
        raise


def faulty_cases():
    return {
        "faulty_swallowing": Case(lambda: (conversation(),), lambda d: swallowing(d[0])),
        "faulty_keeping": Case(lambda: (conversation(),), lambda d: keeping(d[0])),
        "faulty_hoarding": Case(lambda: (conversation(),), lambda d: keeping(d[0], new_object=True)),
    }


# --- observing one step ------------------------------------------------------------------


class ListHandler(logging.Handler):
    """Keeps only the finished message: the less a handler does, the less can fail."""

    def __init__(self, sink):
        super().__init__(logging.DEBUG)
        self.sink = sink

    def emit(self, record):
        self.sink.append(record.getMessage())


def normal(value, t0, t1):
    """A comparable form: records lose created_at, after it is checked to be this call's."""
    if type(value) is dict and "created_at" in value:
        stamp = value["created_at"]
        items = [(k, v) for k, v in value.items() if k != "created_at"]
        fresh = type(stamp) is float and t0 <= stamp <= t1
        return ("record", items, list(value).index("created_at") == len(value) - 1, fresh)
    return (type(value).__name__, value)


def watched_objects(obj, out):
    """The lists, dicts and texts in `obj`: their reference counts show a leaked reference.
    Texts that look like names are left out: the compiler interns those, and the host
    shares them everywhere."""
    if isinstance(obj, str):
        if not obj.isidentifier():
            out.append(obj)
    elif isinstance(obj, (list, tuple, dict)):
        if not isinstance(obj, tuple):  # tuples may be shared by the host
            out.append(obj)
        for item in (obj.items() if isinstance(obj, dict) else obj):
            watched_objects(item, out)
    return out


def refcounts(objs):
    return [sys.getrefcount(o) for o in objs]


def first_line(chain):
    """The outermost exception's text, addresses masked so that texts compare across runs."""
    return re.sub(r"0x[0-9a-f]+", "0x...", chain[0])


def describe(exc):
    """Type name and text of each exception in a chain. The tracebacks are dropped so that
    the frames they hold release the inputs before reference counts are compared."""
    chain = []
    while exc is not None and len(chain) < 5:
        chain.append(f"{type(exc).__name__}: {exc}")
        exc.__traceback__ = None
        nxt = exc.__cause__ or exc.__context__
        exc.__cause__ = exc.__context__ = None
        exc = nxt
    return chain


MODULE_MARKS = ("vorlin.core.summarizer", "ConversationSummarizer", "summarize_messages",
                "_format_messages_for_summary", "_brief_args", "_parse_summary",
                "_empty_summary", "_fallback_summary")
HOST_LOST_ERROR = re.compile(
    r"SystemError: (error return without exception set"
    r"|<.*> returned (NULL without setting an exception|a result with an exception set))")


def host_system_error(chain):
    """A SystemError that the host raises on its own under memory pressure.

    CPython 3.11 sometimes loses a pending exception when an allocation fails while the
    exception travels out of a frame: plain `len(5)`, `json.loads` of bad text, a
    `__str__` that raises and `logger.warning` all show it from pure Python. The eval
    loop then reports "error return without exception set", or names the Python
    callable. A C function that returns NULL without an exception, the module's
    included, is named by the host's call check, so a text naming the module is the
    module's fault, as is any other SystemError.
    """
    return (HOST_LOST_ERROR.fullmatch(chain[0]) is not None
            and not any(mark in chain[0] for mark in MODULE_MARKS))


class Sweep:
    def __init__(self, case, logs, clean_needed, limit):
        self.case = case
        self.logs = logs
        self.clean_needed = clean_needed
        self.limit = limit
        self.outcomes = Counter()
        self.exception_types = Counter()
        self.fallback_logs = Counter()
        self.texts = Counter()  # exceptions other than MemoryError, by their first line
        self.faults = []
        self.graveyard = []  # inputs whose repr drifted: kept alive so no new object reuses them

    def fault(self, kind, k, **detail):
        self.outcomes["fault"] += 1
        if len(self.faults) < MAX_FAULTS:
            self.faults.append({"kind": kind, "k": k, **detail})

    def run_once(self, data, k=None):
        """One call; with k, the k-th allocation inside it fails."""
        self.logs.clear()
        if self.case.client is not None:
            self.case.client.requests.clear()
        result = error = None
        t0 = time.time()
        if k is not None:
            fail_at(k)
        try:
            result = self.case.call(data)
        except BaseException as exc:  # judged below, outside the hook window
            error = exc
        finally:
            stop_failing()
        pending = sys.exc_info()[1]
        t1 = time.time()
        request = None
        if self.case.client is not None and self.case.client.requests:
            request = copy.deepcopy(self.case.client.requests[-1])
        described = None if error is None else describe(error)
        out = {
            "result": None if error is not None else normal(result, t0, t1),
            "error": described,
            "raised": None if described is None else first_line(described),
            "error_type": type(error),
            "logs": list(self.logs),
            "request": request,
            "pending": None if pending is None else repr(pending),
        }
        del result, error
        return out

    def setup(self):
        self.data = self.case.data()
        self.snapshot = copy.deepcopy(self.data)
        self.reprs = repr(self.data)
        self.watched = watched_objects(self.data, []) + list(self.case.held)
        self.base_counts = refcounts(self.watched)

    def judge(self, k, got):
        """Classify one step; True when it ran clean."""
        if got["pending"] is not None:
            self.fault("exception left pending", k, pending=got["pending"])
            return False
        if self.same_as_expected(got):
            if got["request"] != self.expected["request"]:
                self.fault("wrong request sent", k)
                return False
            self.outcomes["clean"] += 1
            return True
        if got["error"] is not None:
            chain, kind = got["error"], got["error_type"]
            self.exception_types[kind.__name__] += 1
            if host_system_error(chain):
                self.outcomes["host_system_error"] += 1
            elif not issubclass(kind, Exception) or issubclass(kind, SystemError):
                self.fault("unexpected exception", k, error=chain)
            else:
                self.outcomes["raised"] += 1
                if kind is not MemoryError:
                    self.texts[first_line(chain)] += 1
            return False
        if (got["result"] in self.fallbacks
                and got["logs"] and got["logs"][-1].startswith(FAILED)):
            self.outcomes["fallback"] += 1
            self.fallback_logs[got["logs"][-1]] += 1
            return False
        self.fault("wrong result", k, result=repr(got["result"])[:300], logs=got["logs"])
        return False

    def same_as_expected(self, got):
        """The clean call's outcome: its result and logs, or the same error."""
        return all(got[key] == self.expected[key] for key in ("result", "raised", "logs"))

    def check_after(self, k):
        """Inputs intact, no reference or object leaked, and a clean call still right."""
        if self.data != self.snapshot:
            self.fault("inputs changed", k)
        again = self.run_once(self.data)
        if not self.same_as_expected(again):
            self.fault("unusable after the failure", k, error=again["error"])
        del again
        gc.collect()
        counts = refcounts(self.watched)
        if counts != self.base_counts:
            self.fault("reference count of an input changed", k, changed=[
                [repr(obj)[:60], now - before]
                for obj, now, before in zip(self.watched, counts, self.base_counts) if now != before])
            self.base_counts = counts
        grown = self.objects_grown()
        if grown:
            # The first pass through a path may fill a cache of the host's; a leak grows
            # again each time the same failure point is hit.
            for _ in range(2):
                gc.collect()
                self.run_once(self.data, k)
                self.run_once(self.data)
            grown = self.objects_grown()
            if grown:
                self.fault("objects leaked", k, per_call=sum(grown.values()) / 2, types=grown)
            self.objects_grown()

    def objects_grown(self):
        """Types of the objects tracked by the collector since the last look (as a dict
        of counts, which the collector does not track); moves the baseline."""
        gc.collect()
        objects = gc.get_objects()
        grown = {}
        for obj in objects[self.base_objects:]:
            name = type(obj).__name__
            grown[name] = grown.get(name, 0) + 1
        self.base_objects = len(objects)
        del objects
        return grown

    def run(self, start):
        case = self.case
        self.setup()
        for _ in range(3):  # warm the host's caches, so the sweep sees steady-state calls
            self.expected = self.run_once(self.data)
        self.fallbacks = []
        if case.fallbacks is not None and self.expected["error"] is None:
            t0 = time.time()
            self.fallbacks = [normal(r, t0, time.time()) for r in case.fallbacks(self.data)]
        # Everything alive now is frozen: later collections are quick, and get_objects()
        # lists only what the sweep itself has created since.
        gc.collect()
        gc.freeze()
        gc.disable()  # no collection, with its finalizers, inside the hook window
        self.base_objects = len(gc.get_objects())
        clean_run = 0
        k = start
        last_unclean = start - 1
        stop = "clean"
        while clean_run < self.clean_needed:
            if k >= self.limit:
                stop = "limit"
                break
            os.write(2, b"k=%d\n" % k)
            # A full collection also empties the host's free lists of lists, dicts, tuples
            # and floats, so that every such object the call makes is a real allocation.
            gc.collect()
            got = self.run_once(self.data, k)
            if repr(self.data) != self.reprs:
                # The host's own repr lost a failed allocation and left its recursion guard
                # set: the inputs now print as "{...}". Not the module's doing; start over
                # with new copies and do not judge this step.
                self.outcomes["host_repr_drift"] += 1
                self.graveyard.append(self.data)
                self.setup()
                self.objects_grown()
                clean = False
            else:
                clean = self.judge(k, got)
                self.check_after(k)
            del got
            if clean:
                clean_run += 1
            else:
                clean_run = 0
                last_unclean = k
            k += 1
        gc.enable()
        return {
            "points": last_unclean + 1,
            "steps": k - start,
            "stop": stop,
            "outcomes": dict(self.outcomes),
            "exception_types": dict(self.exception_types),
            "fallback_logs": dict(self.fallback_logs),
            "texts": dict(self.texts),
            "faults": self.faults,
        }


# --- the import sweep ----------------------------------------------------------------------

EXPECTED_NAMES = [
    "__builtins__", "json", "logging", "time", "Any", "logger", "SUMMARIZE_PROMPT",
    "ConversationSummarizer", "_format_messages_for_summary", "_brief_args", "_parse_summary",
    "_empty_summary", "_fallback_summary", "__test__",
]


def check_imported(mod):
    """Faults of a module whose import succeeded under the hook, judged against the twin."""
    import twin

    faults = []
    names = [n for n in vars(mod) if not (n.startswith("__") and n not in ("__builtins__", "__test__"))]
    if names != EXPECTED_NAMES:
        faults.append(f"names {names}")
    if mod.logger is not logging.getLogger(LOGGER_NAME):
        faults.append("logger")
    if mod.SUMMARIZE_PROMPT != twin.SUMMARIZE_PROMPT:
        faults.append("prompt")
    if mod.__doc__ is None or len(mod.__doc__) != 477:
        faults.append("doc")
    t0 = time.time()
    for name, args in [("_format_messages_for_summary", (conversation(),)),
                       ("_brief_args", (conversation()[2]["tool_calls"][0]["arguments"],)),
                       ("_parse_summary", (FENCED_ANSWER,)), ("_parse_summary", (UNDECODABLE_ANSWER,)),
                       ("_empty_summary", ()), ("_fallback_summary", (conversation(),))]:
        try:
            got = getattr(mod, name)(*args)
        except Exception as exc:
            faults.append(f"{name}: {exc!r}")
            continue
        want = getattr(twin, name)(*args)
        if normal(got, t0, time.time()) != normal(want, t0, time.time()):
            faults.append(f"{name} differs from the twin")
    for name in ("ConversationSummarizer", "_parse_summary"):
        obj = getattr(mod, name)
        if getattr(obj, "__module__", None) != MODULE_NAME:
            faults.append(f"{name}.__module__")
    try:
        record = run_to_end(mod.ConversationSummarizer(Client(BARE_ANSWER)).summarize_messages(conversation()))
        if record["goals"] != ANSWER["goals"]:
            faults.append("summarize")
    except Exception as exc:
        faults.append(f"summarize: {exc!r}")
    return faults


def import_once(k):
    """In a forked process: import with the k-th allocation failing, then judge."""
    parent = sys.modules["vorlin.core"]
    gc.disable()
    fail_at(k)
    try:
        mod = importlib.import_module(MODULE_NAME)
    except BaseException as exc:  # judged below, outside the hook window
        mod = None
        error = exc
    finally:
        stop_failing()
    gc.enable()
    if mod is not None:
        faults = check_imported(mod)
        return {"outcome": "fault" if faults else "clean", "faults": faults}
    chain = describe(error)
    report = {"outcome": "raised", "type": type(error).__name__, "faults": []}
    if host_system_error(chain):
        report["outcome"] = "host_system_error"
    elif not isinstance(error, Exception) or isinstance(error, SystemError):
        report["faults"].append(f"unexpected exception {chain}")
    elif not isinstance(error, MemoryError):
        report["text"] = first_line(chain)
    del error
    left = sys.modules.get(MODULE_NAME)
    if left is not None:
        # The importer itself can fail after a complete exec step (binding the module on
        # its package, say); the module is then whole and stays. A module left half made
        # is the module's fault.
        faults = check_imported(left)
        if faults:
            report["faults"].append(f"a broken module stays in sys.modules: {faults}")
        else:
            report["outcome"] = "host_import_tail"
        return report
    if hasattr(parent, "summarizer"):
        report["faults"].append("the package holds a module that failed to import")
    # A failed exec step must leave nothing behind that stops the next import.
    try:
        mod = importlib.import_module(MODULE_NAME)
    except Exception as exc:
        report["faults"].append(f"import after the failure: {exc!r}")
        return report
    report["faults"] += [f"after the failure: {f}" for f in check_imported(mod)]
    return report


def import_sweep(start, clean_needed, limit):
    """The exec step's first run happens once per process, so each failure point gets a
    forked copy of a process in which everything but this module is already loaded."""
    for name in ("vorlin", "vorlin.core", "asyncio.coroutines", "twin"):
        importlib.import_module(name)
    if MODULE_NAME in sys.modules:
        raise AssertionError("the module was imported before the sweep")
    importlib.util.find_spec(MODULE_NAME)  # the finders' caches are warm from here on
    quiet = logging.getLogger(LOGGER_NAME)
    quiet.addHandler(logging.NullHandler())
    quiet.propagate = False
    outcomes = Counter()
    types = Counter()
    texts = Counter()
    faults = []
    clean_run = 0
    k = start
    last_unclean = start - 1
    sys.stdout.flush()
    while clean_run < clean_needed and k < limit:
        os.write(2, b"k=%d\n" % k)
        read_end, write_end = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(read_end)
            try:
                report = import_once(k)
            except BaseException as exc:
                report = {"outcome": "fault", "faults": [f"the check itself failed: {exc!r}"]}
            os.write(write_end, json.dumps(report).encode())
            os._exit(0)
        os.close(write_end)
        with os.fdopen(read_end, "rb") as pipe:
            raw = pipe.read()
        _, status = os.waitpid(pid, 0)
        if status != 0 or not raw:
            report = {"outcome": "fault", "faults": [f"the process died: wait status {status}"]}
        else:
            report = json.loads(raw)
        outcomes[report["outcome"]] += 1
        if "type" in report:
            types[report["type"]] += 1
        if "text" in report:
            texts[report["text"]] += 1
        if report["faults"] and len(faults) < MAX_FAULTS:
            faults.append({"k": k, "faults": report["faults"]})
        if report["outcome"] == "clean":
            clean_run += 1
        else:
            clean_run = 0
            last_unclean = k
        k += 1
    return {"points": last_unclean + 1, "steps": k - start,
            "stop": "clean" if clean_run >= clean_needed else "limit",
            "outcomes": dict(outcomes), "exception_types": dict(types), "texts": dict(texts),
            "faults": faults}


# --- entry point ---------------------------------------------------------------------------


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("op")
    parser.add_argument("--start", type=int, default=0)
    parser.add_argument("--clean", type=int, default=20)
    parser.add_argument("--limit", type=int, default=200_000)
    parser.add_argument("--cxx", action="store_true", help="fail C++ allocations instead")
    args = parser.parse_args()
    if args.cxx:
        use_cxx_failures()

    # Warnings raised inside the window (an unawaited coroutine, say) are counted, not
    # printed: printing could itself fail there.
    host_warnings = Counter()
    warnings.simplefilter("always")
    warnings.showwarning = lambda message, category, *rest: host_warnings.update([category.__name__])

    if args.op == "import":
        report = import_sweep(args.start, args.clean, args.limit)
    else:
        mod = importlib.import_module(MODULE_NAME)
        logger = logging.getLogger(LOGGER_NAME)
        sweep_logs = []
        logger.addHandler(ListHandler(sweep_logs))
        logger.setLevel(logging.DEBUG)
        logger.propagate = False
        sweep = Sweep({**cases(mod), **faulty_cases()}[args.op], sweep_logs, args.clean, args.limit)
        report = sweep.run(args.start)
    report["op"] = args.op
    report["host_warnings"] = dict(host_warnings)
    print(json.dumps(report))


if __name__ == "__main__":
    main()
