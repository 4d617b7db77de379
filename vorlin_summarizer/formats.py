"""Any conversation format, read as the Chat Completions messages the summarizer reads.

A history comes as Chat Completions messages (legacy function calls and custom tool calls
included), as Responses API input items, or as Anthropic Messages; each item a dict, any
mapping, or one of the SDKs' own objects (read as their ``model_dump(exclude_none=True)``).
``read_history`` reads it item by item and says which messages each item gave, so that a
cut found among the messages falls between the host's own items. A Chat message already in
the shape the summarizer reads is passed on as the very object given; anything else is
read into new dicts, and the host's objects are never modified.

Nothing that carries text is dropped: a part or item of a kind not read otherwise keeps
its text fields, its type named; images, audio and files stay parts, which the summarizer
sees as placeholders. Reasoning and thinking give no message: the APIs drop earlier turns'
reasoning from the context, and it is not the conversation. What cannot be read is refused
with a MessageFormatError naming the item.
"""

from __future__ import annotations

import json
import re
from collections.abc import Callable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from operator import is_
from typing import Any, Literal

__all__ = [
    "Format", "MessageFormat", "MessageFormatError", "Reading", "as_chat_messages",
    "content_text", "fields_of", "history_of_document", "history_of_lines", "prepare_messages",
    "read_history", "summary_item",
]

Message = dict[str, Any]
Content = str | None | list[Message]
Format = Literal["chat", "responses", "anthropic"]
MessageFormat = Literal["auto", "chat", "responses", "anthropic"]

_FORMATS: tuple[Format, ...] = ("chat", "responses", "anthropic")  # the order "auto" prefers
_NAMES = {"chat": "Chat Completions messages", "responses": "Responses items",
          "anthropic": "Anthropic blocks"}
_MESSAGE_ROLES = frozenset({"system", "developer", "user", "assistant"})
_PLACEHOLDERS = {"image_url": "[image]", "image": "[image]", "input_image": "[image]",
                 "input_audio": "[audio]", "audio": "[audio]", "file": "[file]",
                 "input_file": "[file]"}
_TEXT_FIELDS = {"text": "text", "input_text": "text", "output_text": "text",
                "refusal": "refusal"}
# Fields that name, seal or carry the bytes of a part or item rather than say anything.
_META = frozenset({"type", "id", "call_id", "status", "encrypted_content", "signature",
                   "cache_control", "caller", "fingerprint", "base64"})
_JSON_CHARS = 2000  # what a field that is not text keeps of its JSON
_DATA_URL = re.compile(r'data:(\w+)/[^"]*')
# The summarizer decodes tool-call arguments recursively; far below the interpreter's limit.
_MAX_NESTING = 400
_JSON_STRING = re.compile(r'"(?:[^"\\]|\\.)*"')


class MessageFormatError(ValueError):
    """A history that cannot be read. `index` is the item's place in the history, or None
    when the history as a whole is at fault; the text is one sentence naming the item."""

    def __init__(self, message: str, index: int | None = None) -> None:
        super().__init__(message)
        self.index = index


class _Unreadable(ValueError):
    """What is wrong with the item being read: the rest of a sentence that names it."""


@dataclass(frozen=True)
class Reading:
    """A history read: its format, its messages, and which messages each item gave (item
    i gave messages[bounds[i]:bounds[i + 1]], an empty slice for reasoning)."""

    format: Format
    messages: list[Message]
    bounds: list[int]


# -- Values ----------------------------------------------------------------------------

_KINDS: dict[type, str] = {dict: "an object", list: "an array", tuple: "an array",
                           str: "a string", bool: "a boolean", int: "a number",
                           float: "a number"}


def _described(value: object) -> str:
    """What a value is, for a sentence about it: its kind and the start of its text."""
    if value is None:
        return "null"
    kind = _KINDS.get(type(value))
    if kind is None:
        return f"a {type(value).__name__}"
    try:
        text = json.dumps(value, ensure_ascii=False)
    except (TypeError, ValueError, RecursionError):
        text = "..."
    return f"{kind} ({text[:40] + '...' if len(text) > 40 else text})"


