"""A small model and data set shared by the frame, Dask and Spark tests, and the per-value
statement of what a frame transformation and a score must give."""
import math

from quorvex_analytics_utils.predictive_models.augmented_scorer import AugmentedScorer
from quorvex_analytics_utils.predictive_models.feature_preparation.feature_preparation import (
    FeaturePreparation,
    PredictiveModelDummyEncoding,
)

INF = math.inf


def registry():
    """age: numerical with a binned name; city: categorical with a default bin, also dummy-encoded
    with a feature for undefined values; grade: dummy-encoded without a default."""
    binning = FeaturePreparation.add_feature_bucketing({
        "age": {"dtype": "NUMERICAL", "bins": [-INF, 30, 50, INF], "bin_vals": [-0.4, 0.1, 0.5],
                "null_val": -0.05, "binned_attribute_name": "age_woe"},
        "city": {"dtype": "CATEGORICAL", "bins": [["A", "B"], ["C"]], "bin_vals": [0.3, -0.2],
                 "default": 0.7},
    })
    encodings = [
        PredictiveModelDummyEncoding(attribute="city", encoding=[
            {"value": "A", "encoded_feature_name": "city_A"},
            {"value": "C", "encoded_feature_name": "city_C"},
            {"value": "Z", "encoded_feature_name": "city_other", "use_for_undefined": True},
        ]),
        PredictiveModelDummyEncoding(attribute="grade", encoding=[
            {"value": 1, "encoded_feature_name": "grade_1"},
            {"value": 2, "encoded_feature_name": "grade_2"},
        ]),
    ]
    return FeaturePreparation(binning=binning, dummy_encoding=encodings)


def scorer(**external):
    model = {"intercept": -1.25,
             "feature_names": ["age_woe", "city", "city_A", "city_C", "grade_2", "income"],
             "model": {"coef_": [[0.8125, -1.1, 0.3, 0.0, -0.7, None]]}}
    model.update(external)
    return AugmentedScorer(attributes=["age", "city", "grade", "income"],
                           predictive_model_type="LOGISTIC_REGRESSION",
                           feature_preparation=registry(), external_model=model)


def rows(n=12):
    """Columns with missing values, bin edges, unknown categories and fallback bins."""
    ages = [25.0, 30.0, 30.5, 50.0, 61.5, None, -INF, INF, 45.0, 29.9, None, 12.0]
    cities = ["A", "C", "Q", None, "B", "A", "C", "nan", "Z", "B", "A", "Q"]
    grades = [1, 2, 3, 2, 1, 1, 2, 2, 3, 1, 2, 1]
    incomes = [1.5, 0.25, 3.0, 2.0, -1.0, 0.0, 7.5, 1.0, 2.5, 0.125, 9.0, 4.0]
    k = (n + len(ages) - 1) // len(ages)
    return {"age": (ages * k)[:n], "city": (cities * k)[:n], "grade": (grades * k)[:n],
            "income": (incomes * k)[:n]}


def expected_features(prep, data):
    """The frame transformation stated one value at a time with the per-value calls."""
    out = {}
    seen = set()
    for b in prep.binning:
        if b.attribute in data and b.attribute not in seen:
            seen.add(b.attribute)
            values = [prep.apply_feature_bucketing(b.attribute, v) for v in data[b.attribute]]
            out[b.binned_attribute_name or b.attribute] = [math.nan if v is None else v
                                                           for v in values]
    for e in prep.dummy_encoding:
        if e.attribute in data:
            per_row = [prep.apply_dummy_encoding(e.attribute, v) for v in data[e.attribute]]
            for feature in per_row[0] if per_row else {}:
                out[feature] = [r[feature] for r in per_row]
    return out


def formula_value(model, features):
    """The formula text of the model, written with full-precision numbers, evaluated for one row
    (`features` maps each name to its value), left to right as the text reads."""
    text = repr(model.get_external_model_intercept() or 0.0)
    names = model.get_external_model_feature_names() or model.attributes
    env = {}
    for i, name in enumerate(names):
        env[f"x{i}"] = features[name]
        c = model.get_coefficient(name)
        if c is None:
            text += f" + x{i}"
        elif c < 0:
            text += f" - {abs(c)!r} * x{i}"
        else:
            text += f" + {c!r} * x{i}"
    return eval(text, {"nan": math.nan, "inf": math.inf}, env)
