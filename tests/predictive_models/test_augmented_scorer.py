import ast
import io
import json
import re
from datetime import date

import pytest
import strawberry
from pydantic import ValidationError

from graphql_support import full_selection, query
from quorvex_analytics_utils.predictive_models import augmented_scorer as mod
from quorvex_analytics_utils.predictive_models.augmented_scorer import (
    AbstractAugmentedScorer,
    AugmentedScorer,
    AugmentedScorerType,
    PredictiveModelCategory,
    PredictiveModelType,
)
from quorvex_analytics_utils.predictive_models.content import AugmentedScorerContent
from quorvex_analytics_utils.predictive_models.feature_preparation.feature_preparation import (
    FeaturePreparation,
)
from quorvex_analytics_utils.utils import dump

LOGREG = {"logreg_model_params": {"intercept_": [-1.5], "coef_": [[0.25, -0.125]]}}


def numerical_binning(attribute, binned=None):
    return {
        "attribute": attribute,
        "attribute_data_type": "NUMERICAL",
        "binned_attribute_name": binned,
        "feature_bucketing": [
            {"type": "NUMERICAL", "lower_bound": float("-inf"), "upper_bound": 10.0, "value": 0.1, "id": 2},
            {"type": "NUMERICAL", "lower_bound": 10.0, "upper_bound": float("inf"), "value": 0.2, "id": 3},
            {"type": "NUMERICAL", "name": "1_null", "value": 0.0, "id": 1},
            {"type": "NUMERICAL", "name": "0_system_default", "value": 0.0, "id": 0},
        ],
    }


def rich_scorer(**overrides):
    data = {
        "attributes": ["age", "income", "region"],
        "predictive_model_type": "LOGISTIC_REGRESSION",
        "target": "default_12m",
        "target_class": "1",
        "directory_name": "pd_retail",
        "feature_preparation": {
            "transformations": [
                {"attribute": "income", "transformed_attribute_name": "log_income", "transformation": "log(income)"}
            ],
            "binning": [numerical_binning("age", "age_woe"), numerical_binning("log_income")],
            "dummy_encoding": [
                {
                    "attribute": "region",
                    "encoding": [
                        {"value": "N", "encoded_feature_name": "region_N"},
                        {"value": "S", "encoded_feature_name": "region_S", "use_for_undefined": True},
                    ],
                }
            ],
        },
        "description": {
            "predictive_model_name": "PD retail",
            "predictive_model_created": date(2024, 5, 17),
            "sample_metadata": [{"sample_type": "TRAIN", "first_date": date(2019, 1, 1), "number_of_observations": 9,
                                 "label_class_frequency": [{"label_class": 1, "number_of_observations": 2}]}],
            "attribute_description": {"age": "age in years"},
            "hyperparameters": {"C": 0.5, "eval_metric": "auc"},
            "number_of_trainable_parameters": 4,
            "general_notes": {"note_1": "first"},
            "attached_images": [
                {"type": "png", "filename": "roc.png", "image": b"\x89PNG roc"},
                {"type": "png", "filename": "lift.png", "image": b"\x89PNG lift"},
            ],
        },
        "performance": {
            "dataset_quality": [
                {"sample": "TRAIN", "target": "default_12m", "performance": {"AUC": 0.81, "TAR": 0.25}},
                {"sample": "OOT", "target": "default_12m", "performance": {"GINI": 0.6, "KS": 0.41}},
            ],
            "performance_metrics": ["AUC", "gini"],
        },
        "monitoring": {"binning": [numerical_binning("age")]},
        "external_model": {
            "feature_names": ["age", "log_income", "region_S"],
            "logreg_model_params": {"intercept_": [-1.5], "coef_": [[0.25, -0.125, 1]]},
        },
    }
    data.update(overrides)
    return AugmentedScorer.model_validate(data)


def round_trip(scorer):
    return AugmentedScorer.parse_from_content(scorer.get_content())


# ---- classes and enums


def test_module_classes_in_order():
    names = [n for n in vars(mod) if not n.startswith("_")]
    wanted = ["PredictiveModelType", "PredictiveModelCategory", "AbstractAugmentedScorer", "AugmentedScorer",
              "ExternalPredictiveModelType", "AugmentedScorerType"]
    assert [n for n in names if n in wanted] == wanted
    assert [m.value for m in PredictiveModelType] == [
        "LOGISTIC_REGRESSION", "PMML", "XGB", "EXPERT_SCORE", "RANDOM_FOREST", "COX_PH_FITTER"]
    assert PredictiveModelCategory.HORIZON == "HORIZON"
    assert list(AugmentedScorer.model_fields) == [
        "attributes", "predictive_model_type", "target", "target_class", "feature_preparation",
        "description", "performance", "monitoring", "directory_name", "external_model"]


def test_abstract_class_cannot_be_built_and_its_bodies_raise_bare_not_implemented():
    with pytest.raises(TypeError, match="abstract"):
        AbstractAugmentedScorer()
    scorer = AugmentedScorer()
    abstract = sorted(AbstractAugmentedScorer.__abstractmethods__)
    assert len(abstract) == 10 and "_migrate" in abstract
    for name in abstract:
        with pytest.raises(NotImplementedError) as info:
            getattr(AbstractAugmentedScorer, name)(scorer)
        assert info.value.args == ()


