"""RaBitQQuantizer and QuantizedVector from Python: conversion, errors, records, estimates."""
import inspect
import math
import pickle
import struct
import weakref
from decimal import ROUND_HALF_EVEN, Decimal

import mivo
import numpy as np
import pytest
from conftest import raises_exact

F32 = np.float32
RQ = mivo.RaBitQQuantizer
QV = mivo.QuantizedVector
FACTORS = ("delta", "vl", "f_add", "f_rescale", "f_error", "residual_norm")
PROPERTIES = ("dimension", "ex_bits", *FACTORS, "binary_codes", "extended_codes", "codes")


def b64(x):
    return struct.pack("<d", x)


def f32(x):
    return float(F32(x))


def record(v):
    """Every property of a record, floats by their bits."""
    return tuple(b64(getattr(v, p)) if p in FACTORS else tuple(v.codes) if p == "codes"
                 else getattr(v, p) for p in PROPERTIES)


def nextafter(x, direction):
    return float(np.nextafter(F32(x), F32(direction)))


def model_qn(x, c):
    """Sum of squares of x - c in f32, index order, from -0.0."""
    s = F32(-0.0)
    for a, b in zip(x, c):
        r = F32(F32(a) - F32(b))
        s = F32(s + F32(r * r))
    return float(s)


def model_mean(rows):
    d = len(rows[0])
    sums = [F32(0.0)] * d
    for row in rows:
        sums = [F32(F32(v) + s) for v, s in zip(row, sums)]
    return [float(F32(s / F32(len(rows)))) for s in sums]


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


def example():
    q = RQ(3, 0, 4)
    return q, q.quantize([1.0, 2.0, 3.0])


# --- constructor ---------------------------------------------------------------------------

@pytest.mark.parametrize(
    "args, kwargs, exc, text",
    [
        ((1, 2, 3, 4), {}, TypeError,
         "RaBitQQuantizer.__new__() takes from 2 to 3 positional arguments but 4 were given"),
        ((), {}, TypeError,
         "RaBitQQuantizer.__new__() missing 2 required positional arguments: 'dimension' and 'seed'"),
        ((4,), {}, TypeError, "RaBitQQuantizer.__new__() missing 1 required positional argument: 'seed'"),
        ((4, 0), {"dimension": 4}, TypeError,
         "RaBitQQuantizer.__new__() got multiple values for argument 'dimension'"),
        ((4, 0), {"bits": 4}, TypeError,
         "RaBitQQuantizer.__new__() got an unexpected keyword argument 'bits'"),
        ((0, 1), {}, ValueError, "invalid config: dimension -- must be > 0"),
        ((0, 1, 0), {}, ValueError, "invalid config: dimension -- must be > 0"),
        ((0, 1, 9), {}, ValueError, "invalid config: dimension -- must be > 0"),
        ((8, 1, 0), {}, ValueError, "invalid config: total_bits -- must be 1-8"),
        ((8, 1, 9), {}, ValueError, "invalid config: total_bits -- must be 1-8"),
        ((8, 1, 2**64 - 1), {}, ValueError, "invalid config: total_bits -- must be 1-8"),
        # validation happens before the rotation is allocated
        ((2**24, 1, 9), {}, ValueError, "invalid config: total_bits -- must be 1-8"),
        ((2**24, 0), {}, MemoryError, None),
        ((2**32, 0), {}, MemoryError, None),
        ((2**64 - 1, 0, 1), {}, MemoryError, None),
        # OverflowError is plain, in the order dimension, seed, total_bits, before validation
        ((-1, 0), {}, OverflowError, None),
        ((2**64, 0), {}, OverflowError, None),
        ((4, -1), {}, OverflowError, None),
        ((4, 2**64), {}, OverflowError, None),
        ((4, 0, -1), {}, OverflowError, None),
        ((0, -1), {}, OverflowError, None),
        ((-1, "x"), {}, OverflowError, None),
        ((4, -1, "x"), {}, OverflowError, None),
    ],
)
def test_constructor_errors(args, kwargs, exc, text):
    with raises_exact(exc, text) as info:
        RQ(*args, **kwargs)
    assert not str(info.value).startswith("argument '")


@pytest.mark.parametrize(
    "args, name",
    [
        ((4.0, 0), "dimension"),
        (("4", 0), "dimension"),
        ((None, 0), "dimension"),
        ((1.5, -1), "dimension"),
        ((4, 0.0), "seed"),
        ((4, None), "seed"),
        ((4, 0, None), "total_bits"),
        ((4, 0, 4.0), "total_bits"),
        ((0, 0, "x"), "total_bits"),
    ],
)
def test_constructor_named_type_errors(args, name):
    with raises_exact(TypeError) as info:
        RQ(*args)
    cause = info.value.__cause__
    assert type(cause) is TypeError
    assert str(info.value) == f"argument '{name}': {cause}"


