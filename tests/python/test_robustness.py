"""Arbitrary arguments never crash the process or escape as an unexpected exception."""
import array

import mivo
import numpy as np
from hypothesis import given, settings, strategies as st

RQ = mivo.RaBitQQuantizer(8, 3, 3)
TQ = mivo.TernaryQuantizer(8, target_sparsity=0.5)
QV = RQ.quantize([1.0] * 8)
TV = TQ.quantize([1.0, -1.0] * 4)

scalars = st.one_of(
    st.none(), st.booleans(), st.integers(-2**70, 2**70), st.floats(), st.text(max_size=3),
    st.binary(max_size=12), st.just(QV), st.just(TV), st.just(RQ),
)
arrays = st.one_of(
    st.builds(lambda n, t: np.arange(n).astype(t), st.integers(0, 20),
              st.sampled_from([np.float32, np.float64, np.uint8, np.int64, ">f4", np.uint16])),
    st.builds(lambda r, c, t: np.ones((r, c), t), st.integers(0, 4), st.integers(0, 9),
              st.sampled_from([np.float32, np.uint8])),
    st.builds(lambda n: np.arange(2 * n, dtype=np.float32)[::2], st.integers(0, 9)),
    st.builds(lambda n: np.asfortranarray(np.ones((n, 8), np.float32)), st.integers(0, 4)),
)
values = st.recursive(
    st.one_of(scalars, arrays),
    lambda inner: st.one_of(st.lists(inner, max_size=10), st.tuples(inner, inner),
                            st.builds(bytearray, st.binary(max_size=10)),
                            st.builds(lambda b: array.array("B", b), st.binary(max_size=10)),
                            st.frozensets(st.integers(0, 3), max_size=3)),
    max_leaves=20,
)

CALLABLES = [
    mivo.pack_binary, mivo.unpack_binary, mivo.hamming_distance, mivo.asymmetric_inner_product,
    mivo.asymmetric_l2_squared, mivo.multibit_inner_product, mivo.batch_hamming_distances,
    mivo.batch_asymmetric_l2, mivo.ternary_inner_product, mivo.ternary_cosine_similarity,
    mivo.ternary_asymmetric_inner_product, mivo.ternary_asymmetric_cosine_distance,
    mivo.ternary_hamming, RQ.fit, RQ.set_centroid, RQ.quantize, RQ.approximate_l2_sqr,
    RQ.approximate_distance, TQ.fit, TQ.quantize, TV.get, mivo.RaBitQQuantizer,
    mivo.TernaryQuantizer,
]
EXPECTED = (TypeError, ValueError, OverflowError, IndexError)


@settings(max_examples=400, deadline=None)
@given(st.sampled_from(CALLABLES), st.lists(values, max_size=4),
       st.dictionaries(st.sampled_from(["codes", "dim", "query", "vectors", "num_vectors",
                                        "dimension", "seed", "total_bits", "normalize", "a",
                                        "quantized", "idx", "nope"]), values, max_size=2))
def test_garbage_arguments(function, args, kwargs):
    if function is mivo.RaBitQQuantizer:
        dimension = args[0] if args else kwargs.get("dimension")
        if isinstance(dimension, int) and 512 < dimension < 2**23:
            return  # a real construction that takes long, not garbage
    try:
        function(*args, **kwargs)
    except EXPECTED:
        pass
    except MemoryError:
        assert function is mivo.RaBitQQuantizer
    # The objects stay usable whatever happened.
    assert RQ.approximate_l2_sqr([1.0] * 8, QV) >= 0.0
    assert repr(TV) == "TernaryVector(dimension=8, sparsity=0.00)"
