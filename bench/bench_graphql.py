"""The full-document GraphQL query of a scorer with 200 attributes x 22 bins, served over HTTP.

Serves the record through `AugmentedScorerType` with strawberry's ASGI application under uvicorn (in a
thread of this process, on 127.0.0.1) and times one POST of the query that selects every field of the
view, nested views and bins included. Beside it, in the same run: the same query executed in process
(without HTTP), through a view made by `from_pydantic`, and the resolver calls of the package that the
query makes, timed alone against the straightforward Python statement of the same resolvers, which
gives their share of the whole. Asynchronous resolvers cost strawberry and graphql-core an asyncio task
each; the count is printed too. Last, the bins alone (every binning of the scorer, in process) through the
package's views and through the same views written in Python, once with the resolvers asynchronous as the
package's are and once all synchronous: the price of the asynchronous form.
Run: .venv/bin/python bench/bench_graphql.py [--repeat N]
"""

import argparse
import asyncio
import json
import math
import pathlib
import socket
import statistics
import sys
import threading
import time
import urllib.request

import typing

import strawberry
import uvicorn
from strawberry.asgi import GraphQL

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))
from bench_scorer import N_ATTRIBUTES, N_EDGES, build_scorer  # noqa: E402
from graphql_support import full_selection  # noqa: E402
from quorvex_analytics_utils.predictive_models.augmented_scorer import AugmentedScorerType  # noqa: E402
from quorvex_analytics_utils.predictive_models.feature_preparation.feature_bucketing import (  # noqa: E402
    AbstractAttributeBinType,
    AttributeBinNumericalType,
    FeatureBucketingType,
)

# ---- the yardstick: the bin resolvers as plain Python


def py_format_bound(number):
    if number == -math.inf:
        return "-inf"
    if number == math.inf:
        return "inf"
    if float(number).is_integer():
        return str(int(number))
    if abs(number) > 0.01:
        return f"{number:.3f}"
    return f"{number:.2E}"


async def py_type(parent):
    return parent.type


def py_bound(bound):
    return None if bound is None or not math.isfinite(bound) else bound


async def py_formatted(bound):
    return None if bound is None else py_format_bound(bound)


def bins_of(scorer):
    for bucketing in scorer.feature_preparation.binning + scorer.monitoring.binning:
        yield bucketing, bucketing.feature_bucketing


def native_resolvers(scorer):
    def function(field):  # the function strawberry calls for the field
        resolver = getattr(field, "base_resolver", None)
        return field if resolver is None else resolver.wrapped_func

    fb = function(FeatureBucketingType.feature_bucketing)
    resolvers = [function(f) for f in (
        AbstractAttributeBinType.type, AttributeBinNumericalType.lower_bound, AttributeBinNumericalType.upper_bound,
        AttributeBinNumericalType.formatted_lower_bound, AttributeBinNumericalType.formatted_upper_bound)]
    for bucketing, bins in bins_of(scorer):
        next(iter(fb(None, bucketing)), None)
        for b in bins:
            for resolver in resolvers:
                result = resolver(None, b)
                if hasattr(result, "__await__"):
                    next(result.__await__(), None)


def python_resolvers(scorer):
    async def bucketing_bins(parent):
        return parent.feature_bucketing

    for bucketing, bins in bins_of(scorer):
        drive(bucketing_bins(bucketing))
        for b in bins:
            drive(py_type(b))
            py_bound(b.lower_bound)
            py_bound(b.upper_bound)
            drive(py_formatted(b.lower_bound))
            drive(py_formatted(b.upper_bound))


def drive(coroutine):
    try:
        coroutine.send(None)
    except StopIteration as stop:
        return stop.value


def python_bin_views(asynchronous):
    """A bucketing view and a numerical bin view written in Python, resolvers as the package's."""

    def resolver(fn):
        if not asynchronous:
            return strawberry.field(resolver=fn)

        async def run(parent: strawberry.Parent[typing.Any]) -> typing.get_type_hints(fn)["return"]:
            return fn(parent)

        run.__name__ = fn.__name__
        return strawberry.field(resolver=run)

    def bin_kind(parent: strawberry.Parent[typing.Any]) -> str:
        return parent.type.value

    def bin_formatted_lower(parent: strawberry.Parent[typing.Any]) -> str | None:
        return None if parent.lower_bound is None else py_format_bound(parent.lower_bound)

    def bin_formatted_upper(parent: strawberry.Parent[typing.Any]) -> str | None:
        return None if parent.upper_bound is None else py_format_bound(parent.upper_bound)

    def bin_lower(parent: strawberry.Parent[typing.Any]) -> float | None:
        return py_bound(parent.lower_bound)

    def bin_upper(parent: strawberry.Parent[typing.Any]) -> float | None:
        return py_bound(parent.upper_bound)

    @strawberry.type(name=f"PyBin{asynchronous}")
    class PyBin:
        name: str
        value: float | None
        frequency: float | None
        target_rate: float | None
        id: int
        type: str = resolver(bin_kind)
        lower_bound: float | None = strawberry.field(resolver=bin_lower)
        upper_bound: float | None = strawberry.field(resolver=bin_upper)
        formatted_lower_bound: str | None = resolver(bin_formatted_lower)
        formatted_upper_bound: str | None = resolver(bin_formatted_upper)

    def bins(parent: strawberry.Parent[typing.Any]) -> list[PyBin]:
        return parent.feature_bucketing

    @strawberry.type(name=f"PyBucketing{asynchronous}")
    class PyBucketing:
        attribute: str
        feature_bucketing: list[PyBin] = resolver(bins)

    return PyBucketing


