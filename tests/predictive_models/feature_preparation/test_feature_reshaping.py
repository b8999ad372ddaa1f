import pydantic
import pytest
import strawberry

from quorvex_analytics_utils.predictive_models.feature_preparation.feature_reshaping import (
    FeatureReshaping,
    FeatureReshapingType,
)


def test_record_from_text_mapping():
    record = FeatureReshaping(**{"attribute": "age", "transformed_attribute_name": "log_age",
                                 "transformation": "log(age)"})
    assert (record.attribute, record.transformed_attribute_name, record.transformation) == (
        "age", "log_age", "log(age)")
    assert FeatureReshaping(attribute="a", transformation="a*2").transformed_attribute_name is None
    assert list(FeatureReshaping.model_fields) == [
        "attribute", "transformed_attribute_name", "transformation"]


@pytest.mark.parametrize("data", [
    {"attribute": "a"},
    {"transformation": "x"},
    {"attribute": "a", "transformation": "x", "other": "y"},
    {"attribute": 1, "transformation": "x"},
])
def test_invalid_records_are_refused(data):
    with pytest.raises(pydantic.ValidationError):
        FeatureReshaping(**data)


async def test_view_exposes_the_three_fields():
    @strawberry.type
    class Query:
        @strawberry.field
        def reshaping(self) -> FeatureReshapingType:
            return FeatureReshaping(attribute="a", transformed_attribute_name="b",
                                    transformation="a + 1")

    schema = strawberry.Schema(query=Query)
    result = await schema.execute(
        "{ reshaping { attribute transformedAttributeName transformation } }")
    assert result.errors is None
    assert result.data == {"reshaping": {"attribute": "a", "transformedAttributeName": "b",
                                         "transformation": "a + 1"}}
    assert FeatureReshapingType.__module__ == FeatureReshaping.__module__
