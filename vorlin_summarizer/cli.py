"""vorlin-summarize: summarize a conversation file, or compact an agent history, from the
command line."""

from __future__ import annotations

import argparse
import asyncio
import codecs
import contextlib
import json
import logging
import os
import re
import sys
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any, TextIO

import vorlin.core.summarizer as module
from vorlin.core.summarizer import ConversationSummarizer

from .answers import Watched
from .compaction import SUMMARY_INPUT_TOKENS, Compactor, _count, chunk_messages, prepare_messages
from .offline import OfflineClient
from .protocols import LLMClient

PROG = "vorlin-summarize"
DEFAULT_MODEL = "gpt-4o-mini"
FAILED_STATUS = 3  # a request failed: the summary printed leaves messages out, or is the basic one
EXIT_STATUS = (
    "Exit status: 0 when the summary is printed; 2 for bad input or options; 3 when a "
    "request failed and --chunk or --strict was given, or when a request after the first "
    "failed (the summary of the chunks before it is printed, and stderr says which messages "
    "were not summarized). Without a server the basic summary is printed (exit 0, or 3 with "
    "--strict)."
)


class UsageError(Exception):
    """Bad input or options found after parsing: the parser reports it (exit status 2)."""


def _whole_number(text: str, least: int) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < least:
        raise argparse.ArgumentTypeError(f"must be {least} or more, got {value}")
    return value


def _positive_int(text: str) -> int:
    return _whole_number(text, 1)


def _retry_count(text: str) -> int:
    return _whole_number(text, 0)


def _positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"must be a positive number of seconds, got {text}")
    return value


def _parser() -> argparse.ArgumentParser:
    env = os.environ
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Summarize an agent conversation (a JSON array of messages, or JSON "
        "Lines) and print the summary block for the system prompt.",
        epilog=EXIT_STATUS,
    )
    parser.add_argument("path", nargs="?",
                        help="conversation file; '-', or nothing when piped, reads standard input")
    parser.add_argument("--summary", metavar="TEXT", help="an earlier summary to build on")
    parser.add_argument("--summary-file", metavar="PATH",
                        help="read the earlier summary from a file (after --summary's text "
                        "if both are given)")
    parser.add_argument("--json", action="store_true",
                        help="print the summary record as JSON instead of Markdown")
    size = parser.add_mutually_exclusive_group()
    size.add_argument("--chunk", metavar="N", type=_positive_int,
                      help="summarize N messages at a time, each chunk building on the "
                      "summary of the one before; a failed request ends the run with "
                      "status 3, printing the summary of the chunks before it")
    size.add_argument("--chunk-tokens", metavar="N", type=_positive_int,
                      help="send the conversation in chunks of at most about N tokens, cut "
                      "only between tool calls and their results, each building on the "
                      f"summary of the one before (default: {SUMMARY_INPUT_TOKENS})")
    parser.add_argument("--strict", action="store_true",
                        help="exit with status 3 when the basic summary is printed instead of "
                        "the model's (a failed request, or no server)")
    parser.add_argument("--base-url", metavar="URL",
                        default=env.get("VORLIN_SUMMARIZER_BASE_URL") or None,
                        help="OpenAI-compatible server, e.g. http://localhost:8000/v1 "
                        "(default: $VORLIN_SUMMARIZER_BASE_URL; none: offline)")
    parser.add_argument("--model", metavar="NAME",
                        default=env.get("VORLIN_SUMMARIZER_MODEL") or DEFAULT_MODEL,
                        help=f"model name (default: $VORLIN_SUMMARIZER_MODEL or {DEFAULT_MODEL})")
    parser.add_argument("--api-key-env", metavar="NAME", default="OPENAI_API_KEY",
                        help="environment variable holding the API key (default: %(default)s)")
    parser.add_argument("--timeout", metavar="SECONDS", type=_positive_float, default=60.0,
                        help="give up on one request after this long, retries included "
                        "(default: %(default)s)")
    parser.add_argument("--max-retries", metavar="N", type=_retry_count, default=2,
                        help="retry a rate-limited, overloaded or dropped request up to N "
                        "times within the timeout (default: %(default)s)")
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    return parser


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("vorlin-summarizer")
    except PackageNotFoundError:
        return "unknown"


