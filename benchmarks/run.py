"""Benchmarks: the extension against its pure-Python twin and against floors.

Every figure is a ratio of two timings taken in this one run (best of several
repeats), so machines and loads cancel out. Run: python benchmarks/run.py
"""
import asyncio
import json
import random
import sys
import timeit
import tracemalloc
from pathlib import Path
from types import SimpleNamespace

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

import twin  # noqa: E402
import vorlin.core.summarizer as ext  # noqa: E402


def best(fn, number=5, repeat=7):
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number


def chat_workload(rng):
    return [
        {"role": rng.choice(["user", "assistant"]), "content": "x" * rng.randint(1, 200)}
        for _ in range(2000)
    ]


def agent_workload(rng):
    messages = []
    for i in range(1000):
        arguments = json.dumps({"path": f"/src/file_{i}.py", "query": "q" * rng.randint(5, 150)})
        messages.append({"role": "assistant", "content": "",
                         "tool_calls": [{"id": f"c{i}", "function": {"name": "read", "arguments": arguments}}]})
        messages.append({"role": "tool", "tool_call_id": f"c{i}", "content": "r" * rng.randint(200, 2000)})
    return messages


def agent_floor(messages):
    def floor():
        entries = []
        for m in messages:
            for tc in m.get("tool_calls") or ():
                json.loads(tc["function"]["arguments"])
            entries.append(m["content"])
        return "\n".join(entries)
    return floor


def peak_extra_memory(fn):
    tracemalloc.start()
    result = fn()
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    return peak / sys.getsizeof(result)


def fenced_answer():
    record = {k: [f"item {i} " + "y" * 60 for i in range(30)] for k in ("goals", "progress", "key_facts", "key_decisions", "blockers", "next_steps")}
    record["current_state"] = "s" * 500
    record["summary"] = "n" * 2000
    body = json.dumps(record, indent=2)
    return "```json\n" + body + "\n```", body


class InstantClient:
    def __init__(self, answer):
        self.response = SimpleNamespace(content=answer)

    async def complete(self, *, messages, max_tokens):
        return self.response


def drive(coroutine):
    try:
        coroutine.send(None)
    except StopIteration as stop:
        return stop.value
    raise AssertionError("the client answered at once; nothing should suspend")


class Pending:
    """Holds the request, as a client does until its answer comes."""

    def __init__(self, kwargs):
        self.kwargs = kwargs

    def __await__(self):
        yield self


class PendingClient:
    def complete(self, **kwargs):
        return Pending(kwargs)


def request_bytes(pending):
    """What the client holds of one request: its awaitable, the keywords, the
    message list and the two messages with their texts."""
    kwargs = pending.kwargs
    messages = kwargs["messages"]
    size = sys.getsizeof(pending) + sys.getsizeof(pending.__dict__) + sys.getsizeof(kwargs)
    size += sys.getsizeof(messages) + sum(sys.getsizeof(m) for m in messages)
    return size + sys.getsizeof(messages[0]["content"])


def pending_call_bytes(messages, calls=10_000):
    """Bytes each pending call holds beyond its request (the transcript travels in it)."""
    summarizer = ext.ConversationSummarizer(PendingClient())
    tracemalloc.start()
    before, _ = tracemalloc.get_traced_memory()
    coroutines = [summarizer.summarize_messages(messages) for _ in range(calls)]
    pendings = [c.send(None) for c in coroutines]
    after, _ = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    held = sum(request_bytes(p) for p in pendings)
    for c in coroutines:
        c.close()
    return (after - before - held) / calls, held / calls


def main():
    rng = random.Random(7)
    rows = []
    chat = chat_workload(rng)
    rows.append(("transcript, chat: twin / ext",
                 best(lambda: twin._format_messages_for_summary(chat)) / best(lambda: ext._format_messages_for_summary(chat))))
    agent = agent_workload(rng)
    rows.append(("transcript, agent: ext / floor",
                 best(lambda: ext._format_messages_for_summary(agent)) / best(agent_floor(agent))))
    rows.append(("transcript, agent: twin / floor",
                 best(lambda: twin._format_messages_for_summary(agent)) / best(agent_floor(agent))))
    rows.append(("transcript, agent: peak extra memory / result size",
                 peak_extra_memory(lambda: ext._format_messages_for_summary(agent))))
    answer, body = fenced_answer()
    rows.append(("parse, fenced 20 KB: ext / json.loads",
                 best(lambda: ext._parse_summary(answer), 50) / best(lambda: json.loads(body), 50)))
    rows.append(("parse, fenced 20 KB: twin / json.loads",
                 best(lambda: twin._parse_summary(answer), 50) / best(lambda: json.loads(body), 50)))
    rows.append(("fallback, 2000 messages: twin / ext",
                 best(lambda: twin._fallback_summary(chat)) / best(lambda: ext._fallback_summary(chat))))
    short = [{"role": "user" if i % 2 else "assistant", "content": f"message {i}"} for i in range(200)]
    reply = json.dumps({"goals": ["g" * 100] * 10, "summary": "s" * 800})
    ext_summarizer = ext.ConversationSummarizer(InstantClient(reply))
    twin_summarizer = twin.ConversationSummarizer(InstantClient(reply))
    rows.append(("summarize_messages, 200 messages: twin / ext",
                 best(lambda: drive(twin_summarizer.summarize_messages(short)), 50)
                 / best(lambda: drive(ext_summarizer.summarize_messages(short)), 50)))
    record = {k: [f"item {i}" for i in range(50)] for k in ("goals", "progress", "key_decisions", "key_facts", "blockers", "next_steps")}
    record.update(current_state="working", summary="narrative")
    rows.append(("format_summary_for_context, 50 items: twin / ext",
                 best(lambda: twin_summarizer.format_summary_for_context(record), 50)
                 / best(lambda: ext_summarizer.format_summary_for_context(record), 50)))
    own, held = pending_call_bytes(short[:20])
    rows.append(("10,000 pending calls: (bytes held per call) / (its request)", (own + held) / held))
    width = max(len(name) for name, _ in rows)
    for name, ratio in rows:
        print(f"{name:<{width}}  {ratio:6.2f}")
    print(f"each pending call holds {own:.0f} bytes of its own beside its request of {held:.0f}")


if __name__ == "__main__":
    main()
