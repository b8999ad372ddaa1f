import decimal
import math

import pytest
from hypothesis import given, settings, strategies as st

from quorvex_analytics_utils.predictive_models.feature_preparation.feature_bucketing import (
    AttributeBinCategorical,
    AttributeBinNumerical,
    AttributeDataType,
    FeatureBucketing,
)
from quorvex_analytics_utils.predictive_models.scorer_watch.scorer_watch import (
    PredictiveScorerWatch,
    PredictiveScorerWatchType,
)
from graphql_support import query


INF = math.inf
NAN = math.nan
NUM, CAT = AttributeDataType.NUMERICAL, AttributeDataType.CATEGORICAL


def num(name, lower=None, upper=None, id=1):
    return AttributeBinNumerical(name=name, id=id, lower_bound=lower, upper_bound=upper)


def cat(name, categories=None, id=1):
    return AttributeBinCategorical(name=name, id=id, categories=categories)


def bucketing(attribute, *bins, dtype=NUM):
    return FeatureBucketing(attribute=attribute, attribute_data_type=dtype, feature_bucketing=list(bins))


def names(bins):
    return None if bins is None else bins.name


# ---- the list of bucketings

def test_remove_drops_every_matching_entry_in_place():
    entries = [bucketing("AGE"), bucketing("AGE", num("x", 0, 1)), bucketing("INCOME")]
    watch = PredictiveScorerWatch(binning=entries)
    held = watch.binning
    assert watch.get_feature_bucketing("AGE", NUM, 0.5).name == "x"  # the second AGE entry
    watch.remove_feature_bucketing("AGE")
    assert [b.attribute for b in watch.binning] == ["INCOME"] and watch.binning is held
    watch.remove_feature_bucketing("AGE")
    assert [b.attribute for b in watch.binning] == ["INCOME"]


@pytest.mark.parametrize("entries, attribute, exists", [
    ([], "AGE", False),
    ([bucketing("AGE")], "AGE", True),
    ([bucketing("INCOME"), bucketing("AGE")], "AGE", True),
    ([bucketing("AGE")], "age", False),
])
def test_exists(entries, attribute, exists):
    assert PredictiveScorerWatch(binning=entries).feature_bucketing_exists(attribute) is exists


class Name(str):
    pass


@pytest.mark.parametrize("operation, extra", [
    ("remove_feature_bucketing", ()),
    ("feature_bucketing_exists", ()),
    ("get_feature_bucketing", (NUM, 1.0)),
])
@pytest.mark.parametrize("attribute, got", [(1, "int"), (None, "NoneType"), (Name("AGE"), "Name")])
def test_attribute_must_be_exactly_text(operation, extra, attribute, got):
    watch = PredictiveScorerWatch(binning=[bucketing("AGE", num("a", -INF, INF))])
    with pytest.raises(TypeError, match=rf"'attribute' has incorrect type \(expected str, got {got}\)"):
        getattr(watch, operation)(attribute, *extra)
    assert [b.attribute for b in watch.binning] == ["AGE"]


def test_binning_none_means_no_bucketings():
    watch = PredictiveScorerWatch()
    watch.binning = None
    assert watch.get_feature_bucketing("AGE", NUM, 1.0) is None
    assert watch.feature_bucketing_exists("AGE") is False
    watch.remove_feature_bucketing("AGE")
    assert watch.binning is None


# ---- numerical lookup

NUMERIC = [num("low", -INF, 10, 1), num("high", 10, INF, 2), cat("0_default", id=3)]


@pytest.mark.parametrize("bins, value, expected", [
    (NUMERIC, 10, "low"),
    (NUMERIC, 10.0, "low"),
    (NUMERIC, 10.5, "high"),
    (NUMERIC, True, "low"),
    (NUMERIC, decimal.Decimal("12"), "high"),
    (NUMERIC, INF, "high"),
    (NUMERIC, -INF, "0_default"),
    (NUMERIC, None, "0_default"),
    (NUMERIC, NAN, "0_default"),
    ([cat("1_null", id=0)] + NUMERIC, None, "1_null"),
    ([cat("1_null", id=0)] + NUMERIC, NAN, "1_null"),
    # a bin with one bound is skipped, later bins are still tested
    ([num("open", 0, None), num("closed", None, 5), num("real", 0, 5)], 3, "real"),
    # reserved names are matched by their interval like any other bin
    ([num("0_default", 0, 5), num("real", 0, 5)], 3, "0_default"),
    ([num("1_null", 0, 5)], 3, "1_null"),
    # fallback: the first of the three default names in list order
    ([num("0_defined_default"), num("0_default")], 99, "0_defined_default"),
    ([num("0_system_default"), num("0_defined_default")], 99, "0_system_default"),
    ([num("other"), num("1_null")], 99, None),
    ([], 1, None),
    # overlapping bins: the first wins
    ([num("a", 0, 10), num("b", 5, 15)], 7, "a"),
])
def test_numerical_lookup(bins, value, expected):
    found = PredictiveScorerWatch._get_numerical_bin(bucketing("AGE", *bins), value)
    assert names(found) == expected


