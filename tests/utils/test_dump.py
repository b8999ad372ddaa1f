import dataclasses
import datetime
import decimal
import enum
import gc
import io
import json
import math
import uuid
import weakref
from collections import OrderedDict
from typing import Any, Optional

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from pydantic import BaseModel, Field
from ruamel.yaml import YAML, YAMLError
from ruamel.yaml.representer import RepresenterError, SafeRepresenter

from quorvex_analytics_utils.utils import dump
from quorvex_analytics_utils.utils.dump import (
    QuorvexJSONEncoder,
    ValidRepresenter,
    filter_data,
    format_output_data,
    is_invalid,
    safe_dumps_json,
    safe_loads_yaml,
    valid_dump_yaml,
    valid_dumps_yaml,
)


class Colour(enum.Enum):
    RED = "red"


class Level(str, enum.Enum):
    HIGH = "HIGH"


class Count(enum.IntEnum):
    TWO = 2


@dataclasses.dataclass
class Point:
    x: int = 1
    tags: list = dataclasses.field(default_factory=list)


@dataclasses.dataclass
class Custom:
    x: int = 1

    def asdict(self):
        return {"custom": self.x}


@dataclasses.dataclass
class NotCallable:
    x: int = 1
    asdict: int = 5


class Inner(BaseModel):
    a: Optional[int] = None
    b: list = Field(default_factory=list)


class Outer(BaseModel):
    name: str = "x"
    inner: Inner = Field(default_factory=Inner)
    extra: dict = Field(default_factory=dict)


class Opaque:
    pass


class Plain:
    """A weakly referenceable object the writers cannot represent by themselves."""


class HalfRound(float):
    def __round__(self, ndigits=None):
        return 42.0


# ---- value normalisation


UID = uuid.UUID("12345678-1234-5678-1234-567812345678")


@pytest.mark.parametrize(
    "value, expected",
    [
        (Colour.RED, "red"),
        (Level.HIGH, "HIGH"),
        (Count.TWO, 2),
        (decimal.Decimal("0.1"), 0.1),
        (decimal.Decimal(1) / 3, 0.333333333333),
        (1 / 3, 0.333333333333),
        (-1e-13, -0.0),
        (HalfRound(1.5), 42.0),
        (datetime.datetime(2024, 5, 6, 7, 8, 9), "2024-05-06T07:08:09"),
        (datetime.date(2024, 5, 6), "2024-05-06"),
        (datetime.time(7, 8, 9, 500), "07:08:09.000500"),
        (UID, "12345678-1234-5678-1234-567812345678"),
        (Outer(), {}),
        (Outer(inner=Inner(a=1)), {"inner": {"a": 1}}),
        ({"b"}, ["b"]),
        (Point(), {"x": 1, "tags": []}),
        (Custom(3), {"custom": 3}),
        (NotCallable(), {"x": 1, "asdict": 5}),
    ],
)
def test_format_output_data_rules(value, expected):
    result = format_output_data(value)
    assert result == expected and type(result) is type(expected)
    if isinstance(expected, float):
        assert math.copysign(1, result) == math.copysign(1, expected)


@pytest.mark.parametrize(
    "value",
    [1, True, None, "s", (1,), [1], {"a": None}, frozenset({1}), b"x", Opaque(), Point, 10**30],
)
def test_format_output_data_returns_other_values_themselves(value):
    assert format_output_data(value) is value


def test_format_output_data_converts_only_the_outer_value():
    assert format_output_data([decimal.Decimal("1")])[0] == decimal.Decimal("1")


def test_weak_references_are_resolved_before_the_rules():
    target = Plain()
    assert format_output_data(weakref.ref(target)) is target
    gone = Plain()
    ref = weakref.ref(gone)
    del gone
    gc.collect()
    assert format_output_data(ref) is None


def test_weak_reference_to_a_data_class_is_converted():
    point = Point(2)
    assert format_output_data(weakref.ref(point)) == {"x": 2, "tags": []}


