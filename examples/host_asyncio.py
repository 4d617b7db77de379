"""A host whose agent loop keeps the history inside its model's window.

Run: python examples/host_asyncio.py [conversation.json]

The loop replays a recorded conversation as an agent would live it: each message of the
user, the agent or a tool joins the history, and before each request to the agent's
model the compactor looks at the history. Once it has grown past 80% of the window, the
oldest part becomes one summary message; an assistant's tool calls and their results are
never parted, so the next chat request stays valid. A host writes three lines: make the
compactor, compact before each request, send the history it gives back.

The client below stands in for a real model: it answers with a fixed JSON summary, so the
example runs anywhere. Replace the body of ``complete`` with a call to your own model;
the summarizer needs nothing from the result but its ``content`` text.
"""

from __future__ import annotations

import asyncio
import json
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from vorlin.core.summarizer import ConversationSummarizer
from vorlin_summarizer import Compactor

CONTEXT_TOKENS = 600  # a tiny window, so that the short sample fills it


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


async def agent_loop(recorded: list[dict[str, Any]]) -> list[dict[str, Any]]:
    model = ScriptedModel()
    compactor = Compactor(ConversationSummarizer(model), context_tokens=CONTEXT_TOKENS)
    history: list[dict[str, Any]] = [{"role": "system", "content": "You are a coding agent."}]
    for message in recorded:
        history.append(message)
        if message["role"] == "assistant":
            continue  # the agent model answered; a tool or the user speaks next
        result = await compactor.compact(history)
        history = result.messages  # then send `history` to the agent model
        print(f"{len(history):2} messages, about {result.tokens_after:4} tokens: "
              f"{result.outcome}")
    print(f"summary requests sent: {len(model.requests)}")
    return history


def main(path: Path) -> None:
    with open(path, encoding="utf-8") as f:
        recorded: list[dict[str, Any]] = json.load(f)
    history = asyncio.run(agent_loop(recorded))
    print()
    print(history[1]["content"])


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else
         Path(__file__).with_name("conversation.json"))
