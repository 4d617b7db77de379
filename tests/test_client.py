"""OpenAIChatClient end to end: the extension talks to a real HTTP server through it."""

import asyncio
import logging
import socket
import time

import pytest
import trio

import twin
from openai_server import CANNED, Reply, completion, openai_server  # noqa: F401
from vorlin.core.summarizer import ConversationSummarizer
from vorlin_summarizer import OpenAIChatClient

MESSAGES = [
    {"role": "user", "content": "Add retries to the HTTP client"},
    {"role": "assistant", "content": "Reading it.", "tool_calls": [
        {"function": {"name": "read_file", "arguments": '{"path": "src/net/client.py"}'}}]},
    {"role": "tool", "tool_call_id": "c1", "content": "class Client: ..."},
]
KEY = "sk-test-5f3a9c0e7d1b"
KEY_ENV = "VORLIN_TEST_API_KEY"
BACKENDS = ["asyncio", "trio"]


def run(backend, async_fn):
    return asyncio.run(async_fn()) if backend == "asyncio" else trio.run(async_fn)


def without_time(record):
    assert isinstance(record.pop("created_at"), float)
    return record


class Recording:
    """Passes each request on, keeping what the module handed to the client."""

    def __init__(self, client):
        self.client = client
        self.calls = []

    async def complete(self, **kwargs):
        self.calls.append(kwargs)
        return await self.client.complete(**kwargs)


@pytest.fixture
def api_key(monkeypatch):
    monkeypatch.setenv(KEY_ENV, KEY)
    return KEY


def client_for(server, timeout=5.0, base_url=None):
    return OpenAIChatClient(base_url or server.base_url, "test-model",
                            api_key_env=KEY_ENV, timeout=timeout)


@pytest.mark.parametrize("backend", BACKENDS)
def test_request_and_answer_travel_unchanged(backend, openai_server, api_key, log):
    recording = Recording(client_for(openai_server))
    summarizer = ConversationSummarizer(recording)

    record = run(backend, lambda: summarizer.summarize_messages(MESSAGES, "Earlier: read docs"))

    assert without_time(record) == CANNED
    [request] = openai_server.requests
    [call] = recording.calls
    assert request.path == "/v1/chat/completions"
    assert list(request.body) == ["model", "messages", "max_tokens"]
    assert request.body == {"model": "test-model", "messages": call["messages"],
                            "max_tokens": 2048}
    system, user = request.body["messages"]
    assert system["content"].endswith(
        "## Previous Summary (build on this):\nEarlier: read docs\n\n\n"
        "## Conversation to Summarize:\n" + twin._format_messages_for_summary(MESSAGES))
    assert user == {"role": "user",
                    "content": "Summarize the conversation above. Return ONLY the JSON object."}
    assert request.headers["authorization"] == f"Bearer {KEY}"
    assert request.headers["content-type"] == "application/json"
    assert log.records == []


def test_api_key_is_read_at_each_call(openai_server, monkeypatch):
    monkeypatch.delenv(KEY_ENV, raising=False)
    client = client_for(openai_server)
    asyncio.run(client.complete(messages=[], max_tokens=1))
    monkeypatch.setenv(KEY_ENV, "rotated")
    asyncio.run(client.complete(messages=[], max_tokens=1))

    first, second = openai_server.requests
    assert "authorization" not in first.headers
    assert second.headers["authorization"] == "Bearer rotated"


def refused_url():
    with socket.socket() as s:  # a port that was free a moment ago and has no listener
        s.bind(("127.0.0.1", 0))
        return f"http://127.0.0.1:{s.getsockname()[1]}/v1"


FAILURES = {
    # name: (reply, client timeout, expected text after "Summarization failed: ")
    "http-500": (Reply(500, "upstream exploded; key was " + KEY + "x" * 300), 5.0,
                 "HTTP 500 from {url}: upstream exploded; key was [redacted]" + "x" * 163),
    "not-json": (Reply(body="<html>oops"), 5.0, "malformed JSON from {url}: '<html>oops'"),
    "no-choices": (Reply(body={"choices": []}), 5.0,
                   "unexpected answer from {url}: no choices[0].message.content"),
    "content-parts": (Reply(body=completion([{"type": "text", "text": "x"}])), 5.0,
                      "unexpected answer from {url}: message content is list, not text"),
    "slow": (Reply(delay=5.0), 0.2, "timed out after 0.2 s waiting for {url}"),
    # every byte arrives well within the read timeout; only the whole exchange is late
    "trickle": (Reply(trickle=0.05), 0.3, "timed out after 0.3 s waiting for {url}"),
    # the reason that follows is the backend's own wording
    "refused": (None, 5.0, "request to {url} failed: "),
}


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("case", list(FAILURES))
def test_failures_end_in_fallback_with_one_error_line(
        case, backend, openai_server, api_key, log):
    reply, timeout, expected = FAILURES[case]
    base_url = refused_url() if reply is None else None
    if reply is not None:
        openai_server.reply(reply)
    client = client_for(openai_server, timeout, base_url)
    summarizer = ConversationSummarizer(client)

    started = time.monotonic()
    record = run(backend, lambda: summarizer.summarize_messages(MESSAGES))

    assert time.monotonic() - started < 2.0
    assert without_time(record) == without_time(twin._fallback_summary(MESSAGES))
    [line] = log.records
    assert (line.name, line.levelno) == ("vorlin.summarizer", logging.ERROR)
    expected = "Summarization failed: " + expected.format(url=client.url)
    if case == "refused":
        assert line.getMessage().startswith(expected) and "connect" in line.getMessage()
    else:
        assert line.getMessage() == expected
    assert KEY not in log.text


def test_null_content_is_the_modules_empty_response(openai_server, log):
    openai_server.reply(Reply(body=completion(None)))
    record = asyncio.run(
        ConversationSummarizer(client_for(openai_server)).summarize_messages(MESSAGES))

    assert without_time(record) == without_time(twin._fallback_summary(MESSAGES))
    assert [(r.levelno, r.getMessage()) for r in log.records] == [
        (logging.WARNING, "Empty response from summarizer LLM")]


async def _cancel_under_asyncio(server, summarizer):
    task = asyncio.ensure_future(summarizer.summarize_messages(MESSAGES))
    async with asyncio.timeout(10):
        while not server.requests:
            await asyncio.sleep(0.01)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task


async def _cancel_under_trio(server, summarizer):
    results = []
    async with trio.open_nursery() as nursery:
        async def summarize():
            results.append(await summarizer.summarize_messages(MESSAGES))
        nursery.start_soon(summarize)
        with trio.fail_after(10):
            while not server.requests:
                await trio.sleep(0.01)
        nursery.cancel_scope.cancel()
    assert results == []


@pytest.mark.parametrize("cancel", [_cancel_under_asyncio, _cancel_under_trio],
                         ids=BACKENDS)
def test_cancelling_a_pending_request_logs_nothing(cancel, openai_server, log):
    openai_server.reply(Reply(delay=30.0))
    summarizer = ConversationSummarizer(client_for(openai_server))
    backend = "asyncio" if cancel is _cancel_under_asyncio else "trio"

    run(backend, lambda: cancel(openai_server, summarizer))

    assert len(openai_server.requests) == 1
    assert log.records == []
