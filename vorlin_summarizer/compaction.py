"""When to summarize an agent's history, where to cut it, and how to carry that out.

A history is a sequence of units, never of loose messages: the leading system messages;
then each assistant message with tool calls together with the tool messages that answer
it (matched by ``tool_call_id``, parallel calls included); every other message is a unit
of its own. Cuts fall only between units, a call still waiting for its result stays in
the recent part, and a compaction is all or nothing: a new history, or the old one
untouched. ``Compactor.plan`` is a pure function of the history and the settings;
``Compactor.compact`` carries out exactly that plan.
"""

from __future__ import annotations

import json
import logging
import time
from bisect import bisect_left, bisect_right
from itertools import accumulate, islice
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any, Literal

from vorlin.core.summarizer import ConversationSummarizer

from .offline import OfflineClient
from .protocols import LLMClient, LLMResponse

__all__ = [
    "SUMMARY_INPUT_TOKENS", "CompactionEvent", "CompactionResult", "Compactor", "Outcome", "Plan",
    "chunk_messages",
    "content_text", "estimate_tokens", "prepare_messages", "split_units",
]

Message = dict[str, Any]
Outcome = Literal["not needed", "summarized", "unparsed", "failed", "no progress"]

logger = logging.getLogger("vorlin_summarizer.compaction")

# A developer message is the newer APIs' name for the system prompt.
SYSTEM_ROLES = frozenset({"system", "developer"})
_CHARS_PER_TOKEN = 4
_MESSAGE_TOKENS = 4  # role and framing of one chat message
# ceil(chars / 4) + 4 in one division: the characters rounded up, plus the message's own.
_ROUND_UP = _CHARS_PER_TOKEN * _MESSAGE_TOKENS + _CHARS_PER_TOKEN - 1
_IMAGE_TOKENS = 765  # one 1024x1024 image at high detail
_ANSWER_TOKENS = 2048  # the summarizer's token limit for one answer
_MIN_GAIN = 0.1  # a cut that frees less of the history than this is not worth a request
_FAILURES_BEFORE_REST = 3
# What one summary request may carry of the conversation, by default.
SUMMARY_INPUT_TOKENS = 32_000
_PLACEHOLDERS = {"image_url": "[image]", "image": "[image]", "input_image": "[image]",
                 "input_audio": "[audio]", "audio": "[audio]", "file": "[file]",
                 "input_file": "[file]"}
# Every block the summarizer renders starts with this heading; it marks our summary message.
_SUMMARY_HEAD = ConversationSummarizer(OfflineClient()).format_summary_for_context({})


def content_text(content: object) -> object:
    """Content given as a list of parts, as text: text parts joined by line feeds, an
    image as "[image]". Any other content is returned as it is."""
    if not isinstance(content, list):
        return content
    pieces = []
    for part in content:
        if isinstance(part, str):
            pieces.append(part)
            continue
        kind = part.get("type") if isinstance(part, dict) else None
        if kind == "text" or kind == "refusal":
            text = part.get(kind)
            pieces.append(text if isinstance(text, str) else str(text))
        else:
            pieces.append(_PLACEHOLDERS.get(str(kind), f"[{kind or 'part'}]"))
    return "\n".join(pieces)


def prepare_messages(messages: Sequence[Message]) -> list[Message]:
    """The messages as the summarizer should read them: content parts flattened to text.

    A message that needs no change is passed on as the same object; one that does is
    copied, so the caller's messages are never modified."""
    return [_prepared(message) for message in messages]


def _prepared(message: Message) -> Message:
    content = message.get("content")
    return {**message, "content": content_text(content)} if isinstance(content, list) else message


def _content_chars(content: object) -> int:
    if isinstance(content, str):
        return len(content)
    if content is None:
        return 0
    if not isinstance(content, list):
        return len(str(content))
    chars = 0
    for part in content:
        kind = part.get("type") if isinstance(part, dict) else None
        if _PLACEHOLDERS.get(str(kind)) == "[image]":
            chars += _IMAGE_TOKENS * _CHARS_PER_TOKEN
        else:
            chars += len(str(content_text([part])))
    return chars


def _text_chars(value: object) -> int:
    return 0 if value is None else len(value if isinstance(value, str) else str(value))


def estimate_tokens(message: Message) -> int:
    """About four characters a token, over the content, the tool calls' names and
    arguments, plus a few tokens for the message itself; an image counts 765."""
    return _scan((message,), 0, estimate_tokens).before[-1]


