import math

import pytest

from quorvex_analytics_utils.utils.parse import StringFunctions, parse_value


@pytest.mark.parametrize(
    "text, quoted",
    [("'a'", True), ('"a"', True), ("'", True), ('"', True), ("''", True), ("", False),
     ("a", False), ("'a\"", False), ("\"a'", False), ("'a", False), ("a'", False)],
)
def test_has_quotes(text, quoted):
    assert StringFunctions._has_quotes(text) is quoted


@pytest.mark.parametrize(
    "text, removed, stripped",
    [
        ("'a'", "a", "a"),
        ("\"'a'\"", "'a'", "a"),
        ("'\"'a'\"'", "\"'a'\"", "a"),
        ("''", "", ""),
        ("'", "", ""),
        ("abc", "abc", "abc"),
        ("'a\"", "'a\"", "'a\""),
    ],
)
def test_remove_and_strip_quotes(text, removed, stripped):
    assert StringFunctions._remove_quotes(text) == removed
    assert StringFunctions._strip_quotes(text) == stripped


def test_remove_quotes_returns_same_object_when_unquoted():
    text = "unquoted text"
    assert StringFunctions._remove_quotes(text) is text


@pytest.mark.parametrize("method", ["_has_quotes", "_remove_quotes", "_strip_quotes"])
@pytest.mark.parametrize("bad", [1, None, b"'a'", type("S", (str,), {})("'a'")])
def test_quote_functions_take_exactly_str(method, bad):
    with pytest.raises(TypeError, match="'val'"):
        getattr(StringFunctions, method)(bad)


def test_quote_functions_dispatch_through_the_class_called_on():
    class Backticks(StringFunctions):
        @classmethod
        def _has_quotes(cls, val):
            return len(val) >= 2 and val[0] == val[-1] == "`"

    assert Backticks._strip_quotes("``a``") == "a"
    assert Backticks._remove_quotes("'a'") == "'a'"


def test_quote_test_result_is_taken_by_its_truth():
    # A subclass's quote test may answer with any object; only its truth counts.
    class Angles(StringFunctions):
        @classmethod
        def _has_quotes(cls, val):
            return 1 if len(val) >= 2 and val[0] == "<" and val[-1] == ">" else ""

    assert Angles._strip_quotes("<<a>>") == "a"
    assert Angles._remove_quotes("<b>") == "b"
    assert Angles._remove_quotes("c") == "c"


@pytest.mark.parametrize(
    "value, expected",
    [
        ("12", 12),
        ("12.0", 12),
        ("1e3", 1000),
        ("12.5", 12.5),
        ("  42  ", 42),
        ("-7", -7),
        ("abc", "abc"),
        ("", ""),
        ("'12'", "12"),
        ('"a b"', "a b"),
        ("''", ""),
        ("'", ""),
        ("\"'x'\"", "'x'"),
        (7, 7),
        (7.0, 7),
        (True, 1),
        (12.5, 12.5),
        # Integers are kept exact, never passed through a float.
        (2**53 + 1, 2**53 + 1),
        (str(2**53 + 1), 2**53 + 1),
        (10**400, 10**400),
        (str(-(10**30) - 1), -(10**30) - 1),
    ],
)
def test_parse_value(value, expected):
    result = parse_value(value)
    assert result == expected
    assert type(result) is type(expected)


@pytest.mark.parametrize("text", ["inf", "-inf", "nan", "1e400"])
def test_parse_value_non_finite_stays_float(text):
    result = parse_value(text)
    assert type(result) is float
    assert math.isnan(result) or math.isinf(result)


def test_parse_value_unparseable_non_text_gives_its_text():
    class Odd:
        def __float__(self):
            raise ValueError("nope")

        def __str__(self):
            return "odd"

    assert parse_value(Odd()) == "odd"


@pytest.mark.parametrize("bad, error", [(None, TypeError), ([1], TypeError)])
def test_parse_value_other_errors_propagate(bad, error):
    with pytest.raises(error):
        parse_value(bad)


def test_strip_quotes_loop_of_a_subclass_stays_interruptible():
    # With `str` as the removal step no Python frame runs in the loop, so only an explicit
    # signal check lets the handler stop it.
    import signal

    class NeverShorter(StringFunctions):
        _remove_quotes = staticmethod(str)

    class Stop(Exception):
        pass

    def handler(signum, frame):
        raise Stop

    previous = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(Stop):
            NeverShorter._strip_quotes('"a"')
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


@pytest.mark.parametrize("answer, error", [(KeyboardInterrupt, KeyboardInterrupt), ("x", TypeError)])
def test_parse_value_errors_of_an_int_subclass_conversion_propagate(answer, error):
    class Odd(int):
        def __int__(self):
            if isinstance(answer, type):
                raise answer
            return answer

    with pytest.raises(error):
        parse_value(Odd(3))