@settings(max_examples=200)
@given(st.floats(allow_nan=False) | st.floats(min_value=-1e6, max_value=1e6))
def test_float_rounding_matches_round(x):
    rounded = format_output_data(x)
    assert rounded.hex() == round(x, 12).hex()


class FloatKind(float):
    pass


@pytest.mark.parametrize("x", [0.5, 1 / 3, 100.0, -0.0, math.inf, -math.inf, math.nan, FloatKind(0.5)])
def test_a_float_comes_back_as_a_new_rounded_float_as_round_gives(x):
    # An unchanged float used to come back as the very same object, so the JSON encoder's
    # identity test refused it ("Object of type float is not JSON serializable").
    for result in (format_output_data(x), QuorvexJSONEncoder().default(x)):
        assert result is not x and type(result) is float
        assert result.hex() == round(x, 12).hex()


@settings(max_examples=100)
@given(st.decimals(allow_nan=False, allow_infinity=False, places=18))
def test_decimal_rounding_matches_round(x):
    assert format_output_data(x).hex() == round(float(x), 12).hex()


@pytest.mark.parametrize(
    "value, raised",
    [
        (decimal.Decimal("sNaN"), ValueError),
        (type("BadDate", (datetime.date,), {"isoformat": lambda self: 1 / 0})(2020, 1, 1), ZeroDivisionError),
    ],
)
def test_conversion_errors_propagate(value, raised):
    with pytest.raises(raised):
        format_output_data(value)


# ---- empty entries


class EqualsAll:
    def __eq__(self, other):
        return True


class EqualsDict:
    def __eq__(self, other):
        return isinstance(other, dict)


class BadEq:
    def __eq__(self, other):
        raise KeyError("compared")


@pytest.mark.parametrize(
    "value, empty",
    [
        (None, True),
        ([], True),
        ({}, True),
        (OrderedDict(), True),
        (EqualsAll(), True),
        (EqualsDict(), True),
        (0, False),
        (False, False),
        ("", False),
        ((), False),
        (set(), False),
        ([None], False),
        ({"a": None}, False),
    ],
)
def test_is_invalid(value, empty):
    assert is_invalid(value) is empty


def test_is_invalid_propagates_comparison_errors():
    with pytest.raises(KeyError, match="compared"):
        is_invalid(BadEq())


def test_filter_data_drops_only_top_level_empty_entries():
    nested = {"n": None}
    data = {"a": None, "b": [], "c": {}, "d": 0, "e": False, "f": "", "g": nested, "h": [None]}
    result = filter_data(data)
    assert result == {"d": 0, "e": False, "f": "", "g": {"n": None}, "h": [None]}
    assert list(result) == ["d", "e", "f", "g", "h"]
    assert result["g"] is nested and result is not data and len(data) == 8


def test_filter_data_copies_even_when_nothing_is_dropped():
    data = {"a": 1}
    assert filter_data(data) == data and filter_data(data) is not data


def test_filter_data_reads_a_mapping_subclass_in_its_own_order():
    data = OrderedDict([("a", 1), ("b", None), ("c", 3)])
    data.move_to_end("a")
    result = filter_data(data)
    assert type(result) is dict and list(result.items()) == [("c", 3), ("a", 1)]


class Entries(dict):
    def __init__(self, entries):
        super().__init__()
        self.entries = entries

    def items(self):
        return iter(self.entries)


@pytest.mark.parametrize("entries, outcome", [
    ([["a", 1], "bc", ("d", None)], {"a": 1, "b": "c"}),
    ([7], "cannot unpack non-iterable int object"),
    ([iter([1, 2, 3])], r"too many values to unpack \(expected 2\)$"),
    ([()], r"not enough values to unpack \(expected 2, got 0\)"),
])
def test_filter_data_unpacks_a_mapping_subclass_entries_as_a_loop_would(entries, outcome):
    if isinstance(outcome, dict):
        assert filter_data(Entries(entries)) == outcome
    else:
        with pytest.raises((TypeError, ValueError), match=outcome):
            filter_data(Entries(entries))


@pytest.mark.parametrize("value", [[None], (None,), "x", 5, None, Opaque()])
def test_filter_data_returns_other_values_themselves(value):
    assert filter_data(value) is value


