"""The native YAML writer against ruamel itself: identical text, or a hand-over to ruamel."""

import collections
import enum

import pytest
from hypothesis import HealthCheck, given, settings

from _yaml_reference import needs_ruamel, ruamel_dumps, streams
from quorvex_analytics_utils.utils._yaml_native import dumps


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(streams)
def test_writes_ruamel_text_or_hands_over(data):
    native = dumps(data)
    if needs_ruamel(data):
        assert native is None
    else:
        assert native == ruamel_dumps(data)


class Colour(enum.IntEnum):
    RED = 1


shared = [1]
recursive_list = []
recursive_list.append(recursive_list)
recursive_dict = {}
recursive_dict["self"] = recursive_dict


@pytest.mark.parametrize(
    "data",
    [
        {"a": Colour.RED},
        collections.OrderedDict(a=1),
        {"a": shared, "b": shared},
        [{"a": shared, "b": [shared]}],
        recursive_list,
        recursive_dict,
        {1: "x"},
        {"a": 2**63},
        {"a": -(2**63) - 1},
        {"a": "\ud800"},
        {"a": "line\u2028break"},
        {"a\x85": 1},
        {"a": 1.5j},
        "x" if False else b"bytes",
    ],
    ids=lambda d: type(d).__name__,
)
def test_hands_over_what_it_cannot_guarantee(data):
    assert dumps(data) is None
    assert needs_ruamel(data)


def test_filter_runs_no_comparison_code_of_other_types():
    calls = []

    class Sneaky:
        def __eq__(self, other):
            calls.append(other)
            return True

    assert dumps({"a": Sneaky()}) is None
    assert calls == []


@pytest.mark.parametrize(
    "data, text",
    [
        ([], ""),
        ({"a": None, "b": [], "c": {}, "d": 0, "e": False, "f": ""}, "d: 0\ne: false\nf: ''\n"),
        ({1: None, "a": 1}, "a: 1\n"),  # a non-text key whose entry is dropped is never written
        ([{"a": 1}, {"b": 2}], "a: 1\n---\nb: 2\n"),
        ({"x": [None, [], {}]}, "x:\n- null\n- []\n- {}\n"),
        ({"x": {"y": None}}, "x: {}\n"),
        ([1, "a"], "1\n--- a\n...\n"),
        (["a", "'a'"], "a\n--- \"'a'\"\n"),
        (1 / 3, "0.333333333333\n...\n"),
        (-1e-13, "-0.0\n...\n"),
        ([1e16, 1e-5, float("inf"), float("-inf"), float("nan")], "1e+16\n--- 1e-05\n--- .inf\n--- -.inf\n--- .nan\n...\n"),
        ([2**63 - 1, -(2**63)], "9223372036854775807\n--- -9223372036854775808\n...\n"),
    ],
)
def test_known_texts(data, text):
    assert dumps(data) == text == ruamel_dumps(data)


def test_shared_containers_in_separate_documents_are_written():
    item = {"a": [1]}
    assert dumps([item, item]) == ruamel_dumps([item, item]) == "a:\n- 1\n---\na:\n- 1\n"


def test_very_deep_nesting_is_handed_over():
    value = 1
    for _ in range(1000):
        value = [value]
    assert dumps(value) is None


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(streams)
def test_dump_module_writes_and_reads_as_ruamel(data):
    import io

    from _yaml_reference import ruamel_loads, same_value
    from quorvex_analytics_utils.utils.dump import safe_loads_yaml, valid_dump_yaml, valid_dumps_yaml

    try:
        expected = ruamel_dumps(data)
    except Exception as e:  # noqa: BLE001 - the dump module must fail the same way
        with pytest.raises(type(e)):
            valid_dumps_yaml(data)
        return
    assert valid_dumps_yaml(data) == expected
    stream = io.StringIO()
    valid_dump_yaml(data, stream)
    assert stream.getvalue() == expected
    if expected and type(data) is not list:
        try:
            value = ruamel_loads(expected)
        except Exception as e:  # noqa: BLE001 - ruamel cannot always read its own text; same error then
            with pytest.raises(type(e)):
                safe_loads_yaml(expected)
        else:
            assert same_value(safe_loads_yaml(expected), value)


def test_dump_module_keyword_arguments_take_the_ruamel_path():
    from quorvex_analytics_utils.utils.dump import valid_dumps_yaml

    with pytest.raises(TypeError, match="explicit_start"):
        valid_dumps_yaml({"a": 1}, explicit_start=True)
