"""Hostile arguments: objects that raise, lie about their length or call back into the
module, lists changed while they are read, arrays of every kind and layout, huge sizes
and special floats. No call may crash or raise an undocumented exception, and a failed
call leaves every object exactly as it was."""
import array
import math
import struct
import warnings

import mivo
import numpy as np
import pytest
from conftest import raises_exact
from hypothesis import given, settings, strategies as st

F32 = np.float32
D = 8
CENTRE = [0.5 * i - 1.5 for i in range(D)]  # exact in f32
DATA = (np.arange(4 * D, dtype=F32).reshape(4, D) / F32(7)) - F32(2)
PROBE = [0.25 * i - 0.875 for i in range(D)]
ACCESS_TEXTS = ("Already borrowed", "Already mutably borrowed")
NOT_CONTIGUOUS = (TypeError, "The given array is not contiguous or is misaligned.")
inf, nan = math.inf, math.nan


def bits(x):
    """A result as exactly comparable data: floats by their bits (-0.0 included; every
    NaN alike, since no result fixes a NaN's sign or payload)."""
    if isinstance(x, float):
        return struct.pack("<d", x) if x == x else "NaN"
    if isinstance(x, (list, tuple)):
        return type(x)(bits(v) for v in x)
    return x


QV_FIELDS = ("dimension", "ex_bits", "delta", "vl", "f_add", "f_rescale", "f_error",
             "residual_norm", "binary_codes", "extended_codes", "codes")


def state(o):
    """Everything observable about one of the module's objects, as comparable data."""
    if isinstance(o, mivo.QuantizedVector):
        return (repr(o),) + tuple(bits(getattr(o, f)) for f in QV_FIELDS)
    if isinstance(o, mivo.TernaryVector):
        return (repr(o), o.dimension, bits(o.original_norm), bits(o.sparsity), o.memory_bytes,
                o.to_list())
    n = int(repr(o).split("=")[1].split(",")[0].rstrip(")"))
    x, y = (PROBE * 2)[:n], (CENTRE * 2)[:n]
    if isinstance(o, mivo.RaBitQQuantizer):
        rec = o.quantize(x)
        return (repr(o), state(rec), bits(o.approximate_l2_sqr(x[::-1], rec)),
                bits(o.approximate_distance(y, rec)))
    return (repr(o), state(o.quantize(x)), state(o.quantize(y)))


def outcome(call, *args):
    try:
        return ("ok", bits(call(*args)))
    except Exception as e:  # noqa: BLE001 - compared by type and text
        return (type(e), str(e))


class World:
    """Fresh objects. Callbacks only write what an object already holds (the centroid
    CENTRE, the fit on DATA), so no call may change any state unless it succeeds
    itself and writes."""

    def __init__(self):
        self.rq = mivo.RaBitQQuantizer(D, 5, 3)
        self.rq.fit(np.array([CENTRE], F32))  # one row: the centroid is CENTRE exactly
        self.tq = mivo.TernaryQuantizer(D, target_sparsity=0.5)
        self.tq.fit(DATA)
        self.qv = self.rq.quantize(DATA[1])
        self.tv = self.tq.quantize(DATA[2])
        self.before = self.states()

    def states(self):
        return {name: state(getattr(self, name)) for name in ("rq", "tq", "qv", "tv")}


