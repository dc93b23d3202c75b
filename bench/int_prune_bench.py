"""What the integer scan's pruning skips and what it costs: queries per second, mean
candidates per query and the share of records whose extended codes were not read, for
search(scan="int") at several total bits and query_bits, with and without re-ranking,
beside the float scan. Fashion-MNIST (60,000 x 784) and Gaussian data (d = 128).

Run: ./dev python bench/int_prune_bench.py [--queries M] [--repeats R] [--gaussian N]
Times are the best of R runs of one call over all M queries (the machine is shared)."""
import argparse
import sys
from pathlib import Path

import numpy as np

import mivo
import mivo_batch as mb
from timing import best_ns

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
import demo_data  # noqa: E402

K = 10


def rows(name, x, queries, bits_list, qb_list, repeats):
    m = len(queries)
    for bits in bits_list:
        q = mivo.RaBitQQuantizer(x.shape[1], 1, bits)
        q.fit(x)
        batch = mb.quantize(q, x)
        mb.search(q, queries[:1], batch, K, scan="int")  # keeps the scan's sums
        ns = best_ns(lambda: mb.search(q, queries, batch, K, vectors=x), repeats)
        cand = mb.search(q, queries, batch, K, vectors=x)[2]
        print(f"{name:8} {bits} bits  float      rerank {m / ns * 1e9:8.0f} q/s"
              f"  {cand.mean():8.0f} cand", flush=True)
        for qb in qb_list:
            for rerank in (True, False):
                kw = dict(scan="int", query_bits=qb, vectors=x if rerank else None)
                ns = best_ns(lambda: mb.search(q, queries, batch, K, **kw), repeats)
                stats = {}
                out = mb.search(q, queries, batch, K, stats=stats, **kw)
                skipped = 1 - stats["scored"] / stats["records"]
                cand = f"{out[2].mean():8.0f} cand" if rerank else " " * 13
                print(f"{name:8} {bits} bits  int qb={qb}   {'rerank' if rerank else 'plain '}"
                      f" {m / ns * 1e9:8.0f} q/s  {cand}  {100 * skipped:5.1f} % skipped",
                      flush=True)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--queries", type=int, default=200)
    p.add_argument("--repeats", type=int, default=3)
    p.add_argument("--gaussian", type=int, default=50_000)
    a = p.parse_args()
    print(f"k={K}, {a.queries} queries per call, best of {a.repeats} calls")
    x, test, _ = demo_data.load_fashion_mnist()
    rows("fashion", np.ascontiguousarray(x), np.ascontiguousarray(test[:a.queries]),
         (1, 2, 4, 8), (4, 6, 8), a.repeats)
    rng = np.random.default_rng(7)
    g = rng.standard_normal((a.gaussian + a.queries, 128), dtype=np.float32)
    rows("gauss128", g[:a.gaussian], g[a.gaussian:], (2, 4, 8), (4, 8), a.repeats)


if __name__ == "__main__":
    main()
