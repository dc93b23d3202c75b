"""Benchmark of mivo against NumPy and faiss on one thread, with the speed goals.

    python bench/bench.py [--quick]

Every row prints mivo's time, the peer's time measured in the same run, the ratio
(peer / mivo: how many times faster mivo is) and the goal with "met" or "MISSED".
Rows bound by memory bandwidth also print mivo's time over the read-bandwidth floor
(the time of a plain streaming read of the bytes the row must read, measured in the
same run); no implementation beats the floor, so peer time / floor is the largest
speed-up reachable, and a goal above that ceiling is reported as the ceiling.
faiss gets whole batches (its best case) while mivo is called as its API requires.
faiss is the build from source that `./dev faiss` makes (runtime dispatch, OpenBLAS)
when it exists, else Debian's generic build; the header says which was loaded. Every
row runs on one thread. Results are also written to out/bench.json and, with the
machine, the CPU and the faiss build named, to the page out/bench.md.

Rows against mivo's scalar fallback take their scalar times from mivo_core_bench
(bench/core_bench.cpp), a C++ program built here with the standalone CMake project:
the module has no switch to its scalar code, by design.
"""
import argparse
import json
import os
import platform
import subprocess
import sys
import timeit
from pathlib import Path

# One thread everywhere: the BLAS and OpenMP pools size themselves when NumPy and
# faiss load, so this comes first.
os.environ["OPENBLAS_NUM_THREADS"] = "1"
os.environ["OMP_NUM_THREADS"] = "1"
sys.path.insert(0, str(Path(__file__).resolve().parent))

import numpy as np  # noqa: E402

import faiss_peer  # noqa: E402
import mivo  # noqa: E402
import page  # noqa: E402
from search_bench import search_rows  # noqa: E402
from int_scan_bench import int_scan_rows  # noqa: E402
from stop_bench import stop_rows  # noqa: E402
from kmeans_bench import kmeans_rows  # noqa: E402
from timing import Table, best_ns, human, stream_ns  # noqa: E402

faiss = None  # loaded in main(), once the flags say which build

ROOT = Path(__file__).resolve().parent.parent
OUT = ROOT / "out"
RNG = np.random.default_rng(7)


def blas():
    """The BLAS NumPy really loaded (Debian switches it by alternatives), and its
    threads."""
    try:
        from threadpoolctl import threadpool_info
        for pool in threadpool_info():
            if pool.get("user_api") == "blas":
                return (f"{pool['internal_api']} {pool.get('version') or ''} "
                        f"({pool.get('architecture') or '?'} kernels), "
                        f"{pool['num_threads']} thread(s)")
    except ImportError:
        pass
    with open("/proc/self/maps") as maps:
        paths = {line.split()[-1] for line in maps if "blas" in line}
    return ", ".join(sorted(os.path.realpath(p) for p in paths)) or "unknown"


def blas_name():
    return "OpenBLAS" if "openblas" in blas().lower() else "reference BLAS"


_CORE = {}


def scalar_mivo(quick=False):
    """Times of the scalar fallback that ships for machines without SIMD, next to the
    dispatched kernels, from the C++ program mivo_core_bench: built with the standalone
    CMake project (build/bench), run once, its JSON returned as a dict (see
    bench/core_bench.cpp for the keys). None when it cannot be built or run; the rows
    against it then print n/a and a note says why."""
    if "result" in _CORE:
        return _CORE["result"]
    _CORE["result"] = None
    build = ROOT / "build" / "bench"
    steps = (["cmake", "-S", str(ROOT), "-B", str(build), "-G", "Ninja",
              "-DMIVO_BUILD_MODULE=OFF", "-DMIVO_BUILD_BENCH=ON"],
             ["cmake", "--build", str(build), "--target", "mivo_core_bench"],
             [str(build / "bench" / "mivo_core_bench")] + (["--quick"] if quick else []))
    for step in steps:
        try:
            done = subprocess.run(step, cwd=ROOT, capture_output=True, text=True, timeout=240)
        except (OSError, subprocess.TimeoutExpired) as e:
            _CORE["error"] = f"{Path(step[0]).name}: {e}"
            return None
        if done.returncode != 0:
            tail = (done.stdout + done.stderr).strip().splitlines()[-3:]
            _CORE["error"] = f"{' '.join(step[:2])} failed: " + " | ".join(tail)
            return None
    try:
        _CORE["result"] = json.loads(done.stdout)
    except ValueError as e:
        _CORE["error"] = f"mivo_core_bench printed no JSON ({e})"
    return _CORE["result"]


