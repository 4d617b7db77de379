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
from collections.abc import AsyncGenerator, AsyncIterator, Mapping, Sequence
from dataclasses import dataclass
from types import TracebackType
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import httpx

__all__ = ["Completion", "CompletionError", "OpenAIChatClient", "Usage"]

logger = logging.getLogger(__name__)

# How much of an error body goes into the exception text: enough to read the server's
# reason, not so much that a whole HTML error page lands in the log line.
_BODY_EXCERPT = 200

# Answers that say "not now" rather than "never": rate limits, overload, a gateway that
# lost its upstream, a request timeout or conflict on the server's side.
_RETRIED_STATUSES = frozenset({408, 409, 429, 500, 502, 503, 504})

# RFC 9110 gives Retry-After as whole seconds; some servers send a fraction.
_DELAY_SECONDS = re.compile(r"[0-9]+(?:\.[0-9]*)?")

# Connections of a pool the client keeps itself; a host wanting other limits passes its
# own httpx.AsyncClient.
_POOL_CONNECTIONS = 20


class CompletionError(Exception):
    """The server could not be reached or did not give a usable completion."""


@dataclass(frozen=True)
class Usage:
    """The server's token counts for one completion, to calibrate a host's estimates."""

    prompt_tokens: int
    completion_tokens: int


@dataclass(frozen=True)
class Completion:
    """The answer's text, which is all the summarizer reads, and the server's counts."""

    content: str | None
    usage: Usage | None = None


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
    ) -> None:
        if not base_url.startswith(("http://", "https://")):
            raise ValueError(f"base URL must start with http:// or https://, got {base_url!r}")
        if not model:
            raise ValueError("model name must not be empty")
        if not timeout > 0:
            raise ValueError(f"timeout must be a positive number of seconds, got {timeout!r}")
        if http_client is not None and transport is not None:
            raise ValueError("give either http_client or transport, not both")
        _require_httpx()  # fail at construction, not at the first summary
        self.url = base_url.rstrip("/") + "/chat/completions"
        self.model = model
        self.api_key_env = api_key_env
        self.timeout = float(timeout)
        self.max_retries = _count(max_retries, "max_retries", 0)
        self.max_response_bytes = _count(max_response_bytes, "max_response_bytes", 1)
        self.json_mode = bool(json_mode)
        self.backoff_base = _seconds(backoff_base, "backoff_base")
        self.backoff_cap = _seconds(backoff_cap, "backoff_cap")
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
        import anyio  # a dependency of httpx, whose presence __init__ checked
        # Read at call time so a key rotated in the environment is picked up; it goes
        # into this header and nowhere else.
        api_key = os.environ.get(self.api_key_env) or None
        headers = {"Accept": "application/json"}
        if api_key is not None:
            headers["Authorization"] = f"Bearer {api_key}"
        body: dict[str, Any] = {
            "model": self.model, "messages": list(messages), "max_tokens": max_tokens}
        if self.json_mode:
            body["response_format"] = {"type": "json_object"}
        try:
            # httpx times each phase (connect, each read) on its own; this deadline bounds
            # every attempt and every wait, so neither a server trickling bytes nor a
            # string of retries can hold the call past it.
            with anyio.fail_after(self.timeout) as deadline:
                pool = await self._pool()
                for retry in range(1, self.max_retries + 2):
                    try:
                        async with pool.gate:
                            return await self._attempt(pool.http, body, headers, api_key)
                    except _Retryable as failed:
                        if retry > self.max_retries:
                            raise failed.error from failed.error.__cause__
                        wait = self._wait(retry, failed.retry_after)
                        if wait >= deadline.deadline - anyio.current_time():
                            raise CompletionError(
                                f"{failed.error}; not retried: the next attempt would start "
                                f"past the {self.timeout} s deadline"
                            ) from failed.error.__cause__
                        logger.warning("%s; retry %d of %d in %.2f s", failed.error,
                                       retry, self.max_retries, wait)
                        await anyio.sleep(wait)
        except TimeoutError as exc:
            raise CompletionError(
                f"timed out after {self.timeout} s waiting for {self.url}"
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
        api_key: str | None,
    ) -> Completion:
        import httpx

        try:
            async with http.stream("POST", self.url, json=body, headers=headers) as response:
                raw, whole = await _read_body(response, self.max_response_bytes)
                if not response.is_success:
                    error = CompletionError(f"HTTP {response.status_code} from {self.url}: "
                                            f"{_excerpt(raw, api_key)}")
                    if response.status_code in _RETRIED_STATUSES:
                        raise _Retryable(error, _retry_after(
                            response.headers.get("retry-after"), time.time()))
                    raise error
                if not whole:
                    raise CompletionError(f"answer from {self.url} is larger than "
                                          f"{self.max_response_bytes} bytes")
        except httpx.HTTPError as exc:
            reason = _redact(str(exc) or type(exc).__name__, api_key)
            error = CompletionError(f"request to {self.url} failed: {reason}")
            error.__cause__ = exc
            if isinstance(exc, _transient_errors()):
                raise _Retryable(error) from exc
            raise error from exc
        return _completion_of(raw, self.url, api_key)


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


def _excerpt(raw: bytes, api_key: str | None) -> str:
    # One line, so that an HTML error page cannot spread over the log.
    text = " ".join(_redact(raw.decode("utf-8", "replace"), api_key).split())
    return text[:_BODY_EXCERPT]


def _completion_of(raw: bytes, url: str, api_key: str | None) -> Completion:
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise CompletionError(
            f"malformed JSON from {url}: not UTF-8 text (byte {exc.start})") from None
    try:
        data = json.loads(text)
    except (ValueError, RecursionError):  # RecursionError: nested too deeply to decode
        excerpt = _redact(text, api_key)[:_BODY_EXCERPT]
        raise CompletionError(f"malformed JSON from {url}: {excerpt!r}") from None
    try:
        content = data["choices"][0]["message"]["content"]
    except (KeyError, IndexError, TypeError):
        raise CompletionError(
            f"unexpected answer from {url}: no choices[0].message.content"
        ) from None
    if content is not None and not isinstance(content, str):
        raise CompletionError(
            f"unexpected answer from {url}: message content is {type(content).__name__}, "
            "not text"
        )
    return Completion(content, _usage_of(data))


def _usage_of(data: dict[str, Any]) -> Usage | None:
    usage = data.get("usage")
    if not isinstance(usage, dict):
        return None
    prompt, completion = usage.get("prompt_tokens"), usage.get("completion_tokens")
    if type(prompt) is int and type(completion) is int and min(prompt, completion) >= 0:
        return Usage(prompt, completion)
    return None  # absent or not counts: a host falls back to its own estimate


def _redact(text: str, api_key: str | None) -> str:
    # A misconfigured proxy may echo the request headers back in its error page; redact
    # before cutting, so that a key straddling the cut cannot leak its first half.
    return text.replace(api_key, "[redacted]") if api_key else text
