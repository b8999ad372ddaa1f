import copy
import decimal
import fractions
import math

import pydantic
import pytest
import strawberry
import structlog
from hypothesis import given, settings
from hypothesis import strategies as st

from quorvex_analytics_utils.predictive_models.feature_preparation import feature_bucketing as fb
from quorvex_analytics_utils.predictive_models.feature_preparation.feature_bucketing import (
    AbstractAttributeBin,
    AttributeBinCategorical,
    AttributeBinNumerical,
    AttributeDataType,
    FeatureBucketing,
    PredictiveModelBinName,
)

INF = math.inf
fmt = AttributeBinNumerical._get_number_formatting


def message(attribute, value):
    return (
        "Predictive model hit default value when processing binning of attribute "
        f"'{attribute}' with value '{value}'."
    )


def num(id, lower=None, upper=None, value=None, name=None):
    fields = dict(id=id, lower_bound=lower, upper_bound=upper, value=value)
    if name is not None:
        fields["name"] = name
    return AttributeBinNumerical(**fields)


def cat(id, categories=None, value=None, name=None):
    return AttributeBinCategorical(id=id, categories=categories, value=value, name=name)


def bucketing(*bins, attribute="AGE", data_type="NUMERICAL"):
    return FeatureBucketing(attribute=attribute, attribute_data_type=data_type, feature_bucketing=list(bins))


# ---- module content


def test_module_names_in_order():
    public = [n for n in vars(fb) if not n.startswith("__")]
    assert public == [
        "List", "Optional", "Union", "Any", "Literal", "cast", "get_args", "get_origin",
        "Annotated", "structlog", "strawberry", "math", "Field", "ABC", "Enum", "RecordBase",
        "logger", "AttributeDataType", "PredictiveModelBinName", "AbstractAttributeBin",
        "AttributeBinCategorical", "AttributeBinNumerical", "AttributeBin",
        "AbstractAttributeBinType", "AttributeBinCategoricalType", "AttributeBinNumericalType",
        "FeatureBucketing", "FeatureBucketingType",
    ]


def test_enumerations():
    assert [(m.name, m.value) for m in AttributeDataType] == [
        ("CATEGORICAL", "CATEGORICAL"), ("NUMERICAL", "NUMERICAL")]
    assert [(m.name, m.value) for m in PredictiveModelBinName] == [
        ("DEFAULT", "0_default"), ("DEFINED_DEFAULT", "0_defined_default"),
        ("SYSTEM_DEFAULT", "0_system_default"), ("NULL", "1_null")]
    assert AttributeDataType.NUMERICAL == "NUMERICAL"
    assert num(1, name="0_system_default").name == PredictiveModelBinName.SYSTEM_DEFAULT
    assert hasattr(AttributeDataType, "__strawberry_definition__") or hasattr(
        AttributeDataType, "_enum_definition")
    assert not hasattr(PredictiveModelBinName, "__strawberry_definition__") and not hasattr(
        PredictiveModelBinName, "_enum_definition")


def test_record_classes():
    assert FeatureBucketing.__doc__ == "Class to store binning of the attributes."
    assert issubclass(AttributeBinNumerical, AbstractAttributeBin)
    assert list(AbstractAttributeBin.model_fields) == ["name", "value", "frequency", "target_rate", "id"]
    assert list(num(1, 0, 1).model_dump()) == [
        "name", "value", "frequency", "target_rate", "id", "type", "lower_bound", "upper_bound"]
    assert list(cat(1, ["a"]).model_dump()) == [
        "name", "value", "frequency", "target_rate", "id", "type", "categories"]
    assert list(bucketing().model_dump()) == [
        "attribute", "attribute_data_type", "feature_bucketing", "binned_attribute_name"]
    a, b = bucketing(), bucketing()
    a.feature_bucketing.append(num(1, name="x"))
    assert b.feature_bucketing == []
    with pytest.raises(pydantic.ValidationError):
        num(1, name="x", value=1).model_validate({"name": "x", "id": 1, "extra": 2})


# ---- bound formatting