@pytest.mark.parametrize(
    "args, kwargs, text",
    [
        ((16, 42), {}, "RaBitQQuantizer(dimension=16, total_bits=4)"),
        ((1, 0, 1), {}, "RaBitQQuantizer(dimension=1, total_bits=1)"),
        ((), {"total_bits": 8, "seed": 2**64 - 1, "dimension": 128},
         "RaBitQQuantizer(dimension=128, total_bits=8)"),
        ((Index(5), True, np.int64(3)), {}, "RaBitQQuantizer(dimension=5, total_bits=3)"),
    ],
)
def test_constructor_accepts_and_repr(args, kwargs, text):
    q = RQ(*args, **kwargs)
    assert repr(q) == text and str(q) == text


def test_seed_is_used_as_a_full_unsigned_64_bit_value():
    x = [0.3, -1.0, 2.5, 0.0, 1.0, -0.5, 4.0, 2.0]
    seeds = [0, 1, 2**31, 2**32, 2**63 - 1, 2**63, 2**64 - 1]
    records = [record(RQ(8, s, 3).quantize(x)) for s in seeds]
    assert len(set(records)) == len(seeds)
    assert records == [record(RQ(8, s, 3).quantize(x)) for s in seeds]


# --- the worked example ----------------------------------------------------------------------

def test_quantize_worked_example():
    q, v = example()
    assert v.dimension == 3 and v.ex_bits == 3
    assert v.codes == [15, 15, 1]
    assert v.binary_codes == b"\x03"
    assert v.extended_codes == b"\x7f\x00"  # 7, 7, 1 at three bits each
    expected = {
        "f_add": 14.000000953674316,
        "residual_norm": 3.7416574954986572,
        "f_rescale": -0.607728898525238,
        "f_error": 1.4435659646987915,
        "delta": 0.29772651195526123,
        "vl": -2.2329487800598145,
    }
    assert {k: b64(getattr(v, k)) for k in expected} == {k: b64(x) for k, x in expected.items()}
    assert repr(v) == "QuantizedVector(dimension=3, ex_bits=3, residual_norm=3.7417)"
    assert str(v) == repr(v)


@pytest.mark.parametrize(
    "query, l2, dist",
    [
        ([0.5, -1.0, 2.0], 11.086531639099121, 3.3296444416046143),
        ([1.0, 2.0, 3.0], 0.0, 0.0),
        ([0.0, 0.0, 0.0], 14.000000953674316, None),
        (np.array([0.5, -1.0, 2.0], F32), 11.086531639099121, 3.3296444416046143),
        ((0.5, -1, 2), 11.086531639099121, 3.3296444416046143),
    ],
)
def test_estimate_worked_example(query, l2, dist):
    q, v = example()
    got = q.approximate_l2_sqr(query, v)
    assert b64(got) == b64(l2)
    assert b64(q.approximate_distance(query, v)) == b64(float(np.sqrt(F32(l2))))
    if dist is not None:
        assert b64(q.approximate_distance(quantized=v, query=query)) == b64(dist)


# --- fit and set_centroid ------------------------------------------------------------------

ROWS = [[1.5, -2.0, 0.1, 7.0], [0.25, 3.0, -0.7, 1e-3], [2.0, 2.0, 0.3, -4.0]]


@pytest.mark.parametrize(
    "vectors, num_vectors",
    [
        (np.array(ROWS, F32), None),
        (np.array(ROWS, F32), 3),
        (np.asfortranarray(np.array(ROWS, F32)), None),
        (np.asfortranarray(np.array(ROWS, F32)), 3),
        ([v for row in ROWS for v in row], 3),
        (np.array(ROWS, F32).ravel(), 3),
        (tuple(v for row in ROWS for v in row), Index(3)),
        (np.array(ROWS, np.float64).ravel(), 3),
    ],
    ids=["2d", "2d-n", "fortran", "fortran-n", "list", "1d-f32", "tuple", "1d-f64"],
)
def test_fit_sets_the_mean(vectors, num_vectors):
    q = RQ(4, 7, 4)
    args = (vectors,) if num_vectors is None else (vectors, num_vectors)
    assert q.fit(*args) is None
    mean = model_mean(ROWS)
    # The record of the exact centroid has a zero residual; one ulp off does not.
    assert q.quantize(mean).f_add == 0.0
    assert q.quantize([nextafter(mean[0], 1e9), *mean[1:]]).f_add > 0.0
    # With the centroid's own record the estimate is the f32 sum of squares of query - centroid.
    x = [0.5, -1.25, 3.0, 0.7]
    assert b64(q.approximate_l2_sqr(x, q.quantize(mean))) == b64(model_qn(x, mean))


def test_fit_two_rows_and_empty_fit():
    q = RQ(2, 0)
    q.fit(np.array([[1, 2], [3, 4]], F32))
    assert q.quantize([2.0, 3.0]).f_add == 0.0
    # No rows: refused (their mean would be NaN), and the centroid stays.
    for args in ((np.zeros((0, 2), F32),), ([], 0)):
        with raises_exact(ValueError, "invalid config: num_vectors -- must be > 0"):
            q.fit(*args)
        assert q.quantize([2.0, 3.0]).f_add == 0.0


