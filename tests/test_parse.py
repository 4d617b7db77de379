"""Summary response parsing: the model's answer -> a summary record."""

import logging
import time

import pytest

from conftest import LOGGER_NAME, FixedTime

WARNING = "Could not parse summary JSON, using fallback"

OBJECT = (
    '{"goals": ["ship v2"], "progress": ["tests written"], "current_state": "reviewing",'
    ' "key_decisions": ["use C++"], "key_facts": ["repo at /work"], "blockers": [],'
    ' "next_steps": ["merge"], "summary": "Worked on v2."}'
)

DECODED = {
    "goals": ["ship v2"],
    "progress": ["tests written"],
    "current_state": "reviewing",
    "key_decisions": ["use C++"],
    "key_facts": ["repo at /work"],
    "blockers": [],
    "next_steps": ["merge"],
    "summary": "Worked on v2.",
    "created_at": 42.0,
}


def record(**fields):
    """A record at its empty values, with the given fields and the fixed clock's time."""
    return {
        "goals": [],
        "progress": [],
        "current_state": "",
        "key_decisions": [],
        "key_facts": [],
        "blockers": [],
        "next_steps": [],
        "summary": "",
        "created_at": 42.0,
    } | fields


def not_decoded(summary):
    return record(summary=summary)


@pytest.fixture
def parse(impl, monkeypatch):
    monkeypatch.setattr(impl, "time", FixedTime)
    return impl._parse_summary


def assert_record(actual, expected):
    assert type(actual) is dict
    assert list(actual.items()) == list(expected.items())


# --- answers that decode ----------------------------------------------------

@pytest.mark.parametrize(
    "answer",
    [
        pytest.param(OBJECT, id="bare"),
        pytest.param("\n\n   " + OBJECT + "  \n\t\n", id="bare-blank-lines"),
        pytest.param("```json\n" + OBJECT + "\n```", id="fenced-json-tag"),
        pytest.param("```\n" + OBJECT + "\n```", id="fenced-no-tag"),
        pytest.param("  ```JSON please\n" + OBJECT + "\n```\n", id="fenced-other-tag"),
        pytest.param("```json\n" + OBJECT, id="fence-never-closed"),
        pytest.param("```json\n" + OBJECT + "\n```\nHope this helps!", id="prose-after-fence"),
        pytest.param(
            "```json\n" + OBJECT + "\n```\n```json\n{\"goals\": [\"other\"]}\n```", id="second-block-ignored"
        ),
        pytest.param("```json\n" + OBJECT + "\n   ```   \nmore", id="closing-fence-indented"),
        pytest.param("```json\r\n" + OBJECT + "\r\n```", id="crlf"),
        pytest.param("```json\r\n" + OBJECT + "\r\n```\r\n{broken", id="crlf-closing-line"),
        pytest.param("\u2003```json\u3000\n" + OBJECT + "\n```\x85\nrest\u2028", id="unicode-whitespace-fence"),
        pytest.param("\x1c\x0b" + OBJECT + "\u2028\u00a0", id="unicode-whitespace-bare"),
        pytest.param("```json\n{\n" + OBJECT[1:-1].replace(", ", ",\n  ") + "\n}\n```", id="multi-line-object"),
    ],
)
def test_decoded_answer(parse, log, answer):
    assert_record(parse(answer), DECODED)
    assert log.records == []


@pytest.mark.parametrize(
    "answer, changes",
    [
        pytest.param('{"goals": "one text"}', {"goals": "one text"}, id="string-for-list"),
        pytest.param('{"key_facts": null}', {"key_facts": None}, id="null-kept"),
        pytest.param(
            '{"goals": 3, "summary": ["a"], "current_state": {"x": 1}}',
            {"goals": 3, "summary": ["a"], "current_state": {"x": 1}},
            id="odd-types-as-they-arrive",
        ),
        pytest.param(
            '{"summary": "  padded \\n ", "extra": 1, "created_at": 5, "Goals": ["x"]}',
            {"summary": "  padded \n "},
            id="extra-keys-ignored",
        ),
        pytest.param('{"goals": ["😀" ]}', {"goals": ["😀"]}, id="astral"),
        pytest.param("{}", {}, id="empty-object"),
    ],
)
def test_decoded_values_stored_as_they_arrive(parse, answer, changes):
    assert_record(parse(answer), record(**changes))


def test_missing_keys_get_new_lists(parse):
    parsed = parse("{}")
    lists = [parsed[k] for k in ("goals", "progress", "key_decisions", "key_facts", "blockers", "next_steps")]
    assert len({id(v) for v in lists}) == 6
    assert {id(v) for v in lists}.isdisjoint(id(v) for v in parse("{}").values())


# --- answers that do not decode ---------------------------------------------