def _read_text(path: str, what: str) -> str:
    try:
        if path == "-":
            stream = getattr(sys.stdin, "buffer", None)
            if stream is None:  # a text-only stand-in for stdin
                return sys.stdin.read()
            data: bytes = stream.read()
        else:
            with open(path, "rb") as f:
                data = f.read()
        return data.decode("utf-8-sig")
    except OSError as exc:
        raise UsageError(f"cannot read {what} {path}: {exc.strerror or exc}") from None
    except UnicodeDecodeError as exc:
        raise UsageError(f"{what} {_name(path)} is not UTF-8 text (byte {exc.start})") from None


def _name(path: str) -> str:
    return "<stdin>" if path == "-" else path


def _kind(value: object) -> str:
    kinds = {dict: "an object", list: "an array", str: "a string", bool: "a boolean",
             int: "a number", float: "a number", type(None): "null"}
    return kinds.get(type(value), "a value")


def _found(value: object) -> str:
    """What a value is, for a message about it: its JSON kind and the start of its text."""
    if value is None:
        return "null"
    try:
        text = json.dumps(value, ensure_ascii=False)
    except (TypeError, ValueError, RecursionError):
        text = "..."
    return f"{_kind(value)} ({text[:40] + '...' if len(text) > 40 else text})"


def load_messages(text: str, source: str) -> list[dict[str, Any]]:
    """Messages from a JSON array, or from JSON Lines (one object per line), checked to be
    readable by the summarizer."""
    if not text.strip():
        raise UsageError(f"{source} is empty: expected a JSON array of messages or JSON Lines")
    try:
        try:
            document = json.loads(text)
        except json.JSONDecodeError:
            records = _json_lines(text, source)
        else:
            if isinstance(document, list):
                records = [(f"element [{index}]", item) for index, item in enumerate(document)]
            elif isinstance(document, dict) and "\n" not in text.strip():
                records = [("line 1", document)]  # JSON Lines with a single record
            else:
                raise UsageError(f"{source} holds {_kind(document)}, not a JSON array of "
                                 "messages or JSON Lines")
    except RecursionError:
        raise UsageError(f"{source} is nested too deeply to read") from None
    for index, (label, item) in enumerate(records):
        if not isinstance(item, dict):
            raise UsageError(f"{source}: {label} is {_kind(item)}, not a message object")
        problem = _unreadable(item)
        if problem is not None:
            where = label if label.startswith("element") else f"{label} (message [{index}])"
            raise UsageError(f"{source}: {where}: {problem}")
    return [item for _, item in records]


# The summarizer decodes tool-call arguments recursively; far below the interpreter's limit.
_MAX_NESTING = 400
_JSON_STRING = re.compile(r'"(?:[^"\\]|\\.)*"')


def _unreadable(message: dict[str, Any]) -> str | None:
    """What in one message the summarizer cannot read (it would raise), or None."""
    content = message.get("content")
    if isinstance(content, list):
        for number, part in enumerate(content):
            if not isinstance(part, (dict, str)):
                return f"content part [{number}] is {_found(part)}, not a content part"
    elif content is not None and not isinstance(content, str):
        return f"content is {_found(content)}, not text, null or a list of content parts"
    calls = message.get("tool_calls") if message.get("role") == "assistant" else None
    if not calls:
        return None
    if not isinstance(calls, list):
        return f"tool_calls is {_found(calls)}, not a list of tool calls"
    for number, call in enumerate(calls):
        if not isinstance(call, dict):
            continue  # skipped by the summarizer
        fields = call.get("function", {})
        if not isinstance(fields, dict):
            return f"tool call [{number}]: function is {_found(fields)}, not an object"
        arguments = call["arguments"] if "arguments" in call else fields.get("arguments")
        if isinstance(arguments, str) and _nesting(arguments) > _MAX_NESTING:
            return f"tool call [{number}]: arguments are nested too deeply to read"
    return None


def _nesting(text: str) -> int:
    """How deeply the JSON in text nests, brackets inside strings aside."""
    if text.count("[") + text.count("{") <= _MAX_NESTING:
        return 0  # the common case, without a scan
    depth = deepest = 0
    for bracket in re.findall(r"[\[\]{}]", _JSON_STRING.sub("", text)):
        depth = depth + 1 if bracket in "[{" else max(depth - 1, 0)
        deepest = max(deepest, depth)
    return deepest


