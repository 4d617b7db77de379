"""A client with no model behind it, for trying the module without a server, and the
module's basic summary built without one."""

from __future__ import annotations

import contextlib
import contextvars
import logging
from collections.abc import Iterator, Mapping, Sequence
from typing import Any

import vorlin.core.summarizer as module
from vorlin.core.summarizer import ConversationSummarizer

from .client import Completion

__all__ = ["OfflineClient", "basic_summary", "offline_on_purpose"]


class OfflineClient:
    """Answers every request with empty text.

    The summarizer treats an empty answer as "no model": it logs its warning and
    returns the basic summary it builds from the messages alone.
    """

    async def complete(
        self, *, messages: Sequence[Mapping[str, Any]], max_tokens: int
    ) -> Completion:
        return Completion("")


# The module's warning for an empty answer, which a basic summary asked for on purpose
# would raise for nothing.
_EMPTY_ANSWER = "Empty response from summarizer LLM"
_asked_offline: contextvars.ContextVar[bool] = contextvars.ContextVar(
    "vorlin_summarizer_offline", default=False)


def _keep(record: logging.LogRecord) -> bool:
    return not (_asked_offline.get() and record.getMessage() == _EMPTY_ANSWER)


module.logger.addFilter(_keep)


@contextlib.contextmanager
def offline_on_purpose() -> Iterator[None]:
    """Within it, the module's warning about an empty answer is left out, in this task
    only: the basic summary is what was asked for."""
    token = _asked_offline.set(True)
    try:
        yield
    finally:
        _asked_offline.reset(token)


async def basic_summary(messages: list[dict[str, Any]],
                        existing_summary: str | None = None) -> dict[str, Any]:
    """The summarizer's own summary of the messages, without a model and without its
    warning about the empty answer; other tasks' log lines are untouched."""
    with offline_on_purpose():
        return await ConversationSummarizer(OfflineClient()).summarize_messages(
            messages, existing_summary)
