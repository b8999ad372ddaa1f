"""Whole frames: transform_frame, output_schema and score_frame over every supported frame kind,
against the per-value calls and the formula text evaluated in full precision."""
import math
import pickle

import numpy as np
import pytest

import frames_support as fs
from quorvex_analytics_utils.predictive_models.augmented_scorer import AugmentedScorer
from quorvex_analytics_utils.predictive_models.feature_preparation.feature_preparation import (
    FeaturePreparation,
    PredictiveModelDummyEncoding,
)
from quorvex_analytics_utils.predictive_models.frames import FrameSchema, PartitionFunction, spark_map_in_arrow

pd = pytest.importorskip("pandas")
pa = pytest.importorskip("pyarrow")
pl = pytest.importorskip("polars")


# Each kind: how to build the frame from plain columns, and how to read a result back as
# {name: list}.
def _pandas(data):
    return pd.DataFrame(data, index=[f"r{i}" for i in range(len(next(iter(data.values()), [])))])


def _from_table(t):
    return {name: t.column(name).to_pylist() for name in t.column_names}


KINDS = {
    "pandas": (_pandas, lambda out: {c: out[c].tolist() for c in out.columns}),
    "polars": (lambda d: pl.DataFrame(d, strict=False),
               lambda out: {c: out[c].to_list() for c in out.columns}),
    "arrow-table": (lambda d: pa.table(d), _from_table),
    "arrow-batch": (lambda d: pa.record_batch(d), _from_table),
    "mapping": (lambda d: {k: list(v) for k, v in d.items()},
                lambda out: {k: v.tolist() for k, v in out.items()}),
}


def same(a, b):
    return len(a) == len(b) and all(
        (isinstance(x, float) and math.isnan(x) and isinstance(y, float) and math.isnan(y))
        or x == y for x, y in zip(a, b))


@pytest.mark.parametrize("kind", KINDS)
def test_transform_frame_equals_the_per_value_calls(kind):
    make, read = KINDS[kind]
    prep, data = fs.registry(), fs.rows()
    out = prep.transform_frame(make(data))
    got = read(out)
    expected = fs.expected_features(prep, data)
    assert list(got) == list(expected) == prep.output_schema().names
    for name in expected:
        assert same(got[name], expected[name]), name
    if kind == "pandas":
        assert list(out.index) == [f"r{i}" for i in range(len(data["age"]))]
        assert out.dtypes.astype(str).tolist() == prep.output_schema().dtypes
    if kind.startswith("arrow"):
        assert isinstance(out, pa.Table) and out.schema == prep.output_schema().to_pyarrow()
    if kind == "mapping":
        assert {v.dtype.name for v in out.values()} == {"float64", "uint8"}


@pytest.mark.parametrize("kind", KINDS)
def test_transform_frame_of_an_empty_frame_keeps_the_columns(kind):
    make, read = KINDS[kind]
    data = {"age": pa.array([], pa.float64()).to_pylist(), "grade": []}
    if kind == "polars":
        frame = pl.DataFrame({"age": [], "grade": []}, schema={"age": pl.Float64, "grade": pl.Int64})
    else:
        frame = make(data)
    got = read(fs.registry().transform_frame(frame))
    assert got == {"age_woe": [], "grade_1": [], "grade_2": []}


@pytest.mark.parametrize("attributes, columns", [
    (None, ["age_woe", "city", "city_A", "city_C", "city_other", "grade_1", "grade_2"]),
    (["grade", "age"], ["age_woe", "grade_1", "grade_2"]),   # registry order, not the list's
    (["income"], []),                                        # a column without preparation
    ([], []),
])
def test_transform_frame_applies_the_listed_attributes(attributes, columns):
    out = fs.registry().transform_frame(_pandas(fs.rows()), attributes=attributes)
    assert list(out.columns) == columns
    assert len(out) == len(fs.rows()["age"])
    assert fs.registry().output_schema(attributes=attributes).names == columns


def test_only_attributes_that_are_columns_are_applied_and_listed_missing_ones_fail():
    prep = fs.registry()
    out = prep.transform_frame({"grade": [1, 2]})
    assert list(out) == ["grade_1", "grade_2"]
    with pytest.raises(KeyError) as info:
        prep.transform_frame({"grade": [1, 2], "other": [0, 0]}, attributes=["grade", "age"])
    assert "'age' is not a column of the frame" in str(info.value)
    assert "['grade', 'other']" in str(info.value)


