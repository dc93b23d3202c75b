"""mivo_batch against the per-record surface: every element bit for bit, the golden
digests through the batch path, the refusals of from_arrays, memory-mapped columns and
the guard against a mivo from another build."""
import struct
import subprocess
import sys
import textwrap
from pathlib import Path

import mivo
import mivo_batch as mb
import numpy as np
import pytest
from conftest import raises_exact

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "golden"))
import surface  # noqa: E402

F32 = np.float32


def rows_and_queries(seed, n, d):
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((n, d), dtype=F32)
    x[1] = 0.0
    queries = rng.standard_normal((3, d), dtype=F32)
    queries[2, :1] = np.inf  # a special value reaches every element's sum
    return x, queries


# (d, total_bits, n): the dimensions around byte and lane boundaries, every bit width,
# n around the lane counts of the targets.
RABITQ = [(1, 1, 3), (7, 2, 17), (8, 3, 8), (9, 4, 33), (63, 5, 16), (64, 6, 7),
          (65, 7, 65), (127, 8, 31), (129, 1, 9), (768, 4, 40)]


@pytest.mark.parametrize("d, total_bits, n", RABITQ)
def test_rabitq_batch_equals_per_record(d, total_bits, n):
    x, queries = rows_and_queries(d * 16 + total_bits, n, d)
    q = mivo.RaBitQQuantizer(d, 7, total_bits)
    q.fit(x)
    batch = mb.quantize(q, x)
    records = [q.quantize(v) for v in x]
    assert [surface.record_bytes(r) for r in batch] == list(map(surface.record_bytes, records))
    assert mb.quantize(q, np.asfortranarray(x)).factors.tobytes() == batch.factors.tobytes()
    again = mb.QuantizedBatch.from_arrays(d, total_bits - 1, batch.binary_codes,
                                          batch.extended_codes, batch.factors)
    for made in (mb.QuantizedBatch.from_records(records), again):
        for column in ("binary_codes", "extended_codes", "factors"):
            assert getattr(made, column).tobytes() == getattr(batch, column).tobytes()
    for query in queries:
        assert surface.f32_bytes(mb.approximate_l2_sqr(q, query, batch)) == surface.f32_bytes(
            [q.approximate_l2_sqr(query, r) for r in records])
        assert surface.f32_bytes(mb.approximate_distance(q, query, again)) == surface.f32_bytes(
            [q.approximate_distance(query, r) for r in records])


@pytest.mark.parametrize("d", [0, 1, 5, 64, 131])
def test_ternary_batch_equals_per_record(d):
    x, queries = rows_and_queries(d, 21, d)
    t = mivo.TernaryQuantizer(d, 0.25, -0.125, target_sparsity=0.4 if d else None)
    t.fit(x[:12])
    batch = mb.quantize(t, x)
    records = [t.quantize(v) for v in x]
    assert [surface.ternary_bytes(r) for r in batch] == list(map(surface.ternary_bytes, records))
    assert [r.memory_bytes for r in batch] == [r.memory_bytes for r in records]
    again = mb.TernaryBatch.from_arrays(d, batch.codes, batch.num_positive, batch.num_negative,
                                        batch.original_norm)
    assert again.codes.tobytes() == mb.TernaryBatch.from_records(records).codes.tobytes()
    for a in (records[0], records[3]):
        for name in ("ternary_hamming", "ternary_inner_product", "ternary_cosine_similarity"):
            assert list(getattr(mb, name)(a, again)) == [getattr(mivo, name)(a, r)
                                                         for r in records]
    for query in (*queries, x[4], x[4][:-1]):
        for name in ("ternary_asymmetric_inner_product", "ternary_asymmetric_cosine_distance"):
            assert surface.f32_bytes(getattr(mb, name)(query, batch)) == surface.f32_bytes(
                [getattr(mivo, name)(query, r) for r in records])


class BatchPath:
    """The golden grid's calls through mivo_batch."""

    @staticmethod
    def quantize(q, rows):
        return list(mb.quantize(q, np.stack(rows)))

    @staticmethod
    def estimates(q, queries, records):
        batch = mb.QuantizedBatch.from_records(records)
        return ([v for x in queries for v in mb.approximate_l2_sqr(q, x, batch)],
                [v for x in queries for v in mb.approximate_distance(q, x, batch)])

    @staticmethod
    def symmetric(name, lefts, rights):
        batch = mb.TernaryBatch.from_records(rights)
        return [v for a in lefts for v in getattr(mb, name)(a, batch)]

    @staticmethod
    def asymmetric(name, queries, vectors):
        batch = mb.TernaryBatch.from_records(vectors)
        return [v for x in queries for v in getattr(mb, name)(x, batch)]


