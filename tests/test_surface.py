"""Introspection of the module, its class and its eight function objects.

These checks only make sense for the extension itself: a host's `inspect`,
`asyncio` and `pickle` must see the functions exactly as if the module had
been written in Python.
"""

import asyncio
import asyncio.coroutines
import inspect
import json
import logging
import pickle
import sys
import time
import types
import typing

import pytest

import vorlin.core.summarizer as summarizer

Summarizer = summarizer.ConversationSummarizer
MODULE_NAME = "vorlin.core.summarizer"
METHODS = ("__init__", "summarize_messages", "format_summary_for_context")
MODULE_FUNCTIONS = (
    "_format_messages_for_summary",
    "_brief_args",
    "_parse_summary",
    "_empty_summary",
    "_fallback_summary",
)

SUMMARIZE_DOC = (
    "Summarize a list of messages into a structured summary.\n"
    "\n"
    "        Args:\n"
    "            messages: The messages to summarize (in chronological order)\n"
    "            existing_summary: If provided, the new summary should build on this\n"
    "\n"
    "        Returns:\n"
    "            A structured summary dict with goals, progress, etc.\n"
    "        "
)

# name -> (qualname, doc, defaults, annotations, signature text)
EXPECTED = {
    "__init__": (
        "ConversationSummarizer.__init__",
        "Initialize with an LLMClient instance.",
        None,
        {"llm_client": "Any"},
        "(self, llm_client: 'Any')",
    ),
    "summarize_messages": (
        "ConversationSummarizer.summarize_messages",
        SUMMARIZE_DOC,
        (None,),
        {
            "messages": "list[dict[str, Any]]",
            "existing_summary": "str | None",
            "return": "dict[str, Any]",
        },
        "(self, messages: 'list[dict[str, Any]]', existing_summary: 'str | None' = None)"
        " -> 'dict[str, Any]'",
    ),
    "format_summary_for_context": (
        "ConversationSummarizer.format_summary_for_context",
        "Format a structured summary as readable text for the system prompt.",
        None,
        {"summary": "dict[str, Any]", "return": "str"},
        "(self, summary: 'dict[str, Any]') -> 'str'",
    ),
    "_format_messages_for_summary": (
        "_format_messages_for_summary",
        "Convert messages to a readable text format for the summarizer.",
        None,
        {"messages": "list[dict[str, Any]]", "return": "str"},
        "(messages: 'list[dict[str, Any]]') -> 'str'",
    ),
    "_brief_args": (
        "_brief_args",
        "Create a brief summary of tool arguments.",
        None,
        {"args": "dict", "return": "str"},
        "(args: 'dict') -> 'str'",
    ),
    "_parse_summary": (
        "_parse_summary",
        "Parse the LLM's JSON response into a summary dict.",
        None,
        {"text": "str", "return": "dict[str, Any]"},
        "(text: 'str') -> 'dict[str, Any]'",
    ),
    "_empty_summary": (
        "_empty_summary",
        None,
        None,
        {"return": "dict[str, Any]"},
        "() -> 'dict[str, Any]'",
    ),
    "_fallback_summary": (
        "_fallback_summary",
        "Create a basic summary without LLM when summarization fails.",
        None,
        {"messages": "list[dict[str, Any]]", "return": "dict[str, Any]"},
        "(messages: 'list[dict[str, Any]]') -> 'dict[str, Any]'",
    ),
}

BOUND_SIGNATURES = {
    "__init__": "(llm_client: 'Any')",
    "summarize_messages": (
        "(messages: 'list[dict[str, Any]]', existing_summary: 'str | None' = None)"
        " -> 'dict[str, Any]'"
    ),
    "format_summary_for_context": "(summary: 'dict[str, Any]') -> 'str'",
}

SUMMARIZE_PROMPT = """\
You are a conversation summarizer for an AI agent called Vorlin.
Your job is to compress a chunk of conversation into a concise summary
that preserves ALL critical information the agent needs to continue working.

You MUST extract and preserve:
1. **GOALS**: What the user originally asked for (the top-level objective)
2. **PROGRESS**: What steps have been completed so far
3. **CURRENT STATE**: What the agent was working on when this chunk ended
4. **KEY DECISIONS**: Important choices made (e.g., which approach to use)
5. **KEY FACTS**: Technical details, file paths, URLs, credentials, names, etc.
6. **BLOCKERS**: Any issues encountered and how they were resolved (or not)
7. **NEXT STEPS**: What the agent planned to do next

Return your summary as a JSON object with this exact structure:
{
  "goals": ["Primary goal 1", "Sub-goal 2"],
  "progress": ["Step 1 completed: did X", "Step 2 completed: did Y"],
  "current_state": "Brief description of where things stand",
  "key_decisions": ["Decided to use approach A because..."],
  "key_facts": ["File is at /path/to/file", "User's name is X"],
  "blockers": ["Issue with X was resolved by Y"],
  "next_steps": ["Need to do A", "Then do B"],
  "summary": "One paragraph narrative summary of the entire conversation chunk"
}

Be thorough but concise. Every piece of information that the agent might
need to continue its work MUST be preserved. Do NOT lose any goals,
file paths, technical details, or user preferences.
"""

MODULE_DOC = """\
Conversation summarizer \u2014 compresses old messages into concise summaries.

When a conversation grows beyond the context window, the summarizer:
1. Takes the oldest messages that would be dropped
2. Sends them to the LLM for summarization
3. Extracts key goals, decisions, facts, and progress
4. Returns a structured summary that replaces the raw messages

This keeps the agent aware of its goals and progress even across
very long conversations that exceed the context window.
"""