def fields_of(value: object) -> Message | None:
    """A dict of the value's fields: a dict is itself, a mapping is copied, an SDK object
    is dumped as it would be sent; None for anything else."""
    if value.__class__ is dict:
        return value
    if isinstance(value, Mapping):
        return dict(value)
    dump = getattr(value, "model_dump", None)
    if callable(dump):
        dumped = dump(exclude_none=True)
        return dict(dumped) if isinstance(dumped, Mapping) else None
    return None


def _nesting(text: str) -> int:
    """How deeply the JSON in text nests, brackets inside strings aside."""
    if text.count("[") + text.count("{") <= _MAX_NESTING:
        return 0  # the common case, without a scan
    depth = deepest = 0
    for bracket in re.findall(r"[\[\]{}]", _JSON_STRING.sub("", text)):
        depth = depth + 1 if bracket in "[{" else max(depth - 1, 0)
        deepest = max(deepest, depth)
    return deepest


def _placeholder(match: re.Match[str]) -> str:
    return {"image": "[image]", "audio": "[audio]"}.get(match[1], "[file]")


def _json_text(value: object, limit: int | None = _JSON_CHARS) -> str:
    """Compact JSON of a value, inline data as a placeholder, cut to `limit` characters."""
    try:
        text = json.dumps(value, ensure_ascii=False, default=str)
    except (ValueError, RecursionError):
        raise _Unreadable("has fields nested too deeply to read") from None
    text = _DATA_URL.sub(_placeholder, text) if "data:" in text else text
    return text if limit is None or len(text) <= limit else text[:limit] + "... [cut]"


def _fields_text(kind: object, fields: Mapping[str, Any]) -> str:
    """A part or item read by its fields: its type named, then each field that says
    something, text whole (inline data as a placeholder) and anything else as JSON."""
    pieces = []
    for key, value in fields.items():
        if key in _META or value is None:
            continue
        if not isinstance(value, str):
            value = _json_text(value)
        elif value.startswith("data:"):
            value = _DATA_URL.sub(_placeholder, value, count=1)
        pieces.append(f"{key}: {value}")
    return f"[{kind if isinstance(kind, str) else 'part'}] " + "\n".join(pieces)


# -- Content parts ---------------------------------------------------------------------

def content_text(content: object) -> object:
    """Content given as a list of parts or blocks, as text: each part's text, joined by
    line feeds; an image "[image]", audio "[audio]", a file "[file]"; a part of another
    kind its fields, its type named. Any other content is returned as it is."""
    if not isinstance(content, list):
        return content
    return "\n".join(map(_part_text, content))


def _part_text(part: object) -> str:
    if isinstance(part, str):
        return part
    fields = fields_of(part)
    if fields is None:
        return str(part)
    kind = fields.get("type")
    field = _TEXT_FIELDS.get(kind) if isinstance(kind, str) else None
    if field is not None:
        text = fields.get(field)
        return text if isinstance(text, str) else str(text)
    placeholder = _PLACEHOLDERS.get(kind) if isinstance(kind, str) else None
    return placeholder if placeholder is not None else _fields_text(kind, fields)


def prepare_messages(messages: Sequence[Message]) -> list[Message]:
    """The messages as the summarizer should read them: content parts flattened to text.

    A message that needs no change is passed on as the same object; one that does is
    copied, so the caller's messages are never modified."""
    return [_prepared(message) for message in messages]


def _prepared(message: Message) -> Message:
    content = message.get("content")
    return {**message, "content": content_text(content)} if isinstance(content, list) else message


PartReader = Callable[[Message], "Message | None"]


def _text_part(text: object) -> Message:
    return {"type": "text", "text": text if isinstance(text, str) else str(text)}


def _same_part(fields: Message) -> Message:
    return fields


def _no_part(fields: Message) -> None:
    return None


def _text_of_part(fields: Message) -> Message:
    return _text_part(fields.get("text", ""))


