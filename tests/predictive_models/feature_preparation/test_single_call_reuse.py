"""Single calls answer from the bins read by an earlier call while those provably still hold: random
sequences of changes (by every route a caller has) interleaved with single calls must give exactly
the results and log events of the rules stated plainly."""

import math

import structlog
import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from quorvex_analytics_utils.predictive_models.feature_preparation.feature_bucketing import (
    AttributeBinCategorical,
    AttributeBinNumerical,
    FeatureBucketing,
)
from quorvex_analytics_utils.predictive_models.feature_preparation.feature_preparation import (
    FeaturePreparation,
)
from predictive_models.scorer_watch.test_scorer_watch import reference_categorical as watch_categorical
from predictive_models.scorer_watch.test_scorer_watch import reference_numerical as watch_numerical
from quorvex_analytics_utils.predictive_models.scorer_watch.scorer_watch import PredictiveScorerWatch
from test_feature_bucketing import RESERVED_NAMES, Text, message, reference_categoric

OWN_NUMERIC = FeatureBucketing.bin_numeric_attribute
OWN_CATEGORIC = FeatureBucketing.bin_categoric_attribute


def reference_numeric(record, value):
    """The numerical rules stated plainly: the result, or the error raised, and the log events."""
    with structlog.testing.capture_logs() as logs:
        try:
            v = math.nan if value is None else float(value)
            bins = record.feature_bucketing
            if math.isnan(v):
                found = next((b for b in bins if b.name == "1_null"), None)
            else:
                found = next((b for b in bins if isinstance(b, AttributeBinNumerical)
                              and b.name not in RESERVED_NAMES and b.lower_bound < v
                              and v <= b.upper_bound), None)
            if found is None:
                found = next((b for b in bins if b.name in RESERVED_NAMES[1:]), None)
                if found is not None:
                    level = "debug" if found.name == "0_defined_default" else "warning"
                    getattr(structlog.get_logger(), level)(message(record.attribute, v))
            outcome = None if found is None else (None if found.value is None else float(found.value))
        except Exception as e:
            outcome = (type(e), str(e))
    return outcome, [(e["event"], e["log_level"]) for e in logs]


def native(call, value):
    with structlog.testing.capture_logs() as logs:
        try:
            outcome = call(value)
        except Exception as e:
            outcome = (type(e), str(e))
    return outcome, [(e["event"], e["log_level"]) for e in logs]


def outcome(call, *args):
    try:
        return call(*args)
    except Exception as e:
        return (type(e), str(e))


def watch_lookup(record, value, numerical):
    """The watch's look-up and its plain statement give the very same bin record (or error)."""
    lookup = PredictiveScorerWatch._get_numerical_bin if numerical else PredictiveScorerWatch._get_categorical_bin
    expected = outcome(watch_numerical if numerical else watch_categorical, record.feature_bucketing, value)
    got = outcome(lookup, record, value)
    assert got is expected or (isinstance(got, tuple) and got == expected), (value, got, expected)


def own_method(record, name):
    own = OWN_NUMERIC if name == "bin_numeric_attribute" else OWN_CATEGORIC
    return getattr(type(record), name) is own and name not in record.__dict__


def reference_call(record, name, value):
    """What `record.<name>(value)` does: the rules while the method is the package's own, else the
    method found (a class patch or an instance attribute)."""
    if own_method(record, name):
        rules = reference_numeric if name == "bin_numeric_attribute" else reference_categoric
        return rules(record, value)
    return native(getattr(record, name), value)


class Sneaky:
    """A number whose conversion changes the first bin's value (the same change every time)."""

    def __init__(self, record, number):
        self.record, self.number = record, number

    def __float__(self):
        object.__setattr__(self.record.feature_bucketing[0], "value", 123.0)
        return self.number


class Meddling(str):
    """A category that changes the last bin's value whenever it is compared."""

    record = None

    def __eq__(self, other):
        if Meddling.record is not None and Meddling.record.feature_bucketing:
            object.__setattr__(Meddling.record.feature_bucketing[-1], "value", 321.0)
        return str.__eq__(self, other)

    __hash__ = str.__hash__


