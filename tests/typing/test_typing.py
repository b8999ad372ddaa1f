"""The stubs: current with the modules, true to them at run time, and useful to mypy --strict."""
import pathlib
import re
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
HERE = pathlib.Path(__file__).parent
REGENERATE = "the stubs differ from the modules: run scripts/gen-stubs and commit the .pyi files"


def run(*args):
    return subprocess.run([sys.executable, *args], cwd=ROOT, capture_output=True, text=True)


def test_stubs_are_those_the_modules_give():
    result = run("scripts/gen_stubs.py", "--check")
    assert result.returncode == 0, f"{REGENERATE}\n{result.stderr}"


def test_stubtest_finds_the_stubs_true_to_the_runtime():
    # Without the pydantic plugin: its made-up __init__ is no part of the runtime.
    result = run("-m", "mypy.stubtest", "quorvex_analytics_utils", "--allowlist",
                 str(HERE / "stubtest-allowlist.txt"))
    assert result.returncode == 0, f"{REGENERATE}\n{result.stdout}{result.stderr}"


def expected_errors(path):
    expected = set()
    for number, line in enumerate(path.read_text().splitlines(), 1):
        if (found := re.search(r"# expect: ([\w-]+)", line)):
            expected.add((path.name, number, found[1]))
    return expected


def test_mypy_strict_accepts_typed_use_and_reports_each_misuse():
    files = [HERE / "typed_use.py", HERE / "misuse.py"]
    result = run("-m", "mypy", "--strict", "--config-file", "pyproject.toml", "--cache-dir", "build/mypy-cache",
                 "--no-error-summary", *map(str, files))
    reported = {(pathlib.Path(m[1]).name, int(m[2]), m[3])
                for m in re.finditer(r"^(.+?):(\d+): error: .*\[([\w-]+)\]$", result.stdout, re.M)}
    assert reported == expected_errors(files[1]), result.stdout + result.stderr
