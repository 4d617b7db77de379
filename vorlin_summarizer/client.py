"""A client for OpenAI-compatible chat-completion servers.

Hosted APIs, vLLM, llama.cpp's server and Ollama all answer POST <base>/chat/completions
with the same JSON shape, so one small adapter serves them all. httpx is an optional
dependency (extra ``cli``): it is imported when a client is made, not when this module is.
"""

from __future__ import annotations

import contextlib
import datetime
import email.utils
import json
import logging
import math
import os
import random
import re
import time
import urllib.parse
from collections.abc import AsyncGenerator, AsyncIterator, Mapping, Sequence
from dataclasses import dataclass
from traceback import format_exception_only
from types import TracebackType
from typing import TYPE_CHECKING, Any, Literal

if TYPE_CHECKING:
    import httpx

__all__ = ["Completion", "CompletionError", "ErrorKind", "OpenAIChatClient", "Usage"]

logger = logging.getLogger(__name__)

# How much of an error body goes into the exception text: enough to read the server's
# reason, not so much that a whole HTML error page lands in the log line.
_BODY_EXCERPT = 200

# Answers that say "not now" rather than "never": rate limits, overload, a gateway that
# lost its upstream, a request timeout or conflict on the server's side. An answer with
# one of these statuses is still not retried when its body says it will recur (a quota
# used up, a request too large for the rate limit, a context overflow).
_RETRIED_STATUSES = frozenset({408, 409, 429, 500, 502, 503, 504})

# RFC 9110 gives Retry-After as whole seconds; some servers send a fraction.
_DELAY_SECONDS = re.compile(r"[0-9]+(?:\.[0-9]*)?")

# Connections of a pool the client keeps itself; a host wanting other limits passes its
# own httpx.AsyncClient.
_POOL_CONNECTIONS = 20

ErrorKind = Literal["context_length", "rate_limit", "auth", "not_found", "bad_request",
                    "server", "timeout", "connection", "too_large", "malformed"]
_RETRIED_KINDS = frozenset({"rate_limit", "server", "timeout"})

# What servers put in an error's code or type when the prompt does not fit: OpenAI's and
# Azure's `context_length_exceeded` (chathub-dev/chathub#126, Azure/azure-sdk-for-net#41892),
# llama.cpp's `exceed_context_size_error` (ggml-org/llama.cpp#15780).
_CONTEXT_CODES = frozenset({"context_length_exceeded", "exceed_context_size_error"})
# ... and what their messages say, for servers with no such code: vLLM's "This model's
# maximum context length is" with `code: 400` (vllm-project/vllm#20409); llama.cpp's
# "exceeds the available context size" and, from a 500, "Context size has been exceeded"
# (ggml-org/llama.cpp#19774); llama-cpp-python's "exceed context window"; Anthropic-style
# "prompt is too long"; Gemini's "The input token count (N) exceeds the maximum"
# (google-gemini/gemini-cli#4692); Azure's "Input tokens exceed the configured limit"
# (BerriAI/litellm#15968).
_CONTEXT_TEXT = re.compile(r"context (?:length|size|window)|prompt is too long"
                           r"|input token count|input tokens exceed", re.IGNORECASE)
# OpenAI's 429 for one request larger than the tokens-per-minute limit: waiting does not
# help, a smaller request does (Aider-AI/aider#1880).
_TOO_LARGE_TEXT = re.compile(r"request too large", re.IGNORECASE)
# How much of an error body is searched for those texts.
_ERROR_SCAN = 4096

# RFC 9110's token: the characters a header name may hold.
_HEADER_NAME = re.compile(r"[!#$%&'*+.^_`|~0-9A-Za-z-]+")
# Headers whose values are credentials, redacted like the API key wherever they could show.
_CREDENTIAL_HEADERS = frozenset({"authorization", "proxy-authorization", "api-key",
                                 "x-api-key"})
_ENDPOINT = "/chat/completions"


class CompletionError(Exception):
    """The server could not be reached or did not give a usable completion.

    `kind` says what went wrong, so that a host can tell an error that waiting may mend
    from one it must fix; `status_code` is the HTTP status when the server answered.
    """

    def __init__(self, *args: object, status_code: int | None = None,
                 kind: ErrorKind | None = None) -> None:
        super().__init__(*args)
        self.status_code = status_code
        self.kind = kind


