"""What the compactor read of a history last time, so that an agent turn, which adds a few
items to the history, costs a reading of those few.

An item counts as read already when it equals a (shallow) copy of the item read at the
same place last time: a new content text, a new list of tool calls or a new key makes it
new. An edit made in place inside one of its values (a part of its content list, a call
in its tool_calls list) is seen once that value itself is replaced. The reading begins
afresh at the last unit that starts among the unchanged items, where no call waits.
"""

from __future__ import annotations

import copy
import itertools
import operator
from bisect import bisect_right
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any, cast

from .formats import MessageFormat, MessageFormatError, Reading, read_history
from .units import Units, scan

__all__ = ["History", "LastReading"]

Message = dict[str, Any]


def _common(items: Sequence[object], copies: list[object]) -> int:
    """How many leading items equal the copies of those read last time."""
    differ = map(operator.ne, copies, items)
    return next(itertools.compress(itertools.count(), differ), min(len(copies), len(items)))


@dataclass(frozen=True)
class History:
    """A history as the compactor reads it."""

    reading: Reading
    counts: list[int]  # the tokens of each message of the reading
    units: Units
    read_whole: bool  # nothing of it was remembered


class LastReading:
    """The last history read: copies of its items, its reading, counts and units."""

    def __init__(self) -> None:
        self._items: list[object] = []  # the items last read
        self._copies: list[object] = []  # shallow copies of them, as they were then
        self._reading: Reading | None = None
        self._counts: list[int] = []  # the tokens of each message of the reading
        self._begin = -1
        self._units: Units | None = None

    def read(self, items: Sequence[object], message_format: MessageFormat,
             count: Callable[[Message], int], begin_of: Callable[[Reading], int]) -> History:
        """The history read, counted and cut into units from the item `begin_of` gives;
        the items before the last unit that has not changed as they were last time."""
        start = self._resume_at(items)
        tail = self._read_from(items, start, message_format) if start else None
        if tail is None:
            start, reading = 0, read_history(items, message_format)
            counts = list(map(count, reading.messages))
        else:
            reading, counts = self._joined(items, start, tail, count)
        self._remember(items, start, reading, counts)
        units = self._units_of(reading, counts, begin_of(reading), start)
        return History(reading, counts, units, start == 0)

    def _resume_at(self, items: Sequence[object]) -> int:
        """Where the reading may begin afresh: the last unit that starts among the leading
        items unchanged since last time, where no call waits for its result."""
        if self._reading is None or self._units is None:
            return 0
        try:
            same = _common(items, self._copies)
        except Exception:  # an item that cannot be compared is read anew, with the rest
            return 0
        unit = bisect_right(self._units.starts, same) - 1
        return self._units.starts[unit] if unit >= 0 else 0

    def _read_from(self, items: Sequence[object], start: int,
                   message_format: MessageFormat) -> Reading | None:
        """items[start:] read, when they read in the format read last time; else None."""
        try:
            tail = read_history(items[start:], message_format)
        except MessageFormatError:  # refused again by the whole reading, naming the item
            return None
        assert self._reading is not None
        return tail if tail.format == self._reading.format else None

    def _joined(self, items: Sequence[object], start: int, tail: Reading,
                count: Callable[[Message], int]) -> tuple[Reading, list[int]]:
        last = self._reading
        assert last is not None
        cut = last.bounds[start]
        messages = last.messages[:cut]
        # An item given again as a new object, equal to the old one: where the old one was
        # passed on as its message, the new one is (the old may change from now on).
        replaced = map(operator.is_not, items[:start], self._items)
        for index in itertools.compress(itertools.count(), replaced):
            at = last.bounds[index]
            if at < cut and messages[at] is self._items[index]:
                messages[at] = cast(Message, items[index])
        reading = Reading(last.format, messages + tail.messages,
                          last.bounds[:start] + [cut + bound for bound in tail.bounds])
        return reading, self._counts[:cut] + list(map(count, tail.messages))

    def _remember(self, items: Sequence[object], start: int, reading: Reading,
                  counts: list[int]) -> None:
        try:
            copies = self._copies[:start] + list(map(copy.copy, items[start:]))
        except Exception:  # an item that cannot be copied is not remembered
            self._reading = None
            return
        self._items = list(items)
        self._copies, self._reading, self._counts = copies, reading, counts

    def _units_of(self, reading: Reading, counts: Sequence[int], begin: int,
                  start: int) -> Units:
        """The units of the history from `begin`, scanned again only from `start`, where
        the reading began afresh."""
        last = self._units
        unit = -1
        if last is not None and begin == self._begin and start > begin:
            unit = bisect_right(last.starts, start) - 1
        if last is None or unit < 0:
            units = scan(reading.messages, reading.bounds, begin, counts)
        else:
            rest = scan(reading.messages, reading.bounds, last.starts[unit], counts)
            offset = last.before[unit]
            units = Units(last.starts[:unit] + rest.starts,
                          last.before[:unit] + [offset + tokens for tokens in rest.before],
                          last.leads[:unit] + rest.leads, rest.end)
        self._begin, self._units = begin, units
        return units
