"""Every callable, on success and on each kind of failure, called many times: the process
does not grow and no argument, receiver or type gains or loses a reference.

MIVO_LEAK_CALLS sets the number of calls per path (default 100000). Under the address
sanitizer (MIVO_TEST_LEG=sanitize) the resident size means nothing, so only the
reference counts are checked there."""
import gc
import os
import sys

import mivo
import numpy as np
import pytest

CALLS = int(os.environ.get("MIVO_LEAK_CALLS", "100000"))
CHECK_RSS = os.environ.get("MIVO_TEST_LEG") != "sanitize"
WARM_UP = min(CALLS, 2000)
RSS_LIMIT = 1 << 20
F32, U8 = np.float32, np.uint8


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Raising:
    """A number whose conversion fails."""

    def __float__(self):
        raise ValueError("no float")

    def __index__(self):
        raise ValueError("no index")


class Reentering:
    """A number whose conversion calls fit on the quantizer that converts it."""

    def __init__(self, quantizer):
        self.quantizer = quantizer

    def __float__(self):
        self.quantizer.fit([0.0] * 4, 1)  # refused: the quantizer is in use
        return 0.0


rq = mivo.RaBitQQuantizer(4, 7, 4)
rq.fit(np.arange(8, dtype=F32).reshape(2, 4))
tq = mivo.TernaryQuantizer(4, target_sparsity=0.5)
tq.fit(np.arange(8, dtype=F32).reshape(2, 4))
qv = rq.quantize([1.0, -2.0, 3.0, 0.5])
small_qv = mivo.RaBitQQuantizer(2, 7).quantize([1.0, 2.0])
tv = tq.quantize([1.0, -2.0, 3.0, 0.5])
tv3 = mivo.TernaryQuantizer(3).quantize([1.0, -1.0, 0.0])
query = [0.25, -1.5, 2.0, 0.75]
query_f32 = np.array(query, F32)
codes = bytes([0xA5, 0x3C])
long_codes = bytearray(range(256)) * 2  # beyond the inline buffer of small codes
code_rows = np.arange(12, dtype=U8).reshape(6, 2)
code_list = [codes, bytearray(b"\x0f\x0f"), np.array([1, 2], U8), [3, 4]]
bits = [1, 0, 1, 1, 0, 0, 1, 0, 1]
flat = [0.5] * 8
matrix = np.ones((2, 4), F32)
hostile = [Raising(), 1.0, 2.0, 3.0]
reentering = [Reentering(rq), 1.0, 2.0, 3.0]
holder_type = type(mivo.pack_binary([1]).base)
TYPES = (mivo.QuantizedVector, mivo.TernaryVector, mivo.RaBitQQuantizer, mivo.TernaryQuantizer,
         holder_type)

QV_PROPERTIES = ("dimension", "ex_bits", "delta", "vl", "f_add", "f_rescale", "f_error",
                 "residual_norm", "binary_codes", "extended_codes", "codes")
TV_PROPERTIES = ("dimension", "original_norm", "sparsity", "memory_bytes")


def read_all(obj, names):
    return [getattr(obj, name) for name in names]


