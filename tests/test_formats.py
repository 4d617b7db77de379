"""Reading histories of every format into the Chat messages the summarizer reads."""

import copy
import json

import pytest
from agents import Agent
from agents.items import MessageOutputItem, ReasoningItem, ToolCallItem
from agents.models.chatcmpl_converter import Converter
from anthropic.types import TextBlock, ToolResultBlockParam, ToolUseBlock, UserMessageParam
from langchain_core.messages import (AIMessage, HumanMessage, SystemMessage, ToolMessage,
                                     convert_to_openai_messages)
from openai.types.chat import (ChatCompletionMessage, ChatCompletionMessageFunctionToolCall,
                               ChatCompletionToolMessageParam, ChatCompletionUserMessageParam)
from openai.types.responses import (ResponseFunctionToolCall, ResponseOutputMessage,
                                    ResponseOutputText, ResponseReasoningItem)

from vorlin.core.summarizer import _format_messages_for_summary
from vorlin_summarizer.formats import (MessageFormatError, as_chat_messages, content_text,
                                       history_of_document, read_history)


def transcript(items, message_format="auto"):
    return _format_messages_for_summary(as_chat_messages(items, message_format))


AGENT = Agent(name="agent")
# Every text here carries a marker T<n>; each must reach the summarizer's transcript.
CHAT = [
    {"role": "system", "content": "You are a coding agent."},
    ChatCompletionUserMessageParam(role="user", content=[{"type": "text", "text": "T1"}]),
    ChatCompletionMessage(role="assistant", content="T2", tool_calls=[
        ChatCompletionMessageFunctionToolCall(id="c1", type="function", function={
            "name": "grep", "arguments": '{"q": "T3"}'})]),
    ChatCompletionToolMessageParam(role="tool", tool_call_id="c1", content="T4"),
    {"role": "assistant", "content": None, "function_call": {"name": "read", "arguments": '{"p": "T5"}'}},
    {"role": "function", "name": "read", "content": "T6"},
    {"role": "assistant", "content": None, "tool_calls": [
        {"id": "c2", "type": "custom", "custom": {"name": "patch", "input": "*** T7"}}]},
    {"role": "tool", "tool_call_id": "c2", "content": [{"type": "text", "text": "T8"}]},
    {"role": "assistant", "content": None, "refusal": "T9"},
    {"role": "assistant", "content": None, "tool_calls": [  # a dump that keeps null fields
        {"id": "c3", "name": "T12", "arguments": "{}", "function": None}]},
    {"role": "critic", "content": "T10"},
    {"role": "user", "content": [{"type": "video_url", "video_url": {"url": "T11"}}]},
]
RESPONSES = [
    {"role": "user", "content": "T1"},
    ReasoningItem(agent=AGENT, raw_item=ResponseReasoningItem(
        id="rs", type="reasoning", summary=[{"type": "summary_text", "text": "thought"}])).to_input_item(),
    MessageOutputItem(agent=AGENT, raw_item=ResponseOutputMessage(
        id="m1", type="message", role="assistant", status="completed",
        content=[ResponseOutputText(type="output_text", text="T2", annotations=[])])).to_input_item(),
    ToolCallItem(agent=AGENT, raw_item=ResponseFunctionToolCall(
        type="function_call", call_id="c1", name="grep", arguments='{"q": "T3"}')).to_input_item(),
    {"type": "function_call_output", "call_id": "c1", "output": [{"type": "input_text", "text": "T4"}]},
    {"type": "message", "role": "user", "content": [{"type": "input_text", "text": "T5"},
                                                     {"type": "input_image", "image_url": "data:image/png;base64,AA"}]},
    {"type": "custom_tool_call", "call_id": "c2", "name": "patch", "input": "*** T6"},
    {"type": "custom_tool_call_output", "call_id": "c2", "output": "T7"},
    {"type": "local_shell_call", "id": "ls", "call_id": "c3", "status": "completed",
     "action": {"type": "exec", "command": ["T8"], "env": {}}},
    {"type": "local_shell_call_output", "id": "c3", "output": "T9"},
    {"type": "web_search_call", "id": "ws", "status": "completed", "action": {"type": "search", "query": "T10"}},
    {"type": "future_item", "note": "T11"},
]
ANTHROPIC = [
    {"role": "system", "content": "You are a coding agent."},
    UserMessageParam(role="user", content="T1"),
    {"role": "assistant", "content": [{"type": "thinking", "thinking": "hm", "signature": "s"}]},
    {"role": "assistant", "content": [TextBlock(type="text", text="T2"), ToolUseBlock(
        type="tool_use", id="t1", name="grep", input={"q": "T3"})]},
    {"role": "user", "content": [ToolResultBlockParam(type="tool_result", tool_use_id="t1", content=[
        {"type": "text", "text": "T4"}, {"type": "image", "source": {"type": "url", "url": "http://i"}}]),
        {"type": "text", "text": "T5"}]},
    {"role": "user", "content": [{"type": "document", "title": "T6", "source": {
        "type": "text", "media_type": "text/plain", "data": "T7"}}]},
    {"role": "assistant", "content": [{"type": "server_tool_use", "id": "s1", "name": "web_search",
                                       "input": {"query": "T8"}}]},
]


