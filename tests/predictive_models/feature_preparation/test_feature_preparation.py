import contextlib
import decimal
import gc
import math

import pydantic
import pytest
import strawberry
import structlog
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quorvex_analytics_utils._testing import bucketing_probe
from quorvex_analytics_utils.predictive_models.feature_preparation.feature_bucketing import (
    AttributeBinNumerical,
    AttributeDataType,
    FeatureBucketing,
    PredictiveModelBinName as BinName,
)
from quorvex_analytics_utils.predictive_models.feature_preparation.feature_preparation import (
    FeaturePreparation as Prep,
    FeaturePreparationType,
    PredictiveModelDummyEncoding,
)

INF = math.inf


def num_bin(id_, low, high, value, name=None):
    return {"type": "NUMERICAL", "id": id_, "lower_bound": low, "upper_bound": high,
            "value": value, **({"name": name} if name else {})}


def cat_bin(id_, categories, value, name=None):
    return {"type": "CATEGORICAL", "id": id_, "categories": categories, "value": value,
            **({"name": name} if name else {})}


def bucketing(attribute, dtype, bins=(), binned=None):
    return FeatureBucketing(attribute=attribute, attribute_data_type=dtype,
                            feature_bucketing=list(bins), binned_attribute_name=binned)


AGE = bucketing("age", "NUMERICAL", [
    num_bin(1, None, None, 0.0, "1_null"), num_bin(2, -INF, 10, 1.0), num_bin(3, 10, 20, 2.0),
    num_bin(4, 20, INF, 3.0), num_bin(0, None, None, 9.0, "0_default")])
CITY = bucketing("city", "CATEGORICAL", [cat_bin(2, ["A", "B"], 1.0),
                                         cat_bin(0, None, 5.0, "0_system_default")])


# ---- lookups and listings

def test_empty_registry():
    prep = Prep()
    assert [prep.get_all_transformation_attributes(), prep.get_attributes_created_in_transformations(),
            prep.get_all_binning_attributes(), prep.get_attributes_created_in_binning(),
            prep.get_all_dummy_enc_attributes()] == [[]] * 5
    assert (prep.get_feature_bucketing("x"), prep.feature_bucketing_exists("x")) == (None, False)
    assert prep.get_transformation_formula("x") == "x"
    assert prep.transformations is not Prep().transformations


def test_listings_keep_order_and_duplicates():
    prep = Prep(
        transformations=[
            {"attribute": "a", "transformed_attribute_name": "t", "transformation": "log(a)"},
            {"attribute": "b", "transformed_attribute_name": "t", "transformation": "b*2"},
            {"attribute": "c", "transformed_attribute_name": "c", "transformation": "c+1"},
            {"attribute": "a", "transformation": "a"}],
        binning=[bucketing("x", "NUMERICAL", binned="x_b"), bucketing("y", "NUMERICAL", binned="y"),
                 bucketing("x", "CATEGORICAL", binned="x_b"), bucketing("z", "NUMERICAL")],
        dummy_encoding=[
            {"attribute": "g", "encoding": [{"value": "m", "encoded_feature_name": "g_m"},
                                            {"value": "f", "encoded_feature_name": "g_f"}]},
            {"attribute": "h", "encoding": []},
            {"attribute": "g", "encoding": [{"value": 1, "encoded_feature_name": "g_m"}]}])
    assert prep.get_all_transformation_attributes() == ["a", "b", "c", "a"]
    assert prep.get_attributes_created_in_transformations() == ["t", "t"]
    assert [prep.get_transformation_formula(n) for n in "tca"] == ["(log(a))", "(c+1)", "a"]
    assert prep.get_all_binning_attributes() == ["x", "y", "x", "z"]
    assert prep.get_attributes_created_in_binning() == ["x_b", "x_b"]
    assert prep.get_feature_bucketing("x") is prep.binning[0]
    assert prep.feature_bucketing_exists("z") and not prep.feature_bucketing_exists("q")
    assert prep.get_all_dummy_enc_attributes() == ["g_m", "g_f", "g_m"]


@pytest.mark.parametrize("call, message", [
    (lambda p: p.get_feature_bucketing(None), "'attribute'.*expected str, got NoneType"),
    (lambda p: p.add_feature_reshaping(({},)), "'transformations'.*expected list, got tuple"),
    (lambda p: p.apply_feature_bucketing_batch("age", (1,)), "'attribute_values'.*expected list"),
    (lambda p: Prep.add_feature_bucketing([]), "'features_bucketing'.*expected dict, got list"),
])
def test_argument_types_are_exact(call, message):
    with pytest.raises(TypeError, match=message):
        call(Prep())


