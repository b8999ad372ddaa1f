"""The bucketing of one value written plainly in Python: the yardstick the benchmarks measure against."""

import math

import structlog

from quorvex_analytics_utils.predictive_models.feature_preparation.feature_bucketing import (
    AttributeBinCategorical,
    AttributeBinNumerical,
    PredictiveModelBinName,
)

logger = structlog.get_logger("bench")
FALLBACK = [
    PredictiveModelBinName.DEFAULT,
    PredictiveModelBinName.SYSTEM_DEFAULT,
    PredictiveModelBinName.DEFINED_DEFAULT,
]
RESERVED = FALLBACK + [PredictiveModelBinName.NULL]


def py_fallback(bucketing, value):
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


def py_bin_numeric(bucketing, value):
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
    return py_fallback(bucketing, value)


def py_bin_categoric(bucketing, value):
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
    return py_fallback(bucketing, value)
