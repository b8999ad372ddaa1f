"""valid_dumps_yaml and safe_loads_yaml on a large record-like document, against the
straightforward Python implementation of the same functions, in one process.

Also measures how much of the time is ruamel.yaml's own: the same (already clean) document
written by ruamel's plain SafeRepresenter under the same settings does no filtering or
normalisation, so its time is the floor that any representer override can reach.

Run: .venv/bin/python bench/bench_dump.py [--attributes 200] [--bins 22] [--repeat 3]
"""

import argparse
import dataclasses
import datetime
import decimal
import enum
import io
import time
import uuid
import weakref
from typing import Any

from pydantic import BaseModel
from ruamel.yaml import YAML
from ruamel.yaml.representer import SafeRepresenter

from quorvex_analytics_utils.utils.dump import (
    filter_data,
    format_output_data,
    safe_loads_yaml,
    valid_dumps_yaml,
)


# ---- the yardstick: the same functions written plainly in Python


def py_format_output_data(obj: Any) -> Any:
    if isinstance(obj, weakref.ReferenceType):
        obj = obj()
    if isinstance(obj, enum.Enum):
        return obj.value
    if isinstance(obj, decimal.Decimal):
        return round(float(obj), 12)
    if isinstance(obj, float):
        return round(obj, 12)
    if isinstance(obj, datetime.datetime):
        return obj.isoformat()
    if isinstance(obj, datetime.date):
        return obj.isoformat()
    if isinstance(obj, datetime.time):
        return obj.isoformat()
    if isinstance(obj, uuid.UUID):
        return str(obj)
    if isinstance(obj, BaseModel):
        return obj.model_dump(exclude_defaults=True)
    if isinstance(obj, set):
        return list(obj)
    if dataclasses.is_dataclass(obj):
        if hasattr(obj, "asdict") and callable(obj.asdict):
            return obj.asdict()
        return dataclasses.asdict(obj)
    return obj


def py_is_invalid(value: Any) -> bool:
    return value is None or value == [] or value == {}


def py_filter_data(data: Any) -> Any:
    if isinstance(data, dict):
        return {key: value for key, value in data.items() if not py_is_invalid(value)}
    return data


class PyValidRepresenter(SafeRepresenter):
    def represent(self, data: Any) -> None:
        SafeRepresenter.add_representer(str, self.__class__.represent_str)
        super().represent(data=data)

    def represent_data(self, data: Any) -> Any:
        return super().represent_data(py_format_output_data(py_filter_data(data)))


def py_valid_dumps_yaml(data: Any, representer=PyValidRepresenter) -> str:
    documents = data if type(data) is list else [data]
    yaml = YAML()
    yaml.default_flow_style = False
    yaml.width = 120
    yaml.Representer = representer
    stream = io.StringIO()
    yaml.dump_all(documents, stream=stream)
    return stream.getvalue()


def py_safe_loads_yaml(content: str) -> Any:
    if type(content) is not str:
        raise TypeError("content must be str")
    return YAML(typ="safe").load(content)


# ---- the document


def record(attributes: int, bins: int) -> dict:
    """Shaped like a stored feature preparation: per attribute a bucketing of numerical bins,
    with the empty optional fields a record dump carries."""
    bucketings = []
    for a in range(attributes):
        rows = []
        for b in range(bins):
            rows.append(
                {
                    "type": "NUMERICAL",
                    "name": f"{b:02d}_({b * 1.5 / 7:.3f}, {(b + 1) * 1.5 / 7:.3f}]",
                    "value": (b + 1) / 7,
                    "lower_bound": b * 1.5 / 7,
                    "upper_bound": (b + 1) * 1.5 / 7,
                    "is_special": b < 2,
                    "categories": None,
                    "notes": [],
                    "extra": {},
                }
            )
        bucketings.append(
            {
                "attribute_name": f"attribute_{a}",
                "binned_attribute_name": f"attribute_{a}_binned",
                "data_type": "NUMERICAL",
                "bins": rows,
                "description": None,
            }
        )
    return {
        "attributes": [f"attribute_{a}" for a in range(attributes)],
        "feature_preparation": {"feature_bucketings": bucketings, "dummy_encodings": []},
        "target": "default_flag",
        "profile": None,
    }


