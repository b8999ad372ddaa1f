"""Records and other normalised values through the native YAML writer, against the ruamel path forced.

`transform=None` is a keyword that ruamel's dump_all accepts and ignores; any keyword sends the call to
ruamel, so it yields the ruamel path's text (or error) for the same data.
"""

import dataclasses
import datetime
import decimal
import enum
import io
import weakref
from typing import Any, Optional

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from pydantic import BaseModel, Field, field_serializer

from _yaml_reference import INT64, scalars
from quorvex_analytics_utils.utils import dump
from quorvex_analytics_utils.utils.dump import valid_dump_yaml, valid_dumps_yaml


class Shade(str, enum.Enum):
    LIGHT = "light"
    DARK = "dark: very"


class Spelled(str, enum.Enum):
    """Members whose text differs from their value: entries are sorted by the text, written as the value."""

    def __new__(cls, value):
        member = str.__new__(cls, value[::-1])
        member._value_ = value
        return member

    AB = "ab"
    ZA = "za"


class Ranked(str, enum.Enum):
    """Members that compare by code of their own: the representer's sort runs it."""

    FIRST = "b"
    SECOND = "a"

    def __lt__(self, other):
        return str(self) > str(other)


class Rehashed(str, enum.Enum):
    """A member that is a different mapping key from the text it equals."""

    A = "a"
    __hash__ = object.__hash__


class Level(enum.IntEnum):
    LOW = 1
    HIGH = 7


class Odd(enum.Enum):
    THIRD = 1 / 3  # the member's value is written as it is, not rounded
    NOTHING = None
    MAPPING = {"kept": None, "x": 1}  # written whole: not filtered at its own level
    LIST = [1, 2]  # the same list object wherever the member appears
    DECIMAL = decimal.Decimal("2.5")  # not normalised again: ruamel cannot represent it


class Leaf(BaseModel):
    name: str = "leaf"
    weight: float = 0.5
    shade: Shade = Shade.LIGHT
    note: Optional[str] = None
    tags: list[str] = Field(default_factory=list)
    when: Optional[datetime.date] = None


class Branch(BaseModel):
    leaf: Leaf = Field(default_factory=Leaf)
    leaves: list[Leaf] = Field(default_factory=list)
    extra: dict[str, Any] = Field(default_factory=dict)
    level: Level = Level.LOW
    amount: Optional[decimal.Decimal] = None


@dataclasses.dataclass
class Point:
    x: Any
    y: Any = None


@dataclasses.dataclass
class Custom:
    v: Any

    def asdict(self):
        return {"custom": self.v, "empty": None}


@dataclasses.dataclass
class Referent:
    value: Any


_ALIVE = []  # referents of the live weak references made by the strategies


def live_ref(obj):
    _ALIVE.append(obj)
    return weakref.ref(obj)


def values(safe):
    """Documents mixing plain values with every normalised kind. `safe` leaves out whatever makes the
    native writer hand over (shared lists, huge integers, odd characters, values ruamel rejects)."""
    if safe:
        text = st.text(st.characters(codec="utf-8", exclude_characters="\x85\u2028\u2029"), max_size=30)
        # enumeration members as keys, never beside a text key of the same spelling
        text_keys = st.sampled_from([*Shade, *Spelled]) | text.filter(lambda k: k not in {"light", "dark: very", "ba", "az"})
        keys = text_keys | st.integers(*INT64)
        plain = st.one_of(st.none(), st.booleans(), st.integers(*INT64), st.floats(), text)
        members = st.sampled_from([*Shade, *Level, Odd.THIRD, Odd.NOTHING])
        decimals = st.decimals(allow_nan=False, places=20)
    else:
        text = st.text(max_size=30)
        text_keys = st.sampled_from([*Shade, *Spelled, *Ranked, *Rehashed, "light", "ba", "a"]) | text
        keys = text_keys | st.sampled_from([*Level, True]) | st.integers()
        plain = scalars
        members = st.sampled_from([*Shade, *Level, *Odd])
        decimals = st.decimals()
    leaves = st.builds(Leaf, name=text, weight=st.floats(), shade=st.sampled_from(Shade),
                       note=st.none() | text, tags=st.lists(text, max_size=3), when=st.none() | st.dates())
    atoms = st.one_of(plain, members, decimals, st.dates(), st.datetimes(), st.times(), st.uuids(), leaves,
                      st.sets(st.integers(-5, 5) | text, max_size=3), st.builds(Point, plain, plain),
                      st.builds(live_ref, st.builds(Referent, plain)), st.builds(live_ref, leaves))
    if not safe:
        atoms = atoms | st.frozensets(st.integers(), max_size=2) | st.just(weakref.ref(Leaf()))

    def nest(inner):
        entry = st.one_of(inner, st.none(), st.just([]), st.just({}))
        options = [
            st.lists(inner, max_size=4),
            st.tuples(inner, inner),
            st.dictionaries(keys, entry, max_size=4),
            st.builds(Branch, leaf=leaves, leaves=st.lists(leaves, max_size=3),
                      extra=st.dictionaries(text_keys, entry, max_size=3), level=st.sampled_from(Level),
                      amount=st.none() | st.decimals(allow_nan=False, allow_infinity=False, places=6)),
            st.builds(Point, inner, entry),
            st.builds(Custom, inner),
            st.builds(live_ref, st.builds(Referent, inner)),
        ]
        if not safe:
            options.append(st.builds(lambda v: {"first": v, "again": v}, inner))  # one object met twice
        return st.one_of(options)

    document = st.recursive(atoms, nest, max_leaves=12)
    return document | st.lists(document, max_size=3)


