"""The compactor's plan as it was before the reading layer and the token estimate: about
four characters a token, Chat messages only. Kept as the baseline that
`compaction.py` measures the plan against; nothing else uses it."""

from bisect import bisect_left
from itertools import islice

_ROUND_UP = 19  # ceil(chars / 4) + 4 in one division


def _scan(messages, begin):
    starts, before = [], []
    waiting = {}
    total = 0
    for index, message in enumerate(islice(messages, begin, None) if begin else messages, begin):
        role = message.get("role")
        chars = 0
        if role == "tool" or role == "function":
            if waiting:
                key = message.get("tool_call_id")
                left = waiting.pop(key, 1)
                if left != 1:
                    waiting[key] = left - 1
            elif index == begin:
                starts.append(index)
                before.append(total)
        else:
            if not waiting:
                starts.append(index)
                before.append(total)
            calls = message.get("tool_calls") if role == "assistant" else None
            if calls is not None and (calls.__class__ is list or isinstance(calls, (list, tuple))):
                for call in calls:
                    if call.__class__ is not dict and not isinstance(call, dict):
                        continue
                    key = call.get("id")
                    waiting[key] = waiting[key] + 1 if key in waiting else 1
                    fields = call.get("function")
                    if fields.__class__ is not dict and not isinstance(fields, dict):
                        fields = call
                    name, arguments = fields.get("name"), fields.get("arguments")
                    chars += len(name) + len(arguments)
        content = message.get("content")
        if content.__class__ is str:
            chars += len(content)
        total += (chars + _ROUND_UP) // 4
    before.append(total)
    return starts, before


def plan(messages, keep_tokens):
    """The cut and the parts, as the old plan made them (chunking aside)."""
    begin = 0
    while begin < len(messages) and messages[begin].get("role") in ("system", "developer"):
        begin += 1
    starts, before = _scan(messages, begin)
    last = len(starts) - 1
    unit = min(bisect_left(before, before[-1] - keep_tokens, 0, last), last)
    cut = starts[unit]
    return messages[:begin], messages[begin:cut], messages[cut:], before[-1]
