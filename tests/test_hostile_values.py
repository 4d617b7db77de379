"""Hostile values: special methods that call back, change what is being walked, or lie.

Each case runs on the extension and on the twin, and the two outcomes must be
the same: the twin is the same functions written as plain Python, so it shows
what the host itself does. The crash cases each run in a child process under
the debug allocator (or the sanitizer's, when the suite runs under it), so a
use of freed memory ends that child with a fault instead of passing silently.
"""

import collections
import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import twin
from conftest import extension

TESTS = Path(__file__).parent


def outcome(case, impl):
    try:
        return ["returned", case(impl)]
    except Exception as error:  # the outcome is compared, whatever it is
        return ["raised", type(error).__name__, str(error)]


# --- crashes: a value freed while the module still uses it -----------------------------

# Each source defines case(m).
CRASH_PRELUDE = """
class Replacing:
    # Formatting that replaces container[key].
    def __init__(self, container, key):
        self.container, self.key = container, key
    def __repr__(self):
        self.container[self.key] = "replaced"
        return "R"
    __format__ = lambda self, spec: repr(self)

class Doomed:
    # Lives only in the container: freed (and overwritten) with it.
    def __repr__(self):
        return "D"
    __format__ = lambda self, spec: "D"
    __len__ = lambda self: 1

class Sized:
    # Content whose length, once measured, is all that holds it.
    def __init__(self, container, key, drop=None):
        self.container, self.key, self.drop = container, key, drop
    def __len__(self):
        self.container[self.key] = "replaced"
        if self.drop is not None:
            self.drop.clear()
        return 600
    def __getitem__(self, key):
        return "cut"
"""

# A message whose key compare drops it from its list, as soon as the message
# is being read.
COLLIDING_MESSAGE = """
        class Colliding:
            messages = []  # armed once the message is in its list
            def __hash__(self):
                return hash("role")
            def __eq__(self, other):
                self.messages.clear()
                return False
        class Message(dict):
            pass
        def messages():
            key = Colliding()
            key.messages = [Message({key: 0, "role": "user", "content": Doomed()})]
            return key.messages
"""

# A slice's repr does not hold the slice, unlike a list's or a tuple's, and
# formatting holds its value through the bound __format__: the cases reach the
# places where only the module's own reference keeps a value alive.
CRASH_CASES = {
    "brief-value": """
        def case(m):
            args = {}
            args["a"] = slice(Replacing(args, "a"), Doomed(), Doomed())
            return m._brief_args(args)
    """,
    "tool-arguments-value": """
        def case(m):
            args = {}
            args["q"] = slice(Replacing(args, "q"), Doomed(), Doomed())
            call = {"name": "t", "arguments": args}
            del args
            return m._format_messages_for_summary([{"role": "assistant", "tool_calls": [call]}])
    """,
    "tool-arguments-not-dict": """
        def case(m):
            call = {"name": "t"}
            call["arguments"] = slice(Replacing(call, "arguments"), Doomed(), Doomed())
            return m._format_messages_for_summary([{"role": "assistant", "tool_calls": [call]}])
    """,
    "tool-call-dropped-by-its-function": """
        class Function:
            def __init__(self, calls):
                self.calls = calls
            def get(self, key, default):
                self.calls[0] = None
                return default
        def case(m):
            calls = [{}]
            calls[0]["function"] = Function(calls)
            calls[0]["name"] = Doomed()
            return m._format_messages_for_summary([{"role": "assistant", "tool_calls": calls}])
    """,
    "message-dropped-by-its-tool-call": """
        class Function:
            def __init__(self, messages):
                self.messages = messages
            def get(self, key, default):
                self.messages.clear()
                return default
        def case(m):
            messages = []
            calls = [{"name": "t"}, {"name": Doomed()}]
            messages.append({"role": "assistant", "content": "said " + str(len(calls)), "tool_calls": calls})
            calls[0]["function"] = Function(messages)
            del calls
            return m._format_messages_for_summary(messages)
    """,
    "earlier-messages-dropped-by-a-later-one": """
        def case(m):
            messages = [{"role": "user", "content": "first " + str(1)},
                        {"role": "tool", "tool_call_id": "c " + str(2), "content": "second " * int("100")}]
            class Clearing:
                def __format__(self, spec):
                    messages[0]["content"] = "replaced"
                    del messages[:2]
                    return "C"
            messages.append({"role": "user", "content": Clearing()})
            return m._format_messages_for_summary(messages)
    """,
    "message-dropped-by-key-compare": COLLIDING_MESSAGE + """
        def case(m):
            return m._format_messages_for_summary(messages())
    """,
    "fallback-message-dropped-by-key-compare": COLLIDING_MESSAGE + """
        def case(m):
            return m._fallback_summary(messages())["summary"]
    """,
    "record-list-dropped-by-item": """
        class Dropping:
            def __init__(self, record):
                self.record = record
            def __format__(self, spec):
                self.record["goals"] = None
                return "g"
        def case(m):
            record = {"goals": []}
            record["goals"] += [Dropping(record), Doomed()]
            return m.ConversationSummarizer(None).format_summary_for_context(record)
    """,
    "tool-content-dropped-by-len": """
        def case(m):
            message = {"role": "tool"}
            message["content"] = Sized(message, "content")
            return m._format_messages_for_summary([message])
    """,
    "request-dropped-by-len": """
        def case(m):
            messages = [{"role": "user"}]
            messages[0]["content"] = Sized(messages[0], "content", messages)
            record = m._fallback_summary(messages)
            del record["created_at"]
            return record
    """,
}