def test_fortran_array_is_read_in_logical_order():
    data = np.arange(24, dtype=F32).reshape(6, 4) ** 1.5
    a, b = RQ(4, 3, 5), RQ(4, 3, 5)
    a.fit(data)
    b.fit(np.asfortranarray(data))
    x = [1.0, -2.0, 3.0, 0.5]
    assert record(a.quantize(x)) == record(b.quantize(x))
    assert b.quantize(model_mean(data.tolist())).f_add == 0.0


@pytest.mark.parametrize(
    "args, exc, text",
    [
        ((np.zeros((4, 3), F32), 5), ValueError, "num_vectors=5 does not match array shape[0]=4"),
        ((np.zeros((4, 4), F32), 5), ValueError, "num_vectors=5 does not match array shape[0]=4"),
        ((np.zeros((0, 4), F32), 2**63), ValueError,
         "num_vectors=9223372036854775808 does not match array shape[0]=0"),
        (([0.0] * 12,), ValueError, "num_vectors is required when vectors is not a 2D numpy array"),
        ((np.zeros(12, F32),), ValueError,
         "num_vectors is required when vectors is not a 2D numpy array"),
        ((np.zeros(12, F32), None), ValueError,
         "num_vectors is required when vectors is not a 2D numpy array"),
        ((np.zeros((2, 2), np.float64),), TypeError, None),  # rows of a non-float32 2-D array
        (([0.0] * 5, 1), ValueError, "dimension mismatch: expected 4, got 5"),
        (([0.0] * 5, 2), ValueError, "dimension mismatch: expected 8, got 5"),
        ((np.zeros((2, 3), F32),), ValueError, "dimension mismatch: expected 8, got 6"),
        ((np.zeros((2, 5), F32),), ValueError, "dimension mismatch: expected 8, got 10"),
        (([], 1), ValueError, "dimension mismatch: expected 4, got 0"),
        (([0.0] * 4, 2**62), ValueError,
         "invalid config: num_vectors -- num_vectors * dimension overflows"),
        (([0.0] * 4, 2**64 - 1), ValueError,
         "invalid config: num_vectors -- num_vectors * dimension overflows"),
        (([0.0] * 4, -1), OverflowError, None),
        (([0.0] * 4, 2**64), OverflowError, None),
        (("abc", -1), OverflowError, None),  # num_vectors is converted before vectors
        (("abc", 1), TypeError, "Can't extract `str` to `Vec`"),
        (({1.0}, 1), TypeError, "'set' object is not an instance of 'Sequence'"),
        (([1.0, "x", 0, 0], 1), TypeError, None),
        ((np.zeros((4, 8), F32)[:, ::2],), TypeError,
         "The given array is not contiguous or is misaligned."),
        ((np.zeros((4, 8), F32)[:, ::2], 5), TypeError,  # refused before the count is compared
         "The given array is not contiguous or is misaligned."),
        ((np.zeros(8, F32)[::2], 1), TypeError,
         "The given array is not contiguous or is misaligned."),
    ],
)
def test_fit_errors_leave_the_centroid(args, exc, text):
    q = RQ(4, 1)
    q.set_centroid([1.0, 2.0, 3.0, 4.0])
    x = [0.5, 0.25, -1.0, 8.0]
    before = record(q.quantize(x))
    with raises_exact(exc, text) as info:
        q.fit(*args)
    assert not str(info.value).startswith("argument '")
    assert record(q.quantize(x)) == before
    assert q.quantize([1.0, 2.0, 3.0, 4.0]).f_add == 0.0


def test_fit_overflow_check_precedes_the_length_check():
    q = RQ(2, 1)
    with raises_exact(ValueError, "invalid config: num_vectors -- num_vectors * dimension overflows"):
        q.fit([0.0] * 3, 2**63)
    with raises_exact(ValueError, "dimension mismatch: expected 18446744073709551614, got 3"):
        q.fit([0.0] * 3, 2**63 - 1)


@pytest.mark.parametrize("num_vectors", [2.0, "2", 1j])
def test_fit_num_vectors_named_type_error(num_vectors):
    with raises_exact(TypeError) as info:
        RQ(4, 1).fit("abc", num_vectors)  # before vectors
    assert type(info.value.__cause__) is TypeError
    assert str(info.value) == f"argument 'num_vectors': {info.value.__cause__}"


@pytest.mark.parametrize(
    "centroid, text",
    [
        ("abcd", "argument 'centroid': Can't extract `str` to `Vec`"),
        ({1, 2, 3, 4}, "argument 'centroid': 'set' object is not an instance of 'Sequence'"),
        (None, "argument 'centroid': 'None' is not an instance of 'Sequence'"),
        ((x for x in range(4)), "argument 'centroid': 'generator' object is not an instance of 'Sequence'"),
        (5, "argument 'centroid': 'int' object is not an instance of 'Sequence'"),
        ([1.0, "x", 3.0, 4.0], None),
        (np.ones((4, 2), F32), None),  # a 2-D array is iterated row by row
    ],
)
def test_set_centroid_named_errors(centroid, text):
    q = RQ(4, 1)
    with raises_exact(TypeError) as info:
        q.set_centroid(centroid)
    cause = info.value.__cause__
    assert type(cause) is TypeError
    assert str(info.value) == f"argument 'centroid': {cause}"
    if text is not None:
        assert str(info.value) == text
    assert q.quantize([0.0] * 4).f_add == 0.0  # still no centroid


