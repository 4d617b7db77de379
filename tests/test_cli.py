"""vorlin-summarize end to end: in-process through main(), and the installed command."""

import io
import json
import logging
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import twin
from openai_server import CANNED, Reply, completion, openai_server  # noqa: F401
from vorlin_summarizer.cli import main
from vorlin_summarizer.formats import as_chat_messages

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "conversation.json"
MESSAGES = json.loads(EXAMPLE.read_text(encoding="utf-8"))
OFFLINE_LINE = ("vorlin-summarize: no --base-url or VORLIN_SUMMARIZER_BASE_URL: offline, "
                "printing the basic summary")
KEY_ENV = "VORLIN_TEST_API_KEY"
RECORD_KEYS = ["goals", "progress", "current_state", "key_decisions", "key_facts",
               "blockers", "next_steps", "summary", "created_at"]


def rendered(record):
    return twin.ConversationSummarizer(None).format_summary_for_context(record)


def fallback_text(messages):
    return rendered(twin._fallback_summary(messages))


def stdin_of(data: bytes, tty=False):
    stream = io.TextIOWrapper(io.BytesIO(data), encoding="utf-8")
    stream.isatty = lambda: tty
    return stream


class Terminal(io.StringIO):
    def isatty(self):
        return True


SUMMARY_ITEM = {"role": "system", "content": rendered(CANNED)}
COMPACTED = [SUMMARY_ITEM, *MESSAGES[5:]]  # what compact makes of the example


SENDING = {  # the line before more than one request, by the options that chunk
    ("--chunk", "3"): "sending 3 requests of about 204 tokens each",
    ("--chunk", "1"): "sending 3 requests of about 73 tokens each",  # COMPACTED's 3 messages
    # A budget below any unit's size: each of the 5 units alone, never a call without its result.
    ("--chunk-tokens", "1"): "sending 5 requests of about 122 tokens each"}


@pytest.fixture(autouse=True)
def plain_environment(monkeypatch):
    for name in ("VORLIN_SUMMARIZER_BASE_URL", "VORLIN_SUMMARIZER_MODEL", "OPENAI_API_KEY"):
        monkeypatch.delenv(name, raising=False)


def as_json_lines(messages):
    return "\n\n".join(json.dumps(m) for m in messages) + "\n"  # a blank line is allowed


def with_parts(messages):
    """The messages with each text content given as OpenAI-style parts, plus an image."""
    image = {"type": "image_url", "image_url": {"url": "data:image/png;base64," + "A" * 4096}}
    return [{**m, "content": [{"type": "text", "text": m["content"]}, image]}
            if isinstance(m.get("content"), str) else m for m in messages]


PARTS = with_parts(MESSAGES)
FLATTENED = [{**m, "content": m["content"][0]["text"] + "\n[image]"}
             if isinstance(m.get("content"), list) else m for m in PARTS]


# Odd shapes that the summarizer reads without fault: the command must not refuse them.
READABLE = [{"role": "user", "content": None}, {"role": "developer", "content": "d"},
            {"role": "assistant", "tool_calls": [{"name": "q", "arguments": json.dumps(
                {"pattern": "[{" * 600})}, {"id": "a"}]},
            {"role": "assistant", "tool_calls": []}, {"role": "user", "content": "the request"}]


@pytest.mark.parametrize("form", ["array", "json-lines", "stdin-dash", "stdin-implicit",
                                  "chunk", "chunk-tokens", "parts", "readable"])
def test_offline_prints_the_basic_summary(form, tmp_path, monkeypatch, capsys, log):
    expected = MESSAGES
    if form in ("array", "chunk", "chunk-tokens"):
        argv = [str(EXAMPLE)]
        # No model: one basic summary of the whole conversation, not of its last chunk.
        argv += {"chunk": ["--chunk", "3"], "chunk-tokens": ["--chunk-tokens", "100"]}.get(
            form, [])
    elif form in ("parts", "readable"):
        expected = FLATTENED if form == "parts" else READABLE
        path = tmp_path / "messages.json"
        path.write_text(json.dumps(PARTS if form == "parts" else READABLE), encoding="utf-8")
        argv = [str(path)]
    elif form == "json-lines":
        path = tmp_path / "conversation.jsonl"
        path.write_text(as_json_lines(MESSAGES), encoding="utf-8")
        argv = [str(path)]
    else:
        monkeypatch.setattr(sys, "stdin", stdin_of(EXAMPLE.read_bytes()))
        argv = ["-"] if form == "stdin-dash" else []

    assert main(argv) == 0

    out, err = capsys.readouterr()
    assert out == fallback_text(expected) + "\n"
    assert err == OFFLINE_LINE + "\n"
    assert log.records == []  # the offline line has said it: no "Empty response" warning