CRASH_CHILD = """
import json, sys
sys.path.insert(0, {tests!r})
import twin
import vorlin.core.summarizer as ext
{prelude}
{case}
def outcome(m):
    try:
        return ["returned", case(m)]
    except Exception as error:
        return ["raised", type(error).__name__, str(error)]
print(json.dumps([outcome(ext), outcome(twin)]))
"""


@pytest.mark.parametrize("source", CRASH_CASES.values(), ids=CRASH_CASES.keys())
def test_no_use_after_free(source, tmp_path):
    script = CRASH_CHILD.format(tests=str(TESTS), prelude=CRASH_PRELUDE,
                                case=textwrap.dedent(source))
    env = dict(os.environ)
    # Freed memory is overwritten at once, so a use of it faults here too.
    env.setdefault("PYTHONMALLOC", "debug")
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          cwd=tmp_path, env=env, timeout=120)
    assert proc.returncode == 0, proc.stderr[-3000:]
    ext_outcome, twin_outcome = json.loads(proc.stdout.splitlines()[-1])
    assert twin_outcome[0] == "returned", twin_outcome  # the case reached its point
    assert ext_outcome == twin_outcome


# --- values as the host reads them ------------------------------------------------------

def colliding(target, events):
    """A key that hashes like `target` and notes every comparison made with it."""

    class Colliding:
        def __hash__(self):
            return hash(target)

        def __eq__(self, other):
            events.append(("eq", other))
            return False

    return Colliding()


def render(m, record):
    return m.ConversationSummarizer(None).format_summary_for_context(record)


def second_read_in_render(m):
    events = []
    record = {colliding("goals", events): 0, "goals": ["a"], colliding("summary", events): 0,
              "summary": "s"}
    events.clear()
    return render(m, record), events


def second_read_in_fallback(m):
    events = []
    message = {colliding("content", events): 0, "role": "user", "content": "hi"}
    events.clear()
    record = m._fallback_summary([message])
    return record["summary"], events


def second_read_of_tool_calls(m):
    events = []
    message = {colliding("tool_calls", events): 0, "role": "assistant",
               "tool_calls": [{"name": "t"}]}
    events.clear()
    return m._format_messages_for_summary([message]), events


