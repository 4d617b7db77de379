"""The summarized part as it is sent: what the summarizer renders of each message, and
requests filled up to their budget.

The summarizer sends a transcript, not the messages: it leaves system messages out, cuts
each tool result to 500 characters and each argument value to 100 (arguments that are not
an object to 200). Chunks are sized by that transcript, so a history of long tool results
goes in as few requests as its transcript needs.
"""

from __future__ import annotations

import json
from collections.abc import Sequence
from typing import Any

from .tokens import estimate_text_tokens

__all__ = ["fill_requests", "split_request", "transcript_tokens"]

Message = dict[str, Any]
Unit = list[Message]

_RESULT_CHARS = 500  # a tool result's text in the transcript, then a marker
_VALUE_CHARS = 100  # each argument value's text, then "..."
_ARGUMENTS_CHARS = 200  # arguments that are not an object
_ENTRY_TOKENS = 4  # an entry's prefix, "[Tool Result (id)]: " and the like, and its line feed


def _brief(arguments: object) -> str:
    """About what the summarizer shows of a call's arguments."""
    decoded = arguments
    if isinstance(arguments, str):
        try:
            decoded = json.loads(arguments)
        except (ValueError, RecursionError):
            pass
    if not isinstance(decoded, dict):
        return str(decoded)[:_ARGUMENTS_CHARS]
    return ", ".join(f"{key}={str(value)[:_VALUE_CHARS]}" for key, value in decoded.items())


def _text(value: object) -> str:
    return value if isinstance(value, str) else "" if value is None else str(value)


def transcript_tokens(message: Message) -> int:
    """The tokens of a message's entries in the transcript, for a message whose content is
    text (as prepared for the summarizer)."""
    role = message.get("role")
    if role == "tool":
        text = _text(message.get("content"))[:_RESULT_CHARS]
        return _ENTRY_TOKENS + estimate_text_tokens(text)
    if role == "user":
        return _ENTRY_TOKENS + estimate_text_tokens(_text(message.get("content")))
    if role != "assistant":
        return 0  # system messages and other roles are left out
    content = message.get("content")
    tokens = _ENTRY_TOKENS + estimate_text_tokens(_text(content)) if content else 0
    for call in message.get("tool_calls") or ():
        fields = call.get("function")
        fields = fields if isinstance(fields, dict) else call
        tokens += _ENTRY_TOKENS + estimate_text_tokens(
            _text(call.get("name", fields.get("name"))) + _brief(
                call.get("arguments", fields.get("arguments", {}))))
    return tokens


def fill_requests(units: Sequence[Unit], budget: int) -> list[list[Unit]]:
    """The units gathered, in order, into requests of at most `budget` transcript tokens; a
    larger unit goes alone."""
    requests: list[list[Unit]] = []
    current: list[Unit] = []
    size = 0
    for unit in units:
        tokens = sum(map(transcript_tokens, unit))
        if current and size + tokens > budget:
            requests.append(current)
            current, size = [], 0
        current.append(unit)
        size += tokens
    if current:
        requests.append(current)
    return requests


def split_request(units: Sequence[Unit]) -> tuple[list[Unit], list[Unit]]:
    """A request of two or more units in two, at the unit boundary nearest half its size."""
    sizes = [sum(map(transcript_tokens, unit)) for unit in units]
    half, running, cut = sum(sizes) / 2, 0, 1
    for index, size in enumerate(sizes[:-1], 1):
        running += size
        if running >= half:
            cut = index
            break
    else:
        cut = len(units) - 1
    return list(units[:cut]), list(units[cut:])
