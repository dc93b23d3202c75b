"""TernaryQuantizer, TernaryVector and the ternary similarity functions from Python."""
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
from hypothesis import given, settings, strategies as st

F32 = np.float32
TQ = mivo.TernaryQuantizer
TV = mivo.TernaryVector
NAN = float("nan")
INF = float("inf")


def b64(x):
    return struct.pack("<d", x)


def up(x):
    return float(np.nextafter(F32(x), F32(INF)))


def down(x):
    return float(np.nextafter(F32(x), F32(-INF)))


def tv(values):
    """A TernaryVector holding exactly `values` (each -1, 0 or 1)."""
    v = TQ(len(values), 0.5, -0.5, False).quantize([float(x) for x in values])
    assert v.to_list() == list(values)
    return v


def f32_norm(values):
    s = F32(-0.0)
    for x in values:
        x = F32(x)
        s = F32(s + F32(x * x))
    return np.sqrt(s)


# --- constructor ---------------------------------------------------------------------------

@pytest.mark.parametrize(
    "args, kwargs, exc, text",
    [
        ((4,), {"normalize": 1}, TypeError, "argument 'normalize': 'int' object is not an instance of 'bool'"),
        ((4,), {"normalize": None}, TypeError, "argument 'normalize': 'None' is not an instance of 'bool'"),
        ((4,), {"normalize": 0.0}, TypeError, "argument 'normalize': 'float' object is not an instance of 'bool'"),
        ((4,), {"normalize": "yes"}, TypeError, "argument 'normalize': 'str' object is not an instance of 'bool'"),
        ((4, 0.3, -0.3, []), {}, TypeError, "argument 'normalize': 'list' object is not an instance of 'bool'"),
        ((4,), {"threshold_high": None}, TypeError, None),
        ((4,), {"threshold_low": None}, TypeError, None),
        ((4,), {"threshold_high": "0.3"}, TypeError, None),
        ((4,), {"target_sparsity": "x"}, TypeError, None),
        ((4.0,), {}, TypeError, None),
        ((None,), {}, TypeError, None),
        ((-1,), {}, OverflowError, None),
        ((2**64,), {}, OverflowError, None),
        ((4,), {"threshold_high": 10**400}, OverflowError, None),
        ((4,), {"target_sparsity": -(10**400)}, OverflowError, None),
        # conversion order: dimension, threshold_high, threshold_low, normalize, target_sparsity
        ((-1, None), {}, OverflowError, None),
        ((4, None, None, 1, "x"), {}, TypeError, "threshold_high"),
        ((4, 0.3, None, 1, "x"), {}, TypeError, "threshold_low"),
        ((4, 0.3, 0.1, 1, "x"), {}, TypeError, "normalize"),
        ((4, 0.3, 0.1, True, "x"), {}, TypeError, "target_sparsity"),
        ((1, 2, 3, True, None, 6), {}, TypeError,
         "TernaryQuantizer.__new__() takes from 1 to 5 positional arguments but 6 were given"),
        ((), {}, TypeError, "TernaryQuantizer.__new__() missing 1 required positional argument: 'dimension'"),
        ((4,), {"sparsity": 0.5}, TypeError,
         "TernaryQuantizer.__new__() got an unexpected keyword argument 'sparsity'"),
        ((4, 0.3), {"threshold_high": 0.3}, TypeError,
         "TernaryQuantizer.__new__() got multiple values for argument 'threshold_high'"),
    ],
)
def test_constructor_errors(args, kwargs, exc, text):
    with raises_exact(exc) as info:
        TQ(*args, **kwargs)
    message = str(info.value)
    if exc is OverflowError:
        assert not message.startswith("argument '")
    elif text is None or " " not in text:  # an argument-named conversion failure
        name = text or next(iter(kwargs), "dimension")
        assert type(info.value.__cause__) is TypeError
        assert message == f"argument '{name}': {info.value.__cause__}"
    else:
        assert message == text


@pytest.mark.parametrize(
    "kwargs, vector, codes",
    [
        ({}, [0.2, 0.1], [1, 1]),  # normalised to (0.894, 0.447)
        ({"normalize": True}, [0.2, 0.1], [1, 1]),
        ({"normalize": False}, [0.2, 0.1], [0, 0]),
        ({"normalize": np.bool_(False)}, [0.2, 0.1], [0, 0]),
        ({"normalize": np.bool_(True)}, [0.2, 0.1], [1, 1]),
        ({"normalize": False, "target_sparsity": None}, [0.2, 0.5], [0, 1]),
        ({"threshold_high": 0.1, "normalize": False}, [0.1, up(0.1)], [0, 1]),  # both f32
        ({"threshold_low": -0.1, "normalize": False}, [-0.1, down(-0.1)], [0, -1]),
        ({"threshold_high": 1, "threshold_low": True, "normalize": False}, [1.0, 1.5], [0, 1]),
        ({"threshold_high": np.float64(0.0), "threshold_low": F32(0.0), "normalize": False},
         [-0.0, 1e-45], [0, 1]),
        ({"threshold_high": 1e39, "threshold_low": -1e39, "normalize": False}, [1e38, INF], [0, 0]),
        ({"threshold_high": -1.0, "threshold_low": 1.0, "normalize": False},
         [0.0, -1.0], [1, -1]),
        ({"dimension": 2, "normalize": False}, [0.3, -0.3], [0, 0]),
    ],
)
def test_constructor_conversions(kwargs, vector, codes):
    kwargs = {"dimension": 2, **kwargs}
    assert TQ(**kwargs).quantize(vector).to_list() == codes


