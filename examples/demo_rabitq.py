"""RaBitQ at one bit width: fit, quantize the base set, estimate the squared distance
of every (query, record) pair, then search by the estimate alone and with exact
re-ranking of the best candidates."""
import math
import time

import numpy as np

import mivo
from demo_common import K, RERANK, affordable, recall, rerank_exact, timed_loop, top_k

FACTOR_BYTES = 8  # f_add and f_rescale: the two f32 factors the estimate reads


def available():
    return hasattr(mivo, "RaBitQQuantizer")


def relative_errors(est, true):
    """|estimate - true| / true over the pairs with a non-zero true distance."""
    mask = true > 0
    return np.abs(est[mask].astype(np.float64) - true[mask]) / true[mask]


class Run:
    """Quantizes and estimates at several widths over one shared query subset, whose
    size is chosen from the cost of the first query so the loops fit the budget."""

    def __init__(self, base, queries, seed, budget_s):
        self.base, self.queries, self.seed, self.budget_s = base, queries, seed, budget_s
        self.count = None  # queries scanned per width, fixed at the first width

    def width(self, bits):
        base, d = self.base, self.base.shape[1]
        quantizer = mivo.RaBitQQuantizer(d, self.seed, bits)
        quantizer.fit(base)
        start = time.perf_counter()
        records = [quantizer.quantize(x) for x in base]
        quantize_s = time.perf_counter() - start

        def scan(i):
            q = self.queries[i]
            est[i] = [quantizer.approximate_l2_sqr(q, r) for r in records]

        if self.count is None:
            est = np.empty((1, len(base)), dtype=np.float32)
            self.count = affordable(timed_loop("probe", 1, scan), self.budget_s,
                                    len(self.queries))
        est = np.empty((self.count, len(base)), dtype=np.float32)
        scan_s = timed_loop(f"RaBitQ {bits}-bit estimates", self.count, scan)
        return {
            "bits": bits,
            "bytes_per_vector": math.ceil(d * bits / 8) + FACTOR_BYTES,
            "quantize_vectors_per_s": len(base) / quantize_s,
            "queries_per_s": self.count / scan_s,
        }, est


def evaluate(row, est, base, queries, truth, true_d2):
    """Adds recall and error figures to a width's row, from its estimate matrix."""
    found = top_k(est, K)
    reranked = [rerank_exact(queries[i], base, top_k(est[i], RERANK)[0])
                for i in range(len(est))]
    rel = relative_errors(est, true_d2)
    row.update({
        "queries": len(est),
        "recall_estimate": recall(found, truth[:len(est)]),
        "recall_rerank": recall(reranked, truth[:len(est)]),
        "mean_rel_error": float(rel.mean()),
        "max_rel_error": float(rel.max()),
    })
    return row