# (label, receiver, call, positional arguments, keyword arguments, exception expected)
PATHS = [
    ("pack_binary", None, mivo.pack_binary, (bits,), {}, None),
    ("pack_binary array", None, mivo.pack_binary, (code_rows[0],), {}, None),
    ("pack_binary element", None, mivo.pack_binary, ([1, 256],), {}, OverflowError),
    ("pack_binary str", None, mivo.pack_binary, ("ab",), {}, TypeError),
    ("pack_binary binding", None, mivo.pack_binary, (bits, bits), {}, TypeError),
    ("unpack_binary", None, mivo.unpack_binary, (codes, 13), {}, None),
    ("unpack_binary short", None, mivo.unpack_binary, (codes, 17), {}, ValueError),
    ("unpack_binary named", None, mivo.unpack_binary, (codes, 2.5), {}, TypeError),
    ("unpack_binary negative", None, mivo.unpack_binary, (codes, -1), {}, OverflowError),
    ("hamming_distance", None, mivo.hamming_distance, (codes, long_codes), {}, None),
    ("hamming_distance element", None, mivo.hamming_distance, (codes, [Raising()]), {},
     ValueError),
    ("hamming_distance keyword", None, mivo.hamming_distance, (codes,), {"c": codes}, TypeError),
    ("asymmetric_inner_product", None, mivo.asymmetric_inner_product, (query, codes), {}, None),
    ("asymmetric_inner_product array", None, mivo.asymmetric_inner_product,
     (query_f32, code_rows[1]), {}, None),
    ("asymmetric_inner_product short", None, mivo.asymmetric_inner_product, (flat * 3, codes), {},
     ValueError),
    ("asymmetric_inner_product strided", None, mivo.asymmetric_inner_product,
     (query_f32[::2], codes), {}, TypeError),
    ("asymmetric_l2_squared", None, mivo.asymmetric_l2_squared, (query_f32, codes), {}, None),
    ("asymmetric_l2_squared element", None, mivo.asymmetric_l2_squared, (hostile, codes), {},
     ValueError),
    ("multibit_inner_product", None, mivo.multibit_inner_product, (query, bits, 4), {}, None),
    ("multibit_inner_product element", None, mivo.multibit_inner_product,
     (query, [1, 70000], 4), {}, OverflowError),
    ("multibit_inner_product named", None, mivo.multibit_inner_product, (query, "ab", 4), {},
     TypeError),
    ("multibit_inner_product missing", None, mivo.multibit_inner_product, (query,), {},
     TypeError),
    ("batch_hamming_distances", None, mivo.batch_hamming_distances, (codes, code_list), {}, None),
    ("batch_hamming_distances rows", None, mivo.batch_hamming_distances, (codes, code_rows), {},
     None),
    ("batch_hamming_distances element", None, mivo.batch_hamming_distances,
     (codes, [codes, 5]), {}, TypeError),
    ("batch_hamming_distances outer", None, mivo.batch_hamming_distances, (codes, "ab"), {},
     TypeError),
    ("batch_asymmetric_l2", None, mivo.batch_asymmetric_l2, (query, code_list), {}, None),
    ("batch_asymmetric_l2 rows", None, mivo.batch_asymmetric_l2, (query_f32, code_rows), {}, None),
    ("batch_asymmetric_l2 short", None, mivo.batch_asymmetric_l2, (flat * 3, code_list), {},
     ValueError),
    ("ternary_hamming", None, mivo.ternary_hamming, (tv, tv), {}, None),
    ("ternary_hamming None", None, mivo.ternary_hamming, (tv, tv3), {}, None),
    ("ternary_hamming class", None, mivo.ternary_hamming, (tv, qv), {}, TypeError),
    ("ternary_inner_product", None, mivo.ternary_inner_product, (tv, tv3), {}, None),
    ("ternary_cosine_similarity", None, mivo.ternary_cosine_similarity, (tv3, tv3), {}, None),
    ("ternary_cosine_similarity None", None, mivo.ternary_cosine_similarity, (None, tv), {},
     TypeError),
    ("ternary_asymmetric_inner_product", None, mivo.ternary_asymmetric_inner_product,
     (query, tv), {}, None),
    ("ternary_asymmetric_inner_product element", None, mivo.ternary_asymmetric_inner_product,
     (hostile, tv), {}, ValueError),
    ("ternary_asymmetric_cosine_distance", None, mivo.ternary_asymmetric_cosine_distance,
     (query_f32, tv), {}, None),
    ("ternary_asymmetric_cosine_distance set", None, mivo.ternary_asymmetric_cosine_distance,
     ({1.0}, tv), {}, TypeError),
    ("RaBitQQuantizer", None, mivo.RaBitQQuantizer, (4, 3), {"total_bits": 2}, None),
    ("RaBitQQuantizer invalid", None, mivo.RaBitQQuantizer, (4, 3, 9), {}, ValueError),
    ("RaBitQQuantizer named", None, mivo.RaBitQQuantizer, ("4", 3), {}, TypeError),
    ("RaBitQQuantizer huge", None, mivo.RaBitQQuantizer, (2**40, 3), {}, MemoryError),
    ("TernaryQuantizer", None, mivo.TernaryQuantizer, (4, 0.5), {"normalize": np.bool_(False)},
     None),
    ("TernaryQuantizer flag", None, mivo.TernaryQuantizer, (4,), {"normalize": 1}, TypeError),
    ("TernaryQuantizer keyword", None, mivo.TernaryQuantizer, (4,), {"dim": 1}, TypeError),
    ("RaBitQQuantizer.fit", rq, rq.fit, (matrix,), {}, None),
    ("RaBitQQuantizer.fit flat", rq, rq.fit, (flat, 2), {}, None),
    ("RaBitQQuantizer.fit rows", rq, rq.fit, (matrix,), {"num_vectors": 3}, ValueError),
    ("RaBitQQuantizer.fit length", rq, rq.fit, (flat, 3), {}, ValueError),
    ("RaBitQQuantizer.fit count", rq, rq.fit, (flat,), {}, ValueError),
    ("RaBitQQuantizer.fit element", rq, rq.fit, (hostile, 1), {}, ValueError),
    ("RaBitQQuantizer.fit borrowed", rq, rq.fit, (reentering, 1), {}, RuntimeError),
    ("RaBitQQuantizer.set_centroid", rq, rq.set_centroid, (query,), {}, None),
    ("RaBitQQuantizer.set_centroid length", rq, rq.set_centroid, (flat,), {}, ValueError),
    ("RaBitQQuantizer.set_centroid named", rq, rq.set_centroid, ("abcd",), {}, TypeError),
    ("RaBitQQuantizer.quantize", rq, rq.quantize, (query,), {}, None),
    ("RaBitQQuantizer.quantize array", rq, rq.quantize, (query_f32,), {}, None),
    ("RaBitQQuantizer.quantize length", rq, rq.quantize, (flat,), {}, ValueError),
    ("RaBitQQuantizer.quantize borrowed", rq, rq.quantize, (reentering,), {}, RuntimeError),
    ("RaBitQQuantizer.approximate_l2_sqr", rq, rq.approximate_l2_sqr, (query, qv), {}, None),
    ("RaBitQQuantizer.approximate_l2_sqr record", rq, rq.approximate_l2_sqr, (query, small_qv),
     {}, ValueError),
    ("RaBitQQuantizer.approximate_distance", rq, rq.approximate_distance, (query_f32, qv), {},
     None),
    ("RaBitQQuantizer.approximate_distance class", rq, rq.approximate_distance, (query, tv), {},
     TypeError),
    ("TernaryQuantizer.fit", tq, tq.fit, (matrix,), {}, None),
    ("TernaryQuantizer.fit empty", tq, tq.fit, ([], 0), {}, ValueError),
    ("TernaryQuantizer.fit named", tq, tq.fit, (flat,), {"num_vectors": 2.0}, TypeError),
    ("TernaryQuantizer.fit huge", None, mivo.TernaryQuantizer(2**64 - 1).fit, ([], 0), {},
     ValueError),
    ("TernaryQuantizer.quantize", tq, tq.quantize, (query,), {}, None),
    ("TernaryQuantizer.quantize length", tq, tq.quantize, (flat,), {}, ValueError),
    ("TernaryVector.get", tv, tv.get, (2,), {}, None),
    ("TernaryVector.get range", tv, tv.get, (4,), {}, IndexError),
    ("TernaryVector.get negative", tv, tv.get, (-1,), {}, OverflowError),
    ("TernaryVector.get named", tv, tv.get, (1.0,), {}, TypeError),
    ("TernaryVector.to_list", tv, tv.to_list, (), {}, None),
    ("TernaryVector.to_list argument", tv, tv.to_list, (tv,), {}, TypeError),
    ("QuantizedVector properties", qv, read_all, (qv, QV_PROPERTIES), {}, None),
    ("TernaryVector properties", tv, read_all, (tv, TV_PROPERTIES), {}, None),
    ("QuantizedVector repr", qv, repr, (qv,), {}, None),
    ("TernaryVector repr", tv, repr, (tv,), {}, None),
    ("RaBitQQuantizer repr", rq, repr, (rq,), {}, None),
    ("TernaryQuantizer repr", tq, repr, (tq,), {}, None),
]


