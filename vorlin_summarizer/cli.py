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
import sys
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, replace
from typing import Any, TextIO, cast, get_args

import vorlin.core.summarizer as module
from vorlin.core.summarizer import ConversationSummarizer

from .answers import Watched
from .chunks import transcript_tokens
from .compaction import (SUMMARY_INPUT_TOKENS, CompactionResult, Compactor, Plan, _count,
                         chunk_messages, head_of)
from .formats import (MessageFormat, MessageFormatError, Reading, history_of_document,
                      history_of_lines, prepare_messages, read_history)
from .offline import OfflineClient, basic_summary, offline_on_purpose
from .protocols import LLMClient, LLMResponse

PROG = "vorlin-summarize"
DEFAULT_MODEL = "gpt-4o-mini"
BASE_URL_ENV = "VORLIN_SUMMARIZER_BASE_URL"
OFFLINE = f"no --base-url or {BASE_URL_ENV}: offline"
FAILED_STATUS = 3  # a request failed: the summary printed leaves messages out, or is the basic one
EXIT_STATUS = (
    "Exit status: 0 when the summary is printed; 2 for bad input or options; 3 when a "
    "request failed and --chunk or --strict was given, or when a request after the first "
    "failed (the summary of the chunks before it is printed, and stderr says which messages "
    "were not summarized), or with --strict when the model answered with prose. Without a "
    "server the basic summary is printed (exit 0, or 3 with --strict). An earlier summary, "
    "given with --summary or --summary-file or left in the history by compact, is printed "
    "before a basic summary, never dropped."
)


class UsageError(Exception):
    """Bad options found after parsing: the parser reports it with its usage (status 2)."""


class InputError(Exception):
    """A file, standard input or the environment holds what cannot be used: one line on
    stderr and status 2, without the usage, which would not help."""


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


def _server_url(text: str) -> str:
    if not text.strip():
        raise argparse.ArgumentTypeError("must not be empty (leave the option out to run "
                                         "offline)")
    return text


def _model_name(text: str) -> str:
    if not text.strip():
        raise argparse.ArgumentTypeError("must not be empty")
    return text


