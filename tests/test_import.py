"""Import steps, each run in a fresh interpreter process.

The module keeps process-wide state (the first interpreter, the one module
object), so every scenario here needs a process of its own. Each script
prints one JSON object of observations; the assertions live in the test.
"""

import json
import subprocess
import sys
import textwrap

import pytest

MODULE_NAME = "vorlin.core.summarizer"
INTERPRETER_CHANGE = (
    "Interpreter change detected - this module can only be loaded into one "
    "interpreter per process."
)
REINITIALISATION = (
    "Module 'summarizer' has already been imported. Re-initialisation is not supported."
)


def run_fresh(script, tmp_path):
    """Run `script` in a new interpreter; return the JSON object it prints last."""
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script)],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.splitlines()[-1])


# --- one module object per process ----------------------------------------------------


def test_repeated_import_reuses_the_module(tmp_path):
    facts = run_fresh(
        """
        import importlib, json, logging, sys

        calls = []
        real_get_logger = logging.getLogger

        def counting_get_logger(*args, **kwargs):
            calls.append([list(args), kwargs])
            return real_get_logger(*args, **kwargs)

        logging.getLogger = counting_get_logger
        first = importlib.import_module("vorlin.core.summarizer")
        calls_after_first = list(calls)
        # Re-running the top-level statements would undo this rebinding.
        first.time = "kept"

        again = importlib.import_module("vorlin.core.summarizer")
        del sys.modules["vorlin.core.summarizer"]
        after_removal = importlib.import_module("vorlin.core.summarizer")
        reloaded = importlib.reload(first)

        print(json.dumps({
            "calls_after_first": calls_after_first,
            "calls": calls,
            "same_on_import": again is first,
            "same_after_removal": after_removal is first,
            "same_on_reload": reloaded is first,
            "entry": sys.modules["vorlin.core.summarizer"] is first,
            "rebinding_kept": first.time == "kept",
            "logger": first.logger is real_get_logger("vorlin.summarizer"),
        }))
        """,
        tmp_path,
    )
    assert facts.pop("calls_after_first") == [[["vorlin.summarizer"], {}]]
    assert facts.pop("calls") == [[["vorlin.summarizer"], {}]]
    assert all(facts.values()), facts


@pytest.mark.parametrize("entry_exists", [False, True], ids=["absent", "present"])
def test_entered_under_package_path(tmp_path, entry_exists):
    # Loaded under its bare name, the module still enters itself under its
    # package path, unless something already holds that entry.
    facts = run_fresh(
        f"""
        import importlib.util, json, sys

        origin = importlib.util.find_spec("vorlin.core.summarizer").origin
        placeholder = object()
        if {entry_exists}:
            sys.modules["vorlin.core.summarizer"] = placeholder
        spec = importlib.util.spec_from_file_location("summarizer", origin)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        entry = sys.modules.get("vorlin.core.summarizer")
        print(json.dumps({{
            "name": module.__name__,
            "entry_is_module": entry is module,
            "entry_is_placeholder": entry is placeholder,
        }}))
        """,
        tmp_path,
    )
    assert facts == {
        "name": "summarizer",
        "entry_is_module": not entry_exists,
        "entry_is_placeholder": entry_exists,
    }


# (the first load, the load again, the module's __name__ and its spec's name after both)
LOAD_AGAIN = {
    "second name": ('load("vorlin.core.summarizer")', 'load("elsewhere.summarizer")',
                    ["vorlin.core.summarizer", "elsewhere.summarizer"]),
    "package path after bare name": ('load("summarizer")', 'load("vorlin.core.summarizer")',
                                     ["summarizer", "vorlin.core.summarizer"]),
    "import after renaming": ('import_again(); module.__name__ = "renamed"', "import_again()",
                              ["renamed", "vorlin.core.summarizer"]),
}


