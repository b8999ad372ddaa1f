import datetime

import pydantic
import pytest

from quorvex_analytics_utils.predictive_models.scorer_profile.dataset_profile import (
    ClassFrequency,
    ClassFrequencyType,
    SampleDescription,
    SampleDescriptionType,
)
from quorvex_analytics_utils.predictive_models.scorer_quality.dataset_quality import SampleType
from graphql_support import query


def test_empty_description_has_every_field_none():
    record = SampleDescription.model_validate({})
    assert list(SampleDescription.model_fields) == [
        "sample_type", "first_date", "last_date", "number_of_observations", "label_class_frequency"]
    assert all(getattr(record, name) is None for name in SampleDescription.model_fields)


def test_texts_become_members_and_dates():
    record = SampleDescription(sample_type="TRAIN", first_date="2021-01-01", last_date="2021-12-31",
                               number_of_observations=1500,
                               label_class_frequency=[{"label_class": 0, "number_of_observations": 1200}])
    assert record.sample_type is SampleType.TRAIN
    assert (record.first_date, record.last_date) == (datetime.date(2021, 1, 1), datetime.date(2021, 12, 31))
    assert record.label_class_frequency == [ClassFrequency(label_class=0, number_of_observations=1200)]


@pytest.mark.parametrize("cls, data", [
    (ClassFrequency, {}),
    (ClassFrequency, {"number_of_observations": 3}),
    (SampleDescription, {"sample_type": "train"}),
    (SampleDescription, {"first_date": "yesterday"}),
    (SampleDescription, {"number_of_observations": 1.5}),
    (SampleDescription, {"label_class_frequency": [{"label_class": 1, "number_of_observations": "many"}]}),
])
def test_bad_input_makes_no_record(cls, data):
    with pytest.raises(pydantic.ValidationError):
        cls.model_validate(data)


@pytest.mark.parametrize("label, shown", [(0, "0"), (1, "1"), (0.5, "0.5"), ("bad", "bad"), (None, "None"), (True, "True")])
async def test_label_is_shown_as_text(label, shown):
    result = await query(ClassFrequencyType, ClassFrequency(label_class=label, number_of_observations=1200),
                         "{ labelClass numberOfObservations }")
    assert result.errors is None
    assert result.data["item"] == {"labelClass": shown, "numberOfObservations": 1200}


async def test_sample_description_view():
    record = SampleDescription(sample_type="OOT", first_date="2022-03-01",
                               label_class_frequency=[{"label_class": "good"}, {"label_class": 1, "number_of_observations": 7}])
    result = await query(SampleDescriptionType, record,
                         "{ sampleType firstDate lastDate numberOfObservations labelClassFrequency { labelClass numberOfObservations } }")
    assert result.errors is None
    assert result.data["item"] == {
        "sampleType": "OOT", "firstDate": "2022-03-01", "lastDate": None, "numberOfObservations": None,
        "labelClassFrequency": [{"labelClass": "good", "numberOfObservations": None},
                                {"labelClass": "1", "numberOfObservations": 7}],
    }