def test_json_output_is_the_record(tmp_path, capsys):
    messages = [{"role": "user", "content": "Résumé the café notes ☕"}]
    path = tmp_path / "c.json"
    path.write_text(json.dumps(messages), encoding="utf-8")

    assert main(["--json", str(path)]) == 0

    out = capsys.readouterr().out
    assert "Résumé the café notes ☕" in out  # not \u escapes
    assert out.startswith('{\n  "goals": [\n    "R')  # indent 2
    record = json.loads(out)
    assert list(record) == RECORD_KEYS
    assert record | {"created_at": 0} == twin._fallback_summary(messages) | {"created_at": 0}


@pytest.mark.parametrize("configured_by", ["options", "environment"])
def test_server_answer_is_rendered(configured_by, openai_server, tmp_path, monkeypatch,
                                   capsys, log):
    monkeypatch.setenv(KEY_ENV, "sk-cli-test")
    earlier = tmp_path / "earlier.md"
    earlier.write_text("From the file.\n", encoding="utf-8")
    argv = ["--api-key-env", KEY_ENV, "--summary", "From the option.",
            "--summary-file", str(earlier), str(EXAMPLE)]
    if configured_by == "options":
        argv = ["--base-url", openai_server.base_url, "--model", "local-model", *argv]
    else:
        monkeypatch.setenv("VORLIN_SUMMARIZER_BASE_URL", openai_server.base_url)
        monkeypatch.setenv("VORLIN_SUMMARIZER_MODEL", "local-model")

    assert main(argv) == 0

    out, err = capsys.readouterr()
    assert out == rendered(CANNED) + "\n"
    assert err == ""
    assert log.records == []
    [request] = openai_server.requests
    assert request.body["model"] == "local-model"
    assert request.headers["authorization"] == "Bearer sk-cli-test"
    assert request.body["messages"][0]["content"].endswith(
        "## Previous Summary (build on this):\nFrom the option.\n\nFrom the file.\n\n\n"
        "## Conversation to Summarize:\n" + twin._format_messages_for_summary(MESSAGES))


@pytest.mark.parametrize("terminal", [False, True], ids=["piped", "terminal"])
def test_chunks_build_on_each_other(terminal, openai_server, monkeypatch, capsys):
    answers = [{"summary": f"after chunk {n}", "goals": [f"goal {n}"]} for n in (1, 2, 3)]
    # A retry's log line arrives while the bar is drawn.
    openai_server.reply(Reply(503, "busy", headers={"Retry-After": "0"}),
                        *(Reply(body=completion(json.dumps(a))) for a in answers))
    if terminal:
        monkeypatch.setattr(sys, "stderr", Terminal())

    assert main(["--base-url", openai_server.base_url, "--chunk", "3", "--max-retries", "1",
                 str(EXAMPLE)]) == 0

    out, err = capsys.readouterr()
    systems = [r.body["messages"][0]["content"] for r in openai_server.requests[1:]]
    chunks = [MESSAGES[0:3], MESSAGES[3:6], MESSAGES[6:8]]
    assert len(systems) == 3
    assert "## Previous Summary" not in systems[0]
    for system, chunk, before in zip(systems, chunks, [None, *answers]):
        previous = "" if before is None else (
            "## Previous Summary (build on this):\n" + rendered(twin._parse_summary(
                json.dumps(before))) + "\n\n\n")
        assert system.endswith(
            "\n" + previous + "## Conversation to Summarize:\n"
            + twin._format_messages_for_summary(chunk))
    assert out == rendered(twin._parse_summary(json.dumps(answers[2]))) + "\n"
    if terminal:
        drawn = re.split(r"[\r\n]", sys.stderr.getvalue())
        assert drawn[0] == "vorlin-summarize: " + SENDING["--chunk", "3"]
        assert re.fullmatch(r"100%\|#+\| 3/3 \[.*chunk.*\]", drawn[-2]) and drawn[-1] == ""
        retry = f"HTTP 503 from {openai_server.url}: busy; retry 1 of 1 in 0.00 s"
        assert retry in drawn  # on a line of its own, not glued to the bar
    else:
        assert err == f"vorlin-summarize: {SENDING['--chunk', '3']}\n"


def answered(n):
    return Reply(body=completion(json.dumps({"summary": f"after chunk {n}"})))