@pytest.mark.parametrize(
    "answer, summary",
    [
        pytest.param("Sorry, I cannot do that.", "Sorry, I cannot do that.", id="prose"),
        pytest.param("  \n\t ", "", id="only-whitespace"),
        pytest.param("```json\n" + OBJECT + "```", OBJECT + "```", id="closing-on-last-line"),
        pytest.param("```" + OBJECT + "```", "```" + OBJECT + "```", id="one-line-fence"),
        pytest.param("  ```json {} ```\n", "```json {} ```", id="one-line-fence-tag"),
        pytest.param("```json\n```", "```json\n```", id="fence-with-nothing-inside"),
        pytest.param("```", "```", id="marker-alone"),
        pytest.param(
            "Here it is:\n```json\n" + OBJECT + "\n```",
            "Here it is:\n```json\n" + OBJECT + "\n```",
            id="prose-before-fence",
        ),
        pytest.param("```\nnot json\nat all\n```", "not json\nat all", id="fenced-prose"),
        pytest.param("```json\n\n```", "", id="fence-with-empty-line"),
        pytest.param("```json\r\n{bad}\r\n```", "{bad}\r", id="crlf-kept-in-text"),
        pytest.param('{"goals": [1,]}', '{"goals": [1,]}', id="trailing-comma"),
        pytest.param("\ufeff{}", "\ufeff{}", id="byte-order-mark-is-not-blank"),
    ],
)
def test_undecodable_answer(parse, log, answer, summary):
    assert_record(parse(answer), not_decoded(summary))
    assert [(r.name, r.levelno, r.msg, r.args, r.exc_info) for r in log.records] == [
        (LOGGER_NAME, logging.WARNING, WARNING, (), None)
    ]
    assert log.records[0].getMessage() == WARNING


@pytest.mark.parametrize("char", ["x", "ü", "😀"])
@pytest.mark.parametrize("length, kept", [(999, 999), (1000, 1000), (1001, 1000), (5000, 1000)])
def test_undecodable_text_limit(parse, char, length, kept):
    assert parse(" " + char * length + "\n")["summary"] == char * kept


def test_undecodable_limit_applies_after_fence_removal(parse):
    answer = "```text\n" + "y" * 1000 + "\n```"
    assert parse(answer)["summary"] == "y" * 1000


# --- answers that decode to something other than an object -------------------

@pytest.mark.parametrize(
    "answer, type_name",
    [
        ("[1, 2]", "list"),
        ('"text"', "str"),
        ("3", "int"),
        ("2.5", "float"),
        ("true", "bool"),
        ("null", "NoneType"),
        ("```json\n[]\n```", "list"),
    ],
)
def test_non_object_json_raises(parse, log, answer, type_name):
    with pytest.raises(AttributeError) as caught:
        parse(answer)
    assert str(caught.value) == f"'{type_name}' object has no attribute 'get'"
    assert log.records == []


# --- module globals looked up at use ----------------------------------------

class FakeJson:
    class JSONDecodeError(Exception):
        pass

    def __init__(self, result=None):
        self.result = result
        self.seen = []

    def loads(self, text):
        self.seen.append(text)
        if self.result is None:
            raise self.JSONDecodeError("nope")
        return self.result


def test_decode_error_class_comes_from_the_json_global(parse, impl, monkeypatch, log):
    fake = FakeJson()
    monkeypatch.setattr(impl, "json", fake)
    assert_record(parse('```json\n{"goals": ["a"]}\n```'), not_decoded('{"goals": ["a"]}'))
    assert fake.seen == ['{"goals": ["a"]}']
    assert [r.msg for r in log.records] == [WARNING]


def test_decoded_value_read_through_its_get(parse, impl, monkeypatch):
    class Answer:
        def __init__(self):
            self.calls = []

        def get(self, key, default):
            self.calls.append((key, default))
            return key.upper()

    answer = Answer()
    monkeypatch.setattr(impl, "json", FakeJson(answer))
    assert list(parse("anything").values()) == [
        "GOALS", "PROGRESS", "CURRENT_STATE", "KEY_DECISIONS", "KEY_FACTS", "BLOCKERS",
        "NEXT_STEPS", "SUMMARY", 42.0,
    ]
    assert answer.calls == [
        ("goals", []), ("progress", []), ("current_state", ""), ("key_decisions", []),
        ("key_facts", []), ("blockers", []), ("next_steps", []), ("summary", ""),
    ]


def test_other_decoder_errors_propagate(parse, impl, monkeypatch):
    class Exploding(FakeJson):
        def loads(self, text):
            raise ValueError("not a decode error")

    monkeypatch.setattr(impl, "json", Exploding())
    with pytest.raises(ValueError, match="^not a decode error$"):
        parse("{}")


def test_warning_goes_through_the_logger_global(parse, impl, monkeypatch):
    calls = []

    class Recorder:
        def warning(self, *args, **kwargs):
            calls.append((args, kwargs))

    monkeypatch.setattr(impl, "logger", Recorder())
    parse("not json")
    assert calls == [((WARNING,), {})]


def test_created_at_is_the_time_of_the_call(impl):
    before = time.time()
    created_at = impl._parse_summary('{"created_at": 1.0}')["created_at"]
    assert type(created_at) is float
    assert before <= created_at <= time.time()


@pytest.mark.parametrize("name", ["json", "time"])
def test_missing_global_is_a_name_error(impl, monkeypatch, name):
    monkeypatch.delattr(impl, name)
    with pytest.raises(NameError) as caught:
        impl._parse_summary("{}")
    assert str(caught.value) == f"name '{name}' is not defined"


def test_missing_logger_is_a_name_error(impl, monkeypatch):
    monkeypatch.delattr(impl, "logger")
    with pytest.raises(NameError, match="^name 'logger' is not defined$"):
        impl._parse_summary("not json")


class Answer(str):
    pass


@pytest.mark.parametrize(
    "text, type_name", [(None, "NoneType"), (Answer("{}"), "Answer"), (b"{}", "bytes"), ({}, "dict")]
)
def test_text_must_be_exactly_a_str(impl, text, type_name):
    with pytest.raises(TypeError) as caught:
        impl._parse_summary(text)
    assert str(caught.value) == f"Argument 'text' has incorrect type (expected str, got {type_name})"
