"""A wider differential search against the twin: values that are not plain
texts (str subclasses with their own methods, one-shot iterables, values whose
truth or text fails), answers at the decoder's edges, and the whole road from
answer to rendered block.  Every run also checks that no input was changed.

SUMMARIZER_FUZZ_EXAMPLES sets the budget of each test (200 by default).
"""
import json
import re

import hypothesis.strategies as st
import pytest
from hypothesis import currently_in_test_context, given, note

import twin
from conftest import Formatted, Stringified, extension
from strategies import (
    Client, answers, argument_dicts, behaviours, fuzz, json_values, logged, message, near, outcome, render_values,
    run_to_end, texts, tool_calls,
)


# --- values with their own behaviour ------------------------------------------

class Measured(str):
    """A text that reports three times its length and cuts through its own method."""

    def __len__(self):
        return 3 * str.__len__(self)

    def __getitem__(self, key):
        return "<" + str.__getitem__(self, key) + ">"


class Chameleon(str):
    """A role equal to every text."""

    __hash__ = str.__hash__

    def __eq__(self, other):
        return True

    def __ne__(self, other):
        return False


class Grudging(str):
    """A text whose truth cannot be told."""

    def __bool__(self):
        raise ValueError("no truth value")


class Unprintable:
    def __format__(self, spec):
        raise LookupError("cannot format")

    def __str__(self):
        raise LookupError("cannot str")


subclassed = st.one_of(
    st.builds(Measured, near(66, 67, 166, 167)),                 # three times that long: at the limits
    st.builds(lambda kind, text: kind(text), st.sampled_from([Formatted, Stringified, Grudging]),
              st.one_of(st.text(max_size=5), near(100, 200, 500))),
)
odd_values = st.one_of(subclassed, st.integers(-3, 3), st.none(), st.just(Unprintable()), st.just(Chameleon("x")))
roles = st.one_of(st.sampled_from(["user", "assistant", "tool", "system"]), st.just(Chameleon("user")),
                  st.builds(Formatted, st.sampled_from(["user", "tool"])))
odd_arguments = st.one_of(
    st.dictionaries(st.one_of(st.text(max_size=4), st.builds(Formatted, st.text(max_size=3))),
                    st.one_of(odd_values, json_values), max_size=3),
    subclassed, odd_values,
)
odd_calls = st.one_of(
    tool_calls,
    st.fixed_dictionaries({}, optional={"name": odd_values, "arguments": odd_arguments}),
    st.fixed_dictionaries({"function": st.fixed_dictionaries({}, optional={"name": odd_values,
                                                                             "arguments": odd_arguments})}),
)
odd_message = st.fixed_dictionaries(
    {"role": roles},
    optional={
        "content": st.one_of(subclassed, odd_values, texts),
        "tool_call_id": odd_values,
        "tool_calls": st.one_of(st.lists(odd_calls, max_size=3), odd_values),
    },
)
wide_messages = st.lists(st.one_of(message, odd_message, odd_message), max_size=6)
# Every message carries a value with methods of its own, so each run meets one.
own_method_messages = st.lists(
    st.fixed_dictionaries({"role": roles, "content": st.one_of(subclassed, subclassed, odd_values)},
                          optional={"tool_call_id": odd_values}),
    min_size=1, max_size=3,
)


# --- answers at the decoder's edges -------------------------------------------

edge_answers = st.one_of(
    answers,
    near(1000).map(lambda text: "```json\n{" + text[1:] + "\n```"),          # cut after the fence goes
    st.builds(lambda body: '{"goals": ' + body + "}", st.sampled_from(
        ["1" * 5000, "1e400", "-0", "[" * 60 + "]" * 60, '"\\ud800"', "NaN", "Infinity", '"```"'])),
    st.builds(lambda a, b: '{"goals": %s, "goals": %s}' % (a, b), st.integers(), st.integers()),
    st.builds(lambda ws, body: ws + "```json" + ws + "\n" + body + "\n```" + ws,
              st.sampled_from(["\r\n", "\u3000", "\t"]), st.builds(json.dumps, json_values)),
)
odd_behaviours = st.one_of(
    behaviours,
    st.tuples(st.just("answer"), edge_answers),
    st.tuples(st.just("answer"), st.one_of(subclassed, st.sampled_from([5, ["x"], b"{}", Unprintable()]))),
)


# --- records built afresh for each module -------------------------------------

