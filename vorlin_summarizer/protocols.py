"""What the summarizer needs of a model client, for type checkers; nothing here runs.

The stub of ``vorlin.core.summarizer`` takes its client type from here, so the module
and this package name one contract.
"""

from __future__ import annotations

from collections.abc import Awaitable
from typing import Protocol

__all__ = ["LLMClient", "LLMResponse"]


class LLMResponse(Protocol):
    """A model's answer; the summarizer reads its text and nothing else.

    The compactor and the command also read, when a response has them, `finish_reason`
    (``"length"``: cut at the token limit), `reasoning_content` and `usage`, as
    `vorlin_summarizer.Completion` names them; a response with only `content` is whole."""

    @property
    def content(self) -> str | None: ...


class LLMClient(Protocol):
    """An object with an awaitable ``complete(*, messages, max_tokens)`` whose result has
    ``content``: what ``ConversationSummarizer`` is given.

    The summarizer sends two messages, its system prompt then the conversation, each with
    the keys ``role`` and ``content``."""

    def complete(
        self, *, messages: list[dict[str, str]], max_tokens: int
    ) -> Awaitable[LLMResponse]: ...
