import enum

import pydantic
import pytest

from quorvex_analytics_utils.predictive_models.scorer_quality.dataset_quality import (
    DatasetQuality,
    PerformanceMetrics as PM,
    SampleType,
)
from quorvex_analytics_utils.predictive_models.scorer_quality.scorer_quality import (
    PredictiveScorerQuality,
    PredictiveScorerQualityType,
)
from graphql_support import query


@pytest.mark.parametrize("text, member", [
    ("auc", PM.AUC), ("Auc", PM.AUC), ("AUC", PM.AUC),
    ("lift(5)", PM.LIFT), ("LIFT(10%)", PM.LIFT), ("LIFT(", PM.LIFT), ("lift", PM.LIFT),
    ("tar", PM.TAU), ("ks", PM.KS), ("accuracy", PM.ACCURACY),
])
def test_metric_name_to_member(text, member):
    assert PredictiveScorerQuality.validate_performance_metric_str(text) is member


@pytest.mark.parametrize("text", ["LIFT_10", "LIFT 10", "tau", " auc", "auc ", "", "LIFT)"])
def test_unknown_metric_name_is_a_value_error(text):
    with pytest.raises(ValueError):
        PredictiveScorerQuality.validate_performance_metric_str(text)


class OtherMetric(str, enum.Enum):
    AUC = "AUC"


@pytest.mark.parametrize("value, got", [
    (1, "int"), (None, "NoneType"), (OtherMetric.AUC, "OtherMetric"), (SampleType.TEST, "SampleType"),
])
def test_metric_name_must_be_exactly_text(value, got):
    with pytest.raises(TypeError, match=rf"'metric' has incorrect type \(expected str, got {got}\)"):
        PredictiveScorerQuality.validate_performance_metric_str(value)


@pytest.mark.parametrize("given, stored", [
    (["gini", PM.GINI, "auc", "lift(10)"], [PM.GINI, PM.GINI, PM.AUC, PM.LIFT]),
    (("tar", "Rho"), [PM.TAU, PM.RHO]),
    ([], []),
])
def test_metric_list_is_normalised_in_the_callers_mapping(given, stored):
    data = {"performance_metrics": given}
    record = PredictiveScorerQuality.model_validate(data)
    assert record.performance_metrics == stored
    assert all(type(m) is PM for m in record.performance_metrics)
    assert type(data["performance_metrics"]) is list and data["performance_metrics"] == stored


def test_input_without_metrics_is_left_alone():
    data = {"dataset_quality": [{"sample": "TRAIN", "target": "t"}]}
    record = PredictiveScorerQuality.model_validate(data)
    assert data == {"dataset_quality": [{"sample": "TRAIN", "target": "t"}]}
    assert record.performance_metrics == [] and record.dataset_quality[0].sample is SampleType.TRAIN
    other = PredictiveScorerQuality()
    other.performance_metrics.append(PM.KS)
    assert PredictiveScorerQuality().performance_metrics == []


@pytest.mark.parametrize("items, error", [
    (["auc", "bogus"], pydantic.ValidationError),
    (["auc", 5], TypeError),
    (["auc", OtherMetric.AUC], TypeError),
    (None, TypeError),
])
def test_failed_normalisation_leaves_input_unchanged(items, error):
    data = {"performance_metrics": items}
    with pytest.raises(error):
        PredictiveScorerQuality.model_validate(data)
    assert data["performance_metrics"] is items
    assert items is None or items[0] == "auc"


@pytest.mark.parametrize("data", [None, 5, "performance_metrics", ["performance_metrics"]])
def test_input_that_is_no_mapping_is_reported_by_validation(data):
    # The normalisation used to read it as a mapping and raise a bare TypeError.
    with pytest.raises(pydantic.ValidationError):
        PredictiveScorerQuality.model_validate(data)


def test_a_record_and_a_scorer_without_performance_pass_the_normalisation():
    from quorvex_analytics_utils.predictive_models.augmented_scorer import AugmentedScorer

    record = PredictiveScorerQuality(performance_metrics=["ks"])
    assert PredictiveScorerQuality.model_validate(record) == record
    with pytest.raises(pydantic.ValidationError, match="performance"):
        AugmentedScorer.model_validate({"performance": None})


def test_subclass_may_redefine_the_metric_reading():
    class Lenient(PredictiveScorerQuality):
        @classmethod
        def validate_performance_metric_str(cls, metric):
            return PM.AUC

    assert Lenient(performance_metrics=["anything"]).performance_metrics == [PM.AUC]


async def test_view():
    record = PredictiveScorerQuality(
        dataset_quality=[DatasetQuality(sample="VALID", target="t", performance={"KS": 0.3})],
        performance_metrics=["ks", "tar"])
    result = await query(PredictiveScorerQualityType, record,
                         "{ performanceMetrics datasetQuality { sample target performance { metric value } } }")
    assert result.errors is None
    assert result.data["item"] == {
        "performanceMetrics": ["KS", "TAU"],
        "datasetQuality": [{"sample": "VALID", "target": "t", "performance": [{"metric": "KS", "value": 0.3}]}],
    }
