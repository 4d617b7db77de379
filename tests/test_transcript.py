"""Transcript formatting: messages -> the text the model reads."""

import collections
import json

import pytest

from conftest import CountingMapping, Formatted, Stringified, Window, logging_dict, self_editing_messages


def transcript(impl, messages):
    return impl._format_messages_for_summary(messages)


def assistant_calling(*tool_calls, content=None):
    return {"role": "assistant", "content": content, "tool_calls": list(tool_calls)}


# --- entries per role -------------------------------------------------------

@pytest.mark.parametrize(
    "messages, expected",
    [
        pytest.param([], "", id="no-messages"),
        pytest.param([{"role": "system", "content": "be brief"}], "", id="system-skipped"),
        pytest.param(
            [{"role": r, "content": "x"} for r in ("developer", "User", "USER", "", None, 3)]
            + [{"content": "no role"}],
            "",
            id="other-roles-skipped",
        ),
        pytest.param([{"role": "user", "content": "hello"}], "[User]: hello", id="user"),
        pytest.param([{"role": "user"}], "[User]: ", id="user-no-content"),
        pytest.param([{"role": "user", "content": ""}], "[User]: ", id="user-empty"),
        pytest.param([{"role": "user", "content": None}], "[User]: None", id="user-none"),
        pytest.param([{"role": "user", "content": 7}], "[User]: 7", id="user-number"),
        pytest.param(
            [{"role": "user", "content": [{"type": "text", "text": "hi"}]}],
            "[User]: [{'type': 'text', 'text': 'hi'}]",
            id="user-content-parts",
        ),
        pytest.param([{"role": "assistant", "content": "ok"}], "[Assistant]: ok", id="assistant"),
        pytest.param([{"role": "assistant", "content": ""}], "", id="assistant-empty"),
        pytest.param([{"role": "assistant"}], "", id="assistant-no-content"),
        pytest.param(
            [{"role": "tool", "tool_call_id": "call_1", "content": "42 files"}],
            "[Tool Result (call_1)]: 42 files",
            id="tool",
        ),
        pytest.param(
            [{"role": "tool", "content": "out"}], "[Tool Result (unknown)]: out", id="tool-no-id"
        ),
        pytest.param(
            [{"role": "tool", "tool_call_id": None, "content": "out"}],
            "[Tool Result (None)]: out",
            id="tool-id-none",
        ),
        pytest.param(
            [{"role": "tool", "tool_call_id": "c", "content": ""}],
            "[Tool Result (c)]: ",
            id="tool-empty",
        ),
        pytest.param([{"role": "tool", "content": 0}], "[Tool Result (unknown)]: 0", id="tool-zero"),
        pytest.param(
            [{"role": "user", "content": "hi", "tool_calls": [{"name": "x"}], "tool_call_id": "c"}],
            "[User]: hi",
            id="user-ignores-tool-keys",
        ),
        pytest.param(
            [{"role": "tool", "content": "r", "tool_calls": [{"name": "x"}]}],
            "[Tool Result (unknown)]: r",
            id="tool-ignores-tool-calls",
        ),
        pytest.param(
            [{"role": "assistant", "content": "done", "tool_call_id": "c"}],
            "[Assistant]: done",
            id="assistant-ignores-tool-call-id",
        ),
        pytest.param(
            [{"role": "user", "content": "first line\nsecond 🦀 line\n"}],
            "[User]: first line\nsecond 🦀 line\n",
            id="line-feeds-and-astral",
        ),
        pytest.param(
            json.loads('[{"role": "user", "content": "u"}, {"content": "a", "role": "assistant", "tool_calls": []},'
                       ' {"role": "tool", "tool_call_id": "c", "content": "r"}, {"role": "system", "content": "s"}]'),
            "[User]: u\n[Assistant]: a\n[Tool Result (c)]: r",
            id="keys-and-roles-equal-not-identical",
        ),
        pytest.param(
            [{**{f"k{i}": i for i in range(9)}, "role": "user", "content": "many"}],
            "[User]: many",
            id="many-keys",
        ),
    ],
)
def test_entry_per_role(impl, messages, expected):
    assert transcript(impl, messages) == expected