def _tokens(messages: Sequence[Message], count: Callable[[Message], int]) -> int:
    return _scan(messages, 0, count).before[-1]


@dataclass(frozen=True)
class _Units:
    """Where the units of messages[begin:] start, and the tokens before each start; the
    last entry of `before` is the count of the whole part."""

    starts: list[int]
    before: list[int]
    parts: list[int]  # messages whose content is a list of parts
    end: int  # len(messages)


def _scan(messages: Sequence[Message], begin: int, count: Callable[[Message], int]) -> _Units:
    """One pass over messages[begin:], as plan() runs on every agent turn.

    A cut may fall before a message only when every call made before it has had its
    result, and the message is not itself a result. A call that never had one keeps the
    rest of the history in its unit. The default estimate is summed here, without a call
    a message: only content that is not a string takes a longer way.
    """
    estimate = count is estimate_tokens
    starts: list[int] = []
    before: list[int] = []
    parts: list[int] = []  # messages whose content is a list of parts
    waiting: dict[Any, int] = {}  # call id -> calls with that id still without a result
    total = 0
    for index, message in enumerate(islice(messages, begin, None) if begin else messages, begin):
        role = message.get("role")
        chars = 0
        if role == "tool" or role == "function":  # "function": the older single-call API
            if waiting:  # with nothing waiting, a result answers nothing
                key = message.get("tool_call_id")
                left = waiting.pop(key, 1)
                if left != 1:
                    waiting[key] = left - 1
            elif index == begin:
                starts.append(index)
                before.append(total)
        else:
            if not waiting:
                starts.append(index)
                before.append(total)
            calls = message.get("tool_calls") if role == "assistant" else None
            if calls is not None and (calls.__class__ is list or isinstance(calls, (list, tuple))):
                for call in calls:
                    if call.__class__ is not dict and not isinstance(call, dict):
                        continue
                    key = call.get("id")
                    waiting[key] = waiting[key] + 1 if key in waiting else 1
                    if not estimate:
                        continue
                    fields = call.get("function")
                    if fields.__class__ is not dict and not isinstance(fields, dict):
                        fields = call  # the flat layout
                    name, arguments = fields.get("name"), fields.get("arguments")
                    if name.__class__ is str and arguments.__class__ is str:
                        chars += len(name) + len(arguments)
                    else:
                        chars += _text_chars(name) + _text_chars(arguments)
        content = message.get("content")
        if content.__class__ is str:
            chars += len(content)
        else:
            if content.__class__ is list or isinstance(content, list):
                parts.append(index)
            if estimate:
                chars += _content_chars(content)
        total += (chars + _ROUND_UP) // _CHARS_PER_TOKEN if estimate else count(message)
    before.append(total)
    return _Units(starts, before, parts, len(messages))


def split_units(messages: Sequence[Message]) -> list[list[Message]]:
    """The messages in units that a cut must not separate (see the module's doc)."""
    starts = _scan(messages, 0, estimate_tokens).starts
    return [list(messages[start:end]) for start, end in zip(starts, [*starts[1:], len(messages)])]


def _part(messages: Sequence[Message], start: int, stop: int | None = None) -> list[Message]:
    """messages[start:stop] as a new list, copied once."""
    part = messages[start:stop]
    return part if type(part) is list else list(part)


def _chunks(messages: Sequence[Message], starts: Sequence[int], before: Sequence[int],
            units: int, offset: int, budget: int) -> list[list[Message]]:
    """The first `units` units of `messages`, gathered while they fit in `budget`; a larger
    unit goes alone. Unit i starts at starts[i] - offset and has before[i] tokens before
    it; before[units] is the tokens of all of them."""
    chunks: list[list[Message]] = []
    first = 0
    while first < units:
        # The furthest unit boundary still within the budget from this chunk's start.
        end = max(first + 1, bisect_right(before, before[first] + budget, first + 1, units + 1) - 1)
        stop = starts[end] - offset if end < units else len(messages)
        chunks.append(_part(messages, starts[first] - offset, stop))
        first = end
    return chunks


def chunk_messages(
    messages: Sequence[Message],
    max_tokens: int,
    count_tokens: Callable[[Message], int] = estimate_tokens,
) -> list[list[Message]]:
    """The messages in chunks of at most `max_tokens`, cut only between units."""
    units = _scan(messages, 0, count_tokens)
    return _chunks(messages, units.starts, units.before, len(units.starts), 0, max_tokens)


