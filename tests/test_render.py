"""Rendering a summary record as the Markdown block for the system prompt."""

import collections

import pytest

HEAD = "## Conversation History Summary\n*(Earlier messages were summarized to save context space)*\n"

LIST_SECTIONS = [
    ("goals", "### Original Goals"),
    ("progress", "### Progress So Far"),
    ("key_decisions", "### Key Decisions"),
    ("key_facts", "### Key Facts"),
    ("blockers", "### Issues & Resolutions"),
    ("next_steps", "### Next Steps"),
]
ALL_KEYS = [key for key, _ in LIST_SECTIONS] + ["current_state", "summary"]


@pytest.fixture
def render(impl):
    return impl.ConversationSummarizer(None).format_summary_for_context


def test_full_record(render):
    record = {
        "goals": ["A", "B"],
        "progress": ["P1"],
        "current_state": "working",
        "key_decisions": ["D"],
        "key_facts": ["F"],
        "blockers": ["X"],
        "next_steps": ["N"],
        "summary": "S",
        "created_at": 1700000000.5,
    }
    assert render(record) == (
        "## Conversation History Summary\n"
        "*(Earlier messages were summarized to save context space)*\n"
        "\n"
        "### Original Goals\n"
        "  - A\n"
        "  - B\n"
        "\n"
        "### Progress So Far\n"
        "  - P1\n"
        "\n"
        "### Current State\n"
        "working\n"
        "\n"
        "### Key Decisions\n"
        "  - D\n"
        "\n"
        "### Key Facts\n"
        "  - F\n"
        "\n"
        "### Issues & Resolutions\n"
        "  - X\n"
        "\n"
        "### Next Steps\n"
        "  - N\n"
        "\n"
        "### Narrative Summary\n"
        "S"
    )


def test_sections_in_fixed_order_whatever_the_key_order(render):
    record = {"summary": "S", "next_steps": ["N"], "current_state": "c", "goals": ["G"]}
    assert render(record) == (
        HEAD + "\n### Original Goals\n  - G\n\n### Current State\nc\n\n### Next Steps\n  - N\n"
        "\n### Narrative Summary\nS"
    )


def test_empty_record_and_empty_dict(render, impl):
    assert render({}) == HEAD
    assert render(impl._empty_summary()) == HEAD


@pytest.mark.parametrize("key, heading", LIST_SECTIONS)
def test_single_list_section(render, key, heading):
    assert render({key: ["only item"]}) == HEAD + f"\n{heading}\n  - only item\n"


@pytest.mark.parametrize(
    "record, expected",
    [
        pytest.param({"current_state": "working"}, HEAD + "\n### Current State\nworking\n", id="current-state"),
        pytest.param({"summary": "S"}, HEAD + "\n### Narrative Summary\nS", id="summary"),
        pytest.param(
            {"current_state": "a\nb", "summary": "c\n"},
            HEAD + "\n### Current State\na\nb\n\n### Narrative Summary\nc\n",
            id="texts-with-line-feeds",
        ),
        pytest.param(
            {"current_state": ["a", "b"]}, HEAD + "\n### Current State\n['a', 'b']\n", id="state-as-list"
        ),
        pytest.param({"summary": 5}, HEAD + "\n### Narrative Summary\n5", id="summary-as-number"),
        pytest.param(
            {"goals": ["x"], "created_at": 1.5, "extra": ["y"], "Goals": ["z"]},
            HEAD + "\n### Original Goals\n  - x\n",
            id="other-keys-ignored",
        ),
    ],
)
def test_text_sections(render, record, expected):
    assert render(record) == expected


@pytest.mark.parametrize("value", [None, "", 0, 0.0, False, [], (), {}])
@pytest.mark.parametrize("key", ALL_KEYS)
def test_false_values_are_absent(render, key, value):
    assert render({key: value}) == HEAD


class Bag:
    """An iterable that is neither a list nor a tuple (true by default)."""

    def __init__(self, items):
        self.items = items

    def __iter__(self):
        return iter(self.items)


