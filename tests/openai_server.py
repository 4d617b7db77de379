"""A small OpenAI-compatible chat-completion server for the client and CLI tests.

It runs in a thread on 127.0.0.1 at an ephemeral port, records every request, and plays
the replies queued on it in order (a canned completion once the queue is empty).
"""

from __future__ import annotations

import collections
import json
import threading
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest

CANNED = {
    "goals": ["Ship the retry change"],
    "progress": ["Wrapped get() in a retry loop"],
    "current_state": "Running tests",
    "key_decisions": ["GET only"],
    "key_facts": ["src/net/client.py"],
    "blockers": [],
    "next_steps": ["Fix two tests"],
    "summary": "Retries added; tests running.",
}


def completion(content, model="test-model"):
    """The body of a successful chat completion whose message holds `content`."""
    return {
        "id": "chatcmpl-test", "object": "chat.completion", "created": 0, "model": model,
        "choices": [{"index": 0, "finish_reason": "stop",
                     "message": {"role": "assistant", "content": content}}],
        "usage": {"prompt_tokens": 1, "completion_tokens": 1, "total_tokens": 2},
    }


@dataclass
class Reply:
    status: int = 200
    body: object = field(default_factory=lambda: completion(json.dumps(CANNED)))
    delay: float = 0.0  # seconds before answering; cut short when the server stops
    trickle: float = 0.0  # seconds between single bytes of the body

    def encoded(self):
        if isinstance(self.body, (bytes, str)):
            return self.body.encode() if isinstance(self.body, str) else self.body
        return json.dumps(self.body).encode()


@dataclass
class Request:
    path: str
    headers: dict
    body: object  # the decoded JSON, or the raw bytes if it was not JSON


class OpenAIServer:
    def __init__(self):
        self.requests: list[Request] = []
        self.replies: collections.deque[Reply] = collections.deque()
        self.stopping = threading.Event()
        self._httpd = ThreadingHTTPServer(("127.0.0.1", 0), self._handler())
        self._httpd.daemon_threads = True
        self._httpd.handle_error = lambda request, address: None  # client went away
        self.base_url = f"http://127.0.0.1:{self._httpd.server_address[1]}/v1"
        self.url = self.base_url + "/chat/completions"
        # A short poll keeps shutdown (and so each test's teardown) quick.
        self._thread = threading.Thread(target=self._httpd.serve_forever, args=(0.02,),
                                        daemon=True)

    def reply(self, *replies):
        self.replies.extend(replies)

    def start(self):
        self._thread.start()
        return self

    def stop(self):
        self.stopping.set()
        self._httpd.shutdown()
        self._httpd.server_close()
        self._thread.join()

    def _handler(self):
        server = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_POST(self):
                raw = self.rfile.read(int(self.headers.get("Content-Length", 0)))
                try:
                    body = json.loads(raw)
                except ValueError:
                    body = raw
                headers = {name.lower(): value for name, value in self.headers.items()}
                server.requests.append(Request(self.path, headers, body))
                reply = server.replies.popleft() if server.replies else Reply()
                if reply.delay:
                    server.stopping.wait(reply.delay)
                payload = reply.encoded()
                self.send_response(reply.status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(payload)))
                self.end_headers()
                if not reply.trickle:
                    self.wfile.write(payload)
                    return
                for i in range(len(payload)):
                    if server.stopping.wait(reply.trickle):
                        return
                    self.wfile.write(payload[i:i + 1])
                    self.wfile.flush()

            def log_message(self, format, *args):
                pass

        return Handler


@pytest.fixture
def openai_server():
    server = OpenAIServer().start()
    try:
        yield server
    finally:
        server.stop()