def _image(fields: Message) -> Message:
    """An image in any layout (Anthropic's `source`, the Responses API's `image_url` text,
    a URL or base64 with its media type) as a Chat image part."""
    source = fields_of(fields.get("source")) or fields
    url = source.get("url") or source.get("image_url") or source.get("file_id") or ""
    data = source.get("data", source.get("base64"))
    if isinstance(data, str):
        media_type = source.get("media_type", source.get("mime_type"))
        url = f"data:{media_type};base64,{data}"
    image: Message = {"url": url}
    if fields.get("detail") is not None:
        image["detail"] = fields["detail"]
    return {"type": "image_url", "image_url": image}


def _file(fields: Message) -> Message:
    file = {key: fields[key] for key in ("file_data", "file_id", "filename") if key in fields}
    return {"type": "file", "file": file}


def _document(fields: Message) -> Message:
    """A document as text: its title and context, then its text, or "[file]" for a PDF."""
    source = fields_of(fields.get("source")) or {}
    kind = source.get("type")
    if kind == "text":
        body = str(source.get("data", ""))
    elif kind == "content":
        body = str(content_text(_content(source.get("content") or "", _anthropic_part,
                                         "document content")))
    else:
        body = "[file]"
    about = [str(fields[key]) for key in ("title", "context") if fields.get(key) is not None]
    return _text_part("\n".join([" ".join(["[document]", *about]), body]))


def _search_result(fields: Message) -> Message:
    texts = content_text(_content(fields.get("content") or "", _anthropic_part,
                                  "search_result content"))
    return _text_part(f"[search_result] {fields.get('title')} ({fields.get('source')})\n{texts}")


_IMAGE_PARTS: dict[str, PartReader] = {"image": _image, "input_image": _image}
_CHAT_PARTS: dict[str, PartReader] = {
    **_IMAGE_PARTS, "text": _same_part, "refusal": _same_part, "image_url": _same_part,
    "input_audio": _same_part, "file": _same_part,
}
_RESPONSES_PARTS: dict[str, PartReader] = {
    **_CHAT_PARTS, "input_text": _text_of_part, "output_text": _text_of_part,
    "input_file": _file,
}
_ANTHROPIC_PARTS: dict[str, PartReader] = {
    **_IMAGE_PARTS, "text": _same_part, "document": _document, "search_result": _search_result,
    "thinking": _no_part, "redacted_thinking": _no_part,
}


def _part_reader(table: dict[str, PartReader]) -> PartReader:
    """Reads one part by its type; a kind the table does not hold keeps its fields as
    text, its type named."""
    def read(fields: Message) -> Message | None:
        kind = fields.get("type")
        reader = table.get(kind) if isinstance(kind, str) else None
        return _text_part(_fields_text(kind, fields)) if reader is None else reader(fields)
    return read


_chat_part = _part_reader(_CHAT_PARTS)
_responses_part = _part_reader(_RESPONSES_PARTS)
_anthropic_part = _part_reader(_ANTHROPIC_PARTS)


def _part_fields(part: object, number: int, what: str) -> Message:
    fields = fields_of(part)
    if fields is not None:
        return fields
    if isinstance(part, str):
        return _text_part(part)
    raise _Unreadable(f"has {what} part [{number}] that is {_described(part)}, not an object "
                      "or text")


def _content(value: object, read: PartReader, what: str = "content") -> Content:
    """Content as the summarizer reads it: text, None, or Chat parts (the very list given
    when every part already is one)."""
    if value is None or value.__class__ is str:
        return value
    if isinstance(value, str):
        return str(value)
    if not isinstance(value, (list, tuple)):
        raise _Unreadable(f"has {what} that is {_described(value)}, not text, null or a "
                          "list of content parts")
    return _parts(value, read, what)


def _parts(given: list[Any] | tuple[Any, ...], read: PartReader, what: str) -> list[Message]:
    """The parts read, in Chat's shapes: the very list given when each part already is."""
    parts = []
    for number, part in enumerate(given):
        read_part = read(_part_fields(part, number, what))
        if read_part is not None:
            parts.append(read_part)
    return given if type(given) is list and _unchanged(parts, given) else parts


def _unchanged(read: list[Any], given: list[Any]) -> bool:
    return len(read) == len(given) and all(map(is_, read, given))


