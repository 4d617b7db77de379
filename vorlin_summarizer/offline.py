"""A client with no model behind it, for trying the module without a server."""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any

from .client import Completion

__all__ = ["OfflineClient"]


class OfflineClient:
    """Answers every request with empty text.

    The summarizer treats an empty answer as "no model": it logs its warning and
    returns the basic summary it builds from the messages alone.
    """

    async def complete(
        self, *, messages: Sequence[Mapping[str, Any]], max_tokens: int
    ) -> Completion:
        return Completion("")
