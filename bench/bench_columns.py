"""Column calls against the vectorised numpy/pandas way of doing the same, side by side in one
process: numerical bucketing of 1,000,000 float64 values (20 sorted bins + null + default, and with
2% NaN) against np.searchsorted + take; categorical bucketing of 1,000,000 values over 20 bins of 5
categories (pandas Categorical, pyarrow dictionary, plain string columns) against Series.map(dict);
a second Python thread's progress during a 10,000,000-value call, and two threads on two columns;
the extra peak memory of a call beyond its output.

Frames: transform_frame of 1,000,000 rows x (20 binnings + 3 dummy encodings, bench/frames_workload.py),
pandas in and out, against the same features written by hand with numpy/pandas and against today's
route (.tolist() per column, the list batch, apply_dummy_encoding per row); score_frame against the
hand-written features and a matrix product.

Run: .venv/bin/python bench/bench_columns.py [section ...]   (sections: numerical categorical gil
memory frames; all by default)."""

import math
import sys
import threading
import time
import tracemalloc

import numpy as np

from quorvex_analytics_utils.predictive_models.feature_preparation.feature_preparation import (
    FeaturePreparation,
)

N = 1_000_000
EDGES = [-math.inf] + [5.0 * i for i in range(19)] + [math.inf]   # 20 bins
VALUES = [i / 20 for i in range(20)]
GROUPS = [[f"cat{i:02d}_{j}" for j in range(5)] for i in range(20)]


def best_of(fn, repeat=5, clock=time.process_time):
    """Best CPU time of single-threaded work: other processes on the machine do not count."""
    best = math.inf
    for _ in range(repeat):
        start = clock()
        fn()
        best = min(best, clock() - start)
    return best


def compare(label, ours, theirs, n, repeat=5, yardstick="yardstick"):
    t_ours, t_theirs = best_of(ours, repeat), best_of(theirs, repeat)
    print(f"{label}: column call {t_ours * 1e9 / n:.2f} ns, {yardstick} {t_theirs * 1e9 / n:.2f} ns per value "
          f"-> {t_theirs / t_ours:.1f}x")


def registry():
    return FeaturePreparation(binning=FeaturePreparation.add_feature_bucketing({
        "x": {"dtype": "NUMERICAL", "bins": EDGES, "bin_vals": VALUES, "null_val": -1.0, "default": 9.0},
        "c": {"dtype": "CATEGORICAL", "bins": GROUPS, "bin_vals": VALUES, "null_val": -1.0, "default": 9.0},
    }))


# ---- numerical

def searchsorted_take(values, uppers, table):
    """(lower, upper] bins over sorted edges: the first upper end >= value; NaN sorts last and
    takes the null value kept at the end of the table."""
    return table.take(np.searchsorted(uppers, values, side="left"))


def bench_numerical():
    prep = registry()
    uppers = np.array(EDGES[1:])
    table = np.array(VALUES + [-1.0])
    rng = np.random.default_rng(1)
    plain = rng.uniform(-5.0, 100.0, N)
    with_nan = plain.copy()
    with_nan[rng.random(N) < 0.02] = np.nan
    for label, values in [("numerical, 1,000,000 float64", plain), ("numerical, 2% NaN", with_nan)]:
        ours = prep.apply_feature_bucketing_array("x", values)
        assert np.array_equal(ours, searchsorted_take(values, uppers, table))
        compare(label, lambda: prep.apply_feature_bucketing_array("x", values),
                lambda: searchsorted_take(values, uppers, table), N)


# ---- categorical

