"""Single calls keep what they read of a record between calls, but never keep the record alive: once
the caller drops a bucketing, registry or watch, it and the bins only that reading still held are
freed at once, and a record born later at the same address finds nothing of the old one."""

import gc
import math
import weakref

import pytest

from quorvex_analytics_utils.predictive_models.feature_preparation.feature_bucketing import (
    AttributeBinCategorical,
    AttributeBinNumerical,
    FeatureBucketing,
)
from quorvex_analytics_utils.predictive_models.feature_preparation.feature_preparation import (
    FeaturePreparation,
)
from quorvex_analytics_utils.predictive_models.scorer_watch.scorer_watch import PredictiveScorerWatch


def numeric(attribute="X", shift=0.0):
    edges = [-math.inf, 0.0, 10.0, math.inf]
    bins = [AttributeBinNumerical(name="1_null", id=0, value=-1.0)]
    bins += [AttributeBinNumerical(id=i + 1, lower_bound=lo, upper_bound=hi, value=float(i + 1) + shift)
             for i, (lo, hi) in enumerate(zip(edges, edges[1:]))]
    return FeatureBucketing(attribute=attribute, attribute_data_type="NUMERICAL", feature_bucketing=bins)


def categoric(attribute="C", shift=0.0):
    bins = [AttributeBinCategorical(name="1_null", id=0, value=-1.0)]
    bins += [AttributeBinCategorical(id=i + 1, categories=cats, value=float(i + 1) + shift)
             for i, cats in enumerate([["a", "b"], ["c"]])]
    return FeatureBucketing(attribute=attribute, attribute_data_type="CATEGORICAL", feature_bucketing=bins)


def use_bucketing(record):
    record.bin_numeric_attribute(5.0)
    record.bin_numeric_attribute(None)
    PredictiveScorerWatch._get_numerical_bin(record, 5.0)


def use_categoric(record):
    record.bin_categoric_attribute("c")
    PredictiveScorerWatch._get_categorical_bin(record, "a")


def use_registry(registry):
    registry.apply_feature_bucketing("X", 5.0)
    registry.apply_feature_bucketing("C", "a")


def use_watch(watch):
    watch.get_feature_bucketing("X", "NUMERICAL", 5.0)
    watch.get_feature_bucketing("C", "CATEGORICAL", "c")


OWNERS = {
    "numerical bucketing": (numeric, use_bucketing),
    "categorical bucketing": (categoric, use_categoric),
    "registry": (lambda: FeaturePreparation(binning=[numeric(), categoric()]), use_registry),
    "watch": (lambda: PredictiveScorerWatch(binning=[numeric(), categoric()]), use_watch),
}


def refs_to(owner):
    """Weak references to the owner, its bucketings and their bins."""
    bucketings = owner.binning if hasattr(owner, "binning") else [owner]
    objects = [owner, *bucketings, *(b for r in bucketings for b in r.feature_bucketing)]
    return [weakref.ref(o) for o in objects]


@pytest.mark.parametrize("collect", [False, True], ids=["refcount", "gc"])
@pytest.mark.parametrize("kind", sorted(OWNERS))
def test_dropped_owner_is_freed(kind, collect):
    make, use = OWNERS[kind]
    owner = make()
    for _ in range(3):
        use(owner)
    refs = refs_to(owner)
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        del owner
        if collect:
            gc.collect()
        assert [r() for r in refs] == [None] * len(refs)
    finally:
        if was_enabled:
            gc.enable()


@pytest.mark.parametrize("kind", sorted(OWNERS))
def test_owner_in_a_cycle_is_collected(kind):
    make, use = OWNERS[kind]
    owner = make()
    use(owner)
    owner.__dict__["me"] = owner  # a cycle through the owner's own dict
    use(owner)
    refs = refs_to(owner)
    del owner
    gc.collect()
    assert [r() for r in refs] == [None] * len(refs)


def test_records_born_in_place_of_dropped_ones_get_their_own_answers():
    """Records of one class are often born at the address of one just freed: each must be read
    afresh (and the watch's and registry's indexes too)."""
    for k in range(40):
        shift = 100.0 * k
        record = numeric(shift=shift)
        assert record.bin_numeric_attribute(5.0) == 2.0 + shift
        assert PredictiveScorerWatch._get_numerical_bin(record, 20.0) is record.feature_bucketing[3]
        registry = FeaturePreparation(binning=[numeric(shift=shift), categoric(shift=shift)])
        assert registry.apply_feature_bucketing("X", 5.0) == 2.0 + shift
        assert registry.apply_feature_bucketing("C", "c") == 2.0 + shift
        watch = PredictiveScorerWatch(binning=registry.binning[::-1])
        assert watch.get_feature_bucketing("C", "CATEGORICAL", "a") is registry.binning[1].feature_bucketing[1]
        del record, registry, watch


class Reentrant:
    """A bin value whose end makes single calls on other records: it runs while a dropped record's
    reading is released, and must find every kept reading in order."""

    def __init__(self, others, seen):
        self.others, self.seen = others, seen

    def __del__(self):
        for i, other in enumerate(self.others):
            self.seen.append(other.bin_numeric_attribute(5.0) == 2.0 + i)
            numeric().bin_numeric_attribute(5.0)  # a reading kept and dropped meanwhile


def test_release_may_run_code_that_uses_kept_readings():
    others = [numeric(shift=float(i)) for i in range(3)]
    for other in others:
        other.bin_numeric_attribute(5.0)
    seen = []
    record = numeric()
    object.__setattr__(record.feature_bucketing[0], "value", Reentrant(others[:], seen))
    record.bin_numeric_attribute(5.0)
    ref = weakref.ref(record)
    del record
    assert ref() is None
    assert seen == [True] * 3
    assert [o.bin_numeric_attribute(5.0) for o in others] == [2.0, 3.0, 4.0]


def test_many_records_alive_keep_their_answers():
    records = [numeric(shift=float(i)) for i in range(600)]
    for _ in range(2):
        assert [r.bin_numeric_attribute(-5.0) for r in records] == [1.0 + i for i in range(600)]
    refs = [weakref.ref(r) for r in records]
    del records
    assert all(r() is None for r in refs)
