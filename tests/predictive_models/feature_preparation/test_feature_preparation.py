import math

import pydantic
import pytest
import strawberry
import structlog
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quorvex_analytics_utils.predictive_models.feature_preparation import feature_preparation as fp
from quorvex_analytics_utils.predictive_models.feature_preparation.feature_bucketing import (
    AttributeDataType,
    FeatureBucketing,
    PredictiveModelBinName,
)
from quorvex_analytics_utils.predictive_models.feature_preparation.feature_preparation import (
    FeaturePreparation,
    FeaturePreparationType,
    PredictiveModelDummyEncoding,
)

INF = math.inf


def num_bin(id_, low, high, value, name=None):
    b = {"type": "NUMERICAL", "id": id_, "lower_bound": low, "upper_bound": high, "value": value}
    if name is not None:
        b["name"] = name
    return b


def cat_bin(id_, categories, value, name=None):
    b = {"type": "CATEGORICAL", "id": id_, "categories": categories, "value": value}
    if name is not None:
        b["name"] = name
    return b


def bucketing(attribute, dtype, bins, binned=None):
    return FeatureBucketing(attribute=attribute, attribute_data_type=dtype, feature_bucketing=bins,
                            binned_attribute_name=binned)


AGE = bucketing("age", "NUMERICAL", [
    num_bin(1, None, None, 0.0, name="1_null"),
    num_bin(2, -INF, 10, 1.0), num_bin(3, 10, 20, 2.0), num_bin(4, 20, INF, 3.0),
    num_bin(0, None, None, 9.0, name="0_default"),
])
CITY = bucketing("city", "CATEGORICAL", [
    cat_bin(2, ["A", "B"], 1.0), cat_bin(0, None, 5.0, name="0_system_default"),
])


def registry(**fields):
    return FeaturePreparation(**fields)


# ---- lookups and listings

def test_empty_registry():
    prep = FeaturePreparation()
    for name in ["get_all_transformation_attributes", "get_attributes_created_in_transformations",
                 "get_all_binning_attributes", "get_attributes_created_in_binning",
                 "get_all_dummy_enc_attributes"]:
        assert getattr(prep, name)() == []
    assert prep.get_feature_bucketing("x") is None
    assert prep.feature_bucketing_exists("x") is False
    assert prep.get_transformation_formula("x") == "x"
    assert prep.transformations is not FeaturePreparation().transformations
    assert list(FeaturePreparation.model_fields) == ["transformations", "binning", "dummy_encoding"]


def test_listings_keep_order_and_duplicates():
    prep = registry(
        transformations=[
            {"attribute": "a", "transformed_attribute_name": "t", "transformation": "log(a)"},
            {"attribute": "b", "transformed_attribute_name": "t", "transformation": "b*2"},
            {"attribute": "c", "transformed_attribute_name": "c", "transformation": "c+1"},
            {"attribute": "a", "transformation": "a"},
        ],
        binning=[bucketing("x", "NUMERICAL", [], binned="x_b"), bucketing("y", "NUMERICAL", [], "y"),
                 bucketing("x", "CATEGORICAL", [], binned="x_b"), bucketing("z", "NUMERICAL", [])],
        dummy_encoding=[
            {"attribute": "g", "encoding": [{"value": "m", "encoded_feature_name": "g_m"},
                                            {"value": "f", "encoded_feature_name": "g_f"}]},
            {"attribute": "h", "encoding": []},
            {"attribute": "g", "encoding": [{"value": 1, "encoded_feature_name": "g_m"}]},
        ],
    )
    assert prep.get_all_transformation_attributes() == ["a", "b", "c", "a"]
    assert prep.get_attributes_created_in_transformations() == ["t", "t"]
    assert prep.get_transformation_formula("t") == "(log(a))"
    assert prep.get_transformation_formula("c") == "(c+1)"
    assert prep.get_transformation_formula("a") == "a"
    assert prep.get_all_binning_attributes() == ["x", "y", "x", "z"]
    assert prep.get_attributes_created_in_binning() == ["x_b", "x_b"]
    assert prep.get_feature_bucketing("x") is prep.binning[0]
    assert prep.feature_bucketing_exists("z") and not prep.feature_bucketing_exists("q")
    assert prep.get_all_dummy_enc_attributes() == ["g_m", "g_f", "g_m"]