def test_constructor_validates_nothing_else():
    for q, d in ((TQ(0), 0), (TQ(True), 1), (TQ(np.int64(3)), 3), (TQ(3, 2.0, 5.0), 3),
                 (TQ(3, target_sparsity=7.5), 3), (TQ(3, target_sparsity=NAN), 3),
                 (TQ(3, NAN, NAN, False, -1), 3)):
        assert repr(q) == f"TernaryQuantizer(dimension={d})"
        assert q.quantize([0.0] * d).dimension == d
    assert repr(TQ(128)) == str(TQ(128)) == "TernaryQuantizer(dimension=128)"
    assert repr(TQ(dimension=2**64 - 1)) == "TernaryQuantizer(dimension=18446744073709551615)"


# --- quantize ------------------------------------------------------------------------------

@pytest.mark.parametrize(
    "kwargs, vector, codes, norm",
    [
        ({"normalize": False}, [0.3, up(0.3), -0.3, down(-0.3)], [0, 1, 0, -1], None),
        ({"normalize": False}, [0.2, 0.5, -0.5], [0, 1, -1], None),
        ({}, [3.0, 4.0], [1, 1], 5.0),
        ({}, [0.0, 0.0, 0.0], [0, 0, 0], 0.0),
        ({}, [-0.0, -0.0], [0, 0], 0.0),
        ({}, [1e-12, -1e-12], [0, 0], None),  # norm below 1e-10: left unchanged
        ({}, [NAN, 1.0], [0, 1], None),  # a NaN norm is not above 1e-10: not normalised
        ({"normalize": False}, [NAN, INF, -INF], [0, 1, -1], None),
        ({"threshold_low": 1.0, "threshold_high": -1.0, "normalize": False},
         [5.0, -1.0, -2.0, 0.0, NAN], [1, -1, -1, 1, 0], None),
    ],
)
def test_quantize_examples(kwargs, vector, codes, norm):
    v = TQ(len(vector), **kwargs).quantize(vector)
    assert v.to_list() == codes
    expected = float(f32_norm(vector)) if norm is None else norm
    assert b64(v.original_norm) == b64(expected) or (math.isnan(expected) and math.isnan(v.original_norm))


def test_quantize_empty_and_errors():
    v = TQ(0).quantize([])
    assert v.dimension == 0 and b64(v.original_norm) == b64(-0.0)
    assert TQ(0).quantize(np.zeros(0, F32)).to_list() == []
    q = TQ(4)
    for vector, exc, text in [
        ([0.0] * 3, ValueError, "dimension mismatch: expected 4, got 3"),
        ([0.0] * 5, ValueError, "dimension mismatch: expected 4, got 5"),
        ("abcd", TypeError, "Can't extract `str` to `Vec`"),
        ({1.0}, TypeError, "'set' object is not an instance of 'Sequence'"),
        (np.zeros(8, F32)[::2], TypeError, "The given array is not contiguous or is misaligned."),
        ([10**400, 0, 0, 0], OverflowError, None),
    ]:
        with raises_exact(exc, text) as info:
            q.quantize(vector)
        assert not str(info.value).startswith("argument '")
    with raises_exact(TypeError, "TernaryQuantizer.quantize() missing 1 required positional argument: 'vector'"):
        q.quantize()


def model_quantize(x, mean=None, normalize=True, low=-0.3, high=0.3):
    x = [F32(a) for a in x]
    v = x if mean is None else [F32(a - F32(m)) for a, m in zip(x, mean)]
    if normalize:
        q = f32_norm(v)
        if q > F32(1e-10):
            v = [F32(a / q) for a in v]
    low, high = F32(low), F32(high)
    return [1 if a > high else -1 if a < low else 0 for a in v], float(f32_norm(x))


finite = st.floats(-1e6, 1e6, width=32)


