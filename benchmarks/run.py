"""Benchmarks: the extension against its pure-Python twin and against floors.

A floor is the least work a job needs, written in C on the interpreter's own
API (benchmarks/floor.c, compiled here with the interpreter's own compiler
flags). Every figure comes from this one run (best of several repeats), and
the judged figure is a ratio, so machines and loads cancel out.
Run: python benchmarks/run.py (needs the C compiler the interpreter was built with).
"""
import importlib.util
import json
import random
import shlex
import subprocess
import sys
import sysconfig
import tempfile
import timeit
import tracemalloc
from pathlib import Path
from types import SimpleNamespace

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

import twin  # noqa: E402
import vorlin.core.summarizer as ext  # noqa: E402


def build_floor(directory):
    """Compiles floor.c into `directory` and imports it as _floor."""
    config = sysconfig.get_config_var
    if not config("CC") or not config("LDSHARED"):
        sys.exit("benchmarks: this interpreter names no C compiler (sysconfig CC, LDSHARED)")
    target = Path(directory) / ("_floor" + config("EXT_SUFFIX"))
    obj = Path(directory) / "floor.o"
    steps = [
        [*shlex.split(config("CC")), *shlex.split(config("CFLAGS") or ""), *shlex.split(config("CCSHARED") or ""),
         "-I", sysconfig.get_paths()["include"], "-c", str(HERE / "floor.c"), "-o", str(obj)],
        [*shlex.split(config("LDSHARED")), str(obj), "-o", str(target)],
    ]
    for step in steps:
        done = subprocess.run(step, capture_output=True, text=True)
        if done.returncode != 0:
            sys.exit(f"benchmarks: building the floors failed:\n{shlex.join(step)}\n{done.stderr}")
    spec = importlib.util.spec_from_file_location("_floor", target)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def best(fn, number=5, repeat=15):
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number


def interleaved_best(fns, window=0.001, repeat=15):
    """The best time of each function, timed in turns and in windows of about
    the same length: a stretch of load from elsewhere on the machine then
    slows all of them alike, not the one whose window is longest."""
    timers = [timeit.Timer(fn) for fn in fns]
    numbers = [max(1, round(window / min(timer.repeat(3, 1)))) for timer in timers]
    rounds = [[timer.timeit(n) / n for timer, n in zip(timers, numbers)] for _ in range(repeat)]
    return [min(times) for times in zip(*rounds)]


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


class Row:
    """One workload: the extension's time, the twin's, the floor's, and the
    largest ratio extension / floor that the module is held to."""

    def __init__(self, name, floor_name, target, ext_fn, twin_fn, floor_fn):
        self.name, self.floor_name, self.target = name, floor_name, target
        self.floor_fn = floor_fn
        self.ext, self.twin, self.floor = interleaved_best((ext_fn, twin_fn, floor_fn))

    @property
    def ratio(self):
        return self.ext / self.floor


def requested(summarizer, messages):
    """The system text and the user instruction that one call sends its client."""
    coroutine = summarizer.summarize_messages(messages)
    sent = coroutine.send(None).kwargs["messages"]
    coroutine.close()
    return sent[0]["content"], sent[1]["content"]


def workloads():
    rng = random.Random(7)
    w = SimpleNamespace(chat=chat_workload(rng), agent=agent_workload(rng))
    w.answer, w.body = fenced_answer()
    w.short = [{"role": "user" if i % 2 else "assistant", "content": f"message {i}"} for i in range(200)]
    w.reply = json.dumps({"goals": ["g" * 100] * 10, "summary": "s" * 800})
    w.record = {k: [f"item {i}" for i in range(50)]
                for k in ("goals", "progress", "key_decisions", "key_facts", "blockers", "next_steps")}
    w.record.update(current_state="working", summary="narrative")
    return w