FAILED_500 = "HTTP 500 from {url}: model not loaded"
EARLIER = "Earlier: the retry work began."
AND_EARLIER = "printing the earlier summary followed by the basic summary"
PROSE = "the model answered with prose, not a JSON object; printing its text as the summary"
NOT_JSON = Reply(body=completion("Not JSON."))


CHUNK_FAILURES = {
    # name: (options, replies, status, requests sent, summary printed (None: the basic
    #        summary of all, after the earlier one if given), stderr line after
    #        "vorlin-summarize: " or None, below the line that says what is sent)
    "later-chunk": (["--chunk", "3"], [answered(1), Reply(500, "model not loaded")], 3, 2, 1,
                    "chunk 2 of 3 failed: " + FAILED_500 + "; messages [3] to [7] (5 of 8) "
                    "were not summarized; printing the summary of messages [0] to [2]"),
    "later-chunk-empty": (["--chunk", "3"], [answered(1), answered(2), Reply(body=completion(
                          ""))], 3, 3, 2, "chunk 3 of 3 failed: the model answered with empty "
                          "text; messages [6] to [7] (2 of 8) were not summarized; printing "
                          "the summary of messages [0] to [5]"),
    # Named by the file's items, which the summary item is one of.
    "compacted-later-chunk": (["--chunk", "1", "{compacted}"], [answered(1), Reply(
                              500, "model not loaded")], 3, 2, 1, "chunk 2 of 3 failed: "
                              + FAILED_500 + "; messages [2] to [3] (2 of 4) were not "
                              "summarized; printing the summary of messages [0] to [1]"),
    "first-chunk": (["--chunk", "3"], [Reply(500, "model not loaded")], 3, 1, None,
                    "chunk 1 of 3 failed: " + FAILED_500 + "; none of the 8 messages was "
                    "summarized; printing the basic summary"),
    "one-chunk": (["--chunk", "8"], [Reply(body=completion("[1, 2]"))], 3, 1, None,
                  "chunk 1 of 1 failed: the model answered with JSON list, not an object; "
                  "none of the 8 messages was summarized; printing the basic summary"),
    "budget-later": (["--chunk-tokens", "1"], [answered(1), answered(2),
                     Reply(500, "model not loaded")], 3, 3, 2,
                     "chunk 3 of 5 failed: " + FAILED_500 + "; messages [3] to [7] (5 of 8) "
                     "were not summarized; printing the summary of messages [0] to [2]"),
    "budget-first": (["--chunk-tokens", "1"], [Reply(500, "model not loaded")], 0, 1, None,
                     "chunk 1 of 5 failed: " + FAILED_500 + "; none of the 8 messages was "
                     "summarized; printing the basic summary"),
    "single": ([], [Reply(500, "model not loaded")], 0, 1, None, None),
    "single-strict": (["--strict"], [Reply(500, "model not loaded")], 3, 1, None, None),
    "single-earlier": (["--summary", EARLIER], [Reply(500, "model not loaded")], 0, 1, None,
                       "chunk 1 of 1 failed: " + FAILED_500 + "; none of the 8 messages was "
                       "summarized; " + AND_EARLIER),
    # --strict: status 3 unless the summary printed is the model's JSON record (wherever
    # in its answer the record stands: test_answers).
    "prose": ([], [NOT_JSON], 0, 1, "Not JSON.", None),
    "short-prose-strict": (["--strict"], [NOT_JSON], 3, 1, "Not JSON.", PROSE),
    "prose-then-json-strict": (["--chunk", "3", "--strict"], [NOT_JSON, answered(2),
                               answered(3)], 0, 3, 3, None),
    "json-then-prose-strict": (["--chunk", "3", "--strict"], [answered(1), answered(2),
                               NOT_JSON], 3, 3, "Not JSON.", PROSE),
}


@pytest.mark.parametrize("case", list(CHUNK_FAILURES))
def test_a_failed_request_loses_nothing(case, openai_server, tmp_path, capsys, log):
    options, replies, status, sent, summary, line = CHUNK_FAILURES[case]
    openai_server.reply(*replies)
    compacted = tmp_path / "compacted.json"
    compacted.write_text(json.dumps(COMPACTED), encoding="utf-8")
    path = [] if "{compacted}" in options else [str(EXAMPLE)]

    assert main(["--base-url", openai_server.base_url, "--max-retries", "0", *(
        option.format(compacted=compacted) for option in options), *path]) == status

    out, err = capsys.readouterr()
    assert len(openai_server.requests) == sent  # none after the failed one
    if summary is None:  # after the earlier summary, which it does not hold
        earlier = EARLIER + "\n\n" if EARLIER in options else ""
        assert out == earlier + fallback_text(MESSAGES) + "\n"
    elif isinstance(summary, int):
        assert out == rendered(twin._parse_summary(json.dumps(
            {"summary": f"after chunk {summary}"}))) + "\n"
    else:
        assert out == rendered(twin._parse_summary(summary)) + "\n"
    lines = [SENDING.get(tuple(options[:2])), line and line.format(url=openai_server.url)]
    assert err == "".join(f"vorlin-summarize: {text}\n" for text in lines if text)
    # The module's lines say why in the client's words, not as the error it met.
    assert [r for r in log.records if "has no attribute" in r.getMessage()] == []


