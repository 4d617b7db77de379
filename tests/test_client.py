"""OpenAIChatClient end to end: the extension talks to a real HTTP server through it."""

import asyncio
import email.utils
import functools
import json
import logging
import re
import socket
import time
import traceback

import anyio
import httpx
import pytest
import trio

import twin
import vorlin_summarizer.client
from openai_server import CANNED, Reply, completion, openai_server  # noqa: F401
from vorlin.core.summarizer import ConversationSummarizer
from vorlin_summarizer import Completion, CompletionError, OpenAIChatClient, Usage

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
        self.results = []

    async def complete(self, **kwargs):
        self.calls.append(kwargs)
        try:
            self.results.append(await self.client.complete(**kwargs))
        except Exception as exc:
            self.results.append(exc)
            raise
        return self.results[-1]


@pytest.fixture
def api_key(monkeypatch):
    monkeypatch.setenv(KEY_ENV, KEY)
    return KEY


def client_for(server, timeout=5.0, base_url=None, **options):
    options = {"backoff_base": 0.01, "backoff_cap": 0.05, **options}  # no real waits
    return OpenAIChatClient(base_url or server.base_url, "test-model",
                            api_key_env=KEY_ENV, timeout=timeout, **options)


@pytest.mark.parametrize("json_mode", [False, True], ids=["plain", "json-mode"])
@pytest.mark.parametrize("backend", BACKENDS)
def test_request_and_answer_travel_unchanged(backend, json_mode, openai_server, api_key, log):
    recording = Recording(client_for(openai_server, json_mode=json_mode))
    summarizer = ConversationSummarizer(recording)

    record = run(backend, lambda: summarizer.summarize_messages(MESSAGES, "Earlier: read docs"))

    assert without_time(record) == CANNED
    [request] = openai_server.requests
    [call] = recording.calls
    assert request.path == "/v1/chat/completions"
    format_ = {"response_format": {"type": "json_object"}} if json_mode else {}
    assert request.body == {"model": "test-model", "messages": call["messages"],
                            "max_tokens": 2048, **format_}
    assert list(request.body) == ["model", "messages", "max_tokens", *format_]
    assert recording.results == [Completion(json.dumps(CANNED), Usage(1, 1), "stop")]
    system, user = request.body["messages"]
    assert system["content"].endswith(
        "## Previous Summary (build on this):\nEarlier: read docs\n\n\n"
        "## Conversation to Summarize:\n" + twin._format_messages_for_summary(MESSAGES))
    assert user == {"role": "user",
                    "content": "Summarize the conversation above. Return ONLY the JSON object."}
    assert request.headers["authorization"] == f"Bearer {KEY}"
    assert request.headers["content-type"] == "application/json"
    assert log.records == []


def test_each_call_reads_its_api_key_and_its_answers_usage(openai_server, monkeypatch):
    monkeypatch.delenv(KEY_ENV, raising=False)
    openai_server.reply(Reply(body={"choices": completion("a", reasoning_content="q")["choices"]}),
                        Reply(body=completion("b", finish_reason="length", reasoning="r")
                              | {"usage": {"prompt_tokens": "7"}}))
    client = client_for(openai_server)
    results = [asyncio.run(client.complete(messages=[], max_tokens=1))]
    monkeypatch.setenv(KEY_ENV, "rotated")
    results.append(asyncio.run(client.complete(messages=[], max_tokens=1)))

    first, second = openai_server.requests
    assert "authorization" not in first.headers
    assert second.headers["authorization"] == "Bearer rotated"
    # no counts, or not numbers; the reasoning under either name servers give it
    assert results == [Completion("a", None, "stop", "q"), Completion("b", None, "length", "r")]


