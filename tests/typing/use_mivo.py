"""Every public name of mivo, called as a user would: mypy --strict checks this file
against the installed stubs (each assert_type pins a result's exact type), and the
typing leg runs it against the built module, so an example that type-checks but fails
at run time fails too."""
from typing import TypeAlias, assert_type

import mivo
import numpy as np

Vector: TypeAlias = np.ndarray[tuple[int], np.dtype[np.uint8]]
Distances: TypeAlias = np.ndarray[tuple[int], np.dtype[np.uint32]]
Floats: TypeAlias = np.ndarray[tuple[int], np.dtype[np.float32]]
DIM = 16


def kernels(query: np.ndarray[tuple[int], np.dtype[np.float32]]) -> None:
    assert_type(mivo.__version__, str)
    packed = assert_type(mivo.pack_binary([1, 0, 0, 1, 1, 0, 1, 0] * 2), Vector)
    assert_type(mivo.unpack_binary(packed, DIM), Vector)
    assert_type(mivo.hamming_distance(packed, b"\x0f\xf0"), int)
    rows = np.stack([packed, packed ^ 1])
    assert_type(mivo.batch_hamming_distances(bytes(packed), rows), Distances)
    assert_type(mivo.asymmetric_inner_product(query, packed), float)
    assert_type(mivo.asymmetric_l2_squared(list(query), bytearray(packed)), float)
    assert_type(mivo.batch_asymmetric_l2(query, [packed, b"\x00\x00"]), Floats)
    assert_type(mivo.multibit_inner_product(query, range(DIM), total_bits=4), float)


def rabitq(data: np.ndarray[tuple[int, int], np.dtype[np.float32]]) -> None:
    q = mivo.RaBitQQuantizer(DIM, seed=3, total_bits=3)
    assert_type(q.fit(data), None)
    assert_type(q.fit(data.reshape(-1), num_vectors=len(data)), None)
    assert_type(q.set_centroid(data.mean(axis=0)), None)
    qv = assert_type(q.quantize(data[1]), mivo.QuantizedVector)
    assert_type(q.approximate_l2_sqr(data[0], qv), float)
    assert_type(q.approximate_distance(query=[0.5] * DIM, quantized=qv), float)
    assert_type((qv.dimension, qv.ex_bits), tuple[int, int])
    factors = (qv.delta, qv.vl, qv.f_add, qv.f_rescale, qv.f_error, qv.residual_norm)
    assert_type(factors, tuple[float, float, float, float, float, float])
    assert_type((qv.binary_codes, qv.extended_codes, qv.codes), tuple[bytes, bytes, list[int]])


def ternary(data: np.ndarray[tuple[int, int], np.dtype[np.float32]]) -> None:
    t = mivo.TernaryQuantizer(DIM, 0.25, threshold_low=-0.25, normalize=np.bool_(False),
                              target_sparsity=None)
    assert_type(t.fit(data), None)
    a = assert_type(t.quantize(data[0]), mivo.TernaryVector)
    b = mivo.TernaryQuantizer(DIM, target_sparsity=0.5).quantize(data[1])
    assert_type((a.dimension, a.memory_bytes, a.get(0), a.to_list()), tuple[int, int, int, list[int]])
    assert_type((a.original_norm, a.sparsity), tuple[float, float])
    assert_type(mivo.ternary_inner_product(a, b), int)
    assert_type(mivo.ternary_cosine_similarity(a, b), float)
    assert_type(mivo.ternary_asymmetric_inner_product(data[2], a), float)
    assert_type(mivo.ternary_asymmetric_cosine_distance(data[2], quantized=b), float)
    assert_type(mivo.ternary_hamming(a, b), int | None)


def main() -> None:
    data = np.random.default_rng(1).standard_normal((20, DIM), dtype=np.float32)
    kernels(data[0])
    rabitq(data)
    ternary(data)
    print("every public name of mivo answered")


if __name__ == "__main__":
    main()