# -- Tool calls ------------------------------------------------------------------------

def _arguments(value: object, number: int) -> object:
    """A call's arguments as the summarizer reads them: text (JSON it can decode, or a
    custom call's input) or a dict; any other value as its JSON."""
    if isinstance(value, str):
        if len(value) > _MAX_NESTING and _nesting(value) > _MAX_NESTING:
            raise _Unreadable(f"has a tool call [{number}] whose arguments are nested too "
                              "deeply to read")
        return value if value.__class__ is str else str(value)
    if value is None or value.__class__ is dict:
        return value
    return dict(value) if isinstance(value, Mapping) else _json_text(value, None)


def _call(call_id: object, name: object, arguments: object, number: int = 0) -> Message:
    return {"id": call_id, "type": "function",
            "function": {"name": name, "arguments": _arguments(arguments, number)}}


def _assistant_call(call_id: object, name: object, arguments: object) -> Message:
    return {"role": "assistant", "content": None,
            "tool_calls": [_call(call_id, name, arguments)]}


def _chat_call(call: object, number: int) -> object:
    """One Chat tool call in either layout (the very call when it needs no change); a
    custom call becomes a function call whose arguments are its input."""
    fields = fields_of(call)
    if fields is None:
        raise _Unreadable(f"has a tool call [{number}] that is {_described(call)}, not an "
                          "object")
    key = "function" if fields.get("function") is not None or fields.get(
        "custom") is None else "custom"
    nested = fields.get(key)
    if nested is None:  # the flat layout; a null "function" beside it says nothing
        arguments = fields.get("arguments")
        checked = _arguments(arguments, number)
        if fields is call and checked is arguments and key not in fields:
            return call
        flat = {name: value for name, value in fields.items() if name != key}
        return {**flat, "arguments": checked}
    inner = fields_of(nested)
    if inner is None:
        raise _Unreadable(f"has a tool call [{number}] whose {key} is {_described(nested)}, "
                          "not an object")
    if key == "custom":
        return _call(fields.get("id"), inner.get("name"), inner.get("input"), number)
    arguments = inner.get("arguments")
    checked = _arguments(arguments, number)
    if fields is call and inner is nested and checked is arguments:
        return call
    return {**fields, "function": {**inner, "arguments": checked}}


def _chat_calls(calls: object) -> list[Any] | None:
    if calls is None:
        return None
    if not isinstance(calls, (list, tuple)):
        raise _Unreadable(f"has tool_calls that is {_described(calls)}, not a list of tool "
                          "calls")
    read = [_chat_call(call, number) for number, call in enumerate(calls)]
    return calls if type(calls) is list and _unchanged(read, calls) else read


# -- Messages --------------------------------------------------------------------------

def _role(item: Message) -> str:
    role = item.get("role")
    if role is None:
        kind = item.get("type")
        raise _Unreadable("has neither a role nor a known type"
                          + (f" (its type is {kind!r})" if kind is not None else ""))
    if not isinstance(role, str):
        raise _Unreadable(f"has a role that is {_described(role)}, not a string")
    return role


def _message(role: str, content: Content) -> Message:
    """A message of a role and its content; a role the summarizer does not read becomes
    the user's, named in the text."""
    if role in _MESSAGE_ROLES:
        return {"role": role, "content": content}
    label = f"[{role}]"
    if isinstance(content, list):
        return {"role": "user", "content": [_text_part(label), *content]}
    return {"role": "user", "content": label if content is None else f"{label} {content}"}


Reader = Callable[[Message, int, list[Message]], None]