@pytest.mark.parametrize(
    "centroid, exc, text",
    [
        ([1.0, 2.0, 3.0], ValueError, "dimension mismatch: expected 4, got 3"),
        ([0.0] * 5, ValueError, "dimension mismatch: expected 4, got 5"),
        ([], ValueError, "dimension mismatch: expected 4, got 0"),
        ([10**400, 0, 0, 0], OverflowError, None),
    ],
)
def test_set_centroid_plain_errors_keep_the_centroid(centroid, exc, text):
    q = RQ(4, 1)
    q.set_centroid([1, 2, 3, 4])
    with raises_exact(exc, text) as info:
        q.set_centroid(centroid)
    assert not str(info.value).startswith("argument '")
    assert q.quantize([1, 2, 3, 4]).f_add == 0.0


@pytest.mark.parametrize(
    "centroid",
    [
        np.repeat(np.arange(4, dtype=F32) * F32(0.1), 2)[::2],  # strided: element by element
        (np.arange(4, dtype=F32) * F32(0.1)).astype(">f4"),
        np.arange(4, dtype=F32) * F32(0.1),
        (np.arange(4, dtype=F32) * F32(0.1)).astype(np.float64),
        [float(F32(0.1) * F32(i)) for i in range(4)],
        tuple(F32(0.1) * F32(i) for i in range(4)),
    ],
    ids=["strided", "big-endian", "f32", "f64", "list", "tuple-of-f32"],
)
def test_set_centroid_accepts_any_sequence(centroid):
    q = RQ(4, 1)
    assert q.set_centroid(centroid) is None
    c = [f32(F32(0.1) * F32(i)) for i in range(4)]
    assert q.quantize(c).f_add == 0.0
    assert q.quantize([0.0, 0.0, 0.0, 0.0]).f_add > 0.0


def test_set_centroid_rounds_to_f32_and_replaces():
    q = RQ(2, 5)
    q.set_centroid([0.1, 1e39])  # nearest f32: 0.1f and +inf
    assert q.quantize([f32(0.1), float("inf")]).f_add != 0.0  # inf - inf is NaN
    q.set_centroid([0.1, -2.0])
    assert q.quantize([f32(0.1), -2.0]).f_add == 0.0
    q.fit([1.0, 1.0], 1)
    assert q.quantize([1.0, 1.0]).f_add == 0.0


# --- quantize ------------------------------------------------------------------------------

@pytest.mark.parametrize(
    "vector, exc, text",
    [
        ([0.0] * 7, ValueError, "dimension mismatch: expected 8, got 7"),
        ([0.0] * 9, ValueError, "dimension mismatch: expected 8, got 9"),
        ([], ValueError, "dimension mismatch: expected 8, got 0"),
        (np.zeros(0, F32), ValueError, "dimension mismatch: expected 8, got 0"),
        ("abcdefgh", TypeError, "Can't extract `str` to `Vec`"),
        ({1.0}, TypeError, "'set' object is not an instance of 'Sequence'"),
        (None, TypeError, "'None' is not an instance of 'Sequence'"),
        (np.zeros(16, F32)[::2], TypeError, "The given array is not contiguous or is misaligned."),
        (np.zeros((2, 4), F32), TypeError, None),
        ([10**400] + [0] * 7, OverflowError, None),
    ],
)
def test_quantize_errors(vector, exc, text):
    q = RQ(8, 1)
    with raises_exact(exc, text) as info:
        q.quantize(vector)
    assert not str(info.value).startswith("argument '")
    assert q.quantize([1.0] * 8).dimension == 8


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda q: q.quantize(), "RaBitQQuantizer.quantize() missing 1 required positional argument: 'vector'"),
        (lambda q: q.quantize([1.0], [2.0]),
         "RaBitQQuantizer.quantize() takes 1 positional arguments but 2 were given"),
        (lambda q: q.quantize(x=[1.0]), "RaBitQQuantizer.quantize() got an unexpected keyword argument 'x'"),
        (lambda q: q.fit(), "RaBitQQuantizer.fit() missing 1 required positional argument: 'vectors'"),
        (lambda q: q.fit([1.0], 1, 2),
         "RaBitQQuantizer.fit() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda q: q.fit([1.0], vectors=[1.0]),
         "RaBitQQuantizer.fit() got multiple values for argument 'vectors'"),
        (lambda q: q.set_centroid(),
         "RaBitQQuantizer.set_centroid() missing 1 required positional argument: 'centroid'"),
        (lambda q: q.approximate_l2_sqr(),
         "RaBitQQuantizer.approximate_l2_sqr() missing 2 required positional arguments: "
         "'query' and 'quantized'"),
        (lambda q: q.approximate_distance([1.0]),
         "RaBitQQuantizer.approximate_distance() missing 1 required positional argument: 'quantized'"),
        (lambda q: q.approximate_distance(1, 2, 3),
         "RaBitQQuantizer.approximate_distance() takes 2 positional arguments but 3 were given"),
    ],
)
def test_method_binding_texts(call, text):
    with raises_exact(TypeError, text):
        call(RQ(1, 0))


