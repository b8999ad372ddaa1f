"""The ruamel path written out in Python (the store's settings), and generators of nasty documents.

Shared by the differential tests and bench/yaml_fuzz.py.
"""

import io
import math

from hypothesis import strategies as st
from ruamel.yaml import YAML
from ruamel.yaml.representer import SafeRepresenter

INT64 = (-(2**63), 2**63 - 1)


def _is_invalid(value):
    return value is None or value == [] or value == {}


class ReferenceRepresenter(SafeRepresenter):
    """Drops empty mapping entries and rounds floats to 12 digits before ruamel represents a value."""

    def represent_data(self, data):
        if isinstance(data, dict):
            data = {k: v for k, v in data.items() if not _is_invalid(v)}
        if isinstance(data, float):
            data = round(data, 12)
        return super().represent_data(data)


def ruamel_dumps(data):
    docs = data if type(data) is list else [data]
    yaml = YAML()
    yaml.default_flow_style = False
    yaml.width = 120
    yaml.Representer = ReferenceRepresenter
    stream = io.StringIO()
    yaml.dump_all(docs, stream)
    return stream.getvalue()


def ruamel_loads(text):
    return YAML(typ="safe").load(text)


def same_value(a, b):
    """Equality that also tells nan from nan, -0.0 from 0.0, True from 1 and 1 from 1.0."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        if math.isnan(a):
            return math.isnan(b)
        return a == b and math.copysign(1, a) == math.copysign(1, b)
    if isinstance(a, list):
        return len(a) == len(b) and all(same_value(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same_value(a[k], b[k]) for k in a)
    return a == b


def needs_ruamel(data):
    """The documents the native writer hands over: values it cannot guarantee to write identically."""
    seen = set()

    def walk(value, in_mapping):
        t = type(value)
        if t is dict:
            if id(value) in seen:
                return True
            seen.add(id(value))
            for k, v in value.items():
                if _is_invalid(v):
                    continue
                if type(k) is not str or walk(k, False) or walk(v, True):
                    return True
            return False
        if t is list or t is tuple:
            if value != () and id(value) in seen:
                return True
            seen.add(id(value))
            return any(walk(v, False) for v in value)
        if t is int:
            return not INT64[0] <= value <= INT64[1]
        if t is str:
            return any(c in "\x85\u2028\u2029" or 0xD800 <= ord(c) <= 0xDFFF for c in value)
        return t not in (float, bool, type(None))

    docs = data if type(data) is list else [data]
    for doc in docs:
        seen.clear()
        if walk(doc, False):
            return True
    return False


# ----- generators -----

LOOKALIKES = [
    "true", "False", "TRUE", "yes", "no", "on", "off", "y", "n", "null", "Null", "~", "", "<<", "=",
    "1", "-1", "+1", "007", "1_000", "0o7", "0o8", "0x1F", "0x_", "0b101", "0b2", "-_", "._", "_", "1e5",
    "1E+5", "1.5", ".5", "1.", "-.5e-3", ".inf", "-.Inf", "+.INF", ".nan", ".NaN", "nan", "inf",
    "2020-01-01", "2020-1-1 1:02:03", "2001-12-14t21:59:43.10-05:00", "2001-12-14 21:59:43.10 Z",
    "12:30", "1:20:30", "0.1", "1,000", "---", "...", "--- x", "... x", "- ", "-", "-x", "? x", "?x", ":", ":x",
    "a: b", "a:", "a:b", "a #b", "a#b", "#x", "&a", "*a", "!x", "|", ">", "'", '"', "%", "@", "`", "[a]", "{a}",
    ",", "a,b", "x ", " x", "a  b", "\t", "a\tb", "\r", "a\nb", "\n", "a \n b", "\x00", "\x07", "\x1b", "\x7f",
    "\x85", "\u2028", "\u2029", "\xa0", "\ufeff", "\ufffe", "\uffff", "\ud800", "é", "日本", "🙂", "\\", "\\n",
]
CHARS = st.sampled_from(list(" aZ09_-.:#,'\"\\\n\t?!&*[]{}|>%@`~=+\xa0é日🙂\x00\x1b\x7f\u2028\x85\ufeff"))
WORD = st.text(alphabet=st.characters(codec="utf-8", exclude_categories=["Cs"]), min_size=1, max_size=12)


@st.composite
def long_texts(draw):
    """Word runs of a length that folds at width 120, with varied space runs and odd words."""
    parts = []
    target = draw(st.integers(90, 300))
    size = 0
    while size < target:
        word = draw(st.one_of(st.text(alphabet="abcxyz", min_size=1, max_size=30), st.sampled_from(LOOKALIKES),
                              WORD, st.text(CHARS, min_size=1, max_size=4)))
        sep = draw(st.sampled_from([" ", " ", " ", "  ", "   ", "\n", " \n ", "'", '"']))
        parts.append(word + sep)
        size += len(word) + len(sep)
    return "".join(parts)[: draw(st.integers(1, size))]


nasty_text = st.one_of(
    st.sampled_from(LOOKALIKES),
    st.text(CHARS, max_size=8),
    st.builds(lambda a, b: a + b, st.sampled_from(LOOKALIKES), st.sampled_from(LOOKALIKES)),
    WORD,
    long_texts(),
    st.text(alphabet="ab ", min_size=110, max_size=135),
)

floats = st.one_of(
    st.floats(),
    st.sampled_from([0.1, 1 / 3, 2 / 3, -0.0, 0.0, 1e16, 1e15, 9999999999999998.0, 1e-4, 1e-5, 5e-13, 4.9e-13,
                     -1e-13, 0.5e-12, 1.5e-12, 123456.7890123456, 1e300, 1.7976931348623157e308, 5e-324]),
    st.builds(lambda m, e: m * 10.0**e, st.integers(-(10**15), 10**15), st.integers(-25, 20)),
)
ints = st.one_of(st.integers(-1000, 1000), st.integers(*INT64), st.integers(-(2**80), 2**80))
scalars = st.one_of(st.none(), st.booleans(), ints, floats, nasty_text)
keys = st.one_of(nasty_text, st.text("k", min_size=118, max_size=126), st.text("k ", min_size=118, max_size=126))


def documents(max_leaves=40):
    return st.recursive(
        scalars,
        lambda inner: st.one_of(
            st.lists(inner, max_size=5),
            st.dictionaries(keys, st.one_of(inner, st.just([]), st.just({}), st.none()), max_size=5),
        ),
        max_leaves=max_leaves,
    )


@st.composite
def deep(draw):
    """A narrow document nested deeper than any generated one, so that indents pass the width."""
    value = draw(scalars)
    for _ in range(draw(st.integers(20, 70))):
        key = draw(st.sampled_from(["k", "long key " * 3, "x"]))
        value = {key: value} if draw(st.booleans()) else [value]
    return value


streams = st.one_of(documents(), st.lists(documents(12), max_size=4), deep())


MUTATION_PIECES = [":", ": ", "#", " #", "'", '"', " ", "  ", "\n", "\n\n", "- ", "-", "&a ", "*a", "!!str ", "!x ",
                   "[", "]", "{", "}", "|", ">", "\\", "\\x4", "\t", "---", "...", "? ", "%YAML 1.2\n", "~", "1", "0x",
                   ".", "_", "e5", "2020-01-01", "é"]


def mutations(text, rnd, count):
    """Copies of `text` with a small random edit each: a piece inserted, a character or line dropped,
    a line duplicated or its indentation changed."""
    out = []
    for _ in range(count):
        t = text
        kind = rnd.randrange(5)
        if kind == 0 or not t:
            i = rnd.randrange(len(t) + 1)
            t = t[:i] + rnd.choice(MUTATION_PIECES) + t[i:]
        elif kind == 1:
            i = rnd.randrange(len(t))
            t = t[:i] + t[i + 1:]
        else:
            lines = t.split("\n")
            i = rnd.randrange(len(lines))
            if kind == 2:
                lines.insert(i, lines[i])
            elif kind == 3:
                lines[i] = " " + lines[i]
            else:
                lines[i] = lines[i][1:] if lines[i].startswith(" ") else lines[i] + " "
            t = "\n".join(lines)
        out.append(t)
    return out
