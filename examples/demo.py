"""Demonstration of mivo on real data: one-bit codes, RaBitQ at 1 to 8 bits and ternary
codes, with recall@10 against exact search, the error of the distance estimates next to
faiss's RaBitQ, and a plot of recall against bytes per vector.

    python examples/demo.py            # Fashion-MNIST subset: 10k base, 200 queries
    python examples/demo.py --full     # all 60k base vectors and 10k queries (slow:
                                       # exact search runs on Debian's reference BLAS)
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
from demo_common import exact_knn_l2, recall, squared_distances, top_k  # noqa: E402

OUT = Path(__file__).resolve().parent.parent / "out"


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--full", action="store_true", help="use the whole data set")
    p.add_argument("--data", metavar="FILE", help=".npy, .fvecs or .fbin matrix")
    p.add_argument("--base", type=int, default=10000, help="base vectors (subset)")
    p.add_argument("--queries", type=int, default=200, help="queries (subset)")
    p.add_argument("--bits", default="1,2,3,4,5,6,7,8", help="RaBitQ widths")
    p.add_argument("--pair-queries", type=int, default=100,
                   help="at most this many queries in the per-pair loops (RaBitQ "
                        "estimates, faiss, ternary)")
    p.add_argument("--budget", type=float, default=4.0,
                   help="seconds per width for the per-pair estimate loops")
    p.add_argument("--seed", type=int, default=42)
    p.add_argument("--quick", action="store_true", help="small run for development")
    args = p.parse_args()
    if args.quick:
        args.base, args.queries, args.budget, args.bits = 2000, 50, 0.5, "1,4,8"
    args.bits = [int(b) for b in args.bits.split(",")]
    return args


def rabitq_section(base, queries, truth, args, results):
    """RaBitQ rows, and faiss's estimates over the same pairs at every width."""
    run = demo_rabitq.Run(base, queries[:args.pair_queries], args.seed, args.budget)
    true_d2 = None
    peer = demo_peer.Peer(base) if demo_peer.available() else None
    for bits in args.bits:
        row, est = run.width(bits)
        if true_d2 is None:
            true_d2 = squared_distances(queries[:run.count], base)
        results["rabitq"].append(
            demo_rabitq.evaluate(row, est, base, queries, truth, true_d2))
        print(f"  RaBitQ {bits}-bit: {row['quantize_vectors_per_s']:,.0f} vectors/s quantized, "
              f"{run.count} queries estimated, mean rel. error {row['mean_rel_error']:.2e}",
              flush=True)
        if peer:
            f_est, f_bytes, f_s = peer.estimates(queries[:run.count], bits)
            results["peer"].append({
                "bits": bits,
                "bytes_per_vector": f_bytes,
                "recall_estimate": recall(top_k(f_est, 10), truth[:run.count]),
                "mean_rel_error": float(demo_rabitq.relative_errors(f_est, true_d2).mean()),
                "queries_per_s": run.count / f_s,
            })


def accuracy_rows(results):
    """mivo's mean relative error over faiss's per width, and each extra bit's effect."""
    rows, prev = [], None
    for mine, peer in zip(results["rabitq"], results["peer"]):
        rows.append({
            "bits": mine["bits"],
            "mivo": mine["mean_rel_error"],
            "faiss": peer["mean_rel_error"],
            "ratio": mine["mean_rel_error"] / peer["mean_rel_error"],
            "step": None if prev is None else mine["mean_rel_error"] / prev,
            "mivo_recall": mine["recall_estimate"],
            "faiss_recall": peer["recall_estimate"],
            "faiss_bytes": peer["bytes_per_vector"],
        })
        prev = mine["mean_rel_error"]
    return rows