def test_defaults_are_fresh_per_record():
    a, b = AugmentedScorer(), AugmentedScorer()
    for name in ["attributes", "feature_preparation", "description", "performance", "monitoring", "external_model"]:
        assert getattr(a, name) is not getattr(b, name)
    a.feature_preparation.add_feature_reshaping([{"attribute": "x", "transformation": "x*2"}])
    assert b.feature_preparation.transformations == []


# ---- content


@pytest.mark.parametrize(
    "model_type, model, json_text, pmml_text",
    [
        (None, {}, "{}", None),
        ("XGB", {"a": 1}, '{\n  "a": 1\n}', None),
        ("LOGISTIC_REGRESSION", LOGREG, json.dumps(LOGREG, indent=2), None),
        ("PMML", {"pmml_model": "<PMML/>"}, None, "<PMML/>"),
    ],
)
def test_content_streams_by_model_type(model_type, model, json_text, pmml_text):
    content = AugmentedScorer(predictive_model_type=model_type, external_model=model).get_content()
    assert isinstance(content, AugmentedScorerContent)
    for stream, text in [(content.external_model_json, json_text), (content.external_model_pmml, pmml_text)]:
        if text is None:
            assert stream is None
        else:
            assert stream.tell() == 0 and stream.read() == text
    assert "external_model" not in content.augmented_scorer_yaml.getvalue()


def test_pmml_without_document_is_a_key_error():
    scorer = AugmentedScorer(predictive_model_type="PMML")
    with pytest.raises(KeyError, match="pmml_model"):
        scorer.get_content()


def test_rich_scorer_round_trip_field_by_field():
    scorer = rich_scorer()
    content = scorer.get_content()
    assert set(content.attached_images) == {"roc.png", "lift.png"}
    assert content.attached_images["roc.png"].getvalue() == b"\x89PNG roc"
    back = AugmentedScorer.parse_from_content(content)
    for name in AugmentedScorer.model_fields:
        assert getattr(back, name) == getattr(scorer, name), name
    images = back.description.attached_images
    assert [i.image for i in images] == [b"\x89PNG roc", b"\x89PNG lift"]
    # the streams read are left at their end
    assert content.augmented_scorer_yaml.tell() == len(content.augmented_scorer_yaml.getvalue())


def test_pydantic_json_round_trip_keeps_infinities_and_nan():
    # pydantic's JSON text wrote them as null: the bounds read back as None and scoring failed.
    inf, nan = float("inf"), float("nan")
    binning = numerical_binning("age", "age_woe")
    binning["feature_bucketing"][2].update(value=nan, frequency=inf, target_rate=-inf)
    scorer = rich_scorer(
        feature_preparation={"binning": [binning]},
        monitoring={"binning": [numerical_binning("age")]},
        performance={"dataset_quality": [{"sample": "TRAIN", "target": "t", "performance": {"AUC": nan, "KS": inf}}]},
        external_model={"feature_names": ["age"], "logreg_model_params": {"intercept_": [-inf], "coef_": [[nan]]}},
    )
    scorer.description.hyperparameters.update(gamma=inf, alpha=[nan, -inf])
    text = scorer.model_dump_json()
    back = AugmentedScorer.model_validate_json(text)
    assert back.model_dump_json() == text and json.loads(text)["description"]["hyperparameters"]["gamma"] == inf
    assert back.monitoring == scorer.monitoring
    assert back.feature_preparation.binning[0].bin_numeric_attribute(50) == 0.2


def test_rich_scorer_is_stored_by_the_native_writer_as_ruamel_writes_it(monkeypatch):
    scorer = rich_scorer()
    documents = []
    represent = dump.ValidRepresenter.represent
    monkeypatch.setattr(dump.ValidRepresenter, "represent", lambda self, data: (documents.append(data),
                                                                                represent(self, data))[1])
    text = scorer.get_content().augmented_scorer_yaml.getvalue()
    assert documents == []
    assert "- performance:\n      AUC: 0.81\n      TAR: 0.25\n" in text
    assert text == dump.valid_dumps_yaml(scorer, transform=None)


def test_reading_streams_rewinds_them_and_json_wins_over_pmml():
    yaml_stream = io.StringIO("attributes:\n- a\n")
    yaml_stream.read()
    json_stream = io.StringIO('{"feature_names": ["a"]}')
    json_stream.read()
    content = AugmentedScorerContent(augmented_scorer_yaml=yaml_stream, external_model_json=json_stream,
                                     external_model_pmml=io.StringIO("<PMML/>"))
    back = AugmentedScorer.parse_from_content(content)
    assert back.attributes == ["a"] and back.external_model == {"feature_names": ["a"]}
    assert content.external_model_pmml.tell() == 0


def test_reading_pmml_and_nothing():
    content = AugmentedScorerContent(augmented_scorer_yaml=io.StringIO("predictive_model_type: PMML\n"),
                                     external_model_pmml=io.StringIO("<PMML/>"))
    back = AugmentedScorer.parse_from_content(content)
    assert back.external_model == {"type": PredictiveModelType.PMML, "pmml_model": "<PMML/>"}
    assert type(back.external_model["type"]) is PredictiveModelType
    content = AugmentedScorerContent(augmented_scorer_yaml=io.StringIO("target: y\n"))
    assert AugmentedScorer.parse_from_content(content).external_model == {}


