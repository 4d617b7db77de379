"""What the compactor read of a history last time, so that an agent turn, which adds a few
items to the history, costs a reading of those few.

An item counts as read already when it is a dict whose top-level values equal those read
at the same place last time: a new content text, a new list of tool calls or a new key
makes it new. An edit made in place inside one of its values (a part of its content
list, a call in its tool_calls list) is seen once that value itself is replaced. Only
histories that the reading layer passes on as they are (plain Chat dicts) are
remembered; any other is read whole each time, its texts' counts remembered by the
estimate.
"""

from __future__ import annotations

from bisect import bisect_right
from collections.abc import Callable, Sequence
from typing import Any

from .formats import Format, MessageFormat, MessageFormatError, Reading, read_history
from .units import Units, scan

__all__ = ["LastReading"]

Message = dict[str, Any]


def _values(items: Sequence[object]) -> list[tuple[object, ...]] | None:
    """Each item's top-level values, or None when an item is not a dict."""
    try:
        return list(map(tuple, map(dict.values, items)))  # type: ignore[arg-type]
    except TypeError:
        return None


def _as_given(reading: Reading) -> bool:
    """Whether the reading passed every item on as the very message it is."""
    return len(reading.messages) + 1 == len(reading.bounds)


def _common(new: list[tuple[object, ...]], old: list[tuple[object, ...]]) -> int:
    """How many leading items are the same in both."""
    length = min(len(new), len(old))
    if new[:length] == old[:length]:  # the usual agent turn: items added at the end
        return length
    return next(index for index, (a, b) in enumerate(zip(new, old)) if a != b)


class LastReading:
    """The last history read: its items' values, format, counts and units."""

    def __init__(self) -> None:
        self._values: list[tuple[object, ...]] = []
        self._format: Format | None = None
        self._counts: list[int] = []
        self._begin = -1
        self._units: Units | None = None

    def read(self, items: Sequence[object], message_format: MessageFormat,
             count: Callable[[Message], int]) -> tuple[Reading, list[int], int]:
        """The history read, each message's tokens, and how many leading items were read
        as they were last time."""
        values = _values(items)
        same = 0 if values is None or self._format is None else _common(values, self._values)
        reading = self._read_after(items, same, message_format)
        if reading is None:
            same = 0
            reading = read_history(items, message_format)
            counts = list(map(count, reading.messages))
        else:
            counts = self._counts[:same] + list(map(count, reading.messages[same:]))
        remembered = values is not None and _as_given(reading)
        self._values = values if values is not None and remembered else []
        self._format = reading.format if remembered else None
        self._counts = counts
        return reading, counts, same

    def _read_after(self, items: Sequence[object], same: int,
                    message_format: MessageFormat) -> Reading | None:
        """The history read from `same` on, when what is new reads as it is given, in the
        format read last time; else None."""
        if not same:
            return None
        try:
            tail = read_history(items[same:], message_format)
        except MessageFormatError:  # refused again by the whole reading, naming the item
            return None
        if not _as_given(tail) or tail.format != self._format:
            return None
        return Reading(tail.format, list(items), list(range(len(items) + 1)))  # type: ignore[arg-type]

    def units(self, reading: Reading, counts: Sequence[int], begin: int, same: int) -> Units:
        """The units of the history from `begin`, scanned again only from the last unit
        that starts within the `same` leading items."""
        last = self._units
        unit = -1
        if last is not None and begin == self._begin and same > begin:
            unit = bisect_right(last.starts, same) - 1
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
