"""A credit-scoring model and a synthetic portfolio, shared by the Dask and Spark examples."""

import math

import numpy as np
import pandas as pd

from quorvex_analytics_utils.predictive_models.augmented_scorer import AugmentedScorer
from quorvex_analytics_utils.predictive_models.feature_preparation.feature_preparation import (
    FeaturePreparation,
    PredictiveModelDummyEncoding,
)

INF = math.inf


def scorer() -> AugmentedScorer:
    """A logistic regression over two binned attributes and one dummy-encoded attribute."""
    binning = FeaturePreparation.add_feature_bucketing({
        "age": {"dtype": "NUMERICAL", "bins": [-INF, 25, 40, 60, INF],
                "bin_vals": [-0.6, -0.1, 0.2, 0.5], "null_val": -0.3, "binned_attribute_name": "age_woe"},
        "region": {"dtype": "CATEGORICAL", "bins": [["north", "east"], ["south"], ["west"]],
                   "bin_vals": [0.3, -0.2, 0.1], "default": 0.05, "binned_attribute_name": "region_woe"},
    })
    product = PredictiveModelDummyEncoding(attribute="product", encoding=[
        {"value": "card", "encoded_feature_name": "product_card"},
        {"value": "loan", "encoded_feature_name": "product_loan"},
        {"value": "other", "encoded_feature_name": "product_other", "use_for_undefined": True},
    ])
    return AugmentedScorer(
        attributes=["age", "region", "product", "utilisation"],
        predictive_model_type="LOGISTIC_REGRESSION",
        feature_preparation=FeaturePreparation(binning=binning, dummy_encoding=[product]),
        external_model={"intercept": -2.1,
                        "feature_names": ["age_woe", "region_woe", "product_card", "product_loan",
                                          "utilisation"],
                        "model": {"coef_": [[1.3, 0.9, 0.45, -0.25, 1.75]]}},
    )


def portfolio(rows: int, seed: int = 7) -> pd.DataFrame:
    """Clients with missing ages, unknown regions and products outside the encoding."""
    rng = np.random.default_rng(seed)
    age = rng.uniform(18, 80, rows)
    age[rng.random(rows) < 0.02] = np.nan
    regions = np.array(["north", "east", "south", "west", "islands"])
    products = np.array(["card", "loan", "mortgage"])
    return pd.DataFrame({
        "client_id": np.arange(rows, dtype=np.int64),
        "age": age,
        "region": regions[rng.integers(0, len(regions), rows)],
        "product": products[rng.integers(0, len(products), rows)],
        "utilisation": rng.random(rows),
    })