@pytest.mark.parametrize("frame, message", [
    ([1, 2, 3], "not list"),
    ("age", "not str"),
    (np.zeros(3), "not numpy.ndarray"),
])
def test_transform_frame_refuses_what_is_no_frame(frame, message):
    with pytest.raises(TypeError, match=message):
        fs.registry().transform_frame(frame)


def test_attributes_must_be_names():
    with pytest.raises(TypeError, match="attributes"):
        fs.registry().transform_frame({"age": [1.0]}, attributes="age")


def test_spark_keep_takes_names_not_a_text():
    # A text would otherwise be read as a list of one-letter column names.
    with pytest.raises(TypeError, match="keep"):
        spark_map_in_arrow(fs.registry(), keep="id")


def test_second_entries_of_an_attribute_are_passed_over_and_colliding_names_refused():
    prep = fs.registry()
    # A second binning of age and a second encoding of grade: lookups always find the first.
    prep.binning.append(FeaturePreparation.add_feature_bucketing(
        {"age": {"dtype": "NUMERICAL", "bins": [-fs.INF, fs.INF], "bin_vals": [9.0],
                 "binned_attribute_name": "age_again"}})[0])
    prep.dummy_encoding.append(PredictiveModelDummyEncoding(
        attribute="grade", encoding=[{"value": 1, "encoded_feature_name": "grade_x"}]))
    assert prep.output_schema(attributes=["age", "grade"]).names == ["age_woe", "grade_1", "grade_2"]
    # A dummy feature named like a binning's output cannot live in one frame with it.
    prep.dummy_encoding.append(PredictiveModelDummyEncoding(
        attribute="income", encoding=[{"value": 1, "encoded_feature_name": "age_woe"}]))
    for call in (lambda: prep.output_schema(),
                 lambda: prep.transform_frame({"age": [1.0], "income": [1]})):
        with pytest.raises(ValueError, match="creates the column 'age_woe' twice"):
            call()


def test_a_subclass_column_method_is_used():
    class Doubling(FeaturePreparation):
        def apply_feature_bucketing_array(self, attribute, values):
            return np.asarray(super().apply_feature_bucketing_array(attribute, values)) * 2

    prep = Doubling(binning=fs.registry().binning)
    out = prep.transform_frame({"age": [25.0, 61.5]})
    assert out["age_woe"].tolist() == [-0.8, 1.0]


def test_output_schema_speaks_arrow_pandas_and_spark():
    schema = fs.registry().output_schema()
    assert schema == FrameSchema(names=schema.names, dtypes=schema.dtypes)
    assert pa.schema(schema) == schema.to_pyarrow()
    assert schema.to_pyarrow().field("city_A").type == pa.uint8()
    assert schema.empty_pandas().dtypes.astype(str).tolist() == schema.dtypes
    assert schema.spark_ddl().startswith("`age_woe` double, `city` double, `city_A` tinyint")
    assert FrameSchema(names=["a`b"], dtypes=["float64"]).spark_ddl() == "`a``b` double"
    assert pickle.loads(pickle.dumps(schema)) == schema
    with pytest.raises(ValueError, match="dtypes"):
        FrameSchema(names=["a"], dtypes=["int64"])
    with pytest.raises(ValueError, match="one dtype per name"):
        FrameSchema(names=["a", "b"], dtypes=["uint8"])


# ---- scoring


def per_value_scores(model, data, probability=False):
    features = fs.expected_features(model.feature_preparation, data)
    n = len(next(iter(data.values())))
    scores = []
    for i in range(n):
        row = {k: v[i] for k, v in data.items()}
        row.update({k: v[i] for k, v in features.items()})
        row = {k: math.nan if v is None else v for k, v in row.items()}
        z = fs.formula_value(model, row)
        scores.append(1 / (1 + math.exp(-z)) if probability else z)
    return scores