@pytest.mark.parametrize(
    "number, text",
    [
        (-INF, "-inf"), (INF, "inf"), (3.0, "3"), (-2.0, "-2"), (0.0, "0"), (-0.0, "0"),
        (1e3, "1000"), (0.5, "0.500"), (0.011, "0.011"), (12.3456, "12.346"), (0.01, "1.00E-02"),
        (0.005, "5.00E-03"), (-0.25, "-2.50E-01"), (-7.5, "-7.50E+00"), (1e-7, "1.00E-07"),
        (math.nan, "NAN"), (-math.nan, "NAN"), (0.0625, "0.062"), (0.0105, "0.011"), (2.0625, "2.062"),
        (1e300, str(int(1e300))), (-(2.0**63), "-9223372036854775808"), (2.0**53 + 2, "9007199254740994"),
        (1.7976931348623157e308, str(int(1.7976931348623157e308))), (4503599627370495.5, "4503599627370495.500"),
        (10, "10"), (-3, "-3"), (10**40, "1" + "0" * 40), (True, "1"),
        (fractions.Fraction(1, 2), "0.500"), (fractions.Fraction(-1, 4), "-2.50E-01"), (fractions.Fraction(7), "7"),
        (decimal.Decimal("-inf"), "-inf"),
    ],
)
def test_bound_formatting(number, text):
    assert fmt(number) == text
    assert fmt(number=number) == text


def python_rule(number):
    if number == -math.inf:
        return "-inf"
    if number == math.inf:
        return "inf"
    if number.is_integer():
        return str(int(number))
    if number * 100 > 1:
        return "{:.3f}".format(number)
    return "{:.2E}".format(number)


@settings(max_examples=200)
@given(st.floats() | st.floats(min_value=-1e3, max_value=1e3) | st.floats(min_value=-1, max_value=1))
def test_bound_formatting_matches_the_python_rule(number):
    assert fmt(number) == python_rule(number)


@pytest.mark.parametrize("number", ["0.5", decimal.Decimal("0.5"), None])
def test_bound_formatting_without_is_integer_fails(number):
    with pytest.raises(AttributeError, match="is_integer"):
        fmt(number)


# ---- naming and type rules


@pytest.mark.parametrize(
    "cls, fields, name",
    [
        (AttributeBinNumerical, dict(id=2, lower_bound=-INF, upper_bound=0.5), "2_(-inf;0.500)"),
        (AttributeBinNumerical, dict(id=1, lower_bound=0.25, upper_bound=INF), "1_(0.250;inf)"),
        (AttributeBinNumerical, dict(id=3, lower_bound=10, upper_bound=20), "3_(10;20)"),
        (AttributeBinNumerical, dict(id=5, lower_bound=0.001, upper_bound=0.01), "5_(1.00E-03;1.00E-02)"),
        (AttributeBinCategorical, dict(id=4, categories=["A", "B"]), "4_{A,B}"),
        (AttributeBinCategorical, dict(id=4, categories=[f"cat{i:02d}" for i in range(12)]),
         "4_{cat00,cat01,cat02,cat03,cat04,cat05,cat06,cat07...}"),
        (AttributeBinCategorical, dict(id=4), "4_{None}"),
        (AttributeBinCategorical, dict(id=4, categories=[]), "4_{}"),
        (AttributeBinCategorical, dict(id=4, categories=["x" * 50]), "4_{" + "x" * 50 + "}"),
        (AttributeBinCategorical, dict(id=4, categories=["x" * 51]), "4_{" + "x" * 47 + "...}"),
        (AttributeBinCategorical, dict(id=4, categories=["é" * 60]), "4_{" + "é" * 47 + "...}"),
    ],
)
def test_generated_names(cls, fields, name):
    assert cls(**fields).name == name
    if cls is AttributeBinCategorical:
        assert cls(name=None, **fields).name == name
    # The same rules run when a containing record is validated from a mapping.
    data = {"attribute": "A", "attribute_data_type": "NUMERICAL",
            "feature_bucketing": [dict(fields, type=cls.model_fields["type"].annotation.__args__[0].value)]}
    original = copy.deepcopy(data)
    assert FeatureBucketing.model_validate(data).feature_bucketing[0].name == name
    assert data == original


