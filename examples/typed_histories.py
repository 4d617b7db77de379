"""A host typed with the SDKs' own message types: each history goes through `compact` and
comes back as the same type, with no cast (checked by mypy --strict in CI)."""

from __future__ import annotations

from anthropic.types import MessageParam
from openai.types.chat import ChatCompletionMessageParam
from openai.types.responses import ResponseInputItemParam

from vorlin_summarizer import Compactor


async def next_chat_turn(compactor: Compactor,
                         history: list[ChatCompletionMessageParam]) -> list[ChatCompletionMessageParam]:
    history.append({"role": "user", "content": "Now run the tests."})
    history = (await compactor.compact(history)).messages
    return history


async def next_responses_turn(compactor: Compactor,
                              history: list[ResponseInputItemParam]) -> list[ResponseInputItemParam]:
    history.append({"type": "function_call_output", "call_id": "call_1", "output": "3 passed"})
    history = (await compactor.compact(history, conversation="responses")).messages
    return history


async def next_anthropic_turn(compactor: Compactor,
                              history: list[MessageParam]) -> list[MessageParam]:
    history.append({"role": "user", "content": [
        {"type": "tool_result", "tool_use_id": "toolu_1", "content": "3 passed"}]})
    history = (await compactor.compact(history, conversation="anthropic")).messages
    return history