def bench_categorical():
    import pandas as pd
    import pyarrow as pa

    prep = registry()
    mapping = {cat: VALUES[i] for i, group in enumerate(GROUPS) for cat in group}
    rng = np.random.default_rng(2)
    texts = np.array([cat for group in GROUPS for cat in group])[rng.integers(0, 100, N)]
    categorical = pd.Series(pd.Categorical(texts))
    strings = pd.Series(texts, dtype="str")
    objects = pd.Series(texts, dtype=object)
    dictionary = pa.array(texts).dictionary_encode()
    arrow_text = pa.array(texts)

    def mapped(series):
        return series.map(mapping).to_numpy(dtype=np.float64, na_value=np.nan)

    expected = mapped(objects)
    # Series.map of a Categorical maps its 100 categories and takes by code (no value is looked up),
    # so the first two lines compare two gathers; the next two map every value, as a column of
    # texts is mapped.
    cases = [
        ("categorical, pandas Categorical", categorical, categorical, "Series.map of the Categorical"),
        ("categorical, pyarrow dictionary", dictionary, categorical, "Series.map of the Categorical"),
        ("categorical, pandas Categorical", categorical, strings, "Series.map of the texts"),
        ("categorical, pyarrow dictionary", dictionary, strings, "Series.map of the texts"),
        ("text, pandas str (Arrow-backed)", strings, strings, "Series.map"),
        ("text, pyarrow string", arrow_text, strings, "Series.map of pandas str"),
        ("text, pandas object", objects, objects, "Series.map"),
        ("text, numpy unicode", texts, objects, "Series.map of pandas object"),
    ]
    for label, column, series, yardstick in cases:
        assert np.array_equal(prep.apply_feature_bucketing_array("c", column), expected), label
        compare(label, lambda: prep.apply_feature_bucketing_array("c", column), lambda: mapped(series), N,
                repeat=3, yardstick=yardstick)


# ---- the GIL

def counter_progress(seconds_or_call):
    """How far a counting thread gets while `seconds_or_call` runs (or sleeps that long)."""
    count = [0]
    stop = threading.Event()

    def run():
        n = 0
        while not stop.is_set():
            n += 1
        count[0] = n

    thread = threading.Thread(target=run)
    thread.start()
    start = time.perf_counter()
    if callable(seconds_or_call):
        seconds_or_call()
    else:
        time.sleep(seconds_or_call)
    elapsed = time.perf_counter() - start
    stop.set()
    thread.join()
    return count[0] / elapsed, elapsed