@pytest.mark.parametrize(
    "yaml_text, json_text, error",
    [
        ("a: [1\n", None, Exception),  # the YAML parser's own error
        ("target: y\n", "{not json", json.JSONDecodeError),
        ("", "{}", TypeError),  # an empty document cannot take the external model
        ("colour: red\n", None, ValidationError),
        ("attributes: 5\n", None, ValidationError),
    ],
)
def test_bad_content(yaml_text, json_text, error):
    content = AugmentedScorerContent(augmented_scorer_yaml=io.StringIO(yaml_text),
                                     external_model_json=json_text and io.StringIO(json_text))
    with pytest.raises(error):
        AugmentedScorer.parse_from_content(content)


def test_image_without_bytes_is_left_out_and_reads_back_without_bytes():
    scorer = AugmentedScorer(description={"attached_images": [
        {"type": "png", "filename": "a.png"}, {"type": "png", "filename": "b.png", "image": b"B"}]})
    content = scorer.get_content()
    assert list(content.attached_images) == ["b.png"]
    back = AugmentedScorer.parse_from_content(content)
    assert [(i.filename, i.image) for i in back.description.attached_images] == [("a.png", None), ("b.png", b"B")]
    assert AugmentedScorer(description={"attached_images": None}).get_content().attached_images == {}


@pytest.mark.parametrize(
    "fields",
    [
        {"attributes": ["region"], "feature_preparation": {
            "dummy_encoding": [{"attribute": "region", "encoding": []}]}},
        # A class label of None is legitimate: the required field of any type comes back as None.
        {"description": {"sample_metadata": [
            {"label_class_frequency": [{"label_class": None, "number_of_observations": 3}]}]}},
    ],
    ids=["empty dummy encoding", "class label None"],
)
def test_required_values_dropped_by_the_writer_survive_storage(fields):
    scorer = AugmentedScorer(**fields)
    back = round_trip(scorer)
    assert back.feature_preparation == scorer.feature_preparation
    assert back.description.sample_metadata == scorer.description.sample_metadata


def test_required_fields_of_every_kind_dropped_by_the_writer_come_back():
    # Only a list or dict annotation used to be restored: the others stayed missing (unreadable).
    from collections.abc import Mapping, Sequence
    from typing import Annotated, Any, List, Optional, Union

    from pydantic import Field

    from quorvex_analytics_utils.utils.record_base import RecordBase

    class Inner(RecordBase):
        needed: List[int]

    class Defaults(RecordBase):
        note: str = "n"

    class Holder(RecordBase):
        words: Union[str, List[str]]
        table: Mapping[str, int]
        items: Sequence[int]
        sized: Annotated[List[int], Field(max_length=3)]
        inner: Inner
        defaults: Defaults  # dumped as {} (all at their defaults), then dropped
        maybe: Optional[Union[List[int], str]]
        anything: Any

    class Extended(AugmentedScorer):
        holder: Holder

    holder = Holder(words=[], table={}, items=[], sized=[], inner=Inner(needed=[]), defaults=Defaults(),
                    maybe=None, anything=[])
    content = Extended(holder=holder).get_content()
    assert "holder:\n  inner: {}\n" in content.augmented_scorer_yaml.getvalue()
    back = Extended.parse_from_content(content).holder
    assert (back.words, dict(back.table), list(back.items), back.sized, back.inner, back.defaults, back.maybe) == (
        [], {}, [], [], Inner(needed=[]), Defaults(), None)
    # None, [] and {} are all dropped alike: a field of any type cannot tell them apart, and gets None.
    assert back.anything is None


def test_record_with_required_fields_left_out_in_nested_union():
    # A bin list emptied after validation still comes back as an empty list.
    scorer = rich_scorer()
    scorer.monitoring.binning[0].feature_bucketing = []
    scorer.feature_preparation.binning[0].feature_bucketing = []
    back = round_trip(scorer)
    assert back.monitoring == scorer.monitoring
    assert back.feature_preparation.binning[0].feature_bucketing == []


def _laughs(leaf, levels=9, fan=10):
    """Flow nodes &a0 .. &a{levels-1}, each holding `fan` aliases of the one before: 10^9 leaves."""
    nodes = ["&a0 [" + ", ".join([leaf] * fan) + "]"]
    nodes += [f"&a{i} [" + ", ".join([f"*a{i - 1}"] * fan) + "]" for i in range(1, levels)]
    return nodes


def _merges(levels=9, fan=10):
    """Mappings &m0 .. that merge `fan` aliases of the one before: ruamel flattened them in full."""
    nodes = ["&m0 {" + ", ".join(f"k{j}: x" for j in range(fan)) + "}"]
    nodes += [f"&m{i} {{<<: [" + ", ".join([f"*m{i - 1}"] * fan) + "]}" for i in range(1, levels)]
    return nodes