@pytest.mark.parametrize("change, message", [
    (lambda data: data.update(new=1), "changed size"),
    (lambda data: (data.pop("a"), data.update(new=1)), "keys changed"),  # same size, one more entry ahead
])
def test_filter_data_detects_a_mapping_changed_by_a_comparison(change, message):
    data = {}

    class Mutator:
        def __eq__(self, other):
            if "new" not in data:
                change(data)
            return False

    data.update(a=Mutator(), b=1)
    with pytest.raises(RuntimeError, match=message):
        filter_data(data)
    data = {}
    data.update(a=Mutator(), b=1)
    with pytest.raises(RuntimeError, match=message):  # the host's loop over the same change
        {k: v for k, v in data.items() if not (v is None or v == [] or v == {})}


# ---- YAML writing


@pytest.mark.parametrize(
    "data, text",
    [
        # filtering: at the top, nested in mappings, in list items; lists keep their None items
        ({"a": None, "b": [], "c": {}, "d": 0, "e": False, "f": ""}, "d: 0\ne: false\nf: ''\n"),
        ({"a": {"b": None, "c": 1}}, "a:\n  c: 1\n"),
        ({"a": {"b": None}}, "a: {}\n"),
        ({"a": [None, 1, [], {}]}, "a:\n- null\n- 1\n- []\n- {}\n"),
        ({"a": [{"x": None, "y": [1]}]}, "a:\n- y:\n  - 1\n"),
        ({"z": 1, "a": 2}, "a: 2\nz: 1\n"),
        # documents: only an exact list is split
        ([{"a": 1}, {"b": 2}], "a: 1\n---\nb: 2\n"),
        ([{"a": 1}, 2], "a: 1\n--- 2\n...\n"),
        ([], ""),
        ((1, 2), "- 1\n- 2\n"),
        ({"a": 1}, "a: 1\n"),
        ("text", "text\n...\n"),
        # rounding and normalised values
        ({"third": 1 / 3, "tiny": -1e-13, "big": 1e20}, "big: 1e+20\nthird: 0.333333333333\ntiny: -0.0\n"),
        ({"d": decimal.Decimal("0.1"), "t": decimal.Decimal(1) / 3}, "d: 0.1\nt: 0.333333333333\n"),
        ({"when": datetime.datetime(2024, 5, 6, 7, 8, 9)}, "when: '2024-05-06T07:08:09'\n"),
        ({"day": datetime.date(2024, 5, 6)}, "day: '2024-05-06'\n"),
        ({"id": UID}, "id: 12345678-1234-5678-1234-567812345678\n"),
        ({"c": Colour.RED, "l": Level.HIGH, "n": Count.TWO}, "c: red\nl: HIGH\nn: 2\n"),
        ({"s": {"x"}}, "s:\n- x\n"),
        # data classes and records become mappings that are not filtered at their own level
        ({"p": Point()}, "p:\n  tags: []\n  x: 1\n"),
        ({"p": [Custom()]}, "p:\n- custom: 1\n"),
        (Outer(), "{}\n"),
        (Outer(name="y"), "name: y\n"),
        (Outer(inner=Inner(a=1), extra={"k": None}), "extra: {}\ninner:\n  a: 1\n"),
        (Outer(inner=Inner(b=[None])), "inner:\n  b:\n  - null\n"),
    ],
)
def test_valid_dumps_yaml(data, text):
    assert valid_dumps_yaml(data) == text


def test_weak_references_in_yaml():
    live = Point(7)
    gone = Plain()
    dead = weakref.ref(gone)
    del gone
    gc.collect()
    assert valid_dumps_yaml({"live": weakref.ref(live), "dead": dead}) == "dead: null\nlive:\n  tags: []\n  x: 7\n"


def test_shared_lists_are_written_as_anchors():
    shared = [1]
    assert valid_dumps_yaml({"a": shared, "b": shared}) == "a: &id001\n- 1\nb: *id001\n"