@pytest.mark.parametrize("call, message", [
    (lambda p: p.get_transformation_formula(1), "'attribute'.*expected str, got int"),
    (lambda p: p.get_feature_bucketing(None), "'attribute'.*expected str, got NoneType"),
    (lambda p: p.add_feature_reshaping(({"attribute": "a", "transformation": "b"},)),
     "'transformations'.*expected list, got tuple"),
    (lambda p: p.apply_feature_bucketing_batch("age", (1, 2)),
     "'attribute_values'.*expected list, got tuple"),
    (lambda p: p.apply_dummy_encoding(b"g", "m"), "'attribute'.*expected str, got bytes"),
    (lambda p: FeaturePreparation.add_feature_bucketing([]),
     "'features_bucketing'.*expected dict, got list"),
])
def test_argument_types_are_exact(call, message):
    with pytest.raises(TypeError, match=message):
        call(FeaturePreparation())


def test_add_feature_reshaping_appends_all_or_nothing():
    prep = FeaturePreparation()
    prep.add_feature_reshaping([])
    assert prep.transformations == []
    assert prep.add_feature_reshaping(
        [{"attribute": "a", "transformation": "a+1"},
         {"attribute": "b", "transformed_attribute_name": "b2", "transformation": "b*2"}]) is None
    assert [t.attribute for t in prep.transformations] == ["a", "b"]
    before = list(prep.transformations)
    with pytest.raises(pydantic.ValidationError):
        prep.add_feature_reshaping([{"attribute": "c", "transformation": "c"}, {"attribute": "d"}])
    assert prep.transformations == before
    with pytest.raises(TypeError, match=r"FeatureReshaping\(\) argument after \*\* must be a mapping, "
                                        r"not int"):
        prep.add_feature_reshaping([{"attribute": "c", "transformation": "c"}, 3])
    with pytest.raises(TypeError, match="keywords must be strings"):
        prep.add_feature_reshaping([{1: "c"}])
    assert prep.transformations == before


# ---- bucketing construction

def test_add_feature_bucketing_numerical_example():
    prep = FeaturePreparation()
    [result] = prep.add_feature_bucketing({"age": {"dtype": "NUMERICAL", "bins": [0, 10, 20],
                                                   "bin_vals": [0.1, 0.2]}})
    assert prep.binning == []
    assert isinstance(result, FeatureBucketing) and result.attribute == "age"
    assert result.attribute_data_type == AttributeDataType.NUMERICAL
    assert result.binned_attribute_name is None
    rows = [(b.id, b.name, b.value, b.frequency, b.target_rate) for b in result.feature_bucketing]
    assert rows == [(2, "2_(0;10)", 0.1, None, None), (3, "3_(10;20)", 0.2, None, None),
                    (1, "1_null", 0.0, None, None), (0, "0_system_default", 0.0, 0.0, 0.0)]
    assert [(b.lower_bound, b.upper_bound) for b in result.feature_bucketing[:2]] == [(0, 10),
                                                                                      (10, 20)]
    # Built bins work with the bucketing itself, reserved names included.
    assert result.bin_numeric_attribute(None) == 0.0
    assert result.bin_numeric_attribute(15) == 0.2