def test_lookup_returns_the_stored_record():
    fb = bucketing("AGE", *NUMERIC)
    assert PredictiveScorerWatch._get_numerical_bin(fb, 1.0) is fb.feature_bucketing[0]
    assert PredictiveScorerWatch._get_categorical_bin(fb, "x") is fb.feature_bucketing[2]


@pytest.mark.parametrize("value, got", [("5", "str"), ([1.0], "list"), (b"1", "bytes"), (1j, "complex")])
def test_numerical_value_must_be_a_number(value, got):
    with pytest.raises(TypeError, match=rf"'value' has incorrect type \(expected float, got {got}\)"):
        PredictiveScorerWatch._get_numerical_bin(bucketing("AGE", *NUMERIC), value)
    watch = PredictiveScorerWatch(binning=[bucketing("AGE", *NUMERIC)])
    with pytest.raises(TypeError, match="'value'"):
        watch.get_feature_bucketing("AGE", NUM, value)


# ---- categorical lookup

CATEGORIC = [cat("ab", ["A", "B"], 1), cat("none", None, 2), cat("c", ["C", "nan"], 3)]


@pytest.mark.parametrize("bins, value, expected", [
    (CATEGORIC, "A", "ab"),
    (CATEGORIC, "C", "c"),
    (CATEGORIC, "a", None),
    (CATEGORIC + [cat("0_default")], "D", "0_default"),
    (CATEGORIC + [cat("0_default"), cat("1_null")], NAN, "1_null"),
    (CATEGORIC + [cat("0_default"), cat("1_null")], "nan", "1_null"),
    (CATEGORIC + [cat("0_default"), cat("1_null")], None, "1_null"),
    # missing values never reach the categories, even one that lists "nan"
    (CATEGORIC + [cat("0_default")], "nan", "0_default"),
    (CATEGORIC, None, None),
    (CATEGORIC + [num("1_null", 0, 1)], NAN, "1_null"),
    (CATEGORIC + [cat("0_default")], 1.5, "0_default"),
    # reserved names are not excluded from the membership test
    ([cat("0_default", ["A"]), cat("real", ["A"])], "A", "0_default"),
    # numerical bins are never tested for membership
    ([num("n", 0, 1), cat("real", ["A"])], "A", "real"),
])
def test_categorical_lookup(bins, value, expected):
    found = PredictiveScorerWatch._get_categorical_bin(bucketing("COLOR", *bins, dtype=CAT), value)
    assert names(found) == expected


# ---- dispatch

@pytest.mark.parametrize("dtype, value, expected", [
    (CAT, "A", "ab"),
    ("CATEGORICAL", "A", "ab"),
    (NUM, 5.0, "low"),
    ("NUMERICAL", 5, "low"),
    ("numerical", 5.0, None),
    (None, 5.0, None),
])
def test_caller_dtype_decides(dtype, value, expected):
    # the entry says NUMERICAL but carries bins of both kinds
    entry = bucketing("MIX", num("low", -INF, 10), cat("ab", ["A", "B"]), dtype=NUM)
    watch = PredictiveScorerWatch(binning=[entry])
    assert names(watch.get_feature_bucketing("MIX", dtype, value)) == expected
    assert watch.get_feature_bucketing("OTHER", dtype, value) is None


def test_subclass_lookups_are_called_by_keyword():
    calls = []

    class Watch(PredictiveScorerWatch):
        @staticmethod
        def _get_numerical_bin(binning, value):
            calls.append(("num", binning.attribute, value))
            return "n"

        @staticmethod
        def _get_categorical_bin(*, binning, value):
            calls.append(("cat", binning.attribute, value))
            return "c"

    watch = Watch(binning=[bucketing("AGE")])
    assert watch.get_feature_bucketing("AGE", NUM, 3) == "n"
    assert watch.get_feature_bucketing("AGE", CAT, "x") == "c"
    assert calls == [("num", "AGE", 3), ("cat", "AGE", "x")]