def test_add_feature_reshaping_is_all_or_nothing():
    prep = Prep()
    prep.add_feature_reshaping([{"attribute": "a", "transformation": "a+1"},
                                {"attribute": "b", "transformed_attribute_name": "c",
                                 "transformation": "b*2"}])
    before = list(prep.transformations)
    assert [t.attribute for t in before] == ["a", "b"]
    ok = {"attribute": "c", "transformation": "c"}
    with pytest.raises(pydantic.ValidationError):
        prep.add_feature_reshaping([ok, {"attribute": "d"}])
    with pytest.raises(TypeError, match=r"FeatureReshaping\(\) argument after \*\* must be a "
                                        r"mapping, not int"):
        prep.add_feature_reshaping([ok, 3])
    with pytest.raises(TypeError, match="keywords must be strings"):
        prep.add_feature_reshaping([{1: "c"}])
    assert prep.transformations == before


# ---- bucketing construction

def test_add_feature_bucketing_numerical_example():
    prep = Prep()
    [result] = prep.add_feature_bucketing({"age": {"dtype": "NUMERICAL", "bins": [0, 10, 20],
                                                   "bin_vals": [0.1, 0.2]}})
    assert prep.binning == [] and result.attribute == "age" and result.binned_attribute_name is None
    assert [(b.id, b.name, b.value, b.frequency, b.target_rate)
            for b in result.feature_bucketing] == [
        (2, "2_(0;10)", 0.1, None, None), (3, "3_(10;20)", 0.2, None, None),
        (1, "1_null", 0.0, None, None), (0, "0_system_default", 0.0, 0.0, 0.0)]
    # The reserved names it writes are recognised by the bucketing itself.
    assert (result.bin_numeric_attribute(None), result.bin_numeric_attribute(15)) == (0.0, 0.2)


def test_add_feature_bucketing_categorical_and_order():
    result = Prep.add_feature_bucketing({
        "z": {"dtype": "CATEGORICAL", "bins": [["a"], ["b", "c"], []], "ignored": 1,
              "bin_frequencies": [1, 2, 3], "bin_target_rates": [0.5, 0.25, 0.0],
              "null_val": None, "null_frequency": 4, "null_target_rate": 0.1,
              "binned_attribute_name": "z_b"},
        "a": {"dtype": "NUMERICAL", "bins": [5]},
        "b": {"dtype": "NUMERICAL", "bins": []}})
    assert [r.attribute for r in result] == ["z", "a", "b"] and result[0].binned_attribute_name == "z_b"
    assert [(b.id, b.name, b.categories, b.value, b.frequency, b.target_rate)
            for b in result[0].feature_bucketing[:4]] == [
        (2, "2_{a}", ["a"], None, 1, 0.5), (3, "3_{b,c}", ["b", "c"], None, 2, 0.25),
        (4, "4_{}", [], None, 3, 0.0), (1, "1_null", None, None, 4, 0.1)]
    for r in result[1:]:
        assert [b.name for b in r.feature_bucketing] == ["1_null", "0_system_default"]
    assert Prep.add_feature_bucketing({}) == []


@pytest.mark.parametrize("description, name, value", [
    ({}, BinName.SYSTEM_DEFAULT, 0.0), ({"default": None}, BinName.SYSTEM_DEFAULT, 0.0),
    ({"default": 0}, BinName.DEFINED_DEFAULT, 0.0), ({"default": ""}, BinName.DEFINED_DEFAULT, 0.0),
    ({"default": 5}, BinName.DEFINED_DEFAULT, 5.0),
])
def test_default_bin(description, name, value):
    [result] = Prep.add_feature_bucketing({"x": {"dtype": "NUMERICAL", "bins": [0, 1], **description}})
    default = result.feature_bucketing[-1]
    assert (default.id, default.name, default.value) == (0, name, value)


@pytest.mark.parametrize("description, error", [
    ({"dtype": "NUMERICAL"}, KeyError),
    ({"dtype": "NUMERICAL", "bins": [0, 1, 2], "bin_vals": [1.0]}, IndexError),
    ({"dtype": "CATEGORICAL", "bins": [["a"]], "bin_target_rates": []}, IndexError),
    ({"bins": [0, 1]}, pydantic.ValidationError),
    ({"dtype": "TEXT", "bins": [0, 1]}, pydantic.ValidationError),
    ({"dtype": "CATEGORICAL", "bins": [[1]]}, pydantic.ValidationError),
    ({"dtype": "NUMERICAL", "bins": ["a", "b"]}, AttributeError),  # naming reads is_integer
])
def test_add_feature_bucketing_errors(description, error):
    with pytest.raises(error):
        Prep.add_feature_bucketing({"ok": {"dtype": "NUMERICAL", "bins": [0, 1]}, "bad": description})


class Described(dict):
    """A description that is not an exact dict: its binning is always made through validation."""


def record_state(record):
    """Everything validation decides about a record: class, fields with their types, fields given."""
    fields = {k: ([record_state(b) for b in v] if k == "feature_bucketing" else (type(v), v))
              for k, v in record.__dict__.items()}
    return type(record), fields, record.__pydantic_fields_set__, record.__pydantic_extra__, record.__pydantic_private__


