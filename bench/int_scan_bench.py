"""The rows of the integer scan (mivo_batch.search with scan="int"): its one-bit scan
per code against faiss's fast-scan index, and searches on Fashion-MNIST at 1, 4 and 8
bits against faiss's fastest flat RaBitQ index at a recall no lower than faiss's."""
import sys
from pathlib import Path

import numpy as np

import mivo
import mivo_batch as mb
from search_bench import search_case
from timing import best_ns

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
import demo_data  # noqa: E402
from demo_common import exact_knn_l2, recall  # noqa: E402

F32 = np.float32
K = 10
FAST_SCAN = "IndexRaBitQFastScan"


def faiss_indexes(faiss, x, bits):
    """faiss's flat RaBitQ indexes over x, each searched on one thread: IndexRaBitQ with
    8-bit queries and, where this faiss has it, the fast-scan index. faiss's own
    random rotation is applied to data and queries alike, as the demo does."""
    d = x.shape[1]
    rotation = faiss.RandomRotationMatrix(d, d)
    rotation.init(1234)
    xr = rotation.apply(x)
    found = {}
    index = faiss.IndexRaBitQ(d, faiss.METRIC_L2, bits)
    index.qb = 8
    found["IndexRaBitQ qb=8"] = index
    if hasattr(faiss, FAST_SCAN):
        found[FAST_SCAN] = getattr(faiss, FAST_SCAN)(d, faiss.METRIC_L2, 32, bits)
    for index in found.values():
        index.train(xr)
        index.add(xr)
    return {name: (lambda queries, index=index: index.search(rotation.apply(queries), K))
            for name, index in found.items()}


def per_code_row(t, faiss, n, m, reps):
    """The one-bit scan per code, d = 768, against the fast-scan index at 1 bit."""
    x, q, queries, batch = search_case(n, m, bits=1, seed=21, quantizer_seed=5)
    d = x.shape[1]
    mine = best_ns(lambda: mb.search(q, queries, batch, K, scan="int"), reps) / (m * n)
    if faiss is None or not hasattr(faiss, FAST_SCAN):
        t.add(f"integer scan, 1 bit, N={n} d={d}", mine, "no fast-scan faiss", None,
              unit="per code")
        return
    search = faiss_indexes(faiss, x, 1)[FAST_SCAN]
    peer = best_ns(lambda: search(queries), reps) / (m * n)
    t.add(f"integer scan, 1 bit, N={n} d={d}", mine, f"faiss {FAST_SCAN} 1 bit", peer,
          (">=", 1), unit="per code")


def fashion_rows(t, faiss, num_queries, reps):
    """search(scan="int") at 1, 4 and 8 bits, with and without re-ranking, against the
    fastest of faiss's flat RaBitQ indexes whose recall@10 it matches. Goal: level at 1
    bit, twice as fast at 4 and 8 bits (the one-bit stage prunes the extended codes)."""
    if faiss is None:
        t.note("integer scan on Fashion-MNIST skipped: no faiss")
        return
    if not (demo_data.FASHION_DIR / "train-images-idx3-ubyte.gz").exists():
        t.note(f"integer scan on Fashion-MNIST skipped: {demo_data.FASHION_DIR} not found")
        return
    x, test, _ = demo_data.load_fashion_mnist()
    x = np.ascontiguousarray(x)
    queries = np.ascontiguousarray(test[:num_queries])
    truth = exact_knn_l2(queries, x)
    for bits, goal in ((1, 1), (4, 2), (8, 2)):
        q = mivo.RaBitQQuantizer(x.shape[1], 1, bits)
        q.fit(x)
        batch = mb.quantize(q, x)
        peers = {}
        for name, search in faiss_indexes(faiss, x, bits).items():
            ns = best_ns(lambda: search(queries), reps) / len(queries)
            peers[name] = (recall(search(queries)[1], truth), ns)
        peer_name, (peer_recall, peer_ns) = min(peers.items(), key=lambda p: p[1][1])
        stats = {}
        mine = {}
        for label, kwargs in (("", {}), (" + re-rank", {"vectors": x})):
            ns = best_ns(lambda: mb.search(q, queries, batch, K, scan="int", **kwargs),
                         reps) / len(queries)
            ids = mb.search(q, queries, batch, K, scan="int", stats=stats, **kwargs)[1]
            mine[label] = (recall(ids, truth), ns, stats["scored"] / stats["records"])
        # The fastest of mivo's two that reaches faiss's recall.
        ok = {lab: v for lab, v in mine.items() if v[0] >= peer_recall}
        label, (got, ns, scored) = min((ok or mine).items(), key=lambda p: p[1][1])
        what = f"search int {bits} bit{'s' if bits > 1 else ''}{label}, Fashion {len(x)}"
        t.add(what, ns, f"faiss {peer_name}", peer_ns, (">=", goal) if ok else None,
              unit="per query")
        t.note(f"{bits} bits: recall@{K} mivo {got:.3f} (extended codes read for "
               f"{scored:.1%} of the records), faiss {peer_name} {peer_recall:.3f}"
               + ("" if ok else "; mivo's recall is lower: goal MISSED"))


def int_scan_rows(t, faiss, quick):
    n, m, reps = (20_000, 16, 2) if quick else (100_000, 32, 3)
    per_code_row(t, faiss, n, m, reps)
    fashion_rows(t, faiss, 20 if quick else 100, reps)
