"""Long differential run of the native YAML engine against ruamel, started by hand.

    .venv/bin/python bench/yaml_fuzz.py --examples 20000 [--seed N]

Writing: the native text must equal ruamel's, or the native writer must hand the document over.
Reading: ruamel's safe loader and the native reader must give the same value (or the same failure
class, the native side deferring) for our own output and for mutated copies of it.
Prints how many documents were compared and why any were handed over.
"""

import argparse
import collections
import pathlib
import random
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "utils"))

from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

from _yaml_reference import mutations, needs_ruamel, ruamel_dumps, ruamel_loads, same_value, streams  # noqa: E402
from quorvex_analytics_utils.utils import _yaml_native as native  # noqa: E402

stats = collections.Counter()
failures = []


def why_handed_over(data):
    found = set()

    def walk(value):
        if type(value) is dict:
            if id(value) in found:
                return
            found.add(id(value))
            for k, v in value.items():
                walk(k)
                walk(v)
        elif type(value) is list:
            if id(value) in found:
                return
            found.add(id(value))
            for v in value:
                walk(v)
        elif type(value) is int and not -(2**63) <= value < 2**63:
            reasons.add("integer outside 64 bits")
        elif type(value) is str:
            if any(c in "\x85\u2028\u2029" for c in value):
                reasons.add("line break U+0085/U+2028/U+2029")
            if any(0xD800 <= ord(c) <= 0xDFFF for c in value):
                reasons.add("lone surrogate")

    reasons = set()
    walk(data)
    return " + ".join(sorted(reasons)) or "other (depth, sharing)"


def check_read(text):
    handled, value = native.loads(text)
    try:
        expected = ruamel_loads(text)
    except Exception as e:  # noqa: BLE001 - any failure of ruamel is a valid outcome the reader must defer to
        stats["read: ruamel error"] += 1
        if handled:
            failures.append(("read accepted what ruamel rejects", text, repr(e)))
        return
    if not handled:
        stats["read: deferred"] += 1
        return
    stats["read: native"] += 1
    if not same_value(value, expected):
        failures.append(("read differs", text, value, expected))


@given(streams, st.randoms(use_true_random=False))
def run(data, rnd):
    stats["documents"] += 1
    text = native.dumps(data)
    if text is None:
        stats["write: handed over"] += 1
        stats["handed over: " + why_handed_over(data)] += 1
        if not needs_ruamel(data):
            failures.append(("needless hand-over", data))
        return
    stats["write: native"] += 1
    expected = ruamel_dumps(data)
    if text != expected:
        failures.append(("write differs", data, text, expected))
        return
    check_read(text)
    for mutated in mutations(text, rnd, 3):
        check_read(mutated)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--examples", type=int, default=5000)
    parser.add_argument("--seed", type=int, default=random.randrange(2**32))
    args = parser.parse_args()
    print(f"seed {args.seed}")
    from hypothesis import seed

    test = settings(max_examples=args.examples, deadline=None, database=None,
                    suppress_health_check=list(HealthCheck))(run)
    seed(args.seed)(test)()
    for key, count in sorted(stats.items()):
        print(f"{key:40} {count}")
    for failure in failures[:20]:
        print("FAILURE", *map(repr, failure))
    print(f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
