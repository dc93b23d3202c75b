"""The installed wheel (or the module built from the sdist): it is the module that loads,
it carries its stubs and licence and, from a wheel, its own Highway, and every public
function, method and property answers once. A wheel is tested in a root without a
compiler, CMake or Highway, each from a fresh virtual environment."""
import importlib.metadata
import math
import os
import sys
from pathlib import Path

import mivo
import mivo_batch
import numpy as np
import pytest

F32 = np.float32
DIM = 16
# Rows of a small seeded data set; the quantizers below are fitted to it.
DATA = np.random.default_rng(5).standard_normal((40, DIM), dtype=F32)


def loaded_libraries():
    with open("/proc/self/maps") as maps:
        return {line.split()[-1] for line in maps if "/" in line}


def test_module_comes_from_the_wheel():
    for module in (mivo, mivo_batch):
        assert os.path.realpath(module.__file__).startswith(os.path.realpath(sys.prefix) + os.sep)
    assert mivo_batch.__version__ == mivo.__version__
    assert importlib.metadata.version("mivo") == mivo.__version__


def test_highway_is_bundled():
    hwy = [path for path in loaded_libraries() if os.path.basename(path).startswith("libhwy")]
    assert hwy and all(os.sep + "mivo.libs" + os.sep in path for path in hwy), hwy


def test_install_carries_stubs_and_licence():
    files = {str(f): f for f in importlib.metadata.files("mivo")}
    stubs = [f"{p.name}/__init__.pyi" for p in (Path(__file__).parents[2] / "stubs").iterdir()]
    for name in [*stubs, f"mivo-{mivo.__version__}.dist-info/licenses/LICENSE"]:
        assert name in files and files[name].locate().is_file(), sorted(files)


def rabitq():
    q = mivo.RaBitQQuantizer(DIM, seed=11, total_bits=4)
    q.fit(DATA)
    return q


def ternary():
    t = mivo.TernaryQuantizer(DIM, normalize=False, target_sparsity=0.5)
    t.fit(DATA)
    return t


def check_quantized_vector(qv):
    assert (qv.dimension, qv.ex_bits) == (DIM, 3)
    codes = qv.codes
    assert len(codes) == DIM and len(qv.binary_codes) == DIM // 8
    assert len(qv.extended_codes) == DIM * 3 // 8
    # The combined code's top bit is the packed sign bit.
    signs = mivo.unpack_binary(qv.binary_codes, DIM)
    assert [c >> 3 for c in codes] == list(signs)
    for factor in (qv.delta, qv.vl, qv.f_add, qv.f_rescale, qv.f_error, qv.residual_norm):
        assert math.isfinite(factor)
    assert qv.residual_norm == pytest.approx(float(np.linalg.norm(DATA[1] - DATA.mean(0))), rel=1e-5)


def check_rabitq_methods(q):
    before = q.approximate_l2_sqr(DATA[0], q.quantize(DATA[1]))
    q.set_centroid(DATA.mean(0))
    qv = q.quantize(DATA[1])
    l2 = q.approximate_l2_sqr(DATA[0], qv)
    assert l2 == before
    assert l2 == pytest.approx(float(np.square(DATA[0] - DATA[1]).sum()), rel=0.3)
    assert q.approximate_distance(DATA[0], qv) == float(np.sqrt(F32(l2)))


def check_ternary_vector(tv):
    values = tv.to_list()
    assert len(values) == tv.dimension == DIM and set(values) <= {-1, 0, 1}
    assert [tv.get(i) for i in range(DIM)] == values
    assert tv.sparsity == values.count(0) / DIM
    assert tv.memory_bytes >= DIM // 4
    assert tv.original_norm == pytest.approx(float(np.linalg.norm(DATA[2])), rel=1e-6)


def check_ternary_functions(t):
    tv = t.quantize(DATA[2])
    values = tv.to_list()
    nonzero = DIM - values.count(0)
    assert mivo.ternary_inner_product(tv, tv) == nonzero
    assert mivo.ternary_cosine_similarity(tv, tv) == pytest.approx(1.0)
    assert mivo.ternary_hamming(tv, tv) == 0
    ip = F32(0.0)
    for x, v in zip(DATA[2], values):
        ip = F32(ip + F32(x * F32(v)))
    assert mivo.ternary_asymmetric_inner_product(DATA[2], tv) == ip
    cosine = float(ip) / (float(np.linalg.norm(DATA[2])) * math.sqrt(nonzero))
    assert mivo.ternary_asymmetric_cosine_distance(DATA[2], tv) == pytest.approx(1.0 - cosine, abs=1e-5)


