"""RaBitQ at one bit width: fit, quantize the base set, estimate the squared distance
of every (query, record) pair, then search by the estimate alone and with exact
re-ranking of the best candidates by their float vectors."""
import math
import time

import numpy as np

import mivo
from demo_common import K, RERANK, recall, rerank_exact, timed_loop, top_k

FACTOR_BYTES = 8  # f_add and f_rescale: the two f32 factors the estimate reads


def relative_errors(est, true):
    """|estimate - true| / true over the pairs with a non-zero true distance."""
    mask = true > 0
    return np.abs(est[mask].astype(np.float64) - true[mask]) / true[mask]


def width(base, queries, seed, bits):
    """Quantizes the base at `bits` and estimates every (query, record) pair, one
    Python call per pair: the API's unit is one record. Returns the row and the
    estimate matrix."""
    d = base.shape[1]
    quantizer = mivo.RaBitQQuantizer(d, seed, bits)
    quantizer.fit(base)
    start = time.perf_counter()
    records = [quantizer.quantize(x) for x in base]
    quantize_s = time.perf_counter() - start
    est = np.empty((len(queries), len(base)), dtype=np.float32)
    estimate = quantizer.approximate_l2_sqr

    def scan(i):
        q = queries[i]
        est[i] = [estimate(q, r) for r in records]

    scan_s = timed_loop(f"RaBitQ {bits}-bit estimates", len(queries), scan)
    return {
        "bits": bits,
        "bytes_per_vector": math.ceil(d * bits / 8) + FACTOR_BYTES,
        "quantize_vectors_per_s": len(base) / quantize_s,
        "queries_per_s": len(queries) / scan_s,
        "scan_s": scan_s,
        "us_per_call": scan_s / (len(queries) * len(base)) * 1e6,
    }, est


def evaluate(row, est, base, queries, truth, true_d2):
    """Adds recall and error figures to a width's row, from its estimate matrix; the
    re-ranked speed counts the estimates and the exact re-ranking."""
    found = top_k(est, K)
    start = time.perf_counter()
    reranked = [rerank_exact(queries[i], base, top_k(est[i], RERANK)[0])
                for i in range(len(est))]
    rerank_s = time.perf_counter() - start
    rel = relative_errors(est, true_d2)
    row.update({
        "queries": len(est),
        "recall_estimate": recall(found, truth),
        "recall_rerank": recall(reranked, truth),
        "queries_per_s_rerank": len(est) / (row["scan_s"] + rerank_s),
        "mean_rel_error": float(rel.mean()),
        "max_rel_error": float(rel.max()),
    })
    return row
