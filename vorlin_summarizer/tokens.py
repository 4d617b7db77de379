"""How many tokens a history takes: an estimate that follows BPE tokenizers, tiktoken's
exact counts, a correction learned from the agent model's own reports, and the counts
its context-length errors state.

Every count here is of Chat Completions messages: the text of their content and of
their tool calls' names and arguments, a fixed count for an image or an attachment,
and a few tokens for each message's role and framing.
"""

from __future__ import annotations

import json
import re
import reprlib
from collections.abc import Callable, Mapping
from typing import Any

__all__ = [
    "IMAGE_TOKENS", "MESSAGE_TOKENS", "CachedEstimate", "Calibration", "estimate_text_tokens",
    "estimate_tokens", "reported_prompt_tokens", "tiktoken_counter",
]

IMAGE_TOKENS = 765  # one 1024x1024 image at high detail
MESSAGE_TOKENS = 4  # a message's role and framing, as OpenAI counts them
# Audio and files: their size is not in the message, so a placeholder's worth.
_ATTACHMENT_TOKENS = 4
# A calibration's factor stays within these, whatever a model reports.
_LOWEST_FACTOR, _HIGHEST_FACTOR = 0.25, 4.0
_IMAGE_PARTS = frozenset({"image_url", "image", "input_image"})
_ATTACHMENT_PARTS = frozenset({"input_audio", "audio", "file", "input_file", "document"})

_LOWER = "a-z\u00df-\u00f6\u00f8-\u024f"
_UPPER = "A-Z\u00c0-\u00d6\u00d8-\u00de"
_CYRILLIC = "\u0400-\u052f"
_CJK = "\u3040-\u30ff\u3400-\u4dbf\u4e00-\u9fff\uac00-\ud7af\uf900-\ufaff"
_ASTRAL = "\U00010000-\U0010ffff"  # emoji and the like: four bytes each

# The pieces a BPE tokenizer's pre-tokenizer cuts text into (words with their leading
# space, digit groups, punctuation runs, whitespace), cut further where its vocabulary
# runs out, so that each match is about one token. What the one group holds costs more:
# one token more per 1.4 of its characters. Every branch starts with a single character
# or class, which lets the matcher pass it over at a glance.
_PIECES = re.compile(
    # Grouped: a run of 20 or more base64 characters mixing digits, capitals and small
    # letters in its first 20, which is random to a vocabulary (BPE cuts it into pieces of
    # 1.4 characters; looking no further keeps a long run from being read again and again);
    # what is left of a run of small letters past ten; Chinese, Japanese and Korean
    # characters two at a time (about 1.2 tokens each); characters past the BMP (emoji).
    rf"""([A-Za-z0-9+](?=[A-Za-z0-9+]{{19}})(?=[A-Za-z+]{{0,18}}\d)(?=[A-Z0-9+]{{0,18}}[a-z])
           (?=[a-z0-9+]{{0,18}}[A-Z])[A-Za-z0-9+]+
         |[a-z](?<=[a-z]{{2}})[a-z]*
         |[{_CJK}][{_CJK}]?|[{_ASTRAL}])
    # A word with its leading space: up to ten letters, cut where capitals begin and
    # before an accented letter (vocabularies hold few words with one); Cyrillic two
    # letters at a time.
    |\x20(?:[{_UPPER}]?[{_LOWER}][a-z]{{0,9}}|[{_UPPER}]{{1,3}}|[{_CYRILLIC}]{{1,2}}
           |[^\s\w{_ASTRAL}]{{1,3}}[\r\n]*)
    |[{_LOWER}][a-z]{{0,9}}|[{_UPPER}](?:[a-z]{{1,10}}|[{_UPPER}]{{0,2}})
    |[{_CYRILLIC}][{_CYRILLIC}]?
    |\d\d?\d?
    # Punctuation three at a time, with the line breaks after it; underscores only in
    # runs (one joins the word after it).
    |[^\s\w{_ASTRAL}]{{1,3}}[\r\n]*|__+
    # Line breaks with the spaces before them; spaces but the one a word takes.
    |\s\s*[\r\n]|[\r\n]|\s\s*(?!\S)|\s
    # Letters of any other script, one at a time.
    |[^\W\d_]""",
    re.VERBOSE,
)