def test_rules_apply_to_any_mapping_and_to_subclasses():
    from types import MappingProxyType

    assert AttributeBinNumerical.model_validate(
        MappingProxyType({"id": 1, "lower_bound": 0, "upper_bound": 1})).name == "1_(0;1)"

    class Bracketed(AttributeBinNumerical):
        @staticmethod
        def _get_number_formatting(number):
            return f"<{number}>"

    b = Bracketed(id=1, lower_bound=0, upper_bound=1, type="CATEGORICAL")
    assert (b.name, b.type) == ("1_(<0>;<1>)", AttributeDataType.NUMERICAL)


@settings(max_examples=150)
@given(st.integers() | st.booleans(),
       st.floats(allow_nan=False) | st.integers(-(10**30), 10**30),
       st.floats(allow_nan=False) | st.integers(-(10**30), 10**30))
def test_numerical_names_follow_the_python_rule_for_any_numbers(id, lower, upper):
    expected = f"{id}_({python_rule(lower)};{python_rule(upper)})"
    assert AttributeBinNumerical.model_validate({"id": id, "lower_bound": lower, "upper_bound": upper}).name == expected


def test_a_patched_bound_formatting_names_the_bins(monkeypatch):
    assert num(1, 0.5, INF).name == "1_(0.500;inf)"
    monkeypatch.setattr(AttributeBinNumerical, "_get_number_formatting", staticmethod(lambda number: f"<{number}>"))
    assert num(1, 0.5, INF).name == "1_(<0.5>;<inf>)"


def test_the_type_rule_follows_changes_of_the_class_fields():
    from typing import Literal

    from pydantic.fields import FieldInfo

    class Tagged(AttributeBinNumerical):
        type: Literal["a", "b"]

    class Other(AttributeBinNumerical):
        type: Literal["b", "a"]

    assert [Tagged(id=1, name="x").type, Other(id=1, name="x").type, Tagged(id=1, name="x").type] == ["a", "b", "a"]
    # the class's field table replaced: the rule reads the new one
    Tagged.__pydantic_fields__ = {**Tagged.__pydantic_fields__, "type": FieldInfo(annotation=Literal["b", "a"])}
    assert Tagged(id=1, name="x").type == "b"
    Tagged.__pydantic_fields__ = {k: v for k, v in Tagged.__pydantic_fields__.items() if k != "type"}
    with pytest.raises(pydantic.ValidationError, match="type"):
        Tagged(id=1, name="x")


def test_given_names_are_kept():
    assert num(1, 0.0, 1.0, name="mine").name == "mine"
    assert cat(1, ["a"], name="mine").name == "mine"


@pytest.mark.parametrize(
    "fields",
    [dict(id=1, lower_bound=0.5), dict(id=1, upper_bound=0.5), dict(id=1, lower_bound=None, upper_bound=1.0),
     dict(id=1, name=None, lower_bound=0.0, upper_bound=1.0)],
)
def test_numerical_bin_without_usable_name_is_invalid(fields):
    with pytest.raises(pydantic.ValidationError, match="name"):
        AttributeBinNumerical(**fields)


@pytest.mark.parametrize(
    "cls, fields",
    [(AttributeBinNumerical, dict(lower_bound=0.0, upper_bound=1.0)), (AttributeBinCategorical, dict(categories=["a"]))],
)
def test_generated_name_needs_an_id(cls, fields):
    with pytest.raises(KeyError, match="id"):
        cls(**fields)


def test_type_rule():
    fields = {"id": 1, "lower_bound": 0, "upper_bound": 1, "type": "CATEGORICAL"}
    b = AttributeBinNumerical(**fields)
    assert b.type is AttributeDataType.NUMERICAL
    assert fields["type"] == "CATEGORICAL"
    assert AttributeBinCategorical(id=1, type="NUMERICAL").type is AttributeDataType.CATEGORICAL
    plain = AbstractAttributeBin(name="x", id=1)
    assert "type" not in plain.model_dump()
    with pytest.raises(pydantic.ValidationError):
        AbstractAttributeBin(name="x", id=1, type="NUMERICAL")  # no such field: extra input rejected


@pytest.mark.parametrize("tag", [None, "OTHER", "numerical"])
def test_union_needs_a_valid_tag(tag):
    entry = {"id": 1, "lower_bound": 0.0, "upper_bound": 1.0}
    if tag is not None:
        entry["type"] = tag
    with pytest.raises(pydantic.ValidationError):
        FeatureBucketing.model_validate(
            {"attribute": "A", "attribute_data_type": "NUMERICAL", "feature_bucketing": [entry]})


