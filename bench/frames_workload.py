"""The scoring workload of the frame benchmarks: a logistic regression over 20 binnings (14
numerical of 20 bins, 6 categorical of 20 bins of 5 categories) and 3 dummy encodings, and rows
generated from their ids alone (so that every engine, partition and batch sees the same data)."""

import math

import numpy as np
import pandas as pd

from quorvex_analytics_utils.predictive_models.augmented_scorer import AugmentedScorer
from quorvex_analytics_utils.predictive_models.feature_preparation.feature_preparation import (
    FeaturePreparation,
    PredictiveModelDummyEncoding,
)

NUMERICAL = [f"n{i}" for i in range(14)]
CATEGORICAL = [f"c{i}" for i in range(6)]
ENCODED = [f"d{i}" for i in range(3)]
CATEGORIES = np.array([f"k{i}" for i in range(105)], dtype=object)  # k100..k104: no bin
DUMMY_VALUES = np.array([f"v{i}" for i in range(8)], dtype=object)  # v6, v7: undefined


def uniform(ids, salt):
    """splitmix64 of (id, salt) as floats in [0, 1): a pure function of the id."""
    with np.errstate(over="ignore"):
        z = ids.astype(np.uint64) * np.uint64(0x9E3779B97F4A7C15) + np.uint64((salt * 0x632BE59BD9B4E019 + 1) % (1 << 64))
        z = (z ^ (z >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
        z = (z ^ (z >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
        z = z ^ (z >> np.uint64(31))
    return (z >> np.uint64(11)).astype(np.float64) * (1.0 / (1 << 53))


def rows(start, stop):
    """Rows `start` .. `stop - 1`: numbers with 2% missing, texts with unknown categories."""
    ids = np.arange(start, stop, dtype=np.int64)
    data = {"id": ids}
    for i, name in enumerate(NUMERICAL):
        x = uniform(ids, i) * 100.0
        x[uniform(ids, 100 + i) < 0.02] = np.nan
        data[name] = x
    for i, name in enumerate(CATEGORICAL):
        data[name] = CATEGORIES[(uniform(ids, 200 + i) * len(CATEGORIES)).astype(np.int64)]
    for i, name in enumerate(ENCODED):
        data[name] = DUMMY_VALUES[(uniform(ids, 300 + i) * len(DUMMY_VALUES)).astype(np.int64)]
    return pd.DataFrame(data)


def edges(i):
    return [float(e) for e in np.linspace(0.0, 100.0, 21)[1:-1] + i * 0.01]


def preparation():
    description = {}
    for i, name in enumerate(NUMERICAL):
        description[name] = {"dtype": "NUMERICAL", "bins": [-math.inf, *edges(i), math.inf],
                             "bin_vals": [round(0.05 * k - 0.5 + 0.001 * i, 6) for k in range(20)],
                             "null_val": -0.25, "binned_attribute_name": f"{name}_woe"}
    for i, name in enumerate(CATEGORICAL):
        description[name] = {"dtype": "CATEGORICAL",
                             "bins": [[f"k{5 * b + j}" for j in range(5)] for b in range(20)],
                             "bin_vals": [round(0.04 * b - 0.4 + 0.001 * i, 6) for b in range(20)],
                             "default": 0.05, "binned_attribute_name": f"{name}_woe"}
    encodings = [PredictiveModelDummyEncoding(attribute=name, encoding=[
        *({"value": f"v{k}", "encoded_feature_name": f"{name}_v{k}"} for k in range(5)),
        {"value": "v5", "encoded_feature_name": f"{name}_other", "use_for_undefined": True},
    ]) for name in ENCODED]
    return FeaturePreparation(binning=FeaturePreparation.add_feature_bucketing(description),
                              dummy_encoding=encodings)


def scorer():
    prep = preparation()
    names = [*(f"{n}_woe" for n in NUMERICAL + CATEGORICAL), *prep.get_all_dummy_enc_attributes()]
    coefficients = [round(0.1 + 0.05 * k, 4) * (-1) ** k for k in range(len(names))]
    return AugmentedScorer(attributes=NUMERICAL + CATEGORICAL + ENCODED,
                           predictive_model_type="LOGISTIC_REGRESSION", feature_preparation=prep,
                           external_model={"intercept": -1.2, "feature_names": names,
                                           "model": {"coef_": [coefficients]}})
