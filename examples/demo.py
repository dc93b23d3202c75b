"""Demonstration of mivo on real data: one-bit codes, RaBitQ at 1 to 8 bits and ternary
codes, with recall@10 against exact search, the speed of each search, the error of the
distance estimates next to faiss's RaBitQ, and a figure of recall against speed.

    python examples/demo.py            # Fashion-MNIST subset: 10,000 base, 100 queries
    python examples/demo.py --full     # all 60,000 base vectors and 10,000 queries
                                       # (hours: the per-pair loops are Python calls)
    python examples/demo.py --data F   # a user's .npy / .fvecs / .fbin matrix
    python examples/demo.py --quick    # a smaller run for development
"""
import argparse
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))


import mivo  # noqa: E402
import demo_data  # noqa: E402
import demo_onebit  # noqa: E402
import demo_peer  # noqa: E402
import demo_rabitq  # noqa: E402
import demo_report as report  # noqa: E402
import demo_ternary  # noqa: E402
from demo_common import RERANK, exact_knn_l2, recall, squared_distances, top_k  # noqa: E402

OUT = Path(__file__).resolve().parent.parent / "out"


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--full", action="store_true", help="use the whole data set")
    p.add_argument("--data", metavar="FILE", help=".npy, .fvecs or .fbin matrix")
    p.add_argument("--base", type=int, default=10000, help="base vectors (subset)")
    p.add_argument("--queries", type=int, default=100, help="queries (subset)")
    p.add_argument("--bits", default="1,2,3,4,5,6,7,8", help="RaBitQ widths")
    p.add_argument("--seed", type=int, default=42)
    p.add_argument("--quick", action="store_true", help="small run for development")
    args = p.parse_args()
    if args.quick:
        args.base, args.queries, args.bits = 2000, 30, "1,4,8"
    args.bits = [int(b) for b in args.bits.split(",")]
    return args


def rabitq_section(base, queries, truth, args, results):
    """RaBitQ rows, and faiss's estimates over the same pairs at every width."""
    true_d2 = squared_distances(queries, base)
    peer = demo_peer.Peer(base) if demo_peer.available() else None
    for bits in args.bits:
        row, est = demo_rabitq.width(base, queries, args.seed, bits)
        results["rabitq"].append(
            demo_rabitq.evaluate(row, est, base, queries, truth, true_d2))
        print(f"  RaBitQ {bits}-bit: {row['quantize_vectors_per_s']:,.0f} vectors/s "
              f"quantized, {row['us_per_call']:.2f} µs per estimate call, mean rel. error "
              f"{row['mean_rel_error']:.2e}", flush=True)
        if peer:
            f_est, f_bytes, f_s = peer.estimates(queries, bits)
            results["peer"].append({
                "bits": bits,
                "bytes_per_vector": f_bytes,
                "recall_estimate": recall(top_k(f_est, 10), truth),
                "mean_rel_error": float(demo_rabitq.relative_errors(f_est, true_d2).mean()),
                "queries_per_s": len(queries) / f_s,
            })


def accuracy_rows(results):
    """mivo's figures beside faiss's per width, and each extra bit's effect."""
    rows, prev = [], None
    for mine, peer in zip(results["rabitq"], results["peer"]):
        rows.append({
            "bits": str(mine["bits"]),
            "mivo": mine["mean_rel_error"],
            "faiss": peer["mean_rel_error"],
            "ratio": mine["mean_rel_error"] / peer["mean_rel_error"],
            "step": None if prev is None else mine["mean_rel_error"] / prev,
            "mivo_recall": mine["recall_estimate"],
            "faiss_recall": peer["recall_estimate"],
            "mivo_bytes": mine["bytes_per_vector"],
            "faiss_bytes": peer["bytes_per_vector"],
            "faiss_qps": peer["queries_per_s"],
        })
        prev = mine["mean_rel_error"]
    return rows


