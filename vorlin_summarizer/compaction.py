"""When to summarize an agent's history, where to cut it, and how to carry that out.

A history is a sequence of units, never of loose items (see ``units``): the leading
system items; then each call together with the results that answer it; every other item
is a unit of its own. Cuts fall only between units, a call still waiting for its result
at the end stays in the recent part, and a compaction is all or nothing: a new history
whose summary is the model's real answer, or the old one untouched. ``Compactor.plan`` is
a pure function of the history and the settings; ``Compactor.compact`` carries out
exactly that plan. The history may be in any format the reading layer knows; the items
kept are the host's own objects, and the summary item is made in the history's format.
"""

from __future__ import annotations

import contextlib
import logging
import operator
import re
import time
from bisect import bisect_left
from collections import deque
from collections.abc import Callable, Hashable, Sequence
from dataclasses import dataclass, field, replace
from functools import cached_property
from typing import Any, Generic, Literal, TypeVar, cast

from vorlin.core.summarizer import ConversationSummarizer

from .answers import Verdict, Watched, add_usage
from .chunks import fill_requests, split_request
from .client import Usage
from .formats import (Format, MessageFormat, Reading, content_text, prepare_messages,
                      read_history, summary_item)
from .offline import OfflineClient, basic_summary
from .remembered import History, LastReading
from .tokens import (MESSAGE_TOKENS, CachedEstimate, Calibration, estimate_tokens,
                     reported_prompt_tokens)
from .trimming import trim_results
from .units import Units, scan

__all__ = [
    "SUMMARY_INPUT_TOKENS", "CompactionEvent", "CompactionResult", "Compactor", "Outcome", "Plan",
    "chunk_messages", "content_text", "estimate_tokens", "head_of", "prepare_messages",
    "split_units",
]

T = TypeVar("T")
Message = dict[str, Any]
Unit = list[Message]
Outcome = Literal["not needed", "summarized", "unparsed", "failed", "no progress"]

logger = logging.getLogger("vorlin_summarizer.compaction")

# A developer message is the newer APIs' name for the system prompt.
SYSTEM_ROLES = frozenset({"system", "developer"})
_SUMMARY_ROLES = frozenset({"system", "developer", "user"})
_ANSWER_TOKENS = 2048  # the summarizer's token limit for one answer
_MIN_GAIN = 0.1  # a cut that frees less of the history than this is not worth a request
_FAILURES_BEFORE_REST = 3
# What one summary request may carry of the conversation's transcript, by default.
SUMMARY_INPUT_TOKENS = 32_000
# Every block the summarizer renders starts with this heading; it marks our summary item.
_SUMMARY_HEAD = ConversationSummarizer(OfflineClient()).format_summary_for_context({})
# The summarizer's basic summary, rendered: the note a fallback adds after the last good
# summary, recognised so that the next fallback replaces it instead of adding another.
_BASIC_NOTE = re.compile(
    r"\n(?:### Original Goals\n  - .*\n\n)?"
    r"### Current State\nConversation had \d+ messages before summarization\n\n"
    r"### Narrative Summary\nConversation with \d+ messages\. Primary request: .*", re.S)
# Failures that another try will not mend: what the host has to change.
_CONFIGURATION_ERRORS = {
    "auth": "check the API key and the account's access to the model",
    "not_found": "check the base URL and the model name",
    "bad_request": "check the options the server refused (reasoning models want "
                   "token_limit_param='max_completion_tokens')",
}


def split_units(messages: Sequence[Message]) -> list[list[Message]]:
    """Chat messages in units that a cut must not separate (see the module's doc)."""
    reading = read_history(messages, "chat")
    starts = scan(reading.messages, reading.bounds, 0, [0] * len(reading.messages)).starts
    return [list(messages[start:end]) for start, end in zip(starts, [*starts[1:], len(messages)])]


