"""What the two fuzz suites share: their budget, the inputs they generate, and
the way a call is run and its outcome and log lines taken.

SUMMARIZER_FUZZ_EXAMPLES sets the budget of each test (200 by default).
"""

import collections
import contextlib
import json
import logging
import os

import hypothesis.strategies as st
from hypothesis import HealthCheck, settings

from conftest import Formatted, LOGGER_NAME, Response, Window

fuzz = settings(
    max_examples=int(os.environ.get("SUMMARIZER_FUZZ_EXAMPLES", "200")),
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

RECORD_KEYS = [
    "goals", "progress", "current_state", "key_decisions", "key_facts", "blockers", "next_steps", "summary",
]

# --- texts and values ---------------------------------------------------------

def near(*limits):
    """Texts whose length (in code points) lies within two of one of these limits."""
    lengths = st.one_of([st.integers(max(limit - 2, 0), limit + 2) for limit in limits])
    units = st.text(alphabet="aé😀\n =,`\r", min_size=1, max_size=4)
    return st.builds(lambda unit, n: (unit * n)[:n], units, lengths)


boundary_text = near(0, 100, 200, 500, 1000)
texts = st.one_of(st.text(max_size=20), boundary_text)

json_scalars = st.one_of(
    st.none(), st.booleans(), st.integers(-(10**20), 10**20), st.floats(allow_nan=False), texts
)
json_values = st.recursive(
    json_scalars,
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=6), inner, max_size=3),
    max_leaves=6,
)
json_non_objects = json_values.filter(lambda v: not isinstance(v, dict))

# --- messages -----------------------------------------------------------------

argument_values = st.one_of(near(100), near(100), json_values)       # texts cut at 100
argument_dicts = st.dictionaries(st.one_of(st.text(max_size=8), st.integers(0, 9)), argument_values, max_size=4)
arguments = st.one_of(
    argument_dicts,
    argument_dicts.map(json.dumps),                                   # JSON text of an object
    argument_dicts.map(json.dumps),
    json_non_objects.map(json.dumps),                                 # JSON text of anything else
    texts,                                                            # mostly invalid JSON
    near(200).map(lambda text: "{" + text[1:]),                       # invalid, around the cut
    st.one_of(st.none(), st.integers(), st.lists(st.integers(), max_size=80)),
)
names = st.one_of(st.text(max_size=10), st.text(max_size=10), st.none(), st.integers())
call_fields = st.fixed_dictionaries({}, optional={"name": names, "arguments": arguments})
tool_calls = st.one_of(
    call_fields,                                                      # flat
    st.fixed_dictionaries({"function": call_fields}),                 # nested
    st.builds(lambda flat, nested: flat | {"function": nested}, call_fields, call_fields),  # mixed
    st.one_of(st.text(max_size=5), st.none(), st.integers()),         # skipped
)
rare_tool_calls = st.one_of(                                          # each raises somewhere
    st.builds(lambda flat, bad: flat | {"function": bad}, call_fields, st.sampled_from([None, "f", 3])),
    st.builds(lambda args: {"name": "n", "arguments": collections.OrderedDict(args)}, argument_dicts),
)
tool_call_values = st.one_of(
    st.lists(tool_calls, min_size=1, max_size=3),
    st.lists(tool_calls, min_size=1, max_size=3),
    st.lists(tool_calls, max_size=2).map(tuple),
    st.one_of(st.text(max_size=4), st.none(), st.just(0), st.just([])),
    st.lists(st.one_of(tool_calls, rare_tool_calls), max_size=2),
)
odd_contents = st.one_of(
    st.none(), st.integers(0, 3), st.just(""),
    st.lists(st.fixed_dictionaries({"type": st.just("text"), "text": st.text(max_size=5)}), max_size=2),
    st.builds(lambda n: list(range(n)), st.sampled_from([3, 199, 200, 201, 499, 500, 501])),
    st.builds(Formatted, st.text(max_size=5)),
    st.builds(Window, st.integers(198, 202) | st.integers(498, 502)),
)
short_texts = st.text(max_size=20)
odd_roles = st.one_of(
    st.sampled_from(["developer", "User", "ASSISTANT", " tool", "", "unknown", "system"]),
    st.none(), st.integers(0, 2),
)
user_message = st.fixed_dictionaries(
    {"role": st.just("user")},
    optional={"content": st.one_of(short_texts, near(0, 200), odd_contents)},
)
tool_message = st.fixed_dictionaries(
    {"role": st.just("tool")},
    optional={
        "content": st.one_of(short_texts, near(500), near(500, 2000), odd_contents),
        "tool_call_id": st.one_of(st.text(max_size=8), st.none()),
    },
)
assistant_message = st.fixed_dictionaries(
    {"role": st.just("assistant")},
    optional={"content": st.one_of(short_texts, near(0, 300), st.none()), "tool_calls": tool_call_values},
)
other_message = st.fixed_dictionaries(
    {},
    optional={
        "role": odd_roles,
        "content": st.one_of(short_texts, odd_contents),
        "tool_calls": tool_call_values,
        "tool_call_id": st.text(max_size=3),
    },
)
message = st.one_of(user_message, tool_message, assistant_message, assistant_message, other_message)
messages = st.one_of(
    st.lists(message, max_size=6),
    st.lists(message, max_size=6),
    st.lists(message, max_size=6),
    st.lists(st.one_of(message, st.sampled_from(["text", None, 7])), max_size=4),
)