def check_kernels():
    packed = mivo.pack_binary([1, 0, 0, 0, 0, 0, 0, 0, 1, 1])
    assert packed.tobytes() == b"\x01\x03"
    assert list(mivo.unpack_binary(packed, 10)) == [1, 0, 0, 0, 0, 0, 0, 0, 1, 1]
    assert mivo.hamming_distance(packed, b"\x00\x00") == 3
    assert list(mivo.batch_hamming_distances(packed, [b"\x00\x00", packed])) == [3, 0]
    query = np.array([1.0, 2.0], F32)
    assert mivo.asymmetric_inner_product(query, b"\x01") == -1.0
    assert mivo.asymmetric_l2_squared(query, b"\x01") == 9.0
    assert list(mivo.batch_asymmetric_l2(query, np.array([[1], [3]], np.uint8))) == [9.0, 1.0]
    assert mivo.multibit_inner_product(query, [15, 0], 4) == -7.5


def check_rabitq():
    q = rabitq()
    check_quantized_vector(q.quantize(DATA[1]))
    check_rabitq_methods(q)


def check_ternary():
    t = ternary()
    check_ternary_vector(t.quantize(DATA[2]))
    check_ternary_functions(t)


def check_rabitq_batch():
    q = rabitq()
    batch = mivo_batch.quantize(q, DATA)
    assert (len(batch), batch.dimension, batch.ex_bits) == (len(DATA), DIM, 3)
    shapes = [c.shape for c in (batch.binary_codes, batch.extended_codes, batch.factors)]
    assert shapes == [(len(DATA), DIM // 8), (len(DATA), DIM * 3 // 8), (len(DATA), 6)]
    again = mivo_batch.QuantizedBatch.from_arrays(DIM, 3, batch.binary_codes,
                                                  batch.extended_codes, batch.factors)
    copied = mivo_batch.QuantizedBatch.from_records([q.quantize(x) for x in DATA[:3]])
    assert copied[2].codes == again[2].codes == q.quantize(DATA[2]).codes
    l2 = mivo_batch.approximate_l2_sqr(q, DATA[0], again)
    assert l2[5] == q.approximate_l2_sqr(DATA[0], batch[5])
    distance = mivo_batch.approximate_distance(q, DATA[0], batch)
    assert distance[5] == q.approximate_distance(DATA[0], batch[5])
    lower, upper = mivo_batch.bounds(q, DATA[0], batch)
    assert lower[5] <= l2[5] <= upper[5]
    distances, ids = mivo_batch.search(q, DATA[:2], batch, 3)
    assert distances[0, 0] == l2[ids[0, 0]] == l2.min()
    _, exact_ids, candidates = mivo_batch.search(q, DATA[:2], batch, 3, vectors=DATA)
    assert exact_ids[0, 0] == 0 and candidates.shape == (2,)
    estimates, int_lower, int_upper = mivo_batch.integer_bounds(q, DATA[0], batch)
    assert int_lower[5] <= estimates[5] <= int_upper[5]
    _, int_ids, _ = mivo_batch.search(q, DATA[:2], batch, 3, vectors=DATA, scan="int")
    assert int_ids[0, 0] == 0


def check_ternary_batch():
    t = ternary()
    batch = mivo_batch.quantize(t, DATA)
    assert (len(batch), batch.dimension, batch.codes.shape) == (len(DATA), DIM, (len(DATA), 4))
    again = mivo_batch.TernaryBatch.from_arrays(DIM, batch.codes, batch.num_positive,
                                                batch.num_negative, batch.original_norm)
    copied = mivo_batch.TernaryBatch.from_records([t.quantize(x) for x in DATA[:3]])
    assert copied[2].to_list() == again[2].to_list() == t.quantize(DATA[2]).to_list()
    a = batch[1]
    for name in ("ternary_hamming", "ternary_inner_product", "ternary_cosine_similarity"):
        assert getattr(mivo_batch, name)(a, again)[7] == getattr(mivo, name)(a, batch[7])
    for name in ("ternary_asymmetric_inner_product", "ternary_asymmetric_cosine_distance"):
        assert getattr(mivo_batch, name)(DATA[3], batch)[7] == getattr(mivo, name)(DATA[3],
                                                                                   batch[7])


def check_kmeans():
    centroids = mivo_batch.kmeans(DATA, 4, seed=3, iterations=5)
    assert centroids.shape == (4, DIM) and centroids.dtype == F32
    ids = mivo_batch.assign(centroids, DATA)
    assert ids.shape == (len(DATA),) and set(ids.tolist()) <= {0, 1, 2, 3}
    assert np.array_equal(mivo_batch.assign(centroids, centroids), np.arange(4))


# Every public name and the check that exercises it; a name added to the module without
# an entry here fails test_every_public_name_is_covered.
COVERAGE = {
    check_kernels: [
        "pack_binary", "unpack_binary", "hamming_distance", "batch_hamming_distances",
        "asymmetric_inner_product", "asymmetric_l2_squared", "batch_asymmetric_l2",
        "multibit_inner_product",
    ],
    check_rabitq: [
        "RaBitQQuantizer", "RaBitQQuantizer.fit", "RaBitQQuantizer.set_centroid",
        "RaBitQQuantizer.quantize", "RaBitQQuantizer.approximate_l2_sqr",
        "RaBitQQuantizer.approximate_distance", "QuantizedVector",
        *("QuantizedVector." + p for p in (
            "dimension", "ex_bits", "delta", "vl", "f_add", "f_rescale", "f_error",
            "residual_norm", "binary_codes", "extended_codes", "codes")),
    ],
    check_ternary: [
        "TernaryQuantizer", "TernaryQuantizer.fit", "TernaryQuantizer.quantize",
        "TernaryVector", "TernaryVector.get", "TernaryVector.to_list",
        "TernaryVector.dimension", "TernaryVector.original_norm", "TernaryVector.sparsity",
        "TernaryVector.memory_bytes", "ternary_inner_product", "ternary_cosine_similarity",
        "ternary_hamming", "ternary_asymmetric_inner_product",
        "ternary_asymmetric_cosine_distance",
    ],
    check_rabitq_batch: [
        *("mivo_batch." + n for n in (
            "quantize", "approximate_l2_sqr", "approximate_distance", "QuantizedBatch",
            "QuantizedBatch.from_records", "QuantizedBatch.from_arrays",
            "QuantizedBatch.binary_codes", "QuantizedBatch.extended_codes",
            "QuantizedBatch.factors", "QuantizedBatch.dimension", "QuantizedBatch.ex_bits",
            "bounds", "integer_bounds", "search")),
    ],
    check_ternary_batch: [
        *("mivo_batch." + n for n in (
            "TernaryBatch", "TernaryBatch.from_records", "TernaryBatch.from_arrays",
            "TernaryBatch.codes", "TernaryBatch.num_positive", "TernaryBatch.num_negative",
            "TernaryBatch.original_norm", "TernaryBatch.dimension", "ternary_hamming",
            "ternary_inner_product", "ternary_cosine_similarity",
            "ternary_asymmetric_inner_product", "ternary_asymmetric_cosine_distance")),
    ],
    check_kmeans: ["mivo_batch.kmeans", "mivo_batch.assign"],
}


def public_names(module, prefix):
    names = set()
    for name in module.__all__:
        if name.startswith("_"):
            continue
        names.add(prefix + name)
        obj = getattr(module, name)
        if isinstance(obj, type):
            names.update(f"{prefix}{name}.{k}" for k in vars(obj) if not k.startswith("_"))
    return names


def test_every_public_name_is_covered():
    covered = [name for names in COVERAGE.values() for name in names]
    assert len(covered) == len(set(covered))
    assert set(covered) == public_names(mivo, "") | public_names(mivo_batch, "mivo_batch.")


@pytest.mark.parametrize("check", list(COVERAGE), ids=lambda check: check.__name__)
def test_public_surface(check):
    check()