@dataclass(frozen=True)
class Usage:
    """The server's token counts for one completion, to calibrate a host's estimates."""

    prompt_tokens: int
    completion_tokens: int


@dataclass(frozen=True)
class Completion:
    """The answer's text, which is all the summarizer reads, and what the server said
    about it: its counts, why it stopped (`"length"`: cut at the token limit), and the
    reasoning a reasoning model sent beside the answer."""

    content: str | None
    usage: Usage | None = None
    finish_reason: str | None = None
    reasoning_content: str | None = None


class _Retryable(Exception):
    """An attempt failed in a way that another attempt may not."""

    def __init__(self, error: CompletionError, retry_after: float | None = None) -> None:
        super().__init__(str(error))
        self.error = error
        self.retry_after = retry_after


def _require_httpx() -> None:
    try:
        import httpx  # noqa: F401
    except ImportError:
        raise ImportError(
            "the OpenAI-compatible client needs httpx: install the cli extra "
            "(pip install '.[cli]' in a checkout of vorlin-summarizer)"
        ) from None


def _transient_errors() -> tuple[type[Exception], ...]:
    import httpx

    # A refused connection, one the server reset or dropped before answering, and one
    # attempt's read timeout. Other transport failures (a bad URL, TLS) recur as they are.
    return (httpx.ConnectError, httpx.ReadError, httpx.WriteError,
            httpx.RemoteProtocolError, httpx.ReadTimeout)


def _count(value: object, what: str, least: int) -> int:
    if type(value) is not int or value < least:
        raise ValueError(f"{what} must be a whole number of at least {least}, got {value!r}")
    return value


def _seconds(value: object, what: str) -> float:
    if not isinstance(value, (int, float)) or not 0 <= value < math.inf:
        raise ValueError(f"{what} must be a number of seconds, 0 or more, got {value!r}")
    return float(value)


def _temperature(value: object) -> float:
    if not isinstance(value, (int, float)) or isinstance(value, bool) or not (
            0 <= value < math.inf):
        raise ValueError(f"temperature must be a number, 0 or more, got {value!r}")
    return float(value)


def _endpoint(base_url: str) -> tuple[str, dict[str, str]]:
    """The chat-completions URL of a base URL, and the query parameters it carried."""
    parts = urllib.parse.urlsplit(base_url)
    path = parts.path.rstrip("/")
    if path.endswith(_ENDPOINT):
        # The endpoint's own URL, as a server's or a portal's page shows it.
        path = path.removesuffix(_ENDPOINT)
        logger.warning("base URL %s ends with %s, which the client adds itself: using %s",
                       base_url, _ENDPOINT, parts._replace(path=path, query="").geturl())
    url = parts._replace(path=path + _ENDPOINT, query="", fragment="").geturl()
    return url, dict(urllib.parse.parse_qsl(parts.query, keep_blank_values=True))


def _header_name(name: object, what: str) -> str:
    if not isinstance(name, str) or not _HEADER_NAME.fullmatch(name):
        raise ValueError(f"{what} must be an HTTP header name, got {name!r}")
    return name


def _header_value_valid(value: str) -> bool:
    # Printable ASCII and spaces: httpx refuses line breaks and encodes values as ASCII.
    return all(" " <= char <= "~" for char in value)


def _extra_headers(headers: Mapping[str, str]) -> dict[str, str]:
    for name, value in headers.items():
        _header_name(name, "an extra header's name")
        # The value is not shown: it may be a credential.
        if not isinstance(value, str) or not _header_value_valid(value):
            raise ValueError(f"extra header {name!r} must have a value of printable ASCII text")
    return dict(headers)


def _json_object(value: Mapping[str, object], what: str) -> dict[str, object]:
    try:
        json.dumps(value, allow_nan=False)  # as httpx encodes the body
    except (TypeError, ValueError) as exc:
        raise ValueError(f"{what} must hold only JSON values: {exc}") from None
    return dict(value)


@dataclass
class _Pool:
    http: httpx.AsyncClient
    gate: contextlib.AbstractAsyncContextManager[Any]  # at most one request a connection
    # the suspended generator that closes the pool with its loop; None for a host's client
    closer: AsyncGenerator[None, None] | None


