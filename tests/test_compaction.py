"""The Compactor: safe cuts, all-or-nothing outcomes, incremental summaries."""

import asyncio
import copy
import json
import logging

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from openai.types.chat import ChatCompletionMessage

from conftest import Response
from vorlin.core.summarizer import ConversationSummarizer
from vorlin_summarizer import CompactionEvent, Compactor
from vorlin_summarizer import tokens
from vorlin_summarizer.compaction import estimate_tokens
from vorlin_summarizer.tokens import estimate_text_tokens

SUMMARY = {"goals": ["Ship the retry change"], "summary": "Retries added."}
BLOCK = ConversationSummarizer(None).format_summary_for_context(SUMMARY)


class Model:
    """Plays its answers in order (an exception is raised), then the summary."""

    def __init__(self, *answers):
        self.answers = list(answers)
        self.systems = []

    async def complete(self, *, messages, max_tokens):
        self.systems.append(messages[0]["content"])
        answer = self.answers.pop(0) if self.answers else json.dumps(SUMMARY)
        await asyncio.sleep(0)
        if isinstance(answer, BaseException):
            raise answer
        if isinstance(answer, asyncio.Event):
            await answer.wait()
        return Response(answer)


def compactor(model, **settings):
    return Compactor(ConversationSummarizer(model), **{"context_tokens": 1000, **settings})


def validate(history):
    """What a chat API checks: each tool message answers a call of the assistant message
    before it, and every call is answered before the next message that is not a result."""
    waiting = set()
    for message in history:
        if message["role"] == "tool":
            assert message["tool_call_id"] in waiting, history
            waiting.remove(message["tool_call_id"])
        else:
            assert not waiting, history
            waiting = {call["id"] for call in message.get("tool_calls") or ()}
    return waiting  # calls still waiting at the end


def text(role, size):
    return {"role": role, "content": "x" * size}


class Calls(list):
    pass


CALL = {"id": "a", "function": {"name": "read", "arguments": "{}"}}


@pytest.mark.parametrize("message, count", [
    ({"role": "user", "content": "x" * 10}, 1 + 4),  # one word, plus the message's own
    ({"role": "user", "content": "x" * 11}, 2 + 4),  # a longer word is cut
    ({"role": "assistant", "content": None}, 4),
    ({"role": "assistant", "content": None, "tool_calls": [CALL]}, 2 + 4),
    ({"role": "assistant", "content": "ab", "tool_calls": (CALL, "not a call")}, 3 + 4),
    ({"role": "assistant", "tool_calls": Calls([CALL])}, 2 + 4),
    ({"role": "assistant", "tool_calls": [{"id": "a", "name": "read",
                                           "arguments": {"path": "a"}}]}, 7 + 4),  # flat
    ({"role": "assistant", "tool_calls": [{"id": "a", "function": {"name": None,
                                                                  "arguments": "12345"}}]}, 6),
    ({"role": "user", "content": "abcd", "tool_calls": [CALL]}, 1 + 4),
    ({"role": "user", "content": [{"type": "text", "text": "abc"}, {"type": "image_url"}]},
     766 + 4),
    # Odd values count as their JSON text, parts by their text, attachments a few tokens.
    ({"role": "user", "content": 42}, 1 + 4),
    ({"role": "user", "content": ("one two", None, 7, {"type": "refusal", "refusal": "no"})},
     4 + 4),
    ({"role": "user", "content": [{"type": "input_text", "text": "hi"}, {"type": "image"},
                                  {"type": "thinking", "thinking": "hmm"}, {"type": "file"},
                                  {"type": "input_audio", "input_audio": {"data": "UklGR"}}]},
     2 + 765 + 4 + 4 + 4),
    ({"role": "user", "content": [{"type": "custom", "data": 1}, {"type": ["x"], "text": "x"}]},
     estimate_text_tokens('{"type": "custom", "data": 1}') + 1 + 4),
    ({"role": "assistant", "tool_calls": "read"}, 4),
    ({"role": "assistant", "tool_calls": [{"function": "read", "name": 7, "arguments": [1, 2]}]},
     1 + estimate_text_tokens("[1, 2]") + 4),
])
def test_estimate(message, count):
    assert tokens.estimate_tokens(message) == count
    plan = Compactor(ConversationSummarizer(None), context_tokens=10_000,
                     count_tokens=tokens.estimate_tokens).plan([message])
    assert plan.tokens == count


