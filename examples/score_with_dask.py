"""Scoring a Parquet data set on a Dask cluster of two worker processes.

The example writes a synthetic portfolio as Parquet, reads it lazily with Dask, and scores it with
`AugmentedScorer.score_frame`, which works partition by partition: the scorer travels to the
workers pickled (records pickle their fields only; every bin snapshot is rebuilt on the worker),
and the output columns are declared from the registry, so nothing is computed to infer them.

    .venv/bin/python examples/score_with_dask.py [rows]
"""

import sys
import tempfile
import time

import dask.dataframe as dd
from distributed import Client, LocalCluster

from portfolio_model import portfolio, scorer


def main(rows: int) -> None:
    # The workers log fallback bins and undefined dummy values once per column call and partition,
    # with a count and examples.
    model = scorer()
    with tempfile.TemporaryDirectory() as folder:
        portfolio(rows).to_parquet(f"{folder}/portfolio.parquet", row_group_size=max(rows // 8, 1))
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                          dashboard_address=None) as cluster, Client(cluster):
            clients = dd.read_parquet(f"{folder}/portfolio.parquet", split_row_groups=True)
            print(f"{rows} clients in {clients.npartitions} partitions on 2 worker processes")

            features = model.feature_preparation.transform_frame(clients)
            print("features (declared up front):", dict(features.dtypes.astype(str)))

            scored = clients[["client_id"]].assign(
                probability=model.score_frame(clients, probability=True))
            start = time.perf_counter()
            result = scored.compute()
            print(f"scored in {time.perf_counter() - start:.2f} s")
            print(result.head())
            print("mean probability of default:", round(float(result["probability"].mean()), 4))


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 200_000)
