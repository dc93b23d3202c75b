"""Argument binding and conversion: texts, types, order, argument naming."""
import array
import sys

import mivo
import numpy as np
import pytest
from conftest import raises_exact

F32 = np.float32


@pytest.mark.parametrize(
    "call, exc, text",
    [
        (lambda: mivo.pack_binary([1], codes=[1]), TypeError,
         "pack_binary() got multiple values for argument 'codes'"),
        (lambda: mivo.pack_binary(), TypeError,
         "pack_binary() missing 1 required positional argument: 'codes'"),
        (lambda: mivo.pack_binary([1], [2]), TypeError,
         "pack_binary() takes 1 positional arguments but 2 were given"),
        (lambda: mivo.hamming_distance(b"", b"", b""), TypeError,
         "hamming_distance() takes 2 positional arguments but 3 were given"),
        (lambda: mivo.unpack_binary(b""), TypeError,
         "unpack_binary() missing 1 required positional argument: 'dim'"),
        (lambda: mivo.hamming_distance(), TypeError,
         "hamming_distance() missing 2 required positional arguments: 'a' and 'b'"),
        (lambda: mivo.multibit_inner_product(), TypeError,
         "multibit_inner_product() missing 3 required positional arguments: "
         "'query', 'codes', and 'total_bits'"),
        (lambda: mivo.multibit_inner_product([1.0], total_bits=2), TypeError,
         "multibit_inner_product() missing 1 required positional argument: 'codes'"),
        (lambda: mivo.pack_binary(code=[1]), TypeError,
         "pack_binary() got an unexpected keyword argument 'code'"),
        # Keywords are checked in the order given, before missing parameters.
        (lambda: mivo.unpack_binary(b"", x=1, packed=b""), TypeError,
         "unpack_binary() got an unexpected keyword argument 'x'"),
        (lambda: mivo.unpack_binary(b"", dim=1, packed=b""), TypeError,
         "unpack_binary() got multiple values for argument 'packed'"),
        (lambda: mivo.hamming_distance(b"", b"", b"", zz=1), TypeError,
         "hamming_distance() takes 2 positional arguments but 3 were given"),
    ],
)
def test_binding_texts(call, exc, text):
    with raises_exact(exc, text):
        call()


def test_keywords_in_any_order():
    assert mivo.unpack_binary(dim=3, packed=b"\x05").tolist() == [1, 0, 1]
    assert mivo.pack_binary(codes=[1]).tolist() == [1]
    assert mivo.multibit_inner_product(total_bits=4, codes=[15, 0], query=[1.0, 2.0]) == -7.5