def _parser(prog: str = PROG) -> argparse.ArgumentParser:
    """The options of the summary and those it shares with compact, and the file."""
    parser = argparse.ArgumentParser(
        prog=prog,
        description="Summarize an agent conversation and print the summary block for the "
        "system prompt. The conversation is a JSON array of Chat Completions messages, "
        "Responses items or Anthropic messages; a document that wraps one (a request body "
        "of any of the three APIs); or JSON Lines, one item a line.",
        epilog=EXIT_STATUS,
    )
    parser.add_argument("path", nargs="?",
                        help="conversation file; '-', or nothing when piped, reads standard input")
    parser.add_argument("--message-format", choices=get_args(MessageFormat), default="auto",
                        help="the items' format; auto tells it by the items, or by the "
                        "request body that holds them (default: %(default)s)")
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
    parser.add_argument("--base-url", metavar="URL", type=_server_url,
                        help="OpenAI-compatible server, e.g. http://localhost:8000/v1 "
                        f"(default: ${BASE_URL_ENV}; offline when that is unset or empty)")
    parser.add_argument("--model", metavar="NAME", type=_model_name,
                        default=os.environ.get("VORLIN_SUMMARIZER_MODEL") or DEFAULT_MODEL,
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


def _main_parser() -> argparse.ArgumentParser:
    parser = _parser()
    # compact is parsed by a parser of its own (see main); argparse's subparsers cannot
    # share the line with an optional file, so the command is listed here.
    parser.add_argument_group(
        "commands", f"{PROG} compact --context-tokens N [PATH] compacts an agent history to "
        f"fit a context window; the options --message-format and --base-url to "
        f"--max-retries go before or after compact; see '{PROG} compact --help'.")
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
        raise InputError(f"cannot read {what} {path}: {exc.strerror or exc}") from None
    except UnicodeDecodeError as exc:
        raise InputError(f"{what} {_name(path)} is not UTF-8 text (byte {exc.start})") from None


def _name(path: str) -> str:
    return "<stdin>" if path == "-" else path


def load_history(text: str, source: str, message_format: MessageFormat = "auto"
                 ) -> tuple[list[object], Reading]:
    """The items of a conversation, and what the summarizer reads of them, from a JSON
    array of items in any format, a document that wraps one (`{"messages": [...]}`, a
    request body of the Chat Completions, Responses or Messages API), or JSON Lines (one
    item a line). `message_format` "auto" takes the format the document says, if any."""
    if not text.strip():
        raise InputError(f"{source} is empty: expected a JSON array of messages, a request "
                         "body or JSON Lines")
    label: Callable[[int], str] = _item_label
    try:
        try:
            document = json.loads(text)
        except json.JSONDecodeError:
            lines = _json_lines(text, source)
            label = _line_label([number for number, _ in lines])
            items, found = history_of_lines(lines), message_format
        else:
            items, found = history_of_document(document)
            label = _body_label(document, items)
        return items, read_history(items, found if message_format == "auto" else message_format)
    except RecursionError:
        raise InputError(f"{source} is nested too deeply to read") from None
    except MessageFormatError as exc:
        raise InputError(f"{source}: {_located(exc, label)}") from None


def _item_label(index: int) -> str:
    return f"item [{index}]"


def _line_label(numbers: list[int]) -> Callable[[int], str]:
    return lambda index: f"line {numbers[index]} (item [{index}])"


def _body_label(document: object, items: list[object]) -> Callable[[int], str]:
    """Items named by their place in the request body's own list, which may follow a
    system item made from the body's `system` or `instructions`."""
    key = "messages" if isinstance(document, dict) and "messages" in document else "input"
    given = document.get(key) if isinstance(document, dict) else None
    if not isinstance(given, list):
        return _item_label
    offset = len(items) - len(given)
    return lambda index: f"{key} [{index - offset}]"


def _located(error: MessageFormatError, label: Callable[[int], str]) -> str:
    """The reading layer's sentence, with the item named as the file holds it and the
    option that says the format named as the command spells it."""
    text = str(error).replace("pass message_format=", "give --message-format")
    if error.index is None:
        return text
    return text.replace(_item_label(error.index), label(error.index), 1)


def _json_lines(text: str, source: str) -> list[tuple[int, object]]:
    """The value on each line that is not blank, with its line number."""
    lines = []
    for number, line in enumerate(text.splitlines(), 1):
        if not line.strip():
            continue
        try:
            lines.append((number, json.loads(line)))
        except json.JSONDecodeError as exc:
            raise InputError(f"{source} is neither JSON nor JSON Lines "
                             f"(line {number}: {exc.msg})") from None
    return lines


@dataclass(frozen=True)
class Conversation:
    """What the main command summarizes of a history: the messages as the summarizer reads
    them, the item of the history each comes from, how many items there are, and the
    text of the compactor's summary item, which is built on rather than summarized."""

    messages: list[dict[str, Any]]
    origin: list[int]
    items: int
    summary: str | None


def _conversation(items: list[object], reading: Reading) -> Conversation:
    bounds = reading.bounds
    origin = [item for item in range(len(items)) for _ in range(bounds[item], bounds[item + 1])]
    messages = prepare_messages(reading.messages)  # content parts as text, an image "[image]"
    _, at = head_of(reading)
    if at is None:
        return Conversation(messages, origin, len(items), None)
    start = bounds[at]  # the summary item gave this one message
    text = cast(str, messages[start]["content"])
    return Conversation([*messages[:start], *messages[start + 1:]],
                        [*origin[:start], *origin[start + 1:]], len(items), text)


def _earlier_summary(args: argparse.Namespace, in_history: str | None) -> str | None:
    """The earlier summaries to build on, in order: --summary's text, the summary file's,
    and the summary item the history holds."""
    from_file = None if args.summary_file is None else _read_text(
        args.summary_file, "summary file").rstrip("\n")
    pieces = [args.summary, from_file, in_history]
    return "\n\n".join(piece for piece in pieces if piece) or None


def _make_client(args: argparse.Namespace) -> LLMClient | None:
    """The client for the server named by --base-url or its variable; None offline."""
    from_environment = args.base_url is None
    # An empty variable counts as unset, so that VAR= runs offline; an empty option is
    # refused by the parser.
    url = (os.environ.get(BASE_URL_ENV) or None) if from_environment else args.base_url
    if url is None:
        return None
    from .client import OpenAIChatClient

    try:
        return OpenAIChatClient(url, args.model, api_key_env=args.api_key_env,
                                timeout=args.timeout, max_retries=args.max_retries)
    except ValueError as exc:  # the parser has checked every value but the URL
        if from_environment:
            raise InputError(f"${BASE_URL_ENV}: {exc}") from None
        raise UsageError(str(exc)) from None
    except ImportError as exc:
        raise InputError(str(exc)) from None


class _Stepping:
    """A client that calls `step` after each request it has answered."""

    def __init__(self, client: LLMClient, step: Callable[[], object]) -> None:
        self._client = client
        self._step = step

    async def complete(self, *, messages: list[dict[str, str]], max_tokens: int
                       ) -> LLMResponse:
        response = await self._client.complete(messages=messages, max_tokens=max_tokens)
        self._step()
        return response


@dataclass
class _Steps:
    """What a run tells its progress bar: a request answered, and at the end whether the
    run failed."""

    step: Callable[[], object] = lambda: None
    failed: bool = False


@contextlib.contextmanager
def _progress(total: int) -> Iterator[_Steps]:
    """A bar on stderr, drawn only for a person watching a terminal; log lines print on
    their own lines above it. A failed or interrupted run clears its bar, so that no half
    bar is left above the line that says what failed."""
    steps = _Steps()
    stream = sys.stderr
    if total < 2 or stream is None or not stream.isatty():
        yield steps
        return
    try:
        from tqdm import tqdm
        from tqdm.contrib.logging import logging_redirect_tqdm
    except ImportError:  # the bar comes with the cli extra
        yield steps
        return
    bar = tqdm(total=total, unit="chunk", file=stream)
    steps.step = bar.update
    try:
        with logging_redirect_tqdm():
            yield steps
    except BaseException:
        steps.failed = True
        raise
    finally:
        bar.leave = not steps.failed
        bar.close()


def _announce(chunks: Sequence[Sequence[dict[str, Any]]]) -> None:
    """Before more than one request, how many and about how large (by the transcript the
    requests are filled by), so that a long run is not silent (the bar is drawn only on a
    terminal)."""
    if len(chunks) < 2:
        return
    tokens = sum(transcript_tokens(message) for chunk in chunks for message in chunk)
    write(f"{PROG}: sending {len(chunks)} requests of about {tokens // len(chunks):,} "
          "tokens each", sys.stderr)


@dataclass(frozen=True)
class ChunkFailure:
    """The request of one chunk failed; the chunks from there on were not summarized."""

    chunk: int  # counted from 1
    chunks: int
    first: int  # index of the chunk's first message
    error: str


@dataclass(frozen=True)
class Summarized:
    """What a run gives to print: the record, the failure that ended the run, and whether
    the record is the model's own JSON (not its prose, nor the basic summary)."""

    record: dict[str, Any]
    failure: ChunkFailure | None = None
    parsed: bool = True


async def summarize(
    client: LLMClient,
    chunks: Sequence[list[dict[str, Any]]],
    existing_summary: str | None,
) -> Summarized:
    """The summary of the chunks, each building on the one before, up to the first whose
    request fails. When the first one fails, the basic summary of every chunk's messages."""
    done: Summarized | None = None
    previous = existing_summary
    first = 0
    with _progress(len(chunks)) as steps:
        watched = Watched(_Stepping(client, steps.step))  # tells a summary from a failure
        summarizer = ConversationSummarizer(watched)
        for number, chunk in enumerate(chunks, 1):
            answer = await summarizer.summarize_messages(chunk, previous)
            verdict = watched.verdict()
            if verdict.outcome == "failed":
                steps.failed = True
                failure = ChunkFailure(number, len(chunks), first, verdict.error or "")
                if done is not None:
                    return replace(done, failure=failure)
                record = answer if len(chunks) == 1 else await basic_summary(
                    [message for part in chunks for message in part])
                return Summarized(record, failure, parsed=False)
            done = Summarized(answer, parsed=verdict.outcome == "summarized")
            previous = summarizer.format_summary_for_context(answer)
            first += len(chunk)
    assert done is not None, "no chunks"
    return done


def _basic(existing_summary: str | None) -> str:
    """What is printed when the model's summary is not: the basic summary, after the
    earlier one, which it does not hold."""
    if existing_summary is None:
        return "the basic summary"
    return "the earlier summary followed by the basic summary"


def _failure_line(failure: ChunkFailure, conversation: Conversation,
                  existing_summary: str | None) -> str:
    """Which messages were not summarized, named by their place in the history."""
    total = conversation.items
    if failure.first:
        first = conversation.origin[failure.first]
        rest = (f"messages [{first}] to [{total - 1}] ({total - first} of {total}) were not "
                f"summarized; printing the summary of messages [0] to [{first - 1}]")
    else:
        rest = (f"none of the {_count(total, 'message')} was summarized; printing "
                f"{_basic(existing_summary)}")
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
    parser = _main_parser()
    command = _command_at(arguments, parser)
    try:
        # The options before compact are read as the summary's, those after it as
        # compact's, into one namespace: either side may give the shared ones.
        args = parser.parse_args(arguments if command is None else arguments[:command])
        if command is not None:
            parser = _compact_parser()
            parser.parse_args(arguments[command + 1:], namespace=args)
        try:
            return _run(args) if command is None else _run_compact(args)
        except UsageError as exc:
            parser.error(str(exc))
        except InputError as exc:
            write(f"{PROG}: error: {exc}", sys.stderr)
            return 2
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
    items, reading = load_history(_read_text(args.path, "conversation"), _name(args.path),
                                  args.message_format)
    conversation = _conversation(items, reading)
    existing = _earlier_summary(args, conversation.summary)
    client = _make_client(args)
    _configure_logging()
    if not conversation.messages:
        after = "" if conversation.summary is None else " after its summary"
        write(f"{PROG}: nothing to summarize: {_name(args.path)} holds no messages{after}",
              sys.stderr)
        _print_basic(asyncio.run(basic_summary([])), existing, args.json)
        return 0
    if client is None:
        # No model: one basic summary of it all, whatever the chunk options.
        write(f"{PROG}: {OFFLINE}, printing {_basic(existing)}", sys.stderr)
        _print_basic(asyncio.run(basic_summary(conversation.messages)), existing, args.json)
        return FAILED_STATUS if args.strict else 0
    return _run_with_model(args, client, conversation, existing)


def _run_with_model(args: argparse.Namespace, client: LLMClient, conversation: Conversation,
                    existing: str | None) -> int:
    messages = conversation.messages
    if args.chunk is not None:
        chunks = [messages[start:start + args.chunk]
                  for start in range(0, len(messages), args.chunk)]
    else:
        chunks = chunk_messages(messages, args.chunk_tokens or SUMMARY_INPUT_TOKENS)
    _announce(chunks)
    done = asyncio.run(summarize(client, chunks, existing))
    failure = done.failure
    if failure is None:
        _print_record(done.record, args.json)
        if done.parsed or not args.strict:
            return 0
        write(f"{PROG}: the model answered with prose, not a JSON object; printing its text "
              "as the summary", sys.stderr)
        return FAILED_STATUS
    if len(chunks) > 1 or args.chunk is not None or existing is not None:
        write(_failure_line(failure, conversation, existing), sys.stderr)
    if failure.first:  # the model's summary of part of the conversation
        _print_record(done.record, args.json)
        return FAILED_STATUS
    _print_basic(done.record, existing, args.json)
    return FAILED_STATUS if args.strict or args.chunk is not None else 0


def _print_record(record: dict[str, Any], as_json: bool) -> None:
    if as_json:
        write_json(record)
    else:
        write(ConversationSummarizer(OfflineClient()).format_summary_for_context(record))


def _print_basic(record: dict[str, Any], existing_summary: str | None, as_json: bool) -> None:
    """The basic record after the earlier summary, which it does not hold: in JSON, that
    text under the summarizer's own name for it, after the record's keys."""
    if existing_summary is None:
        _print_record(record, as_json)
    elif as_json:
        write_json({**record, "existing_summary": existing_summary})
    else:
        block = ConversationSummarizer(OfflineClient()).format_summary_for_context(record)
        write(existing_summary + "\n\n" + block)  # as the compactor's fallback joins them


COMPACT_OPTIONS = ("--context-tokens", "--keep-tokens", "--plan", "-h", "--help")
# Options of the summary alone; compact takes the rest of the main parser's options.
_SUMMARY_ONLY = {"summary": "--summary", "summary_file": "--summary-file", "json": "--json",
                 "chunk": "--chunk", "chunk_tokens": "--chunk-tokens", "strict": "--strict"}


def _command_at(arguments: list[str], parser: argparse.ArgumentParser) -> int | None:
    """Where the line names compact: at its first operand, as the parser reads the line.
    A file named compact is still summarized when the line has none of compact's own
    options; after "--" every operand is a file."""
    index = _first_operand(arguments, parser)
    if index is None or arguments[index] != "compact":
        return None
    if any(arg.split("=", 1)[0] in COMPACT_OPTIONS for arg in arguments[index + 1:]):
        return index
    return None if os.path.exists("compact") else index


def _first_operand(arguments: list[str], parser: argparse.ArgumentParser) -> int | None:
    """The index of the first argument that is neither an option nor an option's value,
    with options abbreviated as argparse allows; None when there is none before "--"."""
    takes_value = {option: action.nargs != 0
                   for action in parser._actions for option in action.option_strings}
    index = 0
    while index < len(arguments):
        argument = arguments[index]
        if argument == "--":
            return None
        if argument == "-" or not argument.startswith("-"):
            return index
        name, joined, _ = argument.partition("=")
        options = [name] if name in takes_value else [
            option for option in takes_value if option.startswith(name)]
        value_follows = not joined and len(options) == 1 and takes_value[options[0]]
        index += 2 if value_follows else 1
    return None


def _compact_parser() -> argparse.ArgumentParser:
    parser = _parser(f"{PROG} compact")  # for the path and the shared options
    parser.description = ("Compact an agent history: summarize its oldest part and print the "
                          "new history as JSON, its items in their own format (nothing is "
                          "changed when compaction fails).")
    parser.epilog = ("Exit status: 0 when the new history is printed (offline, with the basic "
                     "summary); 2 for bad input or options; 3 when the request failed or the "
                     "model's answer was no JSON summary, and the history is printed "
                     "unchanged.")
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
    items, reading = load_history(_read_text(args.path, "history"), _name(args.path),
                                  args.message_format)
    # The items go to the compactor as the file holds them, so that the history printed
    # keeps their format, and the summary item is made in it.
    settings: dict[str, Any] = {"context_tokens": args.context_tokens,
                                "keep_tokens": args.keep_tokens,
                                "message_format": reading.format}
    try:  # the settings are checked before a client is made
        compactor = Compactor(ConversationSummarizer(OfflineClient()), **settings)
    except ValueError as exc:
        raise UsageError(str(exc)) from None
    if args.plan:
        print(_plan_table(compactor, items))
        return 0
    return _compact(items, settings, compactor.plan(items), _make_client(args))


# Outcomes that leave the history as it was, with a model: the request failed, or the
# model's answer was no summary.
_NOT_COMPACTED = ("failed", "unparsed")


def _compact(items: list[object], settings: dict[str, Any], plan: Plan[Any],
             client: LLMClient | None) -> int:
    # Offline, the basic summary is what the command promises: the compactor's fallback
    # replaces the whole summarized part with it. With a model, a failed request leaves
    # the history as it was.
    offline = client is None
    sent = [] if offline or not (plan.triggered and plan.progress) else plan.chunks
    _announce(sent)
    _configure_logging()
    with _progress(len(sent)) as steps, (
            offline_on_purpose() if offline else contextlib.nullcontext()):
        stepping = _Stepping(client or OfflineClient(), steps.step)  # the compactor watches it
        compactor = Compactor(ConversationSummarizer(stepping), **settings,
                              on_failure="fallback" if offline else "keep")
        result = asyncio.run(compactor.compact(items))
        steps.failed = result.outcome in _NOT_COMPACTED
    write_json(result.messages)
    write(_compact_line(result, len(items), compactor.window_tokens, offline), sys.stderr)
    return FAILED_STATUS if result.outcome in _NOT_COMPACTED and not offline else 0


def _compact_line(result: CompactionResult[Any], before: int, window: int,
                  offline: bool) -> str:
    """What a compaction did, in one line: how, the sizes before and after, and what the
    server counted when it said."""
    sizes = (f"{before} -> {len(result.messages)} messages, {result.tokens_before} -> "
             f"{result.tokens_after} tokens" + ("" if result.fits else
                                                f" (over the window of {window})"))
    if offline and result.outcome == "failed":  # the basic summary, as promised
        return f"{PROG}: {OFFLINE}, the summarized part is the basic summary: {sizes}"
    usage = result.usage
    counted = "" if usage is None else (
        f" ({usage.prompt_tokens} prompt + {usage.completion_tokens} completion tokens)")
    error = f": {result.error}" if result.error else ""
    return (f"{PROG}: {result.outcome}: {sizes}, {_count(result.requests, 'request')}"
            f"{counted}{error}")


def _plan_table(compactor: Compactor, items: list[object]) -> str:
    plan = compactor.plan(items)
    if not plan.triggered:
        verdict = "no: the trigger is not reached"
    elif not plan.progress:
        verdict = "no: the only safe cut frees less than 10% of the tokens"
    else:
        verdict = f"yes, in {_count(len(plan.chunks), 'request')}"
    rows = [
        ("messages", f"{len(items)}"),
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