def test_union_picks_the_variant():
    b = FeatureBucketing.model_validate({
        "attribute": "A", "attribute_data_type": "CATEGORICAL",
        "feature_bucketing": [{"type": "NUMERICAL", "id": 1, "lower_bound": 0, "upper_bound": 1},
                              {"type": "CATEGORICAL", "id": 2, "categories": ["x"]}]})
    assert [type(x) for x in b.feature_bucketing] == [AttributeBinNumerical, AttributeBinCategorical]
    assert [x.name for x in b.feature_bucketing] == ["1_(0;1)", "2_{x}"]


def test_bound_text_fails_when_a_name_is_generated():
    with pytest.raises(AttributeError):
        AttributeBinNumerical(id=1, lower_bound="0.5", upper_bound=1.0)


# ---- bucketing


@pytest.fixture
def ages():
    return bucketing(
        num(0, name="1_null", value=0.0),
        num(1, -INF, 10, 1.0), num(2, 10, 20, 2.0), num(3, 20, INF, 3.0),
        num(9, name="0_default", value=9.0),
    )


@pytest.mark.parametrize(
    "value, result, logged",
    [
        (None, 0.0, None), (math.nan, 0.0, None), ("nan", 0.0, None), (10, 1.0, None),
        (10.000001, 2.0, None), (INF, 3.0, None), (-INF, 9.0, "-inf"), ("15", 2.0, None),
        (decimal.Decimal("20"), 2.0, None), (True, 1.0, None),
    ],
)
def test_bin_numeric(ages, value, result, logged):
    with structlog.testing.capture_logs() as logs:
        assert ages.bin_numeric_attribute(value) == result
        assert ages.bin_numeric_attribute(value=value) == result
    expected = [] if logged is None else [{"event": message("AGE", logged), "log_level": "warning"}] * 2
    assert logs == expected


@pytest.mark.parametrize(
    "bins, value, result, events",
    [
        # without a null bin a missing value falls through to the default
        ([num(1, 0, 1, 1.0), num(9, name="0_default", value=9.0)], None, 9.0, [("warning", "nan")]),
        # overlapping bins: the first in list order wins
        ([num(1, 0, 10, 1.0), num(2, 5, 15, 2.0)], 7, 1.0, []),
        # a fallback bin with bounds never takes part in the range test
        ([num(9, 0, 10, 9.0, name="0_default"), num(1, 5, 15, 1.0)], 3, 9.0, [("warning", "3.0")]),
        # position decides among the fallback names; the defined default only logs at debug level
        ([num(8, name="0_defined_default", value=8.0), num(9, name="0_default", value=9.0)], 99, 8.0,
         [("debug", "99.0")]),
        ([num(7, name="0_system_default", value=7.0), num(8, name="0_defined_default", value=8.0)], 99, 7.0,
         [("warning", "99.0")]),
        # no fallback: None, nothing logged
        ([num(1, 0, 1, 1.0)], 5, None, []),
        # the null bin may be of either variant; categorical bins take no part in the range test
        ([cat(0, name="1_null", value=4.0), cat(1, ["1"], 1.0)], math.nan, 4.0, []),
        ([cat(1, ["5"], 1.0), num(9, name="0_default", value=9.0)], 5, 9.0, [("warning", "5.0")]),
        # the chosen bin's value None gives None
        ([num(1, 0, 10)], 5, None, []),
        # an integer value is handed back as a float
        ([num(1, 0, 10, 3)], 5, 3.0, []),
    ],
)
def test_bin_numeric_rules(bins, value, result, events):
    b = bucketing(*bins)
    with structlog.testing.capture_logs() as logs:
        got = b.bin_numeric_attribute(value)
    assert got == result and type(got) is type(result)
    assert [(e["log_level"], e["event"]) for e in logs] == [(lvl, message("AGE", v)) for lvl, v in events]


@pytest.fixture
def cities():
    return bucketing(cat(1, ["A", "B"], 1.0), cat(5, name="0_system_default", value=5.0),
                     attribute="CITY", data_type="CATEGORICAL")