def core_row(section, key, value):
    """The entry of the C++ results for one size, or None without results."""
    core = scalar_mivo()
    if core is None:
        return None
    return next((r for r in core[section] if r[key] == value), None)


def core_rows(t):
    """The core's dispatched batch kernels against its scalar ones, in C++ (no Python
    call in between), ns per code; and the rotation kernels alone."""
    core = scalar_mivo()
    if core is None:
        t.note(f"n/a: rows against mivo's scalar fallback ({_CORE.get('error')})")
        return
    target = core["target"]
    for r in core["hamming"]:
        t.add(f"C++ batch Hamming N={r['n']} {8 * r['bytes']}-bit [{target}]",
              r["best_ns_per_code"], "mivo scalar fallback (C++)", r["scalar_ns_per_code"],
              unit="per code")
    # Every target against a plain read of the same codes on the same target: 128-byte
    # codes are to stay within 1.3x of it; 16-byte codes pay a reduction and a store
    # per code, which no read does.
    for r in core["hamming_targets"]:
        t.add(f"C++ batch Hamming N={r['n']} {8 * r['bytes']}-bit [{r['target']}]",
              r["ns_per_code"], "plain read of the codes (C++)", r["read_ns_per_code"],
              ("<=", 1.3) if r["bytes"] == 128 else None, unit="per code",
              floor_ns=r["read_ns_per_code"])
    for r in core["asymmetric_l2"]:
        t.add(f"C++ batch one-bit L2 N={r['n']} d={r['d']} [{target}]",
              r["best_ns_per_code"], "mivo scalar fallback (C++)", r["scalar_ns_per_code"],
              unit="per code")
    for r in core["rotate"]:
        t.add(f"C++ rotate d={r['d']} [{target}]", r["best_ns"],
              "mivo scalar fallback (C++)", r["scalar_ns"])
        t.add(f"C++ rotate d={r['d']} [{target}]", r["best_ns"],
              "mivo scalar row loop (C++)", r["row_loop_ns"])
    for section in ("hamming", "asymmetric_l2", "rotate", "generation", "batch_estimate",
                    "batch_quantize"):
        if not all(r["identical"] for r in core[section]):
            t.note(f"WARNING: C++ {section}: dispatched and scalar results differ")
    t.note("C++ ns per code / per call, one thread; the scalar fallback is the portable "
           "C++ loop, which g++ -O3 still vectorises with the baseline SSE2 where lanes "
           "are independent sums (rotate, generation); the row loop is one sequential "
           "sum per output")


