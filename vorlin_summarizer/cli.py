"""vorlin-summarize: summarize a conversation file, or compact an agent history, from the
command line."""

from __future__ import annotations

import argparse
import asyncio
import json
import logging
import os
import sys
from typing import Any, NoReturn, TextIO

from vorlin.core.summarizer import ConversationSummarizer

from .compaction import Compactor, _count
from .offline import OfflineClient
from .protocols import LLMClient

PROG = "vorlin-summarize"
DEFAULT_MODEL = "gpt-4o-mini"


class UsageError(Exception):
    """Bad input or options: reported in one line, exit status 2."""


class _Parser(argparse.ArgumentParser):
    # argparse prints the usage block and exits; we want one line and a return value.
    def error(self, message: str) -> NoReturn:
        raise UsageError(message)


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


def _parser() -> _Parser:
    env = os.environ
    parser = _Parser(
        prog=PROG,
        description="Summarize an agent conversation (a JSON array of messages, or JSON "
        "Lines) and print the summary block for the system prompt.",
    )
    parser.add_argument("path", nargs="?",
                        help="conversation file; '-', or nothing when piped, reads standard input")
    parser.add_argument("--summary", metavar="TEXT", help="an earlier summary to build on")
    parser.add_argument("--summary-file", metavar="PATH",
                        help="read the earlier summary from a file (after --summary's text "
                        "if both are given)")
    parser.add_argument("--json", action="store_true",
                        help="print the summary record as JSON instead of Markdown")
    parser.add_argument("--chunk", metavar="N", type=_positive_int,
                        help="summarize N messages at a time, each chunk building on the "
                        "summary of the one before")
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
                        help="give up on the server after this long (default: %(default)s)")
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


def load_messages(text: str, source: str) -> list[dict[str, Any]]:
    """Messages from a JSON array, or from JSON Lines (one object per line)."""
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
    for label, item in records:
        if not isinstance(item, dict):
            raise UsageError(f"{source}: {label} is {_kind(item)}, not a message object")
    return [item for _, item in records]


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


class _Progress:
    """A one-line bar on stderr, drawn only for a person watching a terminal."""

    def __init__(self, total: int, stream: TextIO) -> None:
        self.total = total
        self.stream = stream
        self.shown = stream.isatty()

    def update(self, done: int) -> None:
        if not self.shown:
            return
        width = 30
        filled = width * done // self.total
        bar = "#" * filled + "-" * (width - filled)
        end = "\n" if done == self.total else ""
        self.stream.write(f"\r[{bar}] {done}/{self.total} chunks{end}")
        self.stream.flush()


async def summarize(
    summarizer: ConversationSummarizer,
    messages: list[dict[str, Any]],
    existing_summary: str | None,
    chunk: int | None,
) -> dict[str, Any]:
    """One summary of all messages, or chunk by chunk, each building on the last."""
    if chunk is None:
        return await summarizer.summarize_messages(messages, existing_summary)
    chunks = [messages[start:start + chunk] for start in range(0, len(messages), chunk)]
    if not chunks:
        chunks = [[]]
    progress = _Progress(len(chunks), sys.stderr)
    previous = existing_summary
    record: dict[str, Any] = {}
    for done, part in enumerate(chunks, 1):
        record = await summarizer.summarize_messages(part, previous)
        previous = summarizer.format_summary_for_context(record)
        progress.update(done)
    return record


def main(argv: list[str] | None = None) -> int:
    """Entry point of ``vorlin-summarize``; returns the exit status."""
    try:
        arguments = sys.argv[1:] if argv is None else argv
        if _is_compact_line(arguments):
            return _run_compact(arguments[1:])
        return _run(argv)
    except UsageError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130


def _run(argv: list[str] | None) -> int:
    try:
        args = _parser().parse_args(argv)
    except SystemExit as exc:  # --help and --version have been printed
        return exc.code if isinstance(exc.code, int) else 0
    if args.path is None:
        if sys.stdin is None or sys.stdin.isatty():
            raise UsageError("no conversation file given (use '-' to type one on the terminal)")
        args.path = "-"
    existing = _earlier_summary(args)
    messages = load_messages(_read_text(args.path, "conversation"), _name(args.path))
    summarizer = ConversationSummarizer(_make_client(args))
    # Without a handler the module's warnings would reach logging's last-resort output
    # in a bare format; this way the user sees why the basic summary was printed.
    logging.basicConfig(level=logging.WARNING, format="%(name)s: %(levelname)s: %(message)s")
    record = asyncio.run(summarize(summarizer, messages, existing, args.chunk))
    if args.json:
        print(json.dumps(record, indent=2, ensure_ascii=False, default=str))
    else:
        print(summarizer.format_summary_for_context(record))
    return 0


COMPACT_OPTIONS = ("--context-tokens", "--keep-tokens", "--plan", "-h", "--help")
# Options of the summary alone; compact takes the rest of the main parser's options.
_SUMMARY_ONLY = {"summary": "--summary", "summary_file": "--summary-file", "json": "--json",
                 "chunk": "--chunk"}
FAILED_STATUS = 3  # the history was printed unchanged: its compaction failed


def _is_compact_line(argv: list[str]) -> bool:
    """Whether the line is ``compact ...``: a file named compact is still summarized by
    ``vorlin-summarize compact`` when the line has none of compact's own options."""
    if not argv or argv[0] != "compact":
        return False
    if any(arg.split("=", 1)[0] in COMPACT_OPTIONS for arg in argv[1:]):
        return True
    return not os.path.exists("compact")


def _compact_parser() -> _Parser:
    parser = _parser()  # for the path and the client options
    parser.prog = f"{PROG} compact"
    parser.description = ("Compact an agent history: summarize its oldest part and print the "
                          "new history as JSON (nothing is changed when compaction fails).")
    for action in parser._actions:
        if action.dest in _SUMMARY_ONLY:
            action.help = argparse.SUPPRESS
    parser.add_argument("--context-tokens", metavar="N", type=_positive_int, required=True,
                        help="the agent model's context window, in tokens")
    parser.add_argument("--keep-tokens", metavar="M", type=_positive_int,
                        help="recent history kept verbatim (default: a quarter of the window)")
    parser.add_argument("--plan", action="store_true",
                        help="print what compaction would do, without a request")
    return parser


def _run_compact(argv: list[str]) -> int:
    try:
        args = _compact_parser().parse_args(argv)
    except SystemExit as exc:  # --help has been printed
        return exc.code if isinstance(exc.code, int) else 0
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
    logging.basicConfig(level=logging.WARNING, format="%(name)s: %(levelname)s: %(message)s")
    result = asyncio.run(compactor.compact(messages))
    print(json.dumps(result.messages, indent=2, ensure_ascii=False))
    print(f"{PROG}: {result.outcome}: {len(messages)} -> {len(result.messages)} messages, "
          f"{result.tokens_before} -> {result.tokens_after} tokens, "
          f"{_count(result.requests, 'request')}" + (f": {result.error}" if result.error else ""),
          file=sys.stderr)
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