def estimate_text_tokens(text: str) -> int:
    """About as many tokens as a BPE tokenizer (OpenAI's cl100k, Llama's, Qwen's) makes
    of the text, counting high rather than low."""
    pieces = _PIECES.findall(text)  # the grouped text of each piece, or ""
    return len(pieces) + sum(map(len, pieces)) * 5 // 7


class _MessageTokens:
    """Counts a Chat Completions message: its content and its tool calls' names and
    arguments as texts, which `text_tokens` counts, an image `IMAGE_TOKENS`, and
    `MESSAGE_TOKENS` for the message itself. Never raises on a value JSON can hold,
    wherever it stands. The common shapes take the short ways: a plan counts every
    message of the history again on each agent turn."""

    def __init__(self, text_tokens: Callable[[str], int]) -> None:
        self._text_tokens = text_tokens

    def __call__(self, message: Mapping[str, Any]) -> int:
        text_tokens = self._text_tokens
        content = message.get("content")
        tokens = MESSAGE_TOKENS + (text_tokens(content) if content.__class__ is str
                                   else self._content_tokens(content))
        if message.get("role") != "assistant":
            return tokens
        calls = message.get("tool_calls")
        if calls.__class__ is list or isinstance(calls, (list, tuple)):
            for call in calls:
                if call.__class__ is not dict and not isinstance(call, dict):
                    continue
                fields = call.get("function")
                if fields.__class__ is not dict and not isinstance(fields, dict):
                    fields = call  # the flat layout
                for value in (fields.get("name"), fields.get("arguments")):
                    tokens += (text_tokens(value) if value.__class__ is str
                               else self._value_tokens(value))
        return tokens

    def _content_tokens(self, content: object) -> int:
        if isinstance(content, (list, tuple)):
            return sum(map(self._part_tokens, content))
        return self._value_tokens(content)

    def _part_tokens(self, part: object) -> int:
        if not isinstance(part, dict):
            return self._value_tokens(part)
        kind = part.get("type")
        if not isinstance(kind, str):
            kind = ""
        if kind in _IMAGE_PARTS:
            return IMAGE_TOKENS
        if kind in _ATTACHMENT_PARTS:
            return _ATTACHMENT_TOKENS
        # A part's text is under its type ("text", "refusal", "thinking") or under "text"
        # ("input_text", "output_text"); a part with neither counts as its JSON.
        text = part.get(kind)
        if text is None:
            text = part.get("text")
        return self._value_tokens(part if text is None else text)

    def _value_tokens(self, value: object) -> int:
        if isinstance(value, str):
            return self._text_tokens(value)
        return 0 if value is None else self._text_tokens(_json_text(value))


def _json_text(value: object) -> str:
    """The value as JSON, as a request carries it; a value JSON cannot write (a cycle,
    keys that are not text) as its short repr."""
    try:
        return json.dumps(value, ensure_ascii=False, default=str)
    except (TypeError, ValueError, RecursionError):
        return reprlib.repr(value)


_ESTIMATE = _MessageTokens(estimate_text_tokens)


def estimate_tokens(message: Mapping[str, Any]) -> int:
    """The estimate of one Chat Completions message: its content and tool calls as text
    (see `estimate_text_tokens`), `IMAGE_TOKENS` an image, plus `MESSAGE_TOKENS`."""
    return _ESTIMATE(message)


class _TextCounts(dict[str, int]):
    """Texts' estimates, each made once: a text not here is taken from `earlier`, or
    estimated. A hit is the dict's own lookup, with no Python code run."""

    def __init__(self, earlier: dict[str, int]) -> None:
        super().__init__()
        self.earlier = earlier

    def __missing__(self, text: str) -> int:
        tokens = self.earlier.pop(text, None)
        if tokens is None:
            tokens = estimate_text_tokens(text)
        self[text] = tokens
        return tokens