@pytest.mark.parametrize("items, markers, bounds", [
    (CHAT, 12, list(range(13))),
    (RESPONSES, 11, [0, 1, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11]),
    (ANTHROPIC, 8, [0, 1, 2, 2, 3, 5, 6, 7]),
], ids=["chat", "responses", "anthropic"])
def test_every_text_reaches_the_summarizer(items, markers, bounds):
    given = copy.deepcopy(items)
    text = transcript(items)
    assert [n for n in range(1, markers + 1) if f"T{n}" not in text] == []
    assert "thought" not in text and "hm" not in text  # reasoning is not sent
    assert items == given  # the host's items are untouched
    reading = read_history(items)  # and which messages each item gave
    assert reading.bounds == bounds and len(reading.messages) == bounds[-1]


def test_calls_and_results_are_paired_in_every_format():
    chat, responses, anthropic = (read_history(items).messages for items in (CHAT, RESPONSES, ANTHROPIC))
    assert [m.get("tool_call_id") for m in chat if m["role"] == "tool"] == ["c1", "function_call_4", "c2"]
    assert chat[4]["tool_calls"][0]["id"] == "function_call_4"
    assert chat[6]["tool_calls"][0]["function"] == {"name": "patch", "arguments": "*** T7"}
    assert [m["tool_calls"][0]["id"] for m in responses if m.get("tool_calls")] == ["c1", "c2", "c3"]
    assert [m["tool_call_id"] for m in responses if m["role"] == "tool"] == ["c1", "c2", "c3"]
    assert anthropic[2]["tool_calls"][0]["function"] == {"name": "grep", "arguments": {"q": "T3"}}
    assert [m["role"] for m in anthropic[3:5]] == ["tool", "user"]  # results before the text


def facts(messages):
    """What the summarizer learns of messages, whatever the grouping into messages."""
    for message in messages:
        if message["role"] == "tool":
            yield "result", message["tool_call_id"], content_text(message["content"])
        elif message.get("content"):
            yield message["role"], content_text(message["content"])
        for call in message.get("tool_calls") or ():
            yield "call", call["id"], call["function"]["name"], call["function"]["arguments"]


def test_responses_items_read_as_the_agents_sdk_converts_them():
    # The SDK joins an answer and the calls after it into one assistant message, and keeps
    # reasoning for some providers; here each item stays its own message, reasoning none.
    items = RESPONSES[:6] + [{"type": "function_call", "call_id": "c9", "name": "ls", "arguments": "{}"},
                             {"type": "function_call_output", "call_id": "c9", "output": "a.py"}]
    ours = read_history(items, "responses").messages
    converted = Converter.items_to_messages(items, preserve_tool_output_all_content=True)
    assert list(facts(ours)) == list(facts(converted))


def test_langchain_histories_read_alike_in_both_text_formats():
    history = [SystemMessage("sys"), HumanMessage("Fix the bug"),
               AIMessage("", tool_calls=[{"id": "c1", "name": "read", "args": {"p": "a.py"}}]),
               ToolMessage("x = 1", tool_call_id="c1"), AIMessage("Fixed.")]
    string, block = (convert_to_openai_messages(history, text_format=form) for form in ("string", "block"))
    assert all(a is b for a, b in zip(read_history(string).messages, string))
    assert all(a is b for a, b in zip(read_history(block).messages, block))
    assert transcript(block) == transcript(string)
    assert "[Assistant called read]: p=a.py" in transcript(block)


def test_plain_chat_messages_are_passed_on_as_the_very_objects():
    history = [message for n in range(3) for message in (
        {"role": "assistant", "content": "", "tool_calls": [
            {"id": f"c{n}", "function": {"name": "read", "arguments": json.dumps({"n": n})}}]},
        {"role": "tool", "tool_call_id": f"c{n}", "content": "r" * n})]
    history[2:2] = [{"role": "user", "content": [{"type": "text", "text": "x"}]},
                    {"role": "assistant", "tool_calls": [{"id": "c", "name": "f", "arguments": {}}]}]
    reading = read_history(history)
    assert reading.format == "chat" and all(map(lambda a, b: a is b, reading.messages, history))
    assert reading.bounds == list(range(len(history) + 1))