def build(recipe):
    """The value a recipe describes; one-shot iterables are made anew each time."""
    kind, items = recipe
    if kind == "generator":
        return (item for item in items)
    if kind == "iterator":
        return iter(items)
    if kind == "broken":
        return broken(items)
    if kind == "range":
        return range(items)
    return items


def broken(items):
    yield from items
    raise OSError("iteration failed")


item_lists = st.lists(st.one_of(json_values, odd_values), max_size=4)
recipes = st.one_of(
    st.tuples(st.just("value"), st.one_of(render_values, odd_values, item_lists, item_lists.map(tuple))),
    st.tuples(st.sampled_from(["generator", "iterator", "broken"]), item_lists),
    st.tuples(st.just("range"), st.integers(-1, 4)),
)
SECTIONS = ["goals", "progress", "current_state", "key_decisions", "key_facts", "blockers", "next_steps", "summary"]
record_recipes = st.dictionaries(st.sampled_from(SECTIONS + ["created_at", "other"]), recipes)


# --- comparing ------------------------------------------------------------------

def snapshot(value):
    """The containers' structure, with every leaf object by identity."""
    if isinstance(value, dict):
        return type(value), [(key, snapshot(item)) for key, item in dict.items(value)]
    if isinstance(value, (list, tuple)):
        return type(value), [snapshot(item) for item in value]
    return type(value), id(value)


def compare(call_on, *inputs):
    """Both modules end alike, log alike, and leave their inputs as they were."""
    before = snapshot(inputs)
    results = []
    for module in (extension, twin):
        with logged() as lines:
            results.append((outcome(lambda: call_on(module)), lines))
        if currently_in_test_context():
            note(f"{module.__name__}: {results[-1]!r}")
        assert snapshot(inputs) == before, f"{module.__name__} changed its input"
    assert results[0] == results[1]


# --- the tests ----------------------------------------------------------------

@fuzz
@given(wide_messages)
def test_transcript(msgs):
    compare(lambda m: m._format_messages_for_summary(msgs), msgs)


@fuzz
@given(wide_messages)
def test_fallback(msgs):
    compare(lambda m: m._fallback_summary(msgs), msgs)


@fuzz
@given(own_method_messages)
def test_values_with_their_own_methods(msgs):
    compare(lambda m: m._format_messages_for_summary(msgs), msgs)
    compare(lambda m: m._fallback_summary(msgs), msgs)


@fuzz
@given(st.dictionaries(st.one_of(st.text(max_size=4), st.integers(), st.builds(Formatted, st.text(max_size=3))),
                       st.one_of(odd_values, json_values, argument_dicts), max_size=4))
def test_brief(args):
    compare(lambda m: m._brief_args(args), args)


@fuzz
@given(edge_answers)
def test_parse(answer):
    compare(lambda m: m._parse_summary(answer))


@fuzz
@given(record_recipes)
def test_render(recipe):
    def render(module):
        record = {key: build(value) for key, value in recipe.items()}
        text = module.ConversationSummarizer(None).format_summary_for_context(record)
        return re.sub(" at 0x[0-9a-f]+>", " at ...>", text)  # a one-shot iterable's own text
    compare(render)


@fuzz
@given(wide_messages, st.one_of(st.none(), st.just(""), texts), odd_behaviours)
def test_summarize_then_render(msgs, existing, behaviour):
    """The record that comes back, whatever the answer, renders alike too."""
    clients = []

    def summarize(module):
        client = Client(behaviour)
        clients.append(client)
        summarizer = module.ConversationSummarizer(client)
        record = run_to_end(summarizer.summarize_messages(msgs, existing))
        assert type(record.pop("created_at")) is float
        return list(record.items()), summarizer.format_summary_for_context(record)

    compare(summarize, msgs)
    assert clients[0].requests == clients[1].requests


class JsonWithoutErrorClass:
    """Stands in for the json global: decodes, but its JSONDecodeError is no class."""

    loads = staticmethod(json.loads)
    JSONDecodeError = "not a class"


@pytest.mark.parametrize("call", [
    lambda m: m._parse_summary("not json"),
    lambda m: m._format_messages_for_summary([{"role": "assistant", "tool_calls": [{"arguments": "{bad"}]}]),
], ids=["parse", "tool arguments"])
def test_decode_error_handler_that_is_not_a_class(call, monkeypatch):
    def with_stand_in(module):
        monkeypatch.setattr(module, "json", JsonWithoutErrorClass)
        try:
            return call(module)
        finally:
            monkeypatch.undo()
    compare(with_stand_in)
