"""Single calls of bin_numeric_attribute / bin_categoric_attribute against a straightforward Python
implementation of the same scan over the same records, 20 bins, measured side by side."""

import functools
import math
import time
import timeit

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


if __name__ == "__main__":
    main()
