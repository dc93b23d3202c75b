"""Batch kernels on 2-D uint8 code arrays: rows read in place give exactly what the
element-by-element path gives; every other layout or type still takes that path."""
import mivo
import numpy as np
import pytest
from conftest import raises_exact

U8, F32 = np.uint8, np.float32
RNG = np.random.default_rng(5)


def rows(a):
    return [bytes(r) for r in a]


def same(x, y):
    assert x.dtype == y.dtype and x.shape == y.shape and x.tobytes() == y.tobytes()


@pytest.mark.parametrize("n", [0, 1, 15, 16, 17, 70, 1000])
@pytest.mark.parametrize("width", [0, 1, 3, 8, 16, 24, 64, 128, 136])
def test_hamming_array_equals_list(n, width):
    codes = RNG.integers(0, 256, (n, width), dtype=U8)
    full = RNG.integers(0, 256, width + 5, dtype=U8).tobytes()
    for query in (full[:width], full, full[: width // 2], np.frombuffer(full, U8)):
        same(mivo.batch_hamming_distances(query, codes),
             mivo.batch_hamming_distances(query, rows(codes)))


@pytest.mark.parametrize("n", [0, 1, 15, 16, 63, 64, 65, 300])
@pytest.mark.parametrize("dim", [0, 1, 7, 8, 9, 100, 128, 129, 768, 1000])
def test_asymmetric_l2_array_equals_list(n, dim):
    need = (dim + 7) // 8
    codes = RNG.integers(0, 256, (n, need + n % 3), dtype=U8)
    q = (RNG.standard_normal(dim) * 10.0 ** RNG.integers(-20, 20, dim)).astype(F32)
    if dim > 2:
        q[[0, dim // 2, -1]] = [np.nan, -0.0, -np.inf]
    for query in (q, q.tolist(), q.astype(np.float64)):
        same(mivo.batch_asymmetric_l2(query, codes), mivo.batch_asymmetric_l2(q, rows(codes)))
    single = [mivo.asymmetric_l2_squared(q, r) for r in rows(codes)]
    same(mivo.batch_asymmetric_l2(q, codes), np.array(single, F32))


class Sub(np.ndarray):
    pass


def layouts():
    """2-D arrays that must take the element path, with the base array they copy."""
    base = RNG.integers(0, 256, (6, 4), dtype=U8)
    wide = np.zeros((6, 8), U8)
    wide[:, ::2] = base
    unaligned = np.frombuffer(b"\0" + base.tobytes(), U8, offset=1).reshape(6, 4)
    return [
        ("fortran", np.asfortranarray(base)),
        ("strided", wide[:, ::2]),
        ("rows-strided", np.repeat(base, 2, axis=0)[::2]),
        ("subclass", base.view(Sub)),
        ("int8", base.view(np.int8)),
        ("uint16", base.astype(np.uint16)),
        ("unaligned-u8", unaligned),  # uint8 is always aligned: still the fast path
        ("read-only", np.frombuffer(base.tobytes(), U8).reshape(6, 4)),
    ]


@pytest.mark.parametrize("name,codes", layouts())
def test_other_layouts_give_the_element_path_result(name, codes):
    def via_elements(fn, q):
        try:
            return fn(q, list(codes))
        except BaseException as e:  # noqa: BLE001 - the element path's own error
            return e

    for fn, q in ((mivo.batch_hamming_distances, b"\x0f\xf0\x33\xcc"),
                  (mivo.batch_asymmetric_l2, np.linspace(-1, 1, 29, dtype=F32))):
        want = via_elements(fn, q)
        if isinstance(want, BaseException):
            with raises_exact(type(want), str(want)):
                fn(q, codes)
        else:
            same(fn(q, codes), want)


def test_fortran_rows_are_refused_as_the_element_path_does():
    codes = np.asfortranarray(np.arange(12, dtype=U8).reshape(3, 4))
    with raises_exact(TypeError, "The given array is not contiguous or is misaligned."):
        mivo.batch_hamming_distances(b"\0", codes)


def test_short_rows_report_the_row_length():
    codes = np.zeros((3, 1), U8)
    with raises_exact(ValueError, "dimension mismatch: expected 2, got 1"):
        mivo.batch_asymmetric_l2(np.ones(9, F32), codes)
    same(mivo.batch_asymmetric_l2(np.ones(0, F32), codes), np.zeros(3, F32))


class Hook:
    """A query element whose conversion changes the codes array."""

    def __init__(self, target, mutate):
        self.target, self.mutate = target, mutate

    def __index__(self):
        self.mutate(self.target)
        return 0x0F

    def __float__(self):
        self.mutate(self.target)
        return 0.5


def reshape(a):
    a.shape = (a.size, 1)


def retype(a):
    a.dtype = np.int8


def widen(a):
    a.dtype = np.uint16


def write(a):
    a[0, 0] = 0x5A


@pytest.mark.parametrize("mutate", [reshape, retype, widen, write])
@pytest.mark.parametrize("fn, query", [(mivo.batch_hamming_distances, lambda h: [h]),
                                       (mivo.batch_asymmetric_l2, lambda h: [h] * 9)],
                         ids=["hamming", "asymmetric_l2"])
def test_rows_are_fixed_when_the_codes_are_converted(mutate, fn, query):
    """The codes are converted before the query, whose conversion may reshape, retype
    or write the array: an exact ndarray gives what a subclass and the list of its
    rows give (the rows it had, with the contents they have when they are read)."""
    results = []
    for variant in ("ndarray", "subclass", "rows"):
        base = np.array([[0xFF, 0x00], [0x0F, 0xF0]], U8)
        passed = {"ndarray": base, "subclass": base.view(Sub), "rows": list(base)}[variant]
        target = base if variant == "rows" else passed
        results.append(fn(query(Hook(target, mutate)), passed))
    assert results[0].shape == (2,)
    for other in results[1:]:
        same(results[0], other)


def test_codes_outer_argument_is_checked_first():
    with raises_exact(TypeError, "argument 'codes': Can't extract `str` to `Vec`"):
        mivo.batch_asymmetric_l2("not a query", "ab")
    with raises_exact(TypeError, "Can't extract `str` to `Vec`"):
        mivo.batch_asymmetric_l2("not a query", np.zeros((2, 2), U8))