_BIN = "{type: NUMERICAL, lower_bound: 1.0, upper_bound: 2.0, value: 0.5}"
ALIAS_BOMBS = {
    # The whole stored text of a scorer; every one is a few hundred bytes to a few kilobytes.
    "hyperparameters (any values)": "description:\n  hyperparameters:\n"
    + "".join(f"    a{i}: {node}\n" for i, node in enumerate(_laughs('"lol"'))),
    "attributes (list of text)": "attributes: [" + ", ".join(_laughs('"lol"')) + "]\n",
    "general notes (mapping of text, merge keys)": "description:\n  general_notes:\n"
    + "".join(f"    n{i}: {node}\n" for i, node in enumerate(_merges())),
    "bins (list of records)": "feature_preparation:\n  binning:\n"
    + "  - &fb {attribute: x, attribute_data_type: NUMERICAL, feature_bucketing: &bins ["
    + ", ".join([f"&b {_BIN}"] + ["*b"] * 999) + "]}\n" + "  - *fb\n" * 999,
    "metrics (mapping of numbers)": "performance:\n  dataset_quality:\n  - sample: TRAIN\n    target: y\n"
    + "    performance: {<<: [" + ", ".join(_merges()) + "]}\n",
}

_READ_ALIAS_BOMBS = """
import io, json, resource, sys, time
from quorvex_analytics_utils.predictive_models.augmented_scorer import AugmentedScorer
from quorvex_analytics_utils.predictive_models.content import AugmentedScorerContent

with open("/proc/self/maps") as maps:
    if "libasan" not in maps.read():  # the sanitizer reserves more address space than any cap
        resource.setrlimit(resource.RLIMIT_AS, (4_000_000_000, resource.RLIM_INFINITY))
results = {}
for name, text in json.load(sys.stdin).items():
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    try:
        scorer = AugmentedScorer.parse_from_content(AugmentedScorerContent(augmented_scorer_yaml=io.StringIO(text)))
        outcome = ["built", str(len(scorer.get_content().augmented_scorer_yaml.getvalue()))]
    except Exception as e:
        outcome = [type(e).__name__, str(e)]
    grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
    results[name] = outcome + [grown]
json.dump(results, sys.stdout)
"""