def test_quantize_accepts_float_vectors_alike():
    q = RQ(8, 9, 6)
    base = record(q.quantize(list(range(8))))
    for v in (np.arange(8, dtype=F32), np.arange(8, dtype=np.float64), tuple(range(8)), range(8),
              np.arange(8, dtype=F32).astype(">f4"), [float(i) for i in range(8)]):
        assert record(q.quantize(v)) == base
    assert record(q.quantize(vector=range(8))) == base


def test_non_finite_input_gives_a_record():
    v = RQ(4, 2).quantize([float("nan"), 1.0, 2.0, 3.0])
    assert math.isnan(v.f_add) and math.isnan(v.residual_norm)
    assert "residual_norm=NaN)" in repr(v)
    v = RQ(1, 2).quantize([1e39])
    assert v.f_add == math.inf and repr(v).endswith("residual_norm=inf)")


def test_zero_residual_record():
    c = [0.5, -3.0, 2.25, 1.0, 0.0, -0.125, 7.0, 1.5, 9.0]
    for total_bits in (1, 3, 8):
        q = RQ(9, 4, total_bits)
        q.set_centroid(c)
        v = q.quantize(c)
        ex = total_bits - 1
        assert [b64(getattr(v, k)) for k in FACTORS] == [b64(x) for x in (0.0, -0.0, 0.0, -0.0, 0.0, 0.0)]
        assert v.codes == [1 << ex] * 9
        assert v.binary_codes == b"\xff\x01"
        assert v.extended_codes == bytes((9 * ex + 7) // 8)
        x = [1.0, 2.0, -1.5, 0.1, 0.0, 3.0, -7.0, 2.0, 1e-3]
        assert b64(q.approximate_l2_sqr(x, v)) == b64(model_qn(x, c))
        # a query at the centroid gives the record's own f_add
        w = q.quantize(x)
        assert b64(q.approximate_l2_sqr(c, w)) == b64(w.f_add)


# --- QuantizedVector ------------------------------------------------------------------------

def extended_code(stream, i, b):
    value = 0
    for k in range(b):
        p = i * b + k
        value |= ((stream[p // 8] >> (p % 8)) & 1) << k
    return value


@pytest.mark.parametrize("d", [1, 7, 8, 9, 10, 17, 64, 100])
@pytest.mark.parametrize("total_bits", range(1, 9))
def test_record_forms_agree(d, total_bits):
    rng = np.random.default_rng(d * 10 + total_bits)
    q = RQ(d, d + total_bits, total_bits)
    q.fit(rng.standard_normal((5, d)).astype(F32))
    ex = total_bits - 1
    for x in rng.standard_normal((3, d)).astype(F32):
        v = q.quantize(x)
        codes, binary, extended = v.codes, v.binary_codes, v.extended_codes
        assert (v.dimension, v.ex_bits) == (d, ex)
        assert type(v.dimension) is int and type(v.ex_bits) is int
        assert type(codes) is list and all(type(c) is int for c in codes)
        assert type(binary) is bytes and type(extended) is bytes
        assert all(type(getattr(v, k)) is float for k in FACTORS)
        assert len(codes) == d and all(0 <= c < 1 << total_bits for c in codes)
        assert len(binary) == (d + 7) // 8 and len(extended) == (d * ex + 7) // 8
        for i, c in enumerate(codes):
            assert c >> ex == (binary[i // 8] >> (i % 8)) & 1
            assert c & ((1 << ex) - 1) == extended_code(extended, i, ex)
        if d % 8:
            assert binary[-1] >> (d % 8) == 0
        if d * ex % 8:
            assert extended[-1] >> (d * ex % 8) == 0
        if total_bits == 1:
            assert extended == b"" and binary == bytes(mivo.pack_binary(codes))
        # factor relations that hold bit for bit
        assert b64(v.residual_norm) == b64(float(np.sqrt(F32(v.f_add))))
        m = F32(F32(2.0**ex) + F32(-0.5))
        assert b64(v.vl) == b64(float(F32(F32(v.delta) * -m)))
        if d == 1:
            assert v.f_error == 0.0
        assert b64(q.approximate_distance(x, v)) == b64(float(np.sqrt(F32(q.approximate_l2_sqr(x, v)))))


def test_record_lengths_example():
    v = RQ(10, 0, 4).quantize([float(i) for i in range(10)])
    assert (len(v.binary_codes), len(v.extended_codes), len(v.codes)) == (2, 4, 10)


def test_properties_are_fresh_copies():
    _, v = example()
    codes = v.codes
    codes.append(99)
    codes[0] = 0
    assert v.codes == [15, 15, 1] and v.codes is not v.codes
    assert v.binary_codes == b"\x03"


def test_repr_rounds_half_to_even():
    # For dimension 1 the rotation is +-1, so the residual norm is exactly |x|.
    for x, shown in ((0.03125, "0.0312"), (0.09375, "0.0938"), (-0.15625, "0.1562"),
                     (1.03125, "1.0312"), (2.5, "2.5000"), (0.0, "0.0000"), (12345.5, "12345.5000")):
        v = RQ(1, 3).quantize([x])
        assert v.residual_norm == abs(x)
        assert repr(v) == f"QuantizedVector(dimension=1, ex_bits=3, residual_norm={shown})"
    rng = np.random.default_rng(5)
    q = RQ(12, 1, 2)
    for x in rng.standard_normal((200, 12)).astype(F32) * rng.uniform(0, 3, (200, 1)).astype(F32):
        v = q.quantize(x)
        shown = Decimal(v.residual_norm).quantize(Decimal("0.0001"), ROUND_HALF_EVEN)
        assert repr(v) == f"QuantizedVector(dimension=12, ex_bits=1, residual_norm={shown})"


def test_same_arguments_give_identical_records():
    rng = np.random.default_rng(11)
    data = rng.standard_normal((20, 32)).astype(F32)
    a, b = RQ(32, 2024, 5), RQ(32, 2024, 5)
    a.fit(data)
    b.fit(data)
    for x in data[:5]:
        ra = record(a.quantize(x))
        assert ra == record(a.quantize(x)) == record(b.quantize(x))
        assert b64(a.approximate_l2_sqr(data[7], a.quantize(x))) == b64(b.approximate_l2_sqr(data[7], b.quantize(x)))


# --- approximate_l2_sqr / approximate_distance --------------------------------------------

@pytest.mark.parametrize("method", ["approximate_l2_sqr", "approximate_distance"])
@pytest.mark.parametrize(
    "query, quantized, exc, text",
    [
        ([0.0] * 3, [1, 2, 3], TypeError,
         "argument 'quantized': 'list' object is not an instance of 'QuantizedVector'"),
        ([0.0] * 3, None, TypeError, "argument 'quantized': 'None' is not an instance of 'QuantizedVector'"),
        ("abc", "ternary", TypeError,
         "argument 'quantized': 'TernaryVector' object is not an instance of 'QuantizedVector'"),
        ("abc", "d3", TypeError, "Can't extract `str` to `Vec`"),
        (np.zeros(6, F32)[::2], "d3", TypeError, "The given array is not contiguous or is misaligned."),
        ([0.0] * 2, "d3", ValueError, "dimension mismatch: expected 3, got 2"),
        ([0.0] * 4, "d3", ValueError, "dimension mismatch: expected 3, got 4"),
        ([0.0] * 3, "d4", ValueError, "dimension mismatch: expected 3, got 4"),
        ([0.0] * 3, "d2", ValueError, "dimension mismatch: expected 3, got 2"),
        ([0.0] * 5, "d4", ValueError, "dimension mismatch: expected 3, got 5"),  # query first
        ([0.0] * 2, "d4", ValueError, "dimension mismatch: expected 3, got 2"),
    ],
)
def test_estimate_errors(method, query, quantized, exc, text):
    q = RQ(3, 0)
    records = {
        "d2": RQ(2, 0).quantize([1.0, 2.0]),
        "d3": q.quantize([1.0, 2.0, 3.0]),
        "d4": RQ(4, 0).quantize([1.0, 2.0, 3.0, 4.0]),
        "ternary": mivo.TernaryQuantizer(3).quantize([1.0, 2.0, 3.0]),
    }
    with raises_exact(exc, text) as info:
        getattr(q, method)(query, records.get(quantized, quantized) if isinstance(quantized, str) else quantized)
    if exc is TypeError and text.startswith("argument"):
        assert type(info.value.__cause__) is TypeError
        assert str(info.value) == "argument 'quantized': " + str(info.value.__cause__)


def test_record_of_another_quantizer_with_the_same_dimension():
    a, b = RQ(3, 0, 4), RQ(3, 1, 2)
    v = b.quantize([1.0, 2.0, 3.0])
    assert a.approximate_l2_sqr([0.0, 0.0, 0.0], v) == v.f_add  # zero query: ip = 0
    assert a.approximate_l2_sqr([1.0, 2.0, 3.0], v) >= 0.0


def test_estimate_is_never_negative():
    rng = np.random.default_rng(3)
    q = RQ(16, 8, 1)
    for x in rng.standard_normal((50, 16)).astype(F32):
        v = q.quantize(x)
        got = q.approximate_l2_sqr(x, v)
        assert got >= 0.0 and b64(got) != b64(-0.0)
        assert b64(q.approximate_distance(x, v)) == b64(float(np.sqrt(F32(got))))


def test_estimate_error_falls_with_more_bits():
    d, n, nq = 128, 200, 5
    rng = np.random.default_rng(2024)
    data = rng.standard_normal((n, d)).astype(F32)
    queries = rng.standard_normal((nq, d)).astype(F32)
    truth = ((data[:, None, :].astype(np.float64) - queries[None, :, :]) ** 2).sum(-1)
    errors = []
    for total_bits in range(1, 9):
        q = RQ(d, 17, total_bits)
        q.fit(data)
        est = np.array([[q.approximate_l2_sqr(y, v) for y in queries]
                        for v in map(q.quantize, data)])
        errors.append(float(np.mean(np.abs(est - truth) / truth)))
    assert all(a > b for a, b in zip(errors, errors[1:])), errors
    assert errors[-1] < 0.002, errors


# --- class properties -----------------------------------------------------------------------

RQ_DOC = (
    "RaBitQ quantizer with extended bit support.\n\nQuantizes vectors into 1-8 bits per dimension "
    "using randomized\nHadamard rotation and uniform scalar quantization.\n\nArgs:\n    dimension: "
    "vector dimension (must be > 0).\n    seed: random seed for rotation matrix.\n    total_bits: "
    "bits per dimension, 1-8 (default 4)."
)
QV_DOC = (
    "Quantized vector produced by RaBitQ.\n\nContains binary codes, extended codes, and metadata "
    "needed for\napproximate distance computation."
)
FIT_DOC = (
    "Fit centroid from training vectors.\n\nAccepts either:\n  - A 2D numpy float32 array of shape "
    "(n, dimension) -- num_vectors\n    is inferred from shape[0].\n  - A flat list or 1D numpy "
    "array of floats (row-major) with an\n    explicit `num_vectors` parameter."
)


@pytest.mark.parametrize(
    "name, signature, doc",
    [
        ("fit", "($self, vectors, num_vectors=None)", FIT_DOC),
        ("set_centroid", "($self, centroid)", "Set centroid directly."),
        ("quantize", "($self, vector)",
         "Quantize a single vector.\n\nAccepts a list of floats or a numpy float32 1D array."),
        ("approximate_l2_sqr", "($self, query, quantized)",
         "Approximate L2 distance squared between query and quantized vector.\n\n"
         "`query` accepts a list of floats or a numpy float32 array."),
        ("approximate_distance", "($self, query, quantized)",
         "Approximate Euclidean distance (sqrt of L2 squared).\n\n"
         "`query` accepts a list of floats or a numpy float32 array."),
    ],
)
def test_method_docs(name, signature, doc):
    method = getattr(RQ, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc
    bound = getattr(RQ(2, 0), name)
    assert str(inspect.signature(bound)) == signature.replace("$self, ", "")


@pytest.mark.parametrize(
    "name, doc",
    [
        ("dimension", "Vector dimension."),
        ("ex_bits", "Number of extended bits (total_bits - 1)."),
        ("delta", "Quantization step size."),
        ("vl", "Lower bound of quantization range."),
        ("f_add", "Additive factor for distance estimation."),
        ("f_rescale", "Rescaling factor for distance estimation."),
        ("f_error", "Quantization error bound."),
        ("residual_norm", "Norm of the residual after centroid subtraction."),
        ("binary_codes", "Packed binary codes (1 bit per dimension)."),
        ("extended_codes", "Extended precision codes."),
        ("codes", "Combined multi-bit codes (one u16 per dimension)."),
    ],
)
def test_record_property_docs_and_read_only(name, doc):
    assert getattr(QV, name).__doc__ == doc
    _, v = example()
    before = getattr(v, name)
    with raises_exact(AttributeError):
        setattr(v, name, before)
    with raises_exact(AttributeError):
        delattr(v, name)
    assert getattr(v, name) == before


def test_class_surface():
    assert RQ.__module__ == QV.__module__ == "builtins"
    assert (RQ.__name__, RQ.__qualname__, QV.__name__, QV.__qualname__) == (
        "RaBitQQuantizer", "RaBitQQuantizer", "QuantizedVector", "QuantizedVector")
    assert RQ.__text_signature__ == "(dimension, seed, total_bits=4)"
    assert str(inspect.signature(RQ)) == "(dimension, seed, total_bits=4)"
    assert RQ.__doc__ == RQ_DOC and QV.__doc__ == QV_DOC
    assert RQ.__bases__ == (object,) and QV.__bases__ == (object,)
    assert {k for k in vars(RQ) if not k.startswith("__")} == {
        "fit", "set_centroid", "quantize", "approximate_l2_sqr", "approximate_distance"}
    assert {k for k in vars(QV) if not k.startswith("__")} == set(PROPERTIES)
    for cls in (RQ, QV):
        assert "__str__" not in vars(cls) and "__eq__" not in vars(cls)
        assert "__repr__" in vars(cls)


@pytest.mark.parametrize("cls", [RQ, QV])
def test_no_subclassing(cls):
    with raises_exact(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("args", [(), (1, 2)])
def test_quantized_vector_cannot_be_created(args):
    with raises_exact(TypeError):
        QV(*args)
    with raises_exact(TypeError):
        QV.__new__(QV)


def test_instances_are_plain_objects():
    q, v = example()
    for obj in (q, v):
        assert not hasattr(obj, "__dict__")
        with raises_exact(AttributeError):
            obj.foo = 1
        with raises_exact(TypeError):
            weakref.ref(obj)
        with raises_exact(TypeError):
            pickle.dumps(obj)
        with raises_exact(TypeError):
            iter(obj)
        with raises_exact(TypeError):
            len(obj)
        assert hash(obj) == hash(obj)
    assert v != q.quantize([1.0, 2.0, 3.0])  # equality is identity
    assert RQ(3, 0) != RQ(3, 0)
    with raises_exact(TypeError):
        RQ.quantize(mivo.TernaryQuantizer(3), [1.0, 2.0, 3.0])


# --- access conflicts through Python callbacks ---------------------------------------------

class Callback:
    """A number whose conversion runs `action` once and records what it raised."""

    def __init__(self, action, value=1.0):
        self.action, self.value, self.outcome = action, value, None

    def __float__(self):
        if self.outcome is None:
            try:
                self.outcome = ("ok", self.action())
            except BaseException as e:  # noqa: BLE001 - we record the exact type
                self.outcome = (type(e), str(e))
        return self.value


@pytest.mark.parametrize(
    "outer, inner, outcome",
    [
        ("fit", lambda q: q.fit([0.0, 0.0], 1), (RuntimeError, "Already borrowed")),
        ("fit", lambda q: q.set_centroid([0.0, 0.0]), (RuntimeError, "Already borrowed")),
        ("fit", lambda q: repr(q), (RuntimeError, "Already mutably borrowed")),
        ("fit", lambda q: q.quantize([1.0, 2.0]), (RuntimeError, "Already mutably borrowed")),
        ("set_centroid", lambda q: repr(q), (RuntimeError, "Already mutably borrowed")),
        ("set_centroid", lambda q: q.approximate_l2_sqr([1.0, 2.0], RQ(2, 0).quantize([1.0, 2.0])),
         (RuntimeError, "Already mutably borrowed")),
        ("set_centroid", lambda q: q.set_centroid([0.0, 0.0]), (RuntimeError, "Already borrowed")),
        ("quantize", lambda q: q.fit([0.0, 0.0], 1), (RuntimeError, "Already borrowed")),
        ("quantize", lambda q: q.set_centroid([0.0, 0.0]), (RuntimeError, "Already borrowed")),
        ("quantize", lambda q: repr(q), ("ok", "RaBitQQuantizer(dimension=2, total_bits=4)")),
        ("quantize", lambda q: q.quantize([1.0, 2.0]).dimension, ("ok", 2)),
        ("approximate_l2_sqr", lambda q: q.fit([0.0, 0.0], 1), (RuntimeError, "Already borrowed")),
        ("approximate_l2_sqr", lambda q: q.approximate_distance([0.0, 0.0], q.quantize([0.0, 0.0])),
         ("ok", 0.0)),
    ],
)
def test_access_conflicts_from_conversions(outer, inner, outcome):
    q = RQ(2, 0)
    cb = Callback(lambda: inner(q), 2.0)
    if outer == "fit":
        q.fit([1.0, cb], 1)
    elif outer == "set_centroid":
        q.set_centroid([1.0, cb])
    elif outer == "quantize":
        q.quantize([1.0, cb])
    else:
        q.approximate_l2_sqr([1.0, cb], q.quantize([1.0, 2.0]))
    assert cb.outcome == outcome
    # The access is given back: a writer and a reader work afterwards.
    q.fit([1.0, 2.0], 1)
    assert q.quantize([1.0, 2.0]).f_add == 0.0


def test_access_is_given_back_after_failures():
    q = RQ(2, 0)

    class Boom:
        def __float__(self):
            raise KeyError("boom")

    for call in (lambda: q.fit([Boom(), 1.0], 1), lambda: q.set_centroid([1.0, Boom()]),
                 lambda: q.quantize([Boom(), 0.0]), lambda: q.fit([1.0], 1),
                 lambda: q.approximate_l2_sqr([Boom(), 1.0], q.quantize([1.0, 1.0]))):
        with pytest.raises(BaseException):
            call()
    q.set_centroid([1.0, 1.0])
    assert q.quantize([1.0, 1.0]).f_add == 0.0


def test_outer_call_fails_with_the_callbacks_error():
    q = RQ(2, 0)

    class Reenter:
        def __float__(self):
            q.fit([0.0, 0.0], 1)
            return 0.0

    with raises_exact(RuntimeError, "Already borrowed"):
        q.fit([Reenter(), 0.0], 1)
    # a RuntimeError from a named parameter's conversion is not renamed
    with raises_exact(RuntimeError, "Already borrowed"):
        q.set_centroid([Reenter(), 0.0])
    assert q.quantize([0.0, 0.0]).f_add == 0.0  # no centroid was set
