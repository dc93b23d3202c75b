"""Every public name of mivo_batch, called as a user would: mypy --strict checks this
file against the installed stubs (each assert_type pins a result's exact type), and the
typing leg runs it against the built module."""
from typing import TypeAlias, assert_type

import mivo
import mivo_batch
import numpy as np

Rows: TypeAlias = np.ndarray[tuple[int, int], np.dtype[np.float32]]
Floats: TypeAlias = np.ndarray[tuple[int], np.dtype[np.float32]]
Counts: TypeAlias = np.ndarray[tuple[int], np.dtype[np.uint64]]
Bytes: TypeAlias = np.ndarray[tuple[int, int], np.dtype[np.uint8]]
Ids: TypeAlias = np.ndarray[tuple[int, int], np.dtype[np.int64]]
DIM = 16


def rabitq(data: Rows) -> None:
    assert_type(mivo_batch.__version__, str)
    q = mivo.RaBitQQuantizer(DIM, seed=3, total_bits=3)
    q.fit(data)
    batch = assert_type(mivo_batch.quantize(q, data), mivo_batch.QuantizedBatch)
    columns = assert_type((batch.binary_codes, batch.extended_codes), tuple[Bytes, Bytes])
    factors = assert_type(batch.factors, np.ndarray[tuple[int, int], np.dtype[np.float32]])
    same = mivo_batch.QuantizedBatch.from_arrays(batch.dimension, batch.ex_bits, *columns,
                                                 factors=factors)
    assert_type(mivo_batch.QuantizedBatch.from_records(records=[*same, batch[-1]]),
                mivo_batch.QuantizedBatch)
    assert_type((len(batch), batch[1]), tuple[int, mivo.QuantizedVector])
    assert_type(mivo_batch.approximate_l2_sqr(q, data[0], batch), Floats)
    assert_type(mivo_batch.approximate_distance(q, query=[0.5] * DIM, batch=same), Floats)
    assert_type(mivo_batch.bounds(q, data[0], batch), tuple[Floats, Floats])
    found = mivo_batch.search(q, data[:2], batch, k=3)
    assert_type(found, tuple[Rows, Ids])
    assert_type(mivo_batch.search(q, data[:2], batch, 3, vectors=data)[2], Counts)
    assert_type(mivo_batch.integer_bounds(q, data[0], batch, query_bits=6),
                tuple[Floats, Floats, Floats])
    assert_type(mivo_batch.search(q, data[:2], batch, 3, scan="int", query_bits=4),
                tuple[Rows, Ids])
    counts: dict[str, int] = {}
    assert_type(mivo_batch.search(q, data[:2], batch, 3, vectors=data, scan="int",
                                  stats=counts)[2], Counts)
    assert_type(mivo_batch.search(q, data[:2], batch, 3, scan="float"), tuple[Rows, Ids])


def kmeans(data: Rows) -> None:
    counts: dict[str, object] = {}
    centroids = assert_type(mivo_batch.kmeans(data, 3, seed=1, iterations=4, sample=2,
                                              threads=2, stats=counts), Rows)
    assert_type(mivo_batch.assign(centroids, data, threads=None),
                np.ndarray[tuple[int], np.dtype[np.int64]])


def ternary(data: Rows) -> None:
    t = mivo.TernaryQuantizer(DIM, target_sparsity=0.5)
    batch = assert_type(mivo_batch.quantize(t, data), mivo_batch.TernaryBatch)
    same = mivo_batch.TernaryBatch.from_arrays(batch.dimension, batch.codes, batch.num_positive,
                                               batch.num_negative, batch.original_norm)
    assert_type(mivo_batch.TernaryBatch.from_records(list(same)), mivo_batch.TernaryBatch)
    a = assert_type(batch[0], mivo.TernaryVector)
    assert_type(mivo_batch.ternary_inner_product(a, batch),
                np.ndarray[tuple[int], np.dtype[np.int32]])
    assert_type(mivo_batch.ternary_cosine_similarity(a, batch=same), Floats)
    assert_type(mivo_batch.ternary_asymmetric_inner_product(data[2], batch), Floats)
    assert_type(mivo_batch.ternary_asymmetric_cosine_distance(list(data[2]), batch), Floats)
    assert_type(mivo_batch.ternary_hamming(a, batch), Counts)


def main() -> None:
    data = np.random.default_rng(1).standard_normal((20, DIM), dtype=np.float32)
    rabitq(data)
    kmeans(data)
    ternary(data)
    print("every public name of mivo_batch answered")


if __name__ == "__main__":
    main()