@pytest.mark.parametrize("case", list(LOAD_AGAIN))
def test_loading_again_gives_the_same_module(tmp_path, case):
    # The module lives once per process: whatever name a spec gives, the create
    # step hands back the one module, on which the importer then sets __spec__.
    first, again, names = LOAD_AGAIN[case]
    facts = run_fresh(
        f"""
        import importlib, importlib.util, json, sys

        origin = importlib.util.find_spec("vorlin.core.summarizer").origin

        def load(name):
            spec = importlib.util.spec_from_file_location(name, origin)
            module = importlib.util.module_from_spec(spec)
            spec.loader.exec_module(module)
            return module

        def import_again():
            sys.modules.pop("vorlin.core.summarizer", None)
            return importlib.import_module("vorlin.core.summarizer")

        module = {first}
        same = {again} is module
        print(json.dumps({{"same": same, "names": [module.__name__, module.__spec__.name]}}))
        """,
        tmp_path,
    )
    assert facts == {"same": True, "names": names}


def test_create_step(tmp_path):
    facts = run_fresh(
        """
        import importlib.util, json

        spec = importlib.util.find_spec("vorlin.core.summarizer")
        created = spec.loader.create_module(spec)
        own = dict(vars(created))
        package_spec = importlib.util.spec_from_file_location(
            "vorlin.core.summarizer", spec.origin, submodule_search_locations=["elsewhere"])
        with_path = package_spec.loader.create_module(package_spec)
        spec.loader.exec_module(created)
        print(json.dumps({
            "name": own["__name__"],
            "file": own["__file__"] == spec.origin,
            "loader": own["__loader__"] is spec.loader,
            "package": own["__package__"],
            "has_path": "__path__" in own,
            "path": with_path.__path__,
            "distinct_before_exec": with_path is not created,
            "same_after_exec": spec.loader.create_module(spec) is created,
            "module_from_spec_after_exec": importlib.util.module_from_spec(spec) is created,
        }))
        """,
        tmp_path,
    )
    assert facts == {
        "name": MODULE_NAME,
        "file": True,
        "loader": True,
        "package": "vorlin.core",
        "has_path": False,
        "path": ["elsewhere"],
        "distinct_before_exec": True,
        "same_after_exec": True,
        "module_from_spec_after_exec": True,
    }


def test_exec_step_refuses_another_module(tmp_path):
    facts = run_fresh(
        """
        import importlib, importlib.util, json, sys

        spec = importlib.util.find_spec("vorlin.core.summarizer")
        a = importlib.util.module_from_spec(spec)
        b = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(a)
        try:
            spec.loader.exec_module(b)
        except BaseException as e:
            error = [type(e).__name__, str(e)]
        else:
            error = None
        a.logger = "kept"
        spec.loader.exec_module(a)   # the same module again: nothing runs
        print(json.dumps({
            "distinct": a is not b,
            "error": error,
            "b_bound": sorted(set(vars(b)) & {"__builtins__", "json", "logger",
                                              "ConversationSummarizer", "__test__"}),
            "rerun_kept": a.logger == "kept",
            "entry": sys.modules["vorlin.core.summarizer"] is a,
            "import": importlib.import_module("vorlin.core.summarizer") is a,
        }))
        """,
        tmp_path,
    )
    assert facts == {
        "distinct": True,
        "error": ["RuntimeError", REINITIALISATION],
        "b_bound": [],
        "rerun_kept": True,
        "entry": True,
        "import": True,
    }


# --- one interpreter per process ---------------------------------------------------------

SUBINTERPRETER_IMPORT = '''
try:
    import vorlin.core.summarizer
except BaseException as e:
    result = type(e).__name__ + ": " + str(e)
else:
    result = "imported"
with open(RESULT, "w") as f:
    f.write(result)
'''

# Each scenario ends with the outcome in the main interpreter as `main`.
SUBINTERPRETER_SCENARIOS = {
    "main_first": """
        import vorlin.core.summarizer
        run_sub()
        main = "imported"
    """,
    "sub_first": """
        run_sub()
        main = main_import()
    """,
    "after_failed_main_import": """
        sys.modules["json"] = None
        failed = main_import()
        del sys.modules["json"]
        run_sub()
        main = main_import()
    """,
}


