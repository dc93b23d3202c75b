# Types of the extension module mivo_batch, shipped as a stub-only package for the same
# reason as mivo's; stubtest checks every name and signature here against the built module.
from collections.abc import Buffer, Iterator, Sequence
from typing import (
    Any, Final, Literal, SupportsFloat, SupportsIndex, TypeAlias, TypeVar, final, overload
)

import numpy as np
from mivo import QuantizedVector, RaBitQQuantizer, TernaryQuantizer, TernaryVector

_Scalar = TypeVar("_Scalar", bound=np.generic)

# Results are fresh arrays of one fixed dtype: one element per record, or a row per query.
_Vector: TypeAlias = np.ndarray[tuple[int], np.dtype[_Scalar]]
_Matrix: TypeAlias = np.ndarray[tuple[int, int], np.dtype[_Scalar]]

# A query, as mivo's per-record calls take it: a NumPy array or a sequence of reals.
_Reals: TypeAlias = (
    np.ndarray[Any, np.dtype[np.floating[Any] | np.integer[Any] | np.bool_]]
    | Sequence[SupportsFloat | SupportsIndex]
)
# Vectors and queries by the row: only a two-dimensional float32 NumPy array.
_Rows: TypeAlias = np.ndarray[tuple[int, int], np.dtype[np.float32]]

__all__ = [
    "__version__",
    "QuantizedBatch",
    "TernaryBatch",
    "quantize",
    "approximate_l2_sqr",
    "approximate_distance",
    "bounds",
    "integer_bounds",
    "search",
    "kmeans",
    "assign",
    "ternary_inner_product",
    "ternary_cosine_similarity",
    "ternary_asymmetric_inner_product",
    "ternary_asymmetric_cosine_distance",
    "ternary_hamming",
]

__version__: Final[str]

# Batches come only out of quantize, from_records and from_arrays: calling the class
# raises TypeError. Column properties are read-only views whose base is the batch.
@final
class QuantizedBatch:
    @classmethod
    def from_records(cls, records: Sequence[QuantizedVector]) -> QuantizedBatch: ...
    # Any C-contiguous buffer of the right element type (memory maps included).
    @classmethod
    def from_arrays(
        cls,
        dimension: SupportsIndex,
        ex_bits: SupportsIndex,
        binary_codes: Buffer,
        extended_codes: Buffer,
        factors: Buffer,
    ) -> QuantizedBatch: ...
    @property
    def binary_codes(self) -> _Matrix[np.uint8]: ...
    @property
    def extended_codes(self) -> _Matrix[np.uint8]: ...
    @property
    def factors(self) -> _Matrix[np.float32]: ...
    @property
    def dimension(self) -> int: ...
    @property
    def ex_bits(self) -> int: ...
    def __len__(self) -> int: ...
    def __getitem__(self, index: SupportsIndex, /) -> QuantizedVector: ...
    # Iteration runs over __getitem__ until IndexError (the class has no __iter__), which
    # type checkers do not count as Iterable; this declares what iter(batch) yields.
    def __iter__(self) -> Iterator[QuantizedVector]: ...

@final
class TernaryBatch:
    @classmethod
    def from_records(cls, records: Sequence[TernaryVector]) -> TernaryBatch: ...
    @classmethod
    def from_arrays(
        cls,
        dimension: SupportsIndex,
        codes: Buffer,
        num_positive: Buffer,
        num_negative: Buffer,
        original_norm: Buffer,
    ) -> TernaryBatch: ...
    @property
    def codes(self) -> _Matrix[np.uint8]: ...
    @property
    def num_positive(self) -> _Vector[np.uint64]: ...
    @property
    def num_negative(self) -> _Vector[np.uint64]: ...
    @property
    def original_norm(self) -> _Vector[np.float32]: ...
    @property
    def dimension(self) -> int: ...
    def __len__(self) -> int: ...
    def __getitem__(self, index: SupportsIndex, /) -> TernaryVector: ...
    def __iter__(self) -> Iterator[TernaryVector]: ...