def _is_summary(message: Message) -> bool:
    content = message.get("content")
    return isinstance(content, str) and content.startswith(_SUMMARY_HEAD) and (
        message.get("role") in ("system", "developer", "user"))


def _head(messages: Sequence[Message]) -> tuple[int, int | None]:
    """How many leading system messages there are, and where our summary message is
    (among them or right after them), if there is one."""
    index = 0
    while index < len(messages):
        message = messages[index]
        if _is_summary(message):
            return index, index
        if message.get("role") not in SYSTEM_ROLES:
            break
        index += 1
    return index, None


@dataclass(frozen=True)
class Plan:
    """What a compaction of one history would do; no request is made to learn it."""

    tokens: int  # the whole history
    trigger_tokens: float  # the count at which compaction starts
    triggered: bool
    cut: int  # index of the first kept message
    system: list[Message]  # leading system messages, kept first and verbatim
    previous_summary: str | None  # our earlier summary, built on and replaced
    summarized: list[Message]  # as given, between the summary and the cut
    kept: list[Message]
    chunks: list[list[Message]]  # the summarized part as it is sent, one request each
    tokens_after: int  # estimated, with the summary at its largest
    progress: bool  # whether the cut frees enough to be worth a request


@dataclass(frozen=True)
class CompactionResult:
    messages: list[Message]  # a new list: the compacted history, or the one given
    outcome: Outcome
    record: dict[str, Any] | None  # the summary record behind the summary message
    tokens_before: int
    tokens_after: int
    requests: int
    seconds: float
    error: str | None = None  # why, for outcome "failed"


@dataclass(frozen=True)
class CompactionEvent:
    """What one compaction did, as its log line says it."""

    outcome: Outcome
    messages_before: int
    messages_after: int
    tokens_before: int
    tokens_after: int
    requests: int
    seconds: float
    error: str | None


def _count(number: int, noun: str) -> str:
    return f"{number} {noun}" + ("" if number == 1 else "s")


def _positive(name: str, value: object, what: str = "a positive whole number of tokens") -> int:
    if not isinstance(value, int) or isinstance(value, bool) or value < 1:
        raise ValueError(f"{name} must be {what}, got {value!r}")
    return value


class _Watched:
    """The summarizer's client, watched: how the one call of a request ended.

    The summarizer turns every failure into a record; only the call itself tells a
    failed request from a summary."""

    def __init__(self, client: LLMClient) -> None:
        self._client = client
        self.error: str | None = None
        self.answer: object = None

    async def complete(self, *, messages: list[dict[str, str]], max_tokens: int
                       ) -> LLMResponse:
        self.error, self.answer = None, None
        try:
            response = await self._client.complete(messages=messages, max_tokens=max_tokens)
            self.answer = response.content
        except Exception as exc:
            self.error = str(exc) or type(exc).__name__
            raise
        return response

    def verdict(self) -> tuple[Outcome, str | None]:
        if self.error is not None:
            return "failed", self.error
        answer = self.answer
        if not answer:
            return "failed", "the model answered with empty text"
        if type(answer) is not str:
            return "failed", f"the model's answer is {type(answer).__name__}, not text"
        try:
            data = json.loads(_unfenced(answer))
        except json.JSONDecodeError:
            return "unparsed", None
        except (ValueError, RecursionError) as exc:
            return "failed", f"the model's answer cannot be read: {exc}"
        if not isinstance(data, dict):
            return "failed", f"the model answered with JSON {type(data).__name__}, not an object"
        return "summarized", None


def _unfenced(text: str) -> str:
    """The answer as the summarizer decodes it: trimmed, out of one opening code fence."""
    text = text.strip()
    if not text.startswith("```"):
        return text
    body = []
    for line in text.split("\n")[1:]:
        if line.strip() == "```":
            break
        body.append(line)
    return "\n".join(body)