@pytest.fixture(scope="module")
def alias_bomb_outcomes():
    # One child process for the table: were the limit lost, it would run out of memory or time
    # there (bounded by its memory cap and the timeout) instead of taking the test run down.
    import subprocess
    import sys

    run = subprocess.run([sys.executable, "-c", _READ_ALIAS_BOMBS], input=json.dumps(ALIAS_BOMBS),
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr[-2000:]
    return json.loads(run.stdout)


@pytest.mark.parametrize("kind", list(ALIAS_BOMBS))
def test_stored_text_with_excessive_aliasing_is_refused_before_anything_is_built(kind, alias_bomb_outcomes):
    # They used to load into millions of records or expand to 10^9 values when dumped or printed.
    assert len(ALIAS_BOMBS[kind]) < 30_000
    error, message, grown_kb = alias_bomb_outcomes[kind]
    assert error == "ComposerError" and message.startswith("found excessive aliasing: the ")
    assert grown_kb < 50_000


class FailsOnce:
    """A class attribute whose first read raises: the reading of a record's fields fails once."""

    def __init__(self):
        self.failed = False

    def __get__(self, obj, cls):
        if not self.failed:
            self.failed = True
            raise RuntimeError("fields unavailable")
        return cls.__pydantic_fields__


def test_a_failed_first_read_does_not_spoil_later_reads():
    from typing import List, Optional

    from quorvex_analytics_utils.utils.record_base import RecordBase

    class Inner(RecordBase):
        needed: List[int]

    class Extended(AugmentedScorer):
        extra: Optional[Inner] = None
        tail: List[int]

    type.__setattr__(Inner, "model_fields", FailsOnce())
    content = Extended(extra=Inner(needed=[]), tail=[]).get_content()
    with pytest.raises(RuntimeError, match="fields unavailable"):
        Extended.parse_from_content(content)
    back = Extended.parse_from_content(content)
    assert back.extra == Inner(needed=[]) and back.tail == []


# ---- migration


@pytest.mark.parametrize(
    "model_type, model, expected_names",
    [
        ("EXPERT_SCORE", {}, "attributes"),
        ("EXPERT_SCORE", {"feature_names": None}, "attributes"),
        ("EXPERT_SCORE", {"feature_names": []}, "attributes"),
        ("EXPERT_SCORE", {"feature_names": ["z"]}, ["z"]),
        ("XGB", {}, None),
        (None, {}, None),
    ],
)
def test_migration_of_feature_names(model_type, model, expected_names):
    scorer = AugmentedScorer(attributes=["a", "b"], predictive_model_type=model_type, external_model=model)
    assert scorer._migrate() is None
    if expected_names == "attributes":
        assert scorer.external_model["feature_names"] is scorer.attributes
    else:
        assert scorer.external_model.get("feature_names") == expected_names


@pytest.mark.parametrize(
    "name, directory, expected",
    [(None, "dir", "dir"), ("kept", "dir", "kept"), (None, None, None)],
)
def test_migration_of_model_name_through_content(name, directory, expected):
    scorer = AugmentedScorer(directory_name=directory, description={"predictive_model_name": name})
    assert round_trip(scorer).description.predictive_model_name == expected


# ---- consistency


def message_sets(error):
    [detail] = error.errors()
    match = re.search(r"unknown attributes: (.*)\. Model attributes are (.*)\.$", detail["msg"])
    parse = lambda s: set() if s == "set()" else ast.literal_eval(s)  # noqa: E731
    return parse(match.group(1)), parse(match.group(2))


@pytest.mark.parametrize(
    "attributes, transformations, binning, kind, unknown",
    [
        (["age", "income"], [("debt", "debt2")], [], "Transformation", {"debt"}),
        ([], [("x", "y")], [], "Transformation", {"x"}),
        (["age"], [("x", "y")], ["nowhere"], "Transformation", {"x"}),  # bucketing not checked then
        # a transformation cannot start from an attribute that another one creates
        (["a"], [("a", "b"), ("b", "c")], [], "Transformation", {"b"}),
        (["age", "income"], [("income", "log_income")], ["nowhere", "age", "other"], "Binning", {"nowhere", "other"}),
    ],
)
def test_consistency_messages(attributes, transformations, binning, kind, unknown):
    data = {
        "attributes": attributes,
        "feature_preparation": {
            "transformations": [{"attribute": a, "transformed_attribute_name": t, "transformation": "f"}
                                for a, t in transformations],
            "binning": [numerical_binning(b) for b in binning],
        },
    }
    with pytest.raises(ValidationError) as info:
        AugmentedScorer.model_validate(data)
    assert f"{kind} defined for unknown attributes: " in str(info.value)
    assert message_sets(info.value) == (unknown, set(attributes))


@pytest.mark.parametrize(
    "attributes, transformations, binning",
    [
        ([], [], []),
        (["x"], [], []),
        (["income"], [("income", "log_income")], ["log_income", "income"]),
        (["income"], [("income", "income")], ["income"]),
        (["a", "a"], [], ["a"]),
    ],
)
def test_consistent_records_pass(attributes, transformations, binning):
    AugmentedScorer.model_validate({
        "attributes": attributes,
        "feature_preparation": {
            "transformations": [{"attribute": a, "transformed_attribute_name": t, "transformation": "f"}
                                for a, t in transformations],
            "binning": [numerical_binning(b) for b in binning],
            "dummy_encoding": [{"attribute": "unrelated", "encoding": [
                {"value": 1, "encoded_feature_name": "unrelated_1"}]}],
        },
    })


# ---- coefficients


@pytest.mark.parametrize(
    "attributes, model, attribute, expected",
    [
        (["age", "income"], LOGREG, "income", -0.125),
        (["age", "income"], LOGREG, "debt", None),
        (["age", "age"], {"model": {"coef_": [[1, 2]]}}, "age", 1.0),
        (["a"], {"feature_names": ["b", "a"], "model": {"coef_": [[3, 4]]}}, "a", 4.0),
        (["a", "b"], {"feature_names": [], "model": {"coef_": [[3, 4]]}}, "b", 4.0),
        (["a"], {}, "a", None),
        (["a"], {"model": {"coef_": {1: 2}}}, "a", None),  # KeyError inside the lookup
    ],
)
def test_get_coefficient(attributes, model, attribute, expected):
    result = AugmentedScorer(attributes=attributes, external_model=model).get_coefficient(attribute)
    assert result == expected and (result is None or type(result) is float)


@pytest.mark.parametrize(
    "model, attribute, error",
    [
        ({"model": {"coef_": [[1]]}}, "b", IndexError),
        ({"model": {"coef_": [["x", 2]]}}, "a", TypeError),
    ],
)
def test_get_coefficient_errors_that_propagate(model, attribute, error):
    with pytest.raises(error):
        AugmentedScorer(attributes=["a", "b"], external_model=model).get_coefficient(attribute)


@pytest.mark.parametrize("bad", [None, 1, b"a"])
def test_get_coefficient_needs_exact_str(bad):
    with pytest.raises(TypeError, match="attribute"):
        AugmentedScorer().get_coefficient(bad)


# ---- external model


@pytest.mark.parametrize(
    "model, expected",
    [
        ({}, None),
        ({"intercept": 2, "model": {"intercept_": [5]}}, 2.0),
        ({"intercept": None, "model": {"intercept_": [5]}}, None),
        ({"model": {"intercept_": [5]}, "logreg_model_params": {"intercept_": [6]}}, 5.0),
        ({"model": {}, "logreg_model_params": {"intercept_": [6]}}, 6.0),
        ({"model": {"intercept_": {}}, "logreg_model_params": {"intercept_": [6]}}, 6.0),
        ({"logreg_model_params": {"coef_": [[1]]}}, None),
    ],
)
def test_intercept_fallback_order(model, expected):
    result = AugmentedScorer(external_model=model).get_external_model_intercept()
    assert result == expected and (result is None or type(result) is float)


@pytest.mark.parametrize(
    "model, expected",
    [
        ({}, None),
        ({"coefficients": [[1.0]]}, None),
        ({"model": {"coef_": [[1.0, 2.0]]}, "logreg_model_params": {"coef_": [[3.0]]}}, [1.0, 2.0]),
        ({"model": {"intercept_": [1]}, "logreg_model_params": {"coef_": [[3.0]]}}, [3.0]),
    ],
)
def test_coefficients_fallback_order(model, expected):
    assert AugmentedScorer(external_model=model).get_external_model_coefficients() == expected


@pytest.mark.parametrize(
    "getter, model, error",
    [
        ("get_external_model_intercept", {"intercept": "x"}, TypeError),
        ("get_external_model_intercept", {"model": {"intercept_": []}}, IndexError),
        ("get_external_model_intercept", {"model": [1]}, TypeError),
        ("get_external_model_feature_names", {"feature_names": "ab"}, TypeError),
        ("get_external_model_intercept_name", {"intercept_name": 1}, TypeError),
        ("get_external_model_coefficients", {"model": {"coef_": [5]}}, TypeError),
    ],
)
def test_malformed_external_models_propagate(getter, model, error):
    with pytest.raises(error):
        getattr(AugmentedScorer(external_model=model), getter)()


def test_names_and_intercept_name():
    scorer = AugmentedScorer(external_model={"feature_names": ["a"], "intercept_name": "const"})
    assert scorer.get_external_model_feature_names() == ["a"]
    assert scorer.get_external_model_intercept_name() == "const"
    assert AugmentedScorer().get_external_model_intercept_name() is None


XGB_MODEL = {"xgb_model": {"learner": {
    "attributes": {"best_iteration": "41", "best_score": "0.75"},
    "gradient_booster": {"model": {"gbtree_model_param": {"num_trees": " 100 "}}},
    "learner_model_param": {"num_feature": 12.9},
}}}


@pytest.mark.parametrize(
    "getter, expected",
    [
        ("get_external_model_best_iteration", 42),
        ("get_external_model_number_of_trees", 100),
        ("get_external_model_number_of_attributes", 12),
        ("get_external_model_best_eval_metric", 0.75),
    ],
)
def test_xgb_figures(getter, expected):
    assert getattr(AugmentedScorer(predictive_model_type="XGB", external_model=XGB_MODEL), getter)() == expected
    assert getattr(AugmentedScorer(predictive_model_type="RANDOM_FOREST", external_model=XGB_MODEL), getter)() is None
    assert getattr(AugmentedScorer(predictive_model_type="XGB", external_model={"xgb_model": {}}), getter)() is None


def _booster(name, layout):
    trees = {"model": {"gbtree_model_param": {"num_trees": "52"}}}
    booster = {"name": name, "gbtree": {"name": "gbtree", **trees}} if layout == "nested" else {"name": name, **trees}
    return {"xgb_model": {"learner": {"gradient_booster": booster}}}


@pytest.mark.parametrize("name, layout, trees", [
    ("dart", "nested", 52),  # XGBoost 2 writes dart with a gbtree level (used to give None)
    ("dart", "plain", 52),  # XGBoost 3
    ("gbtree", "plain", 52),
    ("gbtree", "nested", None),  # only a dart booster is read one level down
])
def test_number_of_trees_of_dart_boosters(name, layout, trees):
    scorer = AugmentedScorer(predictive_model_type="XGB", external_model=_booster(name, layout))
    assert scorer.get_external_model_number_of_trees() == trees


def test_xgb_bad_figure_propagates():
    model = {"xgb_model": {"learner": {"attributes": {"best_iteration": "4.5"}}}}
    with pytest.raises(ValueError):
        AugmentedScorer(predictive_model_type="XGB", external_model=model).get_external_model_best_iteration()


@pytest.mark.parametrize(
    "model_type, category",
    [("COX_PH_FITTER", "HORIZON"), ("RANDOM_FOREST", "STATIC"), ("PMML", "STATIC"),
     ("LOGISTIC_REGRESSION", "STATIC"), ("XGB", "STATIC"), ("EXPERT_SCORE", "STATIC"), (None, "NONE")],
)
def test_category(model_type, category):
    result = AugmentedScorer(predictive_model_type=model_type).get_external_model_category()
    assert result is PredictiveModelCategory[category]


# ---- formula and views


def formula_of(scorer):
    return AugmentedScorerType.formula(None, scorer)


def logreg(**kwargs):
    kwargs.setdefault("predictive_model_type", "LOGISTIC_REGRESSION")
    return AugmentedScorer(**kwargs)


def test_formula_example():
    scorer = logreg(attributes=["age", "income"], external_model=LOGREG)
    scorer.feature_preparation.add_feature_reshaping(
        [{"attribute": "income", "transformed_attribute_name": "income", "transformation": "log(income)"}])
    assert formula_of(scorer) == "-1.5000 + 0.2500 * age - 0.1250 * (log(income))"


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        ({"attributes": ["a", "b"]}, "0.0000 + a + b"),
        ({"attributes": ["a"], "external_model": {"intercept": 0, "model": {"coef_": [[0]]}}}, "0.0000 + 0.0000 * a"),
        ({"attributes": ["a"], "external_model": {"intercept": 1e-5, "model": {"coef_": [[-0.00005]]}}},
         "0.0000 - 0.0001 * a"),
        ({"attributes": ["a"], "external_model": {"intercept": 2.00005, "model": {"coef_": [[1e300]]}}},
         f"{2.00005:.4f} + {1e300:.4f} * a"),
        ({"attributes": ["x"], "external_model": {"feature_names": ["n1", "n2"], "model": {"coef_": [[1.5, 2]]}}},
         "0.0000 + 1.5000 * n1 + 2.0000 * n2"),
        ({"attributes": ["a"], "predictive_model_type": "XGB"}, None),
        ({"attributes": ["a"], "predictive_model_type": None}, None),
    ],
)
def test_formula_cases(kwargs, expected):
    assert formula_of(logreg(**kwargs)) == expected