class CachedEstimate(_MessageTokens):
    """`estimate_tokens`, remembering what each text counted, for a history that is
    estimated again on every agent turn.

    Texts are keyed by themselves (a string cannot change, and keeps its hash), so a
    count is always the one `estimate_tokens` gives. `forget_unseen` drops the texts not
    met since it last ran, so the memory follows the live history.
    """

    def __init__(self) -> None:
        self._counts = _TextCounts({})
        super().__init__(self._counts.__getitem__)

    def forget_unseen(self) -> None:
        """Forget the texts not met since the last call (or since the estimate was made)."""
        seen = self._counts
        seen.earlier = {}
        self._counts = _TextCounts(seen)
        self._text_tokens = self._counts.__getitem__


def tiktoken_counter(name: str) -> Callable[[Mapping[str, Any]], int]:
    """A `count_tokens` for the compactor that counts text with tiktoken's encoding for a
    model (``"gpt-4"``) or of that name (``"cl100k_base"``), and the rest as
    `estimate_tokens` does. Needs tiktoken (the ``tokens`` extra) and its encoding files."""
    try:
        import tiktoken
    except ImportError:
        raise ImportError(
            "tiktoken_counter needs tiktoken: install the tokens extra "
            "(pip install '.[tokens]' in a checkout of vorlin-summarizer)"
        ) from None
    try:
        encoding = tiktoken.encoding_for_model(name)
    except KeyError:  # not a model tiktoken knows
        if name not in tiktoken.list_encoding_names():
            raise ValueError(
                f"{name!r} is neither a model nor an encoding that tiktoken knows") from None
        encoding = tiktoken.get_encoding(name)
    encode = encoding.encode

    def text_tokens(text: str) -> int:
        # Text that spells a special token ("<|endoftext|>") is counted as plain text.
        return len(encode(text, disallowed_special=()))

    return _MessageTokens(text_tokens)


class Calibration:
    """The correction that makes estimates agree with the agent model's own counts.

    Each observation pairs what a history was estimated at with what the model reported
    for it (``usage.prompt_tokens``). The first sets the factor to their ratio; each
    later one moves it half way to the new ratio, and it stays within [0.25, 4], so one
    absurd report cannot wreck the count.
    """

    def __init__(self) -> None:
        self._factor = 1.0
        self._observed = False

    @property
    def factor(self) -> float:
        """What estimates are multiplied by: 1.0 until the first observation."""
        return self._factor

    def observe(self, estimated: int, actual: int) -> None:
        """Record that a history estimated at `estimated` tokens was `actual` tokens."""
        ratio = _whole("actual", actual, 1) / _whole("estimated", estimated, 1)
        factor = (self._factor + ratio) / 2 if self._observed else ratio
        self._factor = min(max(factor, _LOWEST_FACTOR), _HIGHEST_FACTOR)
        self._observed = True

    def correct(self, tokens: int) -> int:
        """An estimate of `tokens`, corrected by the factor."""
        return round(_whole("tokens", tokens, 0) * self._factor)


def _whole(name: str, value: object, least: int) -> int:
    if not isinstance(value, int) or isinstance(value, bool) or value < least:
        what = "a positive whole number of tokens" if least else (
            "a whole number of tokens, 0 or more")
        raise ValueError(f"{name} must be {what}, got {value!r}")
    return value


