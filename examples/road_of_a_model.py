"""The road of one model through quorvex_analytics_utils.

1. build binnings from a description and register transformations and dummy encodings;
2. build a logistic-regression scorer with its profile, quality and monitoring records;
3. write its content to a folder (YAML record, JSON model, images) and read it back;
4. bin and encode a few input rows;
5. serve the model through GraphQL: formula, external model parameters, category.
"""

import argparse
import asyncio
import json
import math
import pathlib
import tempfile
from datetime import date

import strawberry
import structlog

from quorvex_analytics_utils.predictive_models.augmented_scorer import AugmentedScorer, AugmentedScorerType
from quorvex_analytics_utils.predictive_models.feature_preparation.feature_bucketing import (
    AttributeBinCategorical,
    AttributeBinNumerical,
    FeatureBucketing,
)
from quorvex_analytics_utils.predictive_models.feature_preparation.feature_preparation import FeaturePreparation
from quorvex_analytics_utils.utils.dump import safe_dumps_json, safe_loads_yaml, valid_dumps_yaml
from quorvex_analytics_utils.utils.parse import parse_value

from model_folder import read_model_folder, write_model_folder


def show_log(_logger, method, event):
    print(f"  [{method}] {event['event']}")
    raise structlog.DropEvent


def section(title: str) -> None:
    print(f"\n== {title}")


def values_and_bins() -> None:
    section("Values read from text, and one attribute's bins")
    for raw in ["12", "12.5", "'12'", "abc", str(2**60 + 1)]:
        print(f"  parse_value({raw!r}) -> {parse_value(raw)!r}")
    age = FeatureBucketing(
        attribute="AGE",
        attribute_data_type="NUMERICAL",
        feature_bucketing=[
            AttributeBinNumerical(name="1_null", id=1, value=0.0),
            AttributeBinNumerical(id=2, lower_bound=-math.inf, upper_bound=30, value=-0.4),
            AttributeBinNumerical(id=3, lower_bound=30, upper_bound=50.5, value=0.1),
            AttributeBinNumerical(id=4, lower_bound=50.5, upper_bound=math.inf, value=0.6),
        ],
    )
    print("  AGE bins:", [b.name for b in age.feature_bucketing])
    print("  AGE", {v: age.bin_numeric_attribute(v) for v in (None, 18, 30, 30.5, "72")})
    city = FeatureBucketing(
        attribute="CITY",
        attribute_data_type="CATEGORICAL",
        feature_bucketing=[
            AttributeBinCategorical(id=2, categories=["Prague", "Brno"], value=0.3),
            AttributeBinCategorical(name="0_default", id=0, value=0.0),
        ],
    )
    print("  CITY bins:", [b.name for b in city.feature_bucketing])
    print("  CITY Plzen ->", city.bin_categoric_attribute("Plzen"))


def storage_texts() -> None:
    section("Storage texts: empty entries dropped, 12 digits, one document per list element")
    record = {"name": "scorer", "ratio": 1 / 3, "notes": None, "tags": [], "bins": [{"value": 0.1 + 0.2}]}
    text = valid_dumps_yaml(record)
    print("  " + text.replace("\n", "\n  ").rstrip())
    print("  read back:", safe_loads_yaml(text))
    print("  JSON:", safe_dumps_json({"ratio": 1 / 3}, indent=None))