def test_long_text_is_folded_at_120_columns():
    text = " ".join(["word"] * 40)
    lines = valid_dumps_yaml({"k": text}).splitlines()
    assert len(lines) == 2 and len(lines[0]) <= 121 and lines[1].startswith("  word")


def test_valid_dump_yaml_writes_to_the_stream_and_passes_keywords_on():
    stream = io.StringIO()
    assert valid_dump_yaml({"a": 1}, stream) is None
    assert stream.getvalue() == "a: 1\n"
    seen = []
    assert valid_dumps_yaml({"a": 1}, transform=lambda text: seen.append(text) or text.upper()) == "A: 1\n"
    assert seen == ["a: 1\n"]


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: valid_dumps_yaml({"a": 1}, unknown=1), "unexpected keyword argument 'unknown'"),
        (lambda: valid_dumps_yaml({"a": 1}, stream=io.StringIO()), "multiple values for argument 'stream'"),
        (lambda: valid_dump_yaml({"a": 1}), "missing required argument 'stream'"),
        (lambda: valid_dump_yaml({}, io.StringIO(), io.StringIO()), "takes 2 positional arguments"),
    ],
)
def test_yaml_argument_errors(call, message):
    with pytest.raises(TypeError, match=message):
        call()


@pytest.mark.parametrize(
    "data", [{"o": Opaque()}, {"f": frozenset({1})}, [{"a": 1}, Opaque()], {"e": Colour.RED, "x": Colour}, {"p": Point}]
)
def test_unrepresentable_values_raise_the_representer_error(data):
    with pytest.raises(RepresenterError, match="cannot represent an object"):
        valid_dumps_yaml(data)


def test_a_failed_dump_keeps_what_was_written_and_the_next_dump_works():
    stream = io.StringIO()
    with pytest.raises(RepresenterError):
        valid_dump_yaml([{"a": 1}, {"b": Opaque()}], stream)
    assert stream.getvalue().startswith("a: 1\n")
    assert valid_dumps_yaml({"a": 1}) == "a: 1\n"


def test_recursive_data_raises_recursion_error():
    data = {"a": 1}
    data["self"] = data
    with pytest.raises(RecursionError):
        valid_dumps_yaml(data)


def test_string_representer_is_registered_on_the_safe_representer():
    SafeRepresenter.add_representer(str, None)
    try:
        valid_dumps_yaml({"a": "b"})
        assert SafeRepresenter.yaml_representers[str] is SafeRepresenter.represent_str
    finally:
        SafeRepresenter.add_representer(str, SafeRepresenter.represent_str)


def test_valid_representer_subclass_is_honoured():
    seen = []

    class Tracing(ValidRepresenter):
        def represent_data(self, data):
            seen.append(data)
            return super().represent_data(data)

    yaml = YAML()
    yaml.Representer = Tracing
    stream = io.StringIO()
    yaml.dump({"a": None, "b": 1 / 3}, stream)
    assert stream.getvalue() == "b: 0.333333333333\n"
    assert seen[0] == {"a": None, "b": 1 / 3}


def test_classes_and_signatures():
    assert issubclass(ValidRepresenter, SafeRepresenter) and issubclass(QuorvexJSONEncoder, json.JSONEncoder)
    import inspect

    assert str(inspect.signature(valid_dump_yaml)) == "(data: Any, stream: IO[str], **kwds) -> None"
    assert str(inspect.signature(valid_dumps_yaml)) == "(data: Any, **kwds) -> Optional[str]"
    assert str(inspect.signature(safe_dumps_json)) == "(obj: Any, **kwargs) -> str"
    assert str(inspect.signature(safe_loads_yaml)) == "(content: str) -> Any"
    assert dump.RuamelSafeRepresenter is SafeRepresenter


# ---- YAML reading


def test_round_trip_of_a_plain_mapping():
    data = {"name": "x", "n": 3, "tags": ["a", "b: c", "1", "true", ""], "nested": {"k": [1, 2]}}
    assert safe_loads_yaml(valid_dumps_yaml(data)) == data


