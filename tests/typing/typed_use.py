"""The main API as a typed caller uses it: `mypy --strict` with the pydantic plugin accepts all of it."""
import asyncio
import math

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
    print(score(model), serve(model))
