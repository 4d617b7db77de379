"""Clients, a compaction policy and a console command around ``vorlin.core.summarizer``."""

from .client import Completion, CompletionError, OpenAIChatClient, Usage
from .compaction import CompactionEvent, CompactionResult, Compactor, Plan
from .offline import OfflineClient

__all__ = ["CompactionEvent", "CompactionResult", "Compactor", "Completion", "CompletionError",
           "OfflineClient", "OpenAIChatClient", "Plan", "Usage"]
