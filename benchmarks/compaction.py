"""The compactor's cost per agent turn, and the requests one compaction sends.

Every figure is a ratio of timings taken in this one run, each the best of interleaved
repeats, so that the machine's load falls on both sides alike:
- `plan` on an agent history grown by a few messages since the last plan (what each agent
  turn costs) / the plan before the reading layer and the token estimate
  (`baseline_plan.py`: about four characters a token, Chat only), at 1,000 and 10,000
  messages (target: 1.5 or less);
- the first `plan` of a long history, whose texts the estimate has not seen yet, on the
  same scale;
- `plan` on the same history as Responses items and as Anthropic messages / as Chat;
- requests one compaction sends for a tool-heavy history / the least its transcript needs.

Run: python benchmarks/compaction.py
"""
import json
import math
import random
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import baseline_plan  # noqa: E402
from scaling import agent_messages  # noqa: E402
from vorlin.core.summarizer import ConversationSummarizer  # noqa: E402
from vorlin_summarizer import Compactor, OfflineClient  # noqa: E402
from vorlin_summarizer.chunks import transcript_tokens  # noqa: E402
from vorlin_summarizer.formats import as_chat_messages  # noqa: E402

SIZES = (1_000, 10_000)
GROWTH = 4  # messages an agent turn adds: a call, its result, and a reply around them
CONTEXT = 10**9  # plans that never trigger: what every turn below the trigger costs


def as_responses(messages):
    items = []
    for message in messages:
        if message["role"] == "tool":
            items.append({"type": "function_call_output", "call_id": message["tool_call_id"],
                          "output": message["content"]})
        elif message.get("tool_calls"):
            items += [{"type": "function_call", "call_id": call["id"],
                       "name": call["function"]["name"],
                       "arguments": call["function"]["arguments"]}
                      for call in message["tool_calls"]]
        else:
            items.append({"type": "message", "role": message["role"],
                          "content": [{"type": "input_text", "text": message["content"]}]})
    return items


def as_anthropic(messages):
    items = []
    for message in messages:
        if message["role"] == "tool":
            items.append({"role": "user", "content": [
                {"type": "tool_result", "tool_use_id": message["tool_call_id"],
                 "content": message["content"]}]})
        elif message.get("tool_calls"):
            items.append({"role": "assistant", "content": [
                {"type": "tool_use", "id": call["id"], "name": call["function"]["name"],
                 "input": json.loads(call["function"]["arguments"])}
                for call in message["tool_calls"]]})
        else:
            items.append({"role": message["role"], "content": message["content"]})
    return items


def turns(size, convert=lambda messages: messages, repeat=15):
    """A history of `size` messages, and `repeat` continuations of it, each a few new
    messages longer, in the format `convert` makes."""
    history = agent_messages(size + GROWTH * repeat)
    base = history[:size]
    return convert(base), [convert(base + history[size + GROWTH * r:size + GROWTH * (r + 1)])
                           for r in range(repeat)]


def compactor():
    return Compactor(ConversationSummarizer(OfflineClient()), context_tokens=CONTEXT)


def best_of(jobs, repeat=15):
    """Per job, the best of `repeat` timings, taken round-robin; a job is a function of
    the repeat's number."""
    best = {name: math.inf for name in jobs}
    for number in range(repeat):
        for name, job in jobs.items():
            start = time.perf_counter()
            job(number)
            best[name] = min(best[name], time.perf_counter() - start)
    return best


def per_turn(size):
    jobs = {}
    for name, convert in (("chat", lambda m: m), ("responses", as_responses),
                          ("anthropic", as_anthropic)):
        base, grown = turns(size, convert)
        planner = compactor()
        planner.plan(base)  # the turn before: every older text has been counted
        jobs[name] = lambda r, planner=planner, grown=grown: planner.plan(grown[r])
    base, grown = turns(size)
    jobs["baseline"] = lambda r: baseline_plan.plan(grown[r], CONTEXT // 4)
    jobs["first plan"] = lambda r: compactor().plan(grown[r])
    return best_of(jobs)


def requests_per_compaction():
    """600 tool calls with about 2 million tokens of output, compacted in one go."""
    rng = random.Random(3)
    history = [{"role": "user", "content": "Find why the nightly build is slow."}]
    for n in range(600):
        arguments = json.dumps({"path": f"/var/log/build/{n}.log", "tail": rng.randint(10, 99)})
        history.append({"role": "assistant", "content": None, "tool_calls": [
            {"id": f"call_{n}", "type": "function",
             "function": {"name": "read_log", "arguments": arguments}}]})
        history.append({"role": "tool", "tool_call_id": f"call_{n}",
                        "content": "".join(f"{rng.random():.6f} step {i} ok\n"
                                           for i in range(700))})
    history.append({"role": "user", "content": "Summarize what you found."})
    chosen = Compactor(ConversationSummarizer(OfflineClient()), context_tokens=128_000)
    plan = chosen.plan(history)
    sent = sum(map(transcript_tokens, as_chat_messages(plan.summarized)))
    return len(plan.chunks), math.ceil(sent / chosen.summary_input_tokens), plan.tokens


def main():
    for size in SIZES:
        times = per_turn(size)
        base = times["baseline"]
        print(f"plan, {size:,} agent messages grown by {GROWTH} since the last plan / "
              f"baseline: {times['chat'] / base:.2f} (target 1.5)")
        print(f"  first plan of the history / baseline: {times['first plan'] / base:.2f}")
        print(f"  Responses items / Chat: {times['responses'] / times['chat']:.2f}; "
              f"Anthropic messages / Chat: {times['anthropic'] / times['chat']:.2f}")
    sent, least, tokens = requests_per_compaction()
    print(f"requests for {tokens:,} tokens of tool output: {sent}, "
          f"the transcript needs {least} at least: {sent / least:.2f}")


if __name__ == "__main__":
    main()
