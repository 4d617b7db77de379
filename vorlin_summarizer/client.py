"""A client for OpenAI-compatible chat-completion servers.

Hosted APIs, vLLM, llama.cpp's server and Ollama all answer POST <base>/chat/completions
with the same JSON shape, so one small adapter serves them all. httpx is an optional
dependency (extra ``cli``): it is imported when a client is made, not when this module is.
"""

from __future__ import annotations

import os
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import httpx

__all__ = ["Completion", "CompletionError", "OpenAIChatClient"]

# How much of an error body goes into the exception text: enough to read the server's
# reason, not so much that a whole HTML error page lands in the log line.
_BODY_EXCERPT = 200


class CompletionError(Exception):
    """The server could not be reached or did not give a usable completion."""


@dataclass(frozen=True)
class Completion:
    """The one thing the summarizer reads from an answer: its text."""

    content: str | None


def _require_httpx() -> None:
    try:
        import httpx  # noqa: F401
    except ImportError:
        raise ImportError(
            "the OpenAI-compatible client needs httpx: pip install 'vorlin-summarizer[cli]'"
        ) from None


class OpenAIChatClient:
    """Sends one chat-completion request per ``complete`` call.

    A fresh ``httpx.AsyncClient`` is opened per call: summaries are rare and slow next to
    a TCP handshake, and a per-call client carries no state from one event loop to
    another, so the same object works under asyncio and trio alike.
    """

    def __init__(
        self,
        base_url: str,
        model: str,
        *,
        api_key_env: str = "OPENAI_API_KEY",
        timeout: float = 60.0,
        transport: httpx.AsyncBaseTransport | None = None,
    ) -> None:
        if not base_url.startswith(("http://", "https://")):
            raise ValueError(f"base URL must start with http:// or https://, got {base_url!r}")
        if not model:
            raise ValueError("model name must not be empty")
        if not timeout > 0:
            raise ValueError(f"timeout must be a positive number of seconds, got {timeout!r}")
        _require_httpx()  # fail at construction, not at the first summary
        self.url = base_url.rstrip("/") + "/chat/completions"
        self.model = model
        self.api_key_env = api_key_env
        self.timeout = float(timeout)
        self._transport = transport

    def __repr__(self) -> str:
        return f"OpenAIChatClient({self.url!r}, model={self.model!r})"

    async def complete(
        self, *, messages: Sequence[Mapping[str, Any]], max_tokens: int
    ) -> Completion:
        import anyio  # a dependency of httpx, whose presence __init__ checked
        import httpx
        # Read at call time so a key rotated in the environment is picked up; it goes
        # into this header and nowhere else.
        api_key = os.environ.get(self.api_key_env) or None
        headers = {"Accept": "application/json"}
        if api_key is not None:
            headers["Authorization"] = f"Bearer {api_key}"
        body = {"model": self.model, "messages": list(messages), "max_tokens": max_tokens}
        try:
            # httpx times each phase (connect, each read) on its own; the outer deadline
            # bounds the whole exchange, so a server trickling bytes cannot hold it open.
            with anyio.fail_after(self.timeout):
                async with httpx.AsyncClient(
                    transport=self._transport, timeout=self.timeout, follow_redirects=False
                ) as http:
                    response = await http.post(self.url, json=body, headers=headers)
        except (httpx.TimeoutException, TimeoutError) as exc:
            raise CompletionError(
                f"timed out after {self.timeout} s waiting for {self.url}"
            ) from exc
        except httpx.HTTPError as exc:
            reason = str(exc) or type(exc).__name__
            raise CompletionError(
                f"request to {self.url} failed: {_redact(reason, api_key)}"
            ) from exc
        return Completion(_content_of(response, self.url, api_key))


def _content_of(response: httpx.Response, url: str, api_key: str | None) -> str | None:
    if not response.is_success:
        excerpt = _redact(response.text, api_key)[:_BODY_EXCERPT]
        raise CompletionError(f"HTTP {response.status_code} from {url}: {excerpt}")
    try:
        data = response.json()
    except ValueError:
        excerpt = _redact(response.text, api_key)[:_BODY_EXCERPT]
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
    return content


def _redact(text: str, api_key: str | None) -> str:
    # A misconfigured proxy may echo the request headers back in its error page; redact
    # before cutting, so that a key straddling the cut cannot leak its first half.
    return text.replace(api_key, "[redacted]") if api_key else text