def outcome(write):
    try:
        return "text", write()
    except Exception as e:  # noqa: BLE001 - both paths must fail alike
        return type(e), str(e)


@pytest.fixture
def ruamel_calls(monkeypatch):
    """The number of documents the ruamel path represented (it is the only caller of `represent`)."""
    calls = []
    represent = dump.ValidRepresenter.represent

    def counting(self, data):
        calls.append(data)
        return represent(self, data)

    monkeypatch.setattr(dump.ValidRepresenter, "represent", counting)
    return calls


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow,
                                                                   HealthCheck.function_scoped_fixture])
@given(values(safe=True))
def test_normalised_values_are_written_natively_as_ruamel_writes_them(ruamel_calls, data):
    ruamel_calls.clear()  # the fixture lives across examples
    native = valid_dumps_yaml(data)
    assert ruamel_calls == []
    assert native == valid_dumps_yaml(data, transform=None)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(values(safe=False))
def test_any_document_gives_ruamel_text_or_error(data):
    expected = outcome(lambda: valid_dumps_yaml(data, transform=None))
    assert outcome(lambda: valid_dumps_yaml(data)) == expected
    stream = io.StringIO()
    if outcome(lambda: valid_dump_yaml(data, stream))[0] == "text":
        assert ("text", stream.getvalue()) == expected


_dead = weakref.ref(Leaf())


@pytest.mark.parametrize(
    "data, text, native",
    [
        (Branch(), "{}\n", True),
        # a record's own dump is not filtered; mappings inside it are
        (Branch(leaf=Leaf(note=None, tags=[]), extra={"a": None, "b": {"c": None}}),
         "extra:\n  b: {}\n", True),
        (Leaf(note="x", weight=1 / 3), "note: x\nweight: 0.333333333333\n", True),
        ({"m": Odd.MAPPING, "t": Odd.THIRD, "f": 1 / 3}, "f: 0.333333333333\nm:\n  kept: null\n  x: 1\nt: 0.3333333333333333\n", True),
        ({"n": Odd.NOTHING, "s": {"b"}, "d": _dead}, "d: null\nn: null\ns:\n- b\n", True),
        ({"x": Custom(1), "p": Point(None, [])}, "p:\n  x: null\n  y: []\nx:\n  custom: 1\n  empty: null\n", True),
        ({"e": (), "t": (1, "a"), "u": [(), ()]}, "e: []\nt:\n- 1\n- a\nu:\n- []\n- []\n", True),
        ([Leaf(name="a"), Leaf(name="b")], "name: a\n---\nname: b\n", True),
        (datetime.date(2020, 1, 2), "'2020-01-02'\n", True),
        (Level.HIGH, "7\n...\n", True),
        ({"a": Odd.LIST, "b": Odd.LIST}, "a: &id001\n- 1\n- 2\nb: *id001\n", False),
        # members as keys: sorted by their text, written as their value
        ({Shade.DARK: 1 / 3, "b": None, Shade.LIGHT: [1], "c": {Shade.LIGHT: 2}},
         "c:\n  light: 2\n'dark: very': 0.333333333333\nlight:\n- 1\n", True),
        ({Spelled.ZA: 1, Spelled.AB: 2, "b": 3}, "za: 1\nb: 3\nab: 2\n", True),
        (Branch(extra={"e": {Spelled.ZA: Leaf(name="k")}}), "extra:\n  e:\n    za:\n      name: k\n", True),
        ({Ranked.FIRST: 1, Ranked.SECOND: 2}, "a: 2\nb: 1\n", False),  # its own comparison decides
        ({Rehashed.A: 1, "a": 2}, "a: 1\na: 2\n", False),  # equal texts: the values decide
        ({"a": {Level.HIGH: 1}}, "a:\n  7: 1\n", False),
        # int keys (class weights): sorted by value; beside text keys the representer cannot sort
        ({"h": {10: [1], 1: 3.5, -7: None, 0: 1}}, "h:\n  0: 1\n  1: 3.5\n  10:\n  - 1\n", True),
        ({"b": 1, 2: "x", "a": 3, Shade.LIGHT: 4, 1: None}, "b: 1\n2: x\na: 3\nlight: 4\n", True),
        ({Rehashed.A: 1, "a": 2, 5: 0}, "a: 1\na: 2\n5: 0\n", False),
        ({True: 1}, "true: 1\n", False),
        ({2**70: 1}, "1180591620717411303424: 1\n", False),
        ({"a": Point(1), "b": Odd.LIST, "c": (1, 2)}, "a:\n  x: 1\n  y: null\nb:\n- 1\n- 2\nc:\n- 1\n- 2\n", True),
    ],
    ids=lambda v: "" if not isinstance(v, bool) else str(v),
)
def test_known_texts(ruamel_calls, data, text, native):
    assert valid_dumps_yaml(data) == text
    assert (ruamel_calls == []) is native
    assert valid_dumps_yaml(data, transform=None) == text


