"""The stubs: current with the modules, true to them at run time, and useful to mypy --strict."""
import inspect
import pathlib
import re
import subprocess
import sys
import typing

import pytest

from quorvex_analytics_utils.predictive_models import frames
from quorvex_analytics_utils.predictive_models.augmented_scorer import AugmentedScorer
from quorvex_analytics_utils.predictive_models.feature_preparation.feature_preparation import FeaturePreparation

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


@pytest.mark.parametrize("function", [FeaturePreparation.transform_frame, AugmentedScorer.score_frame],
                         ids=lambda f: f.__name__)
def test_overloads_vary_only_the_types_of_the_functions_parameters(function):
    def shape(sig):
        return [(p.name, p.kind, p.default) for p in sig.parameters.values()]

    own = inspect.signature(function)
    results = [sig.return_annotation for sig in function.__overloads__]
    assert all(shape(sig) == shape(own) for sig in function.__overloads__)
    assert len(set(map(str, results))) > 1 and own.return_annotation not in results


def test_annotations_name_the_frame_libraries_without_importing_them():
    code = ("import importlib, pkgutil, sys, quorvex_analytics_utils as q\n"
            "for info in pkgutil.walk_packages(q.__path__, q.__name__ + '.'):\n"
            "    importlib.import_module(info.name)\n"
            "print(sorted({m.split('.')[0] for m in sys.modules} & {'pandas', 'polars', 'pyarrow', 'dask'}))")
    result = run("-c", code)
    assert result.stdout.strip() == "[]", result.stderr
    assert "pandas.DataFrame" in str(frames.FrameLike)


@pytest.mark.parametrize("protocol", [frames.SupportsArray, frames.ArrowArrayExportable, frames.ArrowStreamExportable,
                                      frames.SparkSchema], ids=lambda p: p.__name__)
def test_protocol_members_state_a_signature_only(protocol):
    assert typing.is_protocol(protocol)
    member = next(name for name in vars(protocol) if name.startswith("__arrow") or name in ("__array__", "fieldNames"))
    explicit = type("Explicit", (protocol,), {})()
    with pytest.raises(NotImplementedError, match="protocol member"):
        getattr(explicit, member)()
