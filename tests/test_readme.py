"""The README's Python blocks, its recipe for a host's own vorlin package, and the example
host, each run in a child process as a reader would run them."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from openai_server import openai_server  # noqa: F401
from vorlin_summarizer import OpenAIChatClient
from vorlin_summarizer.cli import main

ROOT = Path(__file__).resolve().parent.parent
README = (ROOT / "README.md").read_text(encoding="utf-8")
BLOCKS = re.findall(r"^```python\n(.*?)^```$", README, re.M | re.S)
# A block whose first line is "# some/file.py" is that file, not a program.
FILES = {m[1]: block for block in BLOCKS if (m := re.match(r"# (\S+\.py)\n", block))}
PROGRAMS = [block for block in BLOCKS if block not in FILES.values()]
RECIPE = FILES.get("vorlin/__init__.py", "")


def run(argv, cwd, **env):
    clean = {k: v for k, v in os.environ.items()
             if not k.startswith("VORLIN_") and k not in ("OPENAI_API_KEY", "PYTHONPATH")}
    return subprocess.run([sys.executable, *argv], cwd=cwd, env=clean | env,
                          capture_output=True, text=True, timeout=60)


def test_the_readme_holds_its_programs_and_recipe():
    assert len(PROGRAMS) >= 4
    assert "extend_path(__path__, __name__)" in RECIPE


@pytest.mark.parametrize("index", range(len(PROGRAMS)),
                         ids=[f"block-{n}" for n in range(len(PROGRAMS))])
def test_each_program_runs_as_written(index, tmp_path, openai_server):
    program = PROGRAMS[index]
    (tmp_path / "program.py").write_text(program, encoding="utf-8")

    done = run(["program.py"], tmp_path, VORLIN_SUMMARIZER_BASE_URL=openai_server.base_url)

    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout.strip()
    # A program that names a server talks to the one it is given, not to a default.
    assert bool(openai_server.requests) == ("BASE_URL" in program)


HOST_FIRST = "import vorlin.agent\nimport vorlin.core.summarizer as module\n"
SUMMARIZER_FIRST = "import vorlin.core.summarizer as module\nimport vorlin.agent\n"
SHOW = "print(vorlin.agent.NAME, module.ConversationSummarizer.__name__)"


@pytest.mark.parametrize("layout, imports", [
    ("plain", HOST_FIRST), ("plain-with-core", HOST_FIRST), ("recipe", HOST_FIRST),
    ("recipe", SUMMARIZER_FIRST), ("recipe-with-core", HOST_FIRST),
], ids=["without-recipe", "without-recipe-with-core", "recipe", "recipe-summarizer-first",
        "recipe-with-core"])
def test_beside_a_host_package_with_an_init(layout, imports, tmp_path):
    package = tmp_path / "vorlin"
    package.mkdir()
    init = "" if layout.startswith("plain") else RECIPE
    (package / "__init__.py").write_text(init, encoding="utf-8")
    (package / "agent.py").write_text("NAME = 'host agent'\n", encoding="utf-8")
    if layout.endswith("with-core"):
        (package / "core").mkdir()
        (package / "core" / "__init__.py").write_text(init, encoding="utf-8")

    done = run(["-c", imports + SHOW], tmp_path)

    if layout.startswith("plain"):  # the failure the recipe is for, as the README quotes it
        missing = "vorlin.core.summarizer" if layout.endswith("with-core") else "vorlin.core"
        error = f"ModuleNotFoundError: No module named '{missing}'"
        assert done.returncode == 1 and done.stderr.endswith(error + "\n")
        assert f"`{error}`" in " ".join(README.split())
    else:
        assert (done.returncode, done.stdout, done.stderr) == (
            0, "host agent ConversationSummarizer\n", "")


def options(text):
    return set(re.findall(r"--[a-z][\w-]*", text)) - {"--help"}


@pytest.mark.parametrize("command", [[], ["compact"]], ids=["summary", "compact"])
def test_each_synopsis_names_every_option(command, capsys):
    prog = " ".join(["vorlin-summarize", *command])
    synopsis = re.search(rf"^    ({prog} \[PATH\].*?)\n\n", README, re.M | re.S)

    assert main([*command, "--help"]) == 0

    usage = capsys.readouterr().out.split("\n\n")[0]
    assert synopsis is not None and options(synopsis[1]) == options(usage)
    assert f"{prog} --help | --version" in synopsis[1]


def test_the_readme_says_what_ci_runs():
    ci = (ROOT / ".ci" / "run").read_text(encoding="utf-8")
    said = README[README.index("`.ci/run` is what CI runs"):README.index("## Use from a host")]
    # Every script and setting the run uses is named, and the tests run as the README says.
    for step in re.findall(r"bash (\.ci/[\w-]+)|(SUMMARIZER_\w+=\w+)", ci):
        assert "".join(step) in said
    # The test command runs in a subshell, with the options CI gives pytest.
    command = re.search(r"^    python3\.11 -m venv .*? && (\( cd tests && .* \))$", README, re.M)
    pytest_options = "-c ../pyproject.toml --rootdir .."
    assert command is not None and pytest_options in command[1] and pytest_options in ci


def test_missing_httpx_names_the_readme_install_command(monkeypatch):
    monkeypatch.setitem(sys.modules, "httpx", None)  # the next import of it fails

    with pytest.raises(ImportError) as info:
        OpenAIChatClient("http://localhost:8000/v1", "model")

    command = re.search(r"pip install '[^']+'", str(info.value))
    assert command is not None and command[0] in README


@pytest.mark.parametrize("cwd", ["examples", "elsewhere"])
def test_example_host_finds_its_conversation(cwd, tmp_path):
    done = run([str(ROOT / "examples" / "host_asyncio.py")],
               ROOT / "examples" if cwd == "examples" else tmp_path)

    assert (done.returncode, done.stderr) == (0, "")
    assert "summary requests sent: 1\n" in done.stdout
