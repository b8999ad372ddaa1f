"""The list batch keeps its reading of the bins between calls: every way of changing a binning must
be seen by the next call; numpy scalars take the fast path with the single call's results."""

import math

import numpy as np
import pytest
import structlog

from quorvex_analytics_utils.predictive_models.feature_preparation.feature_bucketing import (
    AttributeBinCategorical,
    AttributeBinNumerical,
    FeatureBucketing,
)
from quorvex_analytics_utils.predictive_models.feature_preparation.feature_preparation import (
    FeaturePreparation,
)


def registry():
    return FeaturePreparation(binning=FeaturePreparation.add_feature_bucketing({
        "x": {"dtype": "NUMERICAL", "bins": [-math.inf, 0, 10, math.inf], "bin_vals": [1.0, 2.0, 3.0],
              "null_val": -1.0, "default": 9.0},
        "c": {"dtype": "CATEGORICAL", "bins": [["a", "b"], ["c"]], "bin_vals": [1.0, 2.0], "null_val": -1.0},
    }))


def singles(prep, attribute, values):
    return [prep.apply_feature_bucketing(attribute, v) for v in values]


def replace_dict(record):
    object.__setattr__(record, "__dict__", dict(record.__dict__, value=42.0))


CHANGES = {
    "bin value": ("x", lambda b: setattr(b.feature_bucketing[1], "value", 7.0)),
    "bin bound": ("x", lambda b: setattr(b.feature_bucketing[1], "upper_bound", 5.0)),
    "bin name made reserved": ("x", lambda b: setattr(b.feature_bucketing[1], "name", "0_default")),
    "bin dict replaced": ("x", lambda b: replace_dict(b.feature_bucketing[1])),
    "bin class": ("x", lambda b: object.__setattr__(b.feature_bucketing[1], "__class__", AttributeBinCategorical)),
    "list replaced": ("x", lambda b: setattr(b, "feature_bucketing", b.feature_bucketing[:1])),
    "list item": ("x", lambda b: b.feature_bucketing.__setitem__(
        1, AttributeBinNumerical(id=7, lower_bound=0.0, upper_bound=10.0, value=70.0))),
    "list appended": ("x", lambda b: b.feature_bucketing.insert(0, AttributeBinNumerical(
        id=8, lower_bound=-100.0, upper_bound=100.0, value=80.0))),
    "list cleared": ("x", lambda b: b.feature_bucketing.clear()),
    "categories appended": ("c", lambda b: b.feature_bucketing[1].categories.append("z")),
    "categories item": ("c", lambda b: b.feature_bucketing[0].categories.__setitem__(0, "z")),
    "categories replaced": ("c", lambda b: setattr(b.feature_bucketing[0], "categories", ["z"])),
    "bin dict item": ("x", lambda b: b.feature_bucketing[1].__dict__.__setitem__("value", 31.0)),
    "bin dict emptied and refilled": ("x", lambda b: refill(b.feature_bucketing[1].__dict__, value=32.0)),
    "record dict replaced": ("x", lambda b: object.__setattr__(
        b, "__dict__", dict(b.__dict__, feature_bucketing=b.feature_bucketing[:1]))),
    "record dict item": ("c", lambda b: b.__dict__.__setitem__("feature_bucketing", b.feature_bucketing[::-1])),
    "record class": ("x", lambda b: object.__setattr__(b, "__class__", OwnMethods)),
    "method shadowed": ("c", lambda b: object.__setattr__(b, "bin_categoric_attribute", lambda value: 66.0)),
}


def refill(d, **changes):
    saved = dict(d, **changes)
    d.clear()
    d.update(saved)


class OwnMethods(FeatureBucketing):
    def bin_numeric_attribute(self, value):
        return 123.0

    def bin_categoric_attribute(self, value):
        return 321.0


@pytest.mark.parametrize("change", list(CHANGES), ids=list(CHANGES))
def test_a_change_between_calls_is_seen_by_the_next_batch(change):
    attribute, mutate = CHANGES[change]
    prep = registry()
    values = [-5.0, 0.0, 3.0, 5.0, 10.0, 50.0, None, math.nan] if attribute == "x" else ["a", "b", "c", "z", None]
    with structlog.testing.capture_logs():
        assert prep.apply_feature_bucketing_batch(attribute, values) == singles(prep, attribute, values)
        mutate(prep.get_feature_bucketing(attribute))
        got = prep.apply_feature_bucketing_batch(attribute, values)
        expected = singles(prep, attribute, values)
    assert [g if g == g else "nan" for g in got] == [e if e == e else "nan" for e in expected]


@pytest.mark.parametrize("attribute", ["x", "c"])
def test_a_method_patched_between_calls_is_called_by_the_next_batch(attribute, monkeypatch):
    prep = registry()
    values = [3.0, 50.0, None] if attribute == "x" else ["a", "z", None]
    with structlog.testing.capture_logs():
        prep.apply_feature_bucketing_batch(attribute, values)
    monkeypatch.setattr(FeatureBucketing, "bin_numeric_attribute", lambda self, value: 77.0)
    monkeypatch.setattr(FeatureBucketing, "bin_categoric_attribute", lambda self, value: 78.0)
    assert prep.apply_feature_bucketing_batch(attribute, values) == singles(prep, attribute, values)


def test_a_conversion_that_changes_a_bin_is_seen_by_the_rest_of_the_batch():
    prep = registry()
    bins = prep.get_feature_bucketing("x").feature_bucketing

    class Changing:
        def __float__(self):
            bins[1].__dict__["value"] = 99.0
            return 3.0

    assert prep.apply_feature_bucketing_batch("x", [3.0]) == [2.0]  # the reading kept for later
    assert prep.apply_feature_bucketing_batch("x", [3.0, Changing(), 3.0]) == [2.0, 99.0, 99.0]


def test_two_registries_and_records_freed_between_calls():
    for _ in range(10):  # more records than the kept readings: each call reads its own record
        prep = registry()
        assert prep.apply_feature_bucketing_batch("x", [5.0]) == [2.0]
        prep.get_feature_bucketing("x").feature_bucketing[1].value = 4.0
        assert prep.apply_feature_bucketing_batch("x", [5.0]) == [4.0]


@pytest.mark.parametrize("make", [np.float64, np.float32, np.int64, np.int8, np.uint64, np.uint16])
def test_numpy_scalars_give_the_single_call_results(make):
    prep = registry()
    values = [make(v) for v in (0, 1, 10, 11, 100)] + [np.float64(math.nan), np.float64(-math.inf)]
    with structlog.testing.capture_logs() as batch_logs:
        got = prep.apply_feature_bucketing_batch("x", values)
    with structlog.testing.capture_logs() as single_logs:
        expected = [prep.get_feature_bucketing("x").bin_numeric_attribute(v) for v in values]
    assert got == expected and batch_logs == single_logs


def test_a_float_subclass_with_its_own_conversion_is_converted_by_it():
    class Shifted(float):
        def __float__(self):
            return 100.0

    class Plain(float):
        pass

    prep = registry()
    assert prep.apply_feature_bucketing_batch("x", [Shifted(5.0), Plain(5.0)]) == [3.0, 2.0]
