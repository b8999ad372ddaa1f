"""The main API as a typed caller uses it: `mypy --strict` with the pydantic plugin accepts all of it."""
import asyncio
import math
from typing import assert_type

import dask.dataframe as dd
import numpy as np
import numpy.typing as npt
import pandas as pd
import polars as pl
import pyarrow as pa
import strawberry

from quorvex_analytics_utils.predictive_models.augmented_scorer import (
    AugmentedScorer,
    AugmentedScorerType,
    PredictiveModelCategory,
    PredictiveModelType,
)
from quorvex_analytics_utils.predictive_models.content import AugmentedScorerContent
from quorvex_analytics_utils.predictive_models.feature_preparation.feature_bucketing import (
    AttributeBinNumerical,
    AttributeDataType,
    FeatureBucketing,
)
from quorvex_analytics_utils.predictive_models.feature_preparation.feature_preparation import FeaturePreparation
from quorvex_analytics_utils.predictive_models.frames import (
    Float64Column,
    FrameSchema,
    PartitionFunction,
    UInt8Column,
    spark_map_in_arrow,
)
from quorvex_analytics_utils.utils.dump import safe_dumps_json, safe_loads_yaml, valid_dumps_yaml
from quorvex_analytics_utils.utils.parse import parse_value


def build() -> AugmentedScorer:
    binning: list[FeatureBucketing] = FeaturePreparation.add_feature_bucketing(
        {"age": {"dtype": "NUMERICAL", "bins": [-math.inf, 30, math.inf], "bin_vals": [-0.4, 0.5]}})
    binning.append(FeatureBucketing(attribute="income", attribute_data_type=AttributeDataType.NUMERICAL,
                                    feature_bucketing=[AttributeBinNumerical(id=1, name="1_null", value=0.0)]))
    preparation = FeaturePreparation(binning=binning)
    preparation.add_feature_reshaping(
        [{"attribute": "income", "transformed_attribute_name": "log_income", "transformation": "log(income)"}])
    return AugmentedScorer(attributes=["age", "income"], predictive_model_type=PredictiveModelType.LOGISTIC_REGRESSION,
                           feature_preparation=preparation,
                           external_model={"intercept": -1.5, "model": {"coef_": [[0.8, -0.1]]}})


def score(scorer: AugmentedScorer) -> list[float] | None:
    preparation = scorer.feature_preparation
    single: float | None = preparation.apply_feature_bucketing("age", 42)
    dummies: dict[str, int] | None = preparation.apply_dummy_encoding("region", "N")
    bucketing = preparation.get_feature_bucketing("age")
    if bucketing is not None and single is not None and dummies is None:
        bucketing.bin_numeric_attribute(12.5)
    return preparation.apply_feature_bucketing_batch("age", [25, 61.5, None])


def columns(preparation: FeaturePreparation) -> npt.NDArray[np.float64] | None:
    """Every kind of column a caller holds is accepted; the results are one-dimensional numpy arrays."""
    assert_type(preparation.apply_feature_bucketing_array("age", np.array([25.0, 61.5])), Float64Column | None)
    preparation.apply_feature_bucketing_array("age", pd.Series([25, None]))
    preparation.apply_feature_bucketing_array("age", pd.Index([25, 40]))
    preparation.apply_feature_bucketing_array("age", pd.Categorical([25.0, 40.0]))
    preparation.apply_feature_bucketing_array("age", pl.Series([25.0, None]))
    preparation.apply_feature_bucketing_array("age", pa.array([25.0, None]))
    preparation.apply_feature_bucketing_array("age", pa.chunked_array([[25.0], [None]]))
    preparation.apply_feature_bucketing_array("age", np.ma.masked_invalid([25.0, math.nan]))
    preparation.apply_feature_bucketing_array("age", memoryview(b"\x01\x02"))
    preparation.apply_feature_bucketing_array("age", (25, 40))
    dummies = preparation.apply_dummy_encoding_array("region", ["N", None])
    assert_type(dummies, dict[str, UInt8Column] | None)
    return preparation.apply_feature_bucketing_array("age", [25, 61.5, None])


def frames(scorer: AugmentedScorer, lazy: dd.DataFrame) -> tuple[PartitionFunction, str]:
    """Each frame kind gives back its own kind of result; the schemas and the Spark route are typed too."""
    preparation = scorer.feature_preparation
    data = {"age": [25.0, 61.5], "income": [1200.0, 800.0]}
    frame = pd.DataFrame(data)
    assert_type(preparation.transform_frame(frame), pd.DataFrame)
    assert_type(preparation.transform_frame(pl.DataFrame(data), attributes=["age"]), pl.DataFrame)
    assert_type(preparation.transform_frame(pa.table(data)), pa.Table)
    assert_type(preparation.transform_frame(pa.record_batch(data)), pa.Table)
    assert_type(preparation.transform_frame(lazy), dd.DataFrame)
    features = preparation.transform_frame({"age": np.array([25.0]), "income": [1200, None]})
    assert_type(features, dict[str, Float64Column | UInt8Column])
    assert_type(scorer.score_frame(frame), "pd.Series[float]")
    assert_type(scorer.score_frame(lazy, probability=True), dd.Series)
    assert_type(scorer.score_frame(pl.DataFrame(data)), Float64Column)
    scores: npt.NDArray[np.float64] = scorer.score_frame(pa.table(data))
    schema: FrameSchema = preparation.output_schema(attributes=["age"])
    arrow_schema: pa.Schema = scorer.output_schema().to_pyarrow()
    meta: pd.DataFrame = schema.empty_pandas(index=frame.index[:0])
    print(scores, arrow_schema, meta, schema.__arrow_c_schema__())
    return spark_map_in_arrow(scorer, keep=[], probability=True)


def store(scorer: AugmentedScorer) -> AugmentedScorer:
    content: AugmentedScorerContent = scorer.get_content()
    loaded = AugmentedScorer.parse_from_content(content)
    text = valid_dumps_yaml({"directory": loaded.directory_name})
    assert text is not None and safe_loads_yaml(text) is not None
    safe_dumps_json(loaded.external_model)
    coefficient: float | None = loaded.get_coefficient("age")
    category: PredictiveModelCategory = loaded.get_external_model_category()
    number: str | int | float = parse_value("12.5")
    print(coefficient, category, number)
    return loaded


def serve(scorer: AugmentedScorer) -> str | None:
    @strawberry.type
    class Query:
        @strawberry.field
        def scorer(self) -> AugmentedScorerType:
            return AugmentedScorerType.from_pydantic(scorer)

    result = asyncio.run(strawberry.Schema(query=Query).execute("{ scorer { formula } }"))
    formula = result.data["scorer"]["formula"] if result.data else None
    return formula if isinstance(formula, str) else None


if __name__ == "__main__":
    model = store(build())
    print(score(model), columns(model.feature_preparation), serve(model))