def chunk_messages(messages: Sequence[Message], max_tokens: int) -> list[list[Message]]:
    """Chat messages (their content already text) in chunks whose transcript is at most
    about `max_tokens`, cut only between units."""
    return [[message for unit in request for message in unit]
            for request in fill_requests(split_units(messages), max_tokens)]


def _is_summary(message: Message) -> bool:
    if message.get("role") not in _SUMMARY_ROLES:
        return False
    text = content_text(message.get("content"))
    return isinstance(text, str) and text.startswith(_SUMMARY_HEAD)


def head_of(reading: Reading) -> tuple[int, int | None]:
    """How many leading system items there are, and which item is our summary (among them
    or right after them), if there is one."""
    messages, bounds = reading.messages, reading.bounds
    for item in range(len(bounds) - 1):
        given = messages[bounds[item]:bounds[item + 1]]
        if len(given) == 1 and _is_summary(given[0]):
            return item, item
        if not given or any(message.get("role") not in SYSTEM_ROLES for message in given):
            return item, None
    return len(bounds) - 1, None


def _begin(reading: Reading) -> int:
    """The first item after the leading system items and our summary."""
    system_end, summary_at = head_of(reading)
    return system_end if summary_at is None else summary_at + 1


def _split_note(summary: str | None) -> tuple[str | None, str | None]:
    """An earlier summary as its last good part and the basic note after it, if any."""
    if summary is None:
        return None, None
    at = summary.rfind("\n\n" + _SUMMARY_HEAD)
    start = at + 2 if at >= 0 else 0
    if not summary.startswith(_SUMMARY_HEAD, start) or not _BASIC_NOTE.fullmatch(
            summary, start + len(_SUMMARY_HEAD)):
        return summary, None
    return (summary[:at] if at >= 0 else None), summary[start:]


def _joined(good: str | None, note: str) -> str:
    return note if good is None else good + "\n\n" + note


@dataclass(frozen=True)
class Plan(Generic[T]):
    """What a compaction of one history would do; no request is made to learn it."""

    tokens: int  # the whole history, corrected by calibration
    trigger_tokens: float  # the count at which compaction starts
    triggered: bool
    cut: int  # index of the first kept item
    system: list[T]  # leading system items, kept first and verbatim
    previous_summary: str | None  # our earlier summary, built on and replaced
    summarized: list[T]  # as given, between the summary and the cut
    kept: list[T]
    tokens_after: int  # estimated, with the summary at its largest
    progress: bool  # whether the cut frees enough to be worth a request
    format: Format  # the history's format, which the summary item is made in
    correction: float  # the calibration factor applied to the estimate
    _units: Callable[[], list[Unit]] = field(repr=False, compare=False)
    _budget: int = field(repr=False, compare=False)

    @cached_property
    def _requests(self) -> list[list[Unit]]:
        return fill_requests(self._units(), self._budget)

    @property
    def chunks(self) -> list[list[Message]]:
        """The summarized part as it is sent, one request each: Chat messages whose
        content is text."""
        return [[message for unit in request for message in unit] for request in self._requests]


@dataclass(frozen=True)
class CompactionResult(Generic[T]):
    messages: list[T]  # a new list: the compacted history, or the one given
    outcome: Outcome
    record: dict[str, Any] | None  # the summary record behind the summary item
    tokens_before: int
    tokens_after: int
    requests: int
    seconds: float
    error: str | None = None  # why, for outcomes "failed" and "unparsed"
    error_kind: str | None = None  # the client's kind of failure, e.g. "context_length"
    usage: Usage | None = None  # the summary requests' tokens, as the server counted them
    fits: bool = True  # whether `messages` fits the window (less the reserve)


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
    error_kind: str | None = None
    usage: Usage | None = None
    fits: bool = True


def _count(number: int, noun: str) -> str:
    return f"{number} {noun}" + ("" if number == 1 else "s")


def _positive(name: str, value: object, what: str = "a positive whole number of tokens") -> int:
    if not isinstance(value, int) or isinstance(value, bool) or value < 1:
        raise ValueError(f"{name} must be {what}, got {value!r}")
    return value