AZURE = "/openai/deployments/gpt-4o"
V1, MAX = ("/v1", "/v1/chat/completions"), {"max_tokens": 2048}  # the usual URL and limit
REQUEST_OPTIONS = {
    # name: (options, the base URL's path and query, the path requested, the body's keys
    # after "messages", headers sent (None: not sent))
    "max-completion-tokens": ({"token_limit_param": "max_completion_tokens"}, *V1,
                              {"max_completion_tokens": 2048}, {"authorization": f"Bearer {KEY}"}),
    # extra_body last, over the client's own keys, which keep their places
    "temperature-and-extra-body": ({"temperature": 0, "json_mode": True, "extra_body": {
        "max_tokens": 512, "reasoning_effort": "low"}}, *V1, {"max_tokens": 512, "temperature": 0.0,
        "response_format": {"type": "json_object"}, "reasoning_effort": "low"}, {}),
    "azure": ({"api_key_header": "api-key", "extra_query": {"api-version": "2024-10-21"}},
              AZURE, AZURE + "/chat/completions?api-version=2024-10-21", MAX,
              {"api-key": KEY, "authorization": None}),
    # extra headers over the defaults, whatever the case of their names
    "extra-headers": ({"extra_headers": {"AUTHORIZATION": "Bearer host-token", "X-Trace": "t1"}},
                      *V1, MAX, {"authorization": "Bearer host-token", "x-trace": "t1"}),
    "endpoint-url": ({}, "/v1/chat/completions/", "/v1/chat/completions", MAX, {}),
    # a portal's endpoint URL whole: its query kept, extra_query over it
    "endpoint-url-with-query": ({"extra_query": {"b": "2"}},
                                AZURE + "/chat/completions?api-version=1&b=1",
                                AZURE + "/chat/completions?api-version=1&b=2", MAX, {}),
}


@pytest.mark.parametrize("case", list(REQUEST_OPTIONS))
def test_options_shape_the_request_as_openai_python_does(case, openai_server, api_key, caplog):
    options, base, path, body, headers = REQUEST_OPTIONS[case]
    root = openai_server.base_url.removesuffix("/v1")
    client = client_for(openai_server, base_url=root + base, **options)

    for _ in range(2):
        asyncio.run(client.complete(messages=[{"role": "user", "content": "hi"}],
                                    max_tokens=2048))

    request = openai_server.requests[-1]
    assert request.path == path
    assert list(request.body) == ["model", "messages", *body]
    assert request.body == {"model": "test-model",
                            "messages": [{"role": "user", "content": "hi"}], **body}
    assert {name: request.headers.get(name) for name in headers} == headers
    warnings = [r.getMessage() for r in caplog.records]  # one, when the client is made
    assert warnings == ([] if "endpoint-url" not in case else [
        f"base URL {root + base} ends with /chat/completions, which the client adds itself: "
        f"using {root + base.split('/chat/completions')[0]}"])


def chain(error):
    """The exception and every cause and context below it."""
    pending, found = [error], []
    while pending:
        found.append(link := pending.pop())
        pending += [e for e in (link.__cause__, link.__context__) if e is not None]
    return found


def assert_key_nowhere(error, caplog, key_body=KEY[8:]):  # whole, whatever is put before
    shown = "".join(traceback.format_exception(error)) + caplog.text
    assert key_body not in shown
    assert not any(key_body in repr(link.args) for link in chain(error))


NOT_A_HEADER = ("the API key in $VORLIN_TEST_API_KEY is not valid for an HTTP header: it holds "
                "a control character or a character outside ASCII")
KEY_VALUES = {
    # name: (the variable's value, accepted as the key)
    "blanks-around": (f" \t{KEY}\r\n", True),  # as a pasted or file-read key has them
    "non-ascii": (KEY + "\u00e9", False), "lf-inside": (KEY[:8] + "\n" + KEY[8:], False),
    "del-inside": (KEY[:8] + "\x7f" + KEY[8:], False),
}


@pytest.mark.parametrize("case", list(KEY_VALUES))
def test_a_key_is_trimmed_or_refused_and_never_shown(case, openai_server, monkeypatch, caplog):
    value, accepted = KEY_VALUES[case]
    monkeypatch.setenv(KEY_ENV, value)
    client = client_for(openai_server)

    if accepted:
        asyncio.run(client.complete(messages=[], max_tokens=1))
        assert openai_server.requests[0].headers["authorization"] == f"Bearer {KEY}"
        return
    with pytest.raises(CompletionError) as raised:
        asyncio.run(client.complete(messages=[], max_tokens=1))
    assert (str(raised.value), raised.value.kind) == (NOT_A_HEADER, "auth")
    assert openai_server.requests == []
    assert_key_nowhere(raised.value, caplog)


def test_httpx_quoting_a_refused_header_shows_no_key(openai_server, monkeypatch, caplog):
    # Past the client's own check, httpx refuses the value and quotes it whole.
    monkeypatch.setattr(vorlin_summarizer.client, "_header_value_valid", lambda value: True)
    monkeypatch.setenv(KEY_ENV, KEY[:8] + "\r\nX-Injected: 1" + KEY[8:])
    client = client_for(openai_server)

    with pytest.raises(CompletionError) as raised:
        asyncio.run(client.complete(messages=[], max_tokens=1))

    assert str(raised.value) == (
        f"request to {client.url} failed: Illegal header value b'[redacted]'")
    assert_key_nowhere(raised.value, caplog)