def built(descriptions):
    try:
        return [record_state(r) for r in Prep.add_feature_bucketing(descriptions)]
    except Exception as e:  # noqa: BLE001 - both routes must fail alike
        return type(e), str(e)


numbers = st.one_of(st.floats(), st.integers(-(2**60), 2**60), st.integers(-5, 5), st.booleans(), st.none())
per_bin = st.lists(numbers, max_size=6)
categories = st.lists(st.text(max_size=20) | st.sampled_from(["a", "é" * 30]), max_size=4)
descriptions = st.fixed_dictionaries(
    {"dtype": st.sampled_from(["NUMERICAL", "CATEGORICAL", AttributeDataType.NUMERICAL, AttributeDataType.CATEGORICAL,
                               "TEXT"]),
     "bins": st.lists(st.floats(allow_nan=False) | st.integers(-(2**55), 2**55), max_size=6).map(sorted)
     | st.lists(categories | st.none() | st.tuples(st.just("t")), max_size=5)},
    optional={"bin_vals": per_bin, "bin_frequencies": per_bin, "bin_target_rates": per_bin, "null_val": numbers,
              "null_frequency": numbers, "null_target_rate": numbers, "default": numbers | st.just(""),
              "binned_attribute_name": st.none() | st.text(max_size=5)})


@settings(max_examples=150, deadline=None)
@given(st.dictionaries(st.text(max_size=4), descriptions, max_size=3))
def test_binnings_made_directly_are_those_validation_makes(descriptions):
    assert built(descriptions) == built({a: Described(d) for a, d in descriptions.items()})


def test_a_patched_bound_formatting_names_the_bins_made_from_descriptions(monkeypatch):
    description = {"x": {"dtype": "NUMERICAL", "bins": [0, 0.5]}}
    assert Prep.add_feature_bucketing(description)[0].feature_bucketing[0].name == "2_(0;0.500)"
    monkeypatch.setattr(AttributeBinNumerical, "_get_number_formatting", staticmethod(lambda number: f"<{number}>"))
    assert Prep.add_feature_bucketing(description)[0].feature_bucketing[0].name == "2_(<0>;<0.5>)"


# ---- applying bucketing

class Broken(Exception):
    def __init__(self, a, b):
        super().__init__(a, b)


class Scripted(FeatureBucketing):
    """Bins by a function set on the instance: a subclass, so the batch calls it per element."""
    fn: object = None

    def bin_numeric_attribute(self, value):
        return self.fn(value)


def test_lookup_conversion_and_other_data_types():
    prep = Prep(binning=[AGE, bucketing("age", "NUMERICAL", [num_bin(2, -INF, INF, 7.0)])])
    assert prep.apply_feature_bucketing("other", 1) is None
    assert prep.apply_feature_bucketing_batch("other", [1]) is None
    assert prep.apply_feature_bucketing("age", 15) == 2.0
    assert prep.apply_feature_bucketing_batch("age", [15, None, "25", 10]) == [2.0, 0.0, 3.0, 1.0]
    empty = []
    result = prep.apply_feature_bucketing_batch("age", empty)
    assert result == [] and result is not empty
    prep = Prep(binning=[Scripted(attribute="n", attribute_data_type="NUMERICAL", fn=lambda v: 3)])
    assert type(prep.apply_feature_bucketing("n", 1)) is float
    assert [type(v) for v in prep.apply_feature_bucketing_batch("n", [1, 2])] == [int, int]
    odd = FeatureBucketing.model_construct(attribute="o", attribute_data_type="OTHER",
                                           feature_bucketing=[])
    prep.binning.append(odd)
    values = [1, 2]
    assert prep.apply_feature_bucketing("o", 1) is None
    assert prep.apply_feature_bucketing_batch("o", values) is values


def binning_call(fn, batch):
    """Bins the value 1 of attribute income, whose bin lookup is `fn`, singly or as a batch."""
    prep = Prep(binning=[Scripted(attribute="income", attribute_data_type="NUMERICAL", fn=fn)])
    if batch:
        return lambda: prep.apply_feature_bucketing_batch("income", [1])
    return lambda: prep.apply_feature_bucketing("income", 1)


@pytest.mark.parametrize("batch", [False, True])
def test_errors_are_prefixed_with_the_attribute(batch):
    def fail(value):
        raise error

    call = binning_call(fail, batch)
    error = ValueError("x")
    with pytest.raises(ValueError, match="^Binning attribute income: x$") as info:
        call()
    assert info.value.__cause__ is error
    # A class that cannot be built from one message, or no ordinary error: the original propagates.
    for error in [Broken("a", "b"), KeyboardInterrupt()]:
        with pytest.raises(type(error)) as info:
            call()
        assert info.value is error



class Textless(Exception):
    def __str__(self):
        raise RuntimeError("no text")


class Interrupting(Exception):
    """Built from one message, but building the prefixed copy is interrupted."""
    def __init__(self, message):
        if message.startswith("Binning"):
            raise KeyboardInterrupt("while building")
        super().__init__(message)


