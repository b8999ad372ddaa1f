"""Per-call cost of PredictiveScorerWatch.get_feature_bucketing against a straightforward Python
implementation of the same lookup, on records with 20 bins, measured side by side."""
import math
import time
from typing import List, Optional

from pydantic import Field

from quorvex_analytics_utils.predictive_models.feature_preparation.feature_bucketing import (
    AttributeBinCategorical,
    AttributeBinNumerical,
    AttributeDataType,
    FeatureBucketing,
    PredictiveModelBinName,
)
from quorvex_analytics_utils.predictive_models.scorer_watch.scorer_watch import PredictiveScorerWatch
from quorvex_analytics_utils.utils.record_base import RecordBase

DEFAULTS = (PredictiveModelBinName.DEFAULT, PredictiveModelBinName.DEFINED_DEFAULT,
            PredictiveModelBinName.SYSTEM_DEFAULT)


class PythonWatch(RecordBase):
    binning: List[FeatureBucketing] = Field(default_factory=list)
    predictive_model_output_binning: Optional[FeatureBucketing] = None

    def get_feature_bucketing(self, attribute: str, attribute_dtype, attribute_value):
        if self.binning is None:
            return None
        found = None
        for entry in self.binning:
            if entry.attribute == attribute:
                found = entry
        if found is None:
            return None
        if attribute_dtype == AttributeDataType.NUMERICAL:
            return self._get_numerical_bin(binning=found, value=attribute_value)
        if attribute_dtype == AttributeDataType.CATEGORICAL:
            return self._get_categorical_bin(binning=found, value=attribute_value)
        return None

    @staticmethod
    def _fallback(binning):
        for b in binning.feature_bucketing:
            if b.name in DEFAULTS:
                return b
        return None

    @staticmethod
    def _get_numerical_bin(binning, value):
        v = math.nan if value is None else float(value)
        if math.isnan(v):
            for b in binning.feature_bucketing:
                if b.name == PredictiveModelBinName.NULL:
                    return b
        else:
            for b in binning.feature_bucketing:
                if not isinstance(b, AttributeBinNumerical) or b.lower_bound is None or b.upper_bound is None:
                    continue
                if b.lower_bound < v and v <= b.upper_bound:
                    return b
        return PythonWatch._fallback(binning)

    @staticmethod
    def _get_categorical_bin(binning, value):
        if value is None or str(value) == "nan":
            for b in binning.feature_bucketing:
                if b.name == PredictiveModelBinName.NULL:
                    return b
        else:
            for b in binning.feature_bucketing:
                if isinstance(b, AttributeBinCategorical) and b.categories and value in b.categories:
                    return b
        return PythonWatch._fallback(binning)


def numerical(attribute):
    cuts = [-math.inf] + [float(i) for i in range(1, 18)] + [math.inf]
    bins = [AttributeBinNumerical(name=f"{i}", id=i, value=float(i), lower_bound=lo, upper_bound=hi)
            for i, (lo, hi) in enumerate(zip(cuts, cuts[1:]))]
    bins += [AttributeBinNumerical(name="1_null", id=90), AttributeBinNumerical(name="0_default", id=91)]
    return FeatureBucketing(attribute=attribute, attribute_data_type="NUMERICAL", feature_bucketing=bins)


def categorical(attribute):
    bins = [AttributeBinCategorical(name=f"{i}", id=i, categories=[f"C{2 * i}", f"C{2 * i + 1}"])
            for i in range(18)]
    bins += [AttributeBinCategorical(name="1_null", id=90), AttributeBinCategorical(name="0_default", id=91)]
    return FeatureBucketing(attribute=attribute, attribute_data_type="CATEGORICAL", feature_bucketing=bins)


def best_per_call(fns, values, rounds=15):
    """Best time per call of each function, measured in alternation so that both see the same load."""
    best = [math.inf] * len(fns)
    for _ in range(rounds):
        for i, fn in enumerate(fns):
            start = time.perf_counter()
            for v in values:
                fn(v)
            best[i] = min(best[i], (time.perf_counter() - start) / len(values))
    return best


def main():
    entries = [numerical("AGE"), categorical("REGION")] + [numerical(f"X{i}") for i in range(3)]
    native = PredictiveScorerWatch(binning=entries)
    python = PythonWatch(binning=entries)
    cases = {
        "numerical": ("AGE", AttributeDataType.NUMERICAL, [i * 0.37 - 1 for i in range(60)] + [None]),
        "categorical": ("REGION", AttributeDataType.CATEGORICAL, [f"C{i % 40}" for i in range(60)] + ["zz", None]),
    }
    for label, (attribute, dtype, values) in cases.items():
        values = values * 10
        for v in values[:100]:
            assert native.get_feature_bucketing(attribute, dtype, v) is python.get_feature_bucketing(attribute, dtype, v)
        t_native, t_python = best_per_call(
            [lambda v: native.get_feature_bucketing(attribute, dtype, v),
             lambda v: python.get_feature_bucketing(attribute, dtype, v)], values)
        print(f"get_feature_bucketing {label:<11} 20 bins, 5 entries: native {t_native * 1e9:7.0f} ns  "
              f"python {t_python * 1e9:7.0f} ns  ratio {t_python / t_native:5.1f}x")


if __name__ == "__main__":
    main()
