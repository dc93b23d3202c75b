"""Demonstration of mivo's RaBitQ search on real data, through mivo_batch, beside
faiss's RaBitQ indexes: recall@10 against exact search and queries per second on one
thread at 1, 2, 4 and 8 bits per dimension, how often the distance bounds miss, and a
figure of recall against speed.

    python examples/demo.py            # Fashion-MNIST: 30,000 training images, 100 queries
    python examples/demo.py --base 60000 --queries 200   # all training images (4-5
                                       # minutes of CPU: fitting and coding dominate)
    python examples/demo.py --quick    # a smaller run for development
    python examples/demo.py --data F   # a user's .npy / .fvecs / .fbin matrix
    python examples/demo.py --debian-faiss   # Debian's faiss, not the one ./dev faiss built
"""
import argparse
import os

# One thread for every library, set before NumPy's BLAS and faiss's OpenMP start.
os.environ["OPENBLAS_NUM_THREADS"] = "1"
os.environ["OMP_NUM_THREADS"] = "1"

import sys  # noqa: E402
import time  # noqa: E402
from pathlib import Path  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))

import mivo  # noqa: E402
import demo_data  # noqa: E402
import demo_peer  # noqa: E402
import demo_report as report  # noqa: E402
import demo_search  # noqa: E402
from demo_common import exact_knn_l2, squared_distances  # noqa: E402

OUT = Path(__file__).resolve().parent.parent / "out"
LOOP_BITS = 4  # the per-record loop's one width: its speed hardly depends on the width


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--data", metavar="FILE", help=".npy, .fvecs or .fbin matrix")
    # A subset by default: fitting and coding all 60,000 images for every method and
    # width costs more than the two minutes the default run is meant to take.
    p.add_argument("--base", type=int, default=30000, help="base vectors (the first N)")
    p.add_argument("--queries", type=int, default=100, help="queries of the fast rows")
    p.add_argument("--slow-queries", type=int, default=10,
                   help="queries of the slow rows (the per-record loop, faiss qb=0)")
    p.add_argument("--bound-queries", type=int, default=20,
                   help="queries whose every pair checks the bounds")
    p.add_argument("--bits", default="1,2,4,8", help="bits per dimension")
    p.add_argument("--seed", type=int, default=42)
    p.add_argument("--quick", action="store_true", help="small run for development")
    p.add_argument("--debian-faiss", action="store_true",
                   help="compare with Debian's faiss even when ./dev faiss has built its own")
    args = p.parse_args()
    args.full = False
    if args.quick:
        args.base, args.queries, args.slow_queries, args.bound_queries = 5000, 50, 5, 10
        args.bits = "1,4"
    args.bits = [int(b) for b in args.bits.split(",")]
    return args


def run(base, queries, truth, args):
    """Every row, method by method and width by width; the slow rows and the bounds
    use the first queries only."""
    slow = min(args.slow_queries, len(queries))
    bound = min(args.bound_queries, len(queries))
    true_d2 = squared_distances(queries[:bound], base)
    peer = demo_peer.Peer(base) if demo_peer.available() else None
    rows, misses = [], []
    for bits in args.bits:
        quantizer, batch, mine = demo_search.float_scan(base, queries, truth, args.seed, bits)
        rows += mine
        rows += demo_search.int_scan(quantizer, batch, base, queries, truth, bits)
        misses.append(dict(bits=bits, **demo_search.bound_misses(
            quantizer, batch, queries[:bound], true_d2)))
        if bits == LOOP_BITS or (LOOP_BITS not in args.bits and bits == args.bits[-1]):
            rows.append(demo_search.loop_row(quantizer, batch, queries[:slow], truth[:slow],
                                             bits))
        if peer:
            rows.append(peer.rabitq(bits, 0, queries[:slow], truth[:slow]))
            rows.append(peer.rabitq(bits, 8, queries, truth))
            if demo_peer.has_fast_scan():
                rows.append(peer.fast_scan(bits, queries, truth))
        print(f"  {bits} bits done ({time.process_time():.0f} s CPU so far)", flush=True)
    return rows, misses


def print_tables(rows, misses, n):
    report.table(f"RaBitQ search, k=10, one thread: recall@10 against exact search, "
                 f"queries/s from CPU time (the first `queries` of the {n} queries; "
                 f"candidates: records re-ranked per query, mean and max; ext. read: "
                 f"share of the records whose extended codes the integer scan read)", [
                     ("method", "method", "text"), ("bits", "bits", "count"),
                     ("R@10", "recall", "recall"), ("queries/s", "queries_per_s", "rate"),
                     ("candidates", "candidates", "ratio"),
                     ("max cand.", "max_candidates", "count"),
                     ("ext. read", "scored", "share"),
                     ("queries", "queries", "count")], rows)
    report.table("Distance bounds (lower, upper from mivo_batch.bounds, and from "
                 "mivo_batch.integer_bounds for the integer scan): share of all "
                 "(query, record) pairs whose true squared distance lies outside", [
                     ("bits", "bits", "count"), ("below lower", "below", "error"),
                     ("above upper", "above", "error"),
                     ("int below", "int_below", "error"), ("int above", "int_above", "error"),
                     ("pairs", "pairs", "count")], misses)


def save(rows, misses, data):
    OUT.mkdir(exist_ok=True)
    speed = {}
    for r in rows:
        label = r["method"] + ("" if r["queries"] == data["queries"]
                               else f" ({r['queries']} queries)")
        speed.setdefault(label, []).append((r["bits"], r["recall"], r["queries_per_s"]))
    report.plot(OUT / "demo.png",
                f"{data['name']}: {data['base']:,} base vectors of dimension "
                f"{data['dimension']}, {data['queries']:,} queries, one thread", speed,
                {"true distance below lower bound": [(m["bits"], m["below"]) for m in misses],
                 "true distance above upper bound": [(m["bits"], m["above"]) for m in misses],
                 "integer scan: below lower bound": [(m["bits"], m["int_below"])
                                                     for m in misses],
                 "integer scan: above upper bound": [(m["bits"], m["int_above"])
                                                     for m in misses]})
    report.write_json(OUT / "demo.json", {"data": data, "rows": rows, "bounds": misses})
    print(f"\nwrote {OUT / 'demo.png'} and {OUT / 'demo.json'}")


def main():
    args = parse_args()
    demo_peer.load(strong=not args.debian_faiss)
    started = time.perf_counter()
    base, queries, name = demo_data.load(args)
    base = base[:args.base]
    print(f"mivo {mivo.__version__}: {name}, the first {len(base):,} base vectors "
          f"(--base) of dimension {base.shape[1]}, the first {len(queries):,} queries")
    print(f"  peer: {demo_peer.describe()}")
    if demo_peer.available() and not demo_peer.has_fast_scan():
        print(f"  this faiss has no {demo_peer.FAST_SCAN}: its rows are absent")
    truth = exact_knn_l2(queries, base)
    rows, misses = run(base, queries, truth, args)
    print_tables(rows, misses, len(queries))
    data = {"name": name, "base": len(base), "queries": len(queries),
            "dimension": int(base.shape[1]), "seconds": time.perf_counter() - started}
    save(rows, misses, data)
    print(f"total {data['seconds']:.1f} s wall, {time.process_time():.1f} s CPU")


if __name__ == "__main__":
    main()