@pytest.mark.parametrize("items, expected", [
    ([{"role": "user", "content": "hi"}, {"type": "message", "role": "assistant", "content": "yo"}], "chat"),
    ([{"role": "user", "content": "hi"}, {"type": "function_call", "call_id": "c", "name": "f", "arguments": ""}], "responses"),
    ([{"role": "user", "content": [{"type": "tool_result", "tool_use_id": "t", "content": "ok"}]}], "anthropic"),
    ([{"role": "user", "content": [{"type": "image", "source": {"type": "url", "url": "u"}}]}], "anthropic"),
    ([{"type": "message", "role": "user", "content": [{"type": "text", "text": "hi"}]},
      {"role": "assistant", "content": [TextBlock(type="text", text="x")]}], "responses"),
])
def test_auto_recognises_the_format(items, expected):
    assert read_history(items).format == expected


@pytest.mark.parametrize("items, message_format, error, index", [
    ({"messages": []}, "auto", 'the history is an object ({"messages": []}), not a list of messages', None),
    ([{"content": "hi"}], "auto", "item [0] has neither a role nor a known type", 0),
    ([{"role": 3, "content": "hi"}], "auto", "item [0] has a role that is a number (3), not a string", 0),
    ([{"role": "assistant", "tool_calls": ["c"]}], "chat", 'item [0] has a tool call [0] that is a string ("c"), not an object', 0),
    ([{"role": "assistant", "tool_calls": [{"id": "c", "function": "f"}]}], "chat", 'item [0] has a tool call [0] whose function is a string ("f"), not an object', 0),
    ([{"type": "function_call", "call_id": "c", "name": "f", "arguments": "[" * 500 + "]" * 500}], "auto", "item [0] has a tool call [0] whose arguments are nested too deeply to read", 0),
    ([{"role": "assistant", "function_call": "f"}], "chat", 'item [0] has a function_call that is a string ("f"), not an object', 0),
    ([{"role": "assistant", "tool_calls": [{"type": "custom", "custom": 1}]}], "chat", "item [0] has a tool call [0] whose custom is a number (1), not an object", 0),
    ([{"role": "user", "content": [{"type": "tool_result", "tool_use_id": "t", "content": 5}]}], "anthropic", "item [0] has tool_result content that is a number (5), not text, null or a list of content parts", 0),
    ([{"role": "tool", "content": "x", "tool_call_id": "c"}, {"type": "reasoning", "summary": []}], "auto", "the history mixes Chat Completions messages and Responses items (item [1]); pass message_format= to say which it is", 1),
    ([{"role": "assistant", "tool_calls": [{"id": "c", "function": {"name": "f", "arguments": ""}}]},
      {"role": "user", "content": [{"type": "input_text", "text": "x"}]}], "auto", "the history mixes Chat Completions messages and Responses items (item [1]); pass message_format= to say which it is", 1),
])
def test_what_cannot_be_read_is_refused_with_one_sentence(items, message_format, error, index):
    with pytest.raises(MessageFormatError) as caught:
        read_history(items, message_format)
    assert (str(caught.value), caught.value.index) == (error, index)


@pytest.mark.parametrize("document, items, message_format", [
    ([{"role": "user", "content": "hi"}], [{"role": "user", "content": "hi"}], "auto"),
    ({"model": "m", "messages": [{"role": "user", "content": "hi"}]}, [{"role": "user", "content": "hi"}], "auto"),
    ({"system": [{"type": "text", "text": "Be brief."}], "messages": []}, [{"role": "system", "content": "Be brief."}], "anthropic"),
    ({"instructions": "Be brief.", "input": "hi"}, [{"role": "developer", "content": "Be brief."}, {"role": "user", "content": "hi"}], "responses"),
    ({"role": "user", "content": "hi"}, [{"role": "user", "content": "hi"}], "auto"),
])
def test_documents_give_their_history(document, items, message_format):
    assert history_of_document(document) == (items, message_format)


@pytest.mark.parametrize("document, error", [
    ("hi", 'the document is a string ("hi"), not a JSON array of messages or a request body'),
    ({"messages": {"role": "user"}}, 'the document\'s messages is an object ({"role": "user"}), not a list'),
    ({"input": 3}, "the document's input is a number (3), not text or a list of items"),
    ({"input": [], "instructions": 1}, "the document's instructions is a number (1), not text"),
    ({"system": 1, "messages": []}, "the document's system is a number (1), not text or a list of text blocks"),
])
def test_documents_that_hold_no_history_are_refused(document, error):
    with pytest.raises(MessageFormatError, match=f"^{error.replace('(', '.').replace(')', '.')}$"):
        history_of_document(document)