class _ChatReader:
    """Chat Completions messages; a legacy function call is answered by the next
    `function` message."""

    def __init__(self) -> None:
        self._waiting: list[str] = []  # the ids given to legacy calls not yet answered

    def __call__(self, item: Message, index: int, out: list[Message]) -> None:
        role = _role(item)
        if role == "assistant":
            out.append(self._assistant(item, index))
            return
        content = _content(item.get("content"), _chat_part)
        if role == "function":
            call_id = self._waiting.pop(0) if self._waiting else str(item.get("name"))
            out.append({"role": "tool", "tool_call_id": call_id, "content": content})
        elif role != "tool" and role not in _MESSAGE_ROLES:
            out.append(_message(role, content))
        else:
            out.append(item if content is item.get("content") else {**item, "content": content})

    def _assistant(self, item: Message, index: int) -> Message:
        given = item.get("content")
        content = _content(given, _chat_part)
        calls = _chat_calls(item.get("tool_calls"))
        legacy, refusal = item.get("function_call"), item.get("refusal")
        if legacy is not None:
            fields = fields_of(legacy)
            if fields is None:
                raise _Unreadable(f"has a function_call that is {_described(legacy)}, not an "
                                  "object")
            call_id = f"function_call_{index}"
            self._waiting.append(call_id)
            calls = [*(calls or ()), _call(call_id, fields.get("name"), fields.get("arguments"))]
        if refusal is not None:
            content = _with_refusal(content, refusal)
        if content is given and calls is item.get("tool_calls") and legacy is None:
            return item
        message = {**item, "content": content, "tool_calls": calls}
        for key in ("function_call", "refusal", *(("tool_calls",) if calls is None else ())):
            message.pop(key, None)
        return message


def _with_refusal(content: Content, refusal: object) -> str | list[Message]:
    if isinstance(content, list):
        return [*content, {"type": "refusal", "refusal": refusal}]
    text = refusal if isinstance(refusal, str) else str(refusal)
    return text if not content else f"{content}\n{text}"


# Responses items ------------------------------------------------------------------------

# Built-in tool calls answered by an item of their own, and the field that links the two.
_BUILT_IN_CALLS = {"computer_call": "call_id", "local_shell_call": "call_id",
                   "shell_call": "call_id", "apply_patch_call": "call_id",
                   "tool_search_call": "call_id", "program": "call_id",
                   "mcp_approval_request": "id"}
_RESULT_KEYS = ("call_id", "approval_request_id", "id")
# A field that holds an image as bare base64, not as a data URL.
_IMAGE_FIELDS = {"image_generation_call": "result"}


def _function_call(item: Message) -> Message:
    return _assistant_call(item.get("call_id"), item.get("name"), item.get("arguments"))


def _custom_call(item: Message) -> Message:
    return _assistant_call(item.get("call_id"), item.get("name"), item.get("input"))


def _call_output(item: Message) -> Message:
    return {"role": "tool", "tool_call_id": item.get("call_id"),
            "content": _content(item.get("output"), _responses_part, "output")}


def _built_in_call(item: Message, kind: str) -> Message:
    """A built-in tool call the host answers: a call named by its type (or its own name),
    its fields as the arguments."""
    fields = {key: value for key, value in item.items() if key not in _META}
    name = fields.pop("name", None)
    return _assistant_call(item.get(_BUILT_IN_CALLS[kind]),
                           name if isinstance(name, str) else kind, _json_text(fields, None))


def _built_in_result(item: Message, kind: str) -> Message:
    call_id = next((item[key] for key in _RESULT_KEYS if item.get(key) is not None), None)
    fields = {key: value for key, value in item.items() if key not in _RESULT_KEYS}
    return {"role": "tool", "tool_call_id": call_id, "content": _fields_text(kind, fields)}


def _built_in_item(item: Message, kind: str) -> Message:
    """A tool call the server ran, with its results, or any other item: its text."""
    image_field = _IMAGE_FIELDS.get(kind)
    if image_field is not None and item.get(image_field) is not None:
        item = {**item, image_field: "[image]"}
    role = item.get("role")
    return {"role": role if role in _MESSAGE_ROLES else "assistant",
            "content": _fields_text(kind, item)}


_RESPONSES_ITEMS: dict[str, Callable[[Message], Message]] = {
    "function_call": _function_call, "custom_tool_call": _custom_call,
    "function_call_output": _call_output, "custom_tool_call_output": _call_output,
}


