// Every constant text of the module, in one table.
//
// Each entry becomes one str object, created once per process by the exec
// step before any top-level statement runs, and kept for the life of the
// process: any code may borrow an entry without a reference of its own.
// Names that are looked up or used as keys are interned.
#pragma once

#include "ref.hpp"

namespace summarizer {

// The module's doc string (also the module definition's m_doc).
inline constexpr const char module_doc[] =
    "Conversation summarizer — compresses old messages into concise summaries.\n"
    "\n"
    "When a conversation grows beyond the context window, the summarizer:\n"
    "1. Takes the oldest messages that would be dropped\n"
    "2. Sends them to the LLM for summarization\n"
    "3. Extracts key goals, decisions, facts, and progress\n"
    "4. Returns a structured summary that replaces the raw messages\n"
    "\n"
    "This keeps the agent aware of its goals and progress even across\n"
    "very long conversations that exceed the context window.\n";

// X(member, text): the texts, interned.
#define SUMMARIZER_NAMES(X)                                                        \
    X(json, "json")                                                                \
    X(logging, "logging")                                                          \
    X(time, "time")                                                                \
    X(typing, "typing")                                                            \
    X(Any, "Any")                                                                  \
    X(logger, "logger")                                                            \
    X(getLogger, "getLogger")                                                      \
    X(SUMMARIZE_PROMPT, "SUMMARIZE_PROMPT")                                        \
    X(ConversationSummarizer, "ConversationSummarizer")                            \
    X(dunder_test, "__test__")                                                     \
    X(dunder_module, "__module__")                                                 \
    X(dunder_qualname, "__qualname__")                                             \
    X(dunder_doc, "__doc__")                                                       \
    X(dunder_init, "__init__")                                                     \
    X(dunder_class_getitem, "__class_getitem__")                                   \
    X(summarize_messages, "summarize_messages")                                    \
    X(format_summary_for_context, "format_summary_for_context")                    \
    X(format_messages_for_summary, "_format_messages_for_summary")                 \
    X(brief_args, "_brief_args")                                                   \
    X(parse_summary, "_parse_summary")                                             \
    X(empty_summary, "_empty_summary")                                             \
    X(fallback_summary, "_fallback_summary")                                       \
    X(qual_init, "ConversationSummarizer.__init__")                                \
    X(qual_summarize_messages, "ConversationSummarizer.summarize_messages")        \
    X(qual_format_summary_for_context, "ConversationSummarizer.format_summary_for_context") \
    X(self, "self")                                                                \
    X(llm_client, "llm_client")                                                    \
    X(messages, "messages")                                                        \
    X(existing_summary, "existing_summary")                                        \
    X(summary, "summary")                                                          \
    X(args, "args")                                                                \
    X(text, "text")                                                                \
    X(ret, "return")                                                               \
    X(loads, "loads")                                                              \
    X(JSONDecodeError, "JSONDecodeError")                                          \
    X(warning, "warning")                                                          \
    X(error, "error")                                                              \
    X(get, "get")                                                                  \
    X(close, "close")                                                              \
    X(throw_, "throw")                                                             \
    X(cr_await, "cr_await")                                                        \
    X(warnings, "warnings")                                                        \
    X(warn, "warn")                                                                \
    X(complete, "complete")                                                        \
    X(max_tokens, "max_tokens")                                                    \
    X(llm, "_llm")                                                                 \
    X(content, "content")                                                          \
    X(role, "role")                                                                \
    X(tool_call_id, "tool_call_id")                                                \
    X(tool_calls, "tool_calls")                                                    \
    X(name, "name")                                                                \
    X(arguments, "arguments")                                                      \
    X(function, "function")                                                        \
    X(asyncio_coroutines, "asyncio.coroutines")                                    \
    X(is_coroutine, "_is_coroutine")                                               \
    X(goals, "goals")                                                              \
    X(progress, "progress")                                                        \
    X(current_state, "current_state")                                              \
    X(key_decisions, "key_decisions")                                              \
    X(key_facts, "key_facts")                                                      \
    X(blockers, "blockers")                                                        \
    X(next_steps, "next_steps")                                                    \
    X(created_at, "created_at")                                                    \
    X(unknown, "unknown")                                                          \
    X(user, "user")                                                                \
    X(assistant, "assistant")                                                      \
    X(tool, "tool")                                                                \
    X(system, "system")                                                            \
    X(empty, "")                                                                   \
    X(newline, "\n")                                                               \
    X(module_name, "vorlin.core.summarizer")                                       \
    X(logger_name, "vorlin.summarizer")

// X(member, text): the longer texts, not interned.
#define SUMMARIZER_TEXTS(X)                                                        \
    X(pair_separator, ", ")                                                        \
    X(equals, "=")                                                                 \
    X(truncated_marker, "... [truncated]")                                         \
    X(ellipsis, "...")                                                             \
    X(user_prefix, "[User]: ")                                                     \
    X(assistant_prefix, "[Assistant]: ")                                           \
    X(assistant_called_prefix, "[Assistant called ")                               \
    X(called_suffix, "]: ")                                                        \
    X(tool_result_prefix, "[Tool Result (")                                        \
    X(tool_result_suffix, ")]: ")                                                  \
    X(parse_warning, "Could not parse summary JSON, using fallback")               \
    X(had_prefix, "Conversation had ")                                             \
    X(had_suffix, " messages before summarization")                                \
    X(with_prefix, "Conversation with ")                                           \
    X(with_suffix, " messages. Primary request: ")                                 \
    X(empty_response_warning, "Empty response from summarizer LLM")                \
    X(failed_prefix, "Summarization failed: ")                                     \
    X(previous_heading, "\n\n## Previous Summary (build on this):\n")              \
    X(conversation_heading, "\n\n## Conversation to Summarize:\n")                 \
    X(user_instruction, "Summarize the conversation above. Return ONLY the JSON object.") \
    X(summary_heading, "## Conversation History Summary")                          \
    X(summary_note, "*(Earlier messages were summarized to save context space)*\n") \
    X(goals_heading, "### Original Goals")                                         \
    X(progress_heading, "### Progress So Far")                                     \
    X(current_state_heading, "### Current State\n")                                \
    X(key_decisions_heading, "### Key Decisions")                                  \
    X(key_facts_heading, "### Key Facts")                                          \
    X(blockers_heading, "### Issues & Resolutions")                                \
    X(next_steps_heading, "### Next Steps")                                        \
    X(narrative_heading, "### Narrative Summary\n")                                \
    X(bullet, "  - ")                                                              \
    X(class_doc, "Summarizes conversation chunks to compress context.")            \
    X(init_doc, "Initialize with an LLMClient instance.")                          \
    X(summarize_messages_doc,                                                      \
      "Summarize a list of messages into a structured summary.\n\n"                \
      "        Args:\n"                                                            \
      "            messages: The messages to summarize (in chronological order)\n" \
      "            existing_summary: If provided, the new summary should build on this\n" \
      "\n"                                                                         \
      "        Returns:\n"                                                         \
      "            A structured summary dict with goals, progress, etc.\n"         \
      "        ")                                                                  \
    X(format_summary_for_context_doc,                                              \
      "Format a structured summary as readable text for the system prompt.")       \
    X(format_messages_for_summary_doc,                                             \
      "Convert messages to a readable text format for the summarizer.")            \
    X(brief_args_doc, "Create a brief summary of tool arguments.")                 \
    X(parse_summary_doc, "Parse the LLM's JSON response into a summary dict.")     \
    X(fallback_summary_doc, "Create a basic summary without LLM when summarization fails.") \
    X(ann_messages, "list[dict[str, Any]]")                                        \
    X(ann_optional_str, "str | None")                                              \
    X(ann_record, "dict[str, Any]")                                                \
    X(ann_dict, "dict")                                                            \
    X(ann_str, "str")                                                              \
    X(ann_any, "Any")                                                              \
    X(prompt, SUMMARIZE_PROMPT_TEXT)

#define SUMMARIZE_PROMPT_TEXT \
    "You are a conversation summarizer for an AI agent called Vorlin.\n" \
    "Your job is to compress a chunk of conversation into a concise summary\n" \
    "that preserves ALL critical information the agent needs to continue working.\n" \
    "\n" \
    "You MUST extract and preserve:\n" \
    "1. **GOALS**: What the user originally asked for (the top-level objective)\n" \
    "2. **PROGRESS**: What steps have been completed so far\n" \
    "3. **CURRENT STATE**: What the agent was working on when this chunk ended\n" \
    "4. **KEY DECISIONS**: Important choices made (e.g., which approach to use)\n" \
    "5. **KEY FACTS**: Technical details, file paths, URLs, credentials, names, etc.\n" \
    "6. **BLOCKERS**: Any issues encountered and how they were resolved (or not)\n" \
    "7. **NEXT STEPS**: What the agent planned to do next\n" \
    "\n" \
    "Return your summary as a JSON object with this exact structure:\n" \
    "{\n" \
    "  \"goals\": [\"Primary goal 1\", \"Sub-goal 2\"],\n" \
    "  \"progress\": [\"Step 1 completed: did X\", \"Step 2 completed: did Y\"],\n" \
    "  \"current_state\": \"Brief description of where things stand\",\n" \
    "  \"key_decisions\": [\"Decided to use approach A because...\"],\n" \
    "  \"key_facts\": [\"File is at /path/to/file\", \"User's name is X\"],\n" \
    "  \"blockers\": [\"Issue with X was resolved by Y\"],\n" \
    "  \"next_steps\": [\"Need to do A\", \"Then do B\"],\n" \
    "  \"summary\": \"One paragraph narrative summary of the entire conversation chunk\"\n" \
    "}\n" \
    "\n" \
    "Be thorough but concise. Every piece of information that the agent might\n" \
    "need to continue its work MUST be preserved. Do NOT lose any goals,\n" \
    "file paths, technical details, or user preferences.\n"

// The process-wide constants.
struct Texts {
#define SUMMARIZER_MEMBER(member, text) PyObject* member = nullptr;
    SUMMARIZER_NAMES(SUMMARIZER_MEMBER)
    SUMMARIZER_TEXTS(SUMMARIZER_MEMBER)
#undef SUMMARIZER_MEMBER
    PyObject* int_2048 = nullptr;  // the token limit of the request
    PyObject* request_keywords = nullptr;  // ("messages", "max_tokens")
    bool created = false;
};

extern Texts T;

// One entry of the table, named where the entry is needed before the table exists.
using Text = PyObject* Texts::*;

// Creates every constant once per process; later calls do nothing.
void create_texts();

}  // namespace summarizer
