"""The bin snapshot behind the list batch and the column calls: its look-ups (interval search or linear
scan) must pick the bins the rules pick, and leave fallbacks to the single call; the own-method check must
see overrides and patches."""

import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quorvex_analytics_utils._testing import bucketing_probe as probe
from quorvex_analytics_utils.predictive_models.feature_preparation.feature_bucketing import (
    AttributeBinCategorical,
    AttributeBinNumerical,
    FeatureBucketing,
)
from quorvex_analytics_utils.predictive_models.feature_preparation.feature_preparation import (
    FeaturePreparation,
)

RESERVED = ["0_default", "0_system_default", "0_defined_default", "1_null"]
bounds = st.one_of(st.integers(-5, 5).map(float), st.sampled_from([-math.inf, math.inf, math.nan]))


def reference(bins, value, categorical=False):
    """The bin rules stated plainly: (the chosen bin's value, whether it was a fallback bin)."""
    if value is None or (value == "nan" if categorical else math.isnan(value)):
        found = next((b for b in bins if b.name == "1_null"), None)
    elif categorical:
        found = next((b for b in bins if isinstance(b, AttributeBinCategorical) and b.name not in RESERVED
                      and value in b.categories), None)
    else:
        found = next((b for b in bins if isinstance(b, AttributeBinNumerical) and b.name not in RESERVED
                      and b.lower_bound < value <= b.upper_bound), None)
    if found is not None:
        return found.value, False
    found = next((b for b in bins if b.name in RESERVED[:3]), None)
    return (None if found is None else found.value), True


def check_lookup(r, vals, categorical=False, binary_search=True):
    """Where the snapshot answers, it gives the value of the regular or null bin the rules pick. It
    answers every plain value (exact float, exact str, None) the rules send to such a bin when no bin
    needs Python code (categories that are no list); fallbacks and other values go to the single call."""
    got = probe.lookup(r, vals, categorical, binary_search)
    bins = r.feature_bucketing
    plain = str if categorical else float
    quiet = not categorical or all(type(b.categories) is list for b in bins
                                   if isinstance(b, AttributeBinCategorical) and b.name not in RESERVED)
    for value, answer in zip(vals, got, strict=True):
        if value is not None and type(value) is not plain:
            assert answer is Ellipsis
            continue
        try:
            expected, fallback = reference(bins, value, categorical)
        except TypeError:  # `in None`: the single call raises it
            assert answer is Ellipsis
            continue
        if answer is not Ellipsis:
            assert not fallback and repr(answer) == repr(expected)
        else:
            assert fallback or not quiet
    return got


@st.composite
def sorted_bins(draw):
    edges = sorted(set(draw(st.lists(st.integers(-20, 20), min_size=2, max_size=12, unique=True))))
    bins = [AttributeBinNumerical(id=i, lower_bound=float(lo), upper_bound=float(hi), value=float(i))
            for i, (lo, hi) in enumerate(zip(edges, edges[1:]))]
    if draw(st.booleans()):
        bins[0].lower_bound = -math.inf
        bins[-1].upper_bound = math.inf
    extras = draw(st.lists(st.sampled_from(["null", "default", "defined", "categorical", "empty"]), max_size=4))
    for kind in extras:
        at = draw(st.integers(0, len(bins)))
        if kind == "null":
            b = AttributeBinNumerical(id=90, name="1_null", value=90.0)
        elif kind == "default":
            b = AttributeBinNumerical(id=91, name="0_default", lower_bound=-100, upper_bound=100, value=91.0)
        elif kind == "defined":
            b = AttributeBinNumerical(id=92, name="0_defined_default", value=92.0)
        elif kind == "categorical":
            b = AttributeBinCategorical(id=93, categories=["1"], value=93.0)
        else:
            b = AttributeBinNumerical(id=94, lower_bound=3.0, upper_bound=3.0, value=94.0)
        bins.insert(at, b)
    return bins