def time_rows(floor, w):
    client = InstantClient(w.reply)
    ext_summarizer = ext.ConversationSummarizer(client)
    twin_summarizer = twin.ConversationSummarizer(client)
    system_text, instruction = requested(ext.ConversationSummarizer(PendingClient()), w.short)
    transcript = ext._format_messages_for_summary(w.chat)
    rendered = ext_summarizer.format_summary_for_context(w.record)
    drive = floor.drive
    return [
        Row("transcript, 2,000 chat turns", "role + content of each, tool_calls of each assistant turn, one copy", 1.3,
            lambda: ext._format_messages_for_summary(w.chat), lambda: twin._format_messages_for_summary(w.chat),
            lambda: floor.chat(w.chat, transcript)),
        Row("transcript, 2,000 agent messages", "json.loads of each argument text + one join of the contents", 1.3,
            lambda: ext._format_messages_for_summary(w.agent), lambda: twin._format_messages_for_summary(w.agent),
            lambda: floor.agent(w.agent)),
        Row("_parse_summary, fenced 20 KB", "json.loads of the object alone", 1.3,
            lambda: ext._parse_summary(w.answer), lambda: twin._parse_summary(w.answer),
            lambda: floor.parse(w.body)),
        Row("_fallback_summary, 2,000 chat turns", "role of each, content of each user turn, the record", 1.5,
            lambda: ext._fallback_summary(w.chat), lambda: twin._fallback_summary(w.chat),
            lambda: floor.fallback(w.chat)),
        Row("summarize_messages, 200 messages", "chat floor + the client's call driven once + json.loads", 1.3,
            lambda: drive(ext_summarizer.summarize_messages(w.short)),
            lambda: drive(twin_summarizer.summarize_messages(w.short)),
            lambda: floor.summarize(w.short, system_text, instruction, client)),
        Row("format_summary_for_context, 50 items a list", "each item's length read + one copy", 3.0,
            lambda: ext_summarizer.format_summary_for_context(w.record),
            lambda: twin_summarizer.format_summary_for_context(w.record),
            lambda: floor.render(w.record, rendered)),
    ]


def check_floors(rows, w):
    """Each floor makes what its row's function makes, or the part of it that
    the floor stands for (a floor that made the wrong thing would time the
    wrong work)."""
    transcript, agent, parse, fallback, summarize, render = (row.floor_fn() for row in rows)
    assert transcript == ext._format_messages_for_summary(w.chat)
    assert agent == "\n".join(m["content"] for m in w.agent)
    assert parse == json.loads(w.body)
    expected = ext._fallback_summary(w.chat)
    assert list(fallback) == list(expected) and fallback["summary"] == expected["summary"]
    assert summarize == json.loads(w.reply)
    assert render == ext.ConversationSummarizer(None).format_summary_for_context(w.record)


def main():
    with tempfile.TemporaryDirectory(prefix="vorlin-floor-") as directory:
        floor = build_floor(directory)
    w = workloads()
    rows = time_rows(floor, w)
    check_floors(rows, w)
    width = max(len(row.name) for row in rows)
    print(f"{'workload':<{width}}  {'ext µs':>9}  {'twin µs':>9}  {'floor µs':>9}  {'ext/floor':>9}  target")
    for row in rows:
        verdict = "met" if row.ratio <= row.target else "MISSED"
        print(f"{row.name:<{width}}  {row.ext * 1e6:9.2f}  {row.twin * 1e6:9.2f}  {row.floor * 1e6:9.2f}"
              f"  {row.ratio:9.2f}  <= {row.target} {verdict}")
    print()
    for row in rows:
        print(f"floor of {row.name}: {row.floor_name}")
    print()
    peak = peak_extra_memory(lambda: ext._format_messages_for_summary(w.agent))
    print(f"transcript, agent: peak extra memory / result size  {peak:.2f}  "
          f"<= 1.5 {'met' if peak <= 1.5 else 'MISSED'}")
    own, held = pending_call_bytes(w.short[:20])
    print(f"10,000 pending calls: bytes held per call / its request  {(own + held) / held:.2f} "
          f"({own:.0f} bytes of its own beside its request of {held:.0f})")


if __name__ == "__main__":
    main()
