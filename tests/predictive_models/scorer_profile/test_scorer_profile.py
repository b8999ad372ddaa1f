import json

import pytest

from quorvex_analytics_utils.predictive_models.scorer_profile.scorer_profile import (
    AttachedImage,
    PredictiveScorerProfile,
    PredictiveScorerProfileType,
)
from graphql_support import query


def notes_after(initial, *steps):
    profile = PredictiveScorerProfile(general_notes=initial)
    for action, value in steps:
        getattr(profile, action)(value)
    return profile.general_notes


@pytest.mark.parametrize("initial, steps, keys", [
    (None, [("add_general_note", "A"), ("add_general_note", "B")], ["note_1", "note_2"]),
    ({"note_1": "a", "note_3": "c"}, [("add_general_note", "x")], ["note_1", "note_3", "note_4"]),
    ({"note_1": "a", "note_3": "c"},
     [("add_general_note", "x"), ("remove_general_note", "note_4"), ("add_general_note", "y")],
     ["note_1", "note_3", "note_4"]),
    ({"note_1": "a", "note_2": "b"}, [("remove_general_note", "note_1"), ("add_general_note", "c")],
     ["note_2", "note_3"]),
    ({"intro": "a", "notes": "b"}, [("add_general_note", "x")], ["intro", "notes", "note_1"]),
    ({"note": "a", "note_": "b", "note_x1": "c", "note_-4": "d"}, [("add_general_note", "x")],
     ["note", "note_", "note_x1", "note_-4", "note_1"]),
    # the part after the first five characters counts, whatever the fifth character is
    ({"noteX9": "a"}, [("add_general_note", "x")], ["noteX9", "note_10"]),
    ({"Note_5": "a", "a_note_5": "b"}, [("add_general_note", "x")], ["Note_5", "a_note_5", "note_1"]),
    (None, [("add_general_note", {"note_7": "a", "intro": "b"}), ("add_general_note", "c")],
     ["note_7", "intro", "note_8"]),
    # Unicode digits that int() reads count; numeric characters it cannot read count as 0
    ({"note_٣": "a"}, [("add_general_note", "x")], ["note_٣", "note_4"]),
    ({"note_²": "a", "note_½": "b"}, [("add_general_note", "x")], ["note_²", "note_½", "note_1"]),
    ({"note_99999999999999999999": "a"}, [("add_general_note", "x")],
     ["note_99999999999999999999", "note_100000000000000000000"]),
])
def test_automatic_note_numbering(initial, steps, keys):
    assert list(notes_after(initial, *steps)) == keys


def test_automatic_note_keeps_the_text():
    profile = PredictiveScorerProfile()
    assert profile.add_general_note("first") is None
    assert profile.general_notes == {"note_1": "first"}


def test_duplicate_key_is_printed_and_the_first_text_kept(capsys):
    profile = PredictiveScorerProfile()
    profile.add_general_note({"intro": "first"})
    assert capsys.readouterr().out == ""
    profile.add_general_note({"intro": "second", "method": "logistic"})
    assert capsys.readouterr().out == "Note intro already exists. Note not added.\n"
    assert profile.general_notes == {"intro": "first", "method": "logistic"}


def test_automatic_note_replaces_nothing_and_prints_nothing(capsys):
    profile = PredictiveScorerProfile(general_notes={"note_1": "a"})
    profile.add_general_note("b")
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("note", [5, None, ["a"], 1.5, ("a",)])
def test_other_note_types_only_create_the_mapping(note):
    profile = PredictiveScorerProfile()
    profile.add_general_note(note)
    assert profile.general_notes == {}


@pytest.mark.parametrize("initial", [None, {}, {"a": "x"}])
def test_removing_a_missing_note_does_nothing(initial):
    profile = PredictiveScorerProfile(general_notes=initial)
    profile.remove_general_note("note_1")
    assert profile.general_notes == initial


class Key(str):
    pass


@pytest.mark.parametrize("key, got", [(1, "int"), (None, "NoneType"), (Key("a"), "Key")])
def test_note_key_must_be_exactly_text(key, got):
    profile = PredictiveScorerProfile(general_notes={"a": "x"})
    with pytest.raises(TypeError, match=rf"'note_key' has incorrect type \(expected str, got {got}\)"):
        profile.remove_general_note(key)
    assert profile.general_notes == {"a": "x"}


def test_image_bytes_never_reach_a_dump():
    image = AttachedImage(type="png", filename="roc.png", image=b"\x89PNG")
    profile = PredictiveScorerProfile(attached_images=[image])
    assert image.model_dump() == {"type": "png", "filename": "roc.png"}
    assert json.loads(profile.model_dump_json(exclude_none=True)) == {
        "attached_images": [{"type": "png", "filename": "roc.png"}]}
    assert profile.attached_images[0].image == b"\x89PNG"


LISTS = "{ attributeDescription { attributeName description } hyperparameters { name value } generalNotes { title content } }"


@pytest.mark.parametrize("kwargs", [{}, {"attribute_description": {}, "hyperparameters": {}, "general_notes": {}}])
async def test_mapping_resolvers_give_empty_lists(kwargs):
    result = await query(PredictiveScorerProfileType, PredictiveScorerProfile(**kwargs), LISTS)
    assert result.errors is None
    assert result.data["item"] == {"attributeDescription": [], "hyperparameters": [], "generalNotes": []}