def test_offline_json_keeps_the_earlier_summary(tmp_path, capsys):
    earlier = tmp_path / "earlier.md"
    earlier.write_text(EARLIER + "\n", encoding="utf-8")

    assert main(["--json", "--strict", "--summary-file", str(earlier), str(EXAMPLE)]) == 3

    out, err = capsys.readouterr()
    assert err == OFFLINE_LINE.replace("printing the basic summary", AND_EARLIER) + "\n"
    record = json.loads(out)  # the record has no place for it: one more key, after its own
    assert list(record) == [*RECORD_KEYS, "existing_summary"]
    assert record | {"created_at": 0} == twin._fallback_summary(MESSAGES) | {
        "created_at": 0, "existing_summary": EARLIER}


@pytest.mark.parametrize("history, options, earlier, holds", [
    ([], ["--strict", "--summary", EARLIER], EARLIER, "no messages"),
    ([SUMMARY_ITEM], [], rendered(CANNED), "no messages after its summary"),
], ids=["earlier", "summary-alone"])
def test_nothing_to_summarize_is_said(history, options, earlier, holds, tmp_path,
                                      openai_server, capsys):
    path = tmp_path / "empty.json"
    path.write_text(json.dumps(history), encoding="utf-8")

    assert main([*options, "--base-url", openai_server.base_url, str(path)]) == 0

    printed = rendered(twin._empty_summary())
    assert capsys.readouterr() == (earlier + "\n\n" + printed + "\n",
                                   f"vorlin-summarize: nothing to summarize: {path} holds "
                                   f"{holds}\n")
    assert openai_server.requests == []


def test_content_parts_reach_the_model_as_text(tmp_path, openai_server, capsys):
    path = tmp_path / "parts.json"
    path.write_text(json.dumps([{"role": "developer", "content": "Be terse."}, *PARTS]),
                    encoding="utf-8")

    assert main(["--base-url", openai_server.base_url, str(path)]) == 0

    [request] = openai_server.requests
    system = request.body["messages"][0]["content"]
    assert system.endswith("## Conversation to Summarize:\n"
                           + twin._format_messages_for_summary(FLATTENED))
    assert "base64" not in system and "Be terse." not in system
    assert capsys.readouterr().out == rendered(CANNED) + "\n"


LONE = "caf\u00e9 \ud800 notes"  # a lone surrogate, which JSON text may hold


@pytest.mark.parametrize("encoding", ["utf-8", "ascii"])
@pytest.mark.parametrize("as_json", [False, True], ids=["markdown", "json"])
def test_any_text_prints(encoding, as_json, tmp_path, monkeypatch):
    path = tmp_path / "c.json"
    path.write_text('[{"role": "user", "content": "caf\\u00e9 \\ud800 notes"}]', encoding="ascii")
    stdout = io.TextIOWrapper(io.BytesIO(), encoding=encoding)
    monkeypatch.setattr(sys, "stdout", stdout)

    assert main(["--json", str(path)] if as_json else [str(path)]) == 0

    out = stdout.buffer.getvalue().decode(encoding)
    if as_json:
        assert json.loads(out)["goals"] == [LONE]  # still JSON, with the text intact
    else:
        shown = "caf\\xe9" if encoding == "ascii" else "café"
        assert out.endswith(f"Primary request: {shown} \\ud800 notes\n")