@settings(max_examples=80, deadline=None)
@given(st.lists(finite, max_size=30), st.booleans(), st.data())
def test_quantize_matches_single_precision_model(x, normalize, data):
    d = len(x)
    q = TQ(d, 0.25, -0.125, normalize)
    v = q.quantize(np.array(x, F32))
    codes, norm = model_quantize(x, normalize=normalize, low=-0.125, high=0.25)
    assert v.to_list() == codes and b64(v.original_norm) == b64(norm)
    rows = data.draw(st.lists(st.lists(finite, min_size=d, max_size=d), min_size=1, max_size=4))
    q.fit(np.array(rows, F32).reshape(len(rows), d))
    mean = model_mean(rows, d)
    codes, _ = model_quantize(x, mean, normalize, -0.125, 0.25)
    assert q.quantize(x).to_list() == codes


def model_mean(rows, d):
    sums = [F32(0.0)] * d
    for row in rows:
        sums = [F32(s + F32(a)) for s, a in zip(sums, row)]
    return [F32(s / F32(len(rows))) for s in sums]


# --- fit -----------------------------------------------------------------------------------

ROWS = [[1.5, -2.0, 0.1], [0.25, 3.0, -0.7], [2.0, 2.0, 0.3], [7.0, 1e-3, 5.5]]


@pytest.mark.parametrize(
    "vectors, num_vectors",
    [
        (np.array(ROWS, F32), None),
        (np.array(ROWS, F32), 4),
        (np.asfortranarray(np.array(ROWS, F32)), None),
        ([v for row in ROWS for v in row], 4),
        (np.array(ROWS, F32).ravel(), 4),
        (np.array(ROWS).ravel(), np.int64(4)),
    ],
    ids=["2d", "2d-n", "fortran", "list", "1d-f32", "1d-f64"],
)
def test_fit_sets_the_mean(vectors, num_vectors):
    q = TQ(3, 0.0, 0.0, False)
    assert q.fit(vectors, num_vectors) is None
    mean = [float(m) for m in model_mean(ROWS, 3)]
    # With both thresholds 0 a value codes 0 only when it equals the mean bit for bit.
    assert q.quantize(mean).to_list() == [0, 0, 0]
    assert q.quantize([up(m) for m in mean]).to_list() == [1, 1, 1]
    assert q.quantize([down(m) for m in mean]).to_list() == [-1, -1, -1]


def test_fit_mean_examples():
    q = TQ(2)
    q.fit([1.0, 1.0, 3.0, 1.0], 2)
    assert q.quantize([2.0, 1.0]).to_list() == [0, 0]
    assert q.quantize([2.5, 1.0]).to_list() == [1, 0]  # (0.5, 0) normalised to (1, 0)
    assert q.quantize([2.5, 1.0]).original_norm == float(f32_norm([2.5, 1.0]))
    q.fit([1.0, 1.0], 1)
    assert q.quantize([5.0, 1.0]).to_list() == [1, 0]
    # No rows: refused (their mean would be NaN and code everything 0); the mean stays.
    for args in ((np.zeros((0, 2), F32),), ([], 0)):
        with raises_exact(ValueError, "invalid config: num_vectors -- must be > 0"):
            q.fit(*args)
        assert q.quantize([5.0, 1.0]).to_list() == [1, 0]


def test_fortran_array_is_read_in_logical_order():
    data = (np.arange(30, dtype=F32).reshape(10, 3) ** 1.5) % 7
    a, b = TQ(3, normalize=False, target_sparsity=0.4), TQ(3, normalize=False, target_sparsity=0.4)
    a.fit(data)
    b.fit(np.asfortranarray(data))
    for x in data:
        assert a.quantize(x).to_list() == b.quantize(x).to_list()
    c = TQ(3, 0.0, 0.0, False)
    c.fit(np.asfortranarray(data))
    assert c.quantize([float(m) for m in model_mean(data.tolist(), 3)]).to_list() == [0, 0, 0]


def rank_pattern(n, lo, hi):
    return [1 if k > hi else -1 if k < lo else 0 for k in range(n)]


@pytest.mark.parametrize(
    "s, n, lo, hi",
    [
        (0.6, 10, 1, 8),  # (1 - 0.6) * 0.5 * 10 is 1.9999999 in f32
        (0.3, 10, 3, 6),
        (0.5, 100, 25, 75),
        (1.0, 10, 0, 9),
        (0.0, 10, 5, 5),
        (0.0, 7, 3, 3),
        (2.0, 10, 0, 9),
        (NAN, 10, 0, 0),
        (-1.0, 10, 9, 0),
        (0.9, 1, 0, 0),
    ],
)
def test_fitted_thresholds_come_from_ranks(s, n, lo, hi):
    rng = np.random.default_rng(n)
    column = rng.permutation(n).astype(F32)  # mean (n - 1) / 2, exact
    q = TQ(1, 100.0, -100.0, False, s)
    q.fit(column.reshape(n, 1))
    assert [q.quantize([float(k)]).get(0) for k in range(n)] == rank_pattern(n, lo, hi)


