"""The storage kernel's float text and rounding against Python's own repr and round, bit for bit."""

import math
import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quorvex_analytics_utils.utils._yaml_native import float_repr, round_places


def bits(x):
    return struct.pack("<d", x)


finite = st.floats(allow_nan=False, allow_infinity=False)
# exact binary fractions: their decimal expansions end, many of them exactly half way at some place
dyadic = st.builds(lambda m, k: m * 2.0**-k, st.integers(-(2**53), 2**53), st.integers(0, 70))
# numbers read from short decimal texts, the usual content of a stored model
decimal_texts = st.builds(lambda m, k: float(f"{m}e-{k}"), st.integers(-(10**17), 10**17), st.integers(0, 20))
numbers = finite | dyadic | decimal_texts


@settings(max_examples=400, deadline=None)
@given(numbers)
def test_repr_and_round_are_python_s(x):
    assert float_repr(x) == repr(x)
    assert bits(round_places(x, 12)) == bits(round(x, 12))


@settings(max_examples=100, deadline=None)
@given(numbers, st.integers(0, 17))
def test_round_at_any_place_is_python_s(x, places):
    assert bits(round_places(x, places)) == bits(round(x, places))


@pytest.mark.parametrize("x", [
    2.0**-13,  # 0.0001220703125: a tie at the 13th decimal, kept even
    3 * 2.0**-13, -1e-13, -0.0, 0.0, 5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, 1e16, 1e15 + 0.5,
    9007199254740993.0, 0.1 + 0.2, 1 / 3, 1e-5, 1e-4, 123456.7890123456, 4503.599627370497, 8192.000000000001,
])
def test_known_values(x):
    assert float_repr(x) == repr(x)
    assert bits(round_places(x, 12)) == bits(round(x, 12))


@pytest.mark.parametrize("x", [math.inf, -math.inf, math.nan])
def test_non_finite_round_to_themselves(x):
    assert bits(round_places(x, 12)) == bits(round(x, 12))