def clean(value: Any) -> Any:
    """The document as ValidRepresenter sees it after filtering and rounding, all levels."""
    if isinstance(value, dict):
        return {k: clean(v) for k, v in value.items() if not py_is_invalid(v)}
    if isinstance(value, list):
        return [clean(v) for v in value]
    return py_format_output_data(value)


def nodes_of(value: Any, out: list) -> list:
    """Every value the representer is handed, in the order it is handed them."""
    out.append(value)
    value = py_format_output_data(py_filter_data(value))
    if isinstance(value, dict):
        for key, item in value.items():
            nodes_of(key, out)
            nodes_of(item, out)
    elif isinstance(value, list):
        for item in value:
            nodes_of(item, out)
    return out


def best_of(candidates: dict, repeat: int) -> dict:
    """Least CPU time of each candidate, run round-robin so that a busy machine slows all alike."""
    times = {name: [] for name in candidates}
    for _ in range(repeat):
        for name, fn in candidates.items():
            start = time.process_time()
            fn()
            times[name].append(time.process_time() - start)
    return {name: min(values) for name, values in times.items()}


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--attributes", type=int, default=200)
    parser.add_argument("--bins", type=int, default=22)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    data = record(args.attributes, args.bins)
    text = valid_dumps_yaml(data)
    assert text == py_valid_dumps_yaml(data), "native and Python texts differ"
    cleaned = clean(data)
    nodes = nodes_of(data, [])
    assert py_valid_dumps_yaml(cleaned, SafeRepresenter) == text, "plain ruamel text differs"
    assert safe_loads_yaml(text) == py_safe_loads_yaml(text)

    t = best_of(
        {
            "native_dump": lambda: valid_dumps_yaml(data),
            "python_dump": lambda: py_valid_dumps_yaml(data),
            "ruamel_dump": lambda: py_valid_dumps_yaml(cleaned, SafeRepresenter),
            "native_load": lambda: safe_loads_yaml(text),
            "python_load": lambda: py_safe_loads_yaml(text),
            "native_nodes": lambda: [format_output_data(filter_data(n)) for n in nodes],
            "python_nodes": lambda: [py_format_output_data(py_filter_data(n)) for n in nodes],
        },
        args.repeat,
    )
    native_dump, python_dump, ruamel_dump = t["native_dump"], t["python_dump"], t["ruamel_dump"]
    native_load, python_load = t["native_load"], t["python_load"]

    print(f"CPU time, best of {args.repeat}; document: {args.attributes} attributes x {args.bins} bins, {len(text) / 1024:.0f} kB of YAML")
    print(f"valid_dumps_yaml: native {native_dump:.3f} s, Python {python_dump:.3f} s, "
          f"ratio {python_dump / native_dump:.2f}x")
    print(f"  ruamel alone (plain SafeRepresenter, clean document): {ruamel_dump:.3f} s "
          f"= {100 * ruamel_dump / native_dump:.0f}% of native, {100 * ruamel_dump / python_dump:.0f}% of Python")
    native_nodes, python_nodes = t["native_nodes"], t["python_nodes"]
    print(f"  filter + normalisation of all {len(nodes)} nodes alone: native {native_nodes * 1e3:.1f} ms "
          f"({native_nodes / len(nodes) * 1e9:.0f} ns/node, {100 * native_nodes / native_dump:.1f}% of the dump), "
          f"Python {python_nodes * 1e3:.1f} ms ({python_nodes / len(nodes) * 1e9:.0f} ns/node, "
          f"{100 * python_nodes / python_dump:.1f}% of the dump)")
    print(f"safe_loads_yaml: native {native_load:.3f} s, Python {python_load:.3f} s, "
          f"ratio {python_load / native_load:.2f}x (all of it ruamel's safe loader)")


if __name__ == "__main__":
    main()