def function(name):
    """The function object itself, as stored in the class or the module."""
    if name in METHODS:
        return Summarizer.__dict__[name]
    return vars(summarizer)[name]


@pytest.fixture
def instance():
    # __init__ is not under test here; an instance without it binds the same way.
    return Summarizer.__new__(Summarizer)


ALL = pytest.mark.parametrize("name", list(EXPECTED))
BOUND = pytest.mark.parametrize("name", METHODS)


# --- function attributes ---------------------------------------------------


@ALL
def test_function_attributes(name):
    f = function(name)
    qualname, doc, defaults, annotations, _ = EXPECTED[name]
    assert f.__name__ == name
    assert f.__qualname__ == qualname
    assert f.__module__ == MODULE_NAME
    assert f.__doc__ == doc
    assert f.__defaults__ == defaults
    assert f.__kwdefaults__ is None
    assert f.__globals__ is vars(summarizer)


def test_empty_summary_has_no_doc():
    assert summarizer._empty_summary.__doc__ is None


@ALL
def test_annotations_are_texts_in_order(name):
    annotations = function(name).__annotations__
    expected = EXPECTED[name][3]
    assert type(annotations) is dict
    assert annotations == expected
    assert list(annotations) == list(expected)


@BOUND
def test_class_attribute_access_returns_the_function(name):
    assert getattr(Summarizer, name) is Summarizer.__dict__[name]


# --- signatures and the coroutine marker ------------------------------------


@ALL
def test_signature_text(name):
    assert str(inspect.signature(function(name))) == EXPECTED[name][4]


@BOUND
def test_bound_method_signature_drops_self(instance, name):
    assert str(inspect.signature(getattr(instance, name))) == BOUND_SIGNATURES[name]


def test_class_signature_is_that_of_init():
    assert str(inspect.signature(Summarizer)) == "(llm_client: 'Any')"


@ALL
def test_coroutine_marker(name):
    marker = function(name)._is_coroutine
    if name == "summarize_messages":
        assert marker is asyncio.coroutines._is_coroutine
    else:
        assert marker is False


@ALL
def test_iscoroutinefunction(name):
    assert asyncio.iscoroutinefunction(function(name)) is (name == "summarize_messages")


@BOUND
def test_bound_method_coroutine_marker(instance, name):
    method = getattr(instance, name)
    assert method._is_coroutine is function(name)._is_coroutine
    assert asyncio.iscoroutinefunction(method) is (name == "summarize_messages")


# --- binding, user attributes, pickling, repr --------------------------------


@BOUND
def test_instance_access_binds_a_method(instance, name):
    method = getattr(instance, name)
    assert type(method) is types.MethodType
    assert method.__func__ is function(name)
    assert method.__self__ is instance
    assert method.__name__ == name
    assert method.__qualname__ == EXPECTED[name][0]


@ALL
def test_user_attribute_kept_in_dict(monkeypatch, name):
    f = function(name)
    value = object()
    monkeypatch.setattr(f, "host_tag", value, raising=False)
    assert f.host_tag is value
    assert f.__dict__["host_tag"] is value


@BOUND
def test_bound_method_forwards_user_attribute(monkeypatch, instance, name):
    value = object()
    monkeypatch.setattr(function(name), "host_tag", value, raising=False)
    assert getattr(instance, name).host_tag is value


@ALL
@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_round_trip_is_identity(name, protocol):
    f = function(name)
    assert pickle.loads(pickle.dumps(f, protocol)) is f


@ALL
def test_repr(name):
    assert repr(function(name)).startswith("<function ")


# --- the class ----------------------------------------------------------------


def test_class_surface():
    assert type(Summarizer) is type
    assert Summarizer.__mro__ == (Summarizer, object)
    assert Summarizer.__bases__ == (object,)
    assert Summarizer.__name__ == "ConversationSummarizer"
    assert Summarizer.__qualname__ == "ConversationSummarizer"
    assert Summarizer.__module__ == MODULE_NAME
    assert Summarizer.__doc__ == "Summarizes conversation chunks to compress context."


def test_class_namespace_order():
    assert list(Summarizer.__dict__)[:5] == [
        "__module__",
        "__doc__",
        "__init__",
        "summarize_messages",
        "format_summary_for_context",
    ]


# --- module attributes -------------------------------------------------------


def test_summarize_prompt_text():
    prompt = summarizer.SUMMARIZE_PROMPT
    assert type(prompt) is str
    assert len(prompt) == 1476
    assert prompt.count("\n") == 28
    assert prompt.startswith("You are a conversation summarizer for an AI agent called Vorlin.\n")
    assert prompt.endswith("file paths, technical details, or user preferences.\n")
    assert prompt.encode() == SUMMARIZE_PROMPT.encode()


def test_module_doc():
    doc = summarizer.__doc__
    assert len(doc) == 477
    assert doc.endswith("\n")
    assert "summarizer \u2014 compresses" in doc
    assert doc.encode() == MODULE_DOC.encode()


def test_module_identity():
    assert summarizer.__name__ == MODULE_NAME
    assert sys.modules[MODULE_NAME] is summarizer


@pytest.mark.parametrize(
    "attribute, value",
    [("json", json), ("logging", logging), ("time", time), ("Any", typing.Any)],
)
def test_imported_names(attribute, value):
    assert getattr(summarizer, attribute) is value


def test_builtins_is_the_builtins_module():
    import builtins

    assert vars(summarizer)["__builtins__"] is builtins


def test_logger():
    assert summarizer.logger.name == "vorlin.summarizer"
    assert summarizer.logger is logging.getLogger("vorlin.summarizer")


def test_doctest_table_is_empty():
    assert type(summarizer.__test__) is dict
    assert summarizer.__test__ == {}
