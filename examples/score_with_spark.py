"""Scoring a Spark DataFrame with `mapInArrow` (Spark `local[2]`).

`spark_map_in_arrow` gives the two arguments of `DataFrame.mapInArrow`: a picklable partition
function and the output schema. Here the scorer travels as its stored content, rebuilt once per
Python worker process (`AugmentedScorer.parse_from_content_cached`), as a cluster does when the
model is read from storage. Needs Java 17+ and pyspark (`scripts/test-spark` installs both).

    .venv/bin/python examples/score_with_spark.py [rows]
"""

import os
import sys
import time

from pyspark.sql import SparkSession

from portfolio_model import portfolio, scorer
from quorvex_analytics_utils.predictive_models.frames import spark_map_in_arrow


def main(rows: int) -> None:
    os.environ.setdefault("PYSPARK_PYTHON", sys.executable)  # workers run this interpreter
    spark = (SparkSession.builder.master("local[2]").appName("quorvex-scoring")
             .config("spark.ui.enabled", "false").getOrCreate())
    spark.sparkContext.setLogLevel("ERROR")
    model = scorer()
    clients = spark.createDataFrame(portfolio(rows)).repartition(4)

    start = time.perf_counter()
    scored = clients.mapInArrow(
        *spark_map_in_arrow(model.get_content(), clients.schema, keep=["client_id"], probability=True))
    result = scored.toPandas()
    print(f"scored {len(result)} clients in {time.perf_counter() - start:.2f} s")
    print(result.sort_values("client_id").head())

    features = clients.mapInArrow(*spark_map_in_arrow(model.feature_preparation, clients.schema,
                                                      keep=["client_id"]))
    print("features:", features.schema.simpleString())
    spark.stop()


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 100_000)
