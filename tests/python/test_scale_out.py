"""Coding in partitions on worker processes gives the bits of one process."""
import os
import sys

import numpy as np
import pytest

pytest.importorskip("distributed", reason="dask.distributed is not installed")
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "examples"))
import scale_out  # noqa: E402


@pytest.mark.parametrize("total_bits", [1, 4])
def test_partitions_on_two_workers_are_bit_identical(total_bits):
    data = np.random.default_rng(total_bits).standard_normal((403, 40), dtype=np.float32)
    centroid = data.mean(axis=0, dtype=np.float32)
    local = scale_out.quantize_local(data, 11, total_bits, centroid)
    spread = scale_out.quantize_distributed(data, 11, total_bits, centroid, workers=2,
                                            partitions=5)
    assert local.keys() == spread.keys()
    for key in local:
        assert local[key].dtype == spread[key].dtype
        assert local[key].tobytes() == spread[key].tobytes(), key
    assert local["codes"].shape == (403, 40)
