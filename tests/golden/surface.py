"""The module's golden entries: SHA-256 over the exact bytes of its results on a fixed
grid. tests/python/test_golden.py checks them; run as a script, this file checks them
too (for installs without pytest) and exits non-zero naming every entry that differs.

Inputs come from SplitMix64, never from NumPy's generators (their streams changed
between NumPy versions), and are exactly representable in float32. Results are hashed
as little-endian bytes (float32, uint16, uint32, int32, int64); every NaN is hashed as
the one quiet NaN 0x7fc00000, since which NaN an operation passes on is not part of
the results.
"""
import hashlib
import math
import struct
import sys
from pathlib import Path

import mivo
import mivo_batch
import numpy as np

DIGESTS = Path(__file__).resolve().parent / "digests.txt"
PREFIX = "module."
MAX_SEED = 2**64 - 1
MASK = 2**64 - 1
F32_MAX = (2 - 2**-23) * 2**127
SPECIAL = [math.inf, -math.inf, -0.0, 0.0, 2**-149, -1.5 * 2**-140, F32_MAX, -(2**-126)]


def next_u64(state):
    """SplitMix64: (new state, output)."""
    state = (state + 0x9E3779B97F4A7C15) & MASK
    z = state
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
    return state, z ^ (z >> 31)


def inputs(seed, n, specials):
    """n floats: 24 random bits in [-1, 1) times 2^-40 .. 2^23, one in eight special."""
    out, state = [], seed
    for _ in range(n):
        state, z = next_u64(state)
        if specials and z & 7 == 0:
            out.append(SPECIAL[(z >> 3) & 7])
        else:
            out.append(math.ldexp(((z >> 40) - 2**23) / 2**23, (z >> 8) % 64 - 40))
    return np.array(out, dtype=np.float32)


def random_bytes(seed, n):
    out, state = bytearray(), seed
    for _ in range(n):
        state, z = next_u64(state)
        out.append(z >> 56)
    return bytes(out)


def f32_bytes(values):
    a = np.array(values, dtype=np.float32).reshape(-1)
    bits = a.view(np.uint32).copy()
    bits[np.isnan(a)] = 0x7FC00000
    return bits.astype("<u4").tobytes()


def ints(values, dtype):
    return np.array(values, dtype=np.dtype(dtype).newbyteorder("<")).tobytes()


def digest(*parts):
    h = hashlib.sha256()
    for p in parts:
        h.update(p)
    return h.hexdigest()


def record_bytes(r):
    factors = [r.delta, r.vl, r.f_add, r.f_rescale, r.f_error, r.residual_norm]
    return (r.binary_codes + r.extended_codes + ints(r.codes, np.uint16)
            + f32_bytes(factors) + ints([r.dimension, r.ex_bits], np.int64))


class PerRecord:
    """The calls of the grid, one record at a time. Other paths to the same results
    (tests/python/test_batch.py) provide the same four methods."""

    @staticmethod
    def quantize(q, rows):
        return [q.quantize(x) for x in rows]

    @staticmethod
    def estimates(q, queries, records):
        """(approximate_l2_sqr, approximate_distance), query-major."""
        return ([q.approximate_l2_sqr(x, r) for x in queries for r in records],
                [q.approximate_distance(x, r) for x in queries for r in records])

    @staticmethod
    def symmetric(name, lefts, rights):
        return [getattr(mivo, name)(a, b) for a in lefts for b in rights]

    @staticmethod
    def asymmetric(name, queries, vectors):
        return [getattr(mivo, name)(x, v) for x in queries for v in vectors]


def rabitq_grid():
    """(name, quantizer, rows, queries) at every point of the RaBitQ grid: 6 random rows,
    a zero and a negative-zero row, 3 queries (the third holds special values); the
    quantizer is not fitted yet."""
    for d, seed in [(1, 0), (7, MAX_SEED), (100, 0), (100, MAX_SEED)]:
        rows = [inputs(1000 * d + i, d, False) for i in range(6)]
        rows.append(np.zeros(d, dtype=np.float32))
        rows.append(np.array([-0.0] * d, dtype=np.float32))
        queries = [inputs(2000 * d + i, d, i == 2) for i in range(3)]
        for bits in range(1, 9):
            yield f"d{d}.seed{seed}.bits{bits}", mivo.RaBitQQuantizer(d, seed, bits), rows, queries