@pytest.mark.parametrize("batch", [False, True])
def test_prefixing_that_fails_on_the_way(batch):
    def fail(value):
        raise error

    call = binning_call(fail, batch)
    # Inside a handler of another error the chain still leads to the original.
    error = ValueError("x")
    try:
        raise KeyError("elsewhere")
    except KeyError:
        with pytest.raises(ValueError, match="^Binning attribute income: x$") as info:
            call()
    assert info.value.__cause__ is error and info.value.__context__ is error
    # Its text cannot be made: the original propagates (it was lost).
    error = Textless()
    with pytest.raises(Textless) as info:
        call()
    assert info.value is error
    # An interruption while building the copy is not swallowed (it was), and keeps the original.
    error = Interrupting("x")
    with pytest.raises(KeyboardInterrupt, match="while building") as info:
        call()
    assert info.value.__context__ is error

@pytest.mark.parametrize("attribute, values, error", [
    ("age", [1, "abc"], ValueError), ("age", [1, [1]], TypeError), ("city", ["A", 1], TypeError)])
def test_failing_element_gives_prefixed_error(attribute, values, error):
    prep = Prep(binning=[AGE, CITY])
    for call in [lambda: prep.apply_feature_bucketing_batch(attribute, values),
                 lambda: prep.apply_feature_bucketing(attribute, values[1])]:
        with pytest.raises(error, match=f"^Binning attribute {attribute}: "):
            call()


class IntKind(int):
    pass


class FloatKind(float):
    pass


def with_bin_values(value, only_first_regular=False):
    """AGE and CITY with `value` assigned, without validation, to every bin (or one regular bin)."""
    age, city = AGE.model_copy(deep=True), CITY.model_copy(deep=True)
    chosen = [age.feature_bucketing[1]] if only_first_regular else age.feature_bucketing + city.feature_bucketing
    for b in chosen:
        b.value = value
    return age, city, Prep(binning=[age, city])


@pytest.mark.parametrize("value, expected", [
    (True, 1.0), (IntKind(3), 3.0), (7, 7.0), (decimal.Decimal("0.5"), 0.5), ("2.5", 2.5), (FloatKind(1.5), 1.5)])
def test_bin_values_set_after_validation_come_back_as_floats(value, expected):
    # They used to come back as the very object assigned, also inside batch results.
    age, city, prep = with_bin_values(value)
    results = [age.bin_numeric_attribute(None), age.bin_numeric_attribute(5), age.bin_numeric_attribute(-INF),
               city.bin_categoric_attribute("A"), city.bin_categoric_attribute("Z"),
               prep.apply_feature_bucketing("age", 15), prep.apply_feature_bucketing("city", "B"),
               *prep.apply_feature_bucketing_batch("age", [1.0, 15, None, -INF, 25.0]),
               *prep.apply_feature_bucketing_batch("city", ["A", "Z", None, "B"])]
    assert [(type(r), r) for r in results] == [(float, expected)] * len(results)


@pytest.mark.parametrize("value, error", [("abc", ValueError), (object(), TypeError), ([1.0], TypeError)])
def test_bin_values_that_float_refuses_raise_prefixed_in_the_registry(value, error):
    age, _, prep = with_bin_values(value, only_first_regular=True)
    assert age.bin_numeric_attribute(15) == 2.0
    with pytest.raises(error):
        age.bin_numeric_attribute(5)
    for call in [lambda: prep.apply_feature_bucketing("age", 5),
                 lambda: prep.apply_feature_bucketing_batch("age", [15.0, 5.0])]:
        with pytest.raises(error, match="^Binning attribute age: "):
            call()


def test_patched_and_subclassed_methods_are_honoured(monkeypatch):
    calls = []

    class Counting(FeatureBucketing):
        def bin_categoric_attribute(self, value):
            calls.append(value)
            return super().bin_categoric_attribute(value)

    prep = Prep(binning=[AGE, Counting(**CITY.model_dump())])
    assert prep.apply_feature_bucketing_batch("city", ["A", "Q"]) == [1.0, 5.0] and calls == ["A", "Q"]
    own = AGE.model_copy(deep=True)
    object.__setattr__(own, "bin_numeric_attribute", lambda v: -2.0)
    assert Prep(binning=[own]).apply_feature_bucketing_batch("age", [1]) == [-2.0]
    monkeypatch.setattr(FeatureBucketing, "bin_numeric_attribute", lambda self, v: -1.0)
    assert prep.apply_feature_bucketing_batch("age", [1, 2]) == [-1.0, -1.0]

    class Registry(Prep):
        def get_feature_bucketing(self, attribute):
            return AGE

    assert Registry().apply_feature_bucketing("anything", 1) == -1.0
    # A lookup set on the instance comes before the class's (it used to be passed over).
    monkeypatch.undo()
    prep = Prep(binning=[AGE])
    object.__setattr__(prep, "get_feature_bucketing", lambda attribute: CITY)
    assert prep.apply_feature_bucketing("age", "A") == 1.0
    assert prep.apply_feature_bucketing_batch("age", ["B"]) == [1.0]