def test_fitted_thresholds_are_per_dimension_and_replace_the_fixed_ones():
    n = 10
    rng = np.random.default_rng(1)
    cols = [rng.permutation(n) * 1.0, rng.permutation(n) * 10.0 + 3.0, -rng.permutation(n) * 0.5]
    data = np.stack(cols, axis=1).astype(F32)
    q = TQ(3, 0.0, 0.0, False, 0.6)
    q.fit(data)
    for k in range(n):
        x = [k * 1.0, k * 10.0 + 3.0, -(n - 1 - k) * 0.5]
        assert q.quantize(x).to_list() == [rank_pattern(n, 1, 8)[k]] * 3
    # fit does not normalise the training columns, but quantize normalises its input
    q = TQ(1, target_sparsity=0.6)
    q.fit(np.arange(10, dtype=F32).reshape(10, 1))
    assert q.quantize([100.0]).to_list() == [0]  # 100 - 4.5 normalised to 1.0, not above 3.5


@pytest.mark.parametrize(
    "args, exc, text",
    [
        (([0.0] * 29, 10), ValueError, "dimension mismatch: expected 30, got 29"),
        ((np.zeros((10, 4), F32),), ValueError, "dimension mismatch: expected 30, got 40"),
        ((np.zeros((4, 3), F32), 5), ValueError, "num_vectors=5 does not match array shape[0]=4"),
        (([0.0] * 12,), ValueError, "num_vectors is required when vectors is not a 2D numpy array"),
        ((np.zeros(12, F32),), ValueError, "num_vectors is required when vectors is not a 2D numpy array"),
        (([], 0), ValueError, "invalid config: num_vectors -- must be > 0 when target_sparsity is set"),
        ((np.zeros((0, 3), F32),), ValueError,
         "invalid config: num_vectors -- must be > 0 when target_sparsity is set"),
        (([0.0] * 3, 2**63), ValueError, "invalid config: num_vectors -- num_vectors * dimension overflows"),
        (([0.0] * 3, -1), OverflowError, None),
        (("abc", 1), TypeError, "Can't extract `str` to `Vec`"),
        ((np.zeros((4, 6), F32)[:, ::2],), TypeError, "The given array is not contiguous or is misaligned."),
        ((np.zeros((4, 6), F32)[:, ::2], 5), TypeError, "The given array is not contiguous or is misaligned."),
    ],
)
def test_fit_errors_change_nothing(args, exc, text):
    probe = [[0.3, -2.0, 5.0], [1.0, 1.0, 1.0], [-3.0, 0.0, 2.5]]
    fresh = TQ(3, normalize=False, target_sparsity=0.5)
    before = [fresh.quantize(x).to_list() for x in probe]
    with raises_exact(exc, text):
        fresh.fit(*args)
    assert [fresh.quantize(x).to_list() for x in probe] == before

    fitted = TQ(3, normalize=False, target_sparsity=0.5)
    fitted.fit(np.arange(30, dtype=F32).reshape(10, 3) % 4)
    before = [fitted.quantize(x).to_list() for x in probe]
    with raises_exact(exc, text):
        fitted.fit(*args)
    assert [fitted.quantize(x).to_list() for x in probe] == before


def test_fit_edge_cases():
    TQ(0, target_sparsity=0.5).fit([], 0)  # no dimension to select
    TQ(0, target_sparsity=0.5).fit([], 5)
    q = TQ(3, normalize=False, target_sparsity=0.5)
    q.fit([1.0, 2.0, 3.0], 1)  # both thresholds 0: codes by the sign of the difference
    assert q.quantize([1.0, 3.0, 2.0]).to_list() == [0, 1, -1]
    with raises_exact(TypeError) as info:
        q.fit("abc", 1.5)
    assert str(info.value) == f"argument 'num_vectors': {info.value.__cause__}"


# --- TernaryVector ----------------------------------------------------------------------

def test_vector_example():
    v = TQ(5, normalize=False).quantize([1.0, 0.0, -1.0, 1.0, -1.0])
    assert v.to_list() == [1, 0, -1, 1, -1]
    assert [v.get(i) for i in range(5)] == [1, 0, -1, 1, -1]
    assert (v.dimension, v.memory_bytes, v.original_norm) == (5, 2, 2.0)
    assert b64(v.sparsity) == b64(0.19999998807907104)
    assert repr(v) == str(v) == "TernaryVector(dimension=5, sparsity=0.20)"
    assert all(type(x) is int for x in (v.dimension, v.memory_bytes, v.get(0)))
    assert type(v.sparsity) is float and type(v.original_norm) is float
    lst = v.to_list()
    lst.append(7)
    assert v.to_list() == [1, 0, -1, 1, -1] and v.to_list() is not v.to_list()


