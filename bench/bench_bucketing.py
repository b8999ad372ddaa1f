"""Single calls of bin_numeric_attribute / bin_categoric_attribute against a straightforward Python
implementation of the same scan over the same records, 20 bins, measured side by side."""

import functools
import logging
import math
import time
import timeit

import structlog

from quorvex_analytics_utils.predictive_models.feature_preparation.feature_bucketing import (
    AttributeBinCategorical,
    AttributeBinNumerical,
    FeatureBucketing,
)
from bucketing_yardstick import py_bin_categoric as python_categoric, py_bin_numeric as python_numeric

def numeric_bucketing():
    edges = [-math.inf] + [float(i * 10) for i in range(1, 18)] + [math.inf]
    bins = [AttributeBinNumerical(name="1_null", id=0, value=0.0)]
    bins += [
        AttributeBinNumerical(id=i + 1, lower_bound=lo, upper_bound=hi, value=float(i + 1))
        for i, (lo, hi) in enumerate(zip(edges, edges[1:]))
    ]
    bins.append(AttributeBinNumerical(name="0_default", id=99, value=-1.0))
    return FeatureBucketing(attribute="AGE", attribute_data_type="NUMERICAL", feature_bucketing=bins)


def categoric_bucketing():
    bins = [AttributeBinCategorical(name="1_null", id=0, value=0.0)]
    bins += [
        AttributeBinCategorical(id=i + 1, categories=[f"c{i}a", f"c{i}b"], value=float(i + 1))
        for i in range(18)
    ]
    bins.append(AttributeBinCategorical(name="0_default", id=99, value=-1.0))
    return FeatureBucketing(attribute="CITY", attribute_data_type="CATEGORICAL", feature_bucketing=bins)


def per_call(fn, values, number):
    def run():
        for v in values:
            fn(v)

    # CPU time of this process: time spent descheduled on a busy machine does not count.
    return timeit.timeit(run, number=number, timer=time.process_time) / (number * len(values))


def compare(label, native, python, values, number=500, repeat=25):
    for v in values:
        assert native(v) == python(v), (label, v)
    # Interleaved, so that both sides see the same load on a shared machine; best of each.
    t_native = t_python = math.inf
    for _ in range(repeat):
        t_native = min(t_native, per_call(native, values, number))
        t_python = min(t_python, per_call(python, values, number))
    print(f"{label:48s} native {t_native * 1e9:7.0f} ns  python {t_python * 1e9:7.0f} ns  "
          f"ratio {t_python / t_native:5.1f}x")


def main():
    num = numeric_bucketing()
    cat = categoric_bucketing()
    print("20 bins per attribute, time per call")
    compare("bin_numeric_attribute (values across all bins)", num.bin_numeric_attribute,
            functools.partial(python_numeric, num), [5.0, 45.0, 95.0, 135.0, 175.0])
    compare("bin_numeric_attribute (middle bin)", num.bin_numeric_attribute,
            functools.partial(python_numeric, num), [95.0])
    compare("bin_numeric_attribute (int input, last bin)", num.bin_numeric_attribute,
            functools.partial(python_numeric, num), [1000])
    compare("bin_categoric_attribute (values across all bins)", cat.bin_categoric_attribute,
            functools.partial(python_categoric, cat), ["c0a", "c4b", "c9a", "c13b", "c17a"])
    compare("bin_categoric_attribute (middle bin)", cat.bin_categoric_attribute,
            functools.partial(python_categoric, cat), ["c9b"])
    fallback_logging(num)


def fallback_logging(num):
    """A fallback whose warning structlog's filtering logger drops, against two calls that log
    nothing: a value of the last regular bin (the same scan, no fallback), and the same fallback
    with a module logger that ignores the event (the message is built, the call is a builtin)."""
    import types

    from quorvex_analytics_utils.predictive_models.feature_preparation import feature_bucketing as module

    def best(value, rounds=25):
        return min(per_call(num.bin_numeric_attribute, [value], 500) for _ in range(rounds))

    saved = structlog.get_config()
    structlog.configure(wrapper_class=structlog.make_filtering_bound_logger(logging.ERROR))
    try:
        filtered, silent = best(-math.inf), best(1000.0)
        python = min(per_call(functools.partial(python_numeric, num), [-math.inf], 500) for _ in range(10))
        logger, module.logger = module.logger, types.SimpleNamespace(warning=len, debug=len)
        try:
            ignored = best(-math.inf)
        finally:
            module.logger = logger
    finally:
        structlog.configure(**saved)
    print(f"{'fallback, warning filtered by structlog':48s} native {filtered * 1e9:7.0f} ns  "
          f"python {python * 1e9:7.0f} ns  ratio {python / filtered:5.1f}x")
    print(f"{'  a regular bin after the same scan':48s} native {silent * 1e9:7.0f} ns  "
          f"filtered/this {filtered / silent:4.2f}")
    print(f"{'  the fallback, logger ignoring the event':48s} native {ignored * 1e9:7.0f} ns  "
          f"filtered/this {filtered / ignored:4.2f}")

if __name__ == "__main__":
    main()