@pytest.mark.parametrize(
    "goals, bullets",
    [
        pytest.param(("a", "b"), ["a", "b"], id="tuple"),
        pytest.param([None, 3, 2.5, True], ["None", "3", "2.5", "True"], id="odd-items"),
        pytest.param([["x", 1], {"k": "v"}], ["['x', 1]", "{'k': 'v'}"], id="nested-items"),
        pytest.param({"first": 1, "second": 2}, ["first", "second"], id="dict-keys"),
        pytest.param(Bag(["i", "j"]), ["i", "j"], id="other-iterable"),
        pytest.param(["line\nbreak", "😀"], ["line\nbreak", "😀"], id="text-kept"),
        pytest.param(["é", "a", "\u20ac", ""], ["é", "a", "\u20ac", ""], id="mixed-widths-empty-last"),
        pytest.param("ab", ["ab"], id="str-one-bullet"),
        pytest.param("one whole goal", ["one whole goal"], id="str-whole-text"),
    ],
)
def test_list_section_items(render, goals, bullets):
    expected = HEAD + "\n### Original Goals\n" + "".join(f"  - {b}\n" for b in bullets)
    assert render({"goals": goals}) == expected


class Shouting(str):
    def __format__(self, spec):
        return self.upper()


def test_str_section_value_is_formatted(render):
    assert render({"blockers": Shouting("disk full")}) == HEAD + "\n### Issues & Resolutions\n  - DISK FULL\n"


def test_texts_are_formatted(render):
    record = {"goals": [Shouting("g")], "current_state": Shouting("s"), "summary": Shouting("n")}
    assert render(record) == HEAD + "\n### Original Goals\n  - G\n\n### Current State\nS\n\n### Narrative Summary\nN"


def test_items_are_formatted_not_str(render):
    class Item:
        def __format__(self, spec):
            return f"formatted[{spec}]"

        def __str__(self):
            return "str"

    assert render({"goals": [Item()]}) == HEAD + "\n### Original Goals\n  - formatted[]\n"


@pytest.mark.parametrize("value, type_name", [(5, "int"), (1.5, "float"), (True, "bool")])
def test_true_non_iterable_raises(render, value, type_name):
    with pytest.raises(TypeError) as caught:
        render({"goals": ["fine"], "next_steps": value})
    assert str(caught.value) == f"'{type_name}' object is not iterable"


def test_item_whose_format_fails(render):
    class Broken:
        def __format__(self, spec):
            raise LookupError("cannot format")

    with pytest.raises(LookupError, match="^cannot format$"):
        render({"key_facts": ["ok", Broken()]})


def test_value_read_again_by_subscription(render):
    record = {}

    class Vanishing:
        def __bool__(self):
            del record["goals"]
            return True

    record["goals"] = Vanishing()
    with pytest.raises(KeyError):
        render(record)


def test_record_is_not_changed(render):
    record = {"goals": ["a"], "summary": "s"}
    render(record)
    assert record == {"goals": ["a"], "summary": "s"}


@pytest.mark.parametrize("client", [None, object(), "client"])
def test_same_text_whatever_the_client(impl, client):
    record = {"goals": ["g"], "summary": "s"}
    text = impl.ConversationSummarizer(client).format_summary_for_context(record)
    assert text == HEAD + "\n### Original Goals\n  - g\n\n### Narrative Summary\ns"


class Record(dict):
    pass


@pytest.mark.parametrize(
    "summary, type_name",
    [(None, "NoneType"), (Record(), "Record"), (collections.OrderedDict(), "collections.OrderedDict"), ([], "list")],
)
def test_summary_must_be_exactly_a_dict(render, summary, type_name):
    with pytest.raises(TypeError) as caught:
        render(summary)
    assert str(caught.value) == f"Argument 'summary' has incorrect type (expected dict, got {type_name})"


def test_summary_by_keyword(render):
    assert render(summary={"summary": "k"}) == HEAD + "\n### Narrative Summary\nk"


class Editing:
    """An item whose formatting changes the list it is in."""

    def __init__(self, items, edit):
        self.items, self.edit = items, edit

    def __format__(self, spec):
        if self.edit == "grow" and len(self.items) < 4:
            self.items.append("added")
        elif self.edit == "shrink":
            del self.items[1:]
        return "edited"


@pytest.mark.parametrize("edit, bullets", [
    ("grow", ["edited", "b", "added"]),
    ("shrink", ["edited"]),
])
def test_list_changed_by_an_items_formatting(render, edit, bullets):
    goals = ["b"]
    goals.insert(0, Editing(goals, edit))
    expected = HEAD + "\n### Original Goals\n" + "".join(f"  - {b}\n" for b in bullets)
    assert render({"goals": goals}) == expected