class Rekeying:
    """A value whose str() deletes its own key and adds `added` in its place."""

    def __init__(self, args, key, added):
        self.args, self.key, self.added = args, key, added

    def __str__(self):
        del self.args[self.key]
        self.args[self.added] = 2
        return "v"


def keys_changed(m):
    args = {}
    args["a"] = Rekeying(args, "a", "b")
    return m._brief_args(args)


def keys_swapped_same_size(m):
    args = {}
    args["a"] = Rekeying(args, "b", "c")
    args["b"] = 1
    return m._brief_args(args)


def brief_order(m):
    events = []

    class Cut(str):
        def __format__(self, spec):
            events.append("format value")
            return str.__format__(self, spec)

    class Measured(str):
        def __len__(self):
            events.append("len")
            return 101

        def __getitem__(self, key):
            events.append(("item", repr(key)))
            return Cut("cut")

    class Value:
        def __str__(self):
            events.append("str")
            return Measured("value")

    class Key:
        def __format__(self, spec):
            events.append("format key")
            return "k"

    return m._brief_args({Key(): Value(), "b": Value()}), events


class NoneItem:
    __getitem__ = None

    def __len__(self):
        return 501


class NoItem:
    def __len__(self):
        return 501


class Sized(type):
    """Its classes have a length, and item access only through their own
    __class_getitem__, whose lookups each class notes."""

    def __len__(cls):
        return 501

    def __getattribute__(cls, name):
        if name == "__class_getitem__":
            cls.lookups.append(name)
        return type.__getattribute__(cls, name)


class Generic(metaclass=Sized):
    lookups = []

    def __class_getitem__(cls, key):
        return f"<{key.stop}>"


class Unsubscriptable(metaclass=Sized):
    lookups = []


def class_cut(cls):
    def case(m):
        cls.lookups.clear()
        return tool_content(cls)(m), cls.lookups

    return case


def tool_content(value):
    return lambda m: m._format_messages_for_summary([{"role": "tool", "content": value}])


def user_request(value):
    return lambda m: m._fallback_summary([{"role": "user", "content": value}])["summary"]


class ClaimsStr:
    """Not a str, but its __class__ says it is one, which isinstance believes."""

    __class__ = str

    def __format__(self, spec):
        return "claims"

    def __iter__(self):
        return iter("ab")


def claimed_str_arguments(m):
    call = {"name": "t", "arguments": ClaimsStr()}
    return m._format_messages_for_summary([{"role": "assistant", "tool_calls": [call]}])


def claimed_str_list_field(m):
    return render(m, {"goals": ClaimsStr()})


class Raising:
    """Stands in for logger or time: its methods raise."""

    def warning(self, message):
        raise ValueError("warning failed")

    def time(self):
        raise ValueError("time failed")


def context_after_decode_failure(name, answer):
    def case(m):
        saved = getattr(m, name)
        setattr(m, name, Raising())
        try:
            m._parse_summary(answer)
        except ValueError as error:
            return str(error), type(error.__context__).__name__
        finally:
            setattr(m, name, saved)

    return case


class Alias(str):
    """A keyword name that equals `target` by its own __eq__ and not by its characters."""

    target = "args"

    def __eq__(self, other):
        return isinstance(other, str) and str.__eq__(other, self.target)

    __hash__ = str.__hash__


class NamedAlias(Alias):
    target = "summary"


class Unequal(str):
    def __eq__(self, other):
        return False

    __hash__ = str.__hash__


class RaisingEq(str):
    def __eq__(self, other):
        raise LookupError("compared")

    __hash__ = str.__hash__


def keyword(name, call=lambda m, kw: m._brief_args(**kw), value=None):
    return lambda m: call(m, {name: {"a": 1} if value is None else value})