@pytest.mark.parametrize("content", [b"a: 1", io.StringIO("a: 1"), None, 1, type("S", (str,), {})("a: 1")])
def test_safe_loads_yaml_takes_exactly_str(content):
    with pytest.raises(TypeError, match="Argument 'content' has incorrect type"):
        safe_loads_yaml(content)


def test_unsafe_tags_construct_nothing(tmp_path):
    marker = tmp_path / "marker"
    text = f"!!python/object/apply:os.system ['touch {marker}']\n"
    with pytest.raises(Exception, match="could not determine a constructor"):
        safe_loads_yaml(text)
    assert not marker.exists()


@pytest.mark.parametrize("text", ["a: [1\n", "k" * 1025 + ": v\n", "- '" + "k" * 1023 + "': v\n"])
def test_invalid_yaml_raises_the_library_error(text):
    from ruamel.yaml.error import YAMLError

    with pytest.raises(YAMLError):
        safe_loads_yaml(text)


# ---- JSON


@pytest.mark.parametrize(
    "obj, kwargs, text",
    [
        ({"a": [1]}, {}, '{\n  "a": [\n    1\n  ]\n}'),
        ({"a": [1]}, {"indent": None}, '{"a": [1]}'),
        ({"f": 1 / 3, "d": decimal.Decimal(1) / 3}, {"indent": None}, '{"f": 0.3333333333333333, "d": 0.333333333333}'),
        ({"s": {"x"}, "t": datetime.datetime(2024, 5, 6, 7, 8)}, {"indent": None}, '{"s": ["x"], "t": "2024-05-06T07:08:00"}'),
        ({"u": UID, "c": Colour.RED, "l": Level.HIGH}, {"indent": None}, '{"u": "12345678-1234-5678-1234-567812345678", "c": "red", "l": "HIGH"}'),
        ({"r": Outer(inner=Inner(a=2)), "p": Point()}, {"indent": None}, '{"r": {"inner": {"a": 2}}, "p": {"x": 1, "tags": []}}'),
        # a converted value is itself written through the encoder again
        ({"w": [decimal.Decimal("0.5")]}, {"indent": None, "sort_keys": True}, '{"w": [0.5]}'),
    ],
)
def test_safe_dumps_json(obj, kwargs, text):
    assert safe_dumps_json(obj, **kwargs) == text


def test_safe_dumps_json_weak_references():
    live = Point(4)
    assert safe_dumps_json([weakref.ref(Point(3)), weakref.ref(live)], indent=None) == '[null, {"x": 4, "tags": []}]'


def test_safe_dumps_json_caller_encoder_is_used():
    class Upper(json.JSONEncoder):
        def default(self, obj):
            return "OPAQUE"

    assert safe_dumps_json([Opaque()], cls=Upper, indent=None) == '["OPAQUE"]'


@pytest.mark.parametrize("obj", [Opaque(), {"f": frozenset({1})}, {"p": Plain()}, {"p": Point}, [Custom]])
def test_unwritable_json_values_raise_type_error(obj):
    with pytest.raises(TypeError, match="is not JSON serializable"):
        safe_dumps_json(obj)


# ---- the writer against a direct Python statement of the same rules


def reference_format(obj: Any) -> Any:
    if isinstance(obj, weakref.ReferenceType):
        obj = obj()
    if isinstance(obj, enum.Enum):
        return obj.value
    if isinstance(obj, decimal.Decimal):
        return round(float(obj), 12)
    if isinstance(obj, float):
        return round(obj, 12)
    if isinstance(obj, (datetime.datetime, datetime.date, datetime.time)):
        return obj.isoformat()
    if isinstance(obj, uuid.UUID):
        return str(obj)
    if isinstance(obj, BaseModel):
        return obj.model_dump(exclude_defaults=True)
    if isinstance(obj, set):
        return list(obj)
    if dataclasses.is_dataclass(obj) and not isinstance(obj, type):
        return obj.asdict() if callable(getattr(obj, "asdict", None)) else dataclasses.asdict(obj)
    return obj


class ReferenceRepresenter(SafeRepresenter):
    def represent_data(self, data):
        if isinstance(data, dict):
            data = {k: v for k, v in data.items() if not (v is None or v == [] or v == {})}
        return super().represent_data(reference_format(data))


