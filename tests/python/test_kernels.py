"""The one-bit and multi-bit kernels: results bit for bit, lengths, result kinds."""
import math
import struct

import mivo
import numpy as np
import pytest
from conftest import raises_exact
from hypothesis import given, settings, strategies as st

F32 = np.float32


def f32(x):
    return float(F32(x))


def bits(b):
    return [(b[i // 8] >> (i % 8)) & 1 for i in range(8 * len(b))]


# Sequential single-precision models (never np.sum / np.dot: those reorder).
def model_ip(query, code):
    s = F32(0.0)
    for i, q in enumerate(query):
        q = F32(q)
        s = F32(s + (q if (code[i // 8] >> (i % 8)) & 1 else -q))
    return s


def model_l2(query, code):
    norm = F32(0.0)
    for q in query:
        norm = F32(norm + F32(F32(q) * F32(q)))
    ip = model_ip(query, code)
    return F32(F32(norm + F32(len(query))) - F32(ip + ip))


@pytest.mark.parametrize(
    "values, packed",
    [
        ([], []),
        ([1], [1]),
        ([0, 0, 0, 0, 0, 0, 0, 1], [128]),
        ([1] * 9, [255, 1]),
        ([2, 0, 255], [5]),
        ([1, 0, 0, 0, 0, 0, 0, 0, 1, 1], [0x01, 0x03]),
        ([1] * 17, [255, 255, 1]),
    ],
)
def test_pack_binary(values, packed):
    out = mivo.pack_binary(values)
    assert out.dtype == np.uint8 and out.ndim == 1
    assert out.tolist() == packed


def test_result_array_owns_nothing_shared():
    a = mivo.pack_binary([1, 0, 1])
    assert a.shape == (1,) and a.flags.writeable and not a.flags.owndata
    assert a.base is not None and a.flags.c_contiguous
    a[0] = 200
    assert mivo.pack_binary([1, 0, 1]).tolist() == [5]
    del a  # the holder frees the buffer exactly once


@given(st.lists(st.integers(0, 255), max_size=300))
def test_pack_unpack_roundtrip(values):
    packed = mivo.pack_binary(values)
    assert len(packed) == (len(values) + 7) // 8
    assert mivo.unpack_binary(packed, len(values)).tolist() == [int(v != 0) for v in values]
    if len(values) % 8:
        assert packed[-1] >> (len(values) % 8) == 0


@pytest.mark.parametrize(
    "packed, dim, expected",
    [
        (b"\xff", 3, [1, 1, 1]),
        (b"\x01\x02", 8, [1, 0, 0, 0, 0, 0, 0, 0]),
        (b"", 0, []),
        (b"\xa5\x01", 9, [1, 0, 1, 0, 0, 1, 0, 1, 1]),
    ],
)
def test_unpack_binary(packed, dim, expected):
    out = mivo.unpack_binary(packed, dim)
    assert out.dtype == np.uint8 and out.tolist() == expected


@pytest.mark.parametrize(
    "packed, dim, text",
    [
        (b"\x01", 9, "dimension mismatch: expected 2, got 1"),
        (b"", 1, "dimension mismatch: expected 1, got 0"),
        (b"", 2**60, f"dimension mismatch: expected {2**57}, got 0"),
    ],
)
def test_unpack_binary_too_short(packed, dim, text):
    with raises_exact(ValueError, text):
        mivo.unpack_binary(packed, dim)


@pytest.mark.parametrize(
    "a, b, expected",
    [
        (b"", b"", 0),
        ([255], [0], 8),
        ([1, 2, 3], [1, 2], 0),
        (b"\xff" * 9, b"\x00" * 9, 72),
        (bytes(16), bytes(16), 0),
        (bytes(16), bytes(15) + b"\x80", 1),
        (bytes(range(40)), bytes(range(1, 41)), None),
    ],
)
def test_hamming_distance(a, b, expected):
    if expected is None:
        expected = sum(bin(x ^ y).count("1") for x, y in zip(a, b))
    assert mivo.hamming_distance(a, b) == expected
    assert type(mivo.hamming_distance(a, b)) is int


@given(st.binary(max_size=40), st.lists(st.binary(max_size=40), max_size=8))
def test_batch_hamming_matches_single(query, codes):
    out = mivo.batch_hamming_distances(query, codes)
    assert out.dtype == np.uint32 and out.shape == (len(codes),)
    assert out.tolist() == [mivo.hamming_distance(query, c) for c in codes]


def test_batch_hamming_accepts_mixed_code_kinds():
    q = b"\x0f\xf0"
    codes = [b"\x00", [255, 255, 1], np.array([15, 240], np.uint8), bytearray(b"\x0f")]
    assert mivo.batch_hamming_distances(q, codes).tolist() == [4, 8, 0, 0]
    assert mivo.batch_hamming_distances(q, np.array([[0, 0], [15, 0]], np.uint8)).tolist() == [8, 4]


@pytest.mark.parametrize(
    "fn, query, code, expected",
    [
        (mivo.asymmetric_inner_product, [1.0, 2.0, 3.0], b"\x05", 2.0),
        (mivo.asymmetric_l2_squared, [1.0, 2.0, 3.0], b"\x05", 13.0),
        (mivo.asymmetric_inner_product, [0.1], b"\x01", 0.10000000149011612),
        (mivo.asymmetric_l2_squared,
         [1.000136375427246, -1.0002567768096924, -1.0000663995742798, -0.9998229146003723,
          1.0000041723251343], b"\x11", -9.5367431640625e-07),
        (mivo.asymmetric_inner_product, [1e8, 1.0, -1e8], b"\x07", 0.0),
        (mivo.asymmetric_inner_product, [], b"", 0.0),
        (mivo.asymmetric_l2_squared, [], b"", 0.0),
        (mivo.asymmetric_inner_product, [1.0], b"\xff", 1.0),
        (mivo.asymmetric_inner_product, [1.0], b"\xfe", -1.0),
        (mivo.asymmetric_inner_product, [1.0], b"\x01\xff\xff", 1.0),
    ],
)
def test_asymmetric_examples(fn, query, code, expected):
    result = fn(query, code)
    assert type(result) is float
    assert struct.pack("<d", result) == struct.pack("<d", expected)


@pytest.mark.parametrize("fn", [mivo.asymmetric_inner_product, mivo.asymmetric_l2_squared])
def test_asymmetric_code_too_short(fn):
    with raises_exact(ValueError, "dimension mismatch: expected 2, got 1"):
        fn([1.0] * 9, b"\x01")


def test_asymmetric_nan_propagates():
    assert math.isnan(mivo.asymmetric_l2_squared([float("nan"), 1.0], b"\x03"))


finite_f32 = st.floats(width=32, allow_nan=False, allow_infinity=False)
pytestmark = [pytest.mark.filterwarnings("ignore:overflow encountered"),
              pytest.mark.filterwarnings("ignore:invalid value encountered")]


@settings(max_examples=60)
@given(st.lists(finite_f32, max_size=70), st.data())
def test_asymmetric_matches_sequential_model(query, data):
    code = data.draw(st.binary(min_size=(len(query) + 7) // 8, max_size=(len(query) + 7) // 8 + 2))
    ip = mivo.asymmetric_inner_product(query, code)
    l2 = mivo.asymmetric_l2_squared(query, code)
    assert struct.pack("<f", ip) == struct.pack("<f", model_ip(query, code))
    assert struct.pack("<f", l2) == struct.pack("<f", model_l2(query, code))
    batch = mivo.batch_asymmetric_l2(np.array(query, F32), [code, code])
    assert batch.dtype == np.float32
    assert batch.tobytes() == np.array([l2, l2], F32).tobytes()


def test_batch_asymmetric_l2():
    q = [0.5, -1.0, 2.0, 0.25, 1.0, 1.0, -3.0, 0.0, 7.0]
    codes = [b"\x00\x00", b"\xff\x01", [0x55, 1, 9]]
    out = mivo.batch_asymmetric_l2(q, codes)
    assert out.tolist() == [mivo.asymmetric_l2_squared(q, c) for c in codes]
    assert mivo.batch_asymmetric_l2(q, []).dtype == np.float32
    assert mivo.batch_asymmetric_l2(q, []).shape == (0,)
    assert mivo.batch_asymmetric_l2([], [b"", b"\x01"]).tolist() == [0.0, 0.0]
    with raises_exact(ValueError, "dimension mismatch: expected 2, got 1"):
        mivo.batch_asymmetric_l2(q, [b"\x00\x00", b"\x00", b""])


def test_batch_hamming_empty():
    out = mivo.batch_hamming_distances(b"\x00", [])
    assert out.dtype == np.uint32 and out.shape == (0,)


@pytest.mark.parametrize(
    "query, codes, total_bits, expected",
    [
        ([1.0, 2.0], [15, 0], 4, -7.5),
        ([1.0, 1.0], [1, 0], 1, 0.0),
        ([1.0, 2.0, 3.0], [1], 1, 0.5),
        ([1.0, 2.0, 3.0], [1, 2, 3], 0, 14.0),
        ([], [1, 2], 4, -0.0),
        ([1.0], [], 4, -0.0),
        ([-1.0], [0], 0, -0.0),
        ([1.0], [0], 25, -16777216.0),
        ([1.0], [0], 8, -127.5),
        # Beyond 30 bits the centre is 2^B computed exactly, never a wrapped shift.
        ([1.0], [0], 31, -1073741824.0),
        ([1.0], [0], 32, -2147483648.0),
        ([1.0], [0], 64, -9223372036854775808.0),
        ([1.0], [0], 128, -math.inf),
        ([1.0], [0], 2**64 - 1, -math.inf),
    ],
)
def test_multibit_inner_product(query, codes, total_bits, expected):
    result = mivo.multibit_inner_product(query, codes, total_bits)
    assert struct.pack("<d", result) == struct.pack("<d", expected)


@settings(max_examples=60)
@given(st.lists(finite_f32, max_size=40), st.lists(st.integers(0, 65535), max_size=40),
       st.integers(0, 24))
def test_multibit_matches_sequential_model(query, codes, total_bits):
    centre = F32(F32(F32(2.0**total_bits) + F32(-1.0)) * F32(0.5))
    s = F32(-0.0)
    for q, c in zip(query, codes):
        s = F32(s + F32(F32(F32(c) - centre) * F32(q)))
    result = mivo.multibit_inner_product(query, codes, total_bits)
    assert struct.pack("<f", result) == struct.pack("<f", s)
