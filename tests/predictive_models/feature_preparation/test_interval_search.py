"""The interval search kernel against a plain statement of the rule: the first interval (low, high]
holding the value, in list order."""

import math

from hypothesis import given, settings
from hypothesis import strategies as st

from quorvex_analytics_utils._testing import interval_probe as probe

bound = st.one_of(st.integers(-40, 40).map(float), st.sampled_from([-math.inf, math.inf, math.nan]))
value = st.one_of(bound, st.floats(-50, 50))


def first_holding(intervals, v):
    return next((k for k, (lo, hi) in enumerate(intervals) if lo < v <= hi), len(intervals))


@settings(max_examples=150, deadline=None)
@given(st.lists(st.tuples(bound, bound), max_size=12), st.lists(value, max_size=20))
def test_any_intervals_first_match_in_list_order(intervals, values):
    _, found = probe.find_all(intervals, values)
    assert [f[-1] for f in found] == [first_holding(intervals, v) for v in values]


@settings(max_examples=150, deadline=None)
@given(st.lists(st.integers(-100, 100), min_size=1, max_size=80, unique=True), st.lists(value, max_size=30))
def test_sorted_intervals_every_search_agrees(edges, values):
    edges = sorted(edges)
    intervals = [(-math.inf, float(edges[0]))] + [(float(a), float(b)) for a, b in zip(edges, edges[1:])]
    ascending, found = probe.find_all(intervals, values + [float(e) for e in edges])
    assert ascending
    for f, v in zip(found, values + [float(e) for e in edges]):
        expected = first_holding(intervals, v)
        assert f == (expected,) * 3, (v, f, expected)