def hamming_rows(t, n, reps):
    for bits, goals in ((128, (8, 30)), (1024, (8, 8))):
        nbytes = bits // 8
        codes = RNG.integers(0, 256, (n, nbytes), dtype=np.uint8)
        q = RNG.integers(0, 256, nbytes, dtype=np.uint8)
        what = f"batch_hamming_distances N={n} {bits}-bit"
        mine = best_ns(lambda: mivo.batch_hamming_distances(q, codes), reps)
        floor = stream_ns(codes, reps)
        if faiss:
            out = np.empty(n, dtype=np.int32)
            qp, cp, op = faiss.swig_ptr(q), faiss.swig_ptr(codes), faiss.swig_ptr(out)
            peer = best_ns(lambda: faiss.hammings(qp, cp, 1, n, nbytes, op), reps)
            t.add(what, mine, "faiss.hammings", peer, (">=", goals[0]), floor_ns=floor)
        q64, c64 = q.view(np.uint64), codes.view(np.uint64)
        peer = best_ns(lambda: np.bitwise_count(c64 ^ q64).sum(1, dtype=np.uint32), reps)
        t.add(what, mine, "NumPy xor+bitwise_count", peer, (">=", goals[1]), floor_ns=floor)
    codes_list = [bytes(row) for row in RNG.integers(0, 256, (n, 16), dtype=np.uint8)]
    q = bytes(16)
    mine = best_ns(lambda: mivo.batch_hamming_distances(q, codes_list), reps)
    t.note(f"batch_hamming_distances, list of {n} bytes (16 each): "
           f"{mine / n:.2f} ns per code")


def byte_table(q):
    """For each byte position j, the 256 signed partial sums of q[8j..8j+7]:
    table[v, j] = sum over bits k of v of (+q[8j+k] if set else -q[8j+k])."""
    signs = (((np.arange(256)[:, None] >> np.arange(8)) & 1) * 2 - 1).astype(np.float32)
    return signs @ q.reshape(-1, 8).T


def numpy_row_gather(q, codes, cols):
    ip = byte_table(q)[codes, cols].sum(1)
    return np.dot(q, q) + len(q) - 2 * ip


def numpy_columns(q, codes):
    table = np.ascontiguousarray(byte_table(q).T)
    ip = np.zeros(len(codes), dtype=np.float32)
    for j in range(codes.shape[1]):
        ip += table[j][codes[:, j]]
    return np.dot(q, q) + len(q) - 2 * ip


