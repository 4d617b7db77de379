"""Reading the model's answer before the summarizer parses it, and judging how it went.

Models wrap the JSON object the summarizer asks for: a reasoning block before it, a code
fence around it, a line of prose before or after it. ``read_answer`` finds the object in
all of these, so the summarizer receives only the object. ``Watched`` drives one client
for one caller and says afterwards, in a ``Verdict``, whether the last request gave a
summary, an answer the summarizer could not parse, or nothing usable.
"""

from __future__ import annotations

import json
import re
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Literal

from .client import Completion, CompletionError, ErrorKind, Usage
from .protocols import LLMClient, LLMResponse

__all__ = ["Verdict", "Watched", "add_usage", "read_answer"]

# A reasoning block as reasoning models open their answers with it (DeepSeek-R1, Qwen3,
# QwQ served without a reasoning parser), after any whitespace.
_REASONING_START = re.compile(r"\s*<(think|thinking)>", re.IGNORECASE)
# R1's chat template opens the block in the prompt, so the answer holds only its end
# (ggml-org/llama.cpp#11861, deepseek-ai/DeepSeek-R1#352).
_REASONING_END = "</think>"
# A fence: three backticks, an optional language tag, the body, three backticks.
_FENCE = re.compile(r"```[^\n`{\[]*+(.*?)```", re.DOTALL)
# Where a JSON object may start: a brace before a key or before the closing brace.
_OBJECT_START = re.compile(r"\{\s*[\"}]")
# Each failed decode costs a pass over the text before it (the error counts the lines up
# to where it failed), so only this many are tried: prose rarely holds more such braces.
_FAILED_STARTS = 100

_REASONING_ADVICE = ("turn the model's reasoning off or lower its effort (for example "
                     "extra_body={\"reasoning_effort\": \"low\"})")
_CUT_AT_LIMIT = "the answer was cut at the token limit"
_REASONING_ONLY = ("the model put its answer in reasoning_content and left content empty: "
                   f"{_REASONING_ADVICE}, or check the server's reasoning parser")
_UNFINISHED_REASONING = ("the model's answer is a reasoning block that never ends, with no "
                         f"answer after it: {_REASONING_ADVICE}")
_EMPTY = "the model answered with empty text"


def read_answer(text: str) -> str:
    """The JSON object in a model's answer, as text, or the answer as it is.

    A leading reasoning block is dropped first (an unfinished one leaves no answer). Then
    the first fenced block that holds an object wins, else the largest object standing
    among prose; without either the answer is returned as it is."""
    start = _answer_start(text)
    if start is None:
        return ""
    answer = text[start:].lstrip() if start else text
    return next(_fenced_objects(answer), None) or _largest_object(answer) or answer


def _answer_start(text: str) -> int | None:
    """Where the answer starts after a leading reasoning block: 0 when there is none,
    None when the block never ends."""
    start = _REASONING_START.match(text)
    if start is not None:
        close = f"</{start[1]}>"
        end = text.find(close, start.end())
        return None if end < 0 else end + len(close)
    end = text.find(_REASONING_END)
    # Only prose opens a block whose start is missing: an answer that starts as an object
    # or a fence keeps any "</think>" inside it.
    if end < 0 or text.lstrip().startswith(("{", "`")):
        return 0
    return end + len(_REASONING_END)


def _fenced_objects(text: str) -> Iterator[str]:
    for fence in _FENCE.finditer(text):
        body = fence[1].strip()
        if body.startswith("{") and _is_object(body):
            yield body


def _is_object(text: str) -> bool:
    try:
        return isinstance(json.loads(text), dict)
    except (ValueError, RecursionError):
        return False


def _largest_object(text: str) -> str | None:
    """The longest JSON object in the text, trying each place where one may start.

    Every attempt moves past what it read, whether it decoded (an object's own inner
    objects are never the largest) or failed (a broken object's inner ones are fragments,
    not answers), so each character is read about once."""
    decoder = json.JSONDecoder()
    best = ""
    position = failures = 0
    while failures < _FAILED_STARTS and (
            start := _OBJECT_START.search(text, position)) is not None:
        begin = start.start()
        try:
            _, end = decoder.raw_decode(text, begin)
        except json.JSONDecodeError as exc:
            position, failures = max(exc.pos, begin + 1), failures + 1
            continue
        except (ValueError, RecursionError):
            break  # a number too long to convert, or nesting too deep: no summary
        if end - begin > len(best):
            best = text[begin:end]
        position = end
    return best or None