SUBINTERPRETER_HELPERS = """
import json, sys, _testcapi

def run_sub():
    assert _testcapi.run_in_subinterp(SUB) == 0

def main_import():
    try:
        import vorlin.core.summarizer
    except BaseException as e:
        return type(e).__name__ + ": " + str(e)
    return "imported"
"""


@pytest.mark.parametrize("scenario", list(SUBINTERPRETER_SCENARIOS))
def test_one_interpreter_per_process(tmp_path, scenario):
    result = tmp_path / "sub.txt"
    sub = SUBINTERPRETER_IMPORT.replace("RESULT", repr(str(result)))
    script = "\n".join([
        f"SUB = {sub!r}",
        SUBINTERPRETER_HELPERS,
        textwrap.dedent(SUBINTERPRETER_SCENARIOS[scenario]),
        'print(json.dumps({"main": main}))',
    ])
    facts = run_fresh(script, tmp_path)
    refused = "ImportError: " + INTERPRETER_CHANGE
    if scenario == "sub_first":
        expected = ("imported", refused)
    else:
        expected = (refused, "imported")
    assert (result.read_text(), facts["main"]) == expected


# --- failing top-level statements --------------------------------------------------------

# (break the statement, repair it, expected error)
FAILURES = {
    "json": ('sys.modules["json"] = None', 'del sys.modules["json"]',
             ["ModuleNotFoundError", "import of json halted; None in sys.modules"]),
    "time": ('sys.modules["time"] = None', 'del sys.modules["time"]',
             ["ModuleNotFoundError", "import of time halted; None in sys.modules"]),
    "getLogger": ("logging.getLogger = broken_get_logger", "logging.getLogger = real_get_logger",
                  ["LookupError", "no loggers today"]),
    # The last function's code object, once the others exist: one of them is left holding a
    # cycle through its __dict__, which the collector must free with the failed module.
    "function": ("codes_broken = True", "codes_broken = False", ["LookupError", "no code objects today"]),
}


@pytest.mark.parametrize("statement", list(FAILURES))
def test_failing_statement(tmp_path, statement):
    breaks, repairs, expected = FAILURES[statement]
    facts = run_fresh(
        f"""
        import gc, importlib, importlib.util, json, logging, sys, traceback, weakref

        real_get_logger = logging.getLogger

        def broken_get_logger(name):
            raise LookupError("no loggers today")

        class Holder:
            pass

        held = []  # weak references to what a failed module's functions hold

        def hold_in_function():
            function = sys.modules["vorlin.core.summarizer"]._brief_args
            function.holder = Holder()
            function.holder.function = function
            held.append(weakref.ref(function.holder))

        codes_broken = False

        def break_codes(event, args):
            if codes_broken and event == "code.__new__" and args[2] == "_fallback_summary":
                hold_in_function()
                raise LookupError("no code objects today")

        sys.addaudithook(break_codes)

        def attempt(run):
            try:
                run()
            except BaseException as e:
                frames = [entry.name for entry in traceback.extract_tb(e.__traceback__)]
                return [type(e).__name__, str(e), "init vorlin.core.summarizer" in frames]
            return None

        spec = importlib.util.find_spec("vorlin.core.summarizer")
        failed = importlib.util.module_from_spec(spec)
        {breaks}
        through_loader = attempt(lambda: spec.loader.exec_module(failed))
        # The import system drops its own entry after a failure; do the same.
        sys.modules.pop("vorlin.core.summarizer", None)
        through_import = attempt(lambda: importlib.import_module("vorlin.core.summarizer"))
        left_behind = "vorlin.core.summarizer" in sys.modules
        {repairs}
        module = importlib.import_module("vorlin.core.summarizer")
        new_module = module is not failed
        del failed
        gc.collect()
        print(json.dumps({{
            "through_loader": through_loader,
            "through_import": through_import,
            "left_behind": left_behind,
            "new_module": new_module,
            "collected": [ref() is None for ref in held],
            "complete": [module.json is sys.modules["json"], module.time is sys.modules["time"],
                         module.logger.name, sorted(module.__test__)],
        }}))
        """,
        tmp_path,
    )
    assert facts == {
        "through_loader": expected + [True],
        "through_import": expected + [True],
        "left_behind": False,
        "new_module": True,
        "collected": [True, True] if statement == "function" else [],
        "complete": [True, True, "vorlin.summarizer", []],
    }