@st.composite
def any_bins(draw):
    bins = []
    for i in range(draw(st.integers(0, 8))):
        name = draw(st.sampled_from(RESERVED + [None] * 4))
        if draw(st.booleans()):
            lo, hi = draw(bounds), draw(bounds)
            fields = dict(id=i, lower_bound=lo, upper_bound=hi, value=float(i))
            if name or draw(st.integers(0, 5)) == 0:
                fields["name"] = name or "open"
            bins.append(AttributeBinNumerical(**fields))
        else:
            cats = draw(st.none() | st.lists(st.sampled_from(["a", "b", "c", "nan", ""]), max_size=3))
            bins.append(AttributeBinCategorical(id=i, name=name, categories=cats, value=float(i)))
    return bins


values = st.lists(st.one_of(st.floats(-25, 25), st.integers(-25, 25), st.sampled_from(
    [None, math.nan, math.inf, -math.inf, "7", 3.0, 0.0, -0.0])), max_size=12)


def record(bins, attribute="X"):
    return FeatureBucketing(attribute=attribute, attribute_data_type="NUMERICAL", feature_bucketing=bins)


@settings(max_examples=200, deadline=None)
@given(sorted_bins(), values)
def test_binary_search_equals_linear_scan(bins, vals):
    r = record(bins)
    assert probe.uses_binary_search(r)
    assert check_lookup(r, vals) == check_lookup(r, vals, binary_search=False)


@settings(max_examples=200, deadline=None)
@given(any_bins(), values)
def test_numeric_snapshot_follows_the_rules(bins, vals):
    check_lookup(record(bins), vals)


@settings(max_examples=200, deadline=None)
@given(any_bins(), st.lists(st.sampled_from([None, "a", "b", "c", "nan", "", "z", 1]), max_size=8))
def test_categoric_snapshot_follows_the_rules(bins, vals):
    check_lookup(record(bins), vals, categorical=True)


@pytest.mark.parametrize(
    "bins",
    [
        [AttributeBinNumerical(id=1, lower_bound=0, upper_bound=10), AttributeBinNumerical(id=2, lower_bound=5, upper_bound=15)],
        [AttributeBinNumerical(id=2, lower_bound=10, upper_bound=20), AttributeBinNumerical(id=1, lower_bound=0, upper_bound=10)],
        [AttributeBinNumerical(id=1, name="open", lower_bound=None, upper_bound=10)],
    ],
)
def test_unsorted_or_open_bins_are_scanned_linearly(bins):
    assert not probe.uses_binary_search(record(bins))


def test_list_batch_refuses_a_number_as_the_single_call():
    prep = FeaturePreparation(binning=[FeatureBucketing(attribute="c", attribute_data_type="CATEGORICAL",
                                                        feature_bucketing=[AttributeBinCategorical(id=1, categories=["a"],
                                                                                                   value=1.0)])])
    with pytest.raises(TypeError, match=r"^Binning attribute c: Argument 'value' has incorrect type \(expected str, got int\)$"):
        prep.apply_feature_bucketing_batch("c", ["a", 1])


def test_own_method_check(monkeypatch):
    r = record([])
    assert probe.is_own_method(r, "numeric") and probe.is_own_method(r, "categoric")

    class Plain(FeatureBucketing):
        pass

    class Override(FeatureBucketing):
        def bin_numeric_attribute(self, value):
            return 1.0

    assert probe.is_own_method(Plain(attribute="a", attribute_data_type="NUMERICAL"), "numeric")
    o = Override(attribute="a", attribute_data_type="NUMERICAL")
    assert not probe.is_own_method(o, "numeric") and probe.is_own_method(o, "categoric")
    monkeypatch.setattr(FeatureBucketing, "bin_categoric_attribute", FeatureBucketing.bin_numeric_attribute)
    assert not probe.is_own_method(r, "categoric")
    assert not probe.is_own_method(object(), "numeric")


class CollidingKey:
    """An instance-dict key hashed like a method name, whose comparison fails once armed."""
    armed = False

    def __init__(self, text):
        self.hash = hash(text)

    def __hash__(self):
        return self.hash

    def __eq__(self, other):
        if CollidingKey.armed:
            raise KeyboardInterrupt("compared")
        return self is other


def test_own_method_check_propagates_errors_of_the_shadow_lookup(monkeypatch):
    r = record([])
    r.__dict__[CollidingKey("bin_numeric_attribute")] = None
    monkeypatch.setattr(CollidingKey, "armed", True)
    with pytest.raises(KeyboardInterrupt, match="compared"):  # was swallowed, and the answer yes
        probe.is_own_method(r, "numeric")