@pytest.mark.parametrize(
    "value, result, logged",
    [("A", 1.0, None), ("B", 1.0, None), ("C", 5.0, "C"), (None, 5.0, "None"), ("nan", 5.0, "nan"),
     ("a", 5.0, "a"), ("NaN", 5.0, "NaN"), ("", 5.0, "")],
)
def test_bin_categoric(cities, value, result, logged):
    with structlog.testing.capture_logs() as logs:
        assert cities.bin_categoric_attribute(value) == result
    expected = [] if logged is None else [{"event": message("CITY", logged), "log_level": "warning"}]
    assert logs == expected


def test_bin_categoric_null_and_order():
    b = bucketing(cat(0, name="1_null", value=0.0), num(1, 0, 1, 7.0), cat(2, ["A"], 2.0), cat(3, ["A"], 3.0),
                  cat(4, ["X"], 4.0, name="0_default"))
    with structlog.testing.capture_logs() as logs:
        assert [b.bin_categoric_attribute(v) for v in (None, "nan", "A", "X")] == [0.0, 0.0, 2.0, 4.0]
    assert [e["event"] for e in logs] == [message("AGE", "X")]


class Text(str):
    """A str subclass: equal to the same text, but no exact str."""


class SubCategorical(AttributeBinCategorical):
    pass


RESERVED_NAMES = ["1_null", "0_default", "0_system_default", "0_defined_default"]


def reference_categoric(record, value):
    """The categorical rules stated plainly: the result, or the error raised, and the log events."""
    with structlog.testing.capture_logs() as logs:
        try:
            bins = record.feature_bucketing
            found = None
            if value is None or value == "nan":
                found = next((b for b in bins if b.name == "1_null"), None)
            else:
                found = next((b for b in bins if isinstance(b, AttributeBinCategorical)
                              and b.name not in RESERVED_NAMES and value in b.categories), None)
            if found is None:
                found = next((b for b in bins if b.name in RESERVED_NAMES[1:]), None)
                if found is not None:
                    level = "debug" if found.name == "0_defined_default" else "warning"
                    getattr(structlog.get_logger(), level)(message(record.attribute, value))
            outcome = None if found is None else found.value
        except Exception as e:
            outcome = (type(e), str(e))
    return outcome, [(e["event"], e["log_level"]) for e in logs]


def native_categoric(record, value):
    with structlog.testing.capture_logs() as logs:
        try:
            outcome = record.bin_categoric_attribute(value)
        except Exception as e:
            outcome = (type(e), str(e))
    return outcome, [(e["event"], e["log_level"]) for e in logs]


@st.composite
def unusual_categorical_bins(draw):
    """Bins whose fields the fast scan reads directly, mixed with every kind it must hand over."""
    bins = []
    for i in range(draw(st.integers(0, 7))):
        kind = draw(st.sampled_from(["plain"] * 4 + ["numerical", "subclass", "tuple", "text_item",
                                                      "text_name", "moved", "no_categories"]))
        name = draw(st.sampled_from(RESERVED_NAMES + [None] * 4))
        cats = draw(st.lists(st.sampled_from(["a", "b", "c", "nan", "é"]), max_size=3))
        cls = SubCategorical if kind == "subclass" else AttributeBinCategorical
        if kind == "numerical":
            b = num(i, 0, 1, float(i), name=name)
        else:
            b = cls(id=i, name=name, categories=cats if name is None else None, value=float(i))
        if kind in ("tuple", "text_item", "no_categories") and name is None:
            changed = {"tuple": tuple(cats), "text_item": [Text(c) for c in cats], "no_categories": None}
            object.__setattr__(b, "categories", changed[kind])
        elif kind == "text_name":
            object.__setattr__(b, "name", Text(b.name))
        elif kind == "moved":
            fields = b.__dict__
            for key in ("categories", "name") if "categories" in fields else ("name",):
                fields[key] = fields.pop(key)
        bins.append(b)
    return bins


@settings(max_examples=200, deadline=None)
@given(unusual_categorical_bins(), st.sampled_from([None, "a", "b", "c", "nan", "é", "z", ""]))
def test_categoric_calls_follow_the_rules_over_unusual_bins(bins, value):
    record = bucketing(*bins, attribute="C", data_type="CATEGORICAL")
    assert native_categoric(record, value) == reference_categoric(record, value)


