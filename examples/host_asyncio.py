"""A host that keeps an agent's context small by summarizing its oldest messages.

Run: python examples/host_asyncio.py [conversation.json]

The client below stands in for a real model: it answers with a fixed JSON summary, so the
example runs anywhere. Replace the body of ``complete`` with a call to your own model;
the summarizer needs nothing from the result but its ``content`` text.
"""

from __future__ import annotations

import asyncio
import json
import sys
from dataclasses import dataclass

from vorlin.core.summarizer import ConversationSummarizer

KEEP_RECENT = 3  # messages that stay verbatim in the context


@dataclass(frozen=True)
class Reply:
    content: str | None


class ScriptedModel:
    """Answers every summary request with the same JSON object, as a model might."""

    def __init__(self) -> None:
        self.requests: list[list[dict[str, str]]] = []

    async def complete(self, *, messages: list[dict[str, str]], max_tokens: int) -> Reply:
        self.requests.append(messages)
        await asyncio.sleep(0)  # where a real client would wait for the network
        answer = {
            "goals": ["Add retry with exponential backoff to the HTTP client"],
            "progress": ["Read src/net/client.py", "Wrapped get() in a retry loop"],
            "current_state": "Running the network tests",
            "key_decisions": ["Retry GETs only: POSTs are not idempotent"],
            "key_facts": ["Client lives in src/net/client.py"],
            "blockers": [],
            "next_steps": ["Fix the failing tests"],
            "summary": "The agent added retries to the HTTP client and is testing them.",
        }
        return Reply("```json\n" + json.dumps(answer, indent=2) + "\n```")


@dataclass
class Context:
    system_prompt: str
    messages: list[dict[str, object]]


async def compact(
    summarizer: ConversationSummarizer,
    context: Context,
    previous_summary: str | None = None,
) -> Context:
    """Replace all but the most recent messages with a summary block."""
    if len(context.messages) <= KEEP_RECENT:
        return context
    old = context.messages[:-KEEP_RECENT]
    record = await summarizer.summarize_messages(old, existing_summary=previous_summary)
    block = summarizer.format_summary_for_context(record)
    return Context(context.system_prompt + "\n\n" + block, context.messages[-KEEP_RECENT:])


async def main(path: str) -> None:
    with open(path, encoding="utf-8") as f:
        messages: list[dict[str, object]] = json.load(f)
    model = ScriptedModel()
    summarizer = ConversationSummarizer(model)
    context = await compact(summarizer, Context("You are a coding agent.", messages))
    print(context.system_prompt)
    print(f"\n({len(context.messages)} recent messages kept, "
          f"{len(model.requests)} summary request sent)")


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1] if len(sys.argv) > 1 else "examples/conversation.json"))