def test_add_feature_bucketing_categorical_and_order():
    result = FeaturePreparation.add_feature_bucketing({
        "z": {"dtype": AttributeDataType.CATEGORICAL, "bins": [["a"], ["b", "c"], []],
              "bin_frequencies": [1, 2, 3], "bin_target_rates": [0.5, 0.25, 0.0],
              "null_val": None, "null_frequency": 4, "null_target_rate": 0.1,
              "binned_attribute_name": "z_b", "ignored": 1},
        "a": {"dtype": "NUMERICAL", "bins": [5]},
        "b": {"dtype": "NUMERICAL", "bins": []},
    })
    assert [r.attribute for r in result] == ["z", "a", "b"]
    z = result[0]
    assert z.binned_attribute_name == "z_b"
    assert [(b.id, b.categories, b.frequency, b.target_rate) for b in z.feature_bucketing[:3]] == [
        (2, ["a"], 1, 0.5), (3, ["b", "c"], 2, 0.25), (4, [], 3, 0.0)]
    null = z.feature_bucketing[3]
    assert (null.name, null.value, null.frequency, null.target_rate) == ("1_null", None, 4, 0.1)
    for r in result[1:]:
        assert [b.name for b in r.feature_bucketing] == ["1_null", "0_system_default"]
    assert FeaturePreparation.add_feature_bucketing({}) == []


@pytest.mark.parametrize("description, name, value", [
    ({}, PredictiveModelBinName.SYSTEM_DEFAULT, 0.0),
    ({"default": None}, PredictiveModelBinName.SYSTEM_DEFAULT, 0.0),
    ({"default": 0}, PredictiveModelBinName.DEFINED_DEFAULT, 0.0),
    ({"default": False}, PredictiveModelBinName.DEFINED_DEFAULT, 0.0),
    ({"default": ""}, PredictiveModelBinName.DEFINED_DEFAULT, 0.0),
    ({"default": 5}, PredictiveModelBinName.DEFINED_DEFAULT, 5.0),
])
def test_default_bin(description, name, value):
    [result] = FeaturePreparation.add_feature_bucketing(
        {"x": {"dtype": "NUMERICAL", "bins": [0, 1], **description}})
    default = result.feature_bucketing[-1]
    assert (default.id, default.name, default.value) == (0, name, value)


@pytest.mark.parametrize("description, error", [
    ({"dtype": "NUMERICAL"}, KeyError),
    ({"dtype": "NUMERICAL", "bins": [0, 1, 2], "bin_vals": [1.0]}, IndexError),
    ({"dtype": "CATEGORICAL", "bins": [["a"]], "bin_target_rates": []}, IndexError),
    ({"bins": [0, 1]}, pydantic.ValidationError),
    ({"dtype": "TEXT", "bins": [0, 1]}, pydantic.ValidationError),
    ({"dtype": "NUMERICAL", "bins": ["a", "b"]}, AttributeError),  # naming reads is_integer
    ({"dtype": "CATEGORICAL", "bins": [[1]]}, pydantic.ValidationError),
])
def test_add_feature_bucketing_errors(description, error):
    with pytest.raises(error):
        FeaturePreparation.add_feature_bucketing({"ok": {"dtype": "NUMERICAL", "bins": [0, 1]},
                                                  "bad": description})


def test_add_feature_bucketing_is_repeatable():
    description = {"x": {"dtype": "NUMERICAL", "bins": [-INF, 0, INF], "bin_vals": [1, 2]}}
    assert (FeaturePreparation().add_feature_bucketing(description)
            == FeaturePreparation.add_feature_bucketing(description))


# ---- applying bucketing

class IntBucketing(FeatureBucketing):
    def bin_numeric_attribute(self, value):
        return 3


class Broken(Exception):
    def __init__(self, a, b):
        super().__init__(a, b)


class RaisingBucketing(FeatureBucketing):
    error: object = None

    def bin_numeric_attribute(self, value):
        raise self.error


def test_apply_missing_attribute_and_first_bucketing_wins():
    prep = registry(binning=[AGE, bucketing("age", "NUMERICAL", [num_bin(2, -INF, INF, 7.0)])])
    assert prep.apply_feature_bucketing("other", 1) is None
    assert prep.apply_feature_bucketing_batch("other", [1]) is None
    assert prep.apply_feature_bucketing("age", 15) == 2.0
    assert prep.apply_feature_bucketing_batch("age", [15, None, "25", 10]) == [2.0, 0.0, 3.0, 1.0]
    empty = []
    result = prep.apply_feature_bucketing_batch("age", empty)
    assert result == [] and result is not empty