def build_scorer() -> AugmentedScorer:
    section("1-2. Binnings from a description, preparation registry, scorer")
    binning = FeaturePreparation.add_feature_bucketing({
        "age": {"dtype": "NUMERICAL", "bins": [-math.inf, 30, 50, math.inf],
                "bin_vals": [-0.4, 0.1, 0.5], "binned_attribute_name": "age_woe"},
        "region": {"dtype": "CATEGORICAL", "bins": [["N", "E"], ["S", "W"]], "bin_vals": [0.2, -0.3],
                   "default": -0.1},
    })
    for bucketing in binning:
        print(f"  {bucketing.attribute}:", [b.name for b in bucketing.feature_bucketing])
    preparation = FeaturePreparation(binning=binning, dummy_encoding=[{"attribute": "region", "encoding": [
        {"value": "N", "encoded_feature_name": "region_N"},
        {"value": "S", "encoded_feature_name": "region_S", "use_for_undefined": True}]}])
    preparation.add_feature_reshaping(
        [{"attribute": "income", "transformed_attribute_name": "log_income", "transformation": "log(income)"}])
    scorer = AugmentedScorer(
        attributes=["age", "income", "region"], predictive_model_type="LOGISTIC_REGRESSION",
        target="default_12m", directory_name="pd_retail", feature_preparation=preparation,
        description={"predictive_model_created": date(2024, 5, 17),
                     "sample_metadata": [{"sample_type": "TRAIN", "first_date": "2019-01-01",
                                          "last_date": "2023-12-31", "number_of_observations": 12000}],
                     "hyperparameters": {"C": 0.5, "eval_metric": "['auc', 'logloss']"},
                     "attached_images": [{"type": "png", "filename": "roc.png", "image": b"\x89PNG..."}]},
        performance={"dataset_quality": [{"sample": "TRAIN", "target": "default_12m",
                                          "performance": {"AUC": 0.81, "GINI": 0.62}}],
                     "performance_metrics": ["auc", "gini", "lift(10)"]},
        monitoring={"binning": [binning[0]]},
        external_model={"feature_names": ["age_woe", "log_income", "region_S"],
                        "logreg_model_params": {"intercept_": [-1.5], "coef_": [[0.8, -0.125, 0.3]]}},
    )
    scorer.description.add_general_note("Developed on 2019-2023 applications.")
    print("  metrics:", [m.value for m in scorer.performance.performance_metrics])
    return scorer


def store_and_load(scorer: AugmentedScorer, store: pathlib.Path | None) -> AugmentedScorer:
    section("3. Content written to a folder and read back")
    with tempfile.TemporaryDirectory() as folder:
        root = write_model_folder(scorer, (store or pathlib.Path(folder)) / (scorer.directory_name or "model"))
        print("  wrote", sorted(p.name for p in root.iterdir()))
        print("  scorer.yaml starts:", (root / "scorer.yaml").read_text().splitlines()[:3])
        loaded = read_model_folder(root)
    changed = [n for n in AugmentedScorer.model_fields if getattr(loaded, n) != getattr(scorer, n)]
    print("  fields changed by the round trip:", changed,
          "(migration fills the model name:", repr(loaded.description.predictive_model_name) + ")")
    return loaded


def score_rows(scorer: AugmentedScorer) -> None:
    section("4. Input rows binned and encoded")
    rows = [{"age": 25, "region": "N"}, {"age": 61.5, "region": "Q"}, {"age": None, "region": "S"}]
    prep = scorer.feature_preparation
    print("  age ->", prep.apply_feature_bucketing_batch("age", [r["age"] for r in rows]))
    for row in rows:
        print("  region", row["region"], "->", prep.apply_dummy_encoding("region", row["region"]))


def serve(scorer: AugmentedScorer) -> None:
    section("5. GraphQL view of the model")

    @strawberry.type
    class Query:
        @strawberry.field
        def scorer(self) -> AugmentedScorerType:
            return scorer

    result = asyncio.run(strawberry.Schema(query=Query).execute(
        "{ scorer { formula category externalModel { intercept coefficients } "
        "description { evalMetric generalNotes { title content } } } }"))
    if result.errors:
        raise SystemExit(f"GraphQL errors: {result.errors}")
    view = result.data["scorer"]
    print("  formula:", view["formula"])
    print("  external model:", json.dumps(view["externalModel"]))
    print("  category:", view["category"], "| eval metric:", view["description"]["evalMetric"],
          "| notes:", view["description"]["generalNotes"])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--store", type=pathlib.Path, metavar="FOLDER",
                        help="keep the stored model in FOLDER/<directory name> (examples/graphql_server.py serves it)")
    args = parser.parse_args()
    structlog.configure(processors=[show_log])
    values_and_bins()
    storage_texts()
    scorer = build_scorer()
    loaded = store_and_load(scorer, args.store)
    score_rows(loaded)
    serve(loaded)


if __name__ == "__main__":
    main()
