"""Column calls against the vectorised numpy/pandas way of doing the same, side by side in one
process: numerical bucketing of 1,000,000 float64 values (20 sorted bins + null + default, and with
2% NaN) against np.searchsorted + take; categorical bucketing of 1,000,000 values over 20 bins of 5
categories (pandas Categorical, pyarrow dictionary, plain string columns) against Series.map(dict);
a second Python thread's progress during a 10,000,000-value call, and two threads on two columns;
the extra peak memory of a call beyond its output.

Run: .venv/bin/python bench/bench_columns.py [section ...]   (sections: numerical categorical gil
memory, and those other work adds; all by default)."""

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
    held, _ = counter_progress(lambda: prep.apply_feature_bucketing_batch("x", listed))
    print(f"GIL: for contrast, {held / solo:.2f} during a list batch of 2,000,000 floats (the GIL held)")

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


def main(names):
    for name in names or list(SECTIONS):
        SECTIONS[name]()


if __name__ == "__main__":
    main(sys.argv[1:])