BAD_INPUTS = {
    # name: (argv, file content or None, expected text after "vorlin-summarize: error: ")
    "missing-file": (["{dir}/absent.json"], None,
                     "cannot read conversation {dir}/absent.json: No such file or directory"),
    "missing-summary-file": (["--summary-file", "{dir}/absent.md", "{file}"], b"[]",
                             "cannot read summary file {dir}/absent.md: No such file or "
                             "directory"),
    "not-json": (["{file}"], b"hello\n",
                 "{file} is neither JSON nor JSON Lines (line 1: Expecting value)"),
    "empty": (["{file}"], b" \n", "{file} is empty: expected a JSON array of messages, a "
              "request body or JSON Lines"),
    "not-utf8": (["{file}"], b'[{"content": "\xff"}]', "conversation {file} is not UTF-8 text "
                 "(byte 14)"),
    "object": (["{file}"], b'{\n"model": "m"\n}\n', "{file}: the document is an object with "
               "neither messages nor input, not a JSON array of messages or a request body"),
    "array-element": (["{file}"], b'[{"role": "user"}, 3]',
                      "{file}: item [1] is a number (3), not a message object"),
    "json-lines-element": (["{file}"], b'{"role": "user"}\n["x"]\n',
                           '{file}: line 2 (item [1]) is an array (["x"]), not a message '
                           "object"),
    "fine-tuning-file": (["{file}"], b'{"messages": [{"role": "user", "content": "a"}]}\n'
                         b'{"messages": [{"role": "user", "content": "b"}]}\n',
                         "{file}: line 1 holds a whole conversation (an object with "
                         "messages), as a fine-tuning file does; give one conversation: a "
                         "JSON array of messages or one request body"),
    # Named as the request body holds them, after the system item its system text gives.
    "anthropic-body-item": (["{file}"], b'{"system": "s", "messages": [{"role": "user", '
                            b'"content": "a"}, {"role": 3}]}',
                            "{file}: messages [1] has a role that is a number (3), not a "
                            "string"),
    "mixed-formats": (["{file}"], b'[{"role": "tool", "content": "x"}, {"type": "reasoning"}]',
                      "{file}: the history mixes Chat Completions messages and Responses items "
                      "(item [1]); give --message-format to say which it is"),
    "forced-format": (["--message-format", "chat", "{file}"], b'[{"type": "function_call"}]',
                      "{file}: item [0] has neither a role nor a known type (its type is "
                      "'function_call')"),
    "chunk-zero": (["--chunk", "0", "{file}"], b"[]",
                   "argument --chunk: must be 1 or more, got 0"),
    "max-retries": (["--max-retries", "-1", "{file}"], b"[]",
                    "argument --max-retries: must be 0 or more, got -1"),
    "timeout": (["--timeout", "0", "{file}"], b"[]",
                "argument --timeout: must be a positive number of seconds, got 0"),
    "base-url": (["--base-url", "ftp://x", "{file}"], b"[]",
                 "base URL must start with http:// or https://, got 'ftp://x'"),
    "base-url-empty": (["--base-url=", "{file}"], b"[]", "argument --base-url: must not be "
                       "empty (leave the option out to run offline)"),
    "model-empty": (["--model", " ", "{file}"], b"[]", "argument --model: must not be empty"),
    "unknown-option": (["--frobnicate", "{file}"], b"[]",
                       "unrecognized arguments: --frobnicate"),
    "terminal-stdin": ([], None, "no conversation file given (use '-' to type one on the "
                       "terminal)"),
    "compact-no-window": (["compact", "{file}"], b"[]",
                          "the following arguments are required: --context-tokens"),
    "compact-keep": (["compact", "{file}", "--context-tokens", "100", "--keep-tokens", "90"],
                     b"[]", "keep_tokens is 90, more than the trigger point of 80 tokens"),
    "compact-json": (["compact", "{file}", "--context-tokens=100", "--json"], b"[]",
                     "--json is not an option of compact"),
    "before-compact": (["--timeout", "x", "compact", "--context-tokens=100", "{file}"], b"[]",
                       "argument --timeout: not a number: 'x'"),
    "compact-not-json": (["compact", "{file}", "--context-tokens", "100", "--plan"], b"hello\n",
                         "{file} is neither JSON nor JSON Lines (line 1: Expecting value)"),
    "chunk-and-tokens": (["--chunk", "2", "--chunk-tokens", "100", "{file}"], b"[]",
                         "argument --chunk-tokens: not allowed with argument --chunk"),
    # Messages the summarizer would crash on, named by their index.
    "content-number": (["{file}"], b'[{"role": "user", "content": "ok"}, '
                       b'{"role": "user", "content": 123}]',
                       "{file}: item [1] has content that is a number (123), not text, null "
                       "or a list of content parts"),
    "content-nan": (["{file}"], b'[{"role": "assistant", "content": NaN}]',
                    "{file}: item [0] has content that is a number (NaN), not text, null or a "
                    "list of content parts"),
    "tool-content-line": (["{file}"], b'{"role": "user"}\n\n{"role": "tool", "content": 123}\n',
                          "{file}: line 3 (item [1]) has content that is a number (123), not "
                          "text, null or a list of content parts"),
    "content-part": (["{file}"], b'[{"role": "user", "content": [{"type": "text"}, null]}]',
                     "{file}: item [0] has content part [1] that is null, not an object or "
                     "text"),
    "tool-calls-string": (["{file}"], b'[{"role": "assistant", "tool_calls": "read_file"}]',
                          '{file}: item [0] has tool_calls that is a string ("read_file"), not '
                          "a list of tool calls"),
    "deep-arguments": (["{file}"], json.dumps([{"role": "assistant", "tool_calls": [
                           {"function": {"name": "x", "arguments": "[" * 5000 + "]" * 5000}}]}
                       ]).encode(), "{file}: item [0] has a tool call [0] whose arguments are "
                       "nested too deeply to read"),
    "compact-content": (["--timeout", "5", "compact", "{file}", "--context-tokens", "100"],
                        b'[{"role": "tool", "content": 1.5}]', "{file}: item [0] has content "
                        "that is a number (1.5), not text, null or a list of content parts"),
    "compact-format": (["compact", "{file}", "--context-tokens", "100", "--message-format",
                        "anthropic"], b'[{"type": "function_call"}]', "{file}: item [0] has "
                       "neither a role nor a known type (its type is 'function_call')"),
}


