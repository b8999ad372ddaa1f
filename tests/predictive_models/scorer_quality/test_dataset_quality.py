import pydantic
import pytest

from quorvex_analytics_utils.predictive_models.scorer_quality.dataset_quality import (
    DatasetQuality,
    DatasetQualityType,
    PerformanceMetrics,
    SampleType,
)
from graphql_support import query


def test_enumerations_are_text_members_in_order():
    assert [(m.name, m.value) for m in SampleType] == [
        ("TRAIN", "TRAIN"), ("VALID", "VALID"), ("TEST", "TEST"), ("OOT", "OOT"), ("CV", "CV")]
    assert [(m.name, m.value) for m in PerformanceMetrics] == [
        ("AUC", "AUC"), ("GINI", "GINI"), ("LIFT", "LIFT"), ("KS", "KS"), ("TAU", "TAR"),
        ("RHO", "RHO"), ("ACCURACY", "ACCURACY")]
    assert SampleType.OOT == "OOT" and isinstance(PerformanceMetrics.TAU, str)


@pytest.mark.parametrize("enum, text, member", [
    (SampleType, "OOT", SampleType.OOT),
    (PerformanceMetrics, "TAR", PerformanceMetrics.TAU),
    (SampleType, "oot", None),
    (PerformanceMetrics, "TAU", None),
])
def test_conversion_by_value_is_case_sensitive(enum, text, member):
    if member is None:
        with pytest.raises(ValueError):
            enum(text)
    else:
        assert enum(text) is member


def test_record_converts_texts_to_members_and_floats():
    record = DatasetQuality.model_validate(
        {"sample": "TEST", "target": "default_90", "performance": {"AUC": 0.81, "GINI": "0.62"}})
    assert record.sample is SampleType.TEST
    assert list(record.performance.items()) == [(PerformanceMetrics.AUC, 0.81), (PerformanceMetrics.GINI, 0.62)]
    assert all(type(k) is PerformanceMetrics for k in record.performance)


@pytest.mark.parametrize("data", [
    {"target": "t"},
    {"sample": "TEST"},
    {"sample": "test", "target": "t"},
    {"sample": "TEST", "target": "t", "performance": {"TAU": 0.3}},
    {"sample": "TEST", "target": "t", "performance": {"AUC": "high"}},
    {"sample": "TEST", "target": "t", "extra": 1},
])
def test_bad_input_makes_no_record(data):
    with pytest.raises(pydantic.ValidationError):
        DatasetQuality.model_validate(data)


def test_default_performance_mapping_is_fresh_per_record():
    a, b = DatasetQuality(sample="TRAIN", target="t"), DatasetQuality(sample="TRAIN", target="t")
    a.performance[PerformanceMetrics.KS] = 0.4
    assert b.performance == {}


@pytest.mark.parametrize("performance, expected", [
    ({}, []),
    ({"GINI": 0.62, "TAR": 0.1, "AUC": 0.81},
     [{"metric": "GINI", "value": 0.62}, {"metric": "TAU", "value": 0.1}, {"metric": "AUC", "value": 0.81}]),
])
async def test_view_lists_performance_in_insertion_order(performance, expected):
    record = DatasetQuality(sample="OOT", target="bad_12m", performance=performance)
    result = await query(DatasetQualityType, record, "{ sample target performance { metric value } }")
    assert result.errors is None
    assert result.data["item"] == {"sample": "OOT", "target": "bad_12m", "performance": expected}


class OddItems(dict):
    def items(self):
        return [["AUC", 0.5], 7]


async def test_view_unpacks_entries_of_a_replaced_mapping_as_a_loop_would():
    record = DatasetQuality(sample="OOT", target="t")
    object.__setattr__(record, "performance", OddItems(a=1))
    with pytest.raises(TypeError, match="cannot unpack non-iterable int object"):
        await DatasetQualityType.performance(None, record)
