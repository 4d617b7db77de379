"""Scaling: time per message at 1,000 and at 100,000 messages of the agent mix.

Each figure is (time per message at 100,000) / (time per message at 1,000);
near 1 means the work grows linearly with the chunk, and the target is 1.5 or
less. 100,000 distinct messages (about 150 MB with their tool results) no longer
fit in the processor's caches, so their figure also holds the cost of fetching
every message from memory: the "floor" row, a Python loop that only reads each
message's role, shows that cost for this machine. The "1,000 repeated" rows walk
the same 1,000 messages 100 times: the same amount of work with the memory
effect taken out, so they show the growth of the functions themselves.

Run: python benchmarks/scaling.py (run.py may also import rows()).
"""
import random
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

SMALL, LARGE = 1_000, 100_000
TARGET = 1.5


def _house():
    """run.py's helpers, imported on first use so that run.py may import this module."""
    import run
    return run


def agent_messages(count, seed=7):
    """`count` messages of run.py's agent workload (tool calls and their results)."""
    rng = random.Random(seed)
    messages = []
    while len(messages) < count:
        messages += _house().agent_workload(rng)
    return messages[:count]


def per_message(fn, messages):
    """Best time of one call of fn(messages), divided by the number of messages."""
    runs = max(1, 20_000 // len(messages))
    # A long list is timed more often: one cold pass over it varies a lot from run to run.
    return _house().best(lambda: fn(messages), number=runs, repeat=15 if runs == 1 else 7) / len(messages)


def read_roles(messages):
    for message in messages:
        message.get("role")


def rows():
    """(name, per-message time at LARGE / at SMALL, whether the target applies)."""
    ext = _house().ext
    small = agent_messages(SMALL)
    distinct = agent_messages(LARGE)
    repeated = small * (LARGE // SMALL)
    result = []
    for name in ("_format_messages_for_summary", "_fallback_summary"):
        fn = getattr(ext, name)
        fn(distinct)  # let the allocator grow to the large size before timing
        base = per_message(fn, small)
        result.append((f"{name}: {LARGE:,} distinct / {SMALL:,}", per_message(fn, distinct) / base, False))
        result.append((f"{name}: {SMALL:,} repeated / {SMALL:,}", per_message(fn, repeated) / base, True))
    result.append((f"floor, reading each role: {LARGE:,} distinct / {SMALL:,}",
                   per_message(read_roles, distinct) / per_message(read_roles, small), False))
    return result


def main():
    results = rows()
    width = max(len(name) for name, _, _ in results)
    for name, ratio, _ in results:
        print(f"{name:<{width}}  {ratio:6.2f}")
    worst = max(ratio for _, ratio, judged in results if judged)
    print(f"target for the repeated rows: {TARGET} or less; {'met' if worst <= TARGET else 'MISSED'}")


if __name__ == "__main__":
    main()
