"""Summarize a conversation file with a stand-in client and print the Markdown block.

The stand-in client has no model behind it: its answer is empty, so the module
logs a warning and builds its basic summary from the messages alone.
"""
import asyncio
import json
import sys
from types import SimpleNamespace

from vorlin.core.summarizer import ConversationSummarizer


class OfflineClient:
    async def complete(self, *, messages, max_tokens):
        return SimpleNamespace(content="")


async def main(path: str) -> None:
    with open(path, encoding="utf-8") as f:
        messages = json.load(f)
    summarizer = ConversationSummarizer(OfflineClient())
    record = await summarizer.summarize_messages(messages)
    print(summarizer.format_summary_for_context(record))


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1] if len(sys.argv) > 1 else "examples/conversation.json"))