def _json_lines(text: str, source: str) -> list[tuple[str, Any]]:
    records = []
    for number, line in enumerate(text.splitlines(), 1):
        if not line.strip():
            continue
        try:
            records.append((f"line {number}", json.loads(line)))
        except json.JSONDecodeError as exc:
            raise UsageError(f"{source} is neither JSON nor JSON Lines "
                             f"(line {number}: {exc.msg})") from None
    return records


def _earlier_summary(args: argparse.Namespace) -> str | None:
    pieces = []
    if args.summary:
        pieces.append(args.summary)
    if args.summary_file is not None:
        pieces.append(_read_text(args.summary_file, "summary file").rstrip("\n"))
    text = "\n\n".join(piece for piece in pieces if piece)
    return text or None


def _make_client(args: argparse.Namespace) -> LLMClient:
    if not args.base_url:
        print(f"{PROG}: no --base-url or VORLIN_SUMMARIZER_BASE_URL: offline, "
              "printing the basic summary", file=sys.stderr)
        return OfflineClient()
    from .client import OpenAIChatClient

    try:
        return OpenAIChatClient(args.base_url, args.model, api_key_env=args.api_key_env,
                                timeout=args.timeout, max_retries=args.max_retries)
    except (ValueError, ImportError) as exc:
        raise UsageError(str(exc)) from None


@contextlib.contextmanager
def _progress(total: int) -> Iterator[Callable[[], object]]:
    """A bar on stderr, drawn only for a person watching a terminal; log lines print on
    their own lines above it. Yields the step that advances it by one chunk."""
    stream = sys.stderr
    if total < 2 or stream is None or not stream.isatty():
        yield lambda: None
        return
    try:
        from tqdm import tqdm
        from tqdm.contrib.logging import logging_redirect_tqdm
    except ImportError:  # the bar comes with the cli extra
        yield lambda: None
        return
    with tqdm(total=total, unit="chunk", file=stream) as bar, logging_redirect_tqdm():
        yield bar.update


# Offline every answer is empty on purpose, and the command has said so once.
_EMPTY_ANSWER = "Empty response from summarizer LLM"


@contextlib.contextmanager
def _quiet_offline() -> Iterator[None]:
    def keep(record: logging.LogRecord) -> bool:
        return record.getMessage() != _EMPTY_ANSWER

    module.logger.addFilter(keep)
    try:
        yield
    finally:
        module.logger.removeFilter(keep)


@dataclass(frozen=True)
class ChunkFailure:
    """The request of one chunk failed; the chunks from there on were not summarized."""

    chunk: int  # counted from 1
    chunks: int
    first: int  # index of the chunk's first message
    error: str


async def summarize(
    client: LLMClient,
    chunks: Sequence[list[dict[str, Any]]],
    existing_summary: str | None,
) -> tuple[dict[str, Any], ChunkFailure | None]:
    """The summary of the chunks, each building on the one before, up to the first whose
    request fails. When the first one fails, the basic summary of every chunk's messages."""
    watched = Watched(client)  # tells a failed request from a summary
    summarizer = ConversationSummarizer(watched)
    previous = existing_summary
    record: dict[str, Any] | None = None
    first = 0
    with _progress(len(chunks)) as advance:
        for number, chunk in enumerate(chunks, 1):
            answer = await summarizer.summarize_messages(chunk, previous)
            verdict = watched.verdict()
            if verdict.outcome == "failed":
                failure = ChunkFailure(number, len(chunks), first, verdict.error or "")
                if record is None:
                    record = answer if len(chunks) == 1 else await _basic_summary(
                        [message for part in chunks for message in part], existing_summary)
                return record, failure
            record = answer
            previous = summarizer.format_summary_for_context(record)
            first += len(chunk)
            advance()
    assert record is not None, "no chunks"
    return record, None


async def _basic_summary(messages: list[dict[str, Any]],
                         existing_summary: str | None) -> dict[str, Any]:
    """The summarizer's own summary without a model: it builds it when the answer is empty."""
    with _quiet_offline():
        return await ConversationSummarizer(OfflineClient()).summarize_messages(
            messages, existing_summary)


def _failure_line(failure: ChunkFailure, total: int) -> str:
    if failure.first:
        rest = (f"messages [{failure.first}] to [{total - 1}] ({total - failure.first} of "
                f"{total}) were not summarized; printing the summary of messages [0] to "
                f"[{failure.first - 1}]")
    else:
        rest = f"none of the {_count(total, 'message')} was summarized; printing the basic summary"
    return f"{PROG}: chunk {failure.chunk} of {failure.chunks} failed: {failure.error}; {rest}"


