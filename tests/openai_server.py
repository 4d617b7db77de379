"""A small OpenAI-compatible chat-completion server for the client and CLI tests.

It runs in a thread on 127.0.0.1 at an ephemeral port, records every request, and plays
the replies queued on it in order (once the queue is empty, what `choose` picks for the
request, or a canned completion). Replies can inject faults: a status with its headers,
a delay, a body trickled byte by byte or streamed without end, a reset connection.
"""

from __future__ import annotations

import collections
import json
import socket
import struct
import threading
import time
from collections.abc import Callable
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


def completion(content, model="test-model", *, finish_reason="stop", **message):
    """The body of a successful chat completion whose message holds `content` (and any
    other message fields given, such as `reasoning_content`)."""
    return {
        "id": "chatcmpl-test", "object": "chat.completion", "created": 0, "model": model,
        "choices": [{"index": 0, "finish_reason": finish_reason,
                     "message": {"role": "assistant", "content": content, **message}}],
        "usage": {"prompt_tokens": 1, "completion_tokens": 1, "total_tokens": 2},
    }


@dataclass
class Reply:
    status: int = 200
    body: object = field(default_factory=lambda: completion(json.dumps(CANNED)))
    delay: float = 0.0  # seconds before answering; cut short when the server stops
    trickle: float = 0.0  # seconds between single bytes of the body
    headers: dict = field(default_factory=dict)  # sent after Content-Type
    reset: bool = False  # read the request, then drop the connection with a TCP reset
    chunked: bool = False  # no Content-Length: the body in chunks, ended by a last chunk
    endless: bool = False  # with chunked: repeat the body until the client goes away
    content_length: int | None = None  # declared instead of the body's true length

    def encoded(self):
        if isinstance(self.body, (bytes, str)):
            return self.body.encode() if isinstance(self.body, str) else self.body
        return json.dumps(self.body).encode()


@dataclass
class Request:
    path: str
    headers: dict
    body: object  # the decoded JSON, or the raw bytes if it was not JSON
    port: int = 0  # the client's port: the same one for requests on one connection


class _HTTPServer(ThreadingHTTPServer):
    request_queue_size = 1024  # hundreds of clients may connect at once under load


class OpenAIServer:
    def __init__(self, choose: Callable[[Request], Reply] | None = None):
        self.requests: list[Request] = []
        self.replies: collections.deque[Reply] = collections.deque()
        self.choose = choose
        self.open_connections = 0  # changed only under _lock
        self._lock = threading.Lock()
        self.stopping = threading.Event()
        self._httpd = _HTTPServer(("127.0.0.1", 0), self._handler())
        self._httpd.daemon_threads = True
        self._httpd.handle_error = lambda request, address: None  # client went away
        self.base_url = f"http://127.0.0.1:{self._httpd.server_address[1]}/v1"
        self.url = self.base_url + "/chat/completions"
        # A short poll keeps shutdown (and so each test's teardown) quick.
        self._thread = threading.Thread(target=self._httpd.serve_forever, args=(0.02,),
                                        daemon=True)

    def reply(self, *replies):
        self.replies.extend(replies)

    def _next_reply(self, request):
        try:
            return self.replies.popleft()
        except IndexError:
            return self.choose(request) if self.choose is not None else Reply()

    def wait_closed(self, seconds=5.0):
        """True once every connection to the server has been closed by its client."""
        deadline = time.monotonic() + seconds
        while self.open_connections:
            if time.monotonic() > deadline:
                return False
            time.sleep(0.01)
        return True

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

            def setup(self):
                super().setup()
                # Headers and body go out in separate writes: without this, Nagle's
                # algorithm holds the body for the client's delayed ACK (about 40 ms).
                self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                with server._lock:
                    server.open_connections += 1

            def finish(self):
                try:
                    super().finish()
                finally:
                    with server._lock:
                        server.open_connections -= 1

            def do_POST(self):
                raw = self.rfile.read(int(self.headers.get("Content-Length", 0)))
                try:
                    body = json.loads(raw)
                except ValueError:
                    body = raw
                headers = {name.lower(): value for name, value in self.headers.items()}
                request = Request(self.path, headers, body, self.client_address[1])
                server.requests.append(request)
                reply = server._next_reply(request)
                if reply.delay:
                    server.stopping.wait(reply.delay)
                if reply.reset:
                    # Linger 0: close() sends RST instead of FIN.
                    self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                               struct.pack("ii", 1, 0))
                    self.connection.close()
                    self.close_connection = True
                    return
                payload = reply.encoded()
                self.send_response(reply.status)
                self.send_header("Content-Type", "application/json")
                for name, value in reply.headers.items():
                    self.send_header(name, value)
                if reply.chunked:
                    self.send_header("Transfer-Encoding", "chunked")
                else:
                    length = reply.content_length
                    self.send_header("Content-Length",
                                     str(len(payload) if length is None else length))
                self.end_headers()
                try:
                    self._write_body(reply, payload)
                except OSError:  # the client stopped reading and went away
                    self.close_connection = True

            def _write_body(self, reply, payload):
                if reply.chunked:
                    chunk = b"%x\r\n%s\r\n" % (len(payload), payload)
                    self.wfile.write(chunk)
                    while reply.endless and not server.stopping.is_set():
                        self.wfile.write(chunk)
                    self.wfile.write(b"0\r\n\r\n")
                elif not reply.trickle:
                    self.wfile.write(payload)
                else:
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
