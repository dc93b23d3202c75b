# Types of the extension module mivo, for type checkers and editors. The module is a
# single shared library, so its types ship as this stub-only package; stubtest checks
# every name and signature here against the built module.
from collections.abc import Sequence
from typing import Any, Final, SupportsFloat, SupportsIndex, TypeAlias, TypeVar, final

import numpy as np

_Scalar = TypeVar("_Scalar", bound=np.generic)

# Every array result is a fresh one-dimensional array of one fixed dtype.
_Vector: TypeAlias = np.ndarray[tuple[int], np.dtype[_Scalar]]

# What a float vector, a training matrix and a centroid accept: NumPy arrays (float32 is
# read in one copy, other dtypes element by element) or any sequence of real numbers.
_Reals: TypeAlias = (
    np.ndarray[Any, np.dtype[np.floating[Any] | np.integer[Any] | np.bool_]]
    | Sequence[SupportsFloat | SupportsIndex]
)
# A packed code: a uint8 array, bytes, bytearray or a sequence of integers 0..255.
_ByteCode: TypeAlias = (
    np.ndarray[Any, np.dtype[np.integer[Any] | np.bool_]]
    | bytes
    | bytearray
    | Sequence[SupportsIndex]
)
# Several packed codes: a two-dimensional uint8 array (a row per code) or a sequence of codes.
_ByteCodes: TypeAlias = np.ndarray[Any, np.dtype[np.integer[Any] | np.bool_]] | Sequence[_ByteCode]
# Multi-bit codes, 0..65535 each.
_WideCodes: TypeAlias = np.ndarray[Any, np.dtype[np.integer[Any]]] | Sequence[SupportsIndex]
_Real: TypeAlias = SupportsFloat | SupportsIndex

__all__ = [
    "__version__",
    "pack_binary",
    "unpack_binary",
    "hamming_distance",
    "asymmetric_inner_product",
    "asymmetric_l2_squared",
    "multibit_inner_product",
    "batch_hamming_distances",
    "batch_asymmetric_l2",
    "QuantizedVector",
    "RaBitQQuantizer",
    "TernaryVector",
    "TernaryQuantizer",
    "ternary_inner_product",
    "ternary_cosine_similarity",
    "ternary_asymmetric_inner_product",
    "ternary_asymmetric_cosine_distance",
    "ternary_hamming",
]

__version__: Final[str]

def pack_binary(codes: _ByteCode) -> _Vector[np.uint8]: ...
def unpack_binary(packed: _ByteCode, dim: SupportsIndex) -> _Vector[np.uint8]: ...
def hamming_distance(a: _ByteCode, b: _ByteCode) -> int: ...
def asymmetric_inner_product(query: _Reals, codes: _ByteCode) -> float: ...
def asymmetric_l2_squared(query: _Reals, codes: _ByteCode) -> float: ...
def multibit_inner_product(query: _Reals, codes: _WideCodes, total_bits: SupportsIndex) -> float: ...
def batch_hamming_distances(query: _ByteCode, codes: _ByteCodes) -> _Vector[np.uint32]: ...
def batch_asymmetric_l2(query: _Reals, codes: _ByteCodes) -> _Vector[np.float32]: ...

# Records come only out of quantize: calling the class raises TypeError.
@final
class QuantizedVector:
    @property
    def dimension(self) -> int: ...
    @property
    def ex_bits(self) -> int: ...
    @property
    def delta(self) -> float: ...
    @property
    def vl(self) -> float: ...
    @property
    def f_add(self) -> float: ...
    @property
    def f_rescale(self) -> float: ...
    @property
    def f_error(self) -> float: ...
    @property
    def residual_norm(self) -> float: ...
    @property
    def binary_codes(self) -> bytes: ...
    @property
    def extended_codes(self) -> bytes: ...
    @property
    def codes(self) -> list[int]: ...

@final
class RaBitQQuantizer:
    def __new__(cls, dimension: SupportsIndex, seed: SupportsIndex, total_bits: SupportsIndex = 4) -> RaBitQQuantizer: ...
    def fit(self, vectors: _Reals, num_vectors: SupportsIndex | None = None) -> None: ...
    def set_centroid(self, centroid: _Reals) -> None: ...
    def quantize(self, vector: _Reals) -> QuantizedVector: ...
    def approximate_l2_sqr(self, query: _Reals, quantized: QuantizedVector) -> float: ...
    def approximate_distance(self, query: _Reals, quantized: QuantizedVector) -> float: ...

@final
class TernaryVector:
    @property
    def dimension(self) -> int: ...
    @property
    def original_norm(self) -> float: ...
    @property
    def sparsity(self) -> float: ...
    @property
    def memory_bytes(self) -> int: ...
    def get(self, idx: SupportsIndex) -> int: ...
    def to_list(self) -> list[int]: ...

@final
class TernaryQuantizer:
    def __new__(
        cls,
        dimension: SupportsIndex,
        threshold_high: _Real = 0.3,
        threshold_low: _Real = -0.3,
        normalize: bool | np.bool_ = True,
        target_sparsity: _Real | None = None,
    ) -> TernaryQuantizer: ...
    def fit(self, vectors: _Reals, num_vectors: SupportsIndex | None = None) -> None: ...
    def quantize(self, vector: _Reals) -> TernaryVector: ...

def ternary_inner_product(a: TernaryVector, b: TernaryVector) -> int: ...
def ternary_cosine_similarity(a: TernaryVector, b: TernaryVector) -> float: ...
def ternary_asymmetric_inner_product(query: _Reals, quantized: TernaryVector) -> float: ...
def ternary_asymmetric_cosine_distance(query: _Reals, quantized: TernaryVector) -> float: ...
# None when the two vectors have different dimensions.
def ternary_hamming(a: TernaryVector, b: TernaryVector) -> int | None: ...