def numeric_record():
    edges = [-math.inf, 0.0, 10.0, 20.0, math.inf]
    bins = [AttributeBinNumerical(name="1_null", id=0, value=-1.0)]
    bins += [AttributeBinNumerical(id=i + 1, lower_bound=lo, upper_bound=hi, value=float(i + 1))
             for i, (lo, hi) in enumerate(zip(edges, edges[1:]))]
    bins.append(AttributeBinNumerical(name="0_default", id=9, value=9.0))
    return FeatureBucketing(attribute="X", attribute_data_type="NUMERICAL", feature_bucketing=bins)


def categoric_record():
    bins = [AttributeBinCategorical(name="1_null", id=0, value=-1.0)]
    bins += [AttributeBinCategorical(id=i + 1, categories=cats, value=float(i + 1))
             for i, cats in enumerate([["a", "b"], ["c"], ["d", "a"]])]
    bins.append(AttributeBinCategorical(name="0_defined_default", id=9, value=9.0))
    return FeatureBucketing(attribute="C", attribute_data_type="CATEGORICAL", feature_bucketing=bins)


def some_bin(record, k):
    bins = record.feature_bucketing
    return bins[k % len(bins)] if bins else None


def on_bin(change):
    def apply(record, k):
        b = some_bin(record, k)
        if b is not None:
            change(record, b, k)
    return apply


def patch_class(name, result):
    def patched(self, value):
        return result
    setattr(FeatureBucketing, name, patched)


MUTATIONS = {
    "value": on_bin(lambda r, b, k: setattr(b, "value", 100.0 + k)),
    "value int": on_bin(lambda r, b, k: object.__setattr__(b, "value", 200 + k)),
    "value none": on_bin(lambda r, b, k: setattr(b, "value", None)),
    "lower bound": on_bin(lambda r, b, k: object.__setattr__(b, "lower_bound", float(k * 3 - 5))),
    "upper bound": on_bin(lambda r, b, k: object.__setattr__(b, "upper_bound", float(k * 4))),
    "int bound": on_bin(lambda r, b, k: object.__setattr__(b, "upper_bound", k * 4)),
    "name reserved": on_bin(lambda r, b, k: object.__setattr__(b, "name", RESERVED_NAMES[k % 4])),
    "name regular": on_bin(lambda r, b, k: object.__setattr__(b, "name", f"bin{k}")),
    "name text subclass": on_bin(lambda r, b, k: object.__setattr__(b, "name", Text(b.name))),
    "dict replaced": on_bin(lambda r, b, k: object.__setattr__(b, "__dict__", dict(b.__dict__, value=50.0 + k))),
    "dict edited": on_bin(lambda r, b, k: b.__dict__.__setitem__("value", 60.0 + k)),
    "class swapped": on_bin(lambda r, b, k: object.__setattr__(
        b, "__class__", AttributeBinCategorical if isinstance(b, AttributeBinNumerical) else AttributeBinNumerical)),
    "categories appended": on_bin(lambda r, b, k: b.__dict__.get("categories") is not None
                                  and b.__dict__["categories"].append("xyz"[k % 3])),
    "categories item": on_bin(lambda r, b, k: b.__dict__.get("categories")
                              and b.__dict__["categories"].__setitem__(0, "abcz"[k % 4])),
    "categories replaced": on_bin(lambda r, b, k: object.__setattr__(b, "categories", ["abcz"[k % 4]])),
    "categories meddling": on_bin(lambda r, b, k: object.__setattr__(b, "categories", [Meddling("q"), "abcz"[k % 4]])),
    "list item": lambda r, k: r.feature_bucketing and r.feature_bucketing.__setitem__(
        k % len(r.feature_bucketing), AttributeBinNumerical(id=70, lower_bound=-5.0, upper_bound=15.0, value=70.0)
        if k % 2 else AttributeBinCategorical(id=71, categories=["a", "z"], value=71.0)),
    "list insert": lambda r, k: r.feature_bucketing.insert(
        k % 3, AttributeBinNumerical(id=80, lower_bound=-100.0, upper_bound=5.0, value=80.0)),
    "list pop": lambda r, k: r.feature_bucketing and r.feature_bucketing.pop(k % len(r.feature_bucketing)),
    "list reversed": lambda r, k: r.feature_bucketing.reverse(),
    "list replaced": lambda r, k: setattr(r, "feature_bucketing", list(reversed(r.feature_bucketing))),
    "list cleared": lambda r, k: r.feature_bucketing.clear(),
    "record dict replaced": lambda r, k: object.__setattr__(r, "__dict__", dict(r.__dict__)),
    "instance method": lambda r, k: r.__dict__.__setitem__(
        "bin_numeric_attribute" if k % 2 else "bin_categoric_attribute", lambda value: ("shadow", value)),
    "instance method removed": lambda r, k: [r.__dict__.pop(n, None)
                                             for n in ("bin_numeric_attribute", "bin_categoric_attribute")],
    "class patched": lambda r, k: patch_class("bin_numeric_attribute" if k % 2 else "bin_categoric_attribute",
                                              ("patched", k)),
    "class restored": lambda r, k: (setattr(FeatureBucketing, "bin_numeric_attribute", OWN_NUMERIC),
                                    setattr(FeatureBucketing, "bin_categoric_attribute", OWN_CATEGORIC)),
    # the registry's (and the watch's) list of bucketings
    "entry renamed": lambda r, k: object.__setattr__(r, "attribute", "other" if k % 2 else r.attribute.upper()),
    "entry name back": lambda r, k: object.__setattr__(r, "attribute", "X" if r.attribute_data_type == "NUMERICAL" else "C"),
    "entry added": lambda r, k: REGISTRY[0].binning.insert(k % 2 * len(REGISTRY[0].binning), FeatureBucketing(
        attribute=r.attribute, attribute_data_type=r.attribute_data_type,
        feature_bucketing=[AttributeBinNumerical(id=1, lower_bound=-1e9, upper_bound=1e9, value=55.0),
                           AttributeBinCategorical(id=2, categories=["a", "q"], value=56.0)])),
    "entry removed": lambda r, k: REGISTRY[0].binning and REGISTRY[0].binning.pop(k % len(REGISTRY[0].binning)),
    "entries replaced": lambda r, k: object.__setattr__(REGISTRY[0], "binning", list(REGISTRY[0].binning) + [r]),
}
REGISTRY = [None]  # the registry of the running example