def print_tables(results):
    report.table("One-bit codes (sign of centred vector; Hamming top-100, re-ranked by "
                 "batch_asymmetric_l2)", [
                     ("method", "method"), ("bytes/vec", "bytes_per_vector"),
                     ("R@10 hamming", "recall_hamming"), ("R@10 re-ranked", "recall_rerank"),
                     ("queries/s", "queries_per_s"), ("queries", "queries")],
                 results["onebit"])
    for r in results["rabitq"]:
        r["method"] = f"RaBitQ {r['bits']}-bit"
    report.table("RaBitQ (recall@10 from the estimate alone / after exact re-ranking of "
                 "the top 100; relative error of the squared distance)", [
                     ("method", "method"), ("bytes/vec", "bytes_per_vector"),
                     ("R@10 est", "recall_estimate"), ("R@10 re-ranked", "recall_rerank"),
                     ("mean rel err", "mean_rel_error"), ("max rel err", "max_rel_error"),
                     ("quantize vec/s", "quantize_vectors_per_s"),
                     ("queries/s", "queries_per_s"), ("queries", "queries")],
                 results["rabitq"])
    report.table("Accuracy against faiss IndexRaBitQ (qb=0, same pairs; mean |est-true|/true)", [
        ("bits", "bits"), ("mivo", "mivo"), ("faiss", "faiss"), ("mivo/faiss", "ratio"),
        ("vs bits-1", "step"), ("mivo R@10", "mivo_recall"),
        ("faiss R@10", "faiss_recall"), ("faiss bytes", "faiss_bytes")],
        results["accuracy"])
    if results["accuracy"]:
        print("  (each width is one random rotation per library; the ratio moves by a few "
              "per cent with the seeds)")
    report.table("Ternary codes (recall@10 by asymmetric cosine distance against exact "
                 "cosine search on centred data)", [
                     ("method", "method"), ("bytes/vec", "bytes_per_vector"),
                     ("sparsity", "sparsity"), ("R@10", "recall"),
                     ("quantize vec/s", "quantize_vectors_per_s"),
                     ("queries/s", "queries_per_s"), ("queries", "queries")],
                 results["ternary"])
    if results["ternary"]:
        print("  (fitted thresholds are quantiles of each centred column; where many "
              "values tie at a\n   threshold, as background pixels do, they code 0, so "
              "the sparsity exceeds the target)")


def save(results, name):
    OUT.mkdir(exist_ok=True)

    def joined(rows, key):
        return [r["bytes_per_vector"] for r in rows], [r[key] for r in rows], True

    series = {
        "one-bit, Hamming": joined(results["onebit"], "recall_hamming"),
        "one-bit, re-ranked asymmetric": joined(results["onebit"], "recall_rerank"),
        "mivo RaBitQ, estimate": joined(results["rabitq"], "recall_estimate"),
        "mivo RaBitQ, re-ranked top 100": joined(results["rabitq"], "recall_rerank"),
        "faiss RaBitQ, estimate": joined(results["peer"], "recall_estimate"),
    }
    for r in results["ternary"]:  # one point per configuration, against cosine truth
        series[f"{r['method']} (cosine)"] = ([r["bytes_per_vector"]], [r["recall"]], False)
    report.plot(OUT / "demo.png", f"recall@10 on {name}", series)
    report.write_json(OUT / "demo.json", results)
    print(f"\nwrote {OUT / 'demo.png'} and {OUT / 'demo.json'}")


def main():
    args = parse_args()
    started = time.perf_counter()
    base, queries, name = demo_data.load(args)
    print(f"mivo {mivo.__version__}: {name}, {len(base)} base and {len(queries)} query "
          f"vectors of dimension {base.shape[1]}")
    truth = exact_knn_l2(queries, base)
    print("  exact search done", flush=True)
    results = {"data": {"name": name, "base": len(base), "queries": len(queries),
                        "dimension": int(base.shape[1])},
               "onebit": [demo_onebit.run(base, queries, truth)],
               "rabitq": [], "peer": [], "accuracy": [], "ternary": []}
    if demo_rabitq.available():
        rabitq_section(base, queries, truth, args, results)
        results["accuracy"] = accuracy_rows(results)
    else:
        print("note: this build has no RaBitQQuantizer yet; RaBitQ rows skipped")
    if demo_ternary.available():
        run = demo_ternary.Run(base, queries[:args.pair_queries], args.budget)
        results["ternary"] = [run.config(label, kw)
                              for label, kw in demo_ternary.configurations(base.shape[1])]
    else:
        print("note: this build has no TernaryQuantizer yet; ternary rows skipped")
    print_tables(results)
    results["seconds"] = time.perf_counter() - started
    save(results, name)
    print(f"total {results['seconds']:.1f} s")


if __name__ == "__main__":
    main()
