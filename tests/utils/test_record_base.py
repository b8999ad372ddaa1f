import copy
import importlib.machinery
import inspect
import pickle

import pydantic
import pytest

from quorvex_analytics_utils.utils import parse, record_base
from quorvex_analytics_utils.utils.record_base import CyFunctionDetector, RecordBase


def test_modules_are_compiled_extensions():
    suffixes = tuple(importlib.machinery.EXTENSION_SUFFIXES)
    assert record_base.__file__.endswith(suffixes)
    assert parse.__file__.endswith(suffixes)


def test_classes_in_order_and_config():
    assert type(CyFunctionDetector) is record_base._CyFunctionDetectorMeta
    assert record_base._CyFunctionDetectorMeta.__bases__ == (type,)
    assert CyFunctionDetector.__bases__ == (object,)
    assert RecordBase.__bases__ == (pydantic.BaseModel,)
    assert list(RecordBase.model_config.items()) == [
        ("arbitrary_types_allowed", True),
        ("extra", "forbid"),
        ("populate_by_name", True),
        ("ignored_types", (CyFunctionDetector,)),
        ("ser_json_inf_nan", "constants"),
    ]
    assert RecordBase.model_fields == {}


class _Fake:
    pass


_Fake.__name__ = "cython_function_or_method"


@pytest.mark.parametrize(
    "value, expected",
    [
        (parse.parse_value, True),
        (_Fake(), True),  # only the class name counts
        (lambda: None, False),
        (print, False),
        ("cython_function_or_method", False),
        (1, False),
        (None, False),
        (classmethod(len), False),
    ],
)
def test_detector_instance_test(value, expected):
    assert isinstance(value, CyFunctionDetector) is expected


def test_detector_subclass_test_is_ordinary():
    assert not issubclass(type(parse.parse_value), CyFunctionDetector)
    assert issubclass(CyFunctionDetector, CyFunctionDetector)


def test_detector_error_while_reading_class_propagates():
    class Broken:
        @property
        def __class__(self):
            raise RuntimeError("no class")

    with pytest.raises(RuntimeError, match="no class"):
        isinstance(Broken(), CyFunctionDetector)


class Sample(RecordBase):
    name: str
    count: int = pydantic.Field(default=0, alias="n")
    helper = parse.parse_value
    _private_helper = parse.parse_value


def test_native_functions_in_body_stay_methods_not_fields():
    assert list(Sample.model_fields) == ["name", "count"]
    assert Sample.helper("12") == 12
    assert Sample._private_helper("1.5") == 1.5
    # A private attribute would break every later construction.
    assert Sample(name="a").name == "a"
    assert inspect.signature(Sample.helper).parameters["val"].name == "val"


@pytest.mark.parametrize("data", [{"name": "a", "n": 3}, {"name": "a", "count": 3}])
def test_field_filled_by_alias_or_name(data):
    assert Sample(**data).count == 3


def test_unknown_key_rejected():
    with pytest.raises(pydantic.ValidationError, match="extra"):
        Sample(name="a", colour="red")


def test_arbitrary_types_allowed():
    class Thing:
        pass

    class Holder(RecordBase):
        thing: Thing

    thing = Thing()
    assert Holder(thing=thing).thing is thing
    with pytest.raises(pydantic.ValidationError):
        Holder(thing=1)


def test_records_pickle_and_deepcopy():
    import tests_records_helper as helper

    rec = helper.Pickled(name="x", count=2)
    assert pickle.loads(pickle.dumps(rec)) == rec
    clone = copy.deepcopy(rec)
    assert clone == rec and clone is not rec


def test_asynchronous_native_function_is_a_coroutine_for_asyncio():
    import asyncio
    import collections.abc

    from quorvex_analytics_utils.predictive_models.scorer_quality.dataset_quality import (
        DatasetQuality,
        DatasetQualityType,
    )

    (field,) = [
        f for f in DatasetQualityType.__strawberry_definition__.fields if f.python_name == "performance"
    ]
    fn = field.base_resolver.wrapped_func
    assert inspect.iscoroutinefunction(fn)
    record = DatasetQuality(sample="TEST", target="t", performance={"AUC": 0.5})
    awaitable = fn(None, record)
    assert isinstance(awaitable, collections.abc.Coroutine)
    result = asyncio.run(awaitable)
    assert [(item.metric, item.value) for item in result] == [("AUC", 0.5)]


# ---- attribute look-up of the package's record classes

def test_record_attributes_are_found_as_pydantic_finds_them(monkeypatch):
    import pydantic

    from quorvex_analytics_utils.predictive_models.feature_preparation.feature_bucketing import FeatureBucketing

    record = FeatureBucketing(attribute="A", attribute_data_type="NUMERICAL")
    assert record.attribute == "A" and record.bin_numeric_attribute(1.0) is None
    with pytest.raises(AttributeError, match=r"^'FeatureBucketing' object has no attribute 'nope'$"):
        _ = record.nope
    assert getattr(record, "nope", 7) == 7 and not hasattr(record, "nope")

    # A __getattr__ set later, on the class or on pydantic's base, is asked after a miss again.
    monkeypatch.setattr(FeatureBucketing, "__getattr__", lambda self, name: ("class", name), raising=False)
    assert record.nope == ("class", "nope")
    monkeypatch.undo()
    monkeypatch.setattr(pydantic.BaseModel, "__getattr__", lambda self, name: ("base", name))
    assert record.nope == ("base", "nope")
    monkeypatch.undo()
    with pytest.raises(AttributeError):
        _ = record.nope


def test_subclasses_with_private_attributes_keep_them():
    import pydantic

    from quorvex_analytics_utils.predictive_models.feature_preparation.feature_bucketing import FeatureBucketing

    class WithPrivate(FeatureBucketing):
        _seen: int = pydantic.PrivateAttr(default=3)

    record = WithPrivate(attribute="A", attribute_data_type="NUMERICAL")
    assert record._seen == 3
    record._seen = 4
    assert record._seen == 4 and record.attribute == "A"