# How each server states the prompt's size when it is too long; each branch captures the
# prompt's count (never the completion's, nor the limit).
_REPORTED_PROMPT = re.compile(
    r"""
    # OpenAI, Azure, DeepSeek, vLLM: "However, you requested 4295 tokens (3245 in the
    # messages, 1050 in the completion)" (yakGPT/yakGPT#13, Azure/azure-sdk-for-net#41892,
    # vllm-project/vllm#20409); the legacy completions API: "(3860 in your prompt; 256 for
    # the completion)" (run-llama/llama_index#948, stanford-crfm/helm#94).
    (\d+)\ in\ (?:the\ messages|your\ prompt)[,;]\ \d+\ (?:in|for)\ the\ completion
    # OpenAI, Azure: "However, your messages resulted in 8227 tokens" (crewAIInc/
    # crewAI-examples#121, microsoft/kernel-memory#516), with functions "resulted in
    # 150820 tokens (150655 in the messages, 165 in the functions)" (topoteretes/cognee#405),
    # the newer "Input tokens exceed the configured limit of 272000 tokens. Your messages
    # resulted in ..." (BerriAI/litellm#18927).
    | messages\ resulted\ in\ (\d+)\ tokens
    # vLLM: "However, your request has 19427 input tokens" (through LiteLLM:
    # agent0ai/agent-zero#1102), "your prompt contains at least 4096 input tokens"
    # (vllm-project/vllm-ascend#11557), "The prompt (total length 25938) is too long"
    # (vllm-project/vllm#12165).
    | your\ request\ has\ (\d+)\ (?:input\ )?tokens
    | prompt\ contains\ (?:at\ least\ )?(\d+)\ input\ tokens
    | prompt\ \(total\ length\ (\d+)\)
    # llama.cpp's server, and Ollama, which runs it: "request (18995 tokens) exceeds the
    # available context size" with "n_prompt_tokens": 18995 beside it (ggml-org/llama.cpp#15780,
    # NousResearch/hermes-agent#53359, microsoft/vscode#320558).
    | request\ \((\d+)\ tokens\)\ exceeds
    | n_prompt_tokens\W{1,4}(\d+)
    # Anthropic: "prompt is too long: 208310 tokens > 200000 maximum"
    # (anthropics/claude-code#12186); llama.cpp's older "prompt is too long (2249 tokens,
    # max 1996)" (Josh-XT/AGiXT#76).
    | prompt\ is\ too\ long:?\ \(?(\d+)\ tokens
    # llama-cpp-python: "Requested tokens (2285) exceed context window of 2048"
    # (rllm-team/rllm#55).
    | requested\ tokens\ \((\d+)\)\ exceed
    # Anthropic on Bedrock: "input length and `max_tokens` exceed context limit: 149674 +
    # 64000 > 204658" (egoist/chatwise-releases#917).
    | exceed\ context\ limit:\ (\d+)\ \+
    # Gemini: "The input token count (1200293) exceeds the maximum number of tokens
    # allowed" (google-gemini/gemini-cli#6678).
    | input\ token\ count\ \((\d+)\)
    # SGLang, Together: "The input (516368 tokens) is longer than the model's context
    # length" (BerriAI/litellm#10793).
    | input\ \((\d+)\ tokens\)\ is\ longer
    # OpenRouter: "you requested about 138956 tokens (7884 of text input, 131072 in the
    # output)" (OpenHands/OpenHands#9937, refly-ai/refly#1177).
    | (\d+)\ of\ text\ input
    """,
    re.IGNORECASE | re.VERBOSE,
)


def reported_prompt_tokens(error: str | BaseException) -> int | None:
    """The prompt's size in tokens as a context-length error states it, or None when it
    states none. An exception is read with the exceptions it was raised from, as
    wrappers (LiteLLM, LangChain, a host's own) pass the server's text on through them."""
    for text in _texts(error):
        match = _REPORTED_PROMPT.search(text)
        if match:
            return int(next(group for group in match.groups() if group is not None))
    return None


def _texts(error: str | BaseException) -> list[str]:
    if isinstance(error, str):
        return [error]
    texts = []
    seen: set[int] = set()
    cause: BaseException | None = error
    while cause is not None and id(cause) not in seen:
        seen.add(id(cause))
        texts.append(str(cause))
        cause = cause.__cause__ or cause.__context__
    return texts