def bench_gil():
    prep = registry()
    values = np.random.default_rng(3).uniform(-5.0, 100.0, 10_000_000)
    prep.apply_feature_bucketing_array("x", values)
    call = lambda: prep.apply_feature_bucketing_array("x", values)  # noqa: E731
    _, elapsed = counter_progress(call)
    # Solo progress measured just before and after (the machine's load changes), over the same time.
    solo_before, _ = counter_progress(elapsed)
    during, _ = counter_progress(call)
    solo_after, _ = counter_progress(elapsed)
    solo = (solo_before + solo_after) / 2
    print(f"GIL: a second thread keeps {during / solo:.2f} of its solo progress during a "
          f"10,000,000-value call ({elapsed * 1e3:.0f} ms)")
    listed = values[:2_000_000].tolist()
    held, _ = counter_progress(lambda: [prep.apply_feature_bucketing_batch("x", listed) for _ in range(5)])
    print(f"GIL: for contrast, {held / solo:.2f} during five list batches of 2,000,000 floats (the GIL held)")

    other = np.random.default_rng(4).uniform(-5.0, 100.0, 10_000_000)
    one = best_of(call, 3, time.perf_counter)

    def two_threads():
        threads = [threading.Thread(target=lambda v=v: prep.apply_feature_bucketing_array("x", v))
                   for v in (values, other)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    two = best_of(two_threads, 3, time.perf_counter)
    print(f"GIL: two threads on two columns reach {2 * one / two:.2f}x the throughput of one "
          f"(this machine: 2 cores shared with other work)")


# ---- memory

def extra_peak(fn):
    tracemalloc.start()
    tracemalloc.reset_peak()
    base = tracemalloc.get_traced_memory()[0]
    result = fn()
    peak = tracemalloc.get_traced_memory()[1] - base
    tracemalloc.stop()
    return peak, result


def bench_memory():
    import pyarrow as pa

    prep = registry()
    values = np.random.default_rng(5).uniform(-5.0, 100.0, N)
    texts = pa.array(np.array([cat for group in GROUPS for cat in group])[np.random.default_rng(6).integers(0, 100, N)])
    for label, attribute, column in [("numerical float64", "x", values), ("Arrow text", "c", texts)]:
        peak, result = extra_peak(lambda: prep.apply_feature_bucketing_array(attribute, column))
        print(f"memory, {label}: extra peak {peak / 1e6:.2f} MB for an output of {result.nbytes / 1e6:.2f} MB "
              f"-> {peak / result.nbytes:.3f} of the output")


SECTIONS = {
    "numerical": bench_numerical,
    "categorical": bench_categorical,
    "gil": bench_gil,
    "memory": bench_memory,
}

# ---- frames: transform_frame / score_frame sections register themselves in SECTIONS below this line

def vectorised_features(prep, df):
    """The registry's features written by hand with numpy/pandas: searchsorted + take for the
    numerical bins, Series.map for the categorical ones, comparisons for the dummies."""
    import pandas as pd

    out = {}
    for b in prep.binning:
        reserved = {"0_default", "0_defined_default", "0_system_default", "1_null"}
        regular = [x for x in b.feature_bucketing if x.name not in reserved]
        special = {x.name: x.value for x in b.feature_bucketing if x.name in reserved}
        fallback = special.get("0_defined_default", special.get("0_system_default", 0.0))
        column = df[b.attribute]
        if b.attribute_data_type == "NUMERICAL":
            uppers = np.array([x.upper_bound for x in regular])
            table = np.array([x.value for x in regular] + [special["1_null"]])
            out[b.binned_attribute_name] = searchsorted_take(column.to_numpy(), uppers, table)
        else:
            mapping = {c: x.value for x in regular for c in x.categories}
            out[b.binned_attribute_name] = column.map(mapping).fillna(fallback).to_numpy(np.float64)
    for e in prep.dummy_encoding:
        column = df[e.attribute].to_numpy()
        matched = np.zeros(len(column), dtype=bool)
        for item in e.encoding:
            hit = column == item.value
            matched |= hit
            out[item.encoded_feature_name] = hit.astype(np.uint8)
        default = [i.encoded_feature_name for i in e.encoding if i.use_for_undefined][-1]
        out[default] = out[default] | (~matched).astype(np.uint8)
    return pd.DataFrame(out, index=df.index, copy=False)


def todays_route(prep, df):
    """What a caller writes without the frame call: .tolist() per column, the list batch, and one
    apply_dummy_encoding per row."""
    import pandas as pd

    out = {}
    for b in prep.binning:
        out[b.binned_attribute_name] = prep.apply_feature_bucketing_batch(b.attribute, df[b.attribute].tolist())
    for e in prep.dummy_encoding:
        rows = [prep.apply_dummy_encoding(e.attribute, v) for v in df[e.attribute].tolist()]
        for feature in rows[0]:
            out[feature] = np.fromiter((r[feature] for r in rows), dtype=np.uint8, count=len(rows))
    return pd.DataFrame(out, index=df.index)


def bench_frames():
    import pandas as pd
    import structlog

    import frames_workload as workload

    # Fallback bins and undefined dummy values are logged (per value by today's route): keep them
    # out of the figures and the output.
    structlog.configure(wrapper_class=structlog.make_filtering_bound_logger(40))
    model = workload.scorer()
    prep = model.feature_preparation
    df = workload.rows(0, N).set_index("id")
    ours = prep.transform_frame(df)
    pd.testing.assert_frame_equal(ours, vectorised_features(prep, df))
    t_ours = best_of(lambda: prep.transform_frame(df), 3)
    t_vector = best_of(lambda: vectorised_features(prep, df), 3)
    sample = df.iloc[:N // 10]
    pd.testing.assert_frame_equal(todays_route(prep, sample), prep.transform_frame(sample))
    t_today = best_of(lambda: todays_route(prep, sample), 1) * 10
    print(f"frames: transform_frame of {N:,} rows x (20 binnings + 3 dummy encodings), pandas in and out: "
          f"{t_ours * 1e3:.0f} ms; hand-written numpy/pandas {t_vector * 1e3:.0f} ms -> {t_vector / t_ours:.1f}x; "
          f"today's route (.tolist() + list batch + apply_dummy_encoding per row, timed on {N // 10:,} rows) "
          f"{t_today * 1e3:.0f} ms -> {t_today / t_ours:.0f}x")

    names = model.get_external_model_feature_names()
    coefficients = np.array(model.get_external_model_coefficients())
    intercept = model.get_external_model_intercept()

    def vectorised_scores():
        features = vectorised_features(prep, df)[names].to_numpy(np.float64)
        return intercept + features @ coefficients

    np.testing.assert_allclose(model.score_frame(df).to_numpy(), vectorised_scores(), rtol=1e-12, atol=1e-12)
    t_score = best_of(lambda: model.score_frame(df), 3)
    t_vscore = best_of(vectorised_scores, 3)
    print(f"frames: score_frame of the same rows {t_score * 1e3:.0f} ms; hand-written features + "
          f"matrix product {t_vscore * 1e3:.0f} ms -> {t_vscore / t_score:.1f}x")


SECTIONS["frames"] = bench_frames


def main(names):
    for name in names or list(SECTIONS):
        SECTIONS[name]()


if __name__ == "__main__":
    main(sys.argv[1:])