@pytest.mark.parametrize("options, secret", [
    ({"api_key_header": "api-key"}, KEY),
    ({"extra_headers": {"X-Api-Key": "host-secret-456"}}, "host-secret-456"),
], ids=["key-in-api-key-header", "extra-x-api-key"])  # a bearer's key alone: FAILURES' http-400
def test_an_echoed_credential_is_redacted(options, secret, openai_server, api_key):
    openai_server.reply(Reply(400, f"echo {secret} and {secret}"))
    client = client_for(openai_server, **options)

    with pytest.raises(CompletionError) as raised:
        asyncio.run(client.complete(messages=[], max_tokens=1))

    assert str(raised.value) == f"HTTP 400 from {client.url}: echo [redacted] and [redacted]"


@pytest.mark.parametrize("options, message", [
    ({"token_limit_param": "max_output_tokens"}, "token_limit_param must be 'max_tokens' or "
     "'max_completion_tokens', got 'max_output_tokens'"),
    ({"temperature": True}, "temperature must be a number, 0 or more, got True"),
    ({"extra_headers": {"api-key": "secret\r\n"}},
     "extra header 'api-key' must have a value of printable ASCII text"),
    ({"extra_body": {"seed": float("nan")}},
     "extra_body must hold only JSON values: Out of range float values are not JSON compliant"),
])
def test_options_are_checked_when_the_client_is_made(options, message):
    with pytest.raises(ValueError) as raised:
        OpenAIChatClient("http://localhost/v1", "m", **options)
    assert str(raised.value) == message


def refused_url():
    with socket.socket() as s:  # a port that was free a moment ago and has no listener
        s.bind(("127.0.0.1", 0))
        return f"http://127.0.0.1:{s.getsockname()[1]}/v1"


def summarize_failing(backend, server, log, reply, expected, timeout=5.0, base_url=None,
                      **options):
    """Summarize through a failing server; check the fallback and return the log lines."""
    if reply is not None:
        server.reply(*reply) if isinstance(reply, tuple) else server.reply(reply)
    client = client_for(server, timeout, base_url, **options)
    recording = Recording(client)
    summarizer = ConversationSummarizer(recording)

    started = time.monotonic()
    record = run(backend, lambda: summarizer.summarize_messages(MESSAGES))

    assert time.monotonic() - started < timeout + 1.0
    assert without_time(record) == without_time(twin._fallback_summary(MESSAGES))
    *retries, line = log.records
    assert (line.name, line.levelno) == ("vorlin.summarizer", logging.ERROR)
    expected = "Summarization failed: " + expected.format(url=client.url)
    assert line.getMessage().startswith(expected)
    assert all((r.name, r.levelno) == ("vorlin_summarizer.client", logging.WARNING)
               for r in retries)
    assert KEY not in log.text
    [error] = recording.results
    assert isinstance(error, CompletionError)
    return line.getMessage(), [r.getMessage() for r in retries], error


BIG = 9 * 1024 * 1024  # over the default cap of 8 MiB