def _encoding(stream: TextIO) -> str:
    encoding = getattr(stream, "encoding", None) or "utf-8"
    try:
        return codecs.lookup(encoding).name
    except LookupError:  # a stand-in stream naming no real codec
        return "ascii"


def _encodable(text: str, stream: TextIO) -> bool:
    try:
        text.encode(_encoding(stream))
    except UnicodeEncodeError:
        return False
    return True


def write(text: str, stream: TextIO | None = None) -> None:
    """Print text whatever it holds: what the stream cannot encode (a lone surrogate, or
    any non-ASCII on an ASCII terminal) is written as a backslash escape."""
    stream = sys.stdout if stream is None else stream
    if not _encodable(text, stream):
        encoding = _encoding(stream)
        text = text.encode(encoding, "backslashreplace").decode(encoding)
    stream.write(text + "\n")
    stream.flush()


def write_json(value: object) -> None:
    """Print a value as indented JSON, non-ASCII as it is where standard output can take
    it, else as JSON's own escapes, so that the output stays JSON."""
    text = json.dumps(value, indent=2, ensure_ascii=False, default=str)
    if not _encodable(text, sys.stdout):
        text = json.dumps(value, indent=2, default=str)
    write(text)


def _configure_logging() -> None:
    # Without a handler the module's warnings would reach logging's last-resort output
    # in a bare format; this way the user sees why the basic summary was printed.
    logging.basicConfig(level=logging.WARNING, format="%(name)s: %(levelname)s: %(message)s")


def main(argv: list[str] | None = None) -> int:
    """Entry point of ``vorlin-summarize``; returns the exit status."""
    arguments = sys.argv[1:] if argv is None else list(argv)
    compact = _is_compact_line(arguments)
    parser = _compact_parser() if compact else _parser()
    try:
        args = parser.parse_args(arguments[1:] if compact else arguments)
        try:
            return _run_compact(args) if compact else _run(args)
        except UsageError as exc:
            parser.error(str(exc))
    except SystemExit as exc:  # argparse has printed help, the version, or usage and error
        return exc.code if isinstance(exc.code, int) else 0
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130


def _run(args: argparse.Namespace) -> int:
    if args.path is None:
        if sys.stdin is None or sys.stdin.isatty():
            raise UsageError("no conversation file given (use '-' to type one on the terminal)")
        args.path = "-"
    existing = _earlier_summary(args)
    messages = load_messages(_read_text(args.path, "conversation"), _name(args.path))
    client = _make_client(args)
    _configure_logging()
    prepared = prepare_messages(messages)  # content parts as text, an image as "[image]"
    if isinstance(client, OfflineClient) or not prepared:
        # No model, or nothing to send: one basic (or empty) summary of it all.
        record = asyncio.run(_basic_summary(prepared, existing))
        _print_record(record, args.json)
        return FAILED_STATUS if args.strict and prepared else 0
    if args.chunk is not None:
        chunks = [prepared[start:start + args.chunk]
                  for start in range(0, len(prepared), args.chunk)]
    else:
        chunks = chunk_messages(prepared, args.chunk_tokens or SUMMARY_INPUT_TOKENS)
    record, failure = asyncio.run(summarize(client, chunks, existing))
    if failure is not None and (len(chunks) > 1 or args.chunk is not None):
        write(_failure_line(failure, len(prepared)), sys.stderr)
    _print_record(record, args.json)
    if failure is None:
        return 0
    if failure.first:
        return FAILED_STATUS  # the model's summary of part of the conversation
    return FAILED_STATUS if args.strict or args.chunk is not None else 0


def _print_record(record: dict[str, Any], as_json: bool) -> None:
    if as_json:
        write_json(record)
    else:
        write(ConversationSummarizer(OfflineClient()).format_summary_for_context(record))


COMPACT_OPTIONS = ("--context-tokens", "--keep-tokens", "--plan", "-h", "--help")
# Options of the summary alone; compact takes the rest of the main parser's options.
_SUMMARY_ONLY = {"summary": "--summary", "summary_file": "--summary-file", "json": "--json",
                 "chunk": "--chunk", "chunk_tokens": "--chunk-tokens", "strict": "--strict"}


