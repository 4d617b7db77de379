"""Clients and a console command around the ``vorlin.core.summarizer`` extension."""

from .client import Completion, CompletionError, OpenAIChatClient, Usage
from .offline import OfflineClient

__all__ = ["Completion", "CompletionError", "OfflineClient", "OpenAIChatClient", "Usage"]