FAILURES = {
    # name: (reply, client timeout, expected text after "Summarization failed: ", kind,
    # status); none of them is retried: each makes one request and ends in one error line
    "http-400": (Reply(400, "bad request;\n key was " + KEY + "x" * 300), 5.0,
                 "HTTP 400 from {url}: " + ("bad request; key was [redacted]" + "x" * 300)[:200],
                 "bad_request", 400),
    "http-404": (Reply(404, ""), 5.0, "HTTP 404 from {url}: ", "not_found", 404),
    "http-422": (Reply(422, "max_tokens too large"), 5.0,
                 "HTTP 422 from {url}: max_tokens too large", "bad_request", 422),
    "redirect": (Reply(308, "", headers={"Location": "https://elsewhere/v1"}), 5.0,
                 "HTTP 308 from {url}: ", "not_found", 308),
    "not-json": (Reply(body="<html>oops"), 5.0, "malformed JSON from {url}: '<html>oops'",
                 "malformed", None),
    "not-utf8": (Reply(body=b'{"x": "\xff"}'), 5.0,
                 "malformed JSON from {url}: not UTF-8 text (byte 7)", "malformed", None),
    "too-deep": (Reply(body="[" * 100_000), 5.0, "malformed JSON from {url}: '[[[[",
                 "malformed", None),
    "no-choices": (Reply(body={"choices": []}), 5.0,
                   "unexpected answer from {url}: no choices[0].message.content", "malformed",
                   None),
    "content-parts": (Reply(body=completion([{"type": "text", "text": "x"}])), 5.0,
                      "unexpected answer from {url}: message content is list, not text",
                      "malformed", None),
    # refused by its Content-Length, before a byte of the body is read
    "over-cap-declared": (Reply(content_length=BIG), 5.0,
                          "answer from {url} is larger than 8388608 bytes", "malformed", None),
    # no length given and no end: only a reader that stops at the cap can finish
    "over-cap-streamed": (Reply(body="x" * 65536, chunked=True, endless=True), 5.0,
                          "answer from {url} is larger than 8388608 bytes", "malformed", None),
    "slow": (Reply(delay=5.0), 0.2, "timed out after 0.2 s waiting for {url}", "timeout", None),
    # every byte arrives well within the read timeout; only the whole exchange is late
    "trickle": (Reply(trickle=0.05), 0.3, "timed out after 0.3 s waiting for {url}", "timeout",
                None),
}


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("case", list(FAILURES))
def test_failures_end_in_fallback_with_one_error_line(
        case, backend, openai_server, api_key, log):
    reply, timeout, expected, kind, status = FAILURES[case]
    line, retries, error = summarize_failing(backend, openai_server, log, reply, expected,
                                             timeout)

    assert retries == []
    assert len(openai_server.requests) == 1
    if not case.startswith("too-deep"):
        assert line == "Summarization failed: " + expected.format(url=client_url(openai_server))
    assert (error.kind, error.status_code) == (kind, status)


def openai_error(status, message, code, type_="invalid_request_error"):
    """An error answer in OpenAI's shape, which Azure OpenAI shares."""
    return Reply(status, {"error": {"message": message, "type": type_, "param": None,
                                    "code": code}})


# Error answers of real servers, cut short: the reply, and the kind the client reads it as.
ERRORS = {
    # vllm-project/vllm#20409: the fields at the top level, the status as the code
    "vllm-context": (Reply(400, {"object": "error", "message": "This model's maximum context "
                                 "length is 16384 tokens.", "type": "BadRequestError",
                                 "code": 400}), "context_length"),
    # ggml-org/llama.cpp#19774: the overflow reported as a 500, which is not retried
    "llamacpp-context-500": (Reply(500, {"error": {"code": 500, "type": "server_error", "message":
                                                   "Context size has been exceeded."}}),
                             "context_length"),
    "unauthorized": (openai_error(401, "Incorrect API key provided: sk-abc***xyz.",
                                  "invalid_api_key"), "auth"),
    # ChatGPTNextWeb/NextChat#3123: a 429 that waiting does not mend
    "insufficient-quota": (openai_error(429, "You exceeded your current quota.",
                                        "insufficient_quota", "insufficient_quota"), "auth"),
    # Aider-AI/aider#1880: one request over the tokens-per-minute limit
    "over-rate-limit": (openai_error(429, "Request too large for gpt-4o on tokens per min (TPM): "
                                     "Limit 30000, Requested 36278.", "rate_limit_exceeded",
                                     "tokens"), "too_large"),
    "rate-limited": (openai_error(429, "Rate limit reached for gpt-4o on requests per min (RPM): "
                                  "Limit 3, Used 3, Requested 1.", "rate_limit_exceeded",
                                  "requests"), "rate_limit"),
    "too-large": (Reply(413, "<html><title>413 Request Entity Too Large</title></html>"),
                  "too_large"),  # a proxy's page, not JSON
}


@pytest.mark.parametrize("name", list(ERRORS))
def test_error_answers_are_read_by_kind_and_retried_only_when_waiting_helps(
        name, openai_server, api_key, log):
    reply, kind = ERRORS[name]
    openai_server.choose = lambda request: reply
    client = client_for(openai_server, max_retries=1)

    with pytest.raises(CompletionError) as raised:
        asyncio.run(client.complete(messages=[], max_tokens=1))

    assert (raised.value.kind, raised.value.status_code) == (kind, reply.status)
    assert str(raised.value).startswith(f"HTTP {reply.status} from {client.url}: ")
    retried = kind in ("rate_limit", "server")
    assert len(openai_server.requests) == 1 + retried
    assert len(log.records) == retried  # the retry's warning