def test_formula_honours_overridden_methods():
    class Custom(AugmentedScorer):
        def get_coefficient(self, attribute):
            return -2

    assert formula_of(Custom(predictive_model_type="LOGISTIC_REGRESSION", attributes=["a"])) == "0.0000 - 2.0000 * a"


@pytest.mark.parametrize(
    "replace",
    [
        # The coefficient lookups are found as Python finds them: the instance before its class.
        lambda scorer, mp: object.__setattr__(scorer, "get_coefficient", lambda attribute: -2.0),
        lambda scorer, mp: object.__setattr__(scorer, "get_external_model_coefficients", lambda: [-2.0]),
        lambda scorer, mp: mp.setattr(AugmentedScorer, "get_coefficient", lambda self, attribute: -2.0),
    ],
)
def test_formula_honours_a_replaced_coefficient_lookup(replace, monkeypatch):
    scorer = logreg(attributes=["a"], external_model={"model": {"coef_": [[1.0]]}})
    assert formula_of(scorer) == "0.0000 + 1.0000 * a"
    replace(scorer, monkeypatch)
    assert formula_of(scorer) == "0.0000 - 2.0000 * a"


def make_schema():
    @strawberry.type
    class Query:
        @strawberry.field
        def scorer(self, info: strawberry.Info) -> AugmentedScorerType:
            return info.context["scorer"]

    return strawberry.Schema(query=Query)