def bins_schema(scorer, bucketing_view):
    binnings = scorer.feature_preparation.binning + scorer.monitoring.binning

    @strawberry.type
    class Query:
        @strawberry.field
        def binnings(self) -> list[bucketing_view]:
            return binnings

    return strawberry.Schema(query=Query)


BIN_FIELDS = ("name value frequency targetRate id type lowerBound upperBound formattedLowerBound "
              "formattedUpperBound")


# ---- serving


def make_schema(scorer):
    @strawberry.type
    class Query:
        @strawberry.field
        def scorer(self) -> AugmentedScorerType:
            return scorer

        @strawberry.field
        def view(self) -> AugmentedScorerType:
            return AugmentedScorerType.from_pydantic(scorer)

    return strawberry.Schema(query=Query)


def start_server(schema):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    server = uvicorn.Server(uvicorn.Config(GraphQL(schema), host="127.0.0.1", port=port, log_level="warning"))
    thread = threading.Thread(target=server.run, daemon=True)
    thread.start()
    while not server.started:
        time.sleep(0.01)
    return server, thread, f"http://127.0.0.1:{port}/graphql"


def post(url, query):
    request = urllib.request.Request(url, data=json.dumps({"query": query}).encode(),
                                     headers={"Content-Type": "application/json"})
    with urllib.request.urlopen(request, timeout=60) as response:
        return response.read()


def timings(fn, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times), statistics.median(times)


def count_tasks(schema, query):
    created = 0

    async def run():
        nonlocal created
        loop = asyncio.get_running_loop()

        def factory(loop, coro, **kwargs):
            nonlocal created
            created += 1
            return asyncio.Task(coro, loop=loop, **kwargs)

        loop.set_task_factory(factory)
        return await schema.execute(query)

    result = asyncio.run(run())
    assert result.errors is None, result.errors
    return created


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=5)
    repeat = parser.parse_args().repeat

    scorer = build_scorer()
    schema = make_schema(scorer)
    selection = full_selection(schema, "AugmentedScorerType")
    query = "{ scorer " + selection + " }"
    server, thread, url = start_server(schema)
    try:
        body = post(url, query)
        answer = json.loads(body)
        assert "errors" not in answer, answer["errors"][:3]
        view_answer = json.loads(post(url, "{ view " + selection + " }"))
        assert view_answer["data"]["view"] == answer["data"]["scorer"]
        print(f"{N_ATTRIBUTES} attributes x {N_EDGES + 1} bins: full document {len(body) / 1e3:.0f} kB of JSON, "
              f"{count_tasks(schema, query)} asyncio tasks per query")

        def row(label, fn):
            best, median = timings(fn, repeat)
            print(f"  {label:<44} best {best * 1e3:8.1f} ms   median {median * 1e3:8.1f} ms")
            return best

        total = row("over HTTP (uvicorn, record)", lambda: post(url, query))
        row("over HTTP (view made by from_pydantic)", lambda: post(url, "{ view " + selection + " }"))
        row("in process (schema.execute, no HTTP)", lambda: asyncio.run(schema.execute(query)))
    finally:
        server.should_exit = True
        thread.join()
    ours, _ = timings(lambda: native_resolvers(scorer), repeat)
    theirs, _ = timings(lambda: python_resolvers(scorer), repeat)
    print(f"  bin resolvers alone: ours {ours * 1e3:.2f} ms ({ours / total:.1%} of the HTTP query), "
          f"python {theirs * 1e3:.2f} ms   x{theirs / ours:.1f}")

    print("bins alone, in process (every binning, every bin field):")
    variants = [
        ("the package's views", bins_schema(scorer, FeatureBucketingType),
         "{ binnings { attribute featureBucketing { ... on AttributeBinNumericalType { " + BIN_FIELDS + " } } } }"),
        ("python views, asynchronous resolvers", bins_schema(scorer, python_bin_views(True)),
         "{ binnings { attribute featureBucketing { " + BIN_FIELDS + " } } }"),
        ("python views, synchronous resolvers", bins_schema(scorer, python_bin_views(False)),
         "{ binnings { attribute featureBucketing { " + BIN_FIELDS + " } } }"),
    ]
    answers = []
    for label, bin_schema, bin_query in variants:
        result = asyncio.run(bin_schema.execute(bin_query))
        assert result.errors is None, result.errors
        answers.append(result.data)
        best, _ = timings(lambda: asyncio.run(bin_schema.execute(bin_query)), repeat)
        print(f"  {label:<44} best {best * 1e3:8.1f} ms   {count_tasks(bin_schema, bin_query):6d} asyncio tasks")
    assert answers[0] == answers[1] == answers[2]


if __name__ == "__main__":
    main()