# Callbacks: (objects and the access they take, in order; action).
ACTIONS = {
    "rq.fit": ([("rq", "x")], lambda w: w.rq.fit(CENTRE, 1)),
    "rq.set_centroid": ([("rq", "x")], lambda w: w.rq.set_centroid(CENTRE)),
    "repr(rq)": ([("rq", "s")], lambda w: repr(w.rq)),
    "rq.quantize": ([("rq", "s")], lambda w: w.rq.quantize(PROBE).codes),
    "rq.estimate": ([("rq", "s"), ("qv", "s")], lambda w: w.rq.approximate_l2_sqr(PROBE, w.qv)),
    "tq.fit": ([("tq", "x")], lambda w: w.tq.fit(DATA)),
    "repr(tq)": ([("tq", "s")], lambda w: repr(w.tq)),
    "tq.quantize": ([("tq", "s")], lambda w: w.tq.quantize(PROBE).to_list()),
    "qv.codes": ([("qv", "s")], lambda w: w.qv.codes),
    "tv.get": ([("tv", "s")], lambda w: w.tv.get(1)),
    "ternary_hamming": ([("tv", "s")], lambda w: mivo.ternary_hamming(w.tv, w.tv)),
}


def expected_access(held, wanted):
    """The error of the access rules for a callback, or None when it may run."""
    for name, mode in wanted:
        if held.get(name) == "x":
            return "Already borrowed" if mode == "x" else "Already mutably borrowed"
        if held.get(name) == "s" and mode == "x":
            return "Already borrowed"
    return None


# Calls whose sequence argument runs the callbacks: (objects held meanwhile, call).
FLOAT_CALLS = {
    "rq.quantize": ({"rq": "s"}, lambda w, s: w.rq.quantize(s)),
    "rq.set_centroid": ({"rq": "x"}, lambda w, s: w.rq.set_centroid(s)),
    "rq.fit": ({"rq": "x"}, lambda w, s: w.rq.fit(s, 1)),
    "rq.approximate_l2_sqr": ({"rq": "s", "qv": "s"}, lambda w, s: w.rq.approximate_l2_sqr(s, w.qv)),
    "rq.approximate_distance": ({"rq": "s", "qv": "s"},
                                lambda w, s: w.rq.approximate_distance(s, w.qv)),
    "tq.quantize": ({"tq": "s"}, lambda w, s: w.tq.quantize(s)),
    "tq.fit": ({"tq": "x"}, lambda w, s: w.tq.fit(s, 1)),
    "ternary_asymmetric_inner_product": ({"tv": "s"},
                                         lambda w, s: mivo.ternary_asymmetric_inner_product(s, w.tv)),
    "ternary_asymmetric_cosine_distance": (
        {"tv": "s"}, lambda w, s: mivo.ternary_asymmetric_cosine_distance(s, w.tv)),
    "asymmetric_inner_product": ({}, lambda w, s: mivo.asymmetric_inner_product(s, b"\xa5\x0f")),
    "asymmetric_l2_squared": ({}, lambda w, s: mivo.asymmetric_l2_squared(s, b"\xa5\x0f")),
    "batch_asymmetric_l2": ({}, lambda w, s: mivo.batch_asymmetric_l2(s, [b"\xa5\x0f", b"\x01\x02"])),
}
INT_CALLS = {
    "pack_binary": ({}, lambda w, s: mivo.pack_binary(s)),
    "hamming_distance": ({}, lambda w, s: mivo.hamming_distance(b"\x0f", s)),
    "batch_hamming_distances": ({}, lambda w, s: mivo.batch_hamming_distances(s, [s, b"\x01"])),
    "multibit_inner_product": ({}, lambda w, s: mivo.multibit_inner_product(PROBE, s, 3)),
}
WRITERS = {"rq.set_centroid": "rq", "rq.fit": "rq", "tq.fit": "tq"}


class Hostile:
    """A number whose conversion first runs callbacks (named in ACTIONS), then mutates
    the list it sits in (once), then returns its value or raises."""

    def __init__(self, value, names=(), raises=None, mutate=None):
        self.value, self.names, self.raises, self.mutate = value, names, raises, mutate
        self.callbacks, self.target = (), None

    def _convert(self):
        for callback in self.callbacks:
            callback()
        if self.mutate is not None and self.target is not None:
            mutate, self.mutate = self.mutate, None  # once, or an insertion never ends
            mutate(self.target)
        if self.raises is not None:
            raise self.raises("hostile")
        return self.value

    def __float__(self):
        return float(self._convert())

    def __index__(self):
        return int(self._convert())