def client_url(server):
    return server.base_url + "/chat/completions"


# What the retry warning starts with, for each transient fault.
TRANSIENT = {
    "408": (Reply(408, "slow client"), "HTTP 408 from {url}: slow client"),
    "409": (Reply(409, "busy"), "HTTP 409 from {url}: busy"),
    "429": (Reply(429, "rate limited"), "HTTP 429 from {url}: rate limited"),
    "500": (Reply(500, "<h1>oops</h1>\n<p>" + KEY + "</p>"),
            "HTTP 500 from {url}: <h1>oops</h1> <p>[redacted]</p>"),
    "502": (Reply(502, "bad gateway"), "HTTP 502 from {url}: bad gateway"),
    "503": (Reply(503, "overloaded"), "HTTP 503 from {url}: overloaded"),
    "504": (Reply(504, ""), "HTTP 504 from {url}: "),
    # the reason after these is the backend's own wording
    "reset": (Reply(reset=True), "request to {url} failed: "),
    "read-timeout": (Reply(delay=1.0), "request to {url} failed: "),
}


async def with_host_client(fn, **options):
    """Runs fn(http) with a host's own httpx client, which must still be open after."""
    async with httpx.AsyncClient(**options) as http:
        result = await fn(http)
        assert not http.is_closed
        return result


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("fault", list(TRANSIENT))
def test_a_transient_fault_is_retried_once_and_logged(
        fault, backend, openai_server, api_key, caplog):
    caplog.set_level(logging.WARNING)
    reply, expected = TRANSIENT[fault]
    openai_server.reply(reply)  # then the canned answer

    async def summarize(http=None):
        async with client_for(openai_server, http_client=http) as client:
            return await ConversationSummarizer(client).summarize_messages(MESSAGES)

    # One attempt's timeout is the host's client's setting: with the client's own pool,
    # the delayed answer would arrive in time, at the first attempt.
    if fault == "read-timeout":
        record = run(backend, lambda: with_host_client(
            summarize, timeout=httpx.Timeout(5.0, read=0.2)))
    else:
        record = run(backend, summarize)

    assert without_time(record) == CANNED
    assert len(openai_server.requests) == 2
    [warning] = caplog.records
    assert (warning.name, warning.levelno) == ("vorlin_summarizer.client", logging.WARNING)
    head, retry = warning.getMessage().rsplit("; retry ", 1)
    assert head.startswith(expected.format(url=client_url(openai_server)))
    assert re.fullmatch(r"1 of 2 in 0\.0[0-5] s", retry)
    assert KEY not in caplog.text


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("fault, max_retries", [
    ("503", 0), ("503", 2), ("refused", 0), ("refused", 3)])
def test_retries_run_out_into_the_fallback(fault, max_retries, backend, openai_server,
                                           api_key, log):
    attempts = max_retries + 1
    if fault == "refused":
        reply, base_url, expected = None, refused_url(), "request to {url} failed: "
    else:
        reply, base_url = (Reply(503, "overloaded"),) * attempts, None
        expected = "HTTP 503 from {url}: overloaded"

    line, retries, error = summarize_failing(backend, openai_server, log, reply, expected,
                                             base_url=base_url, max_retries=max_retries)

    assert len(openai_server.requests) == (0 if fault == "refused" else attempts)
    assert [r.rsplit(" in ", 1)[0] for r in retries] == [
        line.removeprefix("Summarization failed: ") + f"; retry {n} of {max_retries}"
        for n in range(1, attempts)]
    if fault == "refused":
        assert "connect" in line.lower() or "refused" in line.lower()
    assert (error.kind, error.status_code) == (
        ("connection", None) if fault == "refused" else ("server", 503))


def http_date(seconds_from_now):
    return email.utils.formatdate(time.time() + seconds_from_now, usegmt=True)


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("form", ["seconds", "http-date"])
def test_retry_after_is_honoured_in_both_forms(form, backend, openai_server, caplog):
    caplog.set_level(logging.WARNING)
    value = "1" if form == "seconds" else http_date(1.6)  # dates count whole seconds
    openai_server.reply(Reply(429, "slow down", headers={"Retry-After": value}))
    summarizer = ConversationSummarizer(client_for(openai_server))

    started = time.monotonic()
    record = run(backend, lambda: summarizer.summarize_messages(MESSAGES))

    assert without_time(record) == CANNED
    assert time.monotonic() - started >= 0.55  # not the test's 10 ms backoff
    [warning] = caplog.records
    wait = float(re.search(r" in ([0-9.]+) s$", warning.getMessage())[1])
    assert wait == 1.0 if form == "seconds" else 0.55 < wait <= 1.6