def _running_loop() -> object:
    """The event loop running this task: an asyncio loop, or a trio run's token."""
    try:
        import sniffio
    except ImportError:  # trio needs sniffio, so without it this is asyncio
        library = "asyncio"
    else:
        library = sniffio.current_async_library()
    if library == "trio":
        import trio

        return trio.lowlevel.current_trio_token()
    import asyncio

    return asyncio.get_running_loop()


class OpenAIChatClient:
    """Sends chat-completion requests, retrying transient failures within one deadline.

    Connections come from the host's own ``httpx.AsyncClient`` when one is given, and
    otherwise from one pool per running event loop (asyncio or trio), which ``aclose``
    closes, and which closes itself when its loop finishes.
    """

    def __init__(
        self,
        base_url: str,
        model: str,
        *,
        api_key_env: str = "OPENAI_API_KEY",
        timeout: float = 60.0,
        max_retries: int = 2,
        max_response_bytes: int = 8 * 1024 * 1024,
        json_mode: bool = False,
        http_client: httpx.AsyncClient | None = None,
        transport: httpx.AsyncBaseTransport | None = None,
        backoff_base: float = 0.5,
        backoff_cap: float = 8.0,
        api_key_header: str = "Authorization",
        token_limit_param: Literal["max_tokens", "max_completion_tokens"] = "max_tokens",
        temperature: float | None = None,
        extra_headers: Mapping[str, str] | None = None,
        extra_query: Mapping[str, str] | None = None,
        extra_body: Mapping[str, object] | None = None,
    ) -> None:
        if not base_url.startswith(("http://", "https://")):
            raise ValueError(f"base URL must start with http:// or https://, got {base_url!r}")
        if not model:
            raise ValueError("model name must not be empty")
        if not timeout > 0:
            raise ValueError(f"timeout must be a positive number of seconds, got {timeout!r}")
        if http_client is not None and transport is not None:
            raise ValueError("give either http_client or transport, not both")
        if token_limit_param not in ("max_tokens", "max_completion_tokens"):
            raise ValueError("token_limit_param must be 'max_tokens' or "
                             f"'max_completion_tokens', got {token_limit_param!r}")
        _require_httpx()  # fail at construction, not at the first summary
        self.url, query = _endpoint(base_url)
        self.model = model
        self.api_key_env = api_key_env
        self.api_key_header = _header_name(api_key_header, "api_key_header")
        self.timeout = float(timeout)
        self.max_retries = _count(max_retries, "max_retries", 0)
        self.max_response_bytes = _count(max_response_bytes, "max_response_bytes", 1)
        self.json_mode = bool(json_mode)
        self.backoff_base = _seconds(backoff_base, "backoff_base")
        self.backoff_cap = _seconds(backoff_cap, "backoff_cap")
        self.token_limit_param = token_limit_param
        self.temperature = None if temperature is None else _temperature(temperature)
        self.extra_headers = _extra_headers(extra_headers or {})
        # As openai-python merges them: the base URL's own query, then extra_query.
        self.extra_query = {**query, **(extra_query or {})}
        self.extra_body = _json_object(extra_body or {}, "extra_body")
        self._host_client = http_client
        self._transport = transport
        self._pools: dict[object, _Pool] = {}  # by running event loop

    def __repr__(self) -> str:
        return f"OpenAIChatClient({self.url!r}, model={self.model!r})"

    async def __aenter__(self) -> OpenAIChatClient:
        return self

    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        await self.aclose()

    async def aclose(self) -> None:
        """Close this event loop's pool and its sockets; a host's own client stays open."""
        pool = self._pools.get(_running_loop())
        if pool is not None and pool.closer is not None:
            await pool.closer.aclose()

    async def complete(
        self, *, messages: Sequence[Mapping[str, Any]], max_tokens: int
    ) -> Completion:
        headers, secrets = self._headers()
        body: dict[str, Any] = {
            "model": self.model, "messages": list(messages), self.token_limit_param: max_tokens}
        if self.temperature is not None:
            body["temperature"] = self.temperature
        if self.json_mode:
            body["response_format"] = {"type": "json_object"}
        try:
            return await self._send(body | self.extra_body, headers, secrets)
        except CompletionError as error:
            _drop_causes_holding(error, secrets)
            raise

    def _headers(self) -> tuple[dict[str, str], tuple[str, ...]]:
        """The request's headers, and the credentials among them, which no text may show."""
        # Read at call time so a key rotated in the environment is picked up; it goes
        # into this header and nowhere else. A key read from a file keeps its line end.
        api_key = os.environ.get(self.api_key_env, "").strip()
        if not _header_value_valid(api_key):
            raise CompletionError(
                f"the API key in ${self.api_key_env} is not valid for an HTTP header: it "
                "holds a control character or a character outside ASCII", kind="auth")
        headers = {"Accept": "application/json"}
        if api_key:
            bearer = self.api_key_header.lower() == "authorization"
            headers[self.api_key_header] = f"Bearer {api_key}" if bearer else api_key
        # As openai-python merges them: extra headers over the defaults, names in any case.
        overridden = {name.lower() for name in self.extra_headers}
        headers = {name: value for name, value in headers.items()
                   if name.lower() not in overridden} | self.extra_headers
        secrets = [value for name, value in headers.items()
                   if name.lower() in _CREDENTIAL_HEADERS]
        # An "Authorization" value is a scheme and a credential; an echo may hold either,
        # and httpx quotes a value it refuses as a bytes literal, escapes and all.
        secrets += [value.split(" ", 1)[1] for value in secrets if " " in value]
        secrets += [repr(secret.encode())[2:-1] for secret in secrets]
        return headers, tuple(secret for secret in secrets if secret)

    async def _send(self, body: dict[str, Any], headers: dict[str, str],
                    secrets: tuple[str, ...]) -> Completion:
        import anyio  # a dependency of httpx, whose presence __init__ checked

        try:
            # httpx times each phase (connect, each read) on its own; this deadline bounds
            # every attempt and every wait, so neither a server trickling bytes nor a
            # string of retries can hold the call past it.
            with anyio.fail_after(self.timeout) as deadline:
                pool = await self._pool()
                for retry in range(1, self.max_retries + 2):
                    try:
                        async with pool.gate:
                            return await self._attempt(pool.http, body, headers, secrets)
                    except _Retryable as failed:
                        error = failed.error
                        if retry > self.max_retries:
                            raise error from error.__cause__
                        wait = self._wait(retry, failed.retry_after)
                        if wait >= deadline.deadline - anyio.current_time():
                            raise CompletionError(
                                f"{error}; not retried: the next attempt would start "
                                f"past the {self.timeout} s deadline",
                                status_code=error.status_code, kind=error.kind,
                            ) from error.__cause__
                        logger.warning("%s; retry %d of %d in %.2f s", error,
                                       retry, self.max_retries, wait)
                        await anyio.sleep(wait)
        except TimeoutError as exc:
            raise CompletionError(
                f"timed out after {self.timeout} s waiting for {self.url}", kind="timeout"
            ) from exc
        raise AssertionError("unreachable: the last attempt returns or raises")

    def _wait(self, retry: int, retry_after: float | None) -> float:
        if retry_after is not None:
            return retry_after
        # Full jitter: clients that failed together spread out instead of returning
        # together.
        ceiling = min(self.backoff_cap, self.backoff_base * 2.0 ** (retry - 1))
        return random.uniform(0.0, ceiling)

    async def _pool(self) -> _Pool:
        if self._host_client is not None:
            return _Pool(self._host_client, contextlib.nullcontext(), None)
        loop = _running_loop()
        pool = self._pools.get(loop)
        if pool is not None:
            return pool
        import anyio
        import httpx

        # As many idle connections kept as open: httpcore closes an idle one whenever
        # more than its keep-alive number are open, which under load means a new
        # connection for nearly every request.
        limits = httpx.Limits(max_connections=_POOL_CONNECTIONS,
                              max_keepalive_connections=_POOL_CONNECTIONS)
        http = httpx.AsyncClient(transport=self._transport, timeout=self.timeout,
                                 limits=limits, follow_redirects=False)
        # Requests beyond the pool's size wait here, not in httpcore's queue, whose every
        # change walks each waiting request against each connection.
        pool = _Pool(http, anyio.Semaphore(_POOL_CONNECTIONS, fast_acquire=True), None)
        pool.closer = self._close_with_loop(loop, pool)
        self._pools[loop] = pool  # before the await: a concurrent call shares it
        await pool.closer.asend(None)
        return pool

    async def _close_with_loop(self, loop: object, pool: _Pool) -> AsyncGenerator[None, None]:
        # asyncio.run and trio.run close the async generators still suspended when their
        # main task ends, inside the loop: so a pool whose host never called aclose()
        # still closes its sockets in the loop that owns them, not in a later one.
        try:
            yield
        finally:
            if self._pools.get(loop) is pool:
                del self._pools[loop]
            await pool.http.aclose()

    async def _attempt(
        self, http: httpx.AsyncClient, body: dict[str, Any], headers: dict[str, str],
        secrets: tuple[str, ...],
    ) -> Completion:
        import httpx

        try:
            async with http.stream("POST", self.url, json=body, headers=headers,
                                   params=self.extra_query) as response:
                raw, whole = await _read_body(response, self.max_response_bytes)
                if not response.is_success:
                    raise _status_error(response, raw, self.url, secrets)
                if not whole:
                    raise CompletionError(f"answer from {self.url} is larger than "
                                          f"{self.max_response_bytes} bytes", kind="malformed")
        except httpx.HTTPError as exc:
            reason = _redact(str(exc) or type(exc).__name__, secrets)
            kind: ErrorKind = (
                "timeout" if isinstance(exc, httpx.TimeoutException) else "connection")
            error = CompletionError(f"request to {self.url} failed: {reason}", kind=kind)
            error.__cause__ = exc
            if isinstance(exc, _transient_errors()):
                raise _Retryable(error) from exc
            raise error from exc
        return _completion_of(raw, self.url, secrets)


