"""FeaturePreparation against straightforward Python implementations of the same operations, measured
side by side in one process: batch bucketing of 1,000,000 floats (20 numerical bins) and 1,000,000
texts (20 categorical bins of 5 categories) with the peak memory of each batch, a batch of numpy.float64
scalars, the fixed cost of a batch call, dummy encoding, and building 200 bucketings of 20 bins from a
description."""

import math
import random
import sys
import time
import tracemalloc

from quorvex_analytics_utils.predictive_models.feature_preparation.feature_bucketing import (
    AttributeDataType,
    FeatureBucketing,
    PredictiveModelBinName,
)
from quorvex_analytics_utils.predictive_models.feature_preparation.feature_preparation import (
    FeaturePreparation,
)
from bucketing_yardstick import logger, py_bin_categoric, py_bin_numeric

# ---- the yardstick: the operations written plainly in Python

def py_get_feature_bucketing(prep, attribute):
    for b in prep.binning:
        if b.attribute == attribute:
            return b
    return None


def py_apply_batch(prep, attribute, values):
    bucketing = py_get_feature_bucketing(prep, attribute)
    if bucketing is None:
        return None
    try:
        if bucketing.attribute_data_type == AttributeDataType.NUMERICAL:
            return [py_bin_numeric(bucketing, v) for v in values]
        if bucketing.attribute_data_type == AttributeDataType.CATEGORICAL:
            return [py_bin_categoric(bucketing, v) for v in values]
        return values
    except Exception as e:
        raise type(e)(f"Binning attribute {attribute}: {e}") from e


def py_apply_dummy_encoding(prep, attribute, value):
    encoding = None
    for entry in prep.dummy_encoding:
        if entry.attribute == attribute:
            encoding = entry.encoding
            break
    if encoding is None:
        logger.warning(f"No dummy encoding for {attribute} was found.")
        return None
    result, found, default = {}, False, None
    for item in encoding:
        if item.use_for_undefined:
            default = item.encoded_feature_name
        if value == item.value:
            result[item.encoded_feature_name] = 1
            found = True
        else:
            result.setdefault(item.encoded_feature_name, 0)
    if not found:
        if default:
            result[default] = 1
            logger.info(f"Dummy encoding for value '{value}' of attribute '{attribute}' is not "
                        f"defined. Default value '{default}' was assigned with 1.")
        else:
            logger.warning(f"Dummy encoding for value '{value}' of attribute '{attribute}' is not "
                           "defined and no default value was assigned. All dummies for given "
                           "attribute are assigned with 0.")
    return result


def py_add_feature_bucketing(features_bucketing):
    result = []
    for attribute, d in features_bucketing.items():
        dtype = d.get("dtype")
        bins = d["bins"]
        count = len(bins) if dtype == AttributeDataType.CATEGORICAL else len(bins) - 1
        out = []
        for i in range(count):
            b = {"type": dtype,
                 "value": d["bin_vals"][i] if "bin_vals" in d else None,
                 "frequency": d["bin_frequencies"][i] if "bin_frequencies" in d else None,
                 "target_rate": d["bin_target_rates"][i] if "bin_target_rates" in d else None,
                 "id": i + 2}
            if dtype == AttributeDataType.CATEGORICAL:
                b["categories"] = bins[i]
            elif dtype == AttributeDataType.NUMERICAL:
                b["lower_bound"], b["upper_bound"] = bins[i], bins[i + 1]
            out.append(b)
        out.append({"type": dtype, "name": PredictiveModelBinName.NULL,
                    "value": d.get("null_val", 0.0), "frequency": d.get("null_frequency"),
                    "target_rate": d.get("null_target_rate"), "id": 1})
        default = d.get("default")
        out.append({"type": dtype,
                    "name": (PredictiveModelBinName.SYSTEM_DEFAULT if default is None
                             else PredictiveModelBinName.DEFINED_DEFAULT),
                    "value": default if default else 0.0, "frequency": 0.0, "target_rate": 0.0,
                    "id": 0})
        result.append(FeatureBucketing(attribute=attribute, attribute_data_type=dtype,
                                       feature_bucketing=out,
                                       binned_attribute_name=d.get("binned_attribute_name")))
    return result


# ---- measuring

def best_of(fn, repeat):
    best, result = math.inf, None
    for _ in range(repeat):
        result = None  # the previous result is freed outside the measured time
        start = time.process_time()  # CPU time: other processes on the machine do not count
        result = fn()
        best = min(best, time.process_time() - start)
    return best, result


def peak_bytes(fn):
    tracemalloc.start()
    result = fn()
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return peak, result


def compare(label, native, python, per, unit, n_native=3, n_python=1):
    t_native, r_native = best_of(native, n_native)
    t_python, r_python = best_of(python, n_python)
    assert r_native == r_python, label
    scale, suffix = (1e3, "ms") if t_native / per > 1e-3 else (1e9, "ns")
    print(f"{label}: native {t_native * scale / per:.1f} {suffix}, python "
          f"{t_python * scale / per:.1f} {suffix} per {unit} -> {t_python / t_native:.1f}x")
    return r_native


def py_apply_feature_bucketing(prep, attribute, value):
    bucketing = py_get_feature_bucketing(prep, attribute)
    if bucketing is None:
        return None
    if bucketing.attribute_data_type == AttributeDataType.NUMERICAL:
        return py_bin_numeric(bucketing, value)
    if bucketing.attribute_data_type == AttributeDataType.CATEGORICAL:
        return py_bin_categoric(bucketing, value)
    return None