@pytest.mark.parametrize("patched", ["class", "base of a subclass", "subclass"])
def test_lookups_patched_between_calls_are_called(patched, monkeypatch):
    """The own-method check is asked again on every call: a patch made after earlier calls (on the
    class, on a base of the instance's class, or on its own class) is honoured, and so is undoing it."""

    class Watch(PredictiveScorerWatch):
        pass

    watch = (PredictiveScorerWatch if patched == "class" else Watch)(binning=[bucketing("AGE")])
    own = watch.get_feature_bucketing("AGE", CAT, "x")
    assert watch.get_feature_bucketing("AGE", CAT, "x") is own
    target = Watch if patched == "subclass" else PredictiveScorerWatch
    with monkeypatch.context() as m:
        m.setattr(target, "_get_categorical_bin", staticmethod(lambda *, binning, value: ("cat", value)))
        assert watch.get_feature_bucketing("AGE", CAT, "x") == ("cat", "x")
    assert watch.get_feature_bucketing("AGE", CAT, "x") is own


def test_lookups_set_on_the_instance_are_called():
    # An instance attribute comes before the class's static method (it used to be passed over).
    watch = PredictiveScorerWatch(binning=[bucketing("AGE")])
    object.__setattr__(watch, "_get_numerical_bin", lambda *, binning, value: ("num", value))
    object.__setattr__(watch, "_get_categorical_bin", lambda *, binning, value: ("cat", value))
    assert watch.get_feature_bucketing("AGE", NUM, 3) == ("num", 3)
    assert watch.get_feature_bucketing("AGE", CAT, "x") == ("cat", "x")


# ---- the same results as a direct statement of the rules

RESERVED = ["0_default", "0_defined_default", "0_system_default", "1_null"]


def reference_fallback(bins):
    return next((b for b in bins if b.name in RESERVED[:3]), None)


def reference_numerical(bins, value):
    v = NAN if value is None else float(value)
    if math.isnan(v):
        hit = next((b for b in bins if b.name == "1_null"), None)
        return hit if hit is not None else reference_fallback(bins)
    for b in bins:
        if isinstance(b, AttributeBinNumerical) and b.lower_bound is not None and b.upper_bound is not None:
            if b.lower_bound < v and v <= b.upper_bound:
                return b
    return reference_fallback(bins)


def reference_categorical(bins, value):
    if value is None or str(value) == "nan":
        hit = next((b for b in bins if b.name == "1_null"), None)
        return hit if hit is not None else reference_fallback(bins)
    for b in bins:
        if isinstance(b, AttributeBinCategorical) and value in (b.categories or []):
            return b
    return reference_fallback(bins)


bound = st.one_of(st.none(), st.sampled_from([-INF, INF, 0.0, 1.0, 2.5]), st.floats(-5, 5))
bin_name = st.one_of(st.sampled_from(RESERVED), st.text("abc", min_size=1, max_size=2))
labels = st.sampled_from(["A", "B", "C", "nan", "NaN"])
a_bin = st.one_of(
    st.builds(num, bin_name, bound, bound),
    st.builds(cat, bin_name, st.one_of(st.none(), st.lists(labels, max_size=3))),
)


@settings(max_examples=200, deadline=None)
@given(st.lists(a_bin, max_size=8),
       st.one_of(st.none(), st.floats(-6, 6), st.sampled_from([NAN, INF, -INF, 1.0, 2.5]), st.integers(-3, 3)))
def test_numerical_matches_reference(bins, value):
    fb = bucketing("X", *bins)
    assert PredictiveScorerWatch._get_numerical_bin(fb, value) is reference_numerical(fb.feature_bucketing, value)


@settings(max_examples=200, deadline=None)
@given(st.lists(a_bin, max_size=8), st.one_of(st.none(), labels, st.just(NAN), st.floats(-2, 2)))
def test_categorical_matches_reference(bins, value):
    fb = bucketing("X", *bins, dtype=CAT)
    assert PredictiveScorerWatch._get_categorical_bin(fb, value) is reference_categorical(fb.feature_bucketing, value)