QUERY = """{ scorer { directoryName attributes predictiveModelType target targetClass formula category
  featurePreparation { transformations { attribute } binning { attribute } }
  description { predictiveModelName }
  performance { performanceMetrics }
  monitoring { binning { attribute } }
  externalModel { coefficients intercept interceptName bestEvalMetric bestIteration numberOfAttributes
                  numberOfTrees } } }"""


async def test_views_through_schema():
    scorer = rich_scorer()
    result = await make_schema().execute(QUERY, context_value={"scorer": scorer})
    assert result.errors is None
    data = result.data["scorer"]
    assert data["formula"] == "-1.5000 + 0.2500 * age - 0.1250 * (log(income)) + 1.0000 * region_S"
    assert data["category"] == "STATIC" and data["predictiveModelType"] == "LOGISTIC_REGRESSION"
    assert data["attributes"] == ["age", "income", "region"] and data["directoryName"] == "pd_retail"
    assert data["externalModel"] == {
        "coefficients": [0.25, -0.125, 1.0], "intercept": -1.5, "interceptName": None, "bestEvalMetric": None,
        "bestIteration": None, "numberOfAttributes": None, "numberOfTrees": None}
    assert data["monitoring"]["binning"] == [{"attribute": "age"}]
    assert data["performance"]["performanceMetrics"] == ["AUC", "GINI"]


async def test_xgb_view_and_field_errors():
    scorer = AugmentedScorer(predictive_model_type="XGB", external_model=XGB_MODEL)
    result = await make_schema().execute(
        "{ scorer { formula category externalModel { bestIteration numberOfTrees numberOfAttributes "
        "bestEvalMetric intercept } } }", context_value={"scorer": scorer})
    assert result.errors is None
    assert result.data["scorer"] == {"formula": None, "category": "STATIC", "externalModel": {
        "bestIteration": 42, "numberOfTrees": 100, "numberOfAttributes": 12, "bestEvalMetric": 0.75,
        "intercept": None}}
    scorer = logreg(attributes=["a"], external_model={"model": {"coef_": [["x"]]}})
    result = await make_schema().execute("{ scorer { formula category } }", context_value={"scorer": scorer})
    assert len(result.errors) == 1 and result.errors[0].path == ["scorer", "formula"]


def python_formula(parent):
    intercept = parent.get_external_model_intercept() or 0.0
    text = f"{intercept:.4f}"
    for name in parent.get_external_model_feature_names() or parent.attributes:
        coefficient = parent.get_coefficient(name)
        term = str(parent.feature_preparation.get_transformation_formula(attribute=name))
        if coefficient is None:
            text += " + " + term
        elif coefficient < 0:
            text += f" - {abs(coefficient):.4f} * {term}"
        else:
            text += f" + {coefficient:.4f} * {term}"
    return text


class LoudPreparation(FeaturePreparation):
    def get_transformation_formula(self, attribute):
        return attribute.upper()


class ShiftedScorer(AugmentedScorer):
    def get_external_model_coefficients(self):
        coefficients = super().get_external_model_coefficients()
        return None if coefficients is None else [c + 1 for c in coefficients]


@pytest.mark.parametrize("cls", [AugmentedScorer, ShiftedScorer])
@pytest.mark.parametrize("preparation_cls", [FeaturePreparation, LoudPreparation])
@pytest.mark.parametrize(
    "names, coefficients",
    [
        (["a", "b", "a", "c"], [[0.5, -0.25, 3, float("nan")]]),  # a repeated name takes the first position
        (["a", "b"], None),
        (["é", "b"], [[-1e-9, 0]]),
    ],
)
def test_formula_agrees_with_per_name_calls(cls, preparation_cls, names, coefficients):
    model = {"feature_names": names, "intercept": 0.5}
    if coefficients is not None:
        model["model"] = {"coef_": coefficients}
    preparation = preparation_cls(transformations=[
        {"attribute": "a", "transformed_attribute_name": "b", "transformation": "a**2"},
        {"attribute": "c", "transformed_attribute_name": "b", "transformation": "never used"},
        {"attribute": "c", "transformed_attribute_name": None, "transformation": "x"},
    ])
    scorer = cls(attributes=["a", "c", "é"], predictive_model_type="LOGISTIC_REGRESSION",
                 external_model=model, feature_preparation=preparation)
    assert type(scorer.feature_preparation) is preparation_cls
    assert formula_of(scorer) == python_formula(scorer)



