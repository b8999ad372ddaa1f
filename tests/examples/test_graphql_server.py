"""The GraphQL server example: models stored in folders, served by uvicorn, queried over HTTP."""
import json
import pathlib
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.request

import pytest

from quorvex_analytics_utils.predictive_models.augmented_scorer import AugmentedScorer

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
sys.path.insert(0, str(EXAMPLES))
from model_folder import read_model_folder, read_model_folders, write_model_folder  # noqa: E402

LOGREG = AugmentedScorer.model_validate({
    "attributes": ["age", "income"],
    "predictive_model_type": "LOGISTIC_REGRESSION",
    "directory_name": "pd_retail",
    "feature_preparation": {
        "transformations": [
            {"attribute": "income", "transformed_attribute_name": "log_income", "transformation": "log(income)"}],
        "binning": [{"attribute": "age", "attribute_data_type": "NUMERICAL", "feature_bucketing": [
            {"type": "NUMERICAL", "lower_bound": float("-inf"), "upper_bound": 0.005, "value": 0.1, "id": 2},
            {"type": "NUMERICAL", "lower_bound": 0.005, "upper_bound": float("inf"), "value": 0.2, "id": 3},
            {"type": "NUMERICAL", "name": "1_null", "value": 0.0, "id": 1}]}],
    },
    "description": {"attached_images": [{"type": "png", "filename": "roc.png", "image": b"\x89PNG roc"}]},
    "external_model": {"feature_names": ["age", "log_income"],
                       "logreg_model_params": {"intercept_": [-1.5], "coef_": [[0.25, -0.125]]}},
})
TREES = AugmentedScorer(attributes=["x"], predictive_model_type="RANDOM_FOREST",
                        external_model={"model": {"n_estimators": 3}})


def test_model_folders_round_trip(tmp_path):
    write_model_folder(LOGREG, tmp_path / "b_logreg")
    write_model_folder(TREES, tmp_path / "a_trees")
    (tmp_path / "not_a_model").mkdir()
    models = read_model_folders(tmp_path)
    assert list(models) == ["a_trees", "b_logreg"]
    assert models["b_logreg"].description.attached_images[0].image == b"\x89PNG roc"
    assert models["b_logreg"].feature_preparation == LOGREG.feature_preparation
    assert read_model_folders(tmp_path / "a_trees") == {"a_trees": read_model_folder(tmp_path / "a_trees")}


def test_a_broken_model_folder_is_named(tmp_path):
    write_model_folder(LOGREG, tmp_path / "pd_retail")
    (tmp_path / "pd_retail" / "scorer.yaml").write_text("attributes: 12\n")
    with pytest.raises(ValueError, match="pd_retail") as raised:
        read_model_folders(tmp_path)
    assert raised.value.__cause__ is not None


@pytest.mark.parametrize("filename", ["../roc.png", "/tmp/roc.png", "sub/roc.png", "scorer.yaml", ".."])
def test_an_image_is_never_stored_outside_its_folder_or_over_the_content(tmp_path, filename):
    scorer = LOGREG.model_copy(deep=True)
    scorer.description.attached_images[0].filename = filename
    with pytest.raises(ValueError, match="cannot store an attached image"):
        write_model_folder(scorer, tmp_path / "model")
    assert not (tmp_path / "model").exists()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def post(url, query):
    request = urllib.request.Request(url, data=json.dumps({"query": query}).encode(),
                                     headers={"Content-Type": "application/json"})
    with urllib.request.urlopen(request, timeout=10) as response:
        return json.loads(response.read())


@pytest.fixture
def server(tmp_path):
    write_model_folder(LOGREG, tmp_path / "pd_retail")
    write_model_folder(TREES, tmp_path / "trees")
    url = f"http://127.0.0.1:{free_port()}/graphql"
    process = subprocess.Popen([sys.executable, str(EXAMPLES / "graphql_server.py"), str(tmp_path),
                                "--port", url.split(":")[2].split("/")[0]],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    try:
        deadline = time.monotonic() + 20
        while True:
            try:
                post(url, "{ __typename }")
                break
            except (urllib.error.URLError, ConnectionError):
                if process.poll() is not None or time.monotonic() > deadline:
                    raise AssertionError(process.communicate(timeout=5)[0].decode()) from None
                time.sleep(0.1)
        yield url
    finally:
        process.terminate()
        process.wait(timeout=10)


QUERY = """{
  scorers { name scorer { formula category externalModel { intercept coefficients numberOfTrees } } }
  one: scorer(name: "pd_retail") { featurePreparation { binning { attribute featureBucketing {
    __typename ... on AttributeBinNumericalType { name lowerBound formattedLowerBound formattedUpperBound } } } } }
  none: scorer(name: "missing") { formula }
}"""


def test_the_server_answers_queries_over_http(server):
    answer = post(server, QUERY)
    assert "errors" not in answer
    data = answer["data"]
    assert data["scorers"] == [
        {"name": "pd_retail", "scorer": {
            "formula": "-1.5000 + 0.2500 * age - 0.1250 * (log(income))", "category": "STATIC",
            "externalModel": {"intercept": -1.5, "coefficients": [0.25, -0.125], "numberOfTrees": None}}},
        {"name": "trees", "scorer": {
            "formula": None, "category": "STATIC",
            "externalModel": {"intercept": None, "coefficients": None, "numberOfTrees": None}}},
    ]
    bins = data["one"]["featurePreparation"]["binning"][0]["featureBucketing"]
    assert [(b["formattedLowerBound"], b["formattedUpperBound"]) for b in bins] == [
        ("-inf", "5.00E-03"), ("5.00E-03", "inf"), (None, None)]
    assert data["none"] is None
    page = urllib.request.urlopen(urllib.request.Request(server, headers={"Accept": "text/html"}), timeout=10)
    assert "graphiql" in page.read().decode().lower()