def tool_call_lookups(m):
    events = []

    class Watched(dict):
        def __getattribute__(self, name):
            events.append(("lookup", name))
            return dict.__getattribute__(self, name)

        def get(self, key, default=None):
            events.append(("get", key))
            return dict.get(self, key, default)

    call = Watched(name="t", arguments={"q": 1}, function={"name": "n"})
    return m._format_messages_for_summary([{"role": "assistant", "tool_calls": [call]}]), events


# (case, what the host's own code gives)
VALUE_CASES = {
    "second-read-render": (second_read_in_render, None),
    "second-read-fallback": (second_read_in_fallback, None),
    "second-read-tool-calls": (second_read_of_tool_calls, None),
    "keys-changed": (keys_changed,
                     ["raised", "RuntimeError", "dictionary keys changed during iteration"]),
    "keys-swapped-same-size": (keys_swapped_same_size, ["returned", "a=v, c=2"]),
    "brief-order": (brief_order, None),
    "tool-cut-deque": (tool_content(collections.deque(range(501))),
                       ["raised", "TypeError", "sequence index must be integer, not 'slice'"]),
    "tool-cut-getitem-none": (tool_content(NoneItem()),
                              ["raised", "TypeError", "'NoneType' object is not callable"]),
    "tool-cut-no-getitem": (tool_content(NoItem()),
                            ["raised", "TypeError", "'NoItem' object is unsliceable"]),
    "tool-cut-set": (tool_content(set(range(501))),
                     ["raised", "TypeError", "'set' object is unsliceable"]),
    "tool-cut-class-getitem": (class_cut(Generic),
                               ["returned", ["[Tool Result (unknown)]: <500>... [truncated]",
                                             ["__class_getitem__"]]]),
    "tool-cut-class-without-getitem": (class_cut(Unsubscriptable),
                                       ["raised", "TypeError", "'Sized' object is unsliceable"]),
    "request-cut-deque": (user_request(collections.deque(range(201))),
                          ["raised", "TypeError", "sequence index must be integer, not 'slice'"]),
    "request-cut-no-getitem": (user_request(NoItem()),
                               ["raised", "TypeError", "'NoItem' object is unsliceable"]),
    "claimed-str-arguments": (claimed_str_arguments,
                              ["raised", "AttributeError",
                               "'ClaimsStr' object has no attribute 'startswith'"]),
    "claimed-str-list-field": (claimed_str_list_field, None),
    "context-of-warning": (context_after_decode_failure("logger", "not json"),
                           ["returned", ["warning failed", "JSONDecodeError"]]),
    "context-of-time": (context_after_decode_failure("time", "not json"),
                        ["returned", ["time failed", "JSONDecodeError"]]),
    "no-context-when-decoded": (context_after_decode_failure("time", "{}"),
                                ["returned", ["time failed", "NoneType"]]),
    "keyword-equal-binds": (keyword(Alias("other")), ["returned", "a=1"]),
    "keyword-equal-binds-method": (
        keyword(NamedAlias("other"),
                lambda m, kw: m.ConversationSummarizer(None).format_summary_for_context(**kw),
                {"summary": "s"}),
        None),
    "keyword-unequal-refused": (keyword(Unequal("args"), lambda m, kw: m._brief_args({}, **kw)),
                                ["raised", "TypeError",
                                 "_brief_args() got an unexpected keyword argument 'args'"]),
    "keyword-eq-raises": (keyword(RaisingEq("zz")), ["raised", "LookupError", "compared"]),
    "tool-call-lookup-order": (tool_call_lookups, None),
}


@pytest.mark.parametrize("case, expected", VALUE_CASES.values(), ids=VALUE_CASES.keys())
def test_values_read_as_the_host_reads_them(case, expected):
    # Through JSON, so that tuples and lists compare alike.
    host = json.loads(json.dumps(outcome(case, twin)))
    if expected is not None:
        assert host == expected
    assert json.loads(json.dumps(outcome(case, extension))) == host