def _read_responses(item: Message, index: int, out: list[Message]) -> None:
    kind = item.get("type")
    if kind is None or kind == "message" or not isinstance(kind, str):
        role = _role(item)
        out.append(_message(role, _content(item.get("content"), _responses_part)))
        return
    read = _RESPONSES_ITEMS.get(kind)
    if read is not None:
        out.append(read(item))
    elif kind == "reasoning":
        return
    elif kind in _BUILT_IN_CALLS and item.get(_BUILT_IN_CALLS[kind]) is not None:
        out.append(_built_in_call(item, kind))
    elif kind.endswith("_output") or kind == "mcp_approval_response":
        out.append(_built_in_result(item, kind))
    else:
        out.append(_built_in_item(item, kind))


# Anthropic messages ---------------------------------------------------------------------

def _tool_result(fields: Message) -> Message:
    content = _content(fields.get("content", ""), _anthropic_part, "tool_result content")
    return {"role": "tool", "tool_call_id": fields.get("tool_use_id"), "content": content}


def _read_anthropic(item: Message, index: int, out: list[Message]) -> None:
    """One message: its tool results first, as tool messages, then what else it holds,
    its tool uses as the assistant's tool calls; a message of thinking alone gives none."""
    role = _role(item)
    blocks = item.get("content")
    if not isinstance(blocks, (list, tuple)):
        out.append(_message(role, _content(blocks, _anthropic_part)))
        return
    calls: list[Message] = []
    parts: list[Message] = []
    for number, block in enumerate(blocks):
        fields = _part_fields(block, number, "content")
        kind = fields.get("type")
        if kind == "tool_result":
            out.append(_tool_result(fields))
        elif kind == "tool_use" and role == "assistant":
            calls.append(_call(fields.get("id"), fields.get("name"), fields.get("input")))
        else:
            parts.append(fields)
    content = _parts(parts, _anthropic_part, "content")
    if calls:
        out.append({"role": role, "content": content or None, "tool_calls": calls})
    elif not content:
        return  # thinking alone, or tool results alone
    elif type(blocks) is list and _unchanged(content, blocks) and role in _MESSAGE_ROLES:
        out.append(item)
    else:
        out.append(_message(role, content))


_READERS: dict[Format, Callable[[], Reader]] = {
    "chat": _ChatReader, "responses": lambda: _read_responses,
    "anthropic": lambda: _read_anthropic,
}


# -- Recognising the format ------------------------------------------------------------

_ALL: frozenset[Format] = frozenset(_FORMATS)
_CHAT: frozenset[Format] = frozenset({"chat"})
_RESPONSES: frozenset[Format] = frozenset({"responses"})
_ANTHROPIC: frozenset[Format] = frozenset({"anthropic"})
_TYPED_MESSAGE: frozenset[Format] = frozenset({"responses", "anthropic"})
_CHAT_OR_RESPONSES: frozenset[Format] = frozenset({"chat", "responses"})
_PART_FORMATS: dict[str, frozenset[Format]] = {
    "input_text": _RESPONSES, "output_text": _RESPONSES, "input_image": _RESPONSES,
    "input_file": _RESPONSES, "refusal": _CHAT_OR_RESPONSES, "image_url": _CHAT_OR_RESPONSES,
    "input_audio": _CHAT_OR_RESPONSES, "file": _CHAT, "tool_use": _ANTHROPIC,
    "tool_result": _ANTHROPIC, "thinking": _ANTHROPIC, "redacted_thinking": _ANTHROPIC,
    "document": _ANTHROPIC, "search_result": _ANTHROPIC, "server_tool_use": _ANTHROPIC,
}


def _signs(item: Message) -> Iterator[frozenset[Format]]:
    """The formats each thing in an item fits: its type, its role, its parts."""
    kind = item.get("type")
    if isinstance(kind, str):
        yield _TYPED_MESSAGE if kind == "message" else _RESPONSES
    role = item.get("role")
    if role in ("tool", "function") or role == "assistant" and (
            item.get("tool_calls") or item.get("function_call")):
        yield _CHAT
    content = item.get("content")
    for part in content if isinstance(content, (list, tuple)) else ():
        fields = fields_of(part) or {}
        part_kind = fields.get("type")
        if part_kind == "image" and "source" in fields:
            yield _ANTHROPIC
        elif isinstance(part_kind, str):
            yield _PART_FORMATS.get(part_kind, _ALL)