def test_entries_keep_conversation_order(impl):
    messages = [
        {"role": "system", "content": "sys"},
        {"role": "user", "content": "find the logs"},
        assistant_calling(
            {"name": "ls", "arguments": {"path": "/var/log"}},
            {"function": {"name": "cat", "arguments": '{"file": "syslog"}'}},
            content="Looking.",
        ),
        {"role": "tool", "tool_call_id": "c1", "content": "syslog"},
        {"role": "assistant", "content": "Found 𝄞 it."},
    ]
    assert transcript(impl, messages) == (
        "[User]: find the logs\n"
        "[Assistant]: Looking.\n"
        "[Assistant called ls]: path=/var/log\n"
        "[Assistant called cat]: file=syslog\n"
        "[Tool Result (c1)]: syslog\n"
        "[Assistant]: Found 𝄞 it."
    )


# --- the 500-character limit on tool results --------------------------------

@pytest.mark.parametrize("char", ["x", "é", "😀"])
@pytest.mark.parametrize(
    "length, expected_length", [(499, 499), (500, 500), (501, 515), (2000, 515)]
)
def test_tool_result_limit_counts_code_points(impl, char, length, expected_length):
    content = char * length
    entry = transcript(impl, [{"role": "tool", "tool_call_id": "t", "content": content}])
    body = entry.removeprefix("[Tool Result (t)]: ")
    assert len(body) == expected_length
    if length > 500:
        assert body == char * 500 + "... [truncated]"
    else:
        assert body == content


def test_user_and_assistant_content_are_never_cut(impl):
    long = "y" * 5000
    messages = [{"role": "user", "content": long}, {"role": "assistant", "content": long}]
    assert transcript(impl, messages) == f"[User]: {long}\n[Assistant]: {long}"


def test_tool_result_list_of_500_stays_whole(impl):
    content = [0] * 500
    assert transcript(impl, [{"role": "tool", "content": content}]) == (
        "[Tool Result (unknown)]: " + str(content)
    )


# --- tool calls -------------------------------------------------------------

@pytest.mark.parametrize(
    "tool_call, expected",
    [
        pytest.param(
            {"function": {"name": "search", "arguments": '{"q": "x"}'}},
            "[Assistant called search]: q=x",
            id="nested-json-text",
        ),
        pytest.param(
            {"name": "read", "arguments": {"path": "/tmp/a", "limit": 10}},
            "[Assistant called read]: path=/tmp/a, limit=10",
            id="flat-dict",
        ),
        pytest.param(
            {"name": None, "function": {"name": "nested", "arguments": {"a": 1}}},
            "[Assistant called None]: a=1",
            id="flat-name-none-wins",
        ),
        pytest.param(
            {"name": "flat", "arguments": {}, "function": {"name": "nested", "arguments": {"a": 1}}},
            "[Assistant called flat]: ",
            id="flat-empty-arguments-win",
        ),
        pytest.param(
            {"name": "flat", "function": {"name": "nested", "arguments": {"b": 2}}},
            "[Assistant called flat]: b=2",
            id="flat-name-nested-arguments",
        ),
        pytest.param({}, "[Assistant called unknown]: ", id="no-name-no-arguments"),
        pytest.param({"function": {}}, "[Assistant called unknown]: ", id="empty-function"),
        pytest.param({"name": 7, "arguments": None}, "[Assistant called 7]: None", id="arguments-none"),
        pytest.param(
            {"name": "t", "arguments": "not json {"},
            "[Assistant called t]: not json {",
            id="invalid-json-text",
        ),
        pytest.param({"name": "t", "arguments": ""}, "[Assistant called t]: ", id="empty-text"),
        pytest.param(
            {"name": "t", "arguments": "{" + "z" * 300},
            "[Assistant called t]: {" + "z" * 199,
            id="invalid-json-cut-200",
        ),
        pytest.param({"name": "t", "arguments": "[1, 2]"}, "[Assistant called t]: [1, 2]", id="json-list"),
        pytest.param({"name": "t", "arguments": "3.5"}, "[Assistant called t]: 3.5", id="json-number"),
        pytest.param({"name": "t", "arguments": "null"}, "[Assistant called t]: None", id="json-null"),
        pytest.param({"name": "t", "arguments": "true"}, "[Assistant called t]: True", id="json-true"),
        pytest.param(
            {"name": "t", "arguments": '"{\\"a\\": 1}"'},
            '[Assistant called t]: {"a": 1}',
            id="json-string-decoded-once",
        ),
        pytest.param(
            {"name": "t", "arguments": json.dumps(list(range(100)))},
            "[Assistant called t]: " + str(list(range(100)))[:200],
            id="json-list-cut-200",
        ),
        pytest.param(
            {"name": "t", "arguments": ["a", "😀" * 300]},
            "[Assistant called t]: " + ("['a', '" + "😀" * 300)[:200],
            id="list-arguments-cut-200",
        ),
    ],
)
def test_tool_call_entry(impl, tool_call, expected):
    assert transcript(impl, [assistant_calling(tool_call)]) == expected