@pytest.mark.parametrize(
    "values, sparsity, shown",
    [
        ([1, 1, 1, 1, 1, 1, 1, 0], 0.125, "0.12"),
        ([1, -1, 1, -1, 1, 0, 0, 0], 0.375, "0.38"),
        ([0] * 7, 1.0, "1.00"),
        ([1, -1, -1], 0.0, "0.00"),
        ([0] * 5 + [1] * 3, 0.625, "0.62"),
        ([1] * 11 + [0] * 5, 0.3125, "0.31"),
        ([], NAN, "NaN"),
    ],
)
def test_sparsity_and_repr(values, sparsity, shown):
    v = tv(values)
    assert b64(v.sparsity) == b64(sparsity) or (math.isnan(sparsity) and math.isnan(v.sparsity))
    assert repr(v) == f"TernaryVector(dimension={len(values)}, sparsity={shown})"
    assert v.memory_bytes == (len(values) + 3) // 4


def test_repr_ties_to_even_on_the_f32_value():
    for d in range(1, 70):
        for nz in range(d + 1):
            v = tv([1] * nz + [0] * (d - nz))
            s = F32(1.0) - F32(nz) / F32(d)
            assert b64(v.sparsity) == b64(float(s))
            shown = Decimal(float(s)).quantize(Decimal("0.01"), ROUND_HALF_EVEN)
            assert repr(v) == f"TernaryVector(dimension={d}, sparsity={shown})"


def test_dimension_zero():
    v = TQ(0).quantize([])
    assert v.to_list() == [] and v.memory_bytes == 0 and math.isnan(v.sparsity)
    assert repr(v) == "TernaryVector(dimension=0, sparsity=NaN)"
    with raises_exact(IndexError, "index 0 out of range for dimension 0"):
        v.get(0)


@pytest.mark.parametrize(
    "idx, exc, text",
    [
        (10, IndexError, "index 10 out of range for dimension 10"),
        (2**64 - 1, IndexError, "index 18446744073709551615 out of range for dimension 10"),
        (-1, OverflowError, None),
        (2**64, OverflowError, None),
        (1.0, TypeError, "idx"),
        ("1", TypeError, "idx"),
        (None, TypeError, "idx"),
    ],
)
def test_get_errors(idx, exc, text):
    v = tv([1, 0, -1, 1, -1, 0, 0, 1, 1, -1])
    with raises_exact(exc) as info:
        v.get(idx)
    if exc is TypeError:
        assert type(info.value.__cause__) is TypeError
        assert str(info.value) == f"argument 'idx': {info.value.__cause__}"
    elif text is not None:
        assert str(info.value) == text
    else:
        assert not str(info.value).startswith("argument '")


def test_get_accepts_indices():
    v = tv([1, 0, -1, 1, -1, 0, 0, 1, 1, -1])
    assert (v.get(9), v.get(idx=2), v.get(True), v.get(np.int64(4))) == (-1, -1, 0, -1)
    with raises_exact(TypeError, "TernaryVector.get() missing 1 required positional argument: 'idx'"):
        v.get()
    with raises_exact(TypeError, "TernaryVector.get() takes 1 positional arguments but 2 were given"):
        v.get(1, 2)
    with raises_exact(TypeError):
        v.to_list(1)
    with raises_exact(TypeError):
        v.to_list(x=1)


# --- similarity functions -------------------------------------------------------------------

A = [1, -1, 0, 1]
# 1 - 7 / (5 * sqrt(2)), each step in f32
COS_34 = float(F32(1.0) - F32(7.0) / F32(F32(5.0) * np.sqrt(F32(2.0))))
B = [1, 1, 0, -1]


@pytest.mark.parametrize(
    "func, a, b, expected",
    [
        ("ternary_hamming", A, B, 2),
        ("ternary_inner_product", A, B, -1),
        ("ternary_cosine_similarity", A, B, -0.3333333432674408),
        ("ternary_hamming", A, A, 0),
        ("ternary_inner_product", A, A, 3),
        ("ternary_cosine_similarity", A, A, 1.0),
        ("ternary_cosine_similarity", [1, -1, 1, -1, 1, 0], [1, -1, 1, -1, 1, 0], 1.0),
        ("ternary_cosine_similarity", [1, -1, 1, -1, 1, -1], [1, -1, 1, -1, 1, -1], 0.9999999403953552),
        ("ternary_cosine_similarity", [0, 0, 0], [0, 0, 0], 0.0),
        ("ternary_cosine_similarity", [1, 0, 0], [0, 0, 0], 0.0),
        ("ternary_hamming", [1, 1], [-1, 1], 1),
        ("ternary_hamming", [1] * 9, [-1] * 9, 9),
        ("ternary_hamming", A, [1, -1, 0], None),
        ("ternary_inner_product", A, [1, -1, 0], 0),
        ("ternary_cosine_similarity", A, [1, -1, 0], 0.0),
        ("ternary_hamming", [], [], 0),
        ("ternary_inner_product", [], [], 0),
        ("ternary_cosine_similarity", [], [], 0.0),
    ],
)
def test_symmetric_examples(func, a, b, expected):
    got = getattr(mivo, func)(tv(a), tv(b))
    assert type(got) is type(expected)
    assert got == expected and (not isinstance(got, float) or b64(got) == b64(expected))