def test_fallback_uses_the_current_logger(ages, monkeypatch):
    calls = []

    class Recorder:
        def warning(self, *args, **kwargs):
            calls.append(("warning", args, kwargs))

    monkeypatch.setattr(fb, "logger", Recorder())
    ages.bin_numeric_attribute(-INF)
    assert calls == [("warning", (message("AGE", "-inf"),), {})]


def test_logger_errors_propagate(ages, monkeypatch):
    class Broken:
        def warning(self, event):
            raise RuntimeError("log down")

    monkeypatch.setattr(fb, "logger", Broken())
    with pytest.raises(RuntimeError, match="log down"):
        ages.bin_numeric_attribute(-INF)


class Formatted(str):
    """An attribute name whose formatting is Python code of its own, counted."""

    calls = 0

    def __format__(self, format_spec):
        Formatted.calls += 1
        return str.__format__(self, format_spec)


@pytest.mark.parametrize("minimum, reaches", [("WARNING", True), ("ERROR", False)])
def test_fallback_under_structlog_s_filtering_logger(ages, minimum, reaches):
    import logging

    saved = structlog.get_config()
    capture = structlog.testing.LogCapture()
    structlog.configure(wrapper_class=structlog.make_filtering_bound_logger(getattr(logging, minimum)),
                        processors=[capture])
    try:
        assert [ages.bin_numeric_attribute(-INF), ages.bin_numeric_attribute(5)] == [9.0, 1.0]
        # a message whose building runs Python code is still built, even for a logger that drops it
        ages.attribute, Formatted.calls = Formatted("AGE"), 0
        ages.bin_numeric_attribute(-INF)
        assert Formatted.calls == 1
    finally:
        structlog.configure(**saved)
    assert [e["event"] for e in capture.entries] == (
        [message("AGE", "-inf"), message("AGE", "-inf")] if reaches else [])


# ---- bad input



@pytest.mark.parametrize("value, given", [(1, "int"), (1.5, "float"), (Text("A"), "Text"), (b"A", "bytes")])
def test_categorical_value_must_be_exact_text(cities, value, given):
    with structlog.testing.capture_logs() as logs, pytest.raises(TypeError) as info:
        cities.bin_categoric_attribute(value)
    assert str(info.value) == f"Argument 'value' has incorrect type (expected str, got {given})"
    assert logs == []


@pytest.mark.parametrize("value, error", [("abc", ValueError), (object(), TypeError), ([1], TypeError)])
def test_numerical_value_float_refuses(ages, value, error):
    with structlog.testing.capture_logs() as logs, pytest.raises(error):
        ages.bin_numeric_attribute(value)
    assert logs == []


def test_regular_bin_with_missing_bound_fails_when_reached():
    b = bucketing(num(1, 0, 10, 1.0), num(2, None, 20, 2.0, name="open"), num(3, 20, 30, 3.0))
    assert b.bin_numeric_attribute(5) == 1.0
    with pytest.raises(TypeError, match="'<' not supported between instances of 'NoneType' and 'float'"):
        b.bin_numeric_attribute(15)
    b = bucketing(num(2, 10, None, 2.0, name="open"))
    with pytest.raises(TypeError, match="'<=' not supported between instances of 'float' and 'NoneType'"):
        b.bin_numeric_attribute(15)
    assert b.bin_numeric_attribute(5) is None  # the lower bound test fails first


def test_regular_categorical_bin_without_categories_fails_when_reached():
    b = bucketing(cat(1, ["A"], 1.0), cat(2, None, 2.0, name="none"), attribute="C")
    assert b.bin_categoric_attribute("A") == 1.0
    with pytest.raises(TypeError, match="not iterable"):
        b.bin_categoric_attribute("B")