@pytest.mark.parametrize(
    "call, exc, text, cause",
    [
        # float vector / byte-code argument: never named
        (lambda: mivo.pack_binary("abc"), TypeError, "Can't extract `str` to `Vec`", None),
        (lambda: mivo.asymmetric_inner_product("abc", b""), TypeError,
         "Can't extract `str` to `Vec`", None),
        (lambda: mivo.pack_binary({1}), TypeError, "'set' object is not an instance of 'Sequence'", None),
        (lambda: mivo.pack_binary(x for x in [1]), TypeError,
         "'generator' object is not an instance of 'Sequence'", None),
        (lambda: mivo.pack_binary({0: 1}), TypeError, "'dict' object is not an instance of 'Sequence'", None),
        (lambda: mivo.pack_binary(None), TypeError, "'None' is not an instance of 'Sequence'", None),
        (lambda: mivo.pack_binary(5), TypeError, "'int' object is not an instance of 'Sequence'", None),
        (lambda: mivo.pack_binary([0, 1, 256]), OverflowError,
         "out of range integral type conversion attempted", None),
        (lambda: mivo.pack_binary([-1]), OverflowError,
         "out of range integral type conversion attempted", None),
        (lambda: mivo.pack_binary([2**70]), OverflowError, None, None),
        (lambda: mivo.pack_binary(np.arange(8, dtype=np.uint8)[::2]), TypeError,
         "The given array is not contiguous or is misaligned.", None),
        (lambda: mivo.asymmetric_inner_product(np.arange(8, dtype=F32)[::2], b"\xff"), TypeError,
         "The given array is not contiguous or is misaligned.", None),
        (lambda: mivo.asymmetric_inner_product([10**400], b"\xff"), OverflowError, None, None),
        # unsigned size: TypeError named with cause, OverflowError plain
        (lambda: mivo.unpack_binary(b"\xff", 2.0), TypeError, "argument 'dim': ", TypeError),
        (lambda: mivo.unpack_binary(b"\xff", None), TypeError, "argument 'dim': ", TypeError),
        (lambda: mivo.unpack_binary(b"\xff", -1), OverflowError, None, None),
        (lambda: mivo.unpack_binary(b"\xff", 2**64), OverflowError, None, None),
        # code list: the outer sequence is named, its elements are not
        (lambda: mivo.batch_hamming_distances(b"\x00", "ab"), TypeError,
         "argument 'codes': Can't extract `str` to `Vec`", TypeError),
        (lambda: mivo.batch_hamming_distances(b"\x00", 7), TypeError,
         "argument 'codes': 'int' object is not an instance of 'Sequence'", TypeError),
        (lambda: mivo.batch_hamming_distances(b"\x00", [b"\x01", 5]), TypeError,
         "'int' object is not an instance of 'Sequence'", None),
        (lambda: mivo.batch_hamming_distances(b"\x00", b"\x01"), TypeError,
         "'int' object is not an instance of 'Sequence'", None),
        (lambda: mivo.batch_asymmetric_l2([1.0], [[300]]), OverflowError,
         "out of range integral type conversion attempted", None),
        # 16-bit code sequence: TypeError named, OverflowError plain
        (lambda: mivo.multibit_inner_product([1.0], [1, 70000], 4), OverflowError,
         "out of range integral type conversion attempted", None),
        (lambda: mivo.multibit_inner_product([1.0], "ab", 4), TypeError,
         "argument 'codes': Can't extract `str` to `Vec`", TypeError),
        (lambda: mivo.multibit_inner_product([1.0], [1.5], 4), TypeError,
         "argument 'codes': ", TypeError),
        (lambda: mivo.multibit_inner_product([1.0], [1], -4), OverflowError, None, None),
    ],
)
def test_conversion_errors(call, exc, text, cause):
    with raises_exact(exc) as info:
        call()
    message = str(info.value)
    if text is not None:
        if text.endswith(": "):
            assert message.startswith(text) and len(message) > len(text)
        else:
            assert message == text
    if cause is None:
        assert not message.startswith("argument '")
    else:
        assert type(info.value.__cause__) is cause
        assert message == "argument '" + message.split("'")[1] + "': " + str(info.value.__cause__)


@pytest.mark.parametrize(
    "call, first",
    [
        # codes (1) before total_bits (2) before query (3)
        (lambda: mivo.multibit_inner_product("x", "ab", -1), "argument 'codes'"),
        (lambda: mivo.multibit_inner_product("x", [1], -1), "OverflowError"),
        (lambda: mivo.multibit_inner_product("x", [1], 1), "Can't extract"),
        # dim before packed
        (lambda: mivo.unpack_binary("x", 2.5), "argument 'dim'"),
        # the outer code list, then the query, then the elements
        (lambda: mivo.batch_hamming_distances("q", "ab"), "argument 'codes'"),
        (lambda: mivo.batch_hamming_distances("q", [5]), "Can't extract"),
        (lambda: mivo.batch_asymmetric_l2([1.0], [5, "x"]), "'int' object"),
        (lambda: mivo.hamming_distance("a", 5), "Can't extract"),
    ],
)
def test_conversion_order(call, first):
    with pytest.raises(BaseException) as info:
        call()
    assert first in f"{type(info.value).__name__}: {info.value}"