@pytest.mark.parametrize("kind", KINDS)
def test_score_frame_equals_the_formula_in_full_precision(kind):
    make, _ = KINDS[kind]
    model, data = fs.scorer(), fs.rows()
    got = model.score_frame(make(data))
    if kind == "pandas":
        assert isinstance(got, pd.Series) and list(got.index) == list(_pandas(data).index)
        got = got.to_numpy()
    assert isinstance(got, np.ndarray) and got.dtype == np.float64
    assert got.tolist() == per_value_scores(model, data)  # exact, not approximate
    assert model.score_frame(make(data), probability=True).tolist() == pytest.approx(
        per_value_scores(model, data, probability=True), rel=1e-15, abs=0)


@pytest.mark.parametrize("external", [
    {"intercept": None},                                        # no intercept: starts at 0.0
    {"intercept": 0},
    {"feature_names": None},                                    # the record's attributes instead
    {"model": {}},                                              # no coefficients: plain sum
    {"model": {"coef_": [[-0.1, 2, 0, -0.0, 1e-300, 3.25]]}},  # ints, zero, -0.0, tiny
    {"feature_names": ["income", "income", "grade_2"], "model": {"coef_": [[0.5, 9.0, -1]]}},
])
def test_score_frame_coefficient_rules(external):
    model, data = fs.scorer(**external), fs.rows()
    if model.get_external_model_feature_names() is None:
        data = {**data, "age": [1.0] * len(data["age"]), "city": [2.0] * len(data["age"])}
        model.feature_preparation = FeaturePreparation()
    assert model.score_frame(data).tolist() == per_value_scores(model, data)


@pytest.mark.parametrize("kind", KINDS)
def test_score_frame_rounds_integers_beyond_doubles_as_the_formula_does(kind):
    make, _ = KINDS[kind]
    model, data = fs.scorer(), fs.rows()
    data["income"] = [2**53 + 1, -(2**63) + 1, 2**62 + 3] * 4
    got = model.score_frame(make(data))
    assert np.asarray(got).tolist() == per_value_scores(model, data)


@pytest.mark.parametrize("model_type", ["XGB", "PMML", None])
def test_score_frame_is_for_logistic_regressions(model_type):
    model = AugmentedScorer(predictive_model_type=model_type)
    with pytest.raises(ValueError, match=f"LOGISTIC_REGRESSION models, not {model_type} models"
                       if model_type else "has no type"):
        model.score_frame({"x": [1.0]})


def test_score_frame_names_a_feature_it_cannot_find():
    with pytest.raises(KeyError, match="'income' is neither created"):
        fs.scorer().score_frame({k: v for k, v in fs.rows().items() if k != "income"})


def test_partition_function_pickles_the_record_only():
    prep = fs.registry()
    fn = PartitionFunction(model=prep, method="transform_frame", kwargs={"attributes": ["age"]})
    again = pickle.loads(pickle.dumps(fn))
    assert again({"age": [25.0]})["age_woe"].tolist() == [-0.4]
    assert len(pickle.dumps(fn)) < 4 * len(pickle.dumps(prep)) + 500


def test_cached_content_is_parsed_once_per_digest():
    model = fs.scorer()
    first = AugmentedScorer.parse_from_content_cached(model.get_content())
    assert AugmentedScorer.parse_from_content_cached(model.get_content()) is first
    assert first.score_frame(fs.rows()).tolist() == model.score_frame(fs.rows()).tolist()
    changed = fs.scorer(intercept=3.0)
    other = AugmentedScorer.parse_from_content_cached(changed.get_content())
    assert other is not first and other.get_external_model_intercept() == 3.0
    # A partition function built from content rebuilds the scorer through the same cache.
    fn = pickle.loads(pickle.dumps(PartitionFunction(model=model.get_content(), method="score_frame")))
    assert fn(fs.rows()).tolist() == model.score_frame(fs.rows()).tolist()


def test_options_are_keyword_only():
    import inspect

    params = inspect.signature(FeaturePreparation.transform_frame).parameters
    assert params["attributes"].kind is inspect.Parameter.KEYWORD_ONLY
    with pytest.raises(TypeError, match="takes 2 positional arguments but 3 were given"):
        fs.registry().transform_frame({"age": [1.0]}, ["age"])
    with pytest.raises(TypeError, match="takes 2 positional arguments but 3 were given"):
        fs.scorer().score_frame({"age": [1.0]}, True)