def _status_error(response: httpx.Response, raw: bytes, url: str,
                  secrets: tuple[str, ...]) -> CompletionError | _Retryable:
    """The error for a server's answer that is not a success, retryable or not."""
    status = response.status_code
    kind = _error_kind(status, raw)
    error = CompletionError(f"HTTP {status} from {url}: {_excerpt(raw, secrets)}",
                            status_code=status, kind=kind)
    if status in _RETRIED_STATUSES and kind in _RETRIED_KINDS:
        return _Retryable(error, _retry_after(response.headers.get("retry-after"), time.time()))
    return error


def _error_kind(status: int, raw: bytes) -> ErrorKind:
    """What an error answer means, from its status and what its body says."""
    marks, message = _error_marks(raw)
    if status == 413:
        return "too_large"
    # A used-up quota or credit (OpenAI's 429 "insufficient_quota", a 402) is as lasting
    # as a refused key: the account must be fixed before any request can succeed.
    if status in (401, 402, 403) or "insufficient_quota" in marks:
        return "auth"
    # Redirects are not followed: like a 404, the URL is not the endpoint.
    if status in (404, 405, 410) or 300 <= status < 400:
        return "not_found"
    if marks & _CONTEXT_CODES or _CONTEXT_TEXT.search(message):
        return "context_length"
    if status == 429:
        return "too_large" if _TOO_LARGE_TEXT.search(message) else "rate_limit"
    if status == 408:
        return "timeout"
    return "server" if status == 409 or status >= 500 else "bad_request"


