"""A record's dict may hold a key that is no str and collides with a field's name: finding the field
then compares that key, which runs its code. The readings kept between calls must then see every
change that code makes to what they were read from, as attribute access does, and a pass that reads
borrowed fields must never hand out one that code freed."""

import math
import pathlib
import subprocess
import sys

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


DUMMY_SCRIPT = """
from quorvex_analytics_utils.predictive_models.feature_preparation.feature_preparation import FeaturePreparation
from test_colliding_keys import put_first

size = 24
fresh = lambda text: "".join(list(text))  # a str that nothing else holds
prep = FeaturePreparation(dummy_encoding=[{"attribute": "g", "encoding": [
    {"value": v, "encoded_feature_name": fresh(n.ljust(size, "_")), "use_for_undefined": False}
    for v, n in [("a", "first"), ("b", "second"), ("c", "third")]]}])
items = prep.dummy_encoding[0].encoding
names = {fresh(i.encoded_feature_name) for i in items}  # copies: the items alone hold theirs
filler = []

def drop_first():
    items.pop(0)  # frees the first item, its dict and its name
    filler.extend(fresh("q" * size) for _ in range(200))  # born where they were

put_first(items[1], "value", drop_first)
result = prep.apply_dummy_encoding("g", "c")
assert set(result) <= names, result
print("ok")
"""


def test_a_comparison_while_dummy_items_are_read_drops_an_item_read_before():
    """The quick encoding pass must not hand out a feature name its item no longer holds (run apart:
    reading a freed name may crash)."""
    done = subprocess.run([sys.executable, "-c", DUMMY_SCRIPT], capture_output=True, text=True,
                          cwd=pathlib.Path(__file__).parent, timeout=120)
    assert (done.returncode, done.stdout.splitlines()[-1:]) == (0, ["ok"]), done.stderr[-2000:]