def repeat(call, args, kwargs, exc, n):
    if exc is None:
        for _ in range(n):
            call(*args, **kwargs)
    else:
        for _ in range(n):
            try:
                call(*args, **kwargs)
            except exc:
                pass


def watched(receiver, args, kwargs):
    """The objects whose reference counts must not move (not the interpreter's shared
    singletons and small ints, whose counts other code changes)."""
    objects = [receiver, *args, *kwargs.values(), *TYPES]
    return [o for o in objects
            if o is not None and not isinstance(o, bool) and
            not (type(o) is int and -5 <= o <= 256)]


@pytest.mark.parametrize("label, receiver, call, args, kwargs, exc", PATHS,
                         ids=[p[0] for p in PATHS])
def test_no_leak(label, receiver, call, args, kwargs, exc):
    try:
        call(*args, **kwargs)
        assert exc is None, f"{label}: no {exc.__name__}"
    except Exception as e:  # noqa: BLE001 - the exact type is checked
        assert type(e) is exc, f"{label}: {type(e).__name__}: {e}"
    repeat(call, args, kwargs, exc, WARM_UP)
    objects = watched(receiver, args, kwargs)
    gc.collect()
    counts = [sys.getrefcount(o) for o in objects]
    before = rss()
    repeat(call, args, kwargs, exc, CALLS)
    gc.collect()
    grown = rss() - before
    print(f"{label}: rss {grown / 1024:+.0f} KiB over {CALLS} calls")
    assert [sys.getrefcount(o) for o in objects] == counts, label
    if CHECK_RSS:
        assert grown < RSS_LIMIT, f"{label}: {grown} bytes"