def _recognised(indices: Sequence[int], items: Sequence[Message], chat_seen: bool) -> Format:
    """The one format every item fits, the first of _FORMATS where several do; the plain
    messages fit them all, or Chat only when chat_seen."""
    possible = _CHAT if chat_seen else _ALL
    for index, item in zip(indices, items):
        for fits in _signs(item):
            if not possible & fits:
                earlier = next(name for name in _FORMATS if name in possible)
                later = next(name for name in _FORMATS if name in fits)
                raise MessageFormatError(
                    f"the history mixes {_NAMES[earlier]} and {_NAMES[later]} (item "
                    f"[{index}]); pass message_format= to say which it is", index)
            possible &= fits
    return next(name for name in _FORMATS if name in possible)


# -- Histories -------------------------------------------------------------------------

def _plain_run(items: Sequence[object], start: int, tool_traffic: bool) -> tuple[int, bool]:
    """Where the run of plain messages from `start` ends, and whether it holds the shape
    only Chat has (tool calls and results; plain only with tool_traffic).

    A plain message is a dict the summarizer reads as it is: a system, developer or user
    message with text; a tool message with text; an assistant message with text or null
    and tool calls, if any, in the nested layout with arguments it can decode. Plan reads
    the whole history on every agent turn, so this is one tight loop."""
    chat_seen = False
    for index in range(start, len(items)):
        item = items[index]
        if item.__class__ is not dict:
            return index, chat_seen
        role = item.get("role")
        content = item.get("content")
        if role == "assistant":
            if content is not None and content.__class__ is not str or item.get(
                    "function_call") is not None or item.get("refusal") is not None:
                return index, chat_seen
            calls = item.get("tool_calls")
            if calls is None:
                continue
            if not tool_traffic or calls.__class__ is not list:
                return index, chat_seen
            for call in calls:
                nested = call.get("function") if call.__class__ is dict else None
                arguments = nested.get("arguments") if nested.__class__ is dict else None
                if arguments.__class__ is not str or len(arguments) > _MAX_NESTING and (
                        _nesting(arguments) > _MAX_NESTING):
                    return index, chat_seen
            chat_seen = True
        elif content.__class__ is not str:
            return index, chat_seen
        elif role == "tool" and tool_traffic:
            chat_seen = True
        elif role not in _MESSAGE_ROLES:
            return index, chat_seen
    return len(items), chat_seen


def _item_fields(item: object) -> Message:
    fields = fields_of(item)
    if fields is None:
        raise _Unreadable(f"is {_described(item)}, not a message object")
    return fields


def read_history(items: Sequence[object], message_format: MessageFormat = "auto") -> Reading:
    """The history as Chat Completions messages, and which messages each item gave.

    "auto" recognises the format from the items (a history that fits several is read as
    Chat Completions); a history that mixes formats is refused. Raises MessageFormatError
    for an item that cannot be read."""
    if message_format not in ("auto", *_FORMATS):
        raise ValueError("message_format must be 'auto', 'chat', 'responses' or "
                         f"'anthropic', got {message_format!r}")
    if items.__class__ is not list and (
            not isinstance(items, Sequence) or isinstance(items, (str, bytes))):
        raise MessageFormatError(f"the history is {_described(items)}, not a list of "
                                 "messages")
    tool_traffic = message_format in ("auto", "chat")
    others: list[int] = []  # the items that are not plain messages
    end, chat_seen = _plain_run(items, 0, tool_traffic)
    while end < len(items):
        others.append(end)
        end, seen = _plain_run(items, end + 1, tool_traffic)
        chat_seen = chat_seen or seen
    if not others:
        found: Format = "chat" if message_format == "auto" else message_format
        return Reading(found, list(items), list(range(len(items) + 1)))  # type: ignore[arg-type]
    index = others[0]
    try:
        read_items = []
        for index in others:
            read_items.append(_item_fields(items[index]))
        found = _recognised(others, read_items, chat_seen) if message_format == "auto" else (
            message_format)
        read = _READERS[found]()
        messages: list[Message] = []
        bounds: list[int] = []
        done = 0  # the items before this one are read
        for index, item in zip(others, read_items):
            bounds.extend(range(len(messages), len(messages) + index - done))
            messages.extend(items[done:index])  # type: ignore[arg-type]
            bounds.append(len(messages))
            read(item, index, messages)
            done = index + 1
    except _Unreadable as exc:
        raise MessageFormatError(f"item [{index}] {exc}", index) from None
    bounds.extend(range(len(messages), len(messages) + len(items) - done + 1))
    messages.extend(items[done:])  # type: ignore[arg-type]
    return Reading(found, messages, bounds)