# Errors in the options, which argparse's usage comes before; the rest are in the data.
WITH_USAGE = {"chunk-zero", "max-retries", "timeout", "base-url", "base-url-empty",
              "model-empty", "unknown-option", "terminal-stdin", "compact-no-window",
              "compact-keep", "compact-json", "before-compact", "chunk-and-tokens"}


@pytest.mark.parametrize("case", list(BAD_INPUTS))
def test_bad_input_is_one_line_and_status_2(case, tmp_path, monkeypatch, capsys):
    argv, content, expected = BAD_INPUTS[case]
    file = tmp_path / "input.json"
    if content is not None:
        file.write_bytes(content)
    monkeypatch.setattr(sys, "stdin", stdin_of(b"[]", tty=True))
    fill = {"dir": str(tmp_path), "file": str(file)}

    assert main([arg.format(**fill) for arg in argv]) == 2

    out, err = capsys.readouterr()
    assert out == ""
    if case not in WITH_USAGE:  # the data: its one line alone
        assert err == "vorlin-summarize: error: " + expected.format(**fill) + "\n"
        return
    # compact reports its own errors, but not those of the options before it.
    prog = "vorlin-summarize compact" if "compact" in argv and case != "before-compact" else (
        "vorlin-summarize")
    assert err.startswith(f"usage: {prog} [-h]")  # argparse's own report
    assert err.endswith(f"\n{prog}: error: " + expected.format(**fill) + "\n")


@pytest.mark.parametrize("server_fails, options, status", [
    (False, [], 0), (True, [], 0), (True, ["--strict"], 3), (False, ["--strict"], 3)],
    ids=["offline", "http-500", "http-500-strict", "offline-strict"])
def test_installed_command(server_fails, options, status, openai_server):
    command = Path(sys.executable).with_name("vorlin-summarize")
    env = {k: v for k, v in os.environ.items()
           if not k.startswith("VORLIN_") and k != "OPENAI_API_KEY"}
    argv = [str(command), *options, str(EXAMPLE)]
    if server_fails:  # on the first attempt and on its one retry
        openai_server.reply(Reply(500, "model not loaded"), Reply(500, "model not loaded"))
        argv[1:1] = ["--base-url", openai_server.base_url, "--max-retries", "1"]

    done = subprocess.run(argv, capture_output=True, text=True, env=env, timeout=60)

    assert (done.returncode, done.stdout) == (status, fallback_text(MESSAGES) + "\n")
    if server_fails:
        failure = f"HTTP 500 from {openai_server.url}: model not loaded"
        assert re.fullmatch(f"vorlin_summarizer.client: WARNING: {re.escape(failure)}; retry "
                            r"1 of 1 in 0\.[0-5]\d s\n"
                            f"vorlin.summarizer: ERROR: Summarization failed: "
                            f"{re.escape(failure)}\n", done.stderr)
        assert len(openai_server.requests) == 2
    else:
        assert done.stderr == OFFLINE_LINE + "\n"