# ---- batch against one call per element

RESERVED = ["0_default", "0_defined_default", "0_system_default", "1_null"]
EDGES = [-INF, -5.0, -1, 0, 0.5, 1, 2.5, 10, INF]
bin_value = st.one_of(st.none(), st.floats(-10, 10), st.integers(-3, 3))
names = st.sampled_from([None, None] + RESERVED)
numeric_bins = st.lists(st.tuples(st.sampled_from(EDGES + [None, math.nan]), st.sampled_from(EDGES),
                                  names, bin_value), max_size=8)
# Ascending disjoint intervals (the binary-search case) with special bins spread among them.
sorted_bins = st.tuples(st.sets(st.sampled_from(EDGES), max_size=8),
                        st.lists(st.tuples(st.sampled_from(RESERVED), bin_value), max_size=3),
                        st.randoms(use_true_random=False))
categories = st.lists(st.sampled_from(["a", "b", "c", "nan", "None", ""]), max_size=3)
categoric_bins = st.lists(st.tuples(st.one_of(st.none(), categories, categories), names, bin_value),
                          max_size=8)
numeric_values = st.lists(st.one_of(
    st.none(), st.floats(-20, 20), st.integers(-20, 20),
    st.sampled_from([math.nan, INF, -INF, 0.0, 10.0, -5.0, "nan", "2.5", " 10 ", "-inf", "abc"])),
    max_size=12)
categoric_values = st.lists(st.one_of(st.none(), st.sampled_from(
    ["a", "b", "c", "nan", "NaN", "z", "", "None"])), max_size=12)


def outcome(fn):
    with structlog.testing.capture_logs() as logs:
        try:
            return ("ok", fn()), logs
        except Exception as e:
            return ("error", type(e), str(e)), logs


def check_batch(prep, attribute, values):
    bucket = prep.get_feature_bucketing(attribute)
    method = (bucket.bin_numeric_attribute if bucket.attribute_data_type == "NUMERICAL"
              else bucket.bin_categoric_attribute)
    single, single_logs = outcome(lambda: [method(v) for v in values])
    batch, batch_logs = outcome(lambda: prep.apply_feature_bucketing_batch(attribute, values))
    assert batch_logs == single_logs
    if single[0] == "error":
        assert batch == ("error", single[1], f"Binning attribute {attribute}: {single[2]}")
    else:
        assert [repr(v) for v in batch[1]] == [repr(v) for v in single[1]]  # nan == nan, types


SETTINGS = settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@SETTINGS
@given(numeric_bins, numeric_values)
def test_numeric_batch_equals_single_calls(bins, values):
    records = [num_bin(i, low, high, value, name or f"b{i}")
               for i, (low, high, name, value) in enumerate(bins)]
    check_batch(Prep(binning=[bucketing("n", "NUMERICAL", records)]), "n", values)


@SETTINGS
@given(sorted_bins, numeric_values)
def test_sorted_numeric_batch_equals_single_calls(bins, values):
    edges, special, rnd = bins
    edges = sorted(edges)
    records = [num_bin(i + 2, low, high, float(i)) for i, (low, high) in enumerate(zip(edges, edges[1:]))]
    for k, (name, value) in enumerate(special):
        records.insert(rnd.randint(0, len(records)), num_bin(20 + k, -INF, INF, value, name))
    prep = Prep(binning=[bucketing("n", "NUMERICAL", records)])
    assert bucketing_probe.uses_binary_search(prep.binning[0])
    check_batch(prep, "n", values)


@SETTINGS
@given(categoric_bins, categoric_values, st.booleans())
def test_categoric_batch_equals_single_calls(bins, values, mixed):
    records = [cat_bin(i, cats, value, name) for i, (cats, name, value) in enumerate(bins)]
    if mixed:  # a numerical bin among categorical ones is skipped by the categorical scan
        records.insert(0, num_bin(99, -INF, INF, 42.0))
    check_batch(Prep(binning=[bucketing("c", "CATEGORICAL", records)]), "c", values)


# ---- Python code run while a batch is being built

@contextlib.contextmanager
def log_processor(processor):
    """Log events pass through `processor` (which may change records) while the block runs."""
    saved = structlog.get_config()
    structlog.configure(processors=[processor, structlog.processors.KeyValueRenderer()],
                        logger_factory=structlog.ReturnLoggerFactory())
    try:
        yield
    finally:
        structlog.configure(**saved)


