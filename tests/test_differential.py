"""The extension against its pure-Python twin on generated inputs.

Each test feeds the same input to both and requires the same outcome: an equal
result (records compared without `created_at`, which must be a float) or the
same exception type and message.  SUMMARIZER_FUZZ_EXAMPLES raises the budget.
"""

import hypothesis.strategies as st
from hypothesis import given

import twin
from conftest import extension
from strategies import (
    Client, answers, argument_dicts, behaviours, fuzz, logged, message, messages, outcome, rare_tool_calls,
    records, run_to_end, short_texts, texts, tool_calls, user_requests,
)


def compare(call_on):
    """Run call_on(module) on both modules; outcomes and log lines must match."""
    results = []
    for module in (extension, twin):
        with logged() as lines:
            results.append((outcome(lambda: call_on(module)), lines))
    assert results[0] == results[1]


# --- the tests ----------------------------------------------------------------


@fuzz
@given(messages)
def test_transcript(msgs):
    compare(lambda m: m._format_messages_for_summary(msgs))


@fuzz
@given(st.lists(st.one_of(tool_calls, tool_calls, rare_tool_calls), min_size=1, max_size=4),
       st.one_of(short_texts, st.none()))
def test_tool_calls(calls, content):
    msgs = [{"role": "assistant", "content": content, "tool_calls": calls}]
    compare(lambda m: m._format_messages_for_summary(msgs))


@fuzz
@given(argument_dicts)
def test_brief(args):
    compare(lambda m: m._brief_args(args))


@fuzz
@given(answers)
def test_parse(answer):
    compare(lambda m: m._parse_summary(answer))


@fuzz
@given(st.one_of(messages, user_requests, user_requests))
def test_fallback(msgs):
    compare(lambda m: m._fallback_summary(msgs))


@fuzz
@given(records)
def test_render(record):
    compare(lambda m: m.ConversationSummarizer(None).format_summary_for_context(record))


# --- summarize_messages end to end ----------------------------------------------


@fuzz
@given(st.lists(message, max_size=5), st.one_of(st.none(), texts), behaviours)
def test_summarize(msgs, existing, behaviour):
    clients = []

    def summarize(module):
        client = Client(behaviour)
        clients.append(client)
        summarizer = module.ConversationSummarizer(client)
        return run_to_end(summarizer.summarize_messages(msgs, existing))

    compare(summarize)
    assert clients[0].requests == clients[1].requests
