"""The model client under faults and load, and its cost per request.

A local server in a child process answers one request in five with 429, 503 or a reset
connection, at random. 500 concurrent summarize_messages calls go through one
OpenAIChatClient; the script checks that every call ends with a record, that the
fallbacks are exactly the calls whose every attempt failed, that no call outlives its
deadline, and that the open file descriptors are back to where they were after aclose.
Then it times the client's complete() against a bare httpx POST of the same body on the
same server, as a ratio. Run: python benchmarks/client_load.py
"""
import asyncio
import json
import logging
import os
import random
import re
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

CALLS = 500
FAULT_RATE = 0.2
TIMEOUT = 20.0  # each call's deadline, seconds
MAX_RETRIES = 2
BATCH, BATCHES = 50, 40  # requests timed together; batches of each kind
CALL_ID = re.compile(r"\[User\]: call (\d+)$")


def serve(seed):
    """The child: a fault-injecting server; prints its URL, then at EOF its request log."""
    from openai_server import OpenAIServer, Reply

    rng = random.Random(seed)
    log = []  # (call id, what the server did), in the order requests arrived
    faults = {"429": Reply(429, "rate limited"), "503": Reply(503, "overloaded"),
              "reset": Reply(reset=True)}

    def choose(request):
        found = CALL_ID.search(request.body["messages"][0]["content"])
        if found is None:  # the overhead rounds: always answered
            return Reply()
        fault = rng.choice(sorted(faults)) if rng.random() < FAULT_RATE else "ok"
        log.append((int(found[1]), fault))
        return faults.get(fault, Reply())

    server = OpenAIServer(choose).start()
    print(server.base_url, flush=True)
    sys.stdin.read()
    server.stop()
    print(json.dumps(log), flush=True)


class Counting(logging.Handler):
    """Counts the log records by logger, and keeps them off the terminal."""

    def __init__(self):
        super().__init__()
        self.counts = {}

    def emit(self, record):
        self.counts[record.name, record.levelname] = self.counts.get(
            (record.name, record.levelname), 0) + 1


def open_fds():
    return len(os.listdir("/proc/self/fd"))


async def load(base_url, summarizer_module, client_module):
    client = client_module.OpenAIChatClient(base_url, "bench-model", timeout=TIMEOUT,
                                            max_retries=MAX_RETRIES)
    summarizer = summarizer_module.ConversationSummarizer(client)
    baseline = open_fds()

    async def call(n):
        started = time.monotonic()
        record = await summarizer.summarize_messages([{"role": "user", "content": f"call {n}"}])
        return n, record, time.monotonic() - started

    async with client:
        results = await asyncio.gather(*(call(n) for n in range(CALLS)))
        during = open_fds()
    return results, baseline, during, open_fds()


async def overhead(base_url, body_messages, client_module):
    """Seconds per request through complete() and through a bare POST: the best batch."""
    import httpx

    batches = {"client": [], "bare": []}
    async with client_module.OpenAIChatClient(base_url, "bench-model") as client, \
            httpx.AsyncClient(timeout=60.0) as http:
        url = client.url
        body = {"model": "bench-model", "messages": body_messages, "max_tokens": 2048}
        headers = {"Accept": "application/json"}

        async def with_client():
            await client.complete(messages=body_messages, max_tokens=2048)

        async def bare():
            (await http.post(url, json=body, headers=headers)).raise_for_status()

        runs = [("client", with_client), ("bare", bare)]
        for _, fn in runs:  # open each pool's connection before timing
            await fn()
        # Short batches, alternating which goes first, so that a burst of load from
        # elsewhere on the machine falls on both alike.
        for batch in range(BATCHES):
            for name, fn in runs[::-1] if batch % 2 else runs:
                started = time.perf_counter()
                for _ in range(BATCH):
                    await fn()
                batches[name].append((time.perf_counter() - started) / BATCH)
    return min(batches["client"]), min(batches["bare"])


def main():
    if sys.argv[1:2] == ["--serve"]:
        serve(int(sys.argv[2]))
        return
    import vorlin.core.summarizer as summarizer_module
    import vorlin_summarizer as client_module
    from openai_server import CANNED

    seed = int(sys.argv[1]) if len(sys.argv) > 1 else 13
    logs = Counting()
    logging.getLogger().addHandler(logs)
    child = subprocess.Popen([sys.executable, __file__, "--serve", str(seed)],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        base_url = child.stdout.readline().strip()
        started = time.monotonic()
        results, baseline, during, after = asyncio.run(
            load(base_url, summarizer_module, client_module))
        wall = time.monotonic() - started
        messages = [{"role": "system", "content": summarizer_module.SUMMARIZE_PROMPT
                     + "\n\n\n## Conversation to Summarize:\n[User]: timed"},
                    {"role": "user", "content": "Summarize the conversation above. "
                     "Return ONLY the JSON object."}]
        with_client, bare = asyncio.run(overhead(base_url, messages, client_module))
    finally:
        log_text, _ = child.communicate("", timeout=60)
    log = json.loads(log_text)

    attempts = {}
    for n, what in log:
        attempts.setdefault(n, []).append(what)
    outlasted = {n for n, seen in attempts.items()
                 if len(seen) == MAX_RETRIES + 1 and "ok" not in seen}
    parsed = {n for n, record, _ in results if record["summary"] == CANNED["summary"]}
    fallbacks = {n for n, record, _ in results if n not in parsed}
    faults = [what for _, what in log if what != "ok"]
    longest = max(elapsed for _, _, elapsed in results)

    checks = {
        "every call ended with a record": len(results) == CALLS
        and all(isinstance(record, dict) for _, record, _ in results),
        "fallbacks are the calls whose faults outlasted the retries": fallbacks == outlasted,
        "no call ran past its deadline": longest <= TIMEOUT,
        "one warning per retry": logs.counts.get(("vorlin_summarizer.client", "WARNING"))
        == len(log) - CALLS,
        "one error line per fallback": logs.counts.get(("vorlin.summarizer", "ERROR"))
        == len(fallbacks),
        "open fds back to the baseline after aclose": after == baseline,
    }
    print(f"{CALLS} concurrent calls through one client in {wall:.2f} s; "
          f"{len(log)} requests, {len(faults)} faults injected "
          f"({', '.join(f'{kind}: {faults.count(kind)}' for kind in ('429', '503', 'reset'))})")
    print(f"  fault ratio of requests: {len(faults) / len(log):.3f}; parsed {len(parsed)}, "
          f"fallback {len(fallbacks)}, calls whose every attempt failed {len(outlasted)}")
    print(f"  longest call / deadline: {longest / TIMEOUT:.3f}; "
          f"open fds: {baseline} before, {during} during, {after} after aclose")
    print(f"client complete() / bare httpx POST, per request: {with_client / bare:.3f} "
          f"({with_client * 1e6:.0f} us / {bare * 1e6:.0f} us)")
    for name, ok in checks.items():
        print(f"  {'ok  ' if ok else 'FAIL'} {name}")
    if not all(checks.values()):
        sys.exit(1)


if __name__ == "__main__":
    main()