@pytest.mark.parametrize(
    "tool_calls",
    [
        pytest.param(["call", None, 3, ["name", "x"]], id="non-dicts"),
        pytest.param("abc", id="string"),
        pytest.param([], id="empty"),
        pytest.param(None, id="none"),
        pytest.param(0, id="zero"),
    ],
)
def test_tool_calls_that_render_nothing(impl, tool_calls):
    message = {"role": "assistant", "content": "hi", "tool_calls": tool_calls}
    assert transcript(impl, [message]) == "[Assistant]: hi"


def test_non_dict_tool_calls_are_skipped_between_dicts(impl):
    message = assistant_calling({"name": "a"}, "skip me", None, {"name": "b"})
    assert transcript(impl, [message]) == (
        "[Assistant called a]: \n[Assistant called b]: "
    )


class ClaimsDict:
    """Not a dict, but its __class__ says it is one, which isinstance believes."""

    __class__ = dict

    def get(self, key, default=None):
        return {"name": "posed"}.get(key, default)


def test_tool_call_tested_as_isinstance_does(impl):
    message = assistant_calling(ClaimsDict())
    assert transcript(impl, [message]) == "[Assistant called posed]: "


def test_arguments_claiming_dict_are_refused_by_the_brief(impl):
    message = assistant_calling({"name": "t", "arguments": ClaimsDict()})
    with pytest.raises(TypeError, match=r"^Argument 'args' has incorrect type"):
        transcript(impl, [message])


def test_tool_calls_iterated_as_given(impl):
    message = {"role": "assistant", "tool_calls": ({"name": "a"}, {"name": "b"})}
    assert transcript(impl, [message]) == "[Assistant called a]: \n[Assistant called b]: "


# --- reads through the message's own get ------------------------------------

@pytest.mark.parametrize(
    "data, expected_calls",
    [
        pytest.param(
            {"role": "system", "content": "s"},
            [("get", "role", "unknown"), ("get", "content", "")],
            id="system",
        ),
        pytest.param(
            {"role": "other"},
            [("get", "role", "unknown"), ("get", "content", "")],
            id="other",
        ),
        pytest.param(
            {"role": "tool", "content": "r"},
            [("get", "role", "unknown"), ("get", "content", ""), ("get", "tool_call_id", "unknown")],
            id="tool",
        ),
        pytest.param(
            {"role": "assistant", "content": "a", "tool_calls": [{"name": "n"}]},
            [("get", "role", "unknown"), ("get", "content", ""), ("get", "tool_calls"), ("item", "tool_calls")],
            id="assistant-with-calls",
        ),
        pytest.param(
            {"role": "assistant", "content": "a", "tool_calls": []},
            [("get", "role", "unknown"), ("get", "content", ""), ("get", "tool_calls")],
            id="assistant-empty-calls",
        ),
        pytest.param(
            {"role": "user", "content": "u"},
            [("get", "role", "unknown"), ("get", "content", "")],
            id="user",
        ),
    ],
)
@pytest.mark.parametrize("make", [CountingMapping, lambda data, calls: logging_dict(calls, **data)],
                         ids=["mapping", "dict-subclass"])
def test_message_read_through_its_get(impl, make, data, expected_calls):
    calls = []
    transcript(impl, [make(data, calls)])
    assert calls == expected_calls