# Several user requests among other turns, for the fallback's choice of goal.
user_request = st.fixed_dictionaries(
    {"role": st.just("user"), "content": st.one_of(st.text(min_size=1, max_size=20), near(200), odd_contents)}
)
user_requests = st.lists(st.one_of(user_request, user_request, message), min_size=1, max_size=6)

# --- model answers ------------------------------------------------------------

answer_objects = st.fixed_dictionaries(
    {}, optional={key: json_values for key in RECORD_KEYS + ["created_at", "extra"]}
)
bodies = st.builds(json.dumps, st.one_of(answer_objects, json_values), indent=st.sampled_from([None, 2]))
blank = st.sampled_from(["", " ", "\n\n", " \t\n", "\u2003", "\x85\n", "\u2028\x1c", "\ufeff"])
tags = st.sampled_from(["", "json", "JSON", " json", "text", "json\u3000", "```"])
answer_shapes = st.one_of(
    st.builds(lambda a, body, b: a + body + b, blank, bodies, blank),
    st.builds(lambda tag, body, after: f"```{tag}\n{body}\n```{after}", tags, bodies,
              st.sampled_from(["", "\n", "\x85", "\nThanks!", "\n```json\n{}\n```", "x\n```"])),
    st.builds(lambda tag, body: f"```{tag}\n{body}```", tags, bodies),          # closing on last line
    st.builds(lambda tag, body: f"```{tag}{body}```", tags, bodies),            # all on one line
    st.builds(lambda body: f"```json\n{body}", bodies),                          # never closed
    st.builds(lambda prose, body: f"{prose}\n```json\n{body}\n```", st.text(min_size=1, max_size=10), bodies),
    texts,
    near(1000).map(lambda text: "{" + text[1:]),
)
answers = st.builds(
    lambda text, crlf: text.replace("\n", "\r\n") if crlf else text, answer_shapes, st.booleans()
)

# --- records for rendering ----------------------------------------------------

render_values = st.one_of(
    texts, st.builds(Formatted, st.text(max_size=3)), st.none(), st.integers(), st.floats(), st.booleans(),
    st.lists(json_values, max_size=4),
    st.lists(json_values, max_size=3).map(tuple),
    st.dictionaries(st.text(max_size=4), json_scalars, max_size=3),
)
records = st.fixed_dictionaries({}, optional={key: render_values for key in RECORD_KEYS + ["created_at"]})

# --- running a call -------------------------------------------------------------


def outcome(call):
    """What a call did: its result, or the type and text of its exception."""
    try:
        result = call()
    except Exception as error:
        return ("raised", type(error), str(error))
    if type(result) is dict and "created_at" in result:
        created_at = result.pop("created_at")
        assert type(created_at) is float
        return ("record", list(result.items()))
    return ("returned", type(result), result)


class _Collect(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.seen = []

    def emit(self, record):
        self.seen.append((record.levelname, record.msg, record.args, record.exc_info))


@contextlib.contextmanager
def logged():
    handler = _Collect()
    logger = logging.getLogger(LOGGER_NAME)
    logger.addHandler(handler)
    try:
        yield handler.seen
    finally:
        logger.removeHandler(handler)


class Client:
    """A client that answers at once, as the generated behaviour says."""

    def __init__(self, behaviour):
        self.behaviour = behaviour
        self.requests = []

    async def complete(self, *args, **kwargs):
        self.requests.append((args, list(kwargs.items())))
        kind, value = self.behaviour
        if kind == "raise":
            raise value[0](*value[1:])
        if kind == "no-content":
            return object()
        return Response(value)


behaviours = st.one_of(
    st.tuples(st.just("answer"), answers),
    st.tuples(st.just("answer"), st.sampled_from(["", None, 0, "   "])),
    st.tuples(st.just("raise"), st.sampled_from([(ValueError, "boom"), (RuntimeError,), (KeyError, "k")])),
    st.tuples(st.just("no-content"), st.none()),
)


def run_to_end(coroutine):
    try:
        coroutine.send(None)
    except StopIteration as stop:
        return stop.value
    raise AssertionError("the coroutine suspended on a client that answers at once")
