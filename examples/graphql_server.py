"""Serves every stored model of a folder over GraphQL, with GraphiQL in the browser.

A strawberry ASGI application run by uvicorn. The folder holds one sub-folder per model, written as
`examples/model_folder.py` writes a model's content (the demo does so with `scripts/demo --store FOLDER`);
a folder that itself holds `scorer.yaml` is served as a single model. The models are read once, at start.

    .venv/bin/python examples/graphql_server.py FOLDER [--host 127.0.0.1] [--port 8000]

then open http://127.0.0.1:8000/graphql for GraphiQL, or POST a query to the same address:

    { scorers { name scorer { formula externalModel { intercept coefficients } } } }

Needs the `serve` extra: uvicorn and strawberry's ASGI support (`pip install "quorvex_analytics_utils[serve]"`).
"""

import argparse
import pathlib
from collections.abc import Mapping

import strawberry
from strawberry.asgi import GraphQL

from quorvex_analytics_utils.predictive_models.augmented_scorer import AugmentedScorer, AugmentedScorerType

from model_folder import read_model_folders


@strawberry.type(description="A stored model and the name of its folder.")
class StoredScorer:
    name: str = strawberry.field(description="The name of the model's folder.")
    scorer: AugmentedScorerType = strawberry.field(description="The model itself.")


def make_schema(scorers: Mapping[str, AugmentedScorer]) -> strawberry.Schema:
    """A schema whose queries list the given scorers (by name) or pick one of them."""

    @strawberry.type
    class Query:
        @strawberry.field(description="Every stored model, in the order of the folder names.")
        def scorers(self) -> list[StoredScorer]:
            return [StoredScorer(name=name, scorer=scorer) for name, scorer in scorers.items()]

        @strawberry.field(description="The model stored in the named folder, or null when there is none.")
        def scorer(self, name: str) -> AugmentedScorerType | None:
            return scorers.get(name)

    return strawberry.Schema(query=Query)


def create_app(folder: str | pathlib.Path) -> GraphQL:
    """The ASGI application serving the models stored under `folder`, GraphiQL included."""
    return GraphQL(make_schema(read_model_folders(folder)), graphql_ide="graphiql")


def main(argv: list[str] | None = None) -> None:
    import uvicorn

    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("folder", type=pathlib.Path, help="the folder of stored models")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=8000)
    args = parser.parse_args(argv)
    uvicorn.run(create_app(args.folder), host=args.host, port=args.port)


if __name__ == "__main__":
    main()