def _error_marks(raw: bytes) -> tuple[set[str], str]:
    """The code and type of an error body, lowercased, and its message.

    OpenAI nests them under "error"; vLLM sends them at the top level, with a number for
    a code; some servers give "error" as the message itself. A body that is not JSON is
    all message."""
    text = raw[:_ERROR_SCAN].decode("utf-8", "replace")
    try:
        data = json.loads(raw)
    except (ValueError, RecursionError):
        return set(), text
    if not isinstance(data, dict):
        return set(), text
    error = data.get("error")
    fields = error if isinstance(error, dict) else data
    marks = {str(fields.get(name)).lower() for name in ("code", "type")}
    message = fields.get("message", error)
    return marks, message[:_ERROR_SCAN] if isinstance(message, str) else text


async def _read_body(response: httpx.Response, limit: int) -> tuple[bytes, bool]:
    """The body, or its first `limit` bytes and False, without reading past the limit."""
    declared = response.headers.get("content-length", "")
    if declared.isdigit() and int(declared) > limit:
        return b"", False
    pieces = []
    size = 0
    # Decoded bytes are counted, so a small compressed body cannot unpack past the limit.
    chunks = response.aiter_bytes()
    async for chunk in chunks:
        size += len(chunk)
        if size > limit:
            pieces.append(chunk[:len(chunk) - (size - limit)])
            await _abandon(response, chunks)
            return b"".join(pieces), False
        pieces.append(chunk)
    return b"".join(pieces), True