def test_golden_grid_through_the_batch_path():
    out = {}
    surface.rabitq_entries(out, BatchPath)
    surface.ternary_entries(out, BatchPath)
    computed = {surface.PREFIX + name: value for name, value in out.items()}
    committed = surface.committed()
    assert len(computed) == 128
    assert [name for name in computed if computed[name] != committed[name]] == []


def quantized_columns(d=9, n=2, ex_bits=2):
    return [np.zeros((n, -(-d // 8)), np.uint8), np.zeros((n, -(-d * ex_bits // 8)), np.uint8),
            np.zeros((n, 6), F32)]


def with_column(i, value):
    columns = quantized_columns()
    columns[i] = value(columns[i]) if callable(value) else value
    return columns


def set_at(row, byte, value):
    def change(a):
        a[row, byte] = value
        return a
    return change


FROM_ARRAYS = [
    (0, 2, quantized_columns(), ValueError, "invalid config: dimension -- must be > 0"),
    (9, 8, quantized_columns(), ValueError, "invalid config: ex_bits -- must be 0-7"),
    (2**56 + 1, 7, [np.zeros((0, 2**53 + 1), np.uint8), np.zeros((0, 7 * 2**53 + 1), np.uint8),
                    np.zeros((0, 6), F32)], ValueError,
     "invalid config: dimension -- must be at most 2^56"),
    (9, 2, with_column(0, [[0, 0], [0, 0]]), TypeError,
     "argument 'binary_codes': not an array (TypeError: a bytes-like object is required, "
     "not 'list')"),
    (9, 2, with_column(2, np.zeros((2, 6), ">f4")), TypeError,
     "argument 'factors': expected float32 in native byte order, got buffer format '>f' "
     "(x.astype(x.dtype.newbyteorder('=')) converts it)"),
    (9, 2, with_column(2, np.zeros((2, 6), np.float64)), TypeError,
     "argument 'factors': expected float32 elements, got buffer format 'd'"),
    (9, 2, with_column(0, np.zeros((2, 2), np.int8)), TypeError,
     "argument 'binary_codes': expected uint8 elements, got buffer format 'b'"),
    (9, 2, with_column(1, np.zeros(6, np.uint8)), TypeError,
     "argument 'extended_codes': expected 2-D array, got 1-D"),
    (9, 2, with_column(2, np.zeros((6, 2), F32).T), TypeError,
     "argument 'factors': not C-contiguous and aligned; np.ascontiguousarray makes a copy "
     "that is"),
    (9, 2, with_column(2, np.zeros(50, np.uint8)[1:49].view(F32).reshape(2, 6)),
     TypeError, "argument 'factors': not C-contiguous and aligned; np.ascontiguousarray "
     "makes a copy that is"),
    (9, 2, with_column(0, np.zeros((2, 3), np.uint8)), ValueError,
     "argument 'binary_codes': rows of 3 elements, dimension 9 needs 2"),
    (9, 2, with_column(1, np.zeros((2, 2), np.uint8)), ValueError,
     "argument 'extended_codes': rows of 2 elements, dimension 9 with ex_bits 2 needs 3"),
    (9, 2, with_column(2, np.zeros((3, 6), F32)), ValueError,
     "argument 'factors': 3 rows, but 'binary_codes' has 2"),
    (9, 2, with_column(0, set_at(1, 1, 2)), ValueError,
     "argument 'binary_codes': row 1 has bits set past its first 9 bits (the padding of a "
     "packed row must be zero)"),
    (9, 2, with_column(1, set_at(0, 2, 0x40)), ValueError,
     "argument 'extended_codes': row 0 has bits set past its first 18 bits (the padding of a "
     "packed row must be zero)"),
]


@pytest.mark.parametrize("d, ex_bits, columns, error, text", FROM_ARRAYS)
def test_quantized_from_arrays_refuses(d, ex_bits, columns, error, text):
    with raises_exact(error, text):
        mb.QuantizedBatch.from_arrays(d, ex_bits, *columns)


def ternary_columns(codes, positive, negative, d=5):
    return (d, np.array(codes, np.uint8), np.array(positive, np.uint64),
            np.array(negative, np.uint64), np.zeros(len(positive), F32))


TERNARY_FROM_ARRAYS = [
    (ternary_columns([[0x19, 0x01]], [3], [1]), None),  # +1 -1 +1 0 +1: accepted
    (ternary_columns([[0x19, 0x04]], [3], [1]),
     "argument 'codes': row 0 has bits set past its first 10 bits (the padding of a packed "
     "row must be zero)"),
    (ternary_columns([[0x19, 0x01], [0x03, 0x00]], [3, 0], [1, 0]),
     "argument 'codes': row 1 holds the ternary code 11, which no quantizer writes (00 is "
     "zero, 01 is +1, 10 is -1)"),
    (ternary_columns([[0x19, 0x01]], [2], [1]),
     "argument 'num_positive': row 0 is 2, but the codes of that row hold 3 values +1"),
    (ternary_columns([[0x19, 0x01]], [3], [0]),
     "argument 'num_negative': row 0 is 0, but the codes of that row hold 1 values -1"),
    (ternary_columns([[0x19, 0x01]], [3, 3], [1]),
     "argument 'num_positive': 2 rows, but 'codes' has 1"),
]


@pytest.mark.parametrize("columns, text", TERNARY_FROM_ARRAYS)
def test_ternary_from_arrays_validates(columns, text):
    if text is None:
        assert mb.TernaryBatch.from_arrays(*columns)[0].to_list() == [1, -1, 1, 0, 1]
        return
    with raises_exact(ValueError, text):
        mb.TernaryBatch.from_arrays(*columns)


def test_memory_mapped_columns_are_used_in_place(tmp_path):
    q = mivo.RaBitQQuantizer(40, 3, 3)
    x, queries = rows_and_queries(1, 50, 40)
    batch = mb.quantize(q, x)
    for column in ("binary_codes", "extended_codes", "factors"):
        np.save(tmp_path / f"{column}.npy", getattr(batch, column))
    maps = [np.load(tmp_path / f"{c}.npy", mmap_mode="r")
            for c in ("binary_codes", "extended_codes", "factors")]
    mapped = mb.QuantizedBatch.from_arrays(40, 2, *maps)
    assert mapped.factors.ctypes.data == maps[2].ctypes.data  # no copy
    assert mb.approximate_l2_sqr(q, queries[0], mapped).tobytes() == mb.approximate_l2_sqr(
        q, queries[0], batch).tobytes()
    # The batch holds an export of each map: the file stays mapped after the caller's
    # arrays are gone, and a held array cannot be resized under it.
    del maps
    assert surface.record_bytes(mapped[49]) == surface.record_bytes(batch[49])
    own = np.array(batch.factors)
    held = mb.QuantizedBatch.from_arrays(40, 2, batch.binary_codes, batch.extended_codes, own)
    with pytest.raises(ValueError):
        own.resize((1, 6))
    assert held.factors.base is held and not held.factors.flags.writeable


def test_empty_batches():
    q = mivo.RaBitQQuantizer(8, 0, 2)
    empty = mb.quantize(q, np.zeros((0, 8), F32))
    assert (len(empty), repr(empty)) == (0, "QuantizedBatch(len=0, dimension=8, ex_bits=1)")
    assert mb.approximate_distance(q, np.zeros(8, F32), empty).shape == (0,)
    assert list(empty) == []
    with raises_exact(IndexError, "batch index 0 out of range for 0 records"):
        empty[0]
    one = mb.quantize(q, np.ones((1, 8), F32))
    assert surface.record_bytes(one[-1]) == surface.record_bytes(q.quantize(np.ones(8, F32)))
    with raises_exact(IndexError, "batch index -2 out of range for 1 record"):
        one[-2]
    with raises_exact(TypeError, "batch indices must be integers, not 'slice'"):
        one[:1]
    with raises_exact(ValueError, "records is empty: a batch made from records takes its "
                      "dimension from them; from_arrays makes an empty batch of a given dimension"):
        mb.TernaryBatch.from_records([])


def refusals():
    q = mivo.RaBitQQuantizer(8, 0, 3)
    x = np.ones((4, 8), F32)
    batch = mb.quantize(q, x)
    t = mivo.TernaryQuantizer(8)
    ternary = mb.quantize(t, x)
    return [
        (lambda: mb.quantize(None, x), TypeError,
         "argument 'quantizer': 'None' is not an instance of 'RaBitQQuantizer' or "
         "'TernaryQuantizer'"),
        (lambda: mb.quantize(q, x.tolist()), TypeError,
         "argument 'vectors': expected a 2-D float32 NumPy array of shape (n, dimension)"),
        (lambda: mb.quantize(q, np.ones((4, 16), F32)[:, ::2]), TypeError,
         "argument 'vectors': not C-contiguous and aligned; np.ascontiguousarray makes a copy "
         "that is"),
        (lambda: mb.quantize(t, np.ones((4, 9), F32)), ValueError,
         "dimension mismatch: expected 8, got 9"),
        (lambda: mb.approximate_l2_sqr(mivo.RaBitQQuantizer(8, 0, 4), x[0], batch), ValueError,
         "ex_bits mismatch: the batch has ex_bits 2, the quantizer (total_bits 4) makes ex_bits 3"),
        (lambda: mb.approximate_distance(mivo.RaBitQQuantizer(9, 0, 3), x[0], batch), ValueError,
         "dimension mismatch: expected 9, got 8"),
        (lambda: mb.approximate_l2_sqr(q, x[0], ternary), TypeError,
         "argument 'batch': 'TernaryBatch' object is not an instance of 'QuantizedBatch'"),
        (lambda: mb.ternary_hamming(mivo.TernaryQuantizer(3).quantize([1, 0, 0]), ternary),
         ValueError, "dimension mismatch: expected 8, got 3"),
        (lambda: mb.QuantizedBatch.from_records([batch[0], ternary[0]]), TypeError,
         "argument 'records': 'TernaryVector' object is not an instance of 'QuantizedVector'"),
        (lambda: mb.QuantizedBatch.from_records([batch[0], mb.quantize(
            mivo.RaBitQQuantizer(8, 0, 2), x)[0]]), ValueError,
         "records[1] has ex_bits 1, records[0] has 2: a batch holds records of one shape"),
        (lambda: mb.TernaryBatch.from_records([ternary[0], mivo.TernaryQuantizer(2).quantize(
            [1, 1])]), ValueError,
         "records[1] has dimension 2, records[0] has 8: a batch holds records of one shape"),
    ]


@pytest.mark.parametrize("case", range(11))
def test_batch_calls_refuse(case):
    call, error, text = refusals()[case]
    with raises_exact(error, text):
        call()


def lazy_records(q, x):
    """A sequence whose items are quantized on demand and owned by nobody else."""
    class Lazy:
        def __len__(self):
            return len(x)

        def __getitem__(self, i):
            if not 0 <= i < len(x):
                raise IndexError(i)
            return q.quantize(x[i])
    return Lazy()


COLUMNS = ["binary_codes", "extended_codes", "factors", "codes", "num_positive", "num_negative",
           "original_norm"]


@pytest.mark.parametrize("quantizer", [lambda: mivo.RaBitQQuantizer(33, 2, 5),
                                       lambda: mivo.TernaryQuantizer(33)], ids=["rabitq", "ternary"])
@pytest.mark.parametrize("source", ["batch", "lazy", "list"])
def test_from_records_holds_each_record_until_it_is_copied(quantizer, source):
    q = quantizer()
    x = np.random.default_rng(4).standard_normal((40, 33), dtype=F32)
    batch = mb.quantize(q, x)
    records = {"batch": batch, "lazy": lazy_records(q, x), "list": list(batch)}[source]
    made = type(batch).from_records(records)
    assert [getattr(made, c).tobytes() for c in COLUMNS if hasattr(batch, c)] == \
        [getattr(batch, c).tobytes() for c in COLUMNS if hasattr(batch, c)]


MISMATCHED_BUILD = [
    ("__version__ = '0.0.1'", "mivo_batch 0.1.3 cannot use mivo 0.0.1: install both modules "
     "from one build"),
    ("__version__ = '0.1.3'\nclass QuantizedVector: pass",
     f"mivo.QuantizedVector instances are {type('C', (), {}).__basicsize__} bytes, but this "
     f"mivo_batch was built for {mivo.QuantizedVector.__basicsize__}: install both modules "
     "from one build"),
    ("__version__ = '0.1.3'\nQuantizedVector = 1",
     "mivo.QuantizedVector is not a class: install both modules from one build"),
]


# Lookalikes that pass the checks above: Python classes of mivo's instance size, mivo's
# classes from two loaded copies of its file, from a copy whose build stamp note is
# changed or renamed, and mivo's own classes under each other's names. {copy} is a copy
# of mivo's file with the note patched at the byte given; {file} is mivo's own file.
LOAD = ("import importlib.util as u\ns = u.spec_from_file_location('mivo', {path!r})\n"
        "m = u.module_from_spec(s); s.loader.exec_module(m); globals().update(vars(m))\n")
ONE_BUILD = ": install both modules from one build"
NAMES = ["QuantizedVector", "RaBitQQuantizer", "TernaryVector", "TernaryQuantizer"]
LOOKALIKES = [(b"g", "__version__ = '0.1.3'\n" + "".join(
    f"class {n}: __slots__ = ('access', 'value')\n" for n in NAMES),
    "mivo.QuantizedVector is not a final, immutable class" + ONE_BUILD),
    (b"g", LOAD.format(path="{file}") + "QV = QuantizedVector\n" + LOAD.format(path="{copy}") +
     "QuantizedVector = QV", "the slots of mivo.RaBitQQuantizer lie in another file than "
     "those of mivo.QuantizedVector" + ONE_BUILD),
    (b"g", LOAD.format(path="{copy}"), "mivo's classes come from {copy}, built with stamp "
     "{changed}, but this mivo_batch has stamp {stamp}" + ONE_BUILD),
    (b"-", LOAD.format(path="{copy}"),
     "mivo's classes come from {copy}, which carries no mivo build stamp" + ONE_BUILD),
    (b"g", "from mivo import *\nQuantizedVector, TernaryVector = TernaryVector, QuantizedVector",
     "mivo.QuantizedVector is mivo's class TernaryVector" + ONE_BUILD)]
STAMP_NOTE = struct.pack("=III", 5, 65, 1) + b"mivo\0\0\0\0"


def stamp_patched(folder, byte):
    """Writes a copy of mivo's file into `folder` whose build stamp starts with `byte` ('-'
    renames the note's owner instead); returns the paths and stamps the texts name. Both
    modules of one build carry the same stamp."""
    data = bytearray(Path(mivo.__file__).read_bytes())
    at = data.index(STAMP_NOTE) + len(STAMP_NOTE)
    assert STAMP_NOTE + data[at:at + 65] in Path(mb.__file__).read_bytes()
    stamp = data[at:at + 64].decode()
    data[at - 8 if byte == b"-" else at] = byte[0]
    copy = folder / Path(mivo.__file__).name
    copy.write_bytes(data)
    return {"file": mivo.__file__, "copy": str(copy), "stamp": stamp, "changed": "g" + stamp[1:]}


MISMATCHES = [(b"g", *row) for row in MISMATCHED_BUILD] + LOOKALIKES


@pytest.mark.parametrize("byte, fake, text", MISMATCHES,
                         ids=[str(i) for i in range(len(MISMATCHES))])
def test_another_mivo_build_is_refused_at_import(byte, fake, text, tmp_path):
    paths = stamp_patched(tmp_path, byte)
    fake, text = fake.format(**paths), text.format(**paths)
    code = textwrap.dedent(f"""
        import sys, types
        fake = types.ModuleType('mivo')
        exec({fake!r}, fake.__dict__)
        sys.modules['mivo'] = fake
        try:
            import mivo_batch
        except ImportError as e:
            print(e)
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert (done.returncode, done.stdout.strip()) == (0, text), done.stderr


@pytest.mark.parametrize("name", NAMES)
def test_mivo_classes_are_final_and_immutable(name):
    flags = getattr(mivo, name).__flags__
    assert (flags & 1 << 10, flags & 1 << 8) == (0, 1 << 8)  # BASETYPE, IMMUTABLETYPE


def test_each_interpreter_has_its_own_module_state():
    # The batch classes and mivo's classes live in the state of each module object: a
    # sub-interpreter's import, destroyed with it, leaves nothing the main one uses.
    code = textwrap.dedent("""
        import mivo, mivo_batch, numpy as np
        try:
            import _interpreters as subs
            create, run = (lambda: subs.create("legacy")), subs.exec
        except ImportError:
            import _xxsubinterpreters as subs
            create, run = subs.create, subs.run_string
        sub = create()
        assert run(sub, "import mivo_batch\\n"
                        "try: mivo_batch.TernaryBatch.from_records([])\\n"
                        "except ValueError: print('refused in the sub-interpreter')") is None
        subs.destroy(sub)
        t = mivo.TernaryQuantizer(4, normalize=False)
        batch = mivo_batch.quantize(t, np.eye(4, dtype=np.float32))
        print(type(batch).__module__, mivo_batch.ternary_hamming(batch[0], batch).tolist())
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.stdout.splitlines() == ["refused in the sub-interpreter",
                                        "mivo_batch [0, 2, 2, 2]"], done.stderr
