"""The empty summary record, and the module globals its builder reads at each call."""

import builtins
import time

import pytest

import vorlin.core.summarizer as summarizer

KEYS = [
    "goals",
    "progress",
    "current_state",
    "key_decisions",
    "key_facts",
    "blockers",
    "next_steps",
    "summary",
    "created_at",
]
LIST_KEYS = ["goals", "progress", "key_decisions", "key_facts", "blockers", "next_steps"]
TEXT_KEYS = ["current_state", "summary"]


class FakeTime:
    """Stands in for the `time` module: hands out the given values in turn."""

    def __init__(self, *values):
        self._values = list(values)
        self.calls = 0

    def time(self, *args, **kwargs):
        assert (args, kwargs) == ((), {})
        self.calls += 1
        value = self._values.pop(0)
        if isinstance(value, BaseException):
            raise value
        return value


# --- shape -----------------------------------------------------------------------


def test_key_order():
    record = summarizer._empty_summary()
    assert type(record) is dict
    assert list(record) == KEYS


def test_empty_values():
    record = summarizer._empty_summary()
    for key in LIST_KEYS:
        assert type(record[key]) is list and record[key] == [], key
    for key in TEXT_KEYS:
        assert type(record[key]) is str and record[key] == "", key


def test_lists_are_not_shared_within_a_record():
    record = summarizer._empty_summary()
    assert len({id(record[key]) for key in LIST_KEYS}) == len(LIST_KEYS)


def test_records_share_nothing():
    first, second = summarizer._empty_summary(), summarizer._empty_summary()
    assert first is not second
    for key in LIST_KEYS:
        first[key].append("x")
        assert second[key] == [], key
    first["summary"] = "changed"
    assert summarizer._empty_summary()["summary"] == ""


# --- created_at ----------------------------------------------------------------------


def test_created_at_is_the_current_time():
    before = time.time()
    created_at = summarizer._empty_summary()["created_at"]
    after = time.time()
    assert type(created_at) is float
    assert before <= created_at <= after


def test_each_record_has_its_own_time(monkeypatch):
    monkeypatch.setattr(summarizer, "time", FakeTime(1.5, 2.5))
    assert summarizer._empty_summary()["created_at"] == 1.5
    assert summarizer._empty_summary()["created_at"] == 2.5


def test_created_at_is_stored_as_returned(monkeypatch):
    stamp = object()
    monkeypatch.setattr(summarizer, "time", FakeTime(stamp))
    assert summarizer._empty_summary()["created_at"] is stamp


def test_time_failure_propagates(monkeypatch):
    fake = FakeTime(ZeroDivisionError("clock broke"))
    monkeypatch.setattr(summarizer, "time", fake)
    with pytest.raises(ZeroDivisionError, match="^clock broke$"):
        summarizer._empty_summary()
    assert fake.calls == 1


# --- the `time` global is looked up at each call -------------------------------------


def test_rebinding_time_changes_later_calls(monkeypatch):
    assert summarizer._empty_summary()["created_at"] != 42.0
    monkeypatch.setattr(summarizer, "time", FakeTime(42.0))
    assert summarizer._empty_summary()["created_at"] == 42.0
    monkeypatch.undo()
    assert summarizer._empty_summary()["created_at"] != 42.0


def test_missing_time_raises_name_error(monkeypatch):
    monkeypatch.delattr(summarizer, "time")
    with pytest.raises(NameError) as info:
        summarizer._empty_summary()
    assert type(info.value) is NameError
    assert str(info.value) == "name 'time' is not defined"


def test_time_found_among_builtins(monkeypatch):
    monkeypatch.delattr(summarizer, "time")
    monkeypatch.setattr(builtins, "time", FakeTime(7.25), raising=False)
    assert summarizer._empty_summary()["created_at"] == 7.25


def test_module_global_shadows_builtins(monkeypatch):
    monkeypatch.setattr(builtins, "time", FakeTime(7.25), raising=False)
    monkeypatch.setattr(summarizer, "time", FakeTime(3.0))
    assert summarizer._empty_summary()["created_at"] == 3.0