@overload
def quantize(quantizer: RaBitQQuantizer, vectors: _Rows) -> QuantizedBatch: ...
@overload
def quantize(quantizer: TernaryQuantizer, vectors: _Rows) -> TernaryBatch: ...
def approximate_l2_sqr(quantizer: RaBitQQuantizer, query: _Reals, batch: QuantizedBatch) -> _Vector[np.float32]: ...
def approximate_distance(quantizer: RaBitQQuantizer, query: _Reals, batch: QuantizedBatch) -> _Vector[np.float32]: ...
# (lower, upper)
def bounds(
    quantizer: RaBitQQuantizer, query: _Reals, batch: QuantizedBatch
) -> tuple[_Vector[np.float32], _Vector[np.float32]]: ...
# (estimates, lower, upper) of the integer scan.
def integer_bounds(
    quantizer: RaBitQQuantizer, query: _Reals, batch: QuantizedBatch, *, query_bits: SupportsIndex = 8
) -> tuple[_Vector[np.float32], _Vector[np.float32], _Vector[np.float32]]: ...
# (distances, ids), and with vectors (distances, ids, candidates per query). query_bits
# and stats are taken only with scan="int" (TypeError with scan="float"); stats is a
# dict that receives the counts "records", "scored" and "float_queries".
@overload
def search(
    quantizer: RaBitQQuantizer,
    queries: _Rows,
    batch: QuantizedBatch,
    k: SupportsIndex,
    *,
    vectors: None = None,
    scan: Literal["float"] = "float",
) -> tuple[_Matrix[np.float32], _Matrix[np.int64]]: ...
@overload
def search(
    quantizer: RaBitQQuantizer,
    queries: _Rows,
    batch: QuantizedBatch,
    k: SupportsIndex,
    *,
    vectors: _Rows,
    scan: Literal["float"] = "float",
) -> tuple[_Matrix[np.float32], _Matrix[np.int64], _Vector[np.uint64]]: ...
@overload
def search(
    quantizer: RaBitQQuantizer,
    queries: _Rows,
    batch: QuantizedBatch,
    k: SupportsIndex,
    *,
    vectors: None = None,
    scan: Literal["int"],
    query_bits: SupportsIndex = 8,
    stats: dict[str, int] | None = None,
) -> tuple[_Matrix[np.float32], _Matrix[np.int64]]: ...
@overload
def search(
    quantizer: RaBitQQuantizer,
    queries: _Rows,
    batch: QuantizedBatch,
    k: SupportsIndex,
    *,
    vectors: _Rows,
    scan: Literal["int"],
    query_bits: SupportsIndex = 8,
    stats: dict[str, int] | None = None,
) -> tuple[_Matrix[np.float32], _Matrix[np.int64], _Vector[np.uint64]]: ...
# The same centroids on every machine, SIMD target and thread count; stats is a dict that
# receives "training_rows" (an int) and "computed" (a list of int, one per assignment).
def kmeans(
    vectors: _Rows,
    nlist: SupportsIndex,
    *,
    seed: SupportsIndex,
    iterations: SupportsIndex = 25,
    sample: SupportsIndex = 256,
    threads: SupportsIndex | None = None,
    stats: dict[str, Any] | None = None,
) -> _Matrix[np.float32]: ...
def assign(
    centroids: _Rows, vectors: _Rows, *, threads: SupportsIndex | None = None
) -> _Vector[np.int64]: ...
def ternary_inner_product(a: TernaryVector, batch: TernaryBatch) -> _Vector[np.int32]: ...
def ternary_cosine_similarity(a: TernaryVector, batch: TernaryBatch) -> _Vector[np.float32]: ...
def ternary_asymmetric_inner_product(query: _Reals, batch: TernaryBatch) -> _Vector[np.float32]: ...
def ternary_asymmetric_cosine_distance(query: _Reals, batch: TernaryBatch) -> _Vector[np.float32]: ...
# Unlike mivo's, a dimension mismatch raises ValueError: an array of counts cannot hold None.
def ternary_hamming(a: TernaryVector, batch: TernaryBatch) -> _Vector[np.uint64]: ...
