"""Clients, a compaction policy and a console command around ``vorlin.core.summarizer``."""

from typing import TYPE_CHECKING

from .client import Completion, CompletionError, OpenAIChatClient, Usage
from .compaction import CompactionEvent, CompactionResult, Compactor, Plan
from .formats import MessageFormatError, as_chat_messages
from .offline import OfflineClient
from .protocols import LLMClient
from .tokens import estimate_tokens, reported_prompt_tokens, tiktoken_counter

__all__ = ["CompactionEvent", "CompactionResult", "Compactor", "Completion", "CompletionError",
           "LLMClient", "MessageFormatError", "OfflineClient", "OpenAIChatClient", "Plan",
           "Usage", "as_chat_messages", "estimate_tokens", "reported_prompt_tokens",
           "tiktoken_counter"]

if TYPE_CHECKING:  # the package's own clients keep to the contract the summarizer is typed with
    _CLIENTS: tuple[type[LLMClient], ...] = (OfflineClient, OpenAIChatClient)