@pytest.mark.parametrize(
    "query, codes, ip, cos",
    [
        ([0.5, -2.0, 3.0, 1.0], [1, -1, 0, 1], 3.5, 0.46469658613204956),
        ([INF, 1.0], [0, 1], NAN, NAN),
        ([1.0, 2.0], [0, 0], 0.0, 1.0),
        ([0.0, 0.0], [1, -1], 0.0, 1.0),
        ([], [], 0.0, 1.0),
        ([1.0, 2.0, 3.0], [1, -1, 0, 1], 0.0, 1.0),  # different lengths
        ([NAN, 1.0, 1.0], [1, -1, 0, 1], 0.0, NAN),
        ([0.1, 0.2, 0.3], [1, 1, 1], float(F32(F32(F32(0.1) + F32(0.2)) + F32(0.3))), None),
        ([3.0, 4.0], [1, 1], 7.0, COS_34),
    ],
)
def test_asymmetric_examples(query, codes, ip, cos):
    v = tv(codes)
    for q in (query, np.array(query, F32)):
        got = mivo.ternary_asymmetric_inner_product(q, v)
        assert b64(got) == b64(ip) or (math.isnan(ip) and math.isnan(got))
        if cos is not None:
            got = mivo.ternary_asymmetric_cosine_distance(q, v)
            assert b64(got) == b64(cos) or (math.isnan(cos) and math.isnan(got))


SYMMETRIC = ["ternary_hamming", "ternary_inner_product", "ternary_cosine_similarity"]
ASYMMETRIC = ["ternary_asymmetric_inner_product", "ternary_asymmetric_cosine_distance"]


@pytest.mark.parametrize("func", SYMMETRIC)
@pytest.mark.parametrize(
    "a, b, text",
    [
        ("v", [1, 0], "argument 'b': 'list' object is not an instance of 'TernaryVector'"),
        (None, "v", "argument 'a': 'None' is not an instance of 'TernaryVector'"),
        (1, None, "argument 'a': 'int' object is not an instance of 'TernaryVector'"),
        ("v", "qv", "argument 'b': 'QuantizedVector' object is not an instance of 'TernaryVector'"),
        ("v", "tq", "argument 'b': 'TernaryQuantizer' object is not an instance of 'TernaryVector'"),
    ],
)
def test_symmetric_argument_errors(func, a, b, text):
    objs = {"v": tv([1, 0]), "qv": mivo.RaBitQQuantizer(2, 0).quantize([1.0, 0.0]), "tq": TQ(2)}
    a, b = (objs.get(x, x) if isinstance(x, str) else x for x in (a, b))
    with raises_exact(TypeError, text) as info:
        getattr(mivo, func)(a, b)
    assert type(info.value.__cause__) is TypeError
    assert text.endswith(str(info.value.__cause__))


@pytest.mark.parametrize("func", ASYMMETRIC)
@pytest.mark.parametrize(
    "query, quantized, text",
    [
        ([1.0, 0.0], [1, 0], "argument 'quantized': 'list' object is not an instance of 'TernaryVector'"),
        ("x", 5, "argument 'quantized': 'int' object is not an instance of 'TernaryVector'"),
        (None, None, "argument 'quantized': 'None' is not an instance of 'TernaryVector'"),
        ("ab", "v", "Can't extract `str` to `Vec`"),
        (None, "v", "'None' is not an instance of 'Sequence'"),
        (np.zeros(4, F32)[::2], "v", "The given array is not contiguous or is misaligned."),
    ],
)
def test_asymmetric_argument_errors(func, query, quantized, text):
    quantized = tv([1, 0]) if quantized == "v" else quantized
    with raises_exact(TypeError, text) as info:
        getattr(mivo, func)(query, quantized)
    named = text.startswith("argument '")
    assert (type(info.value.__cause__) is TypeError) == named


def test_functions_by_keyword_and_same_object_twice():
    a, b = tv(A), tv(B)
    assert mivo.ternary_hamming(b=b, a=a) == 2
    assert mivo.ternary_inner_product(a, a) == 3
    assert mivo.ternary_asymmetric_inner_product(quantized=a, query=[1.0, 1.0, 1.0, 1.0]) == 1.0
    with raises_exact(TypeError, "ternary_hamming() missing 1 required positional argument: 'b'"):
        mivo.ternary_hamming(a)
    with raises_exact(TypeError,
                      "ternary_asymmetric_cosine_distance() takes 2 positional arguments but 3 were given"):
        mivo.ternary_asymmetric_cosine_distance([1.0], a, a)