def test_message_get_result_is_what_renders(impl):
    class Renamer(dict):
        def get(self, key, *default):
            return {"role": "user", "content": "from get"}.get(key, *default)

    assert transcript(impl, [Renamer(role="system", content="stored")]) == "[User]: from get"


def test_tool_call_reads_nested_lookup_first(impl):
    calls = []
    function = logging_dict(calls, name="nested", arguments={"k": "v"})
    tool_call = logging_dict(calls, name="flat", function=function)
    assert transcript(impl, [assistant_calling(tool_call)]) == "[Assistant called flat]: k=v"
    assert calls == [
        ("get", "function", {}),
        ("get", "name", "unknown"),
        ("get", "name", "nested"),
        ("get", "function", {}),
        ("get", "arguments", {}),
        ("get", "arguments", {"k": "v"}),
    ]


# --- module globals looked up at use ----------------------------------------

class FakeJson:
    """A json stand-in whose decoder rejects everything with its own error class."""

    class JSONDecodeError(Exception):
        pass

    def __init__(self, error):
        self.error = error

    def loads(self, text):
        raise self.error("rejected")


def test_decode_error_class_is_the_json_globals(impl, monkeypatch):
    monkeypatch.setattr(impl, "json", FakeJson(FakeJson.JSONDecodeError))
    message = assistant_calling({"name": "t", "arguments": '{"a": 1}'})
    assert transcript(impl, [message]) == '[Assistant called t]: {"a": 1}'


@pytest.mark.parametrize("error", [ValueError, KeyError])
def test_other_decoder_errors_propagate(impl, monkeypatch, error):
    monkeypatch.setattr(impl, "json", FakeJson(error))
    with pytest.raises(error):
        transcript(impl, [assistant_calling({"name": "t", "arguments": "{}"})])


def test_brief_function_is_the_modules_current_one(impl, monkeypatch):
    monkeypatch.setattr(impl, "_brief_args", lambda args: f"<{len(args)} args>")
    message = assistant_calling({"name": "t", "arguments": {"a": 1, "b": 2}})
    assert transcript(impl, [message]) == "[Assistant called t]: <2 args>"


def test_missing_json_global_is_a_name_error(impl, monkeypatch):
    monkeypatch.delattr(impl, "json")
    with pytest.raises(NameError, match="^name 'json' is not defined$"):
        transcript(impl, [assistant_calling({"name": "t", "arguments": "{}"})])


# --- failures ---------------------------------------------------------------

class BriefDict(dict):
    pass


@pytest.mark.parametrize(
    "messages, error, message",
    [
        pytest.param(["text"], AttributeError, "'str' object has no attribute 'get'", id="str-message"),
        pytest.param([None], AttributeError, "'NoneType' object has no attribute 'get'", id="none-message"),
        pytest.param(
            [{"role": "tool", "content": 5}], TypeError, "object of type 'int' has no len()",
            id="tool-content-no-len",
        ),
        pytest.param(
            [{"role": "tool", "content": [0] * 501}], TypeError,
            'can only concatenate list (not "str") to list', id="tool-content-long-list",
        ),
        pytest.param(
            [{"role": "tool", "content": set(range(501))}], TypeError, "'set' object is unsliceable",
            id="tool-content-set",
        ),
        pytest.param(
            [{"role": "tool", "content": {i: i for i in range(501)}}], TypeError,
            "unhashable type: 'slice'", id="tool-content-dict",
        ),
        pytest.param(
            [{"role": "assistant", "tool_calls": 5}], TypeError, "'int' object is not iterable",
            id="tool-calls-not-iterable",
        ),
        pytest.param(
            [assistant_calling({"name": "n", "arguments": {}, "function": None})],
            AttributeError, "'NoneType' object has no attribute 'get'", id="function-none",
        ),
        pytest.param(
            [assistant_calling({"function": "search"})],
            AttributeError, "'str' object has no attribute 'get'", id="function-str",
        ),
        pytest.param(
            [assistant_calling({"name": "n", "arguments": BriefDict(a=1)})],
            TypeError, "Argument 'args' has incorrect type (expected dict, got BriefDict)",
            id="arguments-dict-subclass",
        ),
        pytest.param(
            [assistant_calling({"name": "n", "arguments": collections.OrderedDict(a=1)})],
            TypeError, "Argument 'args' has incorrect type (expected dict, got collections.OrderedDict)",
            id="arguments-ordered-dict",
        ),
    ],
)
def test_failures_propagate(impl, messages, error, message):
    with pytest.raises(error) as caught:
        transcript(impl, messages)
    assert type(caught.value) is error
    assert str(caught.value) == message