NUMBERS = [None, math.nan, -20.0, -1.0, 0.0, 0.5, 5.0, 10.0, 12.0, 20.0, 25.0, 7, True, "3", math.inf]
TEXTS = [None, "nan", "a", "b", "c", "d", "q", "x", "z", ""]

step = st.one_of(
    st.tuples(st.just("change"), st.sampled_from(sorted(MUTATIONS)), st.integers(0, 11)),
    st.tuples(st.just("call"), st.sampled_from(["direct", "registry", "sneaky", "watch", "watch entry"]),
              st.integers(0, 20)),
)


@settings(max_examples=60, deadline=None)
@given(st.booleans(), st.lists(step, min_size=1, max_size=30))
# Changes that touch no watched dict, between two calls whose answer they change: a categories
# list (of the bin answered, or of one before it), the bin list, a bin's class.
@example(False, [("call", "direct", 2), ("change", "categories item", 1), ("call", "direct", 2)])
@example(False, [("call", "watch", 7), ("change", "categories appended", 6), ("call", "watch", 7)])
@example(False, [("call", "registry", 3), ("change", "categories item", 11), ("call", "registry", 2)])
@example(True, [("call", "direct", 8), ("change", "list item", 3), ("call", "direct", 8)])
@example(True, [("call", "watch", 6), ("change", "class swapped", 2), ("call", "watch", 6)])
def test_single_calls_follow_every_change(numerical, steps):
    record = numeric_record() if numerical else categoric_record()
    prep = FeaturePreparation(binning=[record])
    REGISTRY[0] = prep
    watch = PredictiveScorerWatch()
    attribute, dtype = record.attribute, record.attribute_data_type
    name = "bin_numeric_attribute" if numerical else "bin_categoric_attribute"
    Meddling.record = record
    try:
        for kind, what, k in steps:
            if kind == "change":
                MUTATIONS[what](record, k)
                continue
            value = (NUMBERS if numerical else TEXTS)[k % len(NUMBERS if numerical else TEXTS)]
            if what == "sneaky" and numerical and value is not None:
                value = Sneaky(record, float(value))
            if what == "watch entry":  # the watch looks up the last entry of the registry's list
                object.__setattr__(watch, "binning", prep.binning)
                entry = next((e for e in reversed(prep.binning) if e.attribute == attribute), None)
                if entry is not None and (not isinstance(value, str) or not numerical):
                    lookup = watch_numerical if numerical else watch_categorical
                    got = outcome(watch.get_feature_bucketing, attribute, dtype, value)
                    expected = outcome(lookup, entry.feature_bucketing, value)
                    assert got is expected or (isinstance(got, tuple) and got == expected), value
                elif entry is None:
                    assert watch.get_feature_bucketing(attribute, dtype, value) is None
                continue
            if what == "watch":
                if not isinstance(value, str) or not numerical:  # the watch takes no text for numbers
                    watch_lookup(record, value, numerical)
                continue
            entry = record
            if what == "registry":  # the registry answers from the first entry of the attribute
                entry = next((e for e in prep.binning if e.attribute == attribute), None)
                if entry is None:
                    assert prep.apply_feature_bucketing(attribute, value) is None
                    continue
            expected = reference_call(entry, name, value)
            if what == "registry" and not own_method(entry, name):
                continue  # the registry converts what another method returns: not the rules
            if what == "registry":
                got = native(lambda v: prep.apply_feature_bucketing(attribute, v), value)
                if isinstance(expected[0], tuple) and isinstance(expected[0][0], type):
                    # The registry names the attribute in the message of an error it passes on.
                    got = ((got[0][0], got[0][1].split(": ", 1)[-1]), got[1]) if isinstance(got[0], tuple) else got
                elif isinstance(expected[0], (int, bool)) and not isinstance(expected[0], float):
                    expected = (float(expected[0]), expected[1])
            else:
                got = native(getattr(entry, name), value)
            assert got == expected, (what, value)
    finally:
        Meddling.record = REGISTRY[0] = None
        FeatureBucketing.bin_numeric_attribute = OWN_NUMERIC
        FeatureBucketing.bin_categoric_attribute = OWN_CATEGORIC


