"""Pure-Python twin of ``vorlin.core.summarizer``, used by the tests as an oracle.

Written plainly, one statement per step, so that a difference between the two
points at the extension.  Three behaviours differ on purpose from the first
design and match the extension: a one-line fenced answer keeps its text, a
list section given as a text renders as one bullet, and a cut of a value with
no item access at all raises "'...' object is unsliceable".
"""

import json, logging, time
from typing import Any

logger = logging.getLogger("vorlin.summarizer")

SUMMARIZE_PROMPT = """You are a conversation summarizer for an AI agent called Vorlin.
Your job is to compress a chunk of conversation into a concise summary
that preserves ALL critical information the agent needs to continue working.

You MUST extract and preserve:
1. **GOALS**: What the user originally asked for (the top-level objective)
2. **PROGRESS**: What steps have been completed so far
3. **CURRENT STATE**: What the agent was working on when this chunk ended
4. **KEY DECISIONS**: Important choices made (e.g., which approach to use)
5. **KEY FACTS**: Technical details, file paths, URLs, credentials, names, etc.
6. **BLOCKERS**: Any issues encountered and how they were resolved (or not)
7. **NEXT STEPS**: What the agent planned to do next

Return your summary as a JSON object with this exact structure:
{
  "goals": ["Primary goal 1", "Sub-goal 2"],
  "progress": ["Step 1 completed: did X", "Step 2 completed: did Y"],
  "current_state": "Brief description of where things stand",
  "key_decisions": ["Decided to use approach A because..."],
  "key_facts": ["File is at /path/to/file", "User's name is X"],
  "blockers": ["Issue with X was resolved by Y"],
  "next_steps": ["Need to do A", "Then do B"],
  "summary": "One paragraph narrative summary of the entire conversation chunk"
}

Be thorough but concise. Every piece of information that the agent might
need to continue its work MUST be preserved. Do NOT lose any goals,
file paths, technical details, or user preferences.
"""

_HEAPTYPE = 1 << 9


def _type_name(obj):
    """The type name the interpreter's own messages print (its tp_name)."""
    tp = type(obj)
    if tp.__flags__ & _HEAPTYPE or tp.__module__ == "builtins":
        return tp.__name__
    return f"{tp.__module__}.{tp.__name__}"


def _accepts(**expected):
    """Refuse, before the body runs, an argument that is not exactly its type.

    Each keyword names a parameter and gives its type, or (type, None) when
    None is allowed as well.  Subclasses are refused, as the extension does.
    """

    def decorate(func):
        code = func.__code__
        names = code.co_varnames[: code.co_argcount]
        checks = []
        for name, tp in expected.items():
            none_ok = isinstance(tp, tuple)
            if none_ok:
                tp = tp[0]
            checks.append((names.index(name), name, tp, none_ok))

        def checked(*args, **kwargs):
            for index, name, tp, none_ok in checks:
                if index < len(args):
                    value = args[index]
                elif name in kwargs:
                    value = kwargs[name]
                else:
                    continue  # the call itself reports the missing argument
                if type(value) is not tp and not (none_ok and value is None):
                    raise TypeError(
                        f"Argument '{name[:200]}' has incorrect type "
                        f"(expected {tp.__name__[:200]}, got {_type_name(value)[:200]})"
                    )
            return func(*args, **kwargs)

        for attr in ("__module__", "__name__", "__qualname__", "__doc__", "__annotations__"):
            setattr(checked, attr, getattr(func, attr))
        checked.__wrapped__ = func
        if code.co_flags & 0x80:  # CO_COROUTINE: let asyncio recognise the wrapper
            from asyncio import coroutines

            checked._is_coroutine = coroutines._is_coroutine
        return checked

    return decorate


def _cut(value, length):
    """``value[:length]``; a value with no item access at all is unsliceable.
    A class whose type has none is cut through its ``__class_getitem__``."""
    if any("__getitem__" in vars(base) for base in type(value).__mro__):
        return value[:length]
    method = getattr(value, "__class_getitem__", None) if type in type(value).__mro__ else None
    if method is None:
        raise TypeError(f"'{_type_name(value)[:200]}' object is unsliceable")
    return method(slice(None, length))


def _expect_dict(value):
    """The result check of the summarizing operation."""
    if value is not None and type(value) is not dict:
        raise TypeError(f"Expected dict, got {_type_name(value)[:200]}")
    return value


class ConversationSummarizer:
    """Summarizes conversation chunks to compress context."""

    def __init__(self, llm_client: Any):
        """Initialize with an LLMClient instance."""
        self._llm = llm_client

    @_accepts(messages=list, existing_summary=(str, None))
    async def summarize_messages(
        self, messages: "list[dict[str, Any]]", existing_summary: "str | None" = None
    ) -> "dict[str, Any]":
        """Summarize a list of messages into a structured summary.

        Args:
            messages: The messages to summarize (in chronological order)
            existing_summary: If provided, the new summary should build on this

        Returns:
            A structured summary dict with goals, progress, etc.
        """
        if not messages:
            return _expect_dict(_empty_summary())

        conv_text = _format_messages_for_summary(messages)
        prompt_parts = [SUMMARIZE_PROMPT]
        if existing_summary:
            prompt_parts.append(f"\n\n## Previous Summary (build on this):\n{existing_summary}")
        prompt_parts.append(f"\n\n## Conversation to Summarize:\n{conv_text}")

        try:
            client = self._llm
            request = [
                {"role": "system", "content": "\n".join(prompt_parts)},
                {"role": "user", "content": "Summarize the conversation above. Return ONLY the JSON object."},
            ]
            response = await client.complete(messages=request, max_tokens=2048)
            if response.content:
                return _expect_dict(_parse_summary(response.content))
            logger.warning("Empty response from summarizer LLM")
            return _expect_dict(_fallback_summary(messages))
        except Exception as e:
            logger.error("Summarization failed: " + str(e))
            return _expect_dict(_fallback_summary(messages))

    @_accepts(summary=dict)
    def format_summary_for_context(self, summary: "dict[str, Any]") -> "str":
        """Format a structured summary as readable text for the system prompt."""
        parts = [
            "## Conversation History Summary",
            "*(Earlier messages were summarized to save context space)*\n",
        ]
        for key, heading in _SECTIONS:
            if not summary.get(key):
                continue
            if heading is None:
                if key == "current_state":
                    parts.append(f"### Current State\n{summary[key]}\n")
                else:
                    parts.append(f"### Narrative Summary\n{summary[key]}")
                continue
            parts.append(heading)
            items = summary[key]
            if isinstance(items, str):
                # The model gave a text where a list was asked for: keep it whole.
                parts.append(f"  - {items}")
            else:
                for item in items:
                    parts.append(f"  - {item}")
            parts.append("")
        return "\n".join(parts)