def single_calls():
    """apply_feature_bucketing one value at a time, 20 bins, the attribute found among 10."""
    edges = [-math.inf] + [5.0 * i for i in range(19)] + [math.inf]
    groups = [[f"cat{i:02d}_{j}" for j in range(5)] for i in range(20)]
    description = {f"pad{k}": {"dtype": "NUMERICAL", "bins": edges, "bin_vals": [i / 20 for i in range(20)]}
                   for k in range(8)}
    description["x"] = {"dtype": "NUMERICAL", "bins": edges, "bin_vals": [i / 20 for i in range(20)]}
    description["c"] = {"dtype": "CATEGORICAL", "bins": groups, "bin_vals": [i / 20 for i in range(20)]}
    prep = FeaturePreparation(binning=FeaturePreparation.add_feature_bucketing(description))
    rnd = random.Random(11)
    for label, attribute, values in [
            ("apply_feature_bucketing, one float, 20 numerical bins", "x",
             [rnd.uniform(-5.0, 100.0) for _ in range(20_000)]),
            ("apply_feature_bucketing, one text, 20 categorical bins", "c",
             [rnd.choice(rnd.choice(groups)) for _ in range(20_000)])]:
        compare(label, lambda: [prep.apply_feature_bucketing(attribute, v) for v in values],
                lambda: [py_apply_feature_bucketing(prep, attribute, v) for v in values],
                len(values), "call", 5, 5)


def main():
    single_calls()
    rnd = random.Random(7)
    n = 1_000_000
    edges = [-math.inf] + [5.0 * i for i in range(19)] + [math.inf]
    groups = [[f"cat{i:02d}_{j}" for j in range(5)] for i in range(20)]
    prep = FeaturePreparation(binning=FeaturePreparation.add_feature_bucketing({
        "x": {"dtype": "NUMERICAL", "bins": edges, "bin_vals": [i / 20 for i in range(20)]},
        "c": {"dtype": "CATEGORICAL", "bins": groups, "bin_vals": [i / 20 for i in range(20)]},
    }))
    floats = [rnd.uniform(-5.0, 100.0) for _ in range(n)]
    texts = [rnd.choice(rnd.choice(groups)) for _ in range(n)]

    for label, attribute, values in [("batch, 1,000,000 floats, 20 numerical bins", "x", floats),
                                     ("batch, 1,000,000 texts, 20 categorical bins", "c", texts)]:
        result = compare(label, lambda: prep.apply_feature_bucketing_batch(attribute, values),
                         lambda: py_apply_batch(prep, attribute, values), n, "value")
        bins = {id(b.value) for b in prep.get_feature_bucketing(attribute).feature_bucketing}
        assert all(id(v) in bins for v in result), "result holds the bins' own value objects"
        del result
        peak, result = peak_bytes(lambda: prep.apply_feature_bucketing_batch(attribute, values))
        print(f"  peak memory {peak / 1e6:.2f} MB; the result list itself {sys.getsizeof(result) / 1e6:.2f} MB")
        del result

    # numpy scalars (list(array)) take the exact floats' path; the fixed cost of one call.
    import numpy as np
    np_floats = list(np.array(floats))
    compare("batch, 1,000,000 numpy.float64", lambda: prep.apply_feature_bucketing_batch("x", np_floats),
            lambda: py_apply_batch(prep, "x", np_floats), n, "value")
    del np_floats
    for label, values in [("empty list", []), ("one float", [1.0]), ("ten floats", floats[:10])]:
        calls = 100_000
        t, _ = best_of(lambda: [prep.apply_feature_bucketing_batch("x", values) for _ in range(calls)], 3)
        print(f"batch fixed cost, {label}: {t * 1e9 / calls:.0f} ns per call")
    del floats, texts

    # Dummy encoding: 50 attributes of 10 values each, 100,000 calls on the last attribute.
    encodings = [{"attribute": f"a{k}", "encoding": [
        {"value": f"v{j}", "encoded_feature_name": f"a{k}_v{j}", "use_for_undefined": j == 9}
        for j in range(10)]} for k in range(50)]
    prep = FeaturePreparation(dummy_encoding=encodings)
    calls = [f"v{rnd.randrange(10)}" for _ in range(100_000)]
    compare("apply_dummy_encoding, 10 values, 50 encodings",
            lambda: [prep.apply_dummy_encoding("a49", v) for v in calls],
            lambda: [py_apply_dummy_encoding(prep, "a49", v) for v in calls], len(calls), "call", 3, 3)

    description = {}
    for k in range(200):
        if k % 2:
            description[f"n{k}"] = {"dtype": "NUMERICAL", "bins": edges[:21],
                                    "bin_vals": [i / 20 for i in range(20)],
                                    "bin_frequencies": [0.05] * 20, "default": 1.5}
        else:
            description[f"c{k}"] = {"dtype": "CATEGORICAL", "bins": groups,
                                    "bin_target_rates": [0.1] * 20, "null_val": None}
    compare("add_feature_bucketing, 200 attributes x 20 bins",
            lambda: FeaturePreparation.add_feature_bucketing(description),
            lambda: py_add_feature_bucketing(description), 1, "call", 3, 3)


if __name__ == "__main__":
    single_calls() if sys.argv[1:] == ["--single"] else main()