CATEGORY_CHANGES = {  # on categoric_record(): [null, [a, b], [c], [d, a], defined default]
    "answered bin loses the value": (1, lambda cats: cats.__setitem__(0, "z")),
    "earlier bin gains the value": (1, lambda cats: cats.append("c")),
    "later bin gains the value": (2, lambda cats: cats.append("a")),
    "later bin loses its value": (3, lambda cats: cats.__setitem__(0, "c")),
    "bin emptied": (2, lambda cats: cats.clear()),
    "new value": (3, lambda cats: cats.append("q")),
    "replaced in place": (1, lambda cats: cats.__setitem__(slice(None), ["c", "q"])),
}


@pytest.mark.parametrize("change", sorted(CATEGORY_CHANGES))
def test_category_answers_follow_each_list(change):
    """A categories list changed in place (no dict sees it) between calls: every route answers
    from the list as it is now."""
    record = categoric_record()
    prep = FeaturePreparation(binning=[record])
    watch = PredictiveScorerWatch(binning=[record])

    def answers():
        return [(reference_categoric(record, v), native(record.bin_categoric_attribute, v),
                 prep.apply_feature_bucketing("C", v), prep.apply_feature_bucketing_batch("C", [v])[0],
                 watch_categorical(record.feature_bucketing, v),
                 PredictiveScorerWatch._get_categorical_bin(record, v),
                 watch.get_feature_bucketing("C", "CATEGORICAL", v)) for v in TEXTS]

    answers()  # kept from here on
    index, edit = CATEGORY_CHANGES[change]
    edit(record.feature_bucketing[index].categories)
    for expected, got, single, batch, watch_expected, lookup, watched in answers():
        assert got == expected
        assert single == batch == expected[0]
        assert lookup is watch_expected and watched is watch_expected
