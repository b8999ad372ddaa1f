"""Writing and reading a stored model of 200 attributes x 22 bins: native engine vs the ruamel path.

Three levels, each measured side by side in one run: a plain document (dicts, lists, scalars), the same
shape as records (200 FeatureBucketing records of 22 bins in one record), and, where the augmented scorer
is built, its `get_content` / `parse_from_content` with the dump module's YAML functions forced onto the
ruamel path (a keyword argument for writing, ruamel's safe loader for reading).

    .venv/bin/python bench/bench_yaml.py
"""

import contextlib
import io
import time
from typing import List

from pydantic import BaseModel, Field
from ruamel.yaml import YAML

from quorvex_analytics_utils.predictive_models.feature_preparation.feature_bucketing import (
    AttributeBinNumerical,
    AttributeDataType,
    FeatureBucketing,
)
from quorvex_analytics_utils.utils import dump


def document():
    attributes = []
    for a in range(200):
        bins = []
        for b in range(22):
            bins.append({"type": "regular", "name": f"[{b * 1.5}, {b * 1.5 + 1.5})", "lower_bound": b * 1.5,
                         "upper_bound": b * 1.5 + 1.5, "value": (a * 22 + b) / 7.0, "count": a * b,
                         "label": None, "missing": False})
        attributes.append({"name": f"attribute_{a}", "description": "a binned input attribute of the model",
                           "bins": bins, "weight": a / 3.0})
    return {"attributes": attributes, "target": "target_flag", "predictive_model_type": "LOGISTIC_REGRESSION"}


def ruamel_dumps(data):
    yaml = YAML()
    yaml.default_flow_style = False
    yaml.width = 120
    yaml.Representer = dump.ValidRepresenter
    stream = io.StringIO()
    yaml.dump_all([data], stream)
    return stream.getvalue()


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


class Binnings(BaseModel):
    target: str = "target"
    binning: List[FeatureBucketing] = Field(default_factory=list)


def record_document():
    """200 attributes of 21 numerical bins plus a null bin, as records."""
    records = []
    for a in range(200):
        edges = [float("-inf")] + [i * 1.37 for i in range(1, 21)] + [float("inf")]
        bins = [AttributeBinNumerical(id=i, lower_bound=edges[i], upper_bound=edges[i + 1], value=(a + i) / 7)
                for i in range(21)]
        bins.append(AttributeBinNumerical(id=90, name="1_null", value=0.5))
        records.append(FeatureBucketing(attribute=f"attribute_{a:03d}", attribute_data_type=AttributeDataType.NUMERICAL,
                                        feature_bucketing=bins))
    return Binnings(target="bad", binning=records)


@contextlib.contextmanager
def ruamel_forced():
    """The dump module's YAML functions as callers look them up, sent down the ruamel path."""
    dumps, loads = dump.valid_dumps_yaml, dump.safe_loads_yaml
    dump.valid_dumps_yaml = lambda data, **kwds: dumps(data, transform=None, **kwds)
    dump.safe_loads_yaml = lambda content: YAML(typ="safe").load(content)
    try:
        yield
    finally:
        dump.valid_dumps_yaml, dump.safe_loads_yaml = dumps, loads


def row(label, native, ruamel, repeat_native=5, repeat_ruamel=2):
    n, r = best(native, repeat_native), best(ruamel, repeat_ruamel)
    print(f"{label:<28} native {n * 1000:8.1f} ms  ruamel {r * 1000:8.1f} ms  ratio {r / n:6.1f}x")


def forced(fn):
    def run():
        with ruamel_forced():
            return fn()
    return run


def records():
    data = record_document()
    text = dump.valid_dumps_yaml(data)
    assert text == dump.valid_dumps_yaml(data, transform=None)
    print(f"records: {len(text) / 1000:.0f} kB")
    row("write records", lambda: dump.valid_dumps_yaml(data), lambda: dump.valid_dumps_yaml(data, transform=None))
    print(f"{'  of which model_dump':<28} {best(lambda: data.model_dump(exclude_defaults=True), 5) * 1000:8.1f} ms")
    value = dump.safe_loads_yaml(text)
    print(f"{'  model_validate of the read':<28} {best(lambda: Binnings.model_validate(value), 5) * 1000:8.1f} ms")


def scorer():
    try:
        from bench_scorer import build_scorer

        from quorvex_analytics_utils.predictive_models.augmented_scorer import AugmentedScorer
    except ImportError as e:
        print(f"scorer: not measured ({e})")
        return
    model = build_scorer()
    content = model.get_content()
    with ruamel_forced():
        reference = model.get_content()
    text = content.augmented_scorer_yaml.getvalue()
    assert text == reference.augmented_scorer_yaml.getvalue()
    assert AugmentedScorer.parse_from_content(content) == forced(lambda: AugmentedScorer.parse_from_content(content))()
    print(f"scorer: {len(text) / 1000:.0f} kB of YAML")
    row("get_content", model.get_content, forced(model.get_content))
    row("parse_from_content", lambda: AugmentedScorer.parse_from_content(content),
        forced(lambda: AugmentedScorer.parse_from_content(content)))
    row("  valid_dumps_yaml", lambda: dump.valid_dumps_yaml(model), lambda: dump.valid_dumps_yaml(model, transform=None))
    row("  safe_loads_yaml", lambda: dump.safe_loads_yaml(text), lambda: YAML(typ="safe").load(text))
    value = dump.safe_loads_yaml(text)
    for label, fn in [("  model_dump", lambda: model.model_dump(exclude_defaults=True)),
                      ("  model_validate", lambda: AugmentedScorer.model_validate(value))]:
        print(f"{label:<28} {best(fn, 5) * 1000:8.1f} ms")


def main():
    data = document()
    text = dump.valid_dumps_yaml(data)
    assert text == ruamel_dumps(data)
    assert dump.safe_loads_yaml(text) == YAML(typ="safe").load(text)
    print(f"document: {len(text) / 1000:.0f} kB")
    native_w = best(lambda: dump.valid_dumps_yaml(data), 5)
    ruamel_w = best(lambda: ruamel_dumps(data), 2)
    native_r = best(lambda: dump.safe_loads_yaml(text), 5)
    ruamel_r = best(lambda: YAML(typ="safe").load(text), 2)
    print(f"write: native {native_w * 1000:8.1f} ms  ruamel {ruamel_w * 1000:8.1f} ms  ratio {ruamel_w / native_w:6.1f}x")
    print(f"read:  native {native_r * 1000:8.1f} ms  ruamel {ruamel_r * 1000:8.1f} ms  ratio {ruamel_r / native_r:6.1f}x")
    records()
    scorer()


if __name__ == "__main__":
    main()