class Lying:
    """A sequence whose length (when it reports one) has nothing to do with its items."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        return iter(self.items)


def same(items):
    return items  # the list itself, so that mutations reach it


MUTATIONS = {
    "append": lambda items: items.append(1),
    "pop": lambda items: items and items.pop(),
    "clear": lambda items: items.clear(),
    "insert at 0": lambda items: items.insert(0, 1),
    "replace next": lambda items: items.__setitem__(slice(1, 2), [2, 2]),
}


def run_call(world, calls, name, elements, container):
    """Runs one call with a sequence of elements whose callbacks act on `world`; checks
    the documented outcome of every callback and of the call, and the states."""
    held, call = calls[name]
    log = []
    items = list(elements)
    for e in items:
        if isinstance(e, Hostile):
            e.callbacks = [_recorder(world, held, log, n) for n in e.names]
            e.target = items
    seq = container(items)
    result = outcome(call, world, seq)
    for got, want in log:
        assert got == want
    if result[0] == RuntimeError:
        assert result[1] in ACCESS_TEXTS or result[1] == "hostile"
    else:
        assert result[0] in ("ok", TypeError, ValueError, OverflowError, ZeroDivisionError), result
    after = world.states()
    if result[0] == "ok" and name in WRITERS:
        del after[WRITERS[name]], world.before[WRITERS[name]]
    assert after == world.before, (name, result)
    return result, log


def _recorder(world, held, log, name):
    wanted, action = ACTIONS[name]

    def run():
        want = expected_access(held, wanted)
        try:
            action(world)
            log.append((None, want))
        except RuntimeError as e:
            log.append((str(e), want))
    return run


@pytest.mark.parametrize("calls, name", [(FLOAT_CALLS, n) for n in FLOAT_CALLS] +
                         [(INT_CALLS, n) for n in INT_CALLS])
def test_callbacks_meet_the_access_rules(calls, name):
    # Every callback from inside every conversion: refused exactly where the access
    # rules say so, and the refusal (or the work) leaves every object as it was.
    for callback in ACTIONS:
        world = World()
        elements = [Hostile(1, [callback])] + [1] * (D - 1)
        result, log = run_call(world, calls, name, elements, same)
        assert result[0] == "ok" and log, (callback, result)


elements_st = st.one_of(
    st.integers(0, 3),
    st.sampled_from([0.5, -1.0, nan, inf, -0.0, 1e-45, 1e39]),
    st.builds(Hostile, st.integers(0, 3), st.lists(st.sampled_from(sorted(ACTIONS)), max_size=2),
              st.sampled_from([None, ValueError, TypeError, OverflowError, ZeroDivisionError,
                               RuntimeError]),
              st.sampled_from([None, *MUTATIONS.values()])),
)
containers_st = st.one_of(
    st.just(same), st.just(tuple),
    st.builds(lambda n: (lambda items: Lying(items, n)),
              st.sampled_from([0, 1, 2**62, 2**100, -1, ValueError("len")])),
)


@settings(max_examples=300, deadline=None)
@given(st.sampled_from([(FLOAT_CALLS, n) for n in FLOAT_CALLS] + [(INT_CALLS, n) for n in INT_CALLS]),
       st.lists(elements_st, max_size=D + 2), containers_st)
def test_hostile_sequences(call, elements, container):
    run_call(World(), *call, elements, container)


@pytest.mark.parametrize("mutation", sorted(MUTATIONS))
@pytest.mark.parametrize("container", [lambda items: items, lambda items: Lying(items, 3)])
def test_sequences_changed_while_read_convert_as_iteration_sees_them(mutation, container):
    # Python's own iteration over the same scenario is the model: it runs the same
    # conversions in the same order, so it sees the same items.
    def scenario():
        items = [Hostile(1, mutate=MUTATIONS[mutation]), 0, 2, 1, 0]
        items[0].target = items
        return items
    model = [int(x) for x in scenario()]
    tq = mivo.TernaryQuantizer(len(model), normalize=False, threshold_high=0.5)
    assert tq.quantize(container(scenario())).to_list() == [min(v, 1) for v in model]
    assert (mivo.pack_binary(container(scenario())).tolist() ==
            mivo.pack_binary(model).tolist())
    assert (mivo.multibit_inner_product([1.0] * 16, container(scenario()), 0) ==
            mivo.multibit_inner_product([1.0] * 16, model, 0))


class Surrogate:
    pass


Surrogate.__qualname__ = "odd\udc80name"  # a name that UTF-8 cannot encode


class RaisingModule(type):
    """A metaclass whose classes cannot tell their module."""

    @property
    def __module__(cls):
        raise cls.error


@pytest.mark.parametrize(
    "call, exc, text",
    [
        # Names the interpreter accepts but UTF-8 cannot encode still give the TypeError.
        (lambda w: mivo.pack_binary(Surrogate()), TypeError,
         "'odd\udc80name' object is not an instance of 'Sequence'"),
        (lambda w: mivo.ternary_hamming(w.tv, Surrogate()), TypeError,
         "argument 'b': 'odd\udc80name' object is not an instance of 'TernaryVector'"),
        (lambda w: w.rq.fit(CENTRE, num_vectors=1, **{"\udc80": 1}), TypeError,
         "RaBitQQuantizer.fit() got an unexpected keyword argument '\udc80'"),
        (lambda w: mivo.TernaryQuantizer(**{"\udc80": 1}), TypeError,
         "TernaryQuantizer.__new__() got an unexpected keyword argument '\udc80'"),
        # An ordinary error while asking for a length or a module name is ignored; an
        # interruption is not swallowed.
        (lambda w: w.rq.set_centroid(Lying(CENTRE, KeyboardInterrupt())), KeyboardInterrupt, None),
        (lambda w: mivo.pack_binary(Lying([1, 2], SystemExit(3))), SystemExit, None),
        (lambda w: mivo.TernaryQuantizer(2, normalize=RaisingModule("bool_", (), {
            "error": KeyboardInterrupt})()), KeyboardInterrupt, None),
        (lambda w: mivo.TernaryQuantizer(2, normalize=RaisingModule("bool_", (), {
            "error": ValueError})()), TypeError,
         "argument 'normalize': 'bool_' object is not an instance of 'bool'"),
    ],
)
def test_odd_names_and_interruptions(call, exc, text):
    world = World()
    with raises_exact(exc, text):
        call(world)
    assert world.states() == world.before


# --- arrays of every kind and layout -----------------------------------------------------

VALUES = [1, 0, 3, 2, 0, 1, 1, 2]
DTYPES = ["f4", ">f4", "f8", ">f8", "f2", "g", "i1", "u1", "i2", ">u2", "i4", "u4", "i8", ">i8",
          "u8", "?", "c8", ">c8", "c16", "O", "U2", "S2", "M8[s]", "m8[s]", "V4", "f4,u1",
          [("a", "f4")]]


class Sub(np.ndarray):
    """A subclass whose own sequence protocol is never used for a recognised array."""

    def __iter__(self):
        return iter(np.asarray(self).tolist()[::-1])


def layouts(dtype):
    base = np.array(VALUES).astype(dtype)
    frozen = base.copy()
    frozen.flags.writeable = False
    yield "contiguous", base
    yield "read-only", frozen
    yield "reversed", base[::-1]
    yield "strided", np.array(VALUES * 2).astype(dtype)[::2]
    yield "zero stride", np.lib.stride_tricks.as_strided(base[:1], (4,), (0,), writeable=False)
    yield "empty", base[:0]
    yield "empty strided", base[:0:-2][:0]
    yield "0-d", np.array(base[0])
    yield "2-D", base.reshape(2, 4)
    yield "2-D column-major", np.asfortranarray(base.reshape(2, 4))
    yield "2-D sliced", np.array(VALUES * 2).astype(dtype).reshape(2, 8)[:, ::2]
    yield "3-D", base.reshape(2, 2, 2)
    yield "3-D sliced", np.array(VALUES * 2).astype(dtype).reshape(2, 2, 4)[:, :, ::2]
    yield "subclass", base.view(Sub)
    yield "2-D subclass", base.reshape(2, 4).view(Sub)
    if base.dtype != object:
        odd = np.ndarray((8,), base.dtype, np.zeros(8 * base.itemsize + 8, np.uint8),
                         strides=(base.itemsize + 1,))
        odd[...] = base
        yield "odd stride", odd
        raw = np.zeros(base.nbytes + 1, np.uint8)
        misaligned = raw[1:].view(base.dtype)
        misaligned[...] = base
        yield "offset 1", misaligned
        yield "2-D offset 1", misaligned.reshape(2, 4)


with warnings.catch_warnings():  # np.matrix is discouraged, but users still pass it
    warnings.simplefilter("ignore", PendingDeprecationWarning)
    MATRIX = np.matrix(np.array(VALUES, F32).reshape(2, 4))

OTHERS = [
    ("matrix", MATRIX),
    ("memoryview f", memoryview(np.array(VALUES, F32))),
    ("memoryview B", memoryview(bytes(VALUES))),
    ("memoryview 2-D", memoryview(np.array(VALUES, F32).reshape(2, 4))),
    ("array f", array.array("f", VALUES)),
    ("array d", array.array("d", VALUES)),
    ("array B", array.array("B", VALUES)),
    ("array q", array.array("q", VALUES)),
    ("bytes", bytes(VALUES)),
    ("bytearray", bytearray(VALUES)),
]


def model(a, ndim, dtype):
    """What the module reads where it recognises arrays of (ndim, dtype): the array's
    values in row-major order, the refusal of a layout it cannot copy, or, for any
    other object, the items that iteration yields."""
    if isinstance(a, np.ndarray) and a.ndim == ndim and a.dtype == np.dtype(dtype):
        if a.size and not (a.flags.aligned and (a.flags.c_contiguous or a.flags.f_contiguous)):
            return NOT_CONTIGUOUS
        return np.ascontiguousarray(a)
    try:
        return list(a)
    except Exception as e:  # noqa: BLE001 - the module meets the same error
        return (type(e), str(e))


def fresh_fit(v):
    q = mivo.RaBitQQuantizer(4, 9, 4)
    q.fit(v)
    return state(q)


def fresh_centroid(v):
    q = mivo.RaBitQQuantizer(4, 9, 4)
    q.set_centroid(v)
    return state(q)


# (role, call, the (ndim, dtype) the role recognises or None, the name on its TypeErrors)
ROLES = [
    ("float vector", lambda v: mivo.asymmetric_inner_product(v, b"\xa5\x5a"), (1, "=f4"), ""),
    ("byte codes", lambda v: mivo.pack_binary(v).tolist(), (1, "u1"), ""),
    ("code list", lambda v: mivo.batch_hamming_distances(b"\x0f\xf0", v).tolist(), None,
     "argument 'codes': "),
    ("float sequence", fresh_centroid, None, "argument 'centroid': "),
    ("fitting matrix", fresh_fit, (2, "=f4"), ""),
]


@pytest.mark.filterwarnings("ignore")  # complex to real casts warn
@pytest.mark.parametrize("dtype", DTYPES + ["others"], ids=str)
def test_arrays_of_every_kind(dtype):
    cases = OTHERS if dtype == "others" else list(layouts(dtype))
    for layout, a in cases:
        for role, call, recognised, named in ROLES:
            if recognised is None:
                m = model(a, -1, "u1")
            elif role == "fitting matrix" and getattr(a, "ndim", 0) != 2:
                m = model(a, 1, "=f4")  # read as a float vector, then num_vectors is missing
            else:
                m = model(a, *recognised)
            if not isinstance(m, tuple):
                want = outcome(call, m)
            elif m[0] is TypeError and m != NOT_CONTIGUOUS:
                want = (TypeError, named + m[1])
            else:
                want = m
            assert outcome(call, a) == want, (layout, role)


# --- huge sizes ------------------------------------------------------------------------------

OVERFLOWS = "invalid config: num_vectors -- num_vectors * dimension overflows"
NO_ROWS = "invalid config: num_vectors -- must be > 0"


@pytest.mark.parametrize(
    "call, exc, text",
    [
        # Sizes whose allocations no machine can grant (products beyond 2**64 or far beyond
        # the address space): refused as MemoryError before anything is touched.
        (lambda w: mivo.RaBitQQuantizer(2**32, 1), MemoryError, None),
        (lambda w: mivo.RaBitQQuantizer(2**48, 1, 8), MemoryError, None),
        (lambda w: mivo.RaBitQQuantizer(2**58, 1), MemoryError, None),  # 64 * d wraps to 0
        (lambda w: mivo.RaBitQQuantizer(2**64 - 1, 2**64 - 1, 1), MemoryError, None),
        (lambda w: mivo.RaBitQQuantizer(2**64, 1), OverflowError, None),
        # No rows are refused before the mean is sized.
        (lambda w: mivo.TernaryQuantizer(2**48).fit([], 0), ValueError, NO_ROWS),
        (lambda w: mivo.TernaryQuantizer(2**62).fit(np.zeros((0, 3), F32)), ValueError, NO_ROWS),
        (lambda w: mivo.TernaryQuantizer(2**64 - 1).fit([], 0), ValueError, NO_ROWS),
        (lambda w: mivo.TernaryQuantizer(2**48, target_sparsity=0.5).fit([], 0), ValueError,
         "invalid config: num_vectors -- must be > 0 when target_sparsity is set"),
        (lambda w: mivo.TernaryQuantizer(2**48).quantize([1.0]), ValueError,
         "dimension mismatch: expected 281474976710656, got 1"),
        (lambda w: w.rq.fit([], 2**48), ValueError,
         "dimension mismatch: expected 2251799813685248, got 0"),
        (lambda w: w.rq.fit(PROBE, 2**61), ValueError, OVERFLOWS),
        (lambda w: w.tq.fit([], 2**64 - 1), ValueError, OVERFLOWS),
        (lambda w: w.tq.fit(np.zeros((0, D), F32), 2**48), ValueError,
         "num_vectors=281474976710656 does not match array shape[0]=0"),
        (lambda w: w.tq.fit([], 2**64), OverflowError, None),
        (lambda w: mivo.unpack_binary(b"\xff", 2**48), ValueError,
         "dimension mismatch: expected 35184372088832, got 1"),
        (lambda w: mivo.unpack_binary(b"\xff", 2**64 - 1), ValueError,
         "dimension mismatch: expected 2305843009213693952, got 1"),
        (lambda w: mivo.unpack_binary(b"\xff", 2**64), OverflowError, None),
        (lambda w: w.tv.get(2**48), IndexError, "index 281474976710656 out of range for dimension 8"),
        (lambda w: w.tv.get(2**64 - 1), IndexError,
         "index 18446744073709551615 out of range for dimension 8"),
        (lambda w: w.tv.get(2**64), OverflowError, None),
        (lambda w: mivo.multibit_inner_product([1.0], [1], 2**64), OverflowError, None),
        # 2**48 empty rows: the result cannot be allocated, unless a row is too short.
        (lambda w: mivo.batch_hamming_distances(b"", np.empty((2**48, 0), np.uint8)), MemoryError,
         None),
        (lambda w: mivo.batch_asymmetric_l2([], np.empty((2**48, 0), np.uint8)), MemoryError, None),
        (lambda w: mivo.batch_asymmetric_l2([1.0], np.empty((2**48, 0), np.uint8)), ValueError,
         "dimension mismatch: expected 1, got 0"),
        (lambda w: w.rq.fit(np.empty((2**48, 0), F32)), ValueError,
         "dimension mismatch: expected 2251799813685248, got 0"),
    ],
)
def test_huge_sizes_are_refused_in_order(call, exc, text):
    world = World()
    with raises_exact(exc, text):
        call(world)
    assert world.states() == world.before


@pytest.mark.parametrize("count", [2**48, 2**62, 2**64 - 1])
def test_counts_without_data_cost_nothing(count):
    # Zero dimensions fit any count of rows: nothing is allocated for them.
    for target in (None, 0.0, 0.5):
        q = mivo.TernaryQuantizer(0, target_sparsity=target)
        q.fit([], count)
        if count <= 2**48:  # NumPy's own limit on a dimension
            q.fit(np.empty((count, 0), F32))
        assert q.quantize([]).to_list() == []


# --- special floats --------------------------------------------------------------------------

def tv_of(*values):
    return mivo.TernaryQuantizer(len(values), normalize=False).quantize([float(v) for v in values])


def nan_record():
    return mivo.RaBitQQuantizer(D, 5, 3).quantize([nan] + [0.0] * (D - 1))


@pytest.mark.parametrize(
    "call, want",
    [
        (lambda: mivo.asymmetric_inner_product([nan], b"\x01"), nan),
        (lambda: mivo.asymmetric_inner_product([1e39], b"\x01"), inf),  # beyond f32: infinity
        (lambda: mivo.asymmetric_inner_product([-1e39], b"\x01"), -inf),
        (lambda: mivo.asymmetric_inner_product([3.4028235677973366e38], b"\x01"), inf),  # tie: even
        (lambda: mivo.asymmetric_inner_product([3.4028235677973362e38], b"\x01"),
         3.4028234663852886e38),
        (lambda: mivo.asymmetric_inner_product([2.0**-149, 2.0**-149], b"\x03"), 2.0**-148),
        (lambda: mivo.asymmetric_inner_product(np.array([2**-149] * 2, F32), b"\x03"), 2.0**-148),
        (lambda: mivo.asymmetric_inner_product([2.0**-150], b"\x01"), 0.0),  # tie: even (zero)
        (lambda: mivo.asymmetric_inner_product([3 * 2.0**-150], b"\x01"), 2.0**-148),
        (lambda: mivo.asymmetric_inner_product([-0.0], b"\x01"), 0.0),  # the sum starts at +0.0
        (lambda: mivo.asymmetric_inner_product([-0.0], b"\x00"), 0.0),
        (lambda: mivo.asymmetric_l2_squared([inf], b"\x01"), nan),
        (lambda: mivo.asymmetric_l2_squared([-inf], b"\x01"), inf),
        (lambda: mivo.batch_asymmetric_l2([nan, 1.0], [b"\x03"]).tolist()[0], nan),
        (lambda: mivo.multibit_inner_product([-0.0], [0], 0), -0.0),
        (lambda: mivo.multibit_inner_product([0.0], [0], 0), 0.0),
        (lambda: mivo.multibit_inner_product([], [], 4), -0.0),
        (lambda: mivo.multibit_inner_product([1.0], [1], 2**64 - 1), -inf),
        (lambda: mivo.multibit_inner_product([0.0], [1], 2**48), nan),
        (lambda: mivo.ternary_asymmetric_inner_product([inf, 1.0], tv_of(0, 1)), nan),
        (lambda: mivo.ternary_asymmetric_inner_product([-0.0, -0.0], tv_of(0, -1)), 0.0),
        (lambda: mivo.ternary_asymmetric_cosine_distance([nan, 1.0], tv_of(0, 1)), nan),
        (lambda: mivo.ternary_asymmetric_cosine_distance([nan], tv_of(0, 1)), nan),
        (lambda: mivo.ternary_asymmetric_cosine_distance([1e-30], tv_of(1)), 1.0),  # norm < 1e-10
        (lambda: mivo.TernaryQuantizer(0).quantize([]).original_norm, -0.0),
        (lambda: mivo.TernaryQuantizer(2).quantize([-0.0, -0.0]).original_norm, 0.0),
        (lambda: mivo.TernaryQuantizer(2).quantize([1e20, 0.0]).original_norm, inf),
        (lambda: mivo.TernaryQuantizer(2).quantize([nan, 0.0]).original_norm, nan),
        (lambda: mivo.RaBitQQuantizer(2, 0).approximate_l2_sqr(
            [nan, 0.0], mivo.RaBitQQuantizer(2, 0).quantize([1.0, 2.0])), 0.0),  # NaN clamps
        (lambda: mivo.RaBitQQuantizer(2, 0).approximate_distance(
            [nan, 0.0], mivo.RaBitQQuantizer(2, 0).quantize([1.0, 2.0])), 0.0),
        (lambda: nan_record().f_error, 0.0),
        (lambda: nan_record().f_add, nan),
        (lambda: nan_record().delta, nan),
    ],
)
def test_special_float_results(call, want):
    got = call()
    assert type(got) is float
    if math.isnan(want):
        assert math.isnan(got)
    else:
        assert bits(got) == bits(want)


def test_special_float_codes():
    # NaN compares false everywhere; subnormals are neither flushed nor read as zero.
    sub = [2.0**-149, -(2.0**-149), 0.0, -0.0]
    exact = mivo.TernaryQuantizer(4, 0.0, -0.0, normalize=False)
    assert exact.quantize(sub).to_list() == [1, -1, 0, 0]
    assert exact.quantize(np.array(sub, F32)).to_list() == [1, -1, 0, 0]
    assert mivo.TernaryQuantizer(4).quantize([nan, 0.5, -0.5, 0.1]).to_list() == [0, 1, -1, 0]
    assert mivo.TernaryQuantizer(2).quantize([inf, 1.0]).to_list() == [0, 0]  # inf/inf, 1/inf
    assert mivo.TernaryQuantizer(3, nan, nan, normalize=False).quantize([1, -1, 0]).to_list() == [0] * 3
    r = nan_record()
    assert (r.codes, r.binary_codes, r.extended_codes) == ([0] * D, b"\x00", b"\x00\x00")
    assert repr(r) == f"QuantizedVector(dimension={D}, ex_bits=2, residual_norm=NaN)"
    q = mivo.RaBitQQuantizer(D, 5, 3)
    q.set_centroid([nan] * D)
    assert state(q.quantize(PROBE)) == state(r)
    q.fit(np.full((2, D), nan, F32))
    assert state(q.quantize(PROBE)) == state(r)
    t = mivo.TernaryQuantizer(2, normalize=False)
    t.fit([nan, 1.0, 1.0, 1.0], 2)  # mean (NaN, 1)
    assert t.quantize([5.0, 5.0]).to_list() == [0, 1]


@pytest.mark.parametrize(
    "target, codes",
    [
        (nan, [0, 1, -1]),  # both ranks 0: both thresholds are the smallest centred value
        (inf, [0, 1, -1]),  # ranks 0 and n - 1: the extremes
        (-inf, [-1, 1, -1]),  # ranks n - 1 and 0: low above high, +1 is tested first
        (1e39, [0, 1, -1]),
    ],
)
def test_special_target_sparsity(target, codes):
    t = mivo.TernaryQuantizer(1, normalize=False, target_sparsity=target)
    t.fit([0.0, 1.0, 2.0, 3.0], 4)  # centred column -1.5, -0.5, 0.5, 1.5
    assert [t.quantize([x]).get(0) for x in (0.0, 4.0, -1.0)] == codes
