"""Single calls of bin_numeric_attribute / bin_categoric_attribute against a straightforward Python
implementation of the same scan over the same records, 20 bins, measured side by side."""

import math
import timeit

import structlog

from quorvex_analytics_utils.predictive_models.feature_preparation.feature_bucketing import (
    AttributeBinCategorical,
    AttributeBinNumerical,
    FeatureBucketing,
    PredictiveModelBinName,
)

logger = structlog.get_logger("bench")
FALLBACK = [
    PredictiveModelBinName.DEFAULT,
    PredictiveModelBinName.SYSTEM_DEFAULT,
    PredictiveModelBinName.DEFINED_DEFAULT,
]
RESERVED = FALLBACK + [PredictiveModelBinName.NULL]


def _fallback(bucketing, value):
    for b in bucketing.feature_bucketing:
        if b.name in FALLBACK:
            message = (
                "Predictive model hit default value when processing binning of attribute "
                f"'{bucketing.attribute}' with value '{value}'."
            )
            if b.name == PredictiveModelBinName.DEFINED_DEFAULT:
                logger.debug(message)
            else:
                logger.warning(message)
            return b.value
    return None


def python_numeric(bucketing, value):
    value = float("nan") if value is None else float(value)
    if math.isnan(value):
        for b in bucketing.feature_bucketing:
            if b.name == PredictiveModelBinName.NULL:
                return b.value
    else:
        for b in bucketing.feature_bucketing:
            if not isinstance(b, AttributeBinNumerical) or b.name in RESERVED:
                continue
            if b.lower_bound < value and value <= b.upper_bound:
                return b.value
    return _fallback(bucketing, value)


def python_categoric(bucketing, value):
    if value is not None and type(value) is not str:
        raise TypeError("value must be str")
    if value is None or value == "nan":
        for b in bucketing.feature_bucketing:
            if b.name == PredictiveModelBinName.NULL:
                return b.value
    else:
        for b in bucketing.feature_bucketing:
            if not isinstance(b, AttributeBinCategorical) or b.name in RESERVED:
                continue
            if value in b.categories:
                return b.value
    return _fallback(bucketing, value)


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


def measure(fn, values, number):
    def run():
        for v in values:
            fn(v)

    return min(timeit.repeat(run, number=number, repeat=5)) / (number * len(values))


def compare(label, native, python, values, number=2000):
    for v in values:
        assert native(v) == python(v), (label, v)
    t_native = measure(native, values, number)
    t_python = measure(python, values, number)
    print(f"{label:48s} native {t_native * 1e9:7.0f} ns  python {t_python * 1e9:7.0f} ns  "
          f"ratio {t_python / t_native:5.1f}x")


def main():
    num = numeric_bucketing()
    cat = categoric_bucketing()
    print("20 bins per attribute, time per call")
    compare("bin_numeric_attribute (values across all bins)", num.bin_numeric_attribute,
            lambda v: python_numeric(num, v), [5.0, 45.0, 95.0, 135.0, 175.0])
    compare("bin_numeric_attribute (middle bin)", num.bin_numeric_attribute,
            lambda v: python_numeric(num, v), [95.0])
    compare("bin_numeric_attribute (int input, last bin)", num.bin_numeric_attribute,
            lambda v: python_numeric(num, v), [1000])
    compare("bin_categoric_attribute (values across all bins)", cat.bin_categoric_attribute,
            lambda v: python_categoric(cat, v), ["c0a", "c4b", "c9a", "c13b", "c17a"])
    compare("bin_categoric_attribute (middle bin)", cat.bin_categoric_attribute,
            lambda v: python_categoric(cat, v), ["c9b"])


if __name__ == "__main__":
    main()
