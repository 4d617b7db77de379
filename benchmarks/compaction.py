"""Compactor.plan on the agent workload: against a bare loop, and at two sizes.

Both figures are ratios of timings taken in this one run, each the best of interleaved
repeats, so that the machine's load falls on both sides alike:
- plan on 100,000 agent messages / a Python loop that only reads each message's
  `role` and `content` (target: 3 or less);
- plan's time per message at 100,000 / at 1,000 (target: 1.5 or less).
A third figure shows how much of the first is already spent by a loop that only reads
what the default estimate needs of each message and sums it, with no units and no cut.

Run: python benchmarks/compaction.py
"""
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from scaling import LARGE, SMALL, agent_messages  # noqa: E402
from vorlin.core.summarizer import ConversationSummarizer  # noqa: E402
from vorlin_summarizer import Compactor, OfflineClient  # noqa: E402
from vorlin_summarizer.compaction import estimate_tokens  # noqa: E402


def read_role_and_content(messages):
    for message in messages:
        message.get("role")
        message.get("content")


def read_what_the_estimate_needs(messages):
    total = 0
    for message in messages:
        content = message.get("content")
        chars = len(content) if content.__class__ is str else 0
        if message.get("role") == "assistant":
            for call in message.get("tool_calls") or ():
                call.get("id")
                fields = call.get("function")
                chars += len(fields.get("name")) + len(fields.get("arguments"))
        else:
            message.get("tool_call_id")
        total += (chars + 19) // 4  # ceil(chars / 4) + 4, in one division as plan sums it
    return total


def planner(messages):
    """plan() on a history just over its trigger point, so that every step runs."""
    tokens = sum(map(estimate_tokens, messages))
    compactor = Compactor(ConversationSummarizer(OfflineClient()), context_tokens=tokens)
    plan = compactor.plan(messages)
    assert plan.triggered and plan.progress and len(plan.chunks) >= 1
    return lambda: compactor.plan(messages)


def best_times(jobs, repeat):
    """Per job, the best of `repeat` timings, taken round-robin."""
    best = {name: float("inf") for name in jobs}
    for _ in range(repeat):
        for name, (job, number) in jobs.items():
            start = time.perf_counter()
            for _ in range(number):
                job()
            best[name] = min(best[name], (time.perf_counter() - start) / number)
    return best


def main():
    large = agent_messages(LARGE)
    small = large[:SMALL]
    times = best_times({
        "loop": (lambda: read_role_and_content(large), 1),
        "estimate reads": (lambda: read_what_the_estimate_needs(large), 1),
        "plan": (planner(large), 1),
        "plan small": (planner(small), 50),
    }, repeat=15)
    against_loop = times["plan"] / times["loop"]
    growth = (times["plan"] / LARGE) / (times["plan small"] / SMALL)
    print(f"plan, {LARGE:,} agent messages / loop reading role and content: {against_loop:.2f}"
          f" (target 3)")
    print(f"plan, time per message at {LARGE:,} / at {SMALL:,}: {growth:.2f} (target 1.5)")
    print(f"loop reading what the estimate needs / loop reading role and content: "
          f"{times['estimate reads'] / times['loop']:.2f}")
    print(f"plan, {LARGE:,} messages: {times['plan'] * 1e3:.1f} ms")


if __name__ == "__main__":
    main()