# ---- view

async def test_view():
    watch = PredictiveScorerWatch(binning=[bucketing("AGE", *NUMERIC), bucketing("COLOR", dtype=CAT)],
                                  predictive_model_output_binning=bucketing("score"))
    result = await query(PredictiveScorerWatchType, watch,
                         "{ binning { attribute featureBucketing { ... on AttributeBinNumericalType { name } "
                         "... on AttributeBinCategoricalType { name type } } } "
                         "predictiveModelOutputBinning { attribute } }")
    assert result.errors is None
    assert result.data["item"] == {
        "binning": [{"attribute": "AGE", "featureBucketing": [{"name": "low"}, {"name": "high"},
                                                              {"name": "0_default", "type": "CATEGORICAL"}]},
                    {"attribute": "COLOR", "featureBucketing": []}],
        "predictiveModelOutputBinning": {"attribute": "score"},
    }
    empty = await query(PredictiveScorerWatchType, PredictiveScorerWatch(),
                        "{ binning { attribute } predictiveModelOutputBinning { attribute } }")
    assert empty.data["item"] == {"binning": [], "predictiveModelOutputBinning": None}


def test_bins_whose_fields_moved_or_went_missing():
    moved = num("moved", 0, 5)
    lower = moved.lower_bound
    del moved.lower_bound
    moved.lower_bound = lower  # now stored after upper_bound in the instance dict
    fb = bucketing("AGE", num("a", -INF, 0), moved)
    assert PredictiveScorerWatch._get_numerical_bin(fb, 3.0) is moved
    assert PredictiveScorerWatch._get_numerical_bin(fb, -1.0).name == "a"
    del moved.upper_bound
    with pytest.raises(AttributeError):
        PredictiveScorerWatch._get_numerical_bin(fb, 3.0)


# ---- values of other types set after validation go through Python's own comparisons

class Folded(str):
    """Text that equals any text with the same letters in another case."""

    def __eq__(self, other):
        return isinstance(other, str) and self.lower() == other.lower()

    __hash__ = str.__hash__


def test_text_subclasses_with_their_own_equality():
    null_bin, folded_bin = cat("x", id=1), cat("folded", id=2)
    null_bin.name = Folded("1_NULL")
    folded_bin.categories = [2.5, Folded("a")]
    entry = bucketing("COLOR", null_bin, folded_bin, dtype=CAT)
    entry.attribute = Folded("color")
    watch = PredictiveScorerWatch(binning=[entry])
    assert watch.get_feature_bucketing("COLOR", Folded("Categorical"), "A") is folded_bin
    assert watch.get_feature_bucketing("COLOR", CAT, None) is null_bin
    assert watch.feature_bucketing_exists("COLOR")


class Clearing(float):
    """A bound or category whose comparison empties the lists it was given, then answers no."""

    def __new__(cls, value, *lists):
        self = super().__new__(cls, value)
        self.lists = lists
        return self

    def _clear(self, other):
        for held in self.lists:
            held.clear()
        return False

    __lt__ = __le__ = __eq__ = _clear
    __hash__ = float.__hash__


def clearing_setup(kind):
    if kind == "numerical":
        odd, after = num("odd", 0.0, 9.0), num("after", 0.0, 9.0)
        fb = bucketing("AGE", odd, after, num("0_default"))
        odd.lower_bound = Clearing(0.0, fb.feature_bucketing)
        return fb, 5.0
    odd, after = cat("odd", ["B"]), cat("after", ["A"])
    fb = bucketing("COLOR", odd, after, cat("0_default"), dtype=CAT)
    odd.categories = []
    odd.categories.append(Clearing(1.0, fb.feature_bucketing, odd.categories))
    return fb, "A"


@pytest.mark.parametrize("kind, lookup, reference", [
    ("numerical", PredictiveScorerWatch._get_numerical_bin, reference_numerical),
    ("categorical", PredictiveScorerWatch._get_categorical_bin, reference_categorical),
])
def test_comparison_that_empties_the_bins_mid_scan(kind, lookup, reference):
    fb, value = clearing_setup(kind)
    found = lookup(fb, value)
    expected_fb, _ = clearing_setup(kind)
    expected = reference(expected_fb.feature_bucketing, value)
    # Python's own loop stops at the emptied list; nothing is left to fall back to
    assert found is None and expected is None and fb.feature_bucketing == []