DEADLINES = {
    # name: (the reply the server repeats, options, expected text after
    # "Summarization failed: "); each call has 0.6 s in all
    "retry-after-past-it": (Reply(503, "busy", headers={"Retry-After": "30"}), {},
                            "HTTP 503 from {url}: busy; not retried: the next attempt would "
                            "start past the 0.6 s deadline"),
    "backoff-waits": (Reply(503, "busy"),
                      {"max_retries": 100, "backoff_base": 0.2, "backoff_cap": 0.2}, ""),
    "slow-attempts": (Reply(503, "busy", delay=0.25), {"max_retries": 100}, ""),
}


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("case", list(DEADLINES))
def test_the_deadline_covers_every_attempt_and_wait(case, backend, openai_server, log):
    reply, options, expected = DEADLINES[case]
    openai_server.choose = lambda request: reply

    started = time.monotonic()
    line, retries, error = summarize_failing(backend, openai_server, log, None, expected,
                                             timeout=0.6, **options)

    assert time.monotonic() - started < 0.6 + 0.4  # and not 30 s
    assert len(openai_server.requests) == len(retries) + 1
    if case == "retry-after-past-it":
        assert retries == []
    else:
        assert len(retries) >= 1
        # stopped by the deadline itself, or by a wait that would pass it
        assert re.search(r"timed out after 0\.6 s|not retried", line)
    # a wait past the deadline keeps the last answer's kind; the deadline itself is its own
    assert error.kind == ("timeout" if line.startswith("Summarization failed: timed out")
                          else "server")


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("closed_by", ["aclose", "async-with", "loop-end"])
def test_one_pool_per_loop_reused_and_closed_after(closed_by, backend, openai_server):
    openai_server.choose = lambda request: Reply(delay=0.05)  # so that calls overlap
    client = client_for(openai_server)

    async def calls():
        async with anyio.create_task_group() as tasks:
            for _ in range(30):
                tasks.start_soon(functools.partial(client.complete, messages=[], max_tokens=1))
        if closed_by == "aclose":
            await client.aclose()

    async def calls_in_async_with():
        async with client:
            await calls()

    for loop in range(2):  # a new loop gets a pool of its own
        run(backend, calls_in_async_with if closed_by == "async-with" else calls)
        assert openai_server.wait_closed(), "a socket is still open"

    ports = [request.port for request in openai_server.requests]
    first, second = set(ports[:30]), set(ports[30:])
    # as many connections as the pool holds, each kept open for the calls that wait
    assert len(first) == len(second) == 20 and not first & second


async def _cancel_under_asyncio(ready, summarizer):
    task = asyncio.ensure_future(summarizer.summarize_messages(MESSAGES))
    async with asyncio.timeout(10):
        while not ready():
            await asyncio.sleep(0.01)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task


async def _cancel_under_trio(ready, summarizer):
    results = []
    async with trio.open_nursery() as nursery:
        async def summarize():
            results.append(await summarizer.summarize_messages(MESSAGES))
        nursery.start_soon(summarize)
        with trio.fail_after(10):
            while not ready():
                await trio.sleep(0.01)
        nursery.cancel_scope.cancel()
    assert results == []


@pytest.mark.parametrize("during", ["request", "backoff-wait"])
@pytest.mark.parametrize("cancel", [_cancel_under_asyncio, _cancel_under_trio],
                         ids=BACKENDS)
def test_cancelling_passes_through_at_once(cancel, during, openai_server, log):
    if during == "request":
        openai_server.reply(Reply(delay=30.0))
        ready = lambda: openai_server.requests  # noqa: E731
    else:
        openai_server.reply(Reply(503, headers={"Retry-After": "30"}))
        ready = lambda: log.records  # noqa: E731 (the retry's warning: now it waits)
    summarizer = ConversationSummarizer(client_for(openai_server, timeout=60.0))
    backend = "asyncio" if cancel is _cancel_under_asyncio else "trio"

    started = time.monotonic()
    run(backend, lambda: cancel(ready, summarizer))

    assert time.monotonic() - started < 5.0
    assert len(openai_server.requests) == 1
    assert [r.name for r in log.records] == (
        [] if during == "request" else ["vorlin_summarizer.client"])
