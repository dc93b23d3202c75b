"""Shards built and searched on worker processes give the bits of one process."""
import os
import sys

import numpy as np
import pytest

pytest.importorskip("distributed", reason="dask.distributed is not installed")
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "examples"))
import scale_out  # noqa: E402


@pytest.mark.parametrize("total_bits", [1, 4])
def test_cluster_shards_and_search_equal_one_process(tmp_path, total_bits):
    data_file, query_file = scale_out.make_data(tmp_path, 403, 40, 7, seed=total_bits)
    centroid = scale_out.column_mean(data_file)
    ranges = scale_out.row_ranges(403, 5)
    args = (total_bits * 11, total_bits, centroid)
    scale_out.run_local(scale_out.build_shard, ranges, data_file, tmp_path / "one", *args)
    local = scale_out.merge(scale_out.run_local(
        scale_out.search_shard, ranges, data_file, tmp_path / "one", query_file, *args))
    cluster, client = scale_out.start_cluster(2, None)
    try:
        written = scale_out.run_cluster(client, scale_out.build_shard, ranges, data_file,
                                        tmp_path / "many", *args)
        spread = scale_out.merge(scale_out.run_cluster(
            client, scale_out.search_shard, ranges, data_file, tmp_path / "many",
            query_file, *args))
    finally:
        client.close()
        cluster.close()
    assert written == [b - a for a, b in ranges]
    assert scale_out.shards_identical(tmp_path / "one", tmp_path / "many", ranges)
    assert local[0].tobytes() == spread[0].tobytes()
    assert np.array_equal(local[1], spread[1])
    binary = np.load(scale_out.shard_path(tmp_path / "one", 0, 81, "binary_codes"))
    assert binary.shape == (81, 5) and binary.dtype == np.uint8


def test_search_with_re_ranking_is_exact_search(tmp_path):
    data_file, query_file = scale_out.make_data(tmp_path, 90, 12, 6)
    centroid = scale_out.column_mean(data_file)
    ranges = scale_out.row_ranges(90, 4)
    scale_out.run_local(scale_out.build_shard, ranges, data_file, tmp_path, 3, 2, centroid)
    dist, ids = scale_out.merge(scale_out.run_local(
        scale_out.search_shard, ranges, data_file, tmp_path, query_file, 3, 2, centroid))
    base, queries = np.load(data_file).astype(np.float64), np.load(query_file)
    for q, d, i in zip(queries, dist, ids):
        true = ((base - q) ** 2).sum(1)
        assert list(i) == list(np.argsort(true, kind="stable")[:scale_out.K])
        np.testing.assert_allclose(d, true[i], rtol=1e-5)


@pytest.mark.parametrize("parts, expected", [
    # equal distances in several shards: the lower global row id wins, in any shard order
    ([([[1.0, 2.0]], [[40, 41]]), ([[1.0, 2.0]], [[3, 4]])], [3, 40]),
    ([([[2.0, 2.0]], [[9, 12]]), ([[2.0, 5.0]], [[10, 1]])], [9, 10]),
    # a shard smaller than k leaves empty slots (id -1, infinite distance) that lose
    ([([[0.5, np.inf]], [[7, -1]]), ([[0.5, 0.7]], [[8, 2]])], [7, 8]),
])
def test_merge_breaks_ties_by_lower_global_row_id(parts, expected):
    parts = [(np.array(d), np.array(i, np.int64)) for d, i in parts]
    _, ids = scale_out.merge(parts, k=2)
    _, swapped = scale_out.merge(parts[::-1], k=2)
    assert list(ids[0]) == expected == list(swapped[0])
