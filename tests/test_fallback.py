"""Records built without the model: the empty record and the fallback summary."""

import json
import time

import pytest

from conftest import CountingMapping, FixedTime, Formatted, Window, logging_dict, self_editing_messages

KEYS = [
    "goals", "progress", "current_state", "key_decisions", "key_facts",
    "blockers", "next_steps", "summary", "created_at",
]
LIST_KEYS = ["goals", "progress", "key_decisions", "key_facts", "blockers", "next_steps"]


@pytest.fixture
def fixed_clock(impl, monkeypatch):
    monkeypatch.setattr(impl, "time", FixedTime)


def fallback_record(n, request="unknown", goals=()):
    return {
        "goals": list(goals),
        "progress": [],
        "current_state": f"Conversation had {n} messages before summarization",
        "key_decisions": [],
        "key_facts": [],
        "blockers": [],
        "next_steps": [],
        "summary": f"Conversation with {n} messages. Primary request: {request}",
        "created_at": 42.0,
    }


def user(content):
    return {"role": "user", "content": content}


# --- both builders ----------------------------------------------------------

@pytest.fixture(params=["empty", "fallback"])
def build(request, impl):
    if request.param == "empty":
        return impl._empty_summary
    return lambda: impl._fallback_summary([user("hi")])


def test_record_keys_in_order_and_fresh_lists(build):
    first, second = build(), build()
    assert list(first) == KEYS
    assert first is not second
    ids = {id(first[k]) for k in LIST_KEYS} | {id(second[k]) for k in LIST_KEYS}
    assert len(ids) == 12
    first["goals"].append("mine")
    assert second["goals"] != first["goals"]


def test_created_at_is_the_build_time(build):
    before = time.time()
    created_at = build()["created_at"]
    assert type(created_at) is float
    assert before <= created_at <= time.time()


def test_created_at_comes_from_the_time_global(build, fixed_clock):
    assert build()["created_at"] == 42.0


def test_missing_time_global_is_a_name_error(build, impl, monkeypatch):
    monkeypatch.delattr(impl, "time")
    with pytest.raises(NameError) as caught:
        build()
    assert str(caught.value) == "name 'time' is not defined"


def test_empty_record(impl, fixed_clock):
    assert impl._empty_summary() == {
        "goals": [], "progress": [], "current_state": "", "key_decisions": [], "key_facts": [],
        "blockers": [], "next_steps": [], "summary": "", "created_at": 42.0,
    }


# --- fallback contents ------------------------------------------------------

@pytest.mark.parametrize(
    "messages, expected",
    [
        pytest.param([], fallback_record(0), id="no-messages"),
        pytest.param(
            [{"role": "system", "content": "s"}, {"role": "assistant", "content": "a"},
             {"role": "tool", "content": "t"}],
            fallback_record(3),
            id="no-user-messages",
        ),
        pytest.param(
            [user(""), user("second")], fallback_record(2, "second", ["second"]), id="first-empty"
        ),
        pytest.param(
            [user("one"), user("two"), user("three")],
            fallback_record(3, "one", ["one"]),
            id="earliest-wins",
        ),
        pytest.param(
            [{"role": "assistant", "content": "hello"}, user("ask"), {"role": "tool", "content": "r"},
             {"role": "system", "content": "s"}, {"content": "x"}],
            fallback_record(5, "ask", ["ask"]),
            id="count-includes-every-message",
        ),
        pytest.param(
            [user(None), user(0), user([]), {"role": "user"}, user("real")],
            fallback_record(5, "real", ["real"]),
            id="false-contents-skipped",
        ),
        pytest.param([user("   ")], fallback_record(1, "   ", ["   "]), id="spaces-kept"),
        pytest.param(
            [user(" line one\nline two 🦀 ")],
            fallback_record(1, " line one\nline two 🦀 ", [" line one\nline two 🦀 "]),
            id="not-stripped",
        ),
        pytest.param(
            [{"role": "User", "content": "a"}, {"role": " user", "content": "b"},
             {"role": "USER", "content": "c"}],
            fallback_record(3),
            id="role-case-and-space",
        ),
        pytest.param(
            json.loads('[{"role": "assistant", "content": "a"}, {"content": "b", "role": "user"}]'),
            fallback_record(2, "b", ["b"]),
            id="keys-equal-not-identical",
        ),
        pytest.param(
            [{**{f"k{i}": i for i in range(9)}, "role": "user", "content": "many"}],
            fallback_record(1, "many", ["many"]),
            id="many-keys",
        ),
    ],
)
def test_fallback_contents(impl, fixed_clock, messages, expected):
    assert impl._fallback_summary(messages) == expected