def reference_dumps(data):
    yaml = YAML()
    yaml.default_flow_style = False
    yaml.width = 120
    yaml.Representer = ReferenceRepresenter
    stream = io.StringIO()
    yaml.dump_all(data if type(data) is list else [data], stream)
    return stream.getvalue()


leaves = (
    st.none()
    | st.booleans()
    | st.integers()
    | st.floats()
    | st.text(max_size=8)
    | st.decimals(allow_nan=False, places=14)
    | st.sampled_from([Colour.RED, Level.HIGH, Count.TWO, UID, datetime.date(2020, 1, 2), Point(), Outer(name="z")])
    | st.just([])
    | st.just({})
)
documents = st.recursive(
    leaves,
    lambda children: st.lists(children, max_size=4) | st.dictionaries(st.text(max_size=4), children, max_size=5),
    max_leaves=25,
)


@settings(max_examples=150, deadline=None)
@given(documents)
def test_writer_matches_the_python_statement_of_the_rules(data):
    assert valid_dumps_yaml(data) == reference_dumps(data)


@pytest.mark.parametrize("copies, refused", [(398, False), (399, True)])
def test_aliases_may_expand_a_document_only_up_to_the_limit(copies, refused):
    # 1,004 nodes written; the limit is the larger of 400,000 nodes and ten times the document.
    text = "a: &a [" + ", ".join(["1"] * 999) + "]\nb: [" + ", ".join(["*a"] * copies) + "]\n"
    if refused:
        with pytest.raises(YAMLError, match="^found excessive aliasing: the 1004 nodes of the document "
                                            "expand to more than 400000 through its aliases"):
            safe_loads_yaml(text)
    else:
        value = safe_loads_yaml(text)
        assert len(value["b"]) == copies and value["b"][0] is value["a"]


def test_own_output_with_shared_lists_loads():
    shared = list(range(1000))
    nested = [shared] * 20
    data = {f"k{i}": nested for i in range(15)}
    text = valid_dumps_yaml(data)
    assert "&id001" in text and safe_loads_yaml(text) == data


@pytest.mark.parametrize("text", ["- " * 50000 + "x\n", "[" * 50000 + "]" * 50000 + "\n"])
def test_deeply_nested_yaml_raises_recursion_error_not_a_crash(text):
    # ruamel's C parser, where installed, overflows the C stack on such input; the loader uses the
    # pure parser, which raises RecursionError.
    with pytest.raises(RecursionError):
        safe_loads_yaml(text)


_OUT_OF_MEMORY = """
import resource, sys
from quorvex_analytics_utils.utils.dump import safe_loads_yaml, valid_dumps_yaml

with open("/proc/self/maps") as maps:
    if "libasan" in maps.read():  # the sanitizer's allocator aborts instead of failing
        sys.exit(print("skip"))
if sys.argv[1] == "write":
    data = {"k": ["x" * 1_000_000] * 400}  # 400 MB of text, of which the limit allows 150
    call = lambda: valid_dumps_yaml(data)
else:
    text = "a:\\n" + "- 1\\n" * 20_000_000  # 20 million lines to split
    call = lambda: safe_loads_yaml(text)
with open("/proc/self/statm") as statm:
    used = int(statm.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (used + 150_000_000, resource.RLIM_INFINITY))
try:
    call()
except BaseException as e:
    print(type(e).__name__)
"""


@pytest.mark.parametrize("direction", ["write", "read"])
def test_running_out_of_memory_in_the_native_yaml_engine_is_a_memory_error(direction):
    # A failed C++ allocation used to surface as RuntimeError('std::bad_alloc').
    import subprocess
    import sys

    run = subprocess.run([sys.executable, "-c", _OUT_OF_MEMORY, direction], capture_output=True, text=True,
                         timeout=60)
    if run.stdout.strip() == "skip":
        pytest.skip("allocation limits do not apply under the address sanitizer")
    assert run.stdout.strip() == "MemoryError", run.stderr
