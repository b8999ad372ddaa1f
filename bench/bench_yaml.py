"""Writing and reading a stored model of 200 attributes x 22 bins: native engine vs the ruamel path.

    .venv/bin/python bench/bench_yaml.py
"""

import io
import time

from ruamel.yaml import YAML

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


if __name__ == "__main__":
    main()