def test_single_result_is_float_batch_result_as_is():
    prep = registry(binning=[IntBucketing(attribute="n", attribute_data_type="NUMERICAL")])
    result = prep.apply_feature_bucketing("n", 1)
    assert result == 3.0 and type(result) is float
    assert [type(v) for v in prep.apply_feature_bucketing_batch("n", [1, 2])] == [int, int]


def test_other_data_type_returns_none_or_the_same_list():
    odd = FeatureBucketing.model_construct(attribute="o", attribute_data_type="OTHER",
                                           feature_bucketing=[])
    prep = registry()
    prep.binning.append(odd)
    values = [1, 2]
    assert prep.apply_feature_bucketing("o", 1) is None
    assert prep.apply_feature_bucketing_batch("o", values) is values


@pytest.mark.parametrize("batch", [False, True])
def test_errors_are_prefixed_with_the_attribute(batch):
    bad = RaisingBucketing(attribute="income", attribute_data_type="NUMERICAL")
    prep = registry(binning=[bad])
    call = ((lambda: prep.apply_feature_bucketing_batch("income", [1])) if batch
            else (lambda: prep.apply_feature_bucketing("income", 1)))
    bad.error = ValueError("x")
    with pytest.raises(ValueError) as info:
        call()
    assert str(info.value) == "Binning attribute income: x"
    assert info.value.__cause__ is bad.error
    # A class that cannot be built from one message: the original error itself propagates.
    bad.error = Broken("a", "b")
    with pytest.raises(Broken) as info:
        call()
    assert info.value is bad.error
    # Not an ordinary error: passes unchanged.
    bad.error = KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt) as info:
        call()
    assert info.value is bad.error


@pytest.mark.parametrize("attribute, values, error", [
    ("age", [1, "abc"], ValueError),
    ("age", [1, [1]], TypeError),
    ("city", ["A", 1], TypeError),
])
def test_batch_element_failure_gives_prefixed_error(attribute, values, error):
    prep = registry(binning=[AGE, CITY])
    with pytest.raises(error, match=f"^Binning attribute {attribute}: "):
        prep.apply_feature_bucketing_batch(attribute, values)
    with pytest.raises(error, match=f"^Binning attribute {attribute}: "):
        prep.apply_feature_bucketing(attribute, values[1])


def test_patched_and_subclassed_methods_are_honoured(monkeypatch):
    calls = []

    class Counting(FeatureBucketing):
        def bin_categoric_attribute(self, value):
            calls.append(value)
            return super().bin_categoric_attribute(value)

    city = Counting(**CITY.model_dump())
    prep = registry(binning=[AGE, city])
    assert prep.apply_feature_bucketing_batch("city", ["A", "Q"]) == [1.0, 5.0]
    assert calls == ["A", "Q"]
    monkeypatch.setattr(FeatureBucketing, "bin_numeric_attribute", lambda self, v: -1.0)
    assert prep.apply_feature_bucketing_batch("age", [1, 2]) == [-1.0, -1.0]

    class Registry(FeaturePreparation):
        def get_feature_bucketing(self, attribute):
            return AGE

    assert Registry().apply_feature_bucketing_batch("anything", [1]) == [-1.0]


def test_batch_sees_the_list_as_a_loop_does():
    values = [1, 2, 3]

    class Shrinking(FeatureBucketing):
        def bin_numeric_attribute(self, value):
            if value == 1:
                values.pop()
            return float(value)

    prep = registry(binning=[Shrinking(attribute="s", attribute_data_type="NUMERICAL")])
    assert prep.apply_feature_bucketing_batch("s", values) == [1.0, 2.0]


# ---- batch against one call per element