@dataclass(frozen=True)
class Verdict:
    """How the last request through a `Watched` client ended."""

    outcome: Literal["summarized", "unparsed", "failed"]
    error: str | None = None  # why, for outcome "failed"
    kind: ErrorKind | None = None  # the CompletionError's kind, when it had one
    usage: Usage | None = None  # what the server counted, when it said


class Watched:
    """A client, watched: what its last request answered, read as the summarizer should.

    The summarizer turns every failure into a record; only the call itself tells a failed
    request from a summary. One `Watched` serves one caller's requests in turn."""

    def __init__(self, client: LLMClient) -> None:
        self._client = client
        self._error: Exception | None = None
        self._answer: object = None  # what the summarizer was given
        self._usage: Usage | None = None

    async def complete(self, *, messages: list[dict[str, str]], max_tokens: int
                       ) -> LLMResponse:
        self._error, self._answer, self._usage = None, None, None
        try:
            response = await self._client.complete(messages=messages, max_tokens=max_tokens)
            self._usage = _usage_of(response)
            self._answer = answer = _given(response)
        except Exception as exc:
            self._error = exc
            raise
        return Completion(answer, self._usage) if isinstance(answer, str) else response

    def verdict(self) -> Verdict:
        """Whether the last request gave a summary; a request that raised has failed."""
        error, answer, usage = self._error, self._answer, self._usage
        if error is not None:
            kind = error.kind if isinstance(error, CompletionError) else None
            return Verdict("failed", str(error) or type(error).__name__, kind, usage)
        if not answer:
            return Verdict("failed", _EMPTY, usage=usage)
        if type(answer) is not str:
            return Verdict("failed", f"the model's answer is {type(answer).__name__}, not text",
                           usage=usage)
        try:
            json.loads(_as_the_summarizer_reads(answer))  # an object: other JSON raised
        except json.JSONDecodeError:
            return Verdict("unparsed", usage=usage)
        except (ValueError, RecursionError) as exc:
            return Verdict("failed", f"the model's answer cannot be read: {exc}", usage=usage)
        return Verdict("summarized", usage=usage)


def _given(response: LLMResponse) -> object:
    """What the summarizer is given of a response: the object read out of its text.

    An answer with text but no summary in it (cut at the limit, reasoning only, JSON that
    is not an object) raises, so that the summarizer builds its basic summary and logs
    why, instead of parsing a fragment."""
    content: object = response.content
    if getattr(response, "finish_reason", None) == "length":
        raise CompletionError(_CUT_AT_LIMIT)
    reasoning = getattr(response, "reasoning_content", None)
    if not content and isinstance(reasoning, str) and reasoning:
        raise CompletionError(_REASONING_ONLY)
    if type(content) is not str or not content:
        return content  # the summarizer's own reading of it stands
    if _answer_start(content) is None:
        raise CompletionError(_UNFINISHED_REASONING)
    answer = read_answer(content)
    if not answer.strip():
        return ""
    try:
        data = json.loads(_as_the_summarizer_reads(answer))
    except (ValueError, RecursionError):
        return answer  # prose, the narrative; or too deep, which the summarizer reports
    if not isinstance(data, dict):
        raise CompletionError(f"the model answered with JSON {type(data).__name__}, "
                              "not an object")
    return answer


def _as_the_summarizer_reads(text: str) -> str:
    """The text the summarizer decodes: trimmed, out of one opening code fence."""
    text = text.strip()
    if not text.startswith("```"):
        return text
    body = []
    for line in text.split("\n")[1:]:
        if line.strip() == "```":
            break
        body.append(line)
    return "\n".join(body)


def _usage_of(response: object) -> Usage | None:
    """The response's counts, from our `Usage` or any object with the same two fields
    (openai-python's `CompletionUsage`, for one)."""
    usage = getattr(response, "usage", None)
    prompt = getattr(usage, "prompt_tokens", None)
    completion = getattr(usage, "completion_tokens", None)
    if type(prompt) is int and type(completion) is int:
        return usage if isinstance(usage, Usage) else Usage(prompt, completion)
    return None


def add_usage(total: Usage | None, more: Usage | None) -> Usage | None:
    """The sum of two requests' counts; None when neither reported any."""
    if total is None or more is None:
        return more if total is None else total
    return Usage(total.prompt_tokens + more.prompt_tokens,
                 total.completion_tokens + more.completion_tokens)