def as_chat_messages(items: Sequence[object], message_format: MessageFormat = "auto"
                     ) -> list[Message]:
    """The Chat Completions messages the summarizer reads of a history in any format,
    for a host that calls ``summarize_messages`` itself."""
    return prepare_messages(read_history(items, message_format).messages)


def summary_item(format: Format, role: str, text: str) -> Message:
    """The summary as an item of the history's own format. The Messages API takes its
    system prompt apart from the list, so an Anthropic history gets it as the user's."""
    if format == "responses":
        return {"type": "message", "role": role, "content": text}
    return {"role": "user" if format == "anthropic" else role, "content": text}


# -- Documents -------------------------------------------------------------------------

def history_of_document(document: object) -> tuple[list[object], MessageFormat]:
    """The history a JSON document holds, and its format where the document says it: an
    array is the history; a request body of the Chat Completions or Messages API is its
    `messages` (the Messages API's `system` text first, as a system item), one of the
    Responses API its `input` (its `instructions` first, as a developer item); a lone
    message object is a history of one."""
    if isinstance(document, list):
        return document, "auto"
    if not isinstance(document, dict):
        raise MessageFormatError(f"the document is {_described(document)}, not a JSON array "
                                 "of messages or a request body")
    if "messages" in document:
        return _messages_body(document)
    if "input" in document:
        return _responses_body(document)
    if "role" in document or "type" in document:
        return [document], "auto"
    raise MessageFormatError("the document is an object with neither messages nor input, "
                             "not a JSON array of messages or a request body")


def _messages_body(body: Message) -> tuple[list[object], MessageFormat]:
    messages = body["messages"]
    if not isinstance(messages, list):
        raise MessageFormatError(f"the document's messages is {_described(messages)}, not "
                                 "a list")
    system = body.get("system")
    if system is None:
        return messages, "auto"
    if isinstance(system, list) and all(isinstance(block, (dict, str)) for block in system):
        system = content_text(system)
    if not isinstance(system, str):
        raise MessageFormatError(f"the document's system is {_described(system)}, not text "
                                 "or a list of text blocks")
    return [{"role": "system", "content": system}, *messages], "anthropic"


def _responses_body(body: Message) -> tuple[list[object], MessageFormat]:
    given, instructions = body["input"], body.get("instructions")
    if isinstance(given, str):
        given = [{"role": "user", "content": given}]
    if not isinstance(given, list):
        raise MessageFormatError(f"the document's input is {_described(given)}, not text or "
                                 "a list of items")
    if instructions is None:
        return given, "responses"
    if not isinstance(instructions, str):
        raise MessageFormatError(f"the document's instructions is {_described(instructions)}, "
                                 "not text")
    return [{"role": "developer", "content": instructions}, *given], "responses"


def history_of_lines(lines: Sequence[tuple[int, object]]) -> list[object]:
    """The history JSON Lines hold, one item a line, given as (line number, value) pairs;
    lines that each hold a whole conversation (a fine-tuning file) are refused."""
    for index, (number, value) in enumerate(lines):
        if isinstance(value, dict) and "messages" in value:
            raise MessageFormatError(
                f"line {number} holds a whole conversation (an object with messages), as a "
                "fine-tuning file does; give one conversation: a JSON array of messages or "
                "one request body", index)
    return [value for _, value in lines]