class Compactor:
    """Keeps an agent's history inside its model's window by summarizing the oldest part.

    A host calls ``history = (await compactor.compact(history)).messages`` before each
    request to its model.
    """

    def __init__(
        self,
        summarizer: ConversationSummarizer,
        *,
        context_tokens: int,
        trigger: float = 0.8,
        keep_tokens: int | None = None,
        keep_messages: int | None = None,
        summary_input_tokens: int = SUMMARY_INPUT_TOKENS,
        count_tokens: Callable[[Message], int] = estimate_tokens,
        summary_role: Literal["system", "user"] = "system",
        on_failure: Literal["keep", "fallback"] = "keep",
        cooldown: int = 5,
        on_event: Callable[[CompactionEvent], object] | None = None,
    ) -> None:
        self.context_tokens = _positive("context_tokens", context_tokens)
        if isinstance(trigger, bool) or not isinstance(trigger, (int, float)) or not (
                0 < trigger <= 1):
            raise ValueError(f"trigger must be a fraction of the window in (0, 1], got {trigger!r}")
        self.trigger_tokens = trigger * context_tokens
        if keep_tokens is not None and keep_messages is not None:
            raise ValueError("give keep_tokens or keep_messages, not both")
        self.keep_messages = None if keep_messages is None else _positive(
            "keep_messages", keep_messages, "a positive whole number of messages")
        if keep_messages is None:
            what = "keep_tokens" if keep_tokens is not None else (
                "keep_tokens (by default a quarter of context_tokens)")
            keep_tokens = _positive(what, max(1, context_tokens // 4) if keep_tokens is None
                                    else keep_tokens)
            if keep_tokens > self.trigger_tokens:
                raise ValueError(f"{what} is {keep_tokens}, more than the trigger point of "
                                 f"{self.trigger_tokens:g} tokens")
        self.keep_tokens = keep_tokens
        self.summary_input_tokens = _positive("summary_input_tokens", summary_input_tokens)
        if summary_role not in ("system", "user"):
            raise ValueError(f"summary_role must be 'system' or 'user', got {summary_role!r}")
        if on_failure not in ("keep", "fallback"):
            raise ValueError(f"on_failure must be 'keep' or 'fallback', got {on_failure!r}")
        if not isinstance(cooldown, int) or isinstance(cooldown, bool) or cooldown < 0:
            raise ValueError(f"cooldown must be a whole number of calls, 0 or more, got {cooldown!r}")
        self.summarizer = summarizer
        self.count_tokens = count_tokens
        self.summary_role = summary_role
        self.on_failure = on_failure
        self.cooldown = cooldown
        self.on_event = on_event
        self._failures = 0  # failed outcomes in a row
        self._resting = 0  # calls left in which no request is tried

    def plan(self, messages: Sequence[Message]) -> Plan:
        """What compact() would do with this history; a pure dry run, no request."""
        count = self.count_tokens
        system_end, summary_at = _head(messages)
        begin = system_end if summary_at is None else summary_at + 1
        units = _scan(messages, begin, count)
        head_tokens = _tokens(messages[:system_end], count)
        previous_tokens = _tokens(messages[system_end:begin], count)
        tokens = head_tokens + previous_tokens + units.before[-1]
        unit = self._cut(units)
        cut = units.starts[unit] if unit < len(units.starts) else len(messages)
        summarized_tokens = units.before[unit]
        progress = cut > begin and summarized_tokens >= _MIN_GAIN * tokens
        summary_tokens = min(_ANSWER_TOKENS + _MESSAGE_TOKENS, summarized_tokens + previous_tokens)
        summarized = _part(messages, begin, cut)
        budget = self.summary_input_tokens
        flattened = [index - begin for index in units.parts if index < cut]
        if not flattened:
            chunks = _chunks(summarized, units.starts, units.before, unit, begin, budget)
        else:
            prepared = list(summarized)
            starts = [start - begin for start in units.starts[:unit]]
            # A message whose parts are flattened costs what its text does.
            extra = [0] * unit
            for index in flattened:
                prepared[index] = _prepared(prepared[index])
                extra[bisect_right(starts, index) - 1] += (
                    count(prepared[index]) - count(messages[begin + index]))
            before = units.before[:unit + 1]
            before = [0, *accumulate(later - earlier + more for earlier, later, more
                                     in zip(before, before[1:], extra))]
            chunks = _chunks(prepared, starts, before, unit, 0, budget)
        return Plan(
            tokens=tokens,
            trigger_tokens=self.trigger_tokens,
            triggered=tokens >= self.trigger_tokens,
            cut=cut,
            system=_part(messages, 0, system_end),
            previous_summary=None if summary_at is None else messages[summary_at]["content"],
            summarized=summarized,
            kept=_part(messages, cut),
            chunks=chunks,
            tokens_after=tokens - summarized_tokens - previous_tokens + summary_tokens
            if progress else tokens,
            progress=progress,
        )

    def _cut(self, units: _Units) -> int:
        """The first unit of the recent part: the earliest whose part from there on fits the
        keep budget, and never later than the newest unit, which stays whatever its size."""
        if not units.starts:
            return 0
        last = len(units.starts) - 1
        if self.keep_messages is not None:
            first = bisect_left(units.starts, units.end - self.keep_messages)
        else:
            first = bisect_left(units.before, units.before[-1] - (self.keep_tokens or 0), 0, last)
        return min(first, last)

    async def compact(self, messages: Sequence[Message], *, force: bool = False
                      ) -> CompactionResult:
        """The history with its oldest part summarized, or the history as given.

        `force` compacts before the trigger is reached. The messages given are never
        modified; cancellation passes through and changes nothing."""
        started = time.perf_counter()
        resting = self._resting > 0
        if resting:
            self._resting -= 1
        plan = self.plan(messages)
        if not (plan.triggered or force):
            return self._finish(messages, plan, "not needed", started)
        if not plan.progress:
            return self._finish(messages, plan, "no progress", started)
        if resting:
            again = f"after {_count(self._resting, 'more call')}" if self._resting else (
                "on the next call")
            return self._finish(messages, plan, "failed", started, error=(
                f"not tried: {_FAILURES_BEFORE_REST} compactions failed in a row; trying "
                f"again {again}"))
        # The client is the summarizer's one attribute; a summarizer of our own drives it
        # watched, so that concurrent compactions each see their own calls.
        watched = _Watched(self.summarizer._llm)
        summarizer = ConversationSummarizer(watched)
        previous = plan.previous_summary
        outcome: Outcome = "summarized"
        record: dict[str, Any] | None = None
        sent = 0
        for requests, chunk in enumerate(plan.chunks, 1):
            record = await summarizer.summarize_messages(chunk, previous)
            verdict, error = watched.verdict()
            if verdict == "failed":
                self._failed()
                if self.on_failure == "keep":
                    return self._finish(messages, plan, "failed", started, requests=requests,
                                        error=error)
                # The summarizer's basic summary of this chunk; the summary built so far
                # stays before it, and the chunks not sent stay verbatim.
                block = self.summarizer.format_summary_for_context(record)
                text = block if not previous else previous + "\n\n" + block
                rest = plan.summarized[sent + len(chunk):]
                return self._finish(messages, plan, "failed", started, requests=requests,
                                    error=error, record=record, summary=text,
                                    kept=rest + plan.kept)
            if verdict == "unparsed":
                outcome = "unparsed"
            previous = self.summarizer.format_summary_for_context(record)
            sent += len(chunk)
        self._failures = 0
        return self._finish(messages, plan, outcome, started, requests=len(plan.chunks),
                            record=record, summary=previous, kept=plan.kept)

    def _failed(self) -> None:
        self._failures += 1
        if self._failures >= _FAILURES_BEFORE_REST:
            self._failures, self._resting = 0, self.cooldown

    def _finish(
        self,
        messages: Sequence[Message],
        plan: Plan,
        outcome: Outcome,
        started: float,
        *,
        requests: int = 0,
        error: str | None = None,
        record: dict[str, Any] | None = None,
        summary: str | None = None,
        kept: list[Message] | None = None,
    ) -> CompactionResult:
        if summary is None or kept is None:
            new, after = list(messages), plan.tokens
        else:
            message = {"role": self.summary_role, "content": summary}
            new = [*plan.system, message, *kept]
            after = _tokens(new, self.count_tokens)
        result = CompactionResult(new, outcome, record, plan.tokens, after, requests,
                                  time.perf_counter() - started, error)
        self._report(result, len(messages))
        return result

    def _report(self, result: CompactionResult, before: int) -> None:
        event = CompactionEvent(result.outcome, before, len(result.messages),
                                result.tokens_before, result.tokens_after, result.requests,
                                result.seconds, result.error)
        # Every agent turn asks; only a compaction that was due is worth an INFO line.
        level = logging.DEBUG if event.outcome == "not needed" else logging.INFO
        if logger.isEnabledFor(level):
            logger.log(level, "compaction %s: %d -> %d messages, %d -> %d tokens, %s, %.2f s%s",
                       event.outcome, before, event.messages_after, event.tokens_before,
                       event.tokens_after, _count(event.requests, "request"), event.seconds,
                       f": {event.error}" if event.error else "")
        if self.on_event is not None:
            self.on_event(event)
