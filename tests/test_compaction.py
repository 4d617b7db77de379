"""The Compactor: safe cuts, all-or-nothing outcomes, incremental summaries."""

import asyncio
import copy
import json
import logging

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st
from anthropic.types import TextBlock, ToolUseBlock
from langchain_core.messages import (AIMessage, HumanMessage, SystemMessage, ToolMessage,
                                     convert_to_openai_messages)
from openai.types.chat import ChatCompletionMessage

from conftest import Response
from vorlin.core.summarizer import ConversationSummarizer
from vorlin_summarizer import (CompactionEvent, Compactor, Completion, CompletionError, Usage,
                               tokens)
from vorlin_summarizer.chunks import transcript_tokens
from vorlin_summarizer.compaction import estimate_tokens, split_units
from vorlin_summarizer.formats import MessageFormatError, content_text
from vorlin_summarizer.tokens import estimate_text_tokens

SUMMARY = {"goals": ["Ship the retry change"], "summary": "Retries added."}
BLOCK = ConversationSummarizer(None).format_summary_for_context(SUMMARY)


class Model:
    """Plays its answers in order (an exception is raised; a function is asked with the
    system text), then the summary."""

    def __init__(self, *answers):
        self.answers = list(answers)
        self.systems = []

    async def complete(self, *, messages, max_tokens):
        self.systems.append(messages[0]["content"])
        answer = self.answers.pop(0) if self.answers else json.dumps(SUMMARY)
        await asyncio.sleep(0)
        if callable(answer):
            answer = answer(messages[0]["content"])
        if isinstance(answer, BaseException):
            raise answer
        if isinstance(answer, asyncio.Event):
            await answer.wait()
        return answer if isinstance(answer, Completion) else Response(answer)


def quarter_of_chars(message):
    """About four characters a token: sizes these tests can reckon with by hand."""
    calls = [call.get("function", call) for call in message.get("tool_calls") or ()]
    texts = [message.get("content") or "", *(f"{c['name']}{c['arguments']}" for c in calls)]
    return (sum(map(len, texts)) + 3) // 4 + 4


def compactor(model, **settings):
    return Compactor(ConversationSummarizer(model), **{
        "context_tokens": 1000, "count_tokens": quarter_of_chars, **settings})


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
    return {"role": role, "content": ("Lorem ipsum dolor sit amet. " * (size // 28 + 1))[:size]}


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
    ({"role": "assistant", "tool_calls": [{"function": "read", "name": 7, "arguments": [1, 2]}]},
     1 + estimate_text_tokens("[1, 2]") + 4),
])
def test_estimate(message, count):
    assert tokens.estimate_tokens(message) == count
    try:  # the compactor counts what it reads, or refuses it whole
        plan = Compactor(ConversationSummarizer(None), context_tokens=10_000).plan([message])
    except MessageFormatError as refused:
        assert refused.index == 0
    else:
        assert plan.tokens == count


@st.composite
def histories(draw, broken=False):
    """Leading system messages, then turns: chat messages, and assistant messages with
    parallel calls in either layout whose results come in any order; the last may wait.
    `broken` adds what real histories hold too: calls interrupted before their result
    (ids "cut_*") and results whose id no call made ("orphan_*")."""
    history = [text(role, 40) for role in draw(st.lists(st.sampled_from(["system", "developer"]),
                                                        max_size=2))]
    turns = draw(st.integers(0, 12))
    kinds = ["user", "assistant", "calls", "calls"] + ["interrupted", "orphan"] * broken
    for turn in range(turns + 1):
        kind = draw(st.sampled_from(kinds))
        if kind in ("user", "assistant"):
            history.append(text(kind, draw(st.integers(0, 800))))
            continue
        if kind == "orphan":
            history.append({"role": "tool", "tool_call_id": f"orphan_{turn}", "content": "o" * 90})
            continue
        prefix = "cut" if kind == "interrupted" else "call"
        ids = [f"{prefix}_{turn}_{n}" for n in range(draw(st.integers(1, 3)))]
        nested = draw(st.booleans())
        calls = [{"id": i, "type": "function", "function": {"name": "read", "arguments": "{}"}}
                 if nested else {"id": i, "name": "read", "arguments": {"path": "a"}} for i in ids]
        history.append({"role": "assistant", "content": None, "tool_calls": calls})
        answered = draw(st.permutations(ids)) if kind == "calls" else []
        if turn == turns:  # the newest calls may still wait for some results
            answered = answered[:draw(st.integers(0, len(ids)))]
        history += [{"role": "tool", "tool_call_id": i, "content": "r" * draw(st.integers(0, 900))}
                    for i in answered]
        if kind == "interrupted" and turn < turns:
            history.append(text("user", 30))  # the user went on without the result
    return history


def parted(history, kept):
    """Results kept without their call, or calls kept without their results."""
    kept_ids = {id(message) for message in kept}
    calls = {call["id"]: id(message) for message in history
             for call in message.get("tool_calls") or ()}
    return [message for message in history if message["role"] == "tool"
            and message["tool_call_id"] in calls
            and (id(message) in kept_ids) != (calls[message["tool_call_id"]] in kept_ids)]


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.booleans().flatmap(lambda broken: st.tuples(histories(broken), st.just(broken))),
       st.integers(50, 3000), st.integers(1, 40), st.booleans(), st.booleans())
