"""Clients, a compaction policy and a console command around ``vorlin.core.summarizer``."""

from typing import TYPE_CHECKING

from .client import Completion, CompletionError, OpenAIChatClient, Usage
from .compaction import CompactionEvent, CompactionResult, Compactor, Plan
from .offline import OfflineClient
from .protocols import LLMClient

__all__ = ["CompactionEvent", "CompactionResult", "Compactor", "Completion", "CompletionError",
           "LLMClient", "OfflineClient", "OpenAIChatClient", "Plan", "Usage"]

if TYPE_CHECKING:  # the package's own clients keep to the contract the summarizer is typed with
    _CLIENTS: tuple[type[LLMClient], ...] = (OfflineClient, OpenAIChatClient)
