"""Tool argument brief: a tool call's arguments as one short text of pairs."""

import collections

import pytest

from conftest import Formatted, Stringified


@pytest.mark.parametrize(
    "args, expected",
    [
        pytest.param({}, "", id="empty"),
        pytest.param({"a": 1, "b": None}, "a=1, b=None", id="number-and-none"),
        pytest.param({"z": 1, "a": 2, "m": 3}, "z=1, a=2, m=3", id="insertion-order"),
        pytest.param({"flag": True, "ratio": 1.5}, "flag=True, ratio=1.5", id="bool-and-float"),
        pytest.param({"opts": {"k": "v", "n": [1]}}, "opts={'k': 'v', 'n': [1]}", id="nested-dict"),
        pytest.param({"items": [1, "two", None]}, "items=[1, 'two', None]", id="nested-list"),
        pytest.param({1: "a", None: "b", (2, 3): "c"}, "1=a, None=b, (2, 3)=c", id="non-str-keys"),
        pytest.param(
            {"cmd": "a=b, c\nd", "x": ""}, "cmd=a=b, c\nd, x=", id="nothing-escaped"
        ),
        pytest.param({"k" * 300: 1}, "k" * 300 + "=1", id="long-key-whole"),
        pytest.param({"🗝": "🔒"}, "🗝=🔒", id="astral"),
    ],
)
def test_pairs(impl, args, expected):
    assert impl._brief_args(args) == expected


@pytest.mark.parametrize("char", ["v", "ß", "😀"])
@pytest.mark.parametrize("length, cut", [(99, False), (100, False), (101, True), (400, True)])
def test_value_limit_counts_code_points(impl, char, length, cut):
    value = char * length
    expected = "key=" + (char * 100 + "..." if cut else value)
    assert impl._brief_args({"key": value}) == expected


def test_non_str_value_is_cut_on_its_text(impl):
    value = {"path": "/" + "d" * 200}
    assert impl._brief_args({"opts": value}) == "opts=" + "{'path': '/" + "d" * 89 + "..."


def test_every_pair_is_kept(impl):
    args = {f"k{i}": i for i in range(60)}
    assert impl._brief_args(args) == ", ".join(f"k{i}={i}" for i in range(60))


def test_argument_is_not_changed(impl):
    args = {"a": "x" * 150}
    impl._brief_args(args)
    assert args == {"a": "x" * 150}


class Mutating:
    """A value whose string conversion adds an entry to the dict being briefed."""

    def __init__(self, target):
        self.target = target

    def __str__(self):
        self.target[len(self.target)] = "added"
        return "m"


@pytest.mark.parametrize("position", ["first", "last"])
def test_value_that_resizes_the_dict(impl, position):
    args = {}
    if position == "last":
        args["before"] = 1
    args["m"] = Mutating(args)
    with pytest.raises(RuntimeError) as caught:
        impl._brief_args(args)
    assert str(caught.value) == "dictionary changed size during iteration"


def test_value_whose_str_fails(impl):
    class Broken:
        def __str__(self):
            raise LookupError("no text")

    with pytest.raises(LookupError, match="^no text$"):
        impl._brief_args({"ok": 1, "bad": Broken()})


class ArgsDict(dict):
    pass


@pytest.mark.parametrize(
    "args, type_name",
    [
        (ArgsDict(a=1), "ArgsDict"),
        (collections.OrderedDict(a=1), "collections.OrderedDict"),
        (None, "NoneType"),
        ([("a", 1)], "list"),
    ],
)
def test_args_must_be_exactly_a_dict(impl, args, type_name):
    with pytest.raises(TypeError) as caught:
        impl._brief_args(args)
    assert str(caught.value) == f"Argument 'args' has incorrect type (expected dict, got {type_name})"


def test_args_by_keyword(impl):
    assert impl._brief_args(args={"q": "x"}) == "q=x"


@pytest.mark.parametrize(
    "args, expected",
    [
        pytest.param({Formatted("k"): 1}, "FMT=1", id="key-formatted"),
        pytest.param({"k": Stringified("v")}, "k=STR", id="value-through-str"),
        pytest.param({"k": Formatted("v")}, "k=v", id="value-not-formatted"),
    ],
)
def test_str_subclasses_go_through_their_own_methods(impl, args, expected):
    assert impl._brief_args(args) == expected
