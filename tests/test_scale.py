"""Inputs far beyond a normal chunk: a million messages, texts of 50 MB,
arguments with 100,000 keys, and nesting deep enough to exhaust recursion.
Nothing may crash, and the results are those of the ordinary rules."""
import asyncio
import json
import logging
import os

import pytest

import vorlin.core.summarizer as ext
from conftest import LOGGER_NAME, Response

# The sanitizer run is many times slower and hungrier; it keeps the light cases only.
heavy = pytest.mark.skipif(os.environ.get("SUMMARIZER_UNDER_ASAN") == "1", reason="too heavy under the sanitizers")

BIG = 50_000_000
TOOL_CUT = "... [truncated]"

# One round of an agent's conversation and the transcript entries it gives.
ROUND = [
    {"role": "system", "content": "You are a coding agent."},
    {"role": "user", "content": "Please fix the failing test."},
    {"role": "assistant", "content": "Reading it.",
     "tool_calls": [{"function": {"name": "read", "arguments": '{"path": "/src/a.py"}'}}]},
    {"role": "tool", "tool_call_id": "c1", "content": "r" * 700},
]
ROUND_ENTRIES = [
    "[User]: Please fix the failing test.",
    "[Assistant]: Reading it.",
    "[Assistant called read]: path=/src/a.py",
    "[Tool Result (c1)]: " + "r" * 500 + TOOL_CUT,
]


@pytest.fixture(scope="module")
def million():
    """1,000,000 distinct message dicts (sharing their texts, which cannot change)."""
    return [dict(ROUND[i % 4]) for i in range(1_000_000)]


def unchanged(messages):
    return all(message == ROUND[i % 4] for i, message in enumerate(messages))


@heavy
def test_million_messages_transcript(million):
    text = ext._format_messages_for_summary(million)
    assert text == "\n".join(["\n".join(ROUND_ENTRIES)] * (len(million) // 4))
    assert unchanged(million)


@heavy
def test_million_messages_fallback(million):
    record = ext._fallback_summary(million)
    assert record["goals"] == ["Please fix the failing test."]
    assert record["current_state"] == "Conversation had 1000000 messages before summarization"
    assert record["summary"] == "Conversation with 1000000 messages. Primary request: Please fix the failing test."
    assert unchanged(million)


@heavy
@pytest.mark.parametrize("unit", ["x", "é", "😀"])
def test_huge_tool_result_is_cut_by_code_points(unit):
    content = unit * (BIG // len(unit.encode()))
    message = {"role": "tool", "tool_call_id": "big", "content": content}
    text = ext._format_messages_for_summary([message])
    assert text == "[Tool Result (big)]: " + unit * 500 + TOOL_CUT


@heavy
def test_huge_texts_elsewhere():
    content = "u" * BIG
    user = {"role": "user", "content": content}
    assert ext._format_messages_for_summary([user, user]) == "\n".join(["[User]: " + content] * 2)
    assert ext._fallback_summary([user])["goals"] == ["u" * 200 + "..."]
    assert ext._brief_args({"a": content}) == "a=" + "u" * 100 + "..."
    assert ext._parse_summary("Sorry: " + content)["summary"] == ("Sorry: " + content)[:1000]
    assert ext._parse_summary(json.dumps({"summary": content}))["summary"] == content


ARGUMENTS = {f"key{i}": f"value {i}" * (i % 30) for i in range(100_000)}
ARGUMENTS_BRIEF = ", ".join(f"{k}={(v[:100] + '...') if len(v) > 100 else v}" for k, v in ARGUMENTS.items())


def test_arguments_with_100000_keys():
    assert ext._brief_args(ARGUMENTS) == ARGUMENTS_BRIEF


@pytest.mark.parametrize("arguments", [ARGUMENTS, json.dumps(ARGUMENTS)], ids=["dict", "json"])
def test_tool_call_with_100000_arguments(arguments):
    message = {"role": "assistant", "tool_calls": [{"name": "bulk", "arguments": arguments}]}
    assert ext._format_messages_for_summary([message]) == "[Assistant called bulk]: " + ARGUMENTS_BRIEF


DEPTH = 100_000
DEEP_ANSWERS = {
    "array": ("[" * DEPTH + "]" * DEPTH, "array"),
    "object": ('{"a": ' * DEPTH + "1" + "}" * DEPTH, "object"),
    "fenced object": ("```json\n" + '{"a": ' * DEPTH + "1" + "}" * DEPTH + "\n```", "object"),
}


def recursion_text(kind):
    return f"maximum recursion depth exceeded while decoding a JSON {kind} from a unicode string"


@pytest.mark.parametrize("answer, kind", DEEP_ANSWERS.values(), ids=DEEP_ANSWERS)
def test_parse_of_deep_nesting_raises_recursion_error(impl, answer, kind):
    with pytest.raises(RecursionError) as caught:
        impl._parse_summary(answer)
    assert str(caught.value) == recursion_text(kind)


class Answering:
    def __init__(self, content):
        self.content = content

    async def complete(self, *, messages, max_tokens):
        return Response(self.content)


@pytest.mark.parametrize("answer, kind", DEEP_ANSWERS.values(), ids=DEEP_ANSWERS)
def test_deep_answer_ends_in_the_fallback(impl, caplog, answer, kind):
    caplog.set_level(logging.WARNING, logger=LOGGER_NAME)
    messages = [dict(message) for message in ROUND]
    summarizer = impl.ConversationSummarizer(Answering(answer))
    record = asyncio.run(summarizer.summarize_messages(messages))
    expected = impl._fallback_summary(messages)
    del record["created_at"], expected["created_at"]
    assert record == expected
    assert [(r.levelname, r.getMessage()) for r in caplog.records] == [
        ("ERROR", "Summarization failed: " + recursion_text(kind))]
    assert messages == ROUND


def nested_list(depth):
    value = []
    for _ in range(depth):
        value = [value]
    return value


DEEP_VALUE = nested_list(DEPTH)
DEEP_CALLS = {
    "user content": lambda m: m._format_messages_for_summary([{"role": "user", "content": DEEP_VALUE}]),
    "argument value": lambda m: m._brief_args({"a": DEEP_VALUE}),
    "non-dict arguments": lambda m: m._format_messages_for_summary(
        [{"role": "assistant", "tool_calls": [{"name": "n", "arguments": DEEP_VALUE}]}]),
    "fallback request": lambda m: m._fallback_summary([{"role": "user", "content": [DEEP_VALUE]}]),
    "rendered item": lambda m: m.ConversationSummarizer(None).format_summary_for_context({"goals": [DEEP_VALUE]}),
    "argument text": lambda m: m._format_messages_for_summary(
        [{"role": "assistant", "tool_calls": [{"name": "n", "arguments": "[" * DEPTH}]}]),
}


@pytest.mark.parametrize("name", DEEP_CALLS)
def test_deep_values_raise_recursion_error(impl, name):
    """Turning a deeply nested value into text, or decoding it, exhausts recursion
    the interpreter's way; the error propagates and nothing crashes."""
    with pytest.raises(RecursionError):
        DEEP_CALLS[name](impl)