class Indexable:
    """A sequence known only through __len__ and __getitem__."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class BadLen(Indexable):
    def __len__(self):
        raise RuntimeError("no length")


class HugeLen(Indexable):
    def __len__(self):
        return 2**62


class Real:
    def __float__(self):
        return 2.5


class Index:
    def __index__(self):
        return 3


@pytest.mark.parametrize(
    "value",
    [
        [0.0, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0],
        list(range(8)),
        tuple(range(8)),
        range(8),
        bytes(range(8)),
        bytearray(range(8)),
        array.array("d", range(8)),
        memoryview(array.array("f", range(8))),
        np.arange(8, dtype=F32),
        np.arange(8, dtype=np.float64),
        np.arange(8, dtype=np.int64),
        np.arange(8, dtype=F32).astype(">f4"),
        np.arange(8, dtype=F32)[::1],
        Indexable(list(range(8))),
        BadLen(list(range(8))),
        HugeLen(list(range(8))),
    ],
    ids=lambda v: type(v).__name__,
)
def test_float_vector_inputs(value):
    codes = b"\x55"  # signs + - + - + - + -
    assert mivo.asymmetric_inner_product(value, codes) == -4.0
    assert mivo.asymmetric_l2_squared(value, codes) == 140 + 8 + 8


def test_real_elements_round_to_f32():
    assert mivo.asymmetric_inner_product([0.1], b"\x01") == float(F32(0.1))
    assert mivo.asymmetric_inner_product([Real(), Index(), True], b"\x07") == 6.5
    assert mivo.asymmetric_inner_product([1e39], b"\x01") == float("inf")
    assert mivo.asymmetric_inner_product([-1e39], b"\x01") == float("-inf")
    assert np.isnan(mivo.asymmetric_inner_product([float("nan")], b"\x01"))
    assert mivo.asymmetric_inner_product([F32(1.5), np.float64(2.5)], b"\x03") == 4.0


@pytest.mark.parametrize(
    "value",
    [
        [1, 0, 2, 0, 255],
        bytes([1, 0, 2, 0, 255]),
        bytearray([1, 0, 2, 0, 255]),
        np.array([1, 0, 2, 0, 255], dtype=np.uint8),
        np.array([1, 0, 2, 0, 255], dtype=np.int64),
        (Index(), 0, True, 0, 255),
        Indexable([1, 0, 2, 0, 255]),
        array.array("B", [1, 0, 2, 0, 255]),
    ],
    ids=lambda v: type(v).__name__,
)
def test_byte_code_inputs(value):
    assert mivo.pack_binary(value).tolist() == [0b10101]


def test_2d_arrays_fall_to_the_sequence_path():
    # A 2-D float32 array is not a float vector: its items are whole rows, which
    # the interpreter's float conversion refuses.
    with raises_exact(TypeError):
        mivo.asymmetric_inner_product(np.ones((2, 2), F32), b"\x03")


def test_empty_inputs():
    assert mivo.pack_binary([]).tolist() == []
    assert mivo.pack_binary(np.zeros(0, np.uint8)).tolist() == []
    assert mivo.pack_binary(np.zeros(0, np.uint8)[::2]).tolist() == []  # no contiguity test
    assert mivo.asymmetric_inner_product(np.zeros(0, F32), b"") == 0.0


def test_code_list_outer_is_converted_before_the_query():
    q = np.ones(16, F32)
    codes = [bytearray(b"\xff\xff")]

    class Mutating:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            if i:
                raise IndexError
            q[:] = -1
            codes[0][:] = b"\x00\x00"
            return codes[0]

    # The outer list runs first and turns q into -1s and the code into zeros.
    assert mivo.batch_asymmetric_l2(q, Mutating()).tolist() == [0.0]


def test_sequence_iteration_error_propagates():
    class Broken(Indexable):
        def __getitem__(self, i):
            raise KeyError("boom")

    with raises_exact(KeyError):
        mivo.pack_binary(Broken([1, 2]))