def test_deeply_nested_arguments_are_not_caught(impl):
    message = assistant_calling({"name": "n", "arguments": "[" * 100_000})
    with pytest.raises(RecursionError):
        transcript(impl, [message])


def test_failure_after_rendered_entries_returns_nothing_partial(impl):
    with pytest.raises(AttributeError):
        transcript(impl, [{"role": "user", "content": "ok"}, 42])


class MessageList(list):
    pass


@pytest.mark.parametrize(
    "messages, type_name",
    [((), "tuple"), (None, "NoneType"), (MessageList(), "MessageList"), ({"role": "user"}, "dict")],
)
def test_messages_must_be_exactly_a_list(impl, messages, type_name):
    with pytest.raises(TypeError) as caught:
        transcript(impl, messages)
    assert str(caught.value) == (
        f"Argument 'messages' has incorrect type (expected list, got {type_name})"
    )


def test_messages_by_keyword(impl):
    assert impl._format_messages_for_summary(messages=[{"role": "user", "content": "k"}]) == "[User]: k"


# --- values that are not plain texts ------------------------------------------

@pytest.mark.parametrize(
    "message, expected",
    [
        pytest.param({"role": "user", "content": Formatted("x")}, "[User]: FMT", id="user-content"),
        pytest.param({"role": "assistant", "content": Formatted("x")}, "[Assistant]: FMT", id="assistant-content"),
        pytest.param({"role": "tool", "content": Formatted("x")}, "[Tool Result (unknown)]: FMT", id="tool-content"),
        pytest.param(
            {"role": "tool", "tool_call_id": Formatted("x"), "content": "c"}, "[Tool Result (FMT)]: c", id="tool-id"
        ),
        pytest.param(
            assistant_calling({"name": Formatted("x")}), "[Assistant called FMT]: ", id="tool-name"
        ),
        pytest.param(
            assistant_calling({"name": "t", "arguments": Stringified("not json")}),
            "[Assistant called t]: STR",
            id="undecodable-arguments-through-str",
        ),
    ],
)
def test_str_subclasses_go_through_their_own_methods(impl, message, expected):
    assert transcript(impl, [message]) == expected


class EqualToAll(str):
    def __eq__(self, other):
        return True

    __hash__ = str.__hash__


class LooksLikeUser:
    def __eq__(self, other):
        return other == "user"


@pytest.mark.parametrize(
    "role, expected",
    [(EqualToAll("user"), ""), (LooksLikeUser(), "[User]: c")],
    ids=["str-subclass-equal-to-all", "object-equal-to-user"],
)
def test_roles_compared_by_equality(impl, role, expected):
    assert transcript(impl, [{"role": role, "content": "c"}]) == expected


@pytest.mark.parametrize(
    "length, expected",
    [(500, "window(500)"), (501, "window[slice(None, 500, None)]... [truncated]")],
    ids=["500-whole", "501-cut"],
)
def test_tool_result_sequence_uses_its_own_length_and_slice(impl, length, expected):
    message = {"role": "tool", "content": Window(length)}
    assert transcript(impl, [message]) == "[Tool Result (unknown)]: " + expected


@pytest.mark.parametrize(
    "edit, expected",
    [
        ("clear", "[User]: a"),
        ("grow", "[User]: a\n[User]: b\n[User]: c\n[User]: added\n[User]: added"),
    ],
)
def test_messages_edited_during_the_walk(impl, edit, expected):
    assert transcript(impl, self_editing_messages(edit)) == expected


def test_tool_calls_edited_during_the_walk(impl):
    tool_calls = []

    class Clearing(dict):
        def get(self, key, *default):
            tool_calls.clear()
            return super().get(key, *default)

    tool_calls += [Clearing(name="a"), {"name": "b"}, {"name": "c"}]
    message = {"role": "assistant", "tool_calls": tool_calls}
    assert transcript(impl, [message]) == "[Assistant called a]: "