def _is_compact_line(argv: list[str]) -> bool:
    """Whether the line is ``compact ...``: a file named compact is still summarized by
    ``vorlin-summarize compact`` when the line has none of compact's own options."""
    if not argv or argv[0] != "compact":
        return False
    if any(arg.split("=", 1)[0] in COMPACT_OPTIONS for arg in argv[1:]):
        return True
    return not os.path.exists("compact")


def _compact_parser() -> argparse.ArgumentParser:
    parser = _parser()  # for the path and the client options
    parser.prog = f"{PROG} compact"
    parser.description = ("Compact an agent history: summarize its oldest part and print the "
                          "new history as JSON (nothing is changed when compaction fails).")
    parser.epilog = ("Exit status: 0 when the new history is printed; 2 for bad input or "
                     "options; 3 when compaction failed and the history is printed unchanged.")
    for action in parser._actions:
        if action.dest in _SUMMARY_ONLY:
            action.help = argparse.SUPPRESS
    # argparse cannot lay out the usage of a group whose options are all hidden.
    parser._mutually_exclusive_groups.clear()
    parser.add_argument("--context-tokens", metavar="N", type=_positive_int, required=True,
                        help="the agent model's context window, in tokens")
    parser.add_argument("--keep-tokens", metavar="M", type=_positive_int,
                        help="recent history kept verbatim (default: a quarter of the window)")
    parser.add_argument("--plan", action="store_true",
                        help="print what compaction would do, without a request")
    return parser


def _run_compact(args: argparse.Namespace) -> int:
    for dest, flag in _SUMMARY_ONLY.items():
        if getattr(args, dest) not in (None, False):
            raise UsageError(f"{flag} is not an option of compact")
    if args.path is None:
        if sys.stdin is None or sys.stdin.isatty():
            raise UsageError("no history file given (use '-' to type one on the terminal)")
        args.path = "-"
    messages = load_messages(_read_text(args.path, "history"), _name(args.path))
    settings: dict[str, Any] = {"context_tokens": args.context_tokens,
                                "keep_tokens": args.keep_tokens}
    try:  # the settings are checked before a client is made
        compactor = Compactor(ConversationSummarizer(OfflineClient()), **settings)
    except ValueError as exc:
        raise UsageError(str(exc)) from None
    if args.plan:
        print(_plan_table(compactor, messages))
        return 0
    client = _make_client(args)
    # Offline, the basic summary is what the command promises; with a model, a failed
    # request leaves the history as it was.
    offline = isinstance(client, OfflineClient)
    compactor = Compactor(ConversationSummarizer(client), **settings,
                          on_failure="fallback" if offline else "keep")
    _configure_logging()
    with _quiet_offline() if offline else contextlib.nullcontext():
        result = asyncio.run(compactor.compact(messages))
    write_json(result.messages)
    write(f"{PROG}: {result.outcome}: {len(messages)} -> {len(result.messages)} messages, "
          f"{result.tokens_before} -> {result.tokens_after} tokens, "
          f"{_count(result.requests, 'request')}" + (f": {result.error}" if result.error else ""),
          sys.stderr)
    return FAILED_STATUS if result.outcome == "failed" and not offline else 0


def _plan_table(compactor: Compactor, messages: list[dict[str, Any]]) -> str:
    plan = compactor.plan(messages)
    if not plan.triggered:
        verdict = "no: the trigger is not reached"
    elif not plan.progress:
        verdict = "no: the only safe cut frees less than 10% of the tokens"
    else:
        verdict = f"yes, in {_count(len(plan.chunks), 'request')}"
    rows = [
        ("messages", f"{len(messages)}"),
        ("tokens", f"{plan.tokens} (trigger at {plan.trigger_tokens:g})"),
        ("leading system", _count(len(plan.system), "message")),
        ("earlier summary", "yes" if plan.previous_summary is not None else "no"),
        ("cut at", f"message {plan.cut}"),
        ("summarized", f"{_count(len(plan.summarized), 'message')} in "
                       f"{_count(len(plan.chunks), 'chunk')}"),
        ("kept", _count(len(plan.kept), "message")),
        ("tokens after", f"about {plan.tokens_after}"),
        ("compacts", verdict),
    ]
    return "\n".join(f"{name:<16}{value}" for name, value in rows)