COUNTED = "1 request (1 prompt + 1 completion tokens)"  # as the test server counts
COMPACTIONS = {
    # name: (window, reply, status, stderr after "vorlin-summarize: "). The kept part opens
    # with the user's message [5], as chat templates want after a system summary.
    "summarized": (1000, Reply(), 0, "summarized: 8 -> 4 messages, 933 -> 583 "
                   "tokens, " + COUNTED),
    "http-500": (1000, Reply(500, "model not loaded"), 3, "failed: 8 -> 8 messages, 933 "
                 "-> 933 tokens, 1 request: HTTP 500 from {url}: model not loaded"),
    "prose": (1000, NOT_JSON, 3, "unparsed: 8 -> 8 messages, 933 -> 933 tokens, "
              + COUNTED + ": the model's answer is not a JSON object"),
    # The newest unit alone is larger than this window: compacted, and said not to fit.
    "over-window": (300, Reply(), 0, "summarized: 8 -> 4 messages, 933 -> 583 tokens "
                    "(over the window of 300), " + COUNTED),
}


@pytest.mark.parametrize("case", list(COMPACTIONS))
def test_compact_prints_the_history(case, openai_server, capsys, log):
    window, reply, status, line = COMPACTIONS[case]
    openai_server.reply(reply)
    # The shared options on either side of compact; a later one wins, as argparse's do.
    argv = ["--base-url", openai_server.base_url, "--model", "before", "compact",
            str(EXAMPLE), "--context-tokens", str(window), "--model", "after",
            "--max-retries", "0"]

    assert main(argv) == status

    out, err = capsys.readouterr()
    assert [request.body["model"] for request in openai_server.requests] == ["after"]
    assert json.loads(out) == (COMPACTED if status == 0 else MESSAGES)
    assert err == "vorlin-summarize: " + line.format(url=openai_server.url) + "\n"
    assert [r for r in log.records if "has no attribute" in r.getMessage()] == []


ASKED, READ = "Add retries to the HTTP client. " * 60, "def get(url): ...\n" * 100
HISTORIES = {  # name: (a history in the format, the summary item compact makes in it)
    "chat": (MESSAGES, {"role": "system"}),
    "responses": ([{"role": "user", "content": ASKED},
                   {"type": "function_call", "call_id": "c1", "name": "read", "arguments": "{}"},
                   {"type": "function_call_output", "call_id": "c1", "output": READ},
                   {"type": "message", "role": "assistant", "content": "Read it."},
                   {"role": "user", "content": "Now add the retries."}],
                  {"type": "message", "role": "system"}),
    "anthropic": ([{"role": "user", "content": ASKED}, {"role": "assistant", "content": [
                       {"type": "tool_use", "id": "t1", "name": "read", "input": {}}]},
                   {"role": "user", "content": [
                       {"type": "tool_result", "tool_use_id": "t1", "content": READ}]},
                   {"role": "assistant", "content": "Read it."},
                   {"role": "user", "content": "Now add the retries."}], {"role": "user"}),
}


@pytest.mark.parametrize("message_format", list(HISTORIES))
def test_compact_output_is_built_on(message_format, tmp_path, openai_server, capsys):
    items, summary_item = HISTORIES[message_format]
    path = tmp_path / "history.json"
    path.write_text(json.dumps(items), encoding="utf-8")
    server = ["--base-url", openai_server.base_url]

    assert main(["compact", str(path), "--context-tokens", "1000", *server]) == 0
    compacted = json.loads(capsys.readouterr().out)
    kept = compacted[1:]  # the host's own items, in their format, after the summary item
    assert compacted[0] == {**summary_item, "content": rendered(CANNED)}
    assert 0 < len(kept) < len(items) and kept == items[-len(kept):]

    # Summarized: the summary is built on, after --summary's text, and not summarized
    # (compacted again, it is built on too: test_compaction's rounds in each format).
    path.write_text(json.dumps(compacted), encoding="utf-8")
    assert main([*server, "--summary", EARLIER, str(path)]) == 0
    assert openai_server.requests[1].body["messages"][0]["content"].endswith(
        f"## Previous Summary (build on this):\n{EARLIER}\n\n{rendered(CANNED)}\n\n\n"
        "## Conversation to Summarize:\n"
        + twin._format_messages_for_summary(as_chat_messages(kept)))


LONG = [message for n in range(5000) for message in (  # an agent's 20,000 messages
    {"role": "user", "content": f"Question {n}: " + "why " * 40},
    {"role": "assistant", "content": None, "tool_calls": [{"id": f"c{n}", "function": {
        "name": "grep", "arguments": json.dumps({"q": f"retry {n}"})}}]},
    {"role": "tool", "tool_call_id": f"c{n}", "content": "match\n" * 100},
    {"role": "assistant", "content": f"Answer {n}."})]