ternary_values = st.lists(st.sampled_from([-1, 0, 1]), max_size=40)


def model_symmetric(x, y):
    hamming = sum(p != q for p, q in zip(x, y))
    ip = sum(p * q for p, q in zip(x, y))
    na, nb = np.sqrt(F32(sum(map(abs, x)))), np.sqrt(F32(sum(map(abs, y))))
    if na < F32(1e-10) or nb < F32(1e-10):
        cos = F32(0.0)
    else:
        cos = min(F32(1.0), max(F32(-1.0), F32(F32(ip) / F32(na * nb))))
    return hamming, ip, float(cos)


def model_asymmetric(query, values):
    s = F32(0.0)
    for q, w in zip(query, values):
        s = F32(s + F32(F32(q) * F32(w)))
    qn = f32_norm(query)
    tn = np.sqrt(F32(sum(map(abs, values))))
    if tn < F32(1e-10) or qn < F32(1e-10):
        return float(s), 1.0
    return float(s), float(F32(F32(1.0) - F32(s / F32(qn * tn))))


@settings(max_examples=150, deadline=None)
@given(ternary_values, st.data())
def test_functions_agree_with_to_list(values, data):
    d = len(values)
    other = data.draw(st.lists(st.sampled_from([-1, 0, 1]), min_size=d, max_size=d))
    query = data.draw(st.lists(st.floats(-1e4, 1e4, width=32), min_size=d, max_size=d))
    a, b = tv(values), tv(other)
    x, y = a.to_list(), b.to_list()
    hamming, ip, cos = model_symmetric(x, y)
    assert mivo.ternary_hamming(a, b) == hamming
    assert mivo.ternary_inner_product(a, b) == ip
    assert b64(mivo.ternary_cosine_similarity(a, b)) == b64(cos)
    aip, acos = model_asymmetric(query, x)
    assert b64(mivo.ternary_asymmetric_inner_product(query, a)) == b64(aip)
    assert b64(mivo.ternary_asymmetric_cosine_distance(np.array(query, F32), a)) == b64(acos)


# --- class surface, docs, module listing ---------------------------------------------------

TQ_DOC = (
    "Ternary quantizer: maps each dimension to {-1, 0, +1}.\n\nValues above `threshold_high` become "
    "+1, below `threshold_low` become -1,\nand values in between become 0. Optionally L2-normalizes "
    "input first.\n\nArgs:\n    dimension: vector dimension.\n    threshold_high: values above this "
    "become +1 (default 0.3).\n    threshold_low: values below this become -1 (default -0.3).\n    "
    "normalize: L2-normalize before thresholding (default True).\n    target_sparsity: adaptive "
    "sparsity target, or None (default None)."
)
TV_DOC = (
    "Ternary quantized vector ({-1, 0, +1} per dimension).\n\nStores values in a compact 2-bit "
    "encoding. Access individual values\nwith `get()` or retrieve all values with `to_list()`."
)
FIT_DOC = (
    "Fit adaptive thresholds from training vectors.\n\nAccepts either:\n  - A 2D numpy float32 array "
    "of shape (n, dimension) -- num_vectors\n    is inferred from shape[0].\n  - A flat list or 1D "
    "numpy array of floats (row-major) with an\n    explicit `num_vectors` parameter."
)


def test_class_surface():
    assert TQ.__module__ == TV.__module__ == "builtins"
    assert (TQ.__qualname__, TV.__qualname__) == ("TernaryQuantizer", "TernaryVector")
    assert TQ.__text_signature__ == (
        "(dimension, threshold_high=0.3, threshold_low=..., normalize=True, target_sparsity=None)")
    params = inspect.signature(TQ).parameters
    assert list(params) == ["dimension", "threshold_high", "threshold_low", "normalize", "target_sparsity"]
    assert [p.default for p in params.values()][1:] == [0.3, Ellipsis, True, None]
    assert params["dimension"].default is inspect.Parameter.empty
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params.values())
    assert TQ.__doc__ == TQ_DOC and TV.__doc__ == TV_DOC
    assert {k for k in vars(TQ) if not k.startswith("__")} == {"fit", "quantize"}
    assert {k for k in vars(TV) if not k.startswith("__")} == {
        "dimension", "original_norm", "sparsity", "memory_bytes", "get", "to_list"}
    docs = [
        (TQ.fit, "($self, vectors, num_vectors=None)", FIT_DOC),
        (TQ.quantize, "($self, vector)",
         "Quantize a single vector.\n\nAccepts a list of floats or a numpy float32 1D array."),
        (TV.get, "($self, idx)", "Get the ternary value at index (returns -1, 0, or +1)."),
        (TV.to_list, "($self)", "Return all ternary values as a list."),
    ]
    for method, signature, doc in docs:
        assert (method.__text_signature__, method.__doc__) == (signature, doc)
    for name, doc in [("dimension", "Number of dimensions."),
                      ("original_norm", "L2 norm of the original (pre-quantization) vector."),
                      ("sparsity", "Fraction of dimensions that are zero."),
                      ("memory_bytes", "Memory usage in bytes.")]:
        assert getattr(TV, name).__doc__ == doc