RESERVED = ["0_default", "0_defined_default", "0_system_default", "1_null"]
bounds = st.sampled_from([-INF, -5.0, -1, 0, 0.5, 1, 2.5, 10, INF])
numeric_bins = st.lists(st.tuples(bounds, bounds, st.sampled_from([None] + RESERVED),
                                  st.one_of(st.none(), st.floats(-10, 10))), max_size=8)
categories = st.lists(st.sampled_from(["a", "b", "c", "nan", "None", ""]), max_size=3)
categoric_bins = st.lists(st.tuples(st.one_of(st.none(), categories),
                                    st.sampled_from([None, None] + RESERVED),
                                    st.one_of(st.none(), st.floats(-10, 10))), max_size=8)
numeric_values = st.lists(st.one_of(
    st.none(), st.floats(-20, 20), st.sampled_from([math.nan, INF, -INF, 0, 10, 1]),
    st.sampled_from(["nan", "2.5", " 10 ", "-inf", "1e1"]), st.integers(-20, 20)), max_size=12)
categoric_values = st.lists(st.one_of(st.none(), st.sampled_from(["a", "b", "c", "nan", "NaN", "z", ""])),
                            max_size=12)


def outcome(fn):
    with structlog.testing.capture_logs() as logs:
        try:
            result = ("ok", fn())
        except Exception as e:  # compared below: same class and text on both sides
            result = ("error", type(e), str(e))
    return result, logs


def same(a, b):
    return a == b or (isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b))


def check_batch(prep, attribute, values):
    batch, batch_logs = outcome(lambda: prep.apply_feature_bucketing_batch(attribute, values))
    bucket = prep.get_feature_bucketing(attribute)
    method = (bucket.bin_numeric_attribute if bucket.attribute_data_type == "NUMERICAL"
              else bucket.bin_categoric_attribute)
    single, single_logs = outcome(lambda: [method(v) for v in values])
    assert batch_logs == single_logs
    if single[0] == "error":
        prefix = f"Binning attribute {attribute}: "
        assert batch == ("error", single[1], prefix + single[2])
    else:
        assert batch[0] == "ok" and len(batch[1]) == len(single[1])
        assert all(same(x, y) and type(x) is type(y) for x, y in zip(batch[1], single[1]))


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(numeric_bins, numeric_values)
def test_numeric_batch_equals_single_calls(bins, values):
    records = []
    for i, (low, high, name, value) in enumerate(bins):
        records.append(num_bin(i, low, high, value, name=name or f"b{i}"))
    prep = registry(binning=[bucketing("n", "NUMERICAL", records)])
    check_batch(prep, "n", values)


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(categoric_bins, categoric_values, st.booleans())
def test_categoric_batch_equals_single_calls(bins, values, mixed):
    records = [cat_bin(i, cats, value, name=name) for i, (cats, name, value) in enumerate(bins)]
    if mixed:  # a numerical bin among categorical ones is skipped by the categorical scan
        records.insert(0, num_bin(99, -INF, INF, 42.0))
    prep = registry(binning=[bucketing("c", "CATEGORICAL", records)])
    check_batch(prep, "c", values)


# ---- dummy encoding

ENCODING = {"attribute": "g", "encoding": [
    {"value": "A", "encoded_feature_name": "x_A"},
    {"value": "B", "encoded_feature_name": "x_B"},
    {"value": "Z", "encoded_feature_name": "x_Z", "use_for_undefined": True},
]}


def encode(encoding, value, attribute="g"):
    prep = registry(dummy_encoding=[encoding])
    with structlog.testing.capture_logs() as logs:
        result = prep.apply_dummy_encoding(attribute, value)
    return result, [(e["log_level"], e["event"]) for e in logs]


def items(*specs):
    return [{"value": v, "encoded_feature_name": n, "use_for_undefined": u} for v, n, u in specs]


