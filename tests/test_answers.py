"""Reading the model's answer before the summarizer parses it, and the verdict on it."""

import asyncio
import json
from types import SimpleNamespace

import pytest

import twin
from vorlin_summarizer.answers import Verdict, Watched, add_usage, read_answer
from vorlin_summarizer.client import Completion, CompletionError, Usage

RECORD = json.dumps({"goals": ["Ship it"], "summary": "Retries added."})
# Reasoning drafts the answer at length: larger than the answer, so never to be taken for it.
DRAFT = json.dumps({"summary": "a first draft, longer than the answer " * 3})

READINGS = {
    # name: (the model's answer, what the summarizer is given)
    # the fence says which object is the answer, though prose holds a larger one
    "fence-over-larger-prose-object": (f"Before: {DRAFT}\nNow:\n```json\n{RECORD}\n```",
                                       RECORD),
    "two-objects-largest": (f'For example {{"a": 1}}; the answer: {RECORD}', RECORD),
    "braces-in-prose": (f'Use {{x}} or {{"y"}} and then {RECORD}', RECORD),
    "think": (f"<think>\nDraft: {DRAFT}\n</think>\n\n{RECORD}", RECORD),
    "thinking": (f"  \n<thinking>plan</thinking>{RECORD}", RECORD),
    "think-then-prose": ("<think>plan</think>\n\nThe model wrote prose.",
                         "The model wrote prose."),
    # R1's template opens the block in the prompt: the answer holds only its end
    "think-start-missing": (f"Okay, the user wants JSON: {DRAFT}\n</think>\n\n{RECORD}", RECORD),
    "think-tag-inside-json": ('{"summary": "strip </think> tags"}',
                              '{"summary": "strip </think> tags"}'),
    "fenced-list": ("```json\n[1, 2]\n```", "```json\n[1, 2]\n```"),
    # a cut object's inner objects are fragments, not the answer
    "cut-object": ('{"goals": [{"step": 1}], "summary": "cut', '{"goals": [{"step": 1}], '
                   '"summary": "cut'),
}


@pytest.mark.parametrize("case", list(READINGS))
def test_read_answer_finds_the_object(case):
    answer, given = READINGS[case]
    assert read_answer(answer) == given


@pytest.mark.parametrize("answer, given", [
    ("word " * 200_000 + RECORD, RECORD),
    ('{"' * 500_000, '{"' * 500_000),  # a start at every other character, none an object
    ("```" + "a" * 1_000_000, "```" + "a" * 1_000_000),  # a fence that never closes
    ('{"a": ' * 100_000 + "1" + "}" * 100_000, '{"a": ' * 100_000 + "1" + "}" * 100_000),
], ids=["object-after-a-megabyte", "starts-everywhere", "open-fence", "nested-too-deep"])
def test_read_answer_on_a_huge_answer(answer, given):
    assert read_answer(answer) == given


class Model:
    """Answers each request with the next of its answers, raising an exception given."""

    def __init__(self, *answers):
        self.answers = list(answers)

    async def complete(self, *, messages, max_tokens):
        answer = self.answers.pop(0)
        if isinstance(answer, Exception):
            raise answer
        return answer


MESSAGES = [{"role": "user", "content": "Add retries"},
            {"role": "assistant", "content": "Done."}]
ADVICE = ("turn the model's reasoning off or lower its effort (for example "
          'extra_body={"reasoning_effort": "low"})')
USAGE = Usage(120, 30)

VERDICTS = {
    # name: (the client's answer, the verdict, what the summarizer did with it: "record"
    # (read the JSON), "narrative" (kept the text), "basic" (built its own summary), or
    # "logged" (logged the verdict's error when the call raised, then built its basic one)
    "object": (Completion(f"Sure:\n```json\n{RECORD}\n```", USAGE),
               Verdict("summarized", usage=USAGE), "record"),
    # usage in openai-python's shape, read as a Usage
    "object-usage-elsewhere": (Completion(RECORD, SimpleNamespace(
        prompt_tokens=120, completion_tokens=30)), Verdict("summarized", usage=USAGE), "record"),
    "prose": (Completion("The model wrote prose."), Verdict("unparsed"), "narrative"),
    "list": (Completion("[1, 2]"),
             Verdict("failed", "the model answered with JSON list, not an object"), "logged"),
    "empty": (Completion(""), Verdict("failed", "the model answered with empty text"), "basic"),
    "none": (SimpleNamespace(content=None),
             Verdict("failed", "the model answered with empty text"), "basic"),
    "not-text": (Completion(42), Verdict("failed", "the model's answer is int, not text"),
                 "basic"),
    "cut": (Completion(RECORD[:20], USAGE, finish_reason="length"),
            Verdict("failed", "the answer was cut at the token limit", usage=USAGE), "logged"),
    # vllm-project/vllm#12473: a reasoning parser, when the model never closes its reasoning
    "reasoning-only": (Completion(None, reasoning_content=RECORD), Verdict(
        "failed", "the model put its answer in reasoning_content and left content empty: "
        f"{ADVICE}, or check the server's reasoning parser"), "logged"),
    "think-unclosed": (Completion("<think>drafting"), Verdict(
        "failed", "the model's answer is a reasoning block that never ends, with no answer "
        f"after it: {ADVICE}"), "logged"),
    "error": (CompletionError("HTTP 401 from the server: bad key", status_code=401,
                              kind="auth"),
              Verdict("failed", "HTTP 401 from the server: bad key", "auth"), "logged"),
}


@pytest.mark.parametrize("case", list(VERDICTS))
def test_the_verdict_and_what_the_summarizer_made_of_the_answer(case, impl, log):
    answer, verdict, made = VERDICTS[case]
    watched = Watched(Model(RuntimeError("an earlier request failed"), answer))
    with pytest.raises(RuntimeError):  # what each request records starts afresh
        asyncio.run(watched.complete(messages=[], max_tokens=1))

    record = asyncio.run(impl.ConversationSummarizer(watched).summarize_messages(MESSAGES))

    assert watched.verdict() == verdict
    record.pop("created_at")
    if made in ("record", "narrative"):
        expected = twin._parse_summary(RECORD if made == "record" else answer.content)
    else:
        expected = twin._fallback_summary(MESSAGES)
    expected.pop("created_at")
    assert record == expected
    if made == "logged":
        assert [r.getMessage() for r in log.records] == ["Summarization failed: " + verdict.error]


def test_add_usage_keeps_the_count_when_a_later_request_gives_none():
    assert add_usage(USAGE, None) == USAGE  # the other cases: test_compaction's usage sum