def test_offline_compact_replaces_the_whole_part(tmp_path, capsys, log):
    path = tmp_path / "history.json"
    path.write_text(json.dumps(LONG), encoding="utf-8")

    assert main(["compact", str(path), "--context-tokens", "100000"]) == 0

    out, err = capsys.readouterr()
    printed = json.loads(out)
    assert len(printed) == 361 and printed[1:] == LONG[-360:]
    # One basic summary of all that came before the kept part, not of its first chunk.
    assert printed[0] == {"role": "system", "content": fallback_text(LONG[:-360])}
    assert err == (f"{OFFLINE_LINE.split(', printing')[0]}, the summarized part is the basic "
                   "summary: 20000 -> 361 messages, 1382000 -> 25080 tokens\n")  # it fits
    assert log.records == []  # no warning about the empty answers


def test_compact_plan_sends_nothing(openai_server, capsys):
    argv = ["compact", str(EXAMPLE), "--context-tokens", "1000", "--keep-tokens", "100",
            "--plan", "--base-url", openai_server.base_url]

    assert main(argv) == 0

    out, err = capsys.readouterr()
    assert (out.splitlines()[1], out.splitlines()[4:], err) == (
        "tokens          933 (trigger at 800)", [
            "cut at          message 5", "summarized      5 messages in 1 chunk",
            "kept            3 messages", "tokens after    about 933",
            "compacts        yes, in 1 request"], "")
    assert openai_server.requests == []


@pytest.mark.parametrize("argv, out", [
    (["--timeout", "5", "compact", "-h"], "usage: vorlin-summarize compact [-h]"),
    (["--time", "5", "compact", "{ex}", "--context-tokens=1000"], "[\n  {"),
    (["--summary", "compact", "{ex}"], "compact\n\n" + fallback_text(MESSAGES) + "\n"),
    (["compact"], fallback_text(MESSAGES) + "\n"),  # the file, when no option is compact's
], ids=["compact-help", "abbreviated-before", "option-value", "file-named-compact"])
def test_compact_is_the_first_operand(argv, out, tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "compact").write_bytes(EXAMPLE.read_bytes())

    assert main([arg.format(ex=EXAMPLE) for arg in argv]) == 0

    printed = capsys.readouterr().out  # all of it where it ends a line, else how it starts
    assert printed == out if out.endswith("\n") else printed.startswith(out)


@pytest.mark.parametrize("command, fails", [("summary", True), ("compact", False),
                                            ("compact", True)])
def test_progress_on_a_terminal(command, fails, tmp_path, openai_server, monkeypatch):
    monkeypatch.setattr(sys, "stderr", Terminal())
    openai_server.reply(Reply(), Reply(500, "model not loaded") if fails else Reply())
    path = tmp_path / "history.json"  # about 52,000 tokens: 37,000 sent in two requests
    text = ("Lorem ipsum dolor sit amet. " * 43)[:1200]
    path.write_text(json.dumps([{"role": "user", "content": f"{n} {text}"}
                                for n in range(200)]), encoding="utf-8")
    argv = ["compact", str(path), "--context-tokens", "60000"] if command == "compact" else [
        "--chunk", "3", str(EXAMPLE)]

    status = main(["--base-url", openai_server.base_url, "--max-retries", "0", *argv])

    # What the terminal shows: each line from its last carriage return on.
    shown = [line.rsplit("\r", 1)[-1].rstrip() for line in sys.stderr.getvalue().split("\n")]
    assert re.fullmatch(r"vorlin-summarize: sending [23] requests of about [\d,]+ tokens each",
                        shown[0])
    bars = [line for line in shown if "%|" in line]
    if fails:  # no half bar is left above the line that says what failed
        assert (status, bars) == (3, [])
    else:
        assert status == 0 and len(bars) == 1
        assert re.fullmatch(r"100%\|#+\| 2/2 \[.*chunk.*\]", bars[0])


@pytest.mark.parametrize("options, variable, status, err", [
    ([], "", 0, OFFLINE_LINE + "\n"),
    ([], "ftp://x", 2, "vorlin-summarize: error: $VORLIN_SUMMARIZER_BASE_URL: base URL must "
     "start with http:// or https://, got 'ftp://x'\n"),
    (["--base-url", "{server}"], "ftp://x", 0, ""),
], ids=["empty-variable", "bad-variable", "option-over-bad-variable"])
def test_the_base_url_and_its_variable(options, variable, status, err, openai_server,
                                       monkeypatch, capsys):
    monkeypatch.setenv("VORLIN_SUMMARIZER_BASE_URL", variable)

    assert main([*(o.format(server=openai_server.base_url) for o in options),
                 str(EXAMPLE)]) == status

    assert capsys.readouterr().err == err
    assert len(openai_server.requests) == (1 if options else 0)
