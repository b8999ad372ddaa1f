"""Spark: the mapInArrow route transforms and scores partitions as one process does. Runs where
Java 17+ and pyspark are installed (scripts/test-spark installs both); skipped elsewhere."""
import os
import re
import shutil
import subprocess
import sys

import pytest

import frames_support as fs


def java_major():
    java = os.path.join(os.environ["JAVA_HOME"], "bin", "java") if os.environ.get("JAVA_HOME") \
        else shutil.which("java")
    if not java:
        return 0
    try:
        text = subprocess.run([java, "-version"], capture_output=True, text=True,
                              timeout=30).stderr
    except (OSError, subprocess.SubprocessError):
        return 0
    found = re.search(r'version "(\d+)(?:\.(\d+))?', text)
    if not found:
        return 0
    major = int(found.group(1))
    return int(found.group(2) or 0) if major == 1 else major


pytest.importorskip("pyspark")
if java_major() < 17:
    pytest.skip("Spark needs Java 17 or later", allow_module_level=True)
pd = pytest.importorskip("pandas")

from quorvex_analytics_utils.predictive_models.frames import spark_map_in_arrow  # noqa: E402


@pytest.fixture(scope="module")
def spark():
    from pyspark.sql import SparkSession

    os.environ.setdefault("PYSPARK_PYTHON", sys.executable)
    session = (SparkSession.builder.master("local[2]").appName("quorvex-tests")
               .config("spark.ui.enabled", "false")
               .config("spark.sql.shuffle.partitions", "2").getOrCreate())
    yield session
    session.stop()


def frames(spark, n=60):
    pdf = pd.DataFrame(fs.rows(n))
    pdf.insert(0, "id", range(n))
    return pdf, spark.createDataFrame(pdf).repartition(3)


def test_transform_route_gives_what_one_process_gives(spark):
    prep = fs.registry()
    pdf, df = frames(spark)
    fn, schema = spark_map_in_arrow(prep, df.schema, keep=["id"])
    assert schema.startswith("`id` bigint, `age_woe` double, `city` double, `city_A` tinyint")
    got = df.mapInArrow(fn, schema).toPandas().sort_values("id").set_index("id")
    expected = prep.transform_frame(pdf.set_index("id"))
    pd.testing.assert_frame_equal(got, expected.astype({c: "int8" for c in expected.columns
                                                        if expected[c].dtype == "uint8"}),
                                  check_index_type=False)


@pytest.mark.parametrize("shipped", ["record", "content"])
def test_score_route_gives_what_one_process_gives(spark, shipped):
    model = fs.scorer()
    pdf, df = frames(spark)
    fn, schema = spark_map_in_arrow(model if shipped == "record" else model.get_content(),
                                    df.schema, keep=["id"], probability=True)
    assert schema == "`id` bigint, `score` double"
    got = df.mapInArrow(fn, schema).toPandas().sort_values("id")
    assert got["score"].tolist() == model.score_frame(pdf, probability=True).tolist()


def test_keep_needs_the_input_schema():
    with pytest.raises(ValueError, match="input frame's schema"):
        spark_map_in_arrow(fs.registry(), keep=["id"])