def rabitq_entries(out, path=PerRecord):
    for name, q, rows, queries in rabitq_grid():
        plain = [record_bytes(r) for r in path.quantize(q, rows)]
        q.fit(np.stack(rows[:6]))
        records = path.quantize(q, rows)
        out[f"rabitq.record.{name}"] = digest(*plain, *map(record_bytes, records))
        l2, dist = path.estimates(q, queries, records)
        out[f"rabitq.distance.{name}"] = digest(f32_bytes(l2), f32_bytes(dist))


def int_scan_entries(out):
    """The integer scan on the RaBitQ grid: estimates and intervals at every query_bits,
    and search(scan="int") with and without re-ranking. Where the third query's special
    values make its rotation not finite, these entries also pin the float scan that
    answers it."""
    for name, q, rows, queries in rabitq_grid():
        q.fit(np.stack(rows[:6]))
        vectors = np.stack(rows)
        batch = mivo_batch.quantize(q, vectors)
        bounds = [f32_bytes(a) for bits in range(1, 9) for x in queries
                  for a in mivo_batch.integer_bounds(q, x, batch, query_bits=bits)]
        out[f"int_scan.estimates.{name}"] = digest(*bounds)
        found = []
        for bits in (1, 4, 8):
            for k in (1, 3, 8):
                dist, ids = mivo_batch.search(q, np.stack(queries), batch, k, scan="int",
                                              query_bits=bits)
                exact, exact_ids, candidates = mivo_batch.search(
                    q, np.stack(queries), batch, k, vectors=vectors, scan="int", query_bits=bits)
                found += [f32_bytes(dist), ints(ids, np.int64), f32_bytes(exact),
                          ints(exact_ids, np.int64), ints(candidates, np.int64)]
        out[f"int_scan.search.{name}"] = digest(*found)