class ShrinkingRow(list):
    """A coefficient row whose indexing empties the model's feature names."""

    def __getitem__(self, index):
        self.names.clear()
        return super().__getitem__(index)


class ShrinkingNumber(float):
    """A coefficient whose conversion to float empties the model's feature names."""

    def __float__(self):
        self.names.clear()
        return super().__float__()


def shrinking_row(names):
    row = ShrinkingRow([1.0] * len(names))
    row.names = names
    return row


def shrinking_numbers(names):
    number = ShrinkingNumber(1.0)
    number.names = names
    return [number] * len(names)


@pytest.mark.parametrize("make_row", [shrinking_row, shrinking_numbers])
def test_formula_with_coefficients_that_change_the_names(make_row):
    # Read name by name, the first coefficient empties the names, so the formula has one term.
    names = [f"n{i}" for i in range(50)]
    scorer = logreg(attributes=["x"], external_model={"feature_names": names, "model": {"coef_": [make_row(names)]}})
    assert formula_of(scorer) == "0.0000 + 1.0000 * n0"


def changing_scorer(hook):
    """A two-name scorer whose `hook` (where the formula runs Python code) changes the row, names
    or registry the first time it runs; a fresh one per call, so that both formulas see the same."""
    scorer = logreg(attributes=["a", "b", "c"], external_model={"model": {"coef_": [[1.0, 2.0, 3.0]]}})
    row, names = scorer.external_model["model"]["coef_"][0], scorer.attributes
    scorer.feature_preparation.add_feature_reshaping(
        [{"attribute": "b", "transformed_attribute_name": "b", "transformation": "log(b)"}])
    changes = [lambda: row.__setitem__(1, -7.0), lambda: names.reverse(),
               lambda: scorer.feature_preparation.transformations.clear()]
    done = []

    def change():
        if not done:
            done.append(1)
            for step in changes:
                step()

    class Loud(str):
        def __str__(self):
            change()
            return "loud"

    class Hot(float):
        def __float__(self):
            change()
            return 1.0

    class Prep(FeaturePreparation):
        def get_transformation_formula(self, attribute):
            change()
            return super().get_transformation_formula(attribute=attribute)

    if hook == "transformation text":
        scorer.feature_preparation.add_feature_reshaping(
            [{"attribute": "a", "transformed_attribute_name": "a", "transformation": "x"}])
        scorer.feature_preparation.transformations[-1].__dict__["transformation"] = Loud("x")
    elif hook == "coefficient conversion":
        row[0] = Hot(1.0)
    elif hook == "overridden registry":
        object.__setattr__(scorer, "feature_preparation",
                           Prep(transformations=scorer.feature_preparation.transformations))
    return scorer


@pytest.mark.parametrize("hook", ["transformation text", "coefficient conversion", "overridden registry"])
def test_formula_after_python_code_changed_the_model_agrees_with_per_name_calls(hook):
    assert formula_of(changing_scorer(hook)) == python_formula(changing_scorer(hook))


class Interrupt(BaseException):
    pass


def test_formula_lets_an_interrupt_while_reading_the_coefficients_through():
    class InterruptsOnce(dict):
        def __getitem__(self, key):
            if key == "coef_" and not self.get("done"):
                self["done"] = True
                raise Interrupt
            return super().__getitem__(key)

    scorer = logreg(attributes=["a"])
    scorer.external_model["model"] = InterruptsOnce(coef_=[[2.0]])
    with pytest.raises(Interrupt):
        formula_of(scorer)


# ---- the view made by from_pydantic


def two_route_schema():
    @strawberry.type
    class Query:
        @strawberry.field
        def record(self, info: strawberry.Info) -> AugmentedScorerType:
            return info.context["scorer"]

        @strawberry.field
        def view(self, info: strawberry.Info) -> AugmentedScorerType:
            return AugmentedScorerType.from_pydantic(info.context["scorer"])

    return strawberry.Schema(query=Query)


@pytest.mark.parametrize("scorer", [
    rich_scorer(),
    AugmentedScorer(predictive_model_type="XGB", external_model=XGB_MODEL),
    AugmentedScorer(attributes=["a"]),
], ids=["logistic regression", "xgb", "bare"])
async def test_a_view_made_by_from_pydantic_resolves_as_the_record_does(scorer):
    schema = two_route_schema()
    selection = full_selection(schema, "AugmentedScorerType")
    result = await schema.execute(f"{{ record {selection} view {selection} }}", context_value={"scorer": scorer})
    assert result.errors is None
    assert result.data["view"] == result.data["record"]
    assert result.data["record"]["featurePreparation"] is not None


async def test_a_view_made_without_a_record_reports_the_field_that_needs_one():
    view = AugmentedScorerType.from_pydantic(rich_scorer())
    del view._original_model
    result = await query(AugmentedScorerType, view, "{ directoryName formula }")
    assert result.data == {"item": {"directoryName": "pd_retail", "formula": None}}
    assert [error.path for error in result.errors] == [["item", "formula"]]