@pytest.mark.parametrize(
    "name, signature, doc",
    [
        ("ternary_inner_product", "(a, b)", "Inner product between two ternary vectors."),
        ("ternary_cosine_similarity", "(a, b)", "Cosine similarity between two ternary vectors."),
        ("ternary_asymmetric_inner_product", "(query, quantized)",
         "Asymmetric inner product: f32 query vs ternary codes.\n\n"
         "`query` accepts a list of floats or a numpy float32 array."),
        ("ternary_asymmetric_cosine_distance", "(query, quantized)",
         "Asymmetric cosine distance: 1 - cos(query, quantized).\n\n"
         "`query` accepts a list of floats or a numpy float32 array."),
        ("ternary_hamming", "(a, b)",
         "Hamming distance between two ternary vectors.\n\nReturns None if dimensions differ."),
    ],
)
def test_function_docs(name, signature, doc):
    f = getattr(mivo, name)
    assert (f.__text_signature__, f.__doc__, f.__name__, f.__module__) == (signature, doc, name, "mivo")
    assert f.__self__ is mivo


def test_module_listing():
    assert mivo.__all__ == [
        "__version__", "pack_binary", "unpack_binary", "hamming_distance", "asymmetric_inner_product",
        "asymmetric_l2_squared", "multibit_inner_product", "batch_hamming_distances",
        "batch_asymmetric_l2", "QuantizedVector", "RaBitQQuantizer", "TernaryVector",
        "TernaryQuantizer", "ternary_inner_product", "ternary_cosine_similarity",
        "ternary_asymmetric_inner_product", "ternary_asymmetric_cosine_distance", "ternary_hamming",
    ]


def test_module_dict_order():
    # Each name is appended to __all__ before its attribute is set.
    keys = list(vars(mivo))
    assert [k for k in keys if k in mivo.__all__] == mivo.__all__
    assert keys.index("__all__") < keys.index("__version__")


@pytest.mark.parametrize("cls", [TQ, TV])
def test_class_restrictions(cls):
    with raises_exact(TypeError):
        type("Sub", (cls,), {})
    obj = TQ(3) if cls is TQ else tv([1, 0, -1])
    assert not hasattr(obj, "__dict__")
    for action in (lambda: setattr(obj, "foo", 1), lambda: setattr(obj, "dimension", 3)):
        with raises_exact(AttributeError):
            action()
    for action in (lambda: weakref.ref(obj), lambda: pickle.dumps(obj), lambda: iter(obj), lambda: len(obj)):
        with raises_exact(TypeError):
            action()
    assert obj != (TQ(3) if cls is TQ else tv([1, 0, -1]))


def test_ternary_vector_cannot_be_created():
    with raises_exact(TypeError):
        TV()
    with raises_exact(TypeError):
        TV.__new__(TV)


# --- access conflicts through Python callbacks ---------------------------------------------

def test_access_conflicts_from_conversions():
    q = TQ(2, normalize=False)
    seen = []

    def attempt(action):
        try:
            seen.append(("ok", action()))
        except RuntimeError as e:
            seen.append((RuntimeError, str(e)))

    class Cb:
        def __init__(self, *actions):
            self.actions = actions

        def __float__(self):
            for action in self.actions:
                attempt(action)
            self.actions = ()
            return 1.0

    q.fit([Cb(lambda: q.fit([0.0, 0.0], 1), lambda: repr(q), lambda: q.quantize([1.0, 1.0])), 1.0], 1)
    assert seen == [(RuntimeError, "Already borrowed"), (RuntimeError, "Already mutably borrowed"),
                    (RuntimeError, "Already mutably borrowed")]
    seen.clear()
    q.quantize([Cb(lambda: q.fit([0.0, 0.0], 1), lambda: repr(q),
                   lambda: q.quantize([2.0, 0.0]).to_list()), 1.0])
    assert seen == [(RuntimeError, "Already borrowed"), ("ok", "TernaryQuantizer(dimension=2)"),
                    ("ok", [1, -1])]
    # the vector argument of the functions is taken shared: reads inside a query conversion work
    seen.clear()
    v = tv([1, -1])
    mivo.ternary_asymmetric_inner_product([Cb(lambda: v.to_list(), lambda: repr(v)), 1.0], v)
    assert seen == [("ok", [1, -1]), ("ok", "TernaryVector(dimension=2, sparsity=0.00)")]
    q.fit([5.0, 5.0], 1)  # the access was given back
    assert q.quantize([5.0, 6.0]).to_list() == [0, 1]
