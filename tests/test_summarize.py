"""summarize_messages end to end: the request, each outcome and its log lines,
and the coroutine protocol under hand driving and real event loops."""
import asyncio
import gc
import logging
import types
import weakref

import pytest

import vorlin.core.summarizer as ext
from conftest import Response

MESSAGES = [{"role": "user", "content": "Fix the build"}, {"role": "assistant", "content": "On it"}]
TRANSCRIPT = "[User]: Fix the build\n[Assistant]: On it"
PROMPT_END = "file paths, technical details, or user preferences.\n"


class Client:
    """Answers at once with `answer` (or raises it), recording each request."""

    def __init__(self, answer='{"goals": ["g"]}'):
        self.answer = answer
        self.calls = []

    async def complete(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if isinstance(self.answer, BaseException):
            raise self.answer
        return Response(self.answer)


def run(client, messages=MESSAGES, existing=None):
    return asyncio.run(ext.ConversationSummarizer(client).summarize_messages(messages, existing))


def fallback_expected(record):
    assert record["goals"] == ["Fix the build"]
    assert record["current_state"] == "Conversation had 2 messages before summarization"


@pytest.mark.parametrize("existing, middle", [
    (None, ""),
    ("", ""),
    ("S", "\n\n\n## Previous Summary (build on this):\nS"),
])
def test_request_is_exact(existing, middle):
    client = Client()
    run(client, existing=existing)
    (args, kwargs), = client.calls
    assert args == ()
    assert list(kwargs) == ["messages", "max_tokens"]
    assert kwargs["max_tokens"] == 2048
    system, user = kwargs["messages"]
    assert list(system) == ["role", "content"] and list(user) == ["role", "content"]
    assert system["role"] == "system" and user["role"] == "user"
    assert user["content"] == "Summarize the conversation above. Return ONLY the JSON object."
    expected = ext.SUMMARIZE_PROMPT + middle + "\n\n\n## Conversation to Summarize:\n" + TRANSCRIPT
    assert system["content"] == expected
    assert system["content"].startswith(ext.SUMMARIZE_PROMPT) and PROMPT_END in system["content"]


class Loud(str):
    def __format__(self, spec):
        return Loud(self.upper())


@pytest.mark.parametrize("name, value, system", [
    ("SUMMARIZE_PROMPT", Loud("p"), "p\n\n\n## Conversation to Summarize:\n" + TRANSCRIPT),
    ("_format_messages_for_summary", lambda messages: Loud("t"), "\n\n## Conversation to Summarize:\nT"),
    ("_format_messages_for_summary", lambda messages: 7, "\n\n## Conversation to Summarize:\n7"),
])
def test_replaced_prompt_or_transcript_is_written(monkeypatch, name, value, system):
    monkeypatch.setattr(ext, name, value)
    client = Client()
    run(client)
    (_, kwargs), = client.calls
    assert kwargs["messages"][0]["content"].endswith(system)


def test_prompt_that_is_not_text_fails_as_the_join_does(monkeypatch, caplog):
    monkeypatch.setattr(ext, "SUMMARIZE_PROMPT", 3)
    client = Client()
    fallback_expected(run(client))
    assert client.calls == []
    assert [r.getMessage() for r in caplog.records] == [
        "Summarization failed: sequence item 0: expected str instance, int found"]


def test_empty_list_makes_no_request(caplog):
    client = Client()
    record = run(client, messages=[])
    assert client.calls == [] and caplog.records == []
    assert record["goals"] == [] and record["summary"] == ""


def test_parsed_answer_is_returned_unchanged(caplog):
    record = run(Client('{"goals": ["g"], "summary": "s"}'))
    assert record["goals"] == ["g"] and record["summary"] == "s"
    assert caplog.records == []


@pytest.mark.parametrize("content", ["", None, 0, []])
def test_empty_answer_warns_and_falls_back(caplog, content):
    caplog.set_level(logging.WARNING, "vorlin.summarizer")
    fallback_expected(run(Client(content)))
    assert [(r.levelname, r.getMessage(), r.args) for r in caplog.records] == [
        ("WARNING", "Empty response from summarizer LLM", ())]


class NoComplete:
    pass


class Plain:
    def complete(self, **kwargs):
        return Response("x")


class NoContent:
    async def complete(self, **kwargs):
        return object()


@pytest.mark.parametrize("client, message", [
    (Client(ValueError("boom")), "Summarization failed: boom"),
    (Client(RuntimeError()), "Summarization failed: "),
    (NoComplete(), "Summarization failed: 'NoComplete' object has no attribute 'complete'"),
    (Plain(), "Summarization failed: object Response can't be used in 'await' expression"),
    (NoContent(), "Summarization failed: 'object' object has no attribute 'content'"),
])
def test_failures_log_one_error_and_fall_back(caplog, client, message):
    fallback_expected(run(client))
    assert [(r.levelname, r.getMessage(), r.args, r.exc_info) for r in caplog.records] == [
        ("ERROR", message, (), None)]


def test_parse_result_checked(monkeypatch, caplog):
    monkeypatch.setattr(ext, "_parse_summary", lambda text: [text])
    fallback_expected(run(Client("x")))
    assert [r.getMessage() for r in caplog.records] == ["Summarization failed: Expected dict, got list"]


def test_fallback_failing_inside_handler_carries_context(monkeypatch):
    def broken(messages):
        raise KeyError("fallback")
    monkeypatch.setattr(ext, "_fallback_summary", broken)
    with pytest.raises(KeyError) as info:
        run(Client(ValueError("first")))
    assert isinstance(info.value.__context__, ValueError)


def test_transcript_failure_passes_to_caller(caplog):
    with pytest.raises(AttributeError):
        run(Client(), messages=["not a message"])
    assert caplog.records == []


class Yielding:
    """An awaitable that yields one value to the driver, then answers."""

    def __init__(self, marker, answer='{"summary": "done"}'):
        self.marker, self.answer = marker, answer

    def complete(self, **kwargs):
        return self._wait()

    @types.coroutine
    def _wait(self):
        sent = yield self.marker
        return Response(sent if sent is not None else self.answer)


def start(client):
    return ext.ConversationSummarizer(client).summarize_messages(MESSAGES)


def test_yielded_value_passes_through_and_send_resumes():
    marker = object()
    coro = start(Yielding(marker))
    assert coro.send(None) is marker
    assert coro.cr_await is not None
    with pytest.raises(StopIteration) as stop:
        coro.send('{"summary": "sent"}')
    assert stop.value.value["summary"] == "sent"
    assert coro.cr_await is None
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.send(None)


def test_non_none_first_send_is_refused():
    coro = start(Client())
    with pytest.raises(TypeError, match="can't send non-None value to a just-started coroutine"):
        coro.send(1)
    coro.close()


def test_throw_goes_to_the_awaitable_and_is_handled(caplog):
    coro = start(Yielding(1))
    coro.send(None)
    with pytest.raises(StopIteration) as stop:
        coro.throw(ValueError("thrown"))
    fallback_expected(stop.value.value)
    assert [r.getMessage() for r in caplog.records] == ["Summarization failed: thrown"]


def test_throw_base_exception_passes_through(caplog):
    coro = start(Yielding(1))
    coro.send(None)
    with pytest.raises(KeyboardInterrupt):
        coro.throw(KeyboardInterrupt)
    assert caplog.records == []


def test_close_closes_the_awaitable():
    closed = []

    class Awaitable:
        def __await__(self):
            return self

        def __next__(self):
            return "waiting"

        def close(self):
            closed.append(True)

    class C:
        def complete(self, **kwargs):
            return Awaitable()

    coro = start(C())
    assert coro.send(None) == "waiting"
    assert coro.close() is None
    assert closed == [True]


def test_is_recognised_as_coroutine():
    import collections.abc
    coro = start(Client())
    assert asyncio.iscoroutine(coro) and isinstance(coro, collections.abc.Coroutine)
    assert coro.__name__ == "summarize_messages"
    assert coro.__qualname__ == "ConversationSummarizer.summarize_messages"
    coro.close()


def test_gather_many_in_flight_and_cancel():
    async def main():
        summarizer = ext.ConversationSummarizer(Client('{"summary": "s"}'))
        records = await asyncio.gather(*(summarizer.summarize_messages(MESSAGES) for _ in range(50)))
        assert all(r["summary"] == "s" for r in records)

        class Slow:
            async def complete(self, **kwargs):
                await asyncio.sleep(10)

        task = asyncio.ensure_future(ext.ConversationSummarizer(Slow()).summarize_messages(MESSAGES))
        await asyncio.sleep(0.01)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
    asyncio.run(main())


def test_uvloop_and_trio():
    uvloop = pytest.importorskip("uvloop")
    trio = pytest.importorskip("trio")
    summarizer = ext.ConversationSummarizer(Client('{"summary": "u"}'))
    assert uvloop.run(summarizer.summarize_messages(MESSAGES))["summary"] == "u"

    class TrioClient:
        async def complete(self, **kwargs):
            await trio.sleep(0)
            return Response('{"summary": "t"}')

    async def main():
        return await ext.ConversationSummarizer(TrioClient()).summarize_messages(MESSAGES)
    assert trio.run(main)["summary"] == "t"


def test_client_referring_back_to_the_coroutine_is_collected():
    class Holder:
        coro = None

        def complete(self, **kwargs):
            return Yielding(1).complete()

    holder = Holder()
    coro = ext.ConversationSummarizer(holder).summarize_messages(MESSAGES)
    holder.coro = coro
    coro.send(None)
    ref = weakref.ref(coro)
    del coro, holder
    gc.collect()
    assert ref() is None


class Quiet:
    """Answers at once and keeps nothing of the request."""

    async def complete(self, **kwargs):
        return Response('{"summary": "s"}')


def test_many_calls_do_not_leak():
    summarizer = ext.ConversationSummarizer(Quiet())

    def once():
        coro = summarizer.summarize_messages(MESSAGES)
        try:
            coro.send(None)
        except StopIteration:
            pass
    for _ in range(200):
        once()
    gc.collect()
    import sys
    before = sys.getallocatedblocks()
    for _ in range(5000):
        once()
    gc.collect()
    assert sys.getallocatedblocks() - before < 200