@st.composite
def histories(draw):
    """Leading system messages, then turns: chat messages, and assistant messages with
    parallel calls in either layout whose results come in any order; the last may wait."""
    history = [text(role, 40) for role in draw(st.lists(st.sampled_from(["system", "developer"]),
                                                        max_size=2))]
    turns = draw(st.integers(0, 12))
    for turn in range(turns + 1):
        kind = draw(st.sampled_from(["user", "assistant", "calls", "calls"]))
        if kind != "calls":
            history.append(text(kind, draw(st.integers(0, 800))))
            continue
        ids = [f"call_{turn}_{n}" for n in range(draw(st.integers(1, 3)))]
        nested = draw(st.booleans())
        calls = [{"id": i, "type": "function", "function": {"name": "read", "arguments": "{}"}}
                 if nested else {"id": i, "name": "read", "arguments": {"path": "a"}} for i in ids]
        history.append({"role": "assistant", "content": None, "tool_calls": calls})
        answered = draw(st.permutations(ids))
        if turn == turns:  # the newest calls may still wait for some results
            answered = answered[:draw(st.integers(0, len(ids)))]
        history += [{"role": "tool", "tool_call_id": i, "content": "r" * draw(st.integers(0, 900))}
                    for i in answered]
    return history


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(histories(), st.integers(50, 3000), st.integers(1, 40), st.booleans(), st.booleans())
def test_every_cut_is_safe(history, window, keep, by_messages, user_summary):
    original = copy.deepcopy(history)
    keep_setting = {"keep_messages": keep} if by_messages else {"keep_tokens": max(1, window // 4)}
    chosen = compactor(Model(), context_tokens=window, summary_input_tokens=300,
                       summary_role="user" if user_summary else "system", **keep_setting)
    plan = chosen.plan(history)
    assert plan.system + plan.summarized + plan.kept == history
    assert all(m["role"] in ("system", "developer") for m in plan.system)
    assert [m for chunk in plan.chunks for m in chunk] == plan.summarized
    for chunk in plan.chunks:
        assert not validate(chunk)  # whole units only
        units = [m for m in chunk if m["role"] != "tool"]  # in a history that validates
        assert sum(map(estimate_tokens, chunk)) <= 300 or len(units) == 1
    waiting = validate(history)
    result = asyncio.run(chosen.compact(history, force=True))
    assert validate(result.messages) == waiting  # a waiting call stays, still waiting
    assert history == original
    if result.outcome == "summarized":
        assert result.messages == [*plan.system, {"role": chosen.summary_role, "content": BLOCK},
                                   *plan.kept]
    else:
        assert (result.outcome, result.messages) == ("no progress", history)


def openai_history(exclude_none):
    dump = {"exclude_none": True} if exclude_none else {}
    called = ChatCompletionMessage.model_validate({
        "role": "assistant", "content": None, "tool_calls": [
            {"id": f"call_{n}", "type": "function",
             "function": {"name": "read_file", "arguments": json.dumps({"path": f"f{n}.py"})}}
            for n in (1, 2)]}).model_dump(**dump)
    answer = ChatCompletionMessage.model_validate(
        {"role": "assistant", "content": "Both files read."}).model_dump(**dump)
    return [
        {"role": "developer", "content": "You are a coding agent."},
        {"role": "user", "content": [{"type": "text", "text": "Fix this:"},
                                     {"type": "image_url", "image_url": {"url": "data:..."}}]},
        called,
        {"role": "tool", "tool_call_id": "call_2", "content": "two" * 400},
        {"role": "tool", "tool_call_id": "call_1", "content": "one" * 400},
        answer,
        {"role": "user", "content": "Now the tests."},
    ]


@pytest.mark.parametrize("exclude_none", [False, True], ids=["dump", "exclude-none"])
@pytest.mark.parametrize("keep_messages, first_kept", [(1, 6), (2, 5), (3, 5), (5, 2)])
def test_openai_messages(exclude_none, keep_messages, first_kept):
    history = openai_history(exclude_none)
    model = Model()
    result = asyncio.run(compactor(model, keep_messages=keep_messages).compact(history,
                                                                               force=True))
    kept = history[first_kept:]  # a call and its results are never parted
    assert result.messages[2:] == kept and all(a is b for a, b in zip(result.messages[2:], kept))
    assert result.messages[:2] == [history[0], {"role": "system", "content": BLOCK}]
    [system] = model.systems
    assert "[User]: Fix this:\n[image]" in system
    assert ("[Assistant called read_file]: path=f1.py" in system) is (first_kept > 2)
    assert history == openai_history(exclude_none)  # the parts were flattened in a copy


def test_incremental_over_three_rounds():
    model = Model(*(json.dumps({"summary": f"round {n}"}) for n in (1, 2, 3)))
    chosen = compactor(model, keep_messages=1)
    history = [text("system", 20)]
    blocks = [None]
    for n in (1, 2, 3):
        history = history + [text("user", 200), text("assistant", 200), text("user", 10)]
        result = asyncio.run(chosen.compact(history, force=True))
        history = result.messages
        blocks.append(ConversationSummarizer(None).format_summary_for_context(result.record))
        assert history == [text("system", 20), {"role": "system", "content": blocks[n]},
                           text("user", 10)]
    for system, before in zip(model.systems, blocks):
        assert ("## Previous Summary (build on this):\n" + before in system) if before else (
            "## Previous Summary" not in system)
        assert system.count("[User]: ") == (2 if before else 1)


CHAT = [text("system", 40)] + [text(role, 400) for role in ["user", "assistant"] * 4]


@pytest.mark.parametrize("answers, settings, outcome, error", [
    ([], {"context_tokens": 100_000}, "not needed", None),
    (["The model wrote prose."], {}, "unparsed", None),
    ([RuntimeError("HTTP 503 from the server")], {}, "failed", "HTTP 503 from the server"),
    ([""], {}, "failed", "the model answered with empty text"),
    (["[1, 2]"], {}, "failed", "the model answered with JSON list, not an object"),
    ([json.dumps(SUMMARY), TimeoutError()], {"summary_input_tokens": 300}, "failed",
     "TimeoutError"),
    ([], {"keep_messages": 8}, "no progress", None),
])
def test_outcomes(answers, settings, outcome, error, caplog):
    caplog.set_level(logging.INFO, logger="vorlin_summarizer.compaction")
    events = []
    model = Model(*answers)
    result = asyncio.run(compactor(model, on_event=events.append, **settings).compact(CHAT))
    assert (result.outcome, result.error) == (outcome, error)
    assert result.requests == len(model.systems) == len(answers)
    changed = outcome == "unparsed"
    assert (result.messages == CHAT) is not changed and result.messages is not CHAT
    if changed:
        assert result.messages[1]["content"].endswith("### Narrative Summary\nThe model wrote prose.")
    assert events == [CompactionEvent(outcome, 9, len(result.messages), result.tokens_before,
                                      result.tokens_after, result.requests, result.seconds, error)]
    lines = [r.getMessage() for r in caplog.records if r.levelno == logging.INFO]
    assert lines == ([] if outcome == "not needed" else [
        f"compaction {outcome}: 9 -> {len(result.messages)} messages, {result.tokens_before} -> "
        f"{result.tokens_after} tokens, {result.requests} request{'s' * (result.requests != 1)},"
        f" {result.seconds:.2f} s"
        + (f": {error}" if error else "")])


def test_fallback_keeps_what_was_summarized():
    model = Model(json.dumps(SUMMARY), RuntimeError("down"))
    result = asyncio.run(compactor(model, on_failure="fallback", summary_input_tokens=300,
                                   keep_messages=2).compact(CHAT))
    assert (result.outcome, result.error, result.requests) == ("failed", "down", 2)
    summary, *rest = result.messages[1:]
    assert summary["content"].startswith(BLOCK + "\n\n## Conversation History Summary\n")
    assert "Conversation had 2 messages before summarization" in summary["content"]
    assert rest == CHAT[5:]  # the chunk never sent stays verbatim


def test_three_failures_rest_for_the_cooldown():
    model = Model(*[RuntimeError("down")] * 4)
    chosen = compactor(model, cooldown=2)
    errors = [asyncio.run(chosen.compact(CHAT)).error for _ in range(6)]
    assert errors == ["down"] * 3 + [
        "not tried: 3 compactions failed in a row; trying again after 1 more call",
        "not tried: 3 compactions failed in a row; trying again on the next call", "down"]
    assert len(model.systems) == 4


def test_cancellation_in_a_chunked_run_changes_nothing():
    blocked = asyncio.Event()
    model = Model(json.dumps(SUMMARY), blocked)
    events = []
    chosen = compactor(model, summary_input_tokens=300, on_event=events.append)
    history = copy.deepcopy(CHAT)

    async def run():
        task = asyncio.create_task(chosen.compact(history))
        while len(model.systems) < 2:
            await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
    asyncio.run(run())

    assert history == CHAT and events == []
    assert asyncio.run(chosen.compact(history)).outcome == "summarized"  # counted no failure


@pytest.mark.parametrize("settings, message", [
    ({"context_tokens": 0}, "context_tokens must be a positive whole number of tokens, got 0"),
    ({"trigger": 1.5}, "trigger must be a fraction of the window in (0, 1], got 1.5"),
    ({"keep_tokens": 801}, "keep_tokens is 801, more than the trigger point of 800 tokens"),
    ({"trigger": 0.2}, "keep_tokens (by default a quarter of context_tokens) is 250, more than "
     "the trigger point of 200 tokens"),
    ({"keep_tokens": 10, "keep_messages": 2}, "give keep_tokens or keep_messages, not both"),
    ({"summary_role": "assistant"}, "summary_role must be 'system' or 'user', got 'assistant'"),
])
def test_invalid_settings(settings, message):
    with pytest.raises(ValueError) as raised:
        compactor(Model(), **settings)
    assert str(raised.value) == message

