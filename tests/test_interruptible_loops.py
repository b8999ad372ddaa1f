"""Loops over caller-supplied iterables stop on a signal, as Python's own loops do.

Each operation walks a field replaced (without validation) by an iterable whose iterator runs no
Python code per item and would take seconds to end; an alarm raises while the loop runs.
"""
import itertools
import operator
import signal

import pytest

from quorvex_analytics_utils.predictive_models.augmented_scorer import AugmentedScorer
from quorvex_analytics_utils.predictive_models.feature_preparation.feature_bucketing import FeatureBucketing
from quorvex_analytics_utils.predictive_models.feature_preparation.feature_preparation import (
    FeaturePreparation,
    PredictiveModelDummyEncoding,
)
from quorvex_analytics_utils.predictive_models.scorer_profile.scorer_profile import PredictiveScorerProfile
from quorvex_analytics_utils.predictive_models.scorer_quality.scorer_quality import PredictiveScorerQuality
from quorvex_analytics_utils.predictive_models.scorer_watch.scorer_watch import PredictiveScorerWatch
from quorvex_analytics_utils.utils.dump import filter_data

ITEMS = 30_000_000  # bounded, so that a loop that does not stop fails the test instead of hanging it


class Long:
    """An iterable whose iterator repeats one item, in C."""

    def __init__(self, item):
        self.items = itertools.repeat(item, ITEMS)

    def __iter__(self):
        return self.items


class LongItems(dict):
    def __init__(self, entry):
        super().__init__()
        self.long = Long(entry)

    def items(self):
        return self.long


def bucketing(attribute):
    return FeatureBucketing(attribute=attribute, attribute_data_type="NUMERICAL", feature_bucketing=[
        {"type": "NUMERICAL", "lower_bound": 0.0, "upper_bound": 1.0, "value": 1.0, "id": 2}])


def replaced(record, name, iterable):
    object.__setattr__(record, name, iterable)
    return record


def scorer_with(name, iterable):
    return replaced(AugmentedScorer(), name, iterable)


def scorer_with_binning(long):
    scorer = AugmentedScorer(predictive_model_type="LOGISTIC_REGRESSION", external_model={
        "feature_names": ["age"], "logreg_model_params": {"intercept_": [0.0], "coef_": [[1.0]]}})
    replaced(scorer.feature_preparation, "binning", long)
    return scorer


CASES = {
    "add_general_note": lambda long: lambda: replaced(PredictiveScorerProfile(), "general_notes", long)
    .add_general_note("x"),
    "get_feature_bucketing": lambda long: lambda: replaced(FeaturePreparation(), "binning", long)
    .get_feature_bucketing("age"),
    "get_all_binning_attributes": lambda long: replaced(FeaturePreparation(), "binning", long)
    .get_all_binning_attributes,
    "apply_dummy_encoding": lambda long: lambda: replaced(FeaturePreparation(), "dummy_encoding", long)
    .apply_dummy_encoding("region", "N"),
    "bin_numeric_attribute": lambda long: lambda: replaced(bucketing("age"), "feature_bucketing", long)
    .bin_numeric_attribute(5.0),
    "watch get_feature_bucketing": lambda long: lambda: replaced(PredictiveScorerWatch(), "binning", long)
    .get_feature_bucketing("age", "NUMERICAL", 0.5),
    "preprocess_attributes": lambda long: scorer_with("attributes", long).preprocess_attributes,
    "filter_data": lambda long: lambda: filter_data(long),
    "transform_frame (attributes)": lambda long: lambda: FeaturePreparation().transform_frame(
        {"age": [1.0]}, attributes=long),
    "score_frame": lambda long: lambda: scorer_with_binning(long).score_frame({"age": [1.0]}),
    "metric normalisation": lambda long: lambda: PredictiveScorerQuality.model_validate(
        {"performance_metrics": long}),
}
ITEM = {
    "add_general_note": "note_1",
    "get_feature_bucketing": bucketing("income"),
    "get_all_binning_attributes": bucketing("income"),
    "apply_dummy_encoding": PredictiveModelDummyEncoding(attribute="other", encoding=[]),
    "bin_numeric_attribute": {"type": "NUMERICAL", "lower_bound": 7.0, "upper_bound": 8.0, "value": 1.0},
    "watch get_feature_bucketing": bucketing("income"),
    "preprocess_attributes": "age",
    "filter_data": ("k", 1),
    "transform_frame (attributes)": "age",
    "score_frame": bucketing("income"),
    "metric normalisation": "auc",
}


class Interrupted(Exception):
    pass


def _raise(signum, frame):
    raise Interrupted


@pytest.mark.parametrize("operation", list(CASES))
def test_a_long_native_loop_stops_on_a_signal(operation):
    long = LongItems(ITEM[operation]) if operation == "filter_data" else Long(ITEM[operation])
    call = CASES[operation](long)
    previous = signal.signal(signal.SIGALRM, _raise)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.02)
        with pytest.raises(Interrupted):
            call()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    iterator = long.long.items if operation == "filter_data" else long.items
    assert operator.length_hint(iterator) > 0  # stopped inside the loop, not after it