def kernel_entries(out):
    dims = [0, 1, 7, 8, 31, 64, 100, 257]
    values = [random_bytes(d, d) for d in dims]
    out["pack_binary"] = digest(*(mivo.pack_binary(list(v)).tobytes() for v in values))
    out["unpack_binary"] = digest(
        *(mivo.unpack_binary(random_bytes(d + 7, (d + 7) // 8), d).tobytes() for d in dims))
    ham, bham, ip, l2, bl2, multi = [], [], [], [], [], []
    for d in dims:
        width = (d + 7) // 8
        codes = [random_bytes(d * 31 + j, width) for j in range(9)]
        dense = np.frombuffer(b"".join(codes), dtype=np.uint8).reshape(9, width)
        ham += [mivo.hamming_distance(codes[0], c) for c in codes]
        bham.append(mivo.batch_hamming_distances(codes[1], dense).tobytes())
        bham.append(mivo.batch_hamming_distances(codes[2], codes).tobytes())
        for specials in (False, True):
            q = inputs(d * 5 + specials, d, specials)
            ip += [mivo.asymmetric_inner_product(q, c) for c in codes]
            l2 += [mivo.asymmetric_l2_squared(q, c) for c in codes]
            bl2.append(f32_bytes(mivo.batch_asymmetric_l2(q, dense)))
            bl2.append(f32_bytes(mivo.batch_asymmetric_l2(list(q), codes)))
            for bits in [1, 2, 4, 8, 9, 16, 31, 40]:
                state, levels = d * bits, []
                for _ in range(d):
                    state, z = next_u64(state)
                    levels.append(z % min(2**bits, 2**16))
                multi.append(mivo.multibit_inner_product(q, levels, bits))
    out["hamming_distance"] = digest(ints(ham, np.int64))
    out["batch_hamming_distances"] = digest(*bham)
    out["asymmetric_inner_product"] = digest(f32_bytes(ip))
    out["asymmetric_l2_squared"] = digest(f32_bytes(l2))
    out["batch_asymmetric_l2"] = digest(*bl2)
    out["multibit_inner_product"] = digest(f32_bytes(multi))


def ternary_bytes(v):
    return ints(v.to_list(), np.int8) + f32_bytes([v.original_norm, v.sparsity])


def ternary_entries(out, path=PerRecord):
    for d in [1, 7, 64, 100]:
        rows = [inputs(3000 * d + i, d, i % 3 == 1) for i in range(12)]
        for normalize in (False, True):
            for target in (None, 0.0, 0.3, 0.7):
                t = mivo.TernaryQuantizer(d, 0.25, -0.125, normalize, target)
                name = f"d{d}.normalize{int(normalize)}.target{target}"
                plain = path.quantize(t, rows)
                t.fit(np.stack(rows[:8]))
                fitted = path.quantize(t, rows)
                out[f"ternary.codes.{name}"] = digest(*map(ternary_bytes, plain + fitted))
                lefts, rights = fitted[:6], fitted[6:]
                out[f"ternary.similarities.{name}"] = digest(
                    ints(path.symmetric("ternary_hamming", lefts, rights), np.int64),
                    ints(path.symmetric("ternary_inner_product", lefts, rights), np.int32),
                    f32_bytes(path.symmetric("ternary_cosine_similarity", lefts, rights)),
                    f32_bytes(path.asymmetric("ternary_asymmetric_inner_product", rows,
                                              fitted[:4])),
                    f32_bytes(path.asymmetric("ternary_asymmetric_cosine_distance", rows,
                                              fitted[:4])))


def kmeans_entries(out):
    """kmeans over values of mixed scales (2^-40 .. 2^23 apart) at a few dimensions, centroid
    counts, seeds and samples, with assign of every row to the centroids found."""
    for d in (1, 7, 33):
        rows = inputs(d * 101, 300 * d, False).reshape(300, d)
        for nlist, seed, sample in ((1, 0, 256), (5, MAX_SEED, 256), (40, 7, 3)):
            centroids = mivo_batch.kmeans(rows, nlist, seed=seed, sample=sample, threads=2)
            nearest = mivo_batch.assign(centroids, rows)
            out[f"kmeans.d{d}.k{nlist}.seed{seed}.sample{sample}"] = digest(
                f32_bytes(centroids), ints(nearest, np.int64))


def surface_digests():
    """Every module entry, by name."""
    out = {}
    rabitq_entries(out)
    int_scan_entries(out)
    kmeans_entries(out)
    kernel_entries(out)
    ternary_entries(out)
    return {PREFIX + name: value for name, value in out.items()}


def committed(path=DIGESTS):
    """The module entries of the digest file; OSError when it cannot be read,
    ValueError for a line that is not "name digest"."""
    entries = {}
    for line in Path(path).read_text(encoding="ascii").splitlines():
        if not line or line.startswith("#"):
            continue
        fields = line.split()
        if len(fields) != 2 or len(fields[1]) != 64:
            raise ValueError(f"bad line in {path}: {line!r}")
        if fields[0].startswith(PREFIX):
            entries[fields[0]] = fields[1]
    if not entries:
        raise ValueError(f"no module entries in {path}")
    return entries


REGENERATE = ("a deliberate change of results only: tools/root.sh run python3 "
              "tests/golden/generate.py, then review git diff tests/golden/digests.txt")


def differences(got, want):
    """One line per entry that differs (with both digests), is missing from the file or
    is not computed."""
    lines = [f"{n} differs: expected {want[n]}, computed {got[n]}"
             for n in sorted(got) if n in want and got[n] != want[n]]
    lines += [f"{n} is not in the golden file" for n in sorted(got.keys() - want.keys())]
    lines += [f"{n} in the golden file is not computed" for n in sorted(want.keys() - got.keys())]
    return lines


if __name__ == "__main__":
    problems = differences(surface_digests(), committed())
    print("\n".join(problems + [f"to regenerate after {REGENERATE}"] if problems else
                    [f"golden digests: {len(committed())} module entries match"]))
    sys.exit(1 if problems else 0)
