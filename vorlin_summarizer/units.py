"""Where a history may be cut: its units, and the tokens before each.

A history is read into Chat messages, each item of the host's giving a run of them. A unit
is a run of items that a cut must not part: an item with tool calls together with the items
holding their results; an item that gives no message (a reasoning item) together with the
item after it; every other item on its own. A call left without its result closes its unit
at the next user message or assistant text, so it cannot hold the rest of the history;
only calls at the very end stay open, and with them the last unit.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

__all__ = ["Units", "scan"]

Message = dict[str, Any]


@dataclass(frozen=True)
class Units:
    """The units of items[begin:]: where each starts, the tokens before each start (the
    last entry of `before` is the count of the whole part), and the role of each unit's
    first message."""

    starts: list[int]
    before: list[int]
    leads: list[object]
    end: int  # the number of items


def _closes_calls(message: Message, role: object) -> bool:
    """Whether a message ends the wait for calls still without a result: the conversation
    went on past them (a call interrupted, or a result under an id nothing called)."""
    if role == "user":
        return True
    return role == "assistant" and bool(message.get("content"))


def scan(messages: Sequence[Message], bounds: Sequence[int], begin: int,
         counts: Sequence[int]) -> Units:
    """One pass over the messages of items[begin:]; the item i gave
    messages[bounds[i]:bounds[i+1]], and an item that gave none goes with the next.
    counts[i] is the tokens of messages[i]."""
    starts: list[int] = []
    before: list[int] = []
    leads: list[object] = []
    waiting: dict[object, int] = {}  # call id -> calls with that id still without a result
    total = 0
    item, items = begin, len(bounds) - 1
    for index in range(bounds[begin], len(messages)):
        message = messages[index]
        role = message.get("role")
        if waiting and role != "tool" and _closes_calls(message, role):
            waiting.clear()
        if index == bounds[item]:  # the first message of an item
            if not waiting:
                starts.append(item)
                before.append(total)
                leads.append(role)
            while bounds[item + 1] == index:  # items that gave no message go with this one
                item += 1
            item += 1
        if role == "tool":
            if waiting:  # with nothing waiting, a result answers nothing
                key = message.get("tool_call_id")
                left = waiting.pop(key, 1)
                if left != 1:
                    waiting[key] = left - 1
        elif role == "assistant":
            calls = message.get("tool_calls")
            if calls:
                for call in calls:
                    key = call.get("id")
                    waiting[key] = waiting.get(key, 0) + 1
        total += counts[index]
    if item < items and not waiting:  # items after the last message that gave none
        starts.append(item)
        before.append(total)
        leads.append(None)
    before.append(total)
    return Units(starts, before, leads, items)
