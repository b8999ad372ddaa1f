"""A record's dict may hold a key that is no str and collides with a field's name: finding the field
then compares that key, which runs its code. The readings kept between calls must then see every
change that code makes to what they were read from, as attribute access does."""

import math

import pytest

from quorvex_analytics_utils.predictive_models.feature_preparation.feature_bucketing import (
    AttributeBinNumerical,
    FeatureBucketing,
)
from quorvex_analytics_utils.predictive_models.feature_preparation.feature_preparation import (
    FeaturePreparation,
)
from quorvex_analytics_utils.predictive_models.scorer_watch.scorer_watch import PredictiveScorerWatch


class Collider:
    """A key with the hash of `text` whose first comparison runs `action` (and never matches)."""

    def __init__(self, text, action):
        self.text, self.action = text, action

    def __hash__(self):
        return hash(self.text)

    def __eq__(self, other):
        action, self.action = self.action, None
        if action is not None:
            action()
        return False


def put_first(record, text, action):
    """Puts a `Collider` ahead of the record's fields (no field stays where records of its class
    keep it), armed once in place."""
    key = Collider(text, None)
    object.__setattr__(record, "__dict__", {key: None, **record.__dict__})
    key.action = action


def numeric(attribute="X"):
    edges = [-math.inf, 0.0, 10.0, math.inf]
    bins = [AttributeBinNumerical(name="1_null", id=0, value=-1.0)]
    bins += [AttributeBinNumerical(id=i + 1, lower_bound=lo, upper_bound=hi, value=float(i + 1))
             for i, (lo, hi) in enumerate(zip(edges, edges[1:]))]
    return FeatureBucketing(attribute=attribute, attribute_data_type="NUMERICAL", feature_bucketing=bins)


@pytest.mark.parametrize("field", ["name", "value", "lower_bound", "upper_bound"])
@pytest.mark.parametrize("call", ["direct", "watch", "registry batch"])
def test_a_comparison_while_bins_are_read_changes_a_bin_read_before(call, field):
    record = numeric()
    bins = record.feature_bucketing
    # The last bin's colliding key widens bin 1, (-inf, 0], read before it, over 5.0.
    put_first(bins[3], field, lambda: bins[1].__dict__.update(upper_bound=7.0, value=99.0))
    registry = FeaturePreparation(binning=[record])
    ask = {
        "direct": lambda: record.bin_numeric_attribute(5.0),
        "watch": lambda: PredictiveScorerWatch._get_numerical_bin(record, 5.0).value,
        "registry batch": lambda: registry.apply_feature_bucketing_batch("X", [5.0])[0],
    }[call]
    for _ in range(3):
        got = ask()  # the key's code runs at most once, whenever a look-up compares it
        assert got == (99.0 if bins[1].__dict__["upper_bound"] == 7.0 else 2.0)


@pytest.mark.parametrize("owner", ["registry", "watch"])
def test_a_comparison_while_entries_are_indexed_renames_an_entry_read_before(owner):
    first, second = numeric("X"), numeric("Y")
    put_first(second, "attribute", lambda: first.__dict__.__setitem__("attribute", "Z"))
    if owner == "registry":
        holder = FeaturePreparation(binning=[first, second])
        ask = holder.get_feature_bucketing
    else:
        holder = PredictiveScorerWatch(binning=[first, second])
        ask = lambda attribute: holder.get_feature_bucketing(attribute, "NUMERICAL", 5.0)  # noqa: E731
    found = first if owner == "registry" else first.feature_bucketing[2]
    ask("Y")  # reads both entries, whichever way: the key's code has run
    assert first.__dict__["attribute"] == "Z"
    assert [(ask("X"), ask("Z")) for _ in range(3)] == [(None, found)] * 3
