"""Shared fixtures: every behaviour test runs on the extension and on its twin."""

import importlib
import logging

import pytest

import twin

extension = importlib.import_module("vorlin.core.summarizer")

LOGGER_NAME = "vorlin.summarizer"


@pytest.fixture(params=[extension, twin], ids=["ext", "twin"])
def impl(request):
    """The module under test: the C++ extension or the pure-Python twin."""
    return request.param


@pytest.fixture
def log(caplog):
    """caplog limited to the summarizer's logger, from warnings up."""
    caplog.set_level(logging.WARNING, logger=LOGGER_NAME)
    return caplog


class Response:
    """What a client's complete() answers with: the summarizer reads only .content."""

    def __init__(self, content):
        self.content = content


class CountingMapping:
    """A message that is not a dict: a mapping with its own get, logging each read."""

    def __init__(self, data, calls):
        self._data = data
        self._calls = calls

    def get(self, key, *default):
        self._calls.append(("get", key, *default))
        return self._data.get(key, *default)

    def __getitem__(self, key):
        self._calls.append(("item", key))
        return self._data[key]


class LoggingDict(dict):
    """A dict subclass whose get and item access are logged, to prove they are called."""

    calls: list

    def get(self, key, *default):
        self.calls.append(("get", key, *default))
        return super().get(key, *default)

    def __getitem__(self, key):
        self.calls.append(("item", key))
        return super().__getitem__(key)


def logging_dict(calls, **data):
    d = LoggingDict(data)
    d.calls = calls
    return d


class FixedTime:
    """Stands in for the time module: a clock that always reads 42.0."""

    @staticmethod
    def time():
        return 42.0


class Formatted(str):
    """A str subclass with its own formatting, to tell format() from a raw copy."""

    def __format__(self, spec):
        return "FMT"


class Stringified(str):
    """A str subclass with its own str(), to tell str() from a raw copy."""

    def __str__(self):
        return "STR"


class Window:
    """A sized sequence that is not a str: reports its own length and slices."""

    def __init__(self, length):
        self.length = length

    def __len__(self):
        return self.length

    def __getitem__(self, key):
        return f"window[{key!r}]"

    def __format__(self, spec):
        return f"window({self.length})"


def self_editing_messages(edit):
    """Three user messages; the first one's get edits the list while it is walked."""
    messages = []

    class Editing(dict):
        def get(self, key, *default):
            if edit == "clear":
                messages.clear()
            elif len(messages) < 5:
                messages.append({"role": "user", "content": "added"})
            return super().get(key, *default)

    messages += [Editing(role="user", content="a"), {"role": "user", "content": "b"},
                 {"role": "user", "content": "c"}]
    return messages
