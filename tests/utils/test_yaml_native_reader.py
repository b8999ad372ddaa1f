"""The native YAML reader against ruamel's safe loader: the same value, or a deferral to ruamel."""

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from _yaml_reference import mutations, ruamel_dumps, ruamel_loads, same_value, streams
from quorvex_analytics_utils.utils._yaml_native import dumps, loads


def agrees_with_ruamel(text):
    """Returns whether the native reader handled the text; fails when it gives another value, or
    accepts text that ruamel rejects."""
    handled, value = loads(text)
    try:
        expected = ruamel_loads(text)
    except Exception:  # noqa: BLE001 - whatever ruamel raises, the native reader must have deferred
        assert not handled, text
        return False
    if handled:
        assert same_value(value, expected), text
    return handled


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(streams, st.randoms(use_true_random=False))
def test_own_output_and_mutations_read_as_ruamel_reads_them(data, rnd):
    text = dumps(data)
    if text is None:
        text = ruamel_dumps(data)
    agrees_with_ruamel(text)
    for mutated in mutations(text, rnd, 4):
        agrees_with_ruamel(mutated)


@pytest.mark.parametrize(
    "text",
    [
        "a: 1\nb:\n- x\n- 'y z'\n- \"q\\tr\"\nc:\n  d: -2.5e-07\n  e: .inf\n  f: true\n  g: null\n",
        "- - 1\n  - 2\n- a: 1\n  b: []\n- {}\n",
        "0o17\n...\n", "0x_1F\n", "1_000\n", "+.inf\n", "-0.0\n", "'it''s'\n", "~\n", "a:\n",
        "key: \n  long\n", "a: one\n  two\n", "'one\n  two'\n", '"one\\\n  \\ two"\n', '"\\u00e9\\U0001F642\\x41"\n',
        "--- x\n", "---\na: 1\n",
        "99999999999999999999999999\n", "k" * 1024 + ": v\n",
        "1: x\n", "w:\n  0: 1.0\n  1: 4.5\n", "0x1F: a\n-3: b\n1_000: c\n",  # integer keys
        "a: 1e400\nb: -1e-400\nc: 1_0.5_0\nd: .5\ne: 5.\nf: 1.5E+3\ng: 0.30000000000000004\nh: 2.5e-308\n",
    ],
)
def test_handles_the_written_subset(text):
    assert agrees_with_ruamel(text)


@pytest.mark.parametrize(
    "text",
    [
        "", "a: &x 1\nb: *x\n", "!!python/object:os.system x\n", "a: [1, 2]\n", "a: {b: 1}\n", "a: |\n  x\n",
        "a: >\n  x\n", "# comment\na: 1\n", "a: 1 # c\n", "%YAML 1.2\n---\na: 1\n", "a: 1\n---\nb: 2\n",
        "a: 1\na: 2\n", "1: x\n01: y\n", "1.5: x\n", "true: x\n", "~: x\n", "a: 2020-01-01\n", "<<: 1\n", "a:\tb\n", "a: 1\r\n", "\ufeffa: 1\n", "a: 1\n\nb: 2\n",
        "-\n", "a:  b\n", "? a\n: b\n", "0b_\n", "9" * 5000 + "\n",
        # Implicit keys longer than the loader allows, plain and quoted, at the top and nested.
        "k" * 1025 + ": v\n", "'" + "k" * 1023 + "': v\n", "a:\n  " + "k" * 1025 + ": v\n",
        "- " + "\u00e9" * 1025 + ": v\n", "a: '\n", 'a: "\\q"\n', "a: x\n- y\n",
    ],
)
def test_defers_everything_else(text):
    assert not agrees_with_ruamel(text)


def test_accepts_only_str():
    with pytest.raises(TypeError, match="expected str, got bytes"):
        loads(b"a: 1")


@pytest.mark.parametrize("brk", ["\x85", "\u2028", "\u2029"])
def test_defers_raw_unicode_line_breaks(brk):
    assert not agrees_with_ruamel(f"- '{brk}  '\n")


def test_escaped_space_before_a_fold_is_read_as_ruamel_does():
    agrees_with_ruamel('"b\\n\\ \n  yz"\n')
