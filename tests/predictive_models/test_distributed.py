"""Dask: transform_frame and score_frame on a Dask DataFrame are lazy, declare their columns from
the registry, and give on a cluster of two worker processes what one process gives."""
import pytest

import frames_support as fs

pd = pytest.importorskip("pandas")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as c:
        yield c


def data_frames(partitions=3):
    pdf = pd.DataFrame(fs.rows(60), index=pd.RangeIndex(100, 160, name="row"))
    return pdf, dd.from_pandas(pdf, npartitions=partitions)


def test_dask_results_are_lazy_with_columns_declared_from_the_registry():
    prep = fs.registry()
    pdf, ddf = data_frames()
    out = prep.transform_frame(ddf[["age", "grade"]])
    assert isinstance(out, dd.DataFrame)
    assert list(out.columns) == ["age_woe", "grade_1", "grade_2"]
    assert out.dtypes.astype(str).tolist() == ["float64", "uint8", "uint8"]
    scores = fs.scorer().score_frame(ddf, probability=True)
    assert isinstance(scores, dd.Series) and scores.dtype == "float64" and scores.name == "score"
    with pytest.raises(KeyError, match="'income' is not a column"):
        prep.transform_frame(ddf[["age"]], attributes=["age", "income"])


def test_two_worker_processes_give_what_one_process_gives(client):
    prep, model = fs.registry(), fs.scorer()
    pdf, ddf = data_frames()
    got = prep.transform_frame(ddf).compute()
    pd.testing.assert_frame_equal(got, prep.transform_frame(pdf))
    for probability in (False, True):
        pd.testing.assert_series_equal(model.score_frame(ddf, probability=probability).compute(),
                                       model.score_frame(pdf, probability=probability))
    # Both workers took part.
    assert len(client.scheduler_info()["workers"]) == 2