# Sections in rendering order; None marks the two text sections.
_SECTIONS = (
    ("goals", "### Original Goals"),
    ("progress", "### Progress So Far"),
    ("current_state", None),
    ("key_decisions", "### Key Decisions"),
    ("key_facts", "### Key Facts"),
    ("blockers", "### Issues & Resolutions"),
    ("next_steps", "### Next Steps"),
    ("summary", None),
)


@_accepts(messages=list)
def _format_messages_for_summary(messages: "list[dict[str, Any]]") -> "str":
    """Convert messages to a readable text format for the summarizer."""
    lines = []
    for msg in messages:
        role = msg.get("role", "unknown")
        content = msg.get("content", "")

        if role == "system":
            continue

        if role == "tool":
            tool_id = msg.get("tool_call_id", "unknown")
            if content and len(content) > 500:
                content = _cut(content, 500) + "... [truncated]"
            lines.append(f"[Tool Result ({tool_id})]: {content}")
        elif role == "assistant":
            if content:
                lines.append(f"[Assistant]: {content}")
            if msg.get("tool_calls"):
                for tc in msg["tool_calls"]:
                    if not isinstance(tc, dict):
                        continue
                    name = tc.get("name", tc.get("function", {}).get("name", "unknown"))
                    args = tc.get("arguments", tc.get("function", {}).get("arguments", {}))
                    if isinstance(args, str):
                        try:
                            args = json.loads(args)
                        except json.JSONDecodeError:
                            pass
                    if isinstance(args, dict):
                        args_brief = _brief_args(args)
                    else:
                        args_brief = str(args)[:200]
                    lines.append(f"[Assistant called {name}]: {args_brief}")
        elif role == "user":
            lines.append(f"[User]: {content}")

    return "\n".join(lines)


@_accepts(args=dict)
def _brief_args(args: "dict") -> "str":
    """Create a brief summary of tool arguments."""
    parts = []
    for k, v in args.items():
        val_str = str(v)
        if len(val_str) > 100:
            val_str = val_str[:100] + "..."
        parts.append(f"{k}={val_str}")
    return ", ".join(parts)


@_accepts(text=str)
def _parse_summary(text: "str") -> "dict[str, Any]":
    """Parse the LLM's JSON response into a summary dict."""
    text = text.strip()

    if text.startswith("```"):
        lines = text.split("\n")
        json_lines = []
        in_block = False
        for line in lines:
            if line.strip().startswith("```") and not in_block:
                in_block = True
                continue
            elif line.strip() == "```" and in_block:
                break
            elif in_block:
                json_lines.append(line)
        # A fence that yields no line (all on one line) keeps the answer as it is.
        if json_lines:
            text = "\n".join(json_lines)

    try:
        data = json.loads(text)
        return {
            "goals": data.get("goals", []),
            "progress": data.get("progress", []),
            "current_state": data.get("current_state", ""),
            "key_decisions": data.get("key_decisions", []),
            "key_facts": data.get("key_facts", []),
            "blockers": data.get("blockers", []),
            "next_steps": data.get("next_steps", []),
            "summary": data.get("summary", ""),
            "created_at": time.time(),
        }
    except json.JSONDecodeError:
        logger.warning("Could not parse summary JSON, using fallback")
        return {
            "goals": [],
            "progress": [],
            "current_state": "",
            "key_decisions": [],
            "key_facts": [],
            "blockers": [],
            "next_steps": [],
            "summary": text[:1000],
            "created_at": time.time(),
        }


def _empty_summary() -> "dict[str, Any]":
    return {
        "goals": [],
        "progress": [],
        "current_state": "",
        "key_decisions": [],
        "key_facts": [],
        "blockers": [],
        "next_steps": [],
        "summary": "",
        "created_at": time.time(),
    }


@_accepts(messages=list)
def _fallback_summary(messages: "list[dict[str, Any]]") -> "dict[str, Any]":
    """Create a basic summary without LLM when summarization fails."""
    goals = []
    progress = []
    for msg in messages:
        if msg.get("role") == "user" and msg.get("content"):
            content = msg["content"]
            if len(content) > 200:
                content = _cut(content, 200) + "..."
            goals.append(content)
    if goals:
        goals = [goals[0]]

    n = len(messages)
    request = goals[0] if goals else "unknown"
    return {
        "goals": goals,
        "progress": progress,
        "current_state": f"Conversation had {n} messages before summarization",
        "key_decisions": [],
        "key_facts": [],
        "blockers": [],
        "next_steps": [],
        "summary": f"Conversation with {n} messages. Primary request: {request}",
        "created_at": time.time(),
    }
