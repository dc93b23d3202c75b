"""The rows of mivo_batch's estimates and quantization: a whole batch per call against
the per-record loop and against faiss on the same data and bits."""
import numpy as np

import mivo
import mivo_batch as mb
from timing import best_ns

F32 = np.float32
D = 768


def estimate_rows(t, faiss, n, reps):
    """One query against n records at 4 bits: the batch call, the per-record loop, and
    faiss's IndexRaBitQ with 8-bit queries (its fast mode) searching the same codes."""
    rng = np.random.default_rng(21)
    x = rng.standard_normal((n, D), dtype=F32)
    query = rng.standard_normal(D, dtype=F32)
    quantizer = mivo.RaBitQQuantizer(D, 4, 4)
    quantizer.fit(x)
    batch = mb.quantize(quantizer, x)
    records = list(batch)
    est = quantizer.approximate_l2_sqr
    what = f"batch approximate_l2_sqr N={n} d={D} 4 bits"
    mine = best_ns(lambda: mb.approximate_l2_sqr(quantizer, query, batch), reps)
    loop = best_ns(lambda: [est(query, r) for r in records], max(1, reps // 2))
    t.add(what, mine, "per-record loop", loop, (">=", 12), unit="per query")
    if faiss:
        index = faiss.IndexRaBitQ(D, faiss.METRIC_L2, 4)
        index.train(x)
        index.add(x)
        index.qb = 8
        peer = best_ns(lambda: index.search(query[None, :], 10), reps)
        t.add(what, mine, "faiss IndexRaBitQ qb=8 (top 10)", peer, (">=", 1),
              unit="per query")


def quantize_rows(t, faiss, n, reps):
    """n vectors coded in one call, the rotation included; faiss rotates the batch with
    one matrix product before its IndexRaBitQ codes it."""
    rng = np.random.default_rng(22)
    x = rng.standard_normal((n, D), dtype=F32)
    for bits, goal in ((1, 1), (4, 2)):
        quantizer = mivo.RaBitQQuantizer(D, 6, bits)
        quantizer.fit(x)
        mine = best_ns(lambda: mb.quantize(quantizer, x), reps) / n
        what = f"batch quantize {bits}-bit N={n} d={D} ({1e9 / mine:,.0f} vec/s)"
        loop = best_ns(lambda: [quantizer.quantize(v) for v in x], 1) / n
        t.add(what, mine, "per-record quantize loop", loop, unit="per vector")
        if faiss:
            index = faiss.IndexPreTransform(faiss.RandomRotationMatrix(D, D),
                                            faiss.IndexRaBitQ(D, faiss.METRIC_L2, bits))
            index.train(x)

            def add():
                index.reset()
                index.add(x)
            peer = best_ns(add, max(1, reps // 2)) / n
            t.add(what, mine, "faiss rotation+IndexRaBitQ.add", peer, (">=", goal),
                  unit="per vector")


def batch_rows(t, faiss, quick):
    estimate_rows(t, faiss, 20_000 if quick else 100_000, 3 if quick else 5)
    quantize_rows(t, faiss, 2_000 if quick else 10_000, 2 if quick else 3)
