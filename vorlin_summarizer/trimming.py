"""Tool results cut to a size, for a kept part that would not fit the window otherwise.

The host's items are never modified: an item with a result that is too long is copied,
its result's text cut, and a marker says how much was cut.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

from .formats import Format, fields_of
from .tokens import estimate_text_tokens

__all__ = ["trim_results"]


def _cut(text: str, max_tokens: int) -> str:
    tokens = estimate_text_tokens(text)
    if tokens <= max_tokens:
        return text
    keep = len(text) * max_tokens // tokens
    return (text[:keep] + f"\n[{len(text) - keep} of {len(text)} characters of this tool "
            "result were cut to fit the context window]")


def _cut_content(content: object, max_tokens: int) -> object:
    """Text, or a list of text parts or blocks, cut; anything else as it is."""
    if isinstance(content, str):
        return _cut(content, max_tokens)
    if not isinstance(content, list):
        return content
    return [{**part, "text": _cut(part["text"], max_tokens)}
            if isinstance(part, Mapping) and isinstance(part.get("text"), str) else part
            for part in content]


def _cut_blocks(content: object, max_tokens: int) -> object:
    """An Anthropic user message's blocks, each tool result's content cut."""
    if not isinstance(content, list):
        return content
    blocks = []
    for block in content:
        data = fields_of(block)
        if data is not None and data.get("type") == "tool_result":
            cut = _cut_content(data.get("content"), max_tokens)
            if cut != data.get("content"):
                block = {**data, "content": cut}
        blocks.append(block)
    return blocks


def _result_field(data: Mapping[str, Any], history_format: Format) -> str | None:
    """Where an item holds a tool result, if it holds one."""
    if history_format == "responses":
        kind = data.get("type")
        return "output" if kind in ("function_call_output", "custom_tool_call_output") else None
    if history_format == "anthropic":
        return "content" if data.get("role") == "user" else None
    return "content" if data.get("role") == "tool" else None


def _trimmed(item: object, history_format: Format, max_tokens: int) -> object:
    data = fields_of(item)
    key = None if data is None else _result_field(data, history_format)
    if data is None or key is None:
        return item
    cut = (_cut_blocks if history_format == "anthropic" else _cut_content)(data.get(key), max_tokens)
    return item if cut == data.get(key) else {**data, key: cut}


def trim_results(items: list[Any], history_format: Format, max_tokens: int) -> list[Any]:
    """The items, each holding a tool result longer than `max_tokens` replaced by a copy
    with the result cut."""
    return [_trimmed(item, history_format, max_tokens) for item in items]