async def _abandon(response: httpx.Response, chunks: AsyncIterator[bytes]) -> None:
    import httpx

    # httpx reads through a chain of async generators; closing only the outermost would
    # leave the inner ones to the garbage collector (trio warns about each). Closing the
    # connection first makes the next read fail at the bottom, which ends every one of
    # them, and no byte more is read.
    await response.aclose()
    try:
        async for _ in chunks:
            pass
    except (httpx.HTTPError, httpx.StreamError):
        pass
def _retry_after(value: str | None, now: float) -> float | None:
    """Seconds to wait from a Retry-After header (delay-seconds or an HTTP date)."""
    if value is None:
        return None
    value = value.strip()
    if _DELAY_SECONDS.fullmatch(value):
        return float(value)
    try:
        when = email.utils.parsedate_to_datetime(value)
    except (TypeError, ValueError):
        return None  # unreadable: the backoff applies
    if when.tzinfo is None:  # "-0000": RFC 9110 dates are GMT all the same
        when = when.replace(tzinfo=datetime.timezone.utc)
    return max(0.0, when.timestamp() - now)


def _excerpt(raw: bytes, secrets: tuple[str, ...]) -> str:
    # One line, so that an HTML error page cannot spread over the log.
    text = " ".join(_redact(raw.decode("utf-8", "replace"), secrets).split())
    return text[:_BODY_EXCERPT]


def _completion_of(raw: bytes, url: str, secrets: tuple[str, ...]) -> Completion:
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise CompletionError(f"malformed JSON from {url}: not UTF-8 text (byte {exc.start})",
                              kind="malformed") from None
    try:
        data = json.loads(text)
    except (ValueError, RecursionError):  # RecursionError: nested too deeply to decode
        excerpt = _redact(text, secrets)[:_BODY_EXCERPT]
        raise CompletionError(f"malformed JSON from {url}: {excerpt!r}",
                              kind="malformed") from None
    try:
        choice = data["choices"][0]
        message = choice["message"]
        content = message["content"]
    except (KeyError, IndexError, TypeError):
        raise CompletionError(
            f"unexpected answer from {url}: no choices[0].message.content", kind="malformed"
        ) from None
    if content is not None and not isinstance(content, str):
        raise CompletionError(
            f"unexpected answer from {url}: message content is {type(content).__name__}, "
            "not text", kind="malformed"
        )
    # vLLM and DeepSeek name the reasoning "reasoning_content"; newer vLLM, Ollama and
    # OpenRouter name it "reasoning".
    reasoning = message.get("reasoning_content") or message.get("reasoning")
    return Completion(content, _usage_of(data), _text_or_none(choice.get("finish_reason")),
                      _text_or_none(reasoning))


def _text_or_none(value: object) -> str | None:
    return value if isinstance(value, str) else None


def _usage_of(data: dict[str, Any]) -> Usage | None:
    usage = data.get("usage")
    if not isinstance(usage, dict):
        return None
    prompt, completion = usage.get("prompt_tokens"), usage.get("completion_tokens")
    if type(prompt) is int and type(completion) is int and min(prompt, completion) >= 0:
        return Usage(prompt, completion)
    return None  # absent or not counts: a host falls back to its own estimate


def _redact(text: str, secrets: tuple[str, ...]) -> str:
    # A misconfigured proxy may echo the request headers back in its error page; redact
    # before cutting, so that a key straddling the cut cannot leak its first half.
    for secret in secrets:
        text = text.replace(secret, "[redacted]")
    return text


def _drop_causes_holding(error: BaseException, secrets: tuple[str, ...]) -> None:
    """Unlink every cause or context, down the chain, whose printed form shows a secret.

    httpx's own errors quote what they could not send ("Illegal header value b'...'"),
    and a traceback prints the causes and contexts of the error it reports."""
    pending, seen = [error], set()
    while pending:
        link = pending.pop()
        seen.add(id(link))
        for name in ("__cause__", "__context__"):
            linked = getattr(link, name)
            if linked is None or id(linked) in seen:
                continue
            if any(secret in "".join(format_exception_only(linked)) for secret in secrets):
                setattr(link, name, None)
            else:
                pending.append(linked)