def test_every_cut_is_safe(drawn, window, keep, by_messages, user_summary):
    history, broken = drawn
    original = copy.deepcopy(history)
    keep_setting = {"keep_messages": keep} if by_messages else {"keep_tokens": max(1, window // 4)}
    chosen = compactor(Model(), context_tokens=window, summary_input_tokens=300,
                       summary_role="user" if user_summary else "system", **keep_setting)
    plan = chosen.plan(history)
    assert plan.system + plan.summarized + plan.kept == history
    assert all(m["role"] in ("system", "developer") for m in plan.system)
    assert [m for chunk in plan.chunks for m in chunk] == plan.summarized
    assert not parted(history, plan.kept)
    for chunk in plan.chunks:
        assert not parted(chunk, [])  # whole units only
        units = split_units(chunk)
        assert sum(map(transcript_tokens, chunk)) <= 300 or len(units) == 1
    result = asyncio.run(chosen.compact(history, force=True))
    assert history == original
    if not broken:
        assert validate(result.messages) == validate(history)  # a waiting call stays waiting
    if result.outcome == "summarized":
        assert result.messages == [*plan.system, {"role": chosen.summary_role, "content": BLOCK},
                                   *plan.kept]
        # The kept part opens as the summary's role wants, wherever a unit in it does.
        wanted = "assistant" if user_summary else "user"
        leads = [unit[0]["role"] for unit in split_units(plan.kept)]
        assert leads[0] == wanted or wanted not in leads
    else:
        assert (result.outcome, result.messages) == ("no progress", history)


def plan_of(chosen, history):
    plan = chosen.plan(history)
    return (plan.tokens, plan.cut, plan.progress, plan.tokens_after, plan.previous_summary,
            plan.chunks, plan.system + plan.summarized + plan.kept == list(history))


@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(histories(broken=True), st.lists(st.tuples(
    st.sampled_from(["append", "parts", "copy", "edit", "replace", "drop", "summary"]),
    st.integers(0, 40),
    st.integers(0, 600)), max_size=8))
@example([text("user", 0), {"role": "tool", "tool_call_id": "orphan_1", "content": "o" * 90}],
         # Summaries moved up: an item equal to the old one at its place, a new object,
         # while the old object, still in the history further on, changes in place.
         [("summary", 0, 0), ("summary", 0, 0), ("summary", 0, 0), ("replace", 2, 0)])
def test_a_history_planned_again_plans_as_if_new(history, edits):
    """Each agent turn plans a history a little changed: what the compactor remembers of
    the last one must never show."""
    remembering = compactor(Model(), context_tokens=2000, count_tokens=None)
    history = list(history)
    for edit, where, size in edits:
        assert plan_of(remembering, history) == plan_of(
            compactor(Model(), context_tokens=2000, count_tokens=None), history)
        where = where % (len(history) + 1)
        if edit == "append":
            history += [text("user", size), text("assistant", size)]
        elif edit == "parts":  # an item the reading changes: it is not passed on as it is
            history.append({"role": "user", "content": [{"type": "text", "text": "x" * size},
                                                         {"type": "image_url"}]})
        elif edit == "copy":  # the host made its items anew, equal to the old ones
            history = copy.deepcopy(history)
        elif edit == "drop":
            del history[where:]
        elif edit == "summary":  # a compacted history: the kept items move up
            history = [{"role": "system", "content": BLOCK}, *history[where:]]
        elif history and where < len(history):
            if edit == "edit":  # a new value in an item the compactor has read
                history[where] = {**history[where]}
                history[where]["content"] = "edited " * (size // 7)
            else:
                history[where]["content"] = "replaced in place " * (size // 18)
    assert plan_of(remembering, history) == plan_of(
        compactor(Model(), context_tokens=2000, count_tokens=None), history)


@pytest.mark.parametrize("output_chars, budget", [(40_000, 3_000), (120_000, 32_000)])
def test_requests_are_filled_by_what_is_sent(output_chars, budget):
    """Tool results go to the summarizer cut to 500 characters: the requests are as few as
    that transcript needs, whatever the results' own size."""
    history = [text("user", 100)]
    for n in range(300):
        history += [{"role": "assistant", "content": None, "tool_calls": [
            {"id": f"c{n}", "function": {"name": "grep", "arguments": '{"q": "timeout"}'}}]},
                    {"role": "tool", "tool_call_id": f"c{n}", "content": "ab3 fail\n" * (
                        output_chars // 9)}]
    plan = compactor(Model(), context_tokens=200_000, summary_input_tokens=budget,
                     count_tokens=None, keep_messages=2).plan(history)
    sent = [sum(map(transcript_tokens, chunk)) for chunk in plan.chunks]
    assert len(sent) <= -(-sum(sent) // budget) + 1
    assert all(size <= budget for size in sent)


def test_an_interrupted_call_does_not_pin_the_history():
    call = {"role": "assistant", "content": None,
            "tool_calls": [{"id": "lost", "function": {"name": "run", "arguments": "{}"}}]}
    history = [text("system", 20), text("user", 200), call, text("user", 200),
               {"role": "tool", "tool_call_id": "nobody", "content": "x" * 200}]
    history += [text(role, 400) for role in ["assistant", "user"] * 10]
    result = asyncio.run(compactor(Model(), keep_messages=2).compact(history))
    assert (result.outcome, result.messages[2:]) == ("summarized", history[-1:])


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
@pytest.mark.parametrize("role, keep_messages, first_kept", [
    # After a system summary the kept part opens with the user, after a user summary with
    # the assistant, wherever the budget allows; a call and its results are never parted.
    ("system", 1, 6), ("system", 3, 6), ("system", 5, 6),
    ("user", 1, 5), ("user", 2, 5), ("user", 3, 5), ("user", 5, 2)])
def test_openai_messages(exclude_none, role, keep_messages, first_kept):
    history = openai_history(exclude_none)
    model = Model()
    result = asyncio.run(compactor(model, keep_messages=keep_messages, summary_role=role,
                                   count_tokens=None).compact(history, force=True))
    kept = history[first_kept:]
    assert result.messages[2:] == kept and all(a is b for a, b in zip(result.messages[2:], kept))
    assert result.messages[:2] == [history[0], {"role": role, "content": BLOCK}]
    [system] = model.systems
    assert "[User]: Fix this:\n[image]" in system
    assert ("[Assistant called read_file]: path=f1.py" in system) is (first_kept > 2)
    assert history == openai_history(exclude_none)  # the parts were flattened in a copy


def formats_history(kind):
    """Three turns of an agent in one format, each a call and its result, then a reply;
    and where a cut may fall: never inside a turn's call, its result and the reasoning
    before them."""
    if kind == "responses":
        turns = [[{"type": "reasoning", "id": f"r{n}", "summary": []},
                  {"type": "function_call", "call_id": f"c{n}", "name": "read",
                   "arguments": '{"p": "a"}'},
                  {"type": "function_call_output", "call_id": f"c{n}", "output": "log " * 300},
                  {"type": "message", "role": "assistant",
                   "content": [{"type": "output_text", "text": f"Read {n}."}]},
                  {"role": "user", "content": f"Next {n}."}] for n in range(3)]
        head, unit = [{"role": "developer", "content": "You are an agent."}], (0, 3, 4)
    elif kind == "anthropic":
        turns = [[{"role": "assistant", "content": [
                      TextBlock(type="text", text="Reading."),
                      ToolUseBlock(type="tool_use", id=f"t{n}", name="read", input={"p": "a"})]},
                  {"role": "user", "content": [
                      {"type": "tool_result", "tool_use_id": f"t{n}", "content": "log " * 300},
                      {"type": "text", "text": f"Next {n}."}]}] for n in range(3)]
        head, unit = [{"role": "user", "content": "Read the logs."}], (0,)
    else:
        turns = [[AIMessage("", tool_calls=[{"id": f"c{n}", "name": "read", "args": {"p": "a"}}]),
                  ToolMessage("log " * 300, tool_call_id=f"c{n}"), AIMessage(f"Read {n}."),
                  HumanMessage(f"Next {n}.")] for n in range(3)]
        turns = [convert_to_openai_messages(turn, text_format=kind) for turn in turns]
        head, unit = [{"role": "system", "content": "You are an agent."},
                      {"role": "user", "content": "Read the logs."}], (0, 2, 3)
        head[1] = convert_to_openai_messages([HumanMessage("Read the logs.")], text_format=kind)[0]
    size = len(turns[0])
    cuts = {len(head) + n * size + at for n in range(3) for at in unit} | {len(head) + 3 * size}
    return head + sum(turns, []), cuts


@pytest.mark.parametrize("kind, summary_shape", [
    ("string", {"role": "system"}), ("block", {"role": "system"}),
    ("responses", {"type": "message", "role": "system"}), ("anthropic", {"role": "user"})])
def test_every_format_is_cut_between_units_and_summarized_in_its_own_shape(kind, summary_shape):
    history, cuts = formats_history(kind)
    for keep in range(1, len(history)):
        for role in ("system", "user"):
            plan = compactor(Model(), count_tokens=None, keep_messages=keep,
                             summary_role=role).plan(history)
            assert plan.cut in cuts or not plan.progress, (keep, role, plan.cut)
    chosen = compactor(Model(*(json.dumps({"summary": f"round {n}"}) for n in range(3))),
                       count_tokens=None, keep_messages=3)
    for round in range(3):
        result = asyncio.run(chosen.compact(history, force=True))
        assert result.outcome == "summarized"
        system = 0 if kind == "anthropic" else 1  # the Messages API takes it apart
        summary, *kept = result.messages[system:]
        assert result.messages[:system] == history[:system]
        assert all(a is b for a, b in zip(kept, history[len(history) - len(kept):]))
        assert {key: summary[key] for key in summary_shape} == summary_shape
        assert summary["content"] == ConversationSummarizer(None).format_summary_for_context(
            result.record)
        if kind in ("block", "anthropic"):  # the summary comes back as text parts
            summary = {**summary, "content": [{"type": "text", "text": summary["content"]}]}
        history = [*history[:system], summary, *kept, *formats_history(kind)[0][1:]]
        assert chosen.plan(history).previous_summary == content_text(summary["content"])


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
FENCED = "Here is the summary you asked for.\n```json\n" + json.dumps(SUMMARY) + "\n```\nDone."
REFUSED = {"auth": CompletionError("HTTP 401 from the server: bad key", status_code=401,
                                   kind="auth"),
           "context": CompletionError("HTTP 400 from the server: maximum context length",
                                      status_code=400, kind="context_length")}


@pytest.mark.parametrize("answers, settings, outcome, error, replaced", [
    ([], {"context_tokens": 100_000}, "not needed", None, False),
    ([FENCED], {}, "summarized", None, True),
    # An answer that is not a summary leaves the history and the earlier summary alone...
    (["The model wrote prose."], {}, "unparsed", "the model's answer is not a JSON object",
     False),
    (["The model wrote prose."], {"on_failure": "fallback"}, "unparsed",
     "the model's answer is not a JSON object", True),
    # ...unless the host takes prose as the narrative.
    (["The model wrote prose."], {"accept_unparsed": True}, "unparsed", None, True),
    ([RuntimeError("HTTP 503 from the server")], {}, "failed", "HTTP 503 from the server", False),
    ([""], {}, "failed", "the model answered with empty text", False),
    (["[1, 2]"], {}, "failed", "the model answered with JSON list, not an object", False),
    ([json.dumps(SUMMARY), TimeoutError()], {"summary_input_tokens": 300}, "failed",
     "TimeoutError", False),
    ([], {"keep_messages": 8}, "no progress", None, False),
])
def test_outcomes(answers, settings, outcome, error, replaced, caplog):
    caplog.set_level(logging.INFO, logger="vorlin_summarizer.compaction")
    events = []
    model = Model(*answers)
    result = asyncio.run(compactor(model, on_event=events.append, **settings).compact(CHAT))
    assert (result.outcome, result.error) == (outcome, error)
    assert result.requests == len(model.systems) == len(answers)
    assert (result.messages != CHAT) is replaced and result.messages is not CHAT
    if settings.get("accept_unparsed"):
        assert result.messages[1]["content"].endswith("### Narrative Summary\nThe model wrote prose.")
    assert events == [CompactionEvent(outcome, 9, len(result.messages), result.tokens_before,
                                      result.tokens_after, result.requests, result.seconds, error)]
    lines = [r.getMessage() for r in caplog.records if r.levelno == logging.INFO]
    assert lines == ([] if outcome == "not needed" else [
        f"compaction {outcome}: 9 -> {len(result.messages)} messages, {result.tokens_before} -> "
        f"{result.tokens_after} tokens, {result.requests} request{'s' * (result.requests != 1)},"
        f" {result.seconds:.2f} s"
        + (f": {error}" if error else "")])


def test_a_request_too_long_for_the_model_is_split_at_units(caplog):
    caplog.set_level(logging.INFO, logger="vorlin_summarizer.compaction")

    def refuse_long(system):  # the summarizer's model takes two turns at most
        return REFUSED["context"] if system.count("[User]: ") > 1 else Completion(
            json.dumps(SUMMARY), Usage(100, 20))

    model = Model(*[refuse_long] * 8)
    result = asyncio.run(compactor(model, keep_messages=1).compact(CHAT))
    # Six turns: refused whole, then halves, ...: every turn summarized once, and what each
    # answer used summed.
    assert result.outcome == "summarized" and result.messages[2:] == CHAT[7:]
    summarized = [system for system in model.systems if system.count("[User]: ") <= 1]
    assert "".join(summarized).count("[Assistant]: ") == 3
    sent = len(summarized)
    assert sent > 1 and result.usage == Usage(100 * sent, 20 * sent)
    assert (f"{result.requests} requests ({100 * sent} + {20 * sent} tokens)"
            in caplog.records[-1].getMessage())
    single = Model(*[REFUSED["context"]] * 3)
    result = asyncio.run(compactor(single, keep_messages=1).compact(CHAT[:3] + CHAT[-1:],
                                                                    force=True))
    assert (result.outcome, result.error_kind, len(single.systems)) == (
        "failed", "context_length", 2)  # split down to one unit, then given up


def test_fallback_keeps_the_last_good_summary_and_one_note():
    model = Model(json.dumps(SUMMARY), *[RuntimeError("down")] * 40)
    chosen = compactor(model, on_failure="fallback", summary_input_tokens=300, keep_messages=2,
                       cooldown=2)
    history, sizes = CHAT, []
    for round in range(12):
        result = asyncio.run(chosen.compact(history))
        summary = result.messages[1]["content"]
        assert summary.startswith(BLOCK + "\n\n## Conversation History Summary\n")
        assert summary.count("### Current State\nConversation had ") == 1  # no stacking
        assert result.messages[2:] == history[-2:] and result.fits
        sizes.append(len(summary))
        history = result.messages + [text(role, 400) for role in ["user", "assistant"] * 3]
    assert max(sizes) == min(sizes) < len(BLOCK) + 700  # a goal and a request of 200 at most
    # Resting rounds (two after every three failures) fall back without a request.
    assert len(model.systems) < 12 + 1


def test_failures_rest_per_conversation_and_configuration_errors_at_once(caplog):
    model = Model(*[RuntimeError("down")] * 4)
    chosen = compactor(model, cooldown=2)
    errors = [asyncio.run(chosen.compact(CHAT, conversation="a")).error for _ in range(6)]
    assert errors == ["down"] * 3 + [
        "not tried: 3 compactions failed in a row; trying again after 1 more call",
        "not tried: 3 compactions failed in a row; trying again on the next call", "down"]
    assert asyncio.run(chosen.compact(CHAT, conversation="b")).outcome == "summarized"
    assert len(model.systems) == 5 and chosen._health == {"a": chosen._health["a"]}

    caplog.set_level(logging.ERROR, logger="vorlin_summarizer.compaction")
    refused = Model(REFUSED["auth"])
    chosen = compactor(refused, cooldown=2)
    results = [asyncio.run(chosen.compact(CHAT)) for _ in range(4)]
    assert [(r.outcome, r.error_kind) for r in results] == [("failed", "auth")] * 3 + [
        ("summarized", None)]
    assert results[1].error == ("not tried: the summarizer's model refused the request: check "
                                "the API key and the account's access to the model; trying "
                                "again after 1 more call")
    assert len(refused.systems) == 2  # rested at once, for the cooldown only
    [line] = [r.getMessage() for r in caplog.records if r.name.endswith("compaction")]
    assert line.startswith("compaction rests for 2 calls: the summarizer's model refused the "
                           "request (auth): HTTP 401 from the server: bad key; check the API key")


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


def test_calibration_and_reserve_move_the_trigger():
    history = [text("user", 10)] * 6
    chosen = compactor(Model(), context_tokens=1000, reserve_tokens=500, keep_messages=1,
                       count_tokens=lambda message: 50)
    assert (chosen.trigger_tokens, chosen.plan(history).triggered) == (400, False)
    chosen.calibrate(history, 450)  # the model counted 450 where the estimate said 300
    plan = chosen.plan(history + [text("assistant", 10)])
    assert (plan.tokens, plan.correction, plan.triggered) == (525, 1.5, True)
    result = asyncio.run(chosen.recover(history, "This model's maximum context length is 1000 "
                                        "tokens. However, your messages resulted in 1200 tokens."))
    assert result.outcome == "summarized" and chosen.plan(history).correction > 1.5


def test_a_result_too_large_for_the_window_is_flagged_or_cut(caplog):
    caplog.set_level(logging.INFO, logger="vorlin_summarizer.compaction")
    call = {"role": "assistant", "content": None,
            "tool_calls": [{"id": "big", "function": {"name": "dump", "arguments": "{}"}}]}
    result_message = {"role": "tool", "tool_call_id": "big", "content": "line of log\n" * 40_000}
    history = CHAT + [call, result_message]
    flagged = asyncio.run(compactor(Model(), summary_role="user").compact(history))
    assert not flagged.fits and flagged.messages[-1] is result_message
    assert "over the window of 1000" in caplog.records[-1].getMessage()
    cut = asyncio.run(compactor(Model(), summary_role="user", max_kept_result_tokens=200
                                ).compact(history))
    assert cut.fits and cut.messages[-2] is call and result_message["content"].count("\n") == 40_000
    assert cut.messages[-1]["content"].endswith(
        "characters of this tool result were cut to fit the context window]")


@pytest.mark.parametrize("settings, message", [
    ({"context_tokens": 0}, "context_tokens must be a positive whole number of tokens, got 0"),
    ({"trigger": 1.5}, "trigger must be a fraction of the window in (0, 1], got 1.5"),
    ({"keep_tokens": 801}, "keep_tokens is 801, more than the trigger point of 800 tokens"),
    ({"trigger": 0.2}, "keep_tokens (by default a quarter of the window) is 250, more than "
     "the trigger point of 200 tokens"),
    ({"reserve_tokens": 400, "keep_tokens": 600}, "keep_tokens is 600, more than the trigger "
     "point of 480 tokens"),
    ({"reserve_tokens": 1000}, "reserve_tokens must be a whole number of tokens from 0 to less "
     "than context_tokens (1000), got 1000"),
    ({"keep_tokens": 10, "keep_messages": 2}, "give keep_tokens or keep_messages, not both"),
    ({"max_kept_result_tokens": 0}, "max_kept_result_tokens must be a positive whole number of "
     "tokens, got 0"),
    ({"summary_role": "assistant"}, "summary_role must be 'system' or 'user', got 'assistant'"),
    ({"message_format": "gemini"}, "message_format must be 'auto', 'chat', 'responses' or "
     "'anthropic', got 'gemini'"),
])
def test_invalid_settings(settings, message):
    with pytest.raises(ValueError) as raised:
        compactor(Model(), **settings)
    assert str(raised.value) == message