def test_batch_result_is_not_reachable_while_half_built():
    # A log processor that walks every list the collector knows of must not meet the result list
    # with its slots still empty (that read crashed the interpreter).
    seen = []

    def walk_lists(logger, method, event):
        seen.append(sum(len([x for x in o]) for o in gc.get_objects() if type(o) is list))
        return event

    prep = Prep(binning=[bucketing("n", "NUMERICAL", [num_bin(2, 0, 10, 1.0),
                                                      num_bin(0, None, None, 9.0, "0_default")])])
    with log_processor(walk_lists):
        assert prep.apply_feature_bucketing_batch("n", [100.0, 5.0, 200.0, 5.0]) == [9.0, 1.0, 9.0, 1.0]
    assert len(seen) == 2



def numeric_ages():
    return bucketing("age", "NUMERICAL", [num_bin(1, None, None, 0.0, "1_null"), num_bin(2, 0, 10, 1.0),
                                          num_bin(3, 10, 20, 2.0), num_bin(0, None, None, 9.0, "0_default")])


def categoric_cities():
    return bucketing("city", "CATEGORICAL", [cat_bin(2, ["A"], 1.0), cat_bin(3, ["B", "C"], 2.0),
                                             cat_bin(0, None, 9.0, "0_default")])


def first_bin_value_changed(b):
    b.feature_bucketing[0].value = 5.0


def numeric_bin_widened(b):
    b.feature_bucketing[1].upper_bound = 200.0


def category_added(b):
    b.feature_bucketing[0].categories.append("Z")


def bins_dropped(b):
    b.feature_bucketing.pop(0)


def list_replaced(b):
    object.__setattr__(b, "feature_bucketing", list(reversed(b.feature_bucketing)))


def method_patched(b):
    FeatureBucketing.bin_numeric_attribute = FeatureBucketing.bin_categoric_attribute = lambda self, v: -1.0


NUMERIC_VALUES = [5.0, 99.0, 5.0, 15, 99.0, 150.0, None]
CATEGORIC_VALUES = ["Z", "A", "Z", "B", None, "Q", "Z"]


@pytest.mark.parametrize("make, values, change", [
    *[(numeric_ages, NUMERIC_VALUES, change) for change in
      [first_bin_value_changed, numeric_bin_widened, bins_dropped, list_replaced, method_patched]],
    *[(categoric_cities, CATEGORIC_VALUES, change) for change in
      [first_bin_value_changed, category_added, bins_dropped, list_replaced, method_patched]],
])
def test_batch_sees_changes_made_by_its_own_log_events(make, values, change):
    # A log processor that changes the bucketing: the batch answers each element as a call per
    # element would, seeing every change made before it (a snapshot of the bins used to hide them).
    own = FeatureBucketing.bin_numeric_attribute, FeatureBucketing.bin_categoric_attribute
    results = []
    for batch in (False, True):
        b = make()
        method = b.bin_numeric_attribute if values is NUMERIC_VALUES else b.bin_categoric_attribute
        try:
            with log_processor(lambda logger, name, event: (change(b), event)[1]):
                results.append(Prep(binning=[b]).apply_feature_bucketing_batch(b.attribute, values)
                               if batch else [getattr(b, method.__name__)(v) for v in values])
        finally:
            FeatureBucketing.bin_numeric_attribute, FeatureBucketing.bin_categoric_attribute = own
    assert results[1] == results[0]


def test_batch_sees_changes_made_when_an_element_it_dropped_is_freed():
    b = numeric_ages()
    values = []

    class Dropped(float):
        def __float__(self):  # converted through Python: leaves the list it is being read from
            values[0] = 1.0
            return 5.0

        def __del__(self):
            b.feature_bucketing[1].value = 7.0

    values[:] = [Dropped(5.0), 5.0]
    assert Prep(binning=[b]).apply_feature_bucketing_batch("age", values) == [1.0, 7.0]


@pytest.mark.parametrize("spoil", [
    lambda b: b.feature_bucketing.insert(1, object()),  # no bin at all: read only when reached
    lambda b: b.feature_bucketing[2].__dict__.pop("value"),  # a field to read as an attribute
    lambda b: object.__setattr__(b.feature_bucketing[1], "name", type("Name", (str,), {})("x")),
])
def test_batch_over_unusual_bins_fails_and_succeeds_as_calls_per_element(spoil):
    values = [5.0, 15.0, 99.0]
    results = []
    for batch in (False, True):
        b = numeric_ages()
        spoil(b)
        prep = Prep(binning=[b])
        outcomes = []
        for v in values:
            try:
                outcomes.append(prep.apply_feature_bucketing_batch("age", [v]) if batch
                                else [prep.apply_feature_bucketing("age", v)])
            except Exception as e:
                outcomes.append((type(e), str(e)))
        results.append(outcomes)
    assert results[1] == results[0]


# ---- dummy encoding

def items(*specs):
    return [{"value": v, "encoded_feature_name": n, "use_for_undefined": u} for v, n, u in specs]


XYZ = items(("A", "x_A", False), ("B", "x_B", False), ("Z", "x_Z", True))
INFO = "Dummy encoding for value '{}' of attribute 'g' is not defined. Default value '{}' was assigned with 1."
WARNING = ("Dummy encoding for value '{}' of attribute 'g' is not defined and no default value was "
           "assigned. All dummies for given attribute are assigned with 0.")