class Failing(BaseModel):
    name: str = "x"

    @field_serializer("name")
    def boom(self, value):
        raise ValueError(f"cannot dump {value}")


@pytest.mark.parametrize(
    "data",
    [
        {"a": Odd.DECIMAL},
        {"a": frozenset([1])},
        [Leaf(name="first"), Failing(name="second")],
        {"a": decimal.Decimal("sNaN")},
        {"a": Shade.LIGHT, "b": weakref.ref(Leaf()), "c": object()},
    ],
    ids=["enum-decimal", "frozenset", "failing-record", "signalling-nan", "opaque"],
)
def test_errors_and_partial_output_are_ruamel_s(data):
    expected = outcome(lambda: valid_dumps_yaml(data, transform=None))
    assert expected[0] != "text"
    assert outcome(lambda: valid_dumps_yaml(data)) == expected
    native_stream, ruamel_stream = io.StringIO(), io.StringIO()
    assert outcome(lambda: valid_dump_yaml(data, native_stream)) == expected
    outcome(lambda: valid_dump_yaml(data, ruamel_stream, transform=None))
    assert native_stream.getvalue() == ruamel_stream.getvalue()


class Stop(BaseException):
    pass


def test_an_interrupt_while_normalising_propagates_without_a_second_attempt():
    calls = []

    @dataclasses.dataclass
    class Interrupting:
        def asdict(self):
            calls.append(1)
            raise Stop

    with pytest.raises(Stop):
        valid_dumps_yaml({"a": Interrupting()})
    assert calls == [1]


def test_a_list_changed_while_its_items_are_normalised_is_written_as_ruamel_sees_it():
    def document():
        items = []

        @dataclasses.dataclass
        class Growing:
            n: int

            def asdict(self):
                if self.n < 3:
                    items.append(Growing(self.n + 1))
                return {"n": self.n}

        items.append(Growing(0))
        return {"items": items}

    text = valid_dumps_yaml(document())
    assert text == valid_dumps_yaml(document(), transform=None)
    assert text.count("n:") == 4


def failing_after_a_change():
    """A document whose normalisation empties it and then fails: the failure is the outcome."""
    data = {}

    class Emptying:
        def __eq__(self, other):
            data.clear()
            return False

        __hash__ = object.__hash__

    data.update(a=Emptying(), b=[1])
    return data


@pytest.mark.parametrize("call", [
    lambda data: valid_dumps_yaml(data),
    lambda data: valid_dump_yaml(data, io.StringIO()),
    lambda data: valid_dumps_yaml(data, transform=None),
])
def test_a_failure_that_changed_the_data_is_not_retried_into_a_text(call):
    with pytest.raises(RuntimeError, match="changed size during iteration"):
        call(failing_after_a_change())


@pytest.mark.parametrize("data, native_calls", [
    ({"a": None}, 1),  # written natively
    ({"a": None, "shared": [Odd.LIST, Odd.LIST]}, 2),  # handed over once: one native try, then ruamel
])
def test_normalising_code_runs_once_per_attempt(data, native_calls):
    calls = []

    @dataclasses.dataclass
    class Counted:
        def asdict(self):
            calls.append(1)
            return {"x": 1}

    valid_dumps_yaml({**data, "c": Counted()})
    assert len(calls) == native_calls