def _choice(name: str, value: object, choices: Sequence[str]) -> None:
    if value not in choices:
        allowed = ", ".join(repr(choice) for choice in choices[:-1]) + f" or {choices[-1]!r}"
        raise ValueError(f"{name} must be {allowed}, got {value!r}")


@dataclass
class _Health:
    """One conversation's failures: how many in a row, and the calls left to rest."""

    failures: int = 0
    resting: int = 0
    reason: str = ""
    kind: str | None = None


@dataclass
class _Outcome:
    """How the requests of one compaction ended."""

    outcome: Outcome
    requests: int
    usage: Usage | None
    record: dict[str, Any] | None = None
    summary: str | None = None  # the summary text, when the history is replaced
    error: str | None = None
    kind: str | None = None
    history: list[Any] | None = None  # the history as planned, when it is not the one given


class Compactor:
    """Keeps an agent's history inside its model's window by summarizing the oldest part.

    A host calls ``history = (await compactor.compact(history)).messages`` before each
    request to its model: one compactor per agent, a `conversation` key per conversation.
    """

    def __init__(
        self,
        summarizer: ConversationSummarizer,
        *,
        context_tokens: int,
        trigger: float = 0.8,
        keep_tokens: int | None = None,
        keep_messages: int | None = None,
        reserve_tokens: int = 0,
        summary_input_tokens: int = SUMMARY_INPUT_TOKENS,
        count_tokens: Callable[[Message], int] | None = None,
        message_format: MessageFormat = "auto",
        summary_role: Literal["system", "user"] = "system",
        on_failure: Literal["keep", "fallback"] = "keep",
        accept_unparsed: bool = False,
        max_kept_result_tokens: int | None = None,
        cooldown: int = 5,
        on_event: Callable[[CompactionEvent], object] | None = None,
    ) -> None:
        self.context_tokens = _positive("context_tokens", context_tokens)
        if not isinstance(reserve_tokens, int) or isinstance(reserve_tokens, bool) or not (
                0 <= reserve_tokens < context_tokens):
            raise ValueError("reserve_tokens must be a whole number of tokens from 0 to less "
                             f"than context_tokens ({context_tokens}), got {reserve_tokens!r}")
        self.reserve_tokens = reserve_tokens
        self.window_tokens = context_tokens - reserve_tokens
        if isinstance(trigger, bool) or not isinstance(trigger, (int, float)) or not (
                0 < trigger <= 1):
            raise ValueError(f"trigger must be a fraction of the window in (0, 1], got {trigger!r}")
        self.trigger_tokens = trigger * self.window_tokens
        if keep_tokens is not None and keep_messages is not None:
            raise ValueError("give keep_tokens or keep_messages, not both")
        self.keep_messages = None if keep_messages is None else _positive(
            "keep_messages", keep_messages, "a positive whole number of messages")
        if keep_messages is None:
            what = "keep_tokens" if keep_tokens is not None else (
                "keep_tokens (by default a quarter of the window)")
            keep_tokens = _positive(what, max(1, self.window_tokens // 4) if keep_tokens is None
                                    else keep_tokens)
            if keep_tokens > self.trigger_tokens:
                raise ValueError(f"{what} is {keep_tokens}, more than the trigger point of "
                                 f"{self.trigger_tokens:g} tokens")
        self.keep_tokens = keep_tokens
        self.summary_input_tokens = _positive("summary_input_tokens", summary_input_tokens)
        self.max_kept_result_tokens = None if max_kept_result_tokens is None else _positive(
            "max_kept_result_tokens", max_kept_result_tokens)
        _choice("message_format", message_format, ("auto", "chat", "responses", "anthropic"))
        _choice("summary_role", summary_role, ("system", "user"))
        _choice("on_failure", on_failure, ("keep", "fallback"))
        if not isinstance(cooldown, int) or isinstance(cooldown, bool) or cooldown < 0:
            raise ValueError(f"cooldown must be a whole number of calls, 0 or more, got {cooldown!r}")
        self.summarizer = summarizer
        self.count_tokens: Callable[[Message], int] = (
            CachedEstimate() if count_tokens is None or count_tokens is estimate_tokens
            else count_tokens)
        self.message_format = message_format
        self.summary_role = summary_role
        self.on_failure = on_failure
        self.accept_unparsed = bool(accept_unparsed)
        self.cooldown = cooldown
        self.on_event = on_event
        self._calibration = Calibration()
        self._last = LastReading()
        self._health: dict[Hashable, _Health] = {}  # only conversations that failed

    def calibrate(self, messages: Sequence[object], prompt_tokens: int) -> None:
        """Correct later estimates by the count the agent's model reported for this
        history (its `usage.prompt_tokens`)."""
        self._calibration.observe(sum(self._read(messages).counts), prompt_tokens)

    def plan(self, messages: Sequence[T]) -> Plan[T]:
        """What compact() would do with this history; a pure dry run, no request."""
        history = self._read(messages)
        reading, counts, units = history.reading, history.counts, history.units
        bounds = reading.bounds
        system_end, summary_at = head_of(reading)
        begin = _begin(reading)
        system_raw = sum(counts[:bounds[system_end]])
        previous_raw = sum(counts[bounds[system_end]:bounds[begin]])
        factor = self._calibration.factor
        raw = system_raw + previous_raw + units.before[-1]
        unit = self._cut(reading, units, raw, factor)
        cut = units.starts[unit] if unit < len(units.starts) else len(messages)
        summarized_raw = units.before[unit]
        progress = cut > begin and summarized_raw >= _MIN_GAIN * raw
        tokens = round(raw * factor)
        replaced = round((summarized_raw + previous_raw) * factor)
        summary_tokens = min(_ANSWER_TOKENS + MESSAGE_TOKENS, replaced)
        previous = reading.messages[bounds[summary_at]] if summary_at is not None else None
        return Plan(
            tokens=tokens,
            trigger_tokens=self.trigger_tokens,
            triggered=tokens >= self.trigger_tokens,
            cut=cut,
            system=list(messages[:system_end]),
            previous_summary=None if previous is None else cast(
                str, content_text(previous.get("content"))),
            summarized=list(messages[begin:cut]),
            kept=list(messages[cut:]),
            tokens_after=tokens - replaced + summary_tokens if progress else tokens,
            progress=progress,
            format=reading.format,
            correction=factor,
            _units=lambda: _summarized_units(reading, units, unit),
            _budget=self.summary_input_tokens,
        )

    def _read(self, messages: Sequence[object]) -> History:
        history = self._last.read(messages, self.message_format, self.count_tokens, _begin)
        if history.read_whole and isinstance(self.count_tokens, CachedEstimate):
            self.count_tokens.forget_unseen()  # what the estimate remembers follows the history
        return history

    def _cut(self, reading: Reading, units: Units, raw: int, factor: float) -> int:
        """The first unit of the recent part: the earliest whose part from there on fits the
        keep budget, and never later than the newest unit, which stays whatever its size;
        moved to where the kept part opens as the summary's role wants."""
        if not units.starts:
            return 0
        last = len(units.starts) - 1
        if self.keep_messages is not None:
            first = bisect_left(units.starts, units.end - self.keep_messages)
        else:
            keep = (self.keep_tokens or 0) / factor
            first = bisect_left(units.before, units.before[-1] - keep, 0, last)
        first = min(first, last)
        # Chat templates want the history to go on as the summary's role expects: after a
        # system summary a user message, after a user summary the assistant.
        opening = "assistant" if self._summary_role(reading.format) == "user" else "user"
        with contextlib.suppress(ValueError):  # within the keep budget
            return units.leads.index(opening, first, last + 1)
        # Else keeping more, as long as the cut still frees enough.
        least = bisect_left(units.before, _MIN_GAIN * raw, 1, max(first, 1))
        earlier = units.leads[least:first]
        earlier.reverse()
        with contextlib.suppress(ValueError):
            return first - 1 - earlier.index(opening)
        return first

    def _summary_role(self, history_format: Format) -> str:
        # The Messages API takes its system prompt apart from the list.
        return "user" if history_format == "anthropic" else self.summary_role

    async def compact(self, messages: Sequence[T], *, force: bool = False,
                      conversation: Hashable = None) -> CompactionResult[T]:
        """The history with its oldest part summarized, or the history as given.

        `force` compacts before the trigger is reached. Failures and the rest after them
        are kept per `conversation`. The items given are never modified; cancellation
        passes through and changes nothing."""
        started = time.perf_counter()
        health = self._health.setdefault(conversation, _Health())
        resting = health.resting > 0
        if resting:
            health.resting -= 1
        try:
            plan = self.plan(messages)
            if not (plan.triggered or force):
                return self._finish(messages, plan, started, _Outcome("not needed", 0, None))
            planned = self._trimmed(messages, plan)
            if planned is not messages:
                plan = replace(self.plan(planned), tokens=plan.tokens)
            if not plan.progress:
                ended = _Outcome("no progress", 0, None, history=list(planned))
                return self._finish(messages, plan, started, ended)
            if resting:
                again = f"after {_count(health.resting, 'more call')}" if health.resting else (
                    "on the next call")
                ended = _Outcome("failed", 0, None, error=f"not tried: {health.reason}; trying "
                                 f"again {again}", kind=health.kind)
                if self.on_failure == "fallback":
                    await self._fall_back(ended, plan, plan._units(), plan.previous_summary)
            else:
                ended = await self._request(plan, health)
            return self._finish(messages, plan, started, ended)
        finally:
            if not (health.failures or health.resting):  # the table holds only failures
                self._health.pop(conversation, None)

    async def recover(self, messages: Sequence[T], error: str | BaseException, *,
                      conversation: Hashable = None) -> CompactionResult[T]:
        """After the agent's model refused `messages` as too long: calibrate from the count
        its error states (else from the window it overflowed) and compact at once."""
        reported = reported_prompt_tokens(error)
        if reported is None:
            if sum(self._read(messages).counts) * self._calibration.factor <= self.context_tokens:
                reported = self.context_tokens + 1  # more than the window, or it would fit
        if reported is not None:
            self.calibrate(messages, reported)
        return await self.compact(messages, force=True, conversation=conversation)

    async def _request(self, plan: Plan[Any], health: _Health) -> _Outcome:
        # The client is the summarizer's one attribute; a summarizer of our own drives it
        # watched, so that concurrent compactions each see their own calls.
        watched = Watched(self.summarizer._llm)
        summarizer = ConversationSummarizer(watched)
        previous = plan.previous_summary
        pending = deque(plan._requests)
        ended = _Outcome("summarized", 0, None)
        while pending:
            request = pending.popleft()
            chunk = [message for unit in request for message in unit]
            record = await summarizer.summarize_messages(chunk, previous)
            verdict = watched.verdict()
            ended.requests += 1
            ended.usage = add_usage(ended.usage, verdict.usage)
            if verdict.kind == "context_length" and len(request) > 1:
                pending.extendleft(reversed(split_request(request)))
                continue
            if verdict.outcome == "unparsed" and self.accept_unparsed:
                ended.outcome = "unparsed"
            elif verdict.outcome != "summarized":
                self._failed(health, verdict)
                ended.outcome = "failed" if verdict.outcome == "failed" else "unparsed"
                ended.error = verdict.error or "the model's answer is not a JSON object"
                ended.kind = verdict.kind
                if self.on_failure == "fallback":
                    await self._fall_back(ended, plan, [*request, *(unit for rest in pending
                                                                     for unit in rest)], previous)
                return ended
            ended.record = record
            previous = self.summarizer.format_summary_for_context(record)
        health.failures = 0
        ended.summary = previous
        return ended

    async def _fall_back(self, ended: _Outcome, plan: Plan[Any], units: list[Unit],
                         previous: str | None) -> None:
        """The last good summary and one basic note of what the model did not summarize."""
        good, _ = _split_note(previous)
        ended.record = await basic_summary([message for unit in units for message in unit])
        ended.summary = _joined(good, self.summarizer.format_summary_for_context(ended.record))

    def _failed(self, health: _Health, verdict: Verdict) -> None:
        fix = _CONFIGURATION_ERRORS.get(verdict.kind or "")
        if fix is not None:
            # Another try would fail the same way: rest at once, and say what to change.
            health.failures, health.resting = 0, self.cooldown
            health.reason, health.kind = f"the summarizer's model refused the request: {fix}", verdict.kind
            logger.error("compaction rests for %s: the summarizer's model refused the request "
                         "(%s): %s; %s", _count(self.cooldown, "call"), verdict.kind,
                         verdict.error, fix)
            return
        health.failures += 1
        if health.failures >= _FAILURES_BEFORE_REST:
            health.failures, health.resting = 0, self.cooldown
            health.reason = f"{_FAILURES_BEFORE_REST} compactions failed in a row"
            health.kind = None

    def _finish(self, messages: Sequence[T], plan: Plan[T], started: float,
                ended: _Outcome) -> CompactionResult[T]:
        if ended.summary is not None:
            item = summary_item(plan.format, self._summary_role(plan.format), ended.summary)
            new = [*plan.system, cast(T, item), *plan.kept]
        else:
            new = list(messages) if ended.history is None else ended.history
        after = plan.tokens
        if len(new) != len(messages) or any(a is not b for a, b in zip(new, messages)):
            reading = read_history(new, plan.format)
            after = round(sum(map(self.count_tokens, reading.messages)) * plan.correction)
        result = CompactionResult(new, ended.outcome, ended.record, plan.tokens, after,
                                  ended.requests, time.perf_counter() - started, ended.error,
                                  ended.kind, ended.usage, after <= self.window_tokens)
        self._report(result, len(messages))
        return result

    def _trimmed(self, messages: Sequence[T], plan: Plan[T]) -> Sequence[T]:
        """The history with its tool results cut to `max_kept_result_tokens`, or itself.
        Results the summarizer reads are cut shorter by it in any case."""
        limit = self.max_kept_result_tokens
        if limit is None:
            return messages
        trimmed = trim_results(list(messages), plan.format, limit)
        return messages if all(map(operator.is_, trimmed, messages)) else trimmed

    def _report(self, result: CompactionResult[Any], before: int) -> None:
        event = CompactionEvent(result.outcome, before, len(result.messages),
                                result.tokens_before, result.tokens_after, result.requests,
                                result.seconds, result.error, result.error_kind, result.usage,
                                result.fits)
        # Every agent turn asks; only a compaction that was due is worth an INFO line.
        level = logging.DEBUG if event.outcome == "not needed" else logging.INFO
        if logger.isEnabledFor(level):
            usage = "" if event.usage is None else (
                f" ({event.usage.prompt_tokens} + {event.usage.completion_tokens} tokens)")
            logger.log(level, "compaction %s: %d -> %d messages, %d -> %d tokens%s, %s%s, "
                       "%.2f s%s", event.outcome, before, event.messages_after,
                       event.tokens_before, event.tokens_after,
                       "" if event.fits else f" (over the window of {self.window_tokens})",
                       _count(event.requests, "request"), usage, event.seconds,
                       f": {event.error}" if event.error else "")
        if self.on_event is not None:
            self.on_event(event)


def _summarized_units(reading: Reading, units: Units, unit: int) -> list[Unit]:
    """The summarized part's units as the summarizer reads them: Chat messages whose
    content is text."""
    bounds = reading.bounds
    edges = [bounds[start] for start in units.starts[:unit + 1]]
    if unit == len(units.starts):
        edges.append(len(reading.messages))
    return [prepare_messages(reading.messages[a:b]) for a, b in zip(edges, edges[1:])]
