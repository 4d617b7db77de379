"""Every public operation under allocation failure, one failure point at a time.

nomemory_child.py makes the k-th allocation inside one call fail, for every k until
the call runs clean 20 times in a row, and judges each step: the expected result, or
an exception (never a partial result, a pending exception, a changed input, a leaked
reference, or a module left unusable). Each operation sweeps in a process of its own,
so a crash names the operation and the failure point instead of ending the test run.
"""

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("_testcapi")

import nomemory_child  # noqa: E402  (needs _testcapi)

CHILD = Path(__file__).with_name("nomemory_child.py")

# The one exception, besides MemoryError and the SystemError of a lost error that the
# child tells apart as the host's own, that the host raises when an allocation fails.
HOST_TEXTS = {"RuntimeError: can't allocate lock"}

# summarize_messages driven to its end by send(None), against a client that answers at
# once, and (the last three) against one that suspends once, resumed by send, throw, close.
SUMMARIZE_WITH_REQUEST = [
    "summarize", "summarize_empty_answer", "summarize_client_fails",
    "summarize_suspended", "summarize_thrown", "summarize_closed",
]
OPS = [
    "import", "format_messages", "format_messages_general", "brief_args", "parse_bare",
    "parse_fenced", "parse_undecodable", "empty_summary", "fallback_summary",
    "fallback_summary_general", "format_for_context", *SUMMARIZE_WITH_REQUEST,
    "summarize_no_messages",
    # Calls that fail on their inputs: the same error, or MemoryError, comes out.
    "format_messages_fails", "brief_args_fails", "parse_not_object", "fallback_summary_fails",
    "format_for_context_fails", "summarize_bad_message",
]


def sweep(op, *options, env=None):
    proc = subprocess.run([sys.executable, str(CHILD), *options, op], capture_output=True,
                          text=True, cwd=CHILD.parent, timeout=600, env=env)
    lines = proc.stderr.splitlines()
    at = next((line for line in reversed(lines) if line.startswith("k=")), "before the sweep")
    if proc.returncode != 0:
        rest = "\n".join(line for line in lines if not line.startswith("k="))[-3000:]
        pytest.fail(f"{op}: the sweep process died (exit {proc.returncode}) at {at}\n{rest}")
    return json.loads(proc.stdout.splitlines()[-1])


def show(name, report, request, capsys, record_property):
    """The sweep's counts, in the JUnit report, and on the terminal for a verbose run (-v)
    only: a plain run prints nothing that could read as a failure."""
    record_property("failure_points", report["points"])
    if request.config.get_verbosity() < 1:
        return
    with capsys.disabled():
        print(f"\n[nomemory] {name}: {report['points']} failure points, outcomes "
              f"{report['outcomes']}, exceptions {report['exception_types']}")


@pytest.mark.parametrize("op", OPS)
def test_every_allocation_failure_is_handled(op, request, capsys, record_property):
    report = sweep(op)
    show(op, report, request, capsys, record_property)
    assert report["faults"] == [], report
    assert report["stop"] == "clean", report
    # The hook reached into the call: some failure points made it raise.
    assert report["outcomes"].get("raised", 0) > 0, report
    assert set(report["texts"]) <= HOST_TEXTS, report["texts"]
    if op in SUMMARIZE_WITH_REQUEST:
        # A failure from the request on is an Exception like any other: fallback record.
        assert report["outcomes"].get("fallback", 0) > 0, report
        assert all(text.startswith("Summarization failed: ") for text in report["fallback_logs"])


@pytest.mark.parametrize("op, kind", [
    ("faulty_swallowing", "wrong result"),
    ("faulty_keeping", "reference count of an input changed"),
    ("faulty_hoarding", "objects leaked"),
])
def test_the_sweep_sees_a_faulty_operation(op, kind):
    report = sweep(op)
    assert kind in {fault["kind"] for fault in report["faults"]}, report


# --- C++ allocations -----------------------------------------------------------------


@pytest.fixture(scope="module")
def cxx_shim(tmp_path_factory):
    """A preloadable library whose operator new fails on demand (see nomemory_child)."""
    if os.environ.get("SUMMARIZER_UNDER_ASAN") == "1":
        pytest.skip("the sanitizer runtime's operator new comes first in the preload list")
    compiler = shutil.which("c++") or shutil.which("g++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    folder = tmp_path_factory.mktemp("cxx")
    (folder / "shim.cpp").write_text(nomemory_child.CXX_SHIM)
    subprocess.run([compiler, "-O1", "-shared", "-fPIC", "-o", str(folder / "shim.so"),
                    str(folder / "shim.cpp")], check=True, capture_output=True)
    return folder / "shim.so"


# Only these operations make C++ allocations (the text writer's list of pieces).
@pytest.mark.parametrize("op", ["format_messages", "brief_args", "format_for_context", "summarize"])
def test_every_cxx_allocation_failure_is_handled(op, cxx_shim, request, capsys,
                                                record_property):
    env = {**os.environ, "LD_PRELOAD": " ".join(filter(None, [os.environ.get("LD_PRELOAD"),
                                                               str(cxx_shim)]))}
    report = sweep(op, "--cxx", env=env)
    show(f"{op} (C++)", report, request, capsys, record_property)
    assert report["outcomes"].get("raised", 0) > 0, report  # std::bad_alloc became MemoryError
    assert report["faults"] == [], report
    assert report["stop"] == "clean", report