@pytest.mark.parametrize("encoding, value, expected, logs", [
    (XYZ, "B", {"x_A": 0, "x_B": 1, "x_Z": 0}, []),
    (XYZ, "Q", {"x_A": 0, "x_B": 0, "x_Z": 1}, [("info", INFO.format("Q", "x_Z"))]),
    ([], 3.5, {}, [("warning", WARNING.format(3.5))]),
    (items((1.0, "one", False)), 1, {"one": 1}, []),
    (items((1, "one", False), (2, "two", True)), "1", {"one": 0, "two": 1},
     [("info", INFO.format("1", "two"))]),
    (items(("a", "f1", False), ("a", "f2", False)), "a", {"f1": 1, "f2": 1}, []),
    (items(("a", "d1", True), ("b", "d2", True)), "c", {"d1": 0, "d2": 1}, [("info", INFO.format("c", "d2"))]),
    # Several items of one feature: a match is not undone by a later item of the same name.
    (items(("a", "ab", False), ("b", "ab", False), ("c", "o", False)), "a", {"ab": 1, "o": 0}, []),
    (items(("a", "ab", False), ("b", "ab", False)), "b", {"ab": 1}, []),
])
def test_apply_dummy_encoding(encoding, value, expected, logs):
    prep = Prep(dummy_encoding=[{"attribute": "g", "encoding": encoding},
                                {"attribute": "g", "encoding": items((value, "unused", False))}])
    with structlog.testing.capture_logs() as logged:
        result = prep.apply_dummy_encoding("g", value)
        assert prep.apply_dummy_encoding("h", value) is None
    assert result == expected and list(result) == list(expected)
    assert [(e["log_level"], e["event"]) for e in logged] == logs + [
        ("warning", "No dummy encoding for h was found.")]