# name -> (set-up of `typing`, expected outcome)
TYPING_CASES = {
    "without_any": ("", ["ImportError", "cannot import name Any"]),
    "submodule_entry": ('sys.modules["typing.Any"] = marker', ["ok", True]),
    "replaced_any": ("fake.Any = marker", ["ok", True]),
}


@pytest.mark.parametrize("case", list(TYPING_CASES))
def test_any_taken_from_loaded_typing(tmp_path, case):
    setup, expected = TYPING_CASES[case]
    facts = run_fresh(
        f"""
        import json, sys, types

        marker = object()
        fake = types.ModuleType("typing")
        sys.modules["typing"] = fake
        {setup}
        try:
            import vorlin.core.summarizer as module
        except BaseException as e:
            outcome = [type(e).__name__, str(e)]
        else:
            outcome = ["ok", module.Any is marker]
        print(json.dumps(outcome))
        """,
        tmp_path,
    )
    assert facts == expected


# --- what the exec step binds ---------------------------------------------------------------

INTERPRETER_OWN = {
    "__name__", "__doc__", "__loader__", "__file__", "__package__", "__path__", "__spec__",
}
BOUND_IN_ORDER = [
    "__builtins__", "json", "logging", "time", "Any", "logger", "SUMMARIZE_PROMPT",
    "ConversationSummarizer", "_format_messages_for_summary", "_brief_args",
    "_parse_summary", "_empty_summary", "_fallback_summary", "__test__",
]


def test_module_attribute_order(tmp_path):
    keys = run_fresh(
        """
        import json
        import vorlin.core.summarizer as module
        print(json.dumps(list(vars(module))))
        """,
        tmp_path,
    )
    first_bound = keys.index("__builtins__")
    assert set(keys[:first_bound]) <= INTERPRETER_OWN
    assert keys[first_bound:] == BOUND_IN_ORDER


def test_coroutine_marker_resolved_on_first_access(tmp_path):
    facts = run_fresh(
        """
        import json, sys
        import vorlin.core.summarizer as module

        method = module.ConversationSummarizer.summarize_messages
        asyncio_at_import = "asyncio" in sys.modules
        marker = method._is_coroutine
        import asyncio.coroutines
        resolved = marker is asyncio.coroutines._is_coroutine
        asyncio.coroutines._is_coroutine = object()
        print(json.dumps({
            "asyncio_at_import": asyncio_at_import,
            "resolved": resolved,
            "kept": method._is_coroutine is marker,
        }))
        """,
        tmp_path,
    )
    assert facts == {"asyncio_at_import": False, "resolved": True, "kept": True}


def test_coroutine_marker_without_asyncio(tmp_path):
    facts = run_fresh(
        """
        import json, sys
        sys.modules["asyncio"] = None
        sys.modules["asyncio.coroutines"] = None
        import vorlin.core.summarizer as module

        cls = module.ConversationSummarizer
        without = [cls.summarize_messages._is_coroutine, cls.format_summary_for_context._is_coroutine]
        del sys.modules["asyncio"], sys.modules["asyncio.coroutines"]
        import asyncio.coroutines
        later = cls.summarize_messages._is_coroutine is asyncio.coroutines._is_coroutine
        print(json.dumps([*without, later]))
        """,
        tmp_path,
    )
    assert facts == [True, False, True]