async def test_mapping_resolvers_list_entries_as_text():
    profile = PredictiveScorerProfile(
        predictive_model_name="pd_model", predictive_model_created="2024-05-01", number_of_trainable_parameters=12,
        attribute_description={"AGE": "age in years", "INCOME": "monthly"},
        hyperparameters={"max_depth": 4, "eta": 0.1, "objective": "binary:logistic", "none": None},
        attached_images=[{"type": "png", "filename": "roc.png", "image": b"x"}],
        sample_metadata=[{"sample_type": "TRAIN", "number_of_observations": 10}])
    profile.add_general_note({"intro": "text", "count": 3})  # stored without validation
    result = await query(PredictiveScorerProfileType, profile,
                         "{ predictiveModelName predictiveModelCreated numberOfTrainableParameters "
                         "attachedImages { type filename } sampleMetadata { sampleType numberOfObservations } "
                         + LISTS[2:])
    assert result.errors is None
    assert result.data["item"] == {
        "predictiveModelName": "pd_model", "predictiveModelCreated": "2024-05-01", "numberOfTrainableParameters": 12,
        "attachedImages": [{"type": "png", "filename": "roc.png"}],
        "sampleMetadata": [{"sampleType": "TRAIN", "numberOfObservations": 10}],
        "attributeDescription": [{"attributeName": "AGE", "description": "age in years"},
                                 {"attributeName": "INCOME", "description": "monthly"}],
        "hyperparameters": [{"name": "max_depth", "value": "4"}, {"name": "eta", "value": "0.1"},
                            {"name": "objective", "value": "binary:logistic"}, {"name": "none", "value": "None"}],
        "generalNotes": [{"title": "intro", "content": "text"}, {"title": "count", "content": "3"}],
    }


@pytest.mark.parametrize("hyperparameters, shown", [
    (None, "unknown"),
    ({}, "unknown"),
    ({"max_depth": 3}, "unknown"),
    ({"eval_metric": None}, "unknown"),
    ({"eval_metric": "['auc', 'logloss']"}, "logloss"),
    ({"eval_metric": "('auc', 'logloss')"}, None),  # a tuple is no list: a type error below
    ({"eval_metric": "auc"}, "auc"),
    ({"eval_metric": "'auc'"}, "auc"),
    ({"eval_metric": "['auc', None]"}, None),
    ({"eval_metric": "[auc, logloss]"}, "[auc, logloss]"),
])
async def test_eval_metric(hyperparameters, shown):
    profile = PredictiveScorerProfile(hyperparameters=hyperparameters)
    result = await query(PredictiveScorerProfileType, profile, "{ evalMetric }")
    if shown is None:
        assert result.errors
    else:
        assert result.errors is None
        assert result.data["item"] == {"evalMetric": shown}


@pytest.mark.parametrize("metric, error", [
    (5, "TypeError"), ("5", "TypeError"), ("0.5", "TypeError"), ("[]", "IndexError"),
    ("[['auc']]", "TypeError"), (["auc"], "TypeError"), ("{'a': 1}", "TypeError"),
])
async def test_eval_metric_failures_are_field_errors(metric, error):
    profile = PredictiveScorerProfile(hyperparameters={"eval_metric": metric})
    result = await query(PredictiveScorerProfileType, profile, "{ evalMetric }")
    assert result.data is None
    (failure,) = result.errors
    assert failure.path == ["item", "evalMetric"]
    assert type(failure.original_error).__name__ == error


async def test_eval_metric_uses_the_hosts_literal_reader(monkeypatch):
    import ast

    seen = []
    monkeypatch.setattr(ast, "literal_eval", lambda text: seen.append(text) or ["x", "read"])
    profile = PredictiveScorerProfile(hyperparameters={"eval_metric": "anything"})
    result = await query(PredictiveScorerProfileType, profile, "{ evalMetric }")
    assert result.data["item"] == {"evalMetric": "read"}
    assert seen == ["anything"]


class OddItems(dict):
    """A mapping stored past validation whose items() gives entries of any shape."""

    def __init__(self, entries):
        super().__init__(a=1)
        self.entries = entries

    def items(self):
        return self.entries


@pytest.mark.parametrize("field", ["attribute_description", "hyperparameters", "general_notes"])
@pytest.mark.parametrize("entries, error", [
    ([["k", "v"], "kv"], None),  # any two-item iterable unpacks, as in a for loop
    ([5], "cannot unpack non-iterable int object"),
    ([("k",)], r"not enough values to unpack \(expected 2, got 1\)"),
    ([["k", "v", "w"]], r"too many values to unpack \(expected 2\)"),
])
async def test_mapping_resolvers_unpack_entries_as_a_loop_would(field, entries, error):
    profile = PredictiveScorerProfile()
    setattr(profile, field, OddItems(entries))
    resolver = getattr(PredictiveScorerProfileType, field)
    if error is None:
        assert len(await resolver(None, profile)) == 2
    else:
        with pytest.raises((TypeError, ValueError), match=error):
            await resolver(None, profile)
