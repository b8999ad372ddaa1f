"""Deliberate misuses: `mypy --strict` with the pydantic plugin reports each on its line, with the code noted."""
from quorvex_analytics_utils.predictive_models.augmented_scorer import AbstractAugmentedScorer, AugmentedScorer
from quorvex_analytics_utils.predictive_models.feature_preparation.feature_preparation import FeaturePreparation

preparation = FeaturePreparation(binnings=[])  # expect: call-arg
preparation.apply_feature_bucketing_batch(42, "not a list")  # expect: arg-type
preparation.apply_feature_bucketing_array("age", "a text is no column")  # expect: arg-type
preparation.transform_frame([[1, 2], [3, 4]])  # expect: call-overload
binned: list[float] = preparation.transform_frame({"age": [25]})  # expect: assignment
scorer = AugmentedScorer(attributes=["age"])
scorer.get_coefficients("age")  # expect: attr-defined
scorer.get_coefficient(attribute=1)  # expect: arg-type
scorer.score_frame("frame.parquet")  # expect: call-overload
label: str = scorer.get_external_model_intercept()  # expect: assignment
AbstractAugmentedScorer()  # expect: abstract