@pytest.mark.parametrize("encoding, value, expected, logs", [
    (ENCODING, "B", {"x_A": 0, "x_B": 1, "x_Z": 0}, []),
    (ENCODING, "Q", {"x_A": 0, "x_B": 0, "x_Z": 1},
     [("info", "Dummy encoding for value 'Q' of attribute 'g' is not defined. "
               "Default value 'x_Z' was assigned with 1.")]),
    ({"attribute": "g", "encoding": []}, 3.5, {},
     [("warning", "Dummy encoding for value '3.5' of attribute 'g' is not defined and no default "
                  "value was assigned. All dummies for given attribute are assigned with 0.")]),
    ({"attribute": "g", "encoding": items((1.0, "one", False))}, 1, {"one": 1}, []),
    ({"attribute": "g", "encoding": items((1, "one", False), (2, "two", True))}, "1",
     {"one": 1 - 1, "two": 1}, [("info", "Dummy encoding for value '1' of attribute 'g' is not "
                                         "defined. Default value 'two' was assigned with 1.")]),
    ({"attribute": "g", "encoding": items(("a", "f1", False), ("a", "f2", False))}, "a",
     {"f1": 1, "f2": 1}, []),
    ({"attribute": "g", "encoding": items(("a", "d1", True), ("b", "d2", True))}, "c",
     {"d1": 0, "d2": 1}, [("info", "Dummy encoding for value 'c' of attribute 'g' is not defined. "
                                   "Default value 'd2' was assigned with 1.")]),
    # Several items of one feature: a match is not undone by a later item of the same name.
    ({"attribute": "g", "encoding": items(("a", "ab", False), ("b", "ab", False),
                                          ("c", "other", False))}, "a", {"ab": 1, "other": 0}, []),
    ({"attribute": "g", "encoding": items(("a", "ab", False), ("b", "ab", False))}, "b",
     {"ab": 1}, []),
])
def test_apply_dummy_encoding(encoding, value, expected, logs):
    result, logged = encode(encoding, value)
    assert result == expected and list(result) == list(expected)
    assert logged == logs


def test_dummy_encoding_missing_attribute_and_first_entry():
    result, logged = encode(ENCODING, "A", attribute="h")
    assert result is None
    assert logged == [("warning", "No dummy encoding for h was found.")]
    prep = registry(dummy_encoding=[ENCODING, {"attribute": "g", "encoding": items(("A", "y", 0))}])
    assert prep.apply_dummy_encoding("g", "A") == {"x_A": 1, "x_B": 0, "x_Z": 0}


def test_created_feature_cannot_be_named_as_the_attribute():
    with pytest.raises(pydantic.ValidationError,
                       match="Features created by dummy encoding in predictive model cannot be named "
                             "the same as feature that is being encoded. This rule is broken for "
                             "feature 'g'"):
        PredictiveModelDummyEncoding(attribute="g", encoding=items(("a", "x", False), ("b", "g", False)))


def test_logger_is_the_modules_and_replaceable(monkeypatch):
    events = []

    class Logger:
        def warning(self, text):
            events.append(text)

    monkeypatch.setattr(fp, "logger", Logger())
    registry().apply_dummy_encoding("nothing", 1)
    assert events == ["No dummy encoding for nothing was found."]


# ---- view

async def test_view_shows_binning_and_transformations_only():
    prep = registry(transformations=[{"attribute": "a", "transformation": "a+1"}], binning=[CITY],
                    dummy_encoding=[ENCODING])

    @strawberry.type
    class Query:
        @strawberry.field
        def prep(self) -> FeaturePreparationType:
            return prep

    schema = strawberry.Schema(query=Query)
    result = await schema.execute(
        "{ prep { binning { attribute featureBucketing { ... on AttributeBinCategoricalType "
        "{ name categories } } } transformations { attribute transformation } } }")
    assert result.errors is None
    assert result.data == {"prep": {
        "binning": [{"attribute": "city", "featureBucketing": [
            {"name": "2_{A,B}", "categories": ["A", "B"]},
            {"name": "0_system_default", "categories": None}]}],
        "transformations": [{"attribute": "a", "transformation": "a+1"}]}}
    fields = [f.name for f in FeaturePreparationType.__strawberry_definition__.fields]
    assert sorted(fields) == ["binning", "transformations"]
