"""mivo's RaBitQ searches through mivo_batch at one bit width: the float scan and the
integer scan, each by the estimate alone and with certified re-ranking by the float
vectors, how often the true distance falls outside the bounds, and the per-record loop
for comparison."""
import time

import numpy as np

import mivo
import mivo_batch
from demo_common import K, recall, top_k


def timed(call):
    """The call's result and the CPU seconds it took: on a shared machine, CPU time
    measures a one-thread search better than wall time, which counts the other jobs."""
    start = time.process_time()
    result = call()
    return result, time.process_time() - start


def float_scan(base, queries, truth, seed, bits):
    """Two rows (estimate alone, certified re-ranking) and the fitted quantizer and
    batch, which the bounds and the loop reuse."""
    quantizer = mivo.RaBitQQuantizer(base.shape[1], seed, bits)
    quantizer.fit(base)
    batch, quantize_s = timed(lambda: mivo_batch.quantize(quantizer, base))
    (_, ids), plain_s = timed(lambda: mivo_batch.search(quantizer, queries, batch, K))
    (_, ids_r, cand), rerank_s = timed(
        lambda: mivo_batch.search(quantizer, queries, batch, K, vectors=base))
    common = {"bits": bits, "queries": len(queries),
              "quantize_vectors_per_s": len(base) / quantize_s}
    return quantizer, batch, [
        dict(common, method="mivo float scan", recall=recall(ids, truth),
             queries_per_s=len(queries) / plain_s),
        dict(common, method="mivo float scan + certified re-rank", recall=recall(ids_r, truth),
             queries_per_s=len(queries) / rerank_s, candidates=float(cand.mean()),
             max_candidates=int(cand.max())),
    ]


def int_scan(quantizer, batch, base, queries, truth, bits):
    """The integer scan's two rows, with the share of records whose extended codes it
    read (the one-bit stage skips the others)."""
    rows = []
    for method, kwargs in (("mivo integer scan", {}),
                           ("mivo integer scan + certified re-rank", {"vectors": base})):
        stats = {}
        found, seconds = timed(lambda: mivo_batch.search(quantizer, queries, batch, K,
                                                         scan="int", stats=stats, **kwargs))
        row = {"method": method, "bits": bits, "queries": len(queries),
               "recall": recall(found[1], truth), "queries_per_s": len(queries) / seconds,
               "scored": stats["scored"] / stats["records"]}
        if kwargs:
            row.update(candidates=float(found[2].mean()), max_candidates=int(found[2].max()))
        rows.append(row)
    return rows


def bound_misses(quantizer, batch, queries, true_d2):
    """The share of (query, record) pairs whose true squared distance lies below the
    lower bound or above the upper one (the bounds are probabilistic), for the float
    scan's bounds and the integer scan's (widened by the query's quantization)."""
    below = above = int_below = int_above = 0
    for query, d2 in zip(queries, true_d2):
        lower, upper = mivo_batch.bounds(quantizer, query, batch)
        below += int((d2 < lower).sum())
        above += int((d2 > upper).sum())
        _, lower, upper = mivo_batch.integer_bounds(quantizer, query, batch)
        int_below += int((d2 < lower).sum())
        int_above += int((d2 > upper).sum())
    pairs = true_d2.size
    return {"below": below / pairs, "above": above / pairs, "int_below": int_below / pairs,
            "int_above": int_above / pairs, "pairs": pairs}


def loop_row(quantizer, batch, queries, truth, bits):
    """The per-record surface: one approximate_l2_sqr call per (query, record) pair
    from Python, then the top k of each query."""
    records = list(batch)
    estimate = quantizer.approximate_l2_sqr

    def run():
        return np.array([top_k(np.fromiter((estimate(q, r) for r in records), np.float32,
                                           len(records)), K)[0] for q in queries])

    ids, seconds = timed(run)
    return {"method": "per-record loop (a Python call per pair)", "bits": bits,
            "queries": len(queries), "recall": recall(ids, truth),
            "queries_per_s": len(queries) / seconds}