def asymmetric_rows(t, n, reps):
    for d, goals in ((128, (10, 3.5, 6)), (768, (8, 6, None))):
        codes = RNG.integers(0, 256, (n, d // 8), dtype=np.uint8)
        q = RNG.standard_normal(d).astype(np.float32)
        cols = np.arange(d // 8)
        what = f"batch_asymmetric_l2 N={n} d={d}"
        mine = best_ns(lambda: mivo.batch_asymmetric_l2(q, codes), reps)
        floor = stream_ns(codes, reps)
        peer = best_ns(lambda: numpy_row_gather(q, codes, cols), max(2, reps // 2))
        t.add(what, mine, "NumPy lookup, row gather", peer, (">=", goals[0]), floor_ns=floor)
        peer = best_ns(lambda: numpy_columns(q, codes), reps)
        t.add(what, mine, "NumPy lookup, by column", peer, (">=", goals[1]), floor_ns=floor)
        if faiss:
            index = faiss.IndexRaBitQ(d, faiss.METRIC_L2)
            data = RNG.standard_normal((n, d)).astype(np.float32)
            index.train(data)
            index.add(data)
            index.qb = 8
            peer = best_ns(lambda: index.search(q[None, :], 10), reps)
            t.add(what, mine, "faiss IndexRaBitQ qb=8 (top 10)", peer,
                  None if goals[2] is None else (">=", goals[2]), floor_ns=floor)


def rotate_rows(t, calls, reps):
    """The rotation through approximate_l2_sqr, a fresh query every call so nothing
    can be reused; the peer is a NumPy matrix-vector product with an equal matrix. Both
    read the whole d x d matrix once per call: the floor is a streaming read of it."""
    for d in (768, 1536):
        quantizer = mivo.RaBitQQuantizer(d, 3, 1)
        record = quantizer.quantize(RNG.standard_normal(d).astype(np.float32))
        queries = list(RNG.standard_normal((calls, d)).astype(np.float32))
        est = quantizer.approximate_l2_sqr
        mine = best_ns(lambda: [est(q, record) for q in queries], reps) / calls
        core = core_row("rotate", "d", d)
        what = f"rotate d={d} (approximate_l2_sqr, fresh query)"
        matrix = np.linalg.qr(RNG.standard_normal((d, d)))[0].astype(np.float32)
        floor = stream_ns(matrix, reps * 3)
        t.add(what, mine, "mivo scalar row loop (C++)",
              None if core is None else core["row_loop_ns"], (">=", 12), floor_ns=floor)
        t.add(what, mine, "mivo scalar fallback (C++)",
              None if core is None else core["scalar_ns"], floor_ns=floor)
        peer = best_ns(lambda: [matrix @ q for q in queries], reps) / calls
        t.add(what, mine, f"NumPy matrix @ vector ({blas_name()})", peer, floor_ns=floor)


def construction_rows(t, reps):
    for d, goal in ((768, 5), (1536, 8)):
        mine = best_ns(lambda: mivo.RaBitQQuantizer(d, 11, 4), reps)
        core = core_row("generation", "d", d)
        # The d*d Gaussian draws stay scalar on every path: no generation can be
        # faster than the scalar one by more than (scalar time) / (draw time).
        t.add(f"RaBitQQuantizer({d}, seed, 4)", mine, "mivo scalar generation (C++)",
              None if core is None else core["scalar_ns"], (">=", goal),
              ceiling=None if core is None else core["floor_ratio"])
        if core is not None:
            t.note(f"d={d}: the {d}x{d} draws alone take {core['draws_ns'] / 1e6:.1f} ms "
                   f"({core['ns_per_draw']:.1f} ns each) of the scalar generation's "
                   f"{core['scalar_ns'] / 1e6:.1f} ms: at most {core['floor_ratio']:.2f}x is "
                   f"reachable with scalar draws; C++ generation alone: "
                   f"{core['best_ns'] / 1e6:.1f} ms ({core['best_vs_scalar']:.2f}x)")
        if faiss:
            peer = best_ns(lambda: faiss.RandomRotationMatrix(d, d).init(11), reps)
            t.add(f"RaBitQQuantizer({d}, seed, 4)", mine,
                  "faiss RandomRotationMatrix", peer)


def quantize_rows(t, sizes, reps):
    """Vectors per second including the rotation; faiss encodes the whole batch, so it
    rotates with one matrix product (the matrix read once per batch) while mivo's API
    codes one vector per call and reads the d x d matrix for each: its floor per vector
    is a streaming read of the matrix, and faiss's time over it the ceiling."""
    goals = {(1, 128): 4, (1, 768): 10, (4, 128): 2, (4, 768): 4}
    for bits in (1, 4):
        for d in (128, 768):
            n = sizes[d]
            data = RNG.standard_normal((n, d)).astype(np.float32)
            quantizer = mivo.RaBitQQuantizer(d, 5, bits)
            quantizer.fit(data)
            quantize = quantizer.quantize
            mine = best_ns(lambda: [quantize(x) for x in data], reps) / n
            what = f"quantize {bits}-bit d={d} ({1e9 / mine:,.0f} vec/s)"
            floor = stream_ns(RNG.standard_normal((d, d)).astype(np.float32), reps * 3)
            if faiss:
                index = faiss.IndexPreTransform(faiss.RandomRotationMatrix(d, d),
                                                faiss.IndexRaBitQ(d, faiss.METRIC_L2, bits))
                index.train(data)
                peer = best_ns(lambda: index.sa_encode(data), max(1, reps // 2)) / n
                t.add(what, mine, "faiss rotation+IndexRaBitQ, batch", peer,
                      (">=", goals[(bits, d)]), unit="per vector", floor_ns=floor)


def batch_module():
    """mivo_batch when it is built beside mivo, else None (the rows then take the
    batch's times from the C++ core, which has no Python call in between)."""
    try:
        import mivo_batch
    except ImportError:
        return None
    return mivo_batch


def batch_estimate_rows(t, n, reps):
    """Estimates against n records, d = 768, 4 bits: the batch call against the
    per-record loop through mivo and against faiss's IndexRaBitQ with an 8-bit query."""
    d, bits = 768, 4
    batch_mod = batch_module()
    data = RNG.standard_normal((n, d)).astype(np.float32)
    q = RNG.standard_normal(d).astype(np.float32)
    quantizer = mivo.RaBitQQuantizer(d, 7, bits)
    quantizer.fit(data)
    if batch_mod is not None:
        batch = batch_mod.quantize(quantizer, data)
        mine = best_ns(lambda: batch_mod.approximate_l2_sqr(quantizer, q, batch), reps) / n
        source = "mivo_batch"
    else:
        core = core_row("batch_estimate", "d", d)
        if core is None:
            t.note("n/a: batch estimates (neither mivo_batch nor the C++ core bench)")
            return
        mine = core["best_ns_per_record"]
        source = "C++ core"
    what = f"batch approximate_l2_sqr N={n} d={d} {bits}-bit ({source})"
    loop_n = min(n, 5000)
    records = [quantizer.quantize(x) for x in data[:loop_n]]
    est = quantizer.approximate_l2_sqr
    peer = best_ns(lambda: [est(q, r) for r in records], max(2, reps // 2)) / loop_n
    t.add(what, mine, "mivo per-record loop", peer, (">=", 12), unit="per record")
    if faiss:
        index = faiss.IndexRaBitQ(d, faiss.METRIC_L2, bits)
        index.train(data)
        index.add(data)
        index.qb = 8
        peer = best_ns(lambda: index.search(q[None, :], 10), reps) / n
        t.add(what, mine, "faiss IndexRaBitQ qb=8 (top 10)", peer, (">=", 1),
              unit="per record")


def batch_quantize_rows(t, n, reps):
    """Quantization of n vectors, d = 768, at 4 and 1 bits: the batch call against
    faiss's IndexRaBitQ.add behind its random rotation."""
    d = 768
    batch_mod = batch_module()
    data = RNG.standard_normal((n, d)).astype(np.float32)
    for bits, goal in ((4, 2), (1, 1)):
        quantizer = mivo.RaBitQQuantizer(d, 5, bits)
        quantizer.fit(data)
        core = core_row("batch_quantize", "bits", bits)
        if batch_mod is not None:
            mine = best_ns(lambda: batch_mod.quantize(quantizer, data), reps) / n
            source = "mivo_batch"
        else:
            if core is None:
                continue
            mine = core["batch_ns_per_vector"]
            source = "C++ core"
        what = f"batch quantize {bits}-bit N={n} d={d} ({source})"
        if faiss:
            index = faiss.IndexPreTransform(faiss.RandomRotationMatrix(d, d),
                                            faiss.IndexRaBitQ(d, faiss.METRIC_L2, bits))
            index.train(data)

            def add():
                index.reset()
                index.add(data)
            peer = best_ns(add, max(1, reps // 2)) / n
            # The rotation's d*d multiply-add pairs, which must stay separate (no fused
            # operations), at this core's peak: faiss's time over that is the most any
            # quantization of ours can gain on it (its product fuses them).
            floor = None if core is None else core["mul_add_floor_ns_per_vector"]
            t.add(what, mine, "faiss rotation+IndexRaBitQ.add", peer, (">=", goal),
                  unit="per vector", ceiling=None if floor is None else peer / floor)
            if floor is not None:
                t.note(f"batch quantize {bits}-bit: the rotation's {d}x{d} separate multiply-add "
                       f"pairs alone take {floor / 1e3:.1f} us per vector at this core's peak "
                       f"vector throughput (registers only, C++); ceiling = faiss's time over it")


def query_reuse_row(t, n, reps):
    """One query against n records, the same query object every call against a new
    query every call: the estimate rotates a query only once while it repeats."""
    d = 768
    quantizer = mivo.RaBitQQuantizer(d, 9, 1)
    records = [quantizer.quantize(x) for x in RNG.standard_normal((n, d)).astype(np.float32)]
    q = RNG.standard_normal(d).astype(np.float32)
    fresh = list(RNG.standard_normal((n, d)).astype(np.float32))
    est = quantizer.approximate_l2_sqr
    same_ns = best_ns(lambda: [est(q, r) for r in records], reps)
    fresh_ns = best_ns(lambda: [est(x, r) for x, r in zip(fresh, records)], max(1, reps // 2))
    t.add(f"one query vs {n} records d={d}", same_ns, "mivo, fresh query per call",
          fresh_ns, (">=", 20), unit="per scan")


def call_overhead_row(t, number):
    a, b = bytes(range(16)), bytes(range(1, 17))
    small = (1, 2, 3)
    ham = mivo.hamming_distance
    mine = min(timeit.repeat(lambda: ham(a, b), number=number, repeat=5)) / number * 1e9
    peer = min(timeit.repeat(lambda: len(small), number=number, repeat=5)) / number * 1e9
    t.add("hamming_distance, two 16-byte bytes", mine, "len() of a 3-tuple", peer,
          ("<=", 4))


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--quick", action="store_true", help="smaller sizes, fewer repeats")
    p.add_argument("--debian-faiss", action="store_true",
                   help="Debian's generic faiss even when ./dev faiss has built the strong one")
    args = p.parse_args()
    global faiss
    faiss = faiss_peer.load(strong=not args.debian_faiss)
    n, reps = (20_000, 3) if args.quick else (100_000, 7)
    started_load = os.getloadavg()[0]
    print(f"mivo {mivo.__version__}, NumPy {np.__version__} on {blas()}, "
          f"{platform.machine()}, one thread, load average {os.getloadavg()[0]:.2f}")
    print(f"peer: {faiss_peer.describe(faiss)}\n")
    core = scalar_mivo(args.quick)
    if core is not None:
        print(f"C++ core: dispatch target {core['target']} of "
              f"{', '.join(core['compiled_targets'])}; ran in {core['seconds']:.0f} s\n")
    t = Table()
    hamming_rows(t, n, reps)
    asymmetric_rows(t, n, reps)
    rotate_rows(t, 100 if args.quick else 300, reps)
    construction_rows(t, 2 if args.quick else 3)
    quantize_rows(t, {128: 2000, 768: 500} if args.quick else {128: 10000, 768: 2000},
                  2 if args.quick else 3)
    query_reuse_row(t, 2000 if args.quick else 10000, 2 if args.quick else 3)
    batch_estimate_rows(t, n, 2 if args.quick else 3)
    batch_quantize_rows(t, 2000 if args.quick else 10000, 2 if args.quick else 3)
    call_overhead_row(t, 200_000 if args.quick else 1_000_000)
    search_rows(t, args.quick)
    int_scan_rows(t, faiss, args.quick)
    stop_rows(t, args.quick)
    kmeans_rows(t, faiss, args.quick)
    core_rows(t)
    OUT.mkdir(exist_ok=True)
    t.note("floor: mivo's time over the read-bandwidth floor (1.00 = as fast as a plain "
           "streaming read of the bytes the row must read); ceiling: peer time over it")
    with open(OUT / "bench.json", "w") as f:
        json.dump({"quick": args.quick, "blas": blas(), "faiss": faiss_peer.describe(faiss),
                   "load_average": os.getloadavg(), "rows": t.rows, "core": core}, f,
                  indent=2)
    page.write(OUT / "bench.md", t.rows, quick=args.quick, blas=blas(),
               faiss=faiss_peer.describe(faiss), mivo_version=mivo.__version__,
               started_load=started_load, human=human)
    print(f"\nwrote {OUT / 'bench.json'} and {OUT / 'bench.md'}")


if __name__ == "__main__":
    main()