@pytest.mark.parametrize("char", ["r", "ñ", "😀"])
@pytest.mark.parametrize("length, cut", [(199, False), (200, False), (201, True), (1000, True)])
def test_request_limit_counts_code_points(impl, fixed_clock, char, length, cut):
    request = char * 200 + "..." if cut else char * length
    assert impl._fallback_summary([user(char * length)]) == fallback_record(1, request, [request])


def test_short_list_content_is_taken_as_the_object(impl, fixed_clock):
    parts = [{"type": "text", "text": "hi"}]
    record = impl._fallback_summary([user(parts)])
    assert record["goals"][0] is parts
    assert record["summary"] == "Conversation with 1 messages. Primary request: [{'type': 'text', 'text': 'hi'}]"


def test_fallback_does_not_change_messages(impl):
    messages = [user("x" * 300)]
    impl._fallback_summary(messages)
    assert messages == [user("x" * 300)]


# --- reads through the message's own get ------------------------------------

@pytest.mark.parametrize(
    "data, expected_calls",
    [
        pytest.param({"role": "assistant", "content": "a"}, [("get", "role")], id="not-user"),
        pytest.param({"role": "user", "content": ""}, [("get", "role"), ("get", "content")], id="user-empty"),
        pytest.param(
            {"role": "user", "content": "u"},
            [("get", "role"), ("get", "content"), ("item", "content")],
            id="user",
        ),
    ],
)
@pytest.mark.parametrize("make", [CountingMapping, lambda data, calls: logging_dict(calls, **data)],
                         ids=["mapping", "dict-subclass"])
def test_message_read_through_its_get(impl, make, data, expected_calls):
    calls = []
    impl._fallback_summary([make(data, calls)])
    assert calls == expected_calls


# --- failures ---------------------------------------------------------------

@pytest.mark.parametrize(
    "messages, error, message",
    [
        pytest.param([user("a"), "text"], AttributeError, "'str' object has no attribute 'get'", id="str-message"),
        pytest.param([user(5)], TypeError, "object of type 'int' has no len()", id="content-no-len"),
        pytest.param(
            [user(["p"] * 201)], TypeError, 'can only concatenate list (not "str") to list',
            id="long-list-content",
        ),
        pytest.param([user(set(range(201)))], TypeError, "'set' object is unsliceable", id="set-content"),
        pytest.param(
            [user(frozenset(range(201)))], TypeError, "'frozenset' object is unsliceable",
            id="frozenset-content",
        ),
    ],
)
def test_failures_propagate(impl, messages, error, message):
    with pytest.raises(error) as caught:
        impl._fallback_summary(messages)
    assert type(caught.value) is error
    assert str(caught.value) == message


class MessageList(list):
    pass


@pytest.mark.parametrize(
    "messages, type_name", [((), "tuple"), (None, "NoneType"), (MessageList(), "MessageList")]
)
def test_messages_must_be_exactly_a_list(impl, messages, type_name):
    with pytest.raises(TypeError) as caught:
        impl._fallback_summary(messages)
    assert str(caught.value) == f"Argument 'messages' has incorrect type (expected list, got {type_name})"


# --- values that are not plain texts ------------------------------------------

@pytest.mark.parametrize(
    "content, cut, request_text",
    [
        pytest.param(Formatted("x"), None, "FMT", id="str-subclass-formatted"),
        pytest.param(Window(200), None, "window(200)", id="sequence-200-whole"),
        pytest.param(Window(201), "window[slice(None, 200, None)]...", "window[slice(None, 200, None)]...",
                     id="sequence-201-cut"),
    ],
)
def test_request_value_through_its_own_methods(impl, fixed_clock, content, cut, request_text):
    record = impl._fallback_summary([user(content)])
    if cut is None:
        assert len(record["goals"]) == 1 and record["goals"][0] is content
    else:
        assert record["goals"] == [cut]
    assert record["summary"] == "Conversation with 1 messages. Primary request: " + request_text


@pytest.mark.parametrize(
    "edit, expected",
    [("clear", fallback_record(0, "a", ["a"])), ("grow", fallback_record(5, "a", ["a"]))],
)
def test_messages_edited_during_the_walk(impl, fixed_clock, edit, expected):
    assert impl._fallback_summary(self_editing_messages(edit)) == expected