def test_encoding_is_read_after_the_attribute_comparison_ran():
    # Python reads `entry.encoding` after `entry.attribute == attribute` ran; a comparison that
    # replaces the entry's fields must not leave the old encoding in use.
    prep = Prep(dummy_encoding=[{"attribute": "g", "encoding": items(("a", "old", False))}])
    entry = prep.dummy_encoding[0]
    other = Prep(dummy_encoding=[{"attribute": "g", "encoding": items(("a", "new", False))}])
    replacement = dict(entry.__dict__, encoding=other.dummy_encoding[0].encoding)

    class Replacing(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            object.__setattr__(entry, "__dict__", replacement)
            return str.__eq__(self, other)

    entry.__dict__["attribute"] = Replacing("g")
    assert prep.apply_dummy_encoding("g", "a") == {"new": 1}


def test_created_feature_cannot_be_named_as_the_attribute():
    with pytest.raises(pydantic.ValidationError, match=(
            "Features created by dummy encoding in predictive model cannot be named the same as "
            "feature that is being encoded. This rule is broken for feature 'g'")):
        PredictiveModelDummyEncoding(attribute="g", encoding=items(("a", "x", 0), ("b", "g", 0)))


# ---- view

async def test_view_shows_binning_and_transformations_only():
    prep = Prep(transformations=[{"attribute": "a", "transformation": "a+1"}], binning=[CITY],
                dummy_encoding=[{"attribute": "g", "encoding": XYZ}])

    @strawberry.type
    class Query:
        @strawberry.field
        def prep(self) -> FeaturePreparationType:
            return prep

    result = await strawberry.Schema(query=Query).execute(
        "{ prep { binning { attribute featureBucketing { ... on AttributeBinCategoricalType "
        "{ name categories } } } transformations { attribute transformation } } }")
    assert result.errors is None
    assert result.data == {"prep": {
        "binning": [{"attribute": "city", "featureBucketing": [
            {"name": "2_{A,B}", "categories": ["A", "B"]},
            {"name": "0_system_default", "categories": None}]}],
        "transformations": [{"attribute": "a", "transformation": "a+1"}]}}
    assert sorted(f.name for f in FeaturePreparationType.__strawberry_definition__.fields) == [
        "binning", "transformations"]


def python_dummy(encoding, attribute, value):
    """The encoding rule written plainly, with the events it logs."""
    result, found, default, events = {}, False, None, []
    for item in encoding:
        if item.use_for_undefined:
            default = item.encoded_feature_name
        if value == item.value:
            result[item.encoded_feature_name] = 1
            found = True
        else:
            result.setdefault(item.encoded_feature_name, 0)
    if not found:
        if default:
            result[default] = 1
            events.append(("info", f"Dummy encoding for value '{value}' of attribute '{attribute}' is not defined. "
                                   f"Default value '{default}' was assigned with 1."))
        else:
            events.append(("warning", f"Dummy encoding for value '{value}' of attribute '{attribute}' is not "
                                      "defined and no default value was assigned. All dummies for given attribute "
                                      "are assigned with 0."))
    return result, events


class Shouting(str):
    """A feature name of a str subclass."""


class AnyEqual:
    def __eq__(self, other):
        return other == "b"

    __hash__ = object.__hash__


SCALARS = ["a", "b", "", 1, 1.0, 2, True, 0.5]
MUTATIONS = [
    lambda items: setattr(items[0], "encoded_feature_name", "renamed"),
    lambda items: setattr(items[-1], "encoded_feature_name", items[0].encoded_feature_name),
    lambda items: setattr(items[0], "use_for_undefined", not items[0].use_for_undefined),
    lambda items: setattr(items[0], "use_for_undefined", 1),
    lambda items: setattr(items[0], "value", "b"),
    lambda items: setattr(items[0], "value", AnyEqual()),
    lambda items: setattr(items[0], "encoded_feature_name", Shouting("loud")),
    lambda items: items.append(PredictiveModelDummyEncoding.model_fields["encoding"].annotation.__args__[0](
        value="a", encoded_feature_name="late", use_for_undefined=True)),
    lambda items: items.reverse(),
    lambda items: items.pop(),
    lambda items: items.__delitem__(slice(None)),
    lambda items: items[0].__dict__.pop("use_for_undefined"),
]


@settings(max_examples=60, deadline=None)
@given(st.lists(st.tuples(st.sampled_from(SCALARS), st.sampled_from(["f1", "f2", "f3", "g_x"]), st.booleans()),
                min_size=1, max_size=6),
       st.lists(st.sampled_from(SCALARS + [math.nan, None, "zz"]), min_size=1, max_size=4),
       st.lists(st.sampled_from(range(len(MUTATIONS))), max_size=3))
def test_dummy_encoding_agrees_with_the_rule_while_the_items_change(specs, values, mutations):
    prep = Prep(dummy_encoding=[{"attribute": "g", "encoding": items(*specs)}])
    encoding = prep.dummy_encoding[0].encoding
    for step in [None, *mutations]:
        if step is not None and encoding:
            try:
                MUTATIONS[step](encoding)
            except (AttributeError, IndexError, KeyError, pydantic.ValidationError):  # not applicable twice
                continue
        for value in values:
            try:
                expected = python_dummy(encoding, "g", value)
            except AttributeError as e:
                expected = (AttributeError, str(e))
            with structlog.testing.capture_logs() as logged:
                try:
                    result = prep.apply_dummy_encoding("g", value)
                    got = (result, [(e["log_level"], e["event"]) for e in logged])
                except AttributeError as e:
                    got = (AttributeError, str(e))
            assert got == expected
            if isinstance(got[0], dict):
                assert list(got[0]) == list(expected[0])


class Noted:
    """A value whose text is Python code of its own, counted."""

    calls = 0

    def __str__(self):
        Noted.calls += 1
        return "noted"


@pytest.mark.parametrize("minimum", ["DEBUG", "WARNING", "ERROR"])
def test_dummy_encoding_under_structlog_s_filtering_logger(minimum):
    import logging

    level = getattr(logging, minimum)
    prep = Prep(dummy_encoding=[{"attribute": "g", "encoding": XYZ}, {"attribute": "n", "encoding": []}])
    saved = structlog.get_config()
    capture = structlog.testing.LogCapture()
    structlog.configure(wrapper_class=structlog.make_filtering_bound_logger(level), processors=[capture])
    try:
        Noted.calls = 0
        results = [prep.apply_dummy_encoding("g", "Q"), prep.apply_dummy_encoding("n", 2.5),
                   prep.apply_dummy_encoding("h", "Q"), prep.apply_dummy_encoding("g", Noted())]
        assert Noted.calls == 1  # built although the logger may drop it
    finally:
        structlog.configure(**saved)
    assert results == [{"x_A": 0, "x_B": 0, "x_Z": 1}, {}, None, {"x_A": 0, "x_B": 0, "x_Z": 1}]
    expected = [("info", INFO.format("Q", "x_Z")), ("warning", WARNING.replace("'g'", "'n'").format(2.5)),
                ("warning", "No dummy encoding for h was found."), ("info", INFO.format("noted", "x_Z"))]
    assert [(e["log_level"], e["event"]) for e in capture.entries] == [
        e for e in expected if getattr(logging, e[0].upper()) >= level]


def test_dummy_encoding_uses_the_current_logger(monkeypatch):
    from quorvex_analytics_utils.predictive_models.feature_preparation import feature_preparation as fp

    calls = []

    class Recorder:
        def info(self, event):
            calls.append(event)

    prep = Prep(dummy_encoding=[{"attribute": "g", "encoding": XYZ}])
    prep.apply_dummy_encoding("g", "Q")
    monkeypatch.setattr(fp, "logger", Recorder())
    prep.apply_dummy_encoding("g", "Q")
    assert calls == [INFO.format("Q", "x_Z")]