def print_tables(results, base_count):
    n = results["data"]["queries"]
    report.table(f"One-bit codes, {n} queries (sign of the centred vector; batch Hamming "
                 f"scan; then the top {RERANK} by Hamming ordered by batch_asymmetric_l2)", [
                     ("method", "method", "text"), ("bytes/vec", "bytes_per_vector", "count"),
                     ("R@10", "recall", "recall"), ("queries/s", "queries_per_s", "rate"),
                     ("queries", "queries", "count")],
                 results["onebit"])
    for r in results["rabitq"]:
        r["method"] = f"RaBitQ {r['bits']}-bit"
    report.table(f"RaBitQ, {n} queries (R@10 by the estimate alone, and after exact "
                 f"re-ranking of the estimate's top {RERANK} by the float vectors; "
                 "relative error of the squared distance)", [
                     ("method", "method", "text"),
                     ("bytes/vec", "bytes_per_vector", "count"),
                     ("R@10 estimate", "recall_estimate", "recall"),
                     ("R@10 exact top-100", "recall_rerank", "recall"),
                     ("mean rel err", "mean_rel_error", "error"),
                     ("max rel err", "max_rel_error", "error"),
                     ("quantize vec/s", "quantize_vectors_per_s", "rate"),
                     ("queries/s", "queries_per_s", "rate"),
                     ("queries", "queries", "count")],
                 results["rabitq"])
    if results["rabitq"]:
        per_call = sorted(r["us_per_call"] for r in results["rabitq"])[
            len(results["rabitq"]) // 2]
        print(f"  RaBitQ estimates run one Python call per (query, record) pair: "
              f"{base_count:,} calls per query\n  at about {per_call:.2f} µs each, so "
              "these queries/s measure the calling loop; batch scans\n  (the one-bit "
              "table, faiss below) answer a query in C++ at once")
    report.table(f"Against faiss IndexRaBitQ, {n} queries (qb=0, the same pairs; error is "
                 "mean |est-true|/true; faiss estimates every pair of the batch in one call)", [
                     ("bits", "bits", "text"), ("mivo err", "mivo", "error"),
                     ("faiss err", "faiss", "error"), ("mivo/faiss", "ratio", "ratio"),
                     ("vs bits-1", "step", "ratio"), ("mivo R@10", "mivo_recall", "recall"),
                     ("faiss R@10", "faiss_recall", "recall"),
                     ("mivo bytes", "mivo_bytes", "count"),
                     ("faiss bytes", "faiss_bytes", "count"),
                     ("faiss queries/s", "faiss_qps", "rate")],
                 results["accuracy"])
    if results["accuracy"]:
        print("  (each width is one random rotation per library; the error ratio moves by "
              "a few per cent with the seeds)")
    report.table(f"Ternary codes, {n} queries (R@10 by asymmetric cosine distance, one "
                 "Python call per pair, against exact cosine search on centred data)", [
                     ("method", "method", "text"), ("bytes/vec", "bytes_per_vector", "count"),
                     ("sparsity", "sparsity", "recall"), ("R@10", "recall", "recall"),
                     ("quantize vec/s", "quantize_vectors_per_s", "rate"),
                     ("queries/s", "queries_per_s", "rate"), ("queries", "queries", "count")],
                 results["ternary"])
    if results["ternary"]:
        print("  (fitted thresholds are quantiles of each centred column; where many "
              "values tie at a\n   threshold, as background pixels do, they code 0, so "
              "the sparsity exceeds the target)")


def save(results, name):
    OUT.mkdir(exist_ok=True)
    rabitq, peer = results["rabitq"], results["peer"]
    speed = {
        "mivo RaBitQ, estimate (a Python call per pair)":
            [(r["bits"], r["recall_estimate"], r["queries_per_s"]) for r in rabitq],
        f"mivo RaBitQ, estimate + exact re-rank of top {RERANK}":
            [(r["bits"], r["recall_rerank"], r["queries_per_s_rerank"]) for r in rabitq],
        "faiss IndexRaBitQ, estimate (every pair, one batch)":
            [(r["bits"], r["recall_estimate"], r["queries_per_s"]) for r in peer],
    }
    for r in results["onebit"]:
        speed[f"mivo {r['method']} (batch kernels)"] = [
            (r["bits"], r["recall"], r["queries_per_s"])]
    errors = {
        "mivo RaBitQ": [(r["bits"], r["mean_rel_error"]) for r in rabitq],
        "faiss IndexRaBitQ": [(r["bits"], r["mean_rel_error"]) for r in peer],
    }
    data = results["data"]
    report.plot(OUT / "demo.png",
                f"{name}: {data['base']:,} base vectors of dimension {data['dimension']}, "
                f"{data['queries']:,} queries, one thread", speed, errors)
    report.write_json(OUT / "demo.json", results)
    print(f"\nwrote {OUT / 'demo.png'} and {OUT / 'demo.json'}")


def main():
    args = parse_args()
    started = time.perf_counter()
    base, queries, name = demo_data.load(args)
    print(f"mivo {mivo.__version__}: {name}, {len(base):,} base vectors of dimension "
          f"{base.shape[1]}, {len(queries):,} queries (every table below uses all of them)")
    print(f"  peer: {demo_peer.describe() if demo_peer.available() else 'faiss absent'}")
    truth = exact_knn_l2(queries, base)
    print("  exact search done", flush=True)
    results = {"data": {"name": name, "base": len(base), "queries": len(queries),
                        "dimension": int(base.shape[1])},
               "onebit": demo_onebit.run(base, queries, truth),
               "rabitq": [], "peer": [], "accuracy": [], "ternary": []}
    rabitq_section(base, queries, truth, args, results)
    results["accuracy"] = accuracy_rows(results)
    run = demo_ternary.Run(base, queries)
    results["ternary"] = [run.config(label, kw)
                          for label, kw in demo_ternary.configurations(base.shape[1])]
    print_tables(results, len(base))
    results["seconds"] = time.perf_counter() - started
    save(results, name)
    print(f"total {results['seconds']:.1f} s")


if __name__ == "__main__":
    main()