def test_changes_after_validation_are_seen():
    b = bucketing(num(1, 0, 10, 1.0))
    assert b.bin_numeric_attribute(5) == 1.0
    b.feature_bucketing[0].upper_bound = 4.0
    b.feature_bucketing.append(num(2, 4, 10, 2.0))
    assert b.bin_numeric_attribute(5) == 2.0
    b.feature_bucketing[1].name = "1_null"
    assert b.bin_numeric_attribute(None) == 2.0
    # Fields stored in another order in the instance dict are still found.
    moved = b.feature_bucketing[0].__dict__
    for key in ("name", "lower_bound", "upper_bound", "value"):
        moved[key] = moved.pop(key)
    b.feature_bucketing[1].name = "x"
    assert b.bin_numeric_attribute(3) == 1.0 and b.bin_numeric_attribute(5) == 2.0


@pytest.mark.parametrize("replacement, expected", [
    (lambda fields: {**fields, "upper_bound": 1.0}, 9.0),  # the bin now ends below the value
    (lambda fields: {}, AttributeError),  # every field gone: read as attributes, which fail
])
def test_fields_replaced_wholesale_by_a_comparison_are_seen(replacement, expected):
    b = bucketing(num(1, 0, 10, 1.0), num(0, name="0_default", value=9.0))
    first = b.feature_bucketing[0]

    class Lower(float):
        def __lt__(self, other):
            object.__setattr__(first, "__dict__", replacement(dict(first.__dict__)))
            return float(self) < other

    object.__setattr__(first, "lower_bound", Lower(0.0))
    # The upper bound is read after the lower one is compared: from the record's new dict (the
    # replaced one used to be read, giving 1.0).
    with structlog.testing.capture_logs():
        if expected is AttributeError:
            with pytest.raises(AttributeError, match="upper_bound"):
                b.bin_numeric_attribute(5.0)
        else:
            assert b.bin_numeric_attribute(5.0) == expected


# ---- views


@pytest.fixture
def schema_for():
    def make(record):
        @strawberry.type
        class Query:
            @strawberry.field
            def bucketing(self) -> fb.FeatureBucketingType:
                return record

        return strawberry.Schema(query=Query)

    return make


QUERY = """{ bucketing { attribute featureBucketing { __typename
  ... on AttributeBinNumericalType { name value frequency targetRate id type lowerBound upperBound
        formattedLowerBound formattedUpperBound }
  ... on AttributeBinCategoricalType { name value id type categories } } } }"""


async def test_views_show_bins_in_order(schema_for):
    record = bucketing(num(1, -INF, 0.005, 1.0), cat(2, ["A", "B"], 2.0), num(3, name="nobounds"),
                       num(4, 0.5, INF), attribute="AGE")
    result = await schema_for(record).execute(QUERY)
    assert result.errors is None
    bins = result.data["bucketing"]["featureBucketing"]
    assert result.data["bucketing"]["attribute"] == "AGE"
    assert bins[0] == {"__typename": "AttributeBinNumericalType", "name": "1_(-inf;5.00E-03)", "value": 1.0,
                       "frequency": None, "targetRate": None, "id": 1, "type": "NUMERICAL",
                       "lowerBound": None, "upperBound": 0.005,
                       "formattedLowerBound": "-inf", "formattedUpperBound": "5.00E-03"}
    assert bins[1] == {"__typename": "AttributeBinCategoricalType", "name": "2_{A,B}", "value": 2.0, "id": 2,
                       "type": "CATEGORICAL", "categories": ["A", "B"]}
    assert (bins[2]["formattedLowerBound"], bins[2]["formattedUpperBound"]) == (None, None)
    assert (bins[3]["lowerBound"], bins[3]["upperBound"], bins[3]["formattedUpperBound"]) == (0.5, None, "inf")


async def test_view_of_empty_bucketing_and_hidden_fields(schema_for):
    schema = schema_for(bucketing())
    result = await schema.execute("{ bucketing { attribute featureBucketing { __typename } } }")
    assert result.data == {"bucketing": {"attribute": "AGE", "featureBucketing": []}}
    sdl = schema.as_str()
    assert "attributeDataType" not in sdl and "binnedAttributeName" not in sdl
    assert "union AttributeBinNumericalTypeAttributeBinCategoricalType" in sdl
    assert "enum AttributeDataType" in sdl


def test_view_classes():
    assert fb.AttributeBinNumericalType.__module__ == fb.__name__
    assert issubclass(fb.AttributeBinCategoricalType, fb.AbstractAttributeBinType)
    assert issubclass(fb.AttributeBinNumericalType, fb.AbstractAttributeBinType)
