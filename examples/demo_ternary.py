"""Ternary codes: every dimension of the centred vector becomes -1, 0 or +1 by two
thresholds, fixed or fitted per dimension to a target sparsity; search ranks the
records by the asymmetric cosine distance to the float query, one call per pair."""
import math
import time

import numpy as np

import mivo
from demo_common import K, exact_knn_cosine, recall, timed_loop, top_k


def configurations(d):
    """(label, constructor keywords). Fixed thresholds act on the normalised vector,
    whose components are about 1/sqrt(d), so they scale with the dimension; fitted
    thresholds come from unnormalised training columns, so those runs do not
    normalise either."""
    t = 0.5 / math.sqrt(d)
    return [
        ("fixed ±0.5/√d", dict(threshold_high=t, threshold_low=-t, normalize=True)),
        ("target sparsity 0.3", dict(normalize=False, target_sparsity=0.3)),
        ("target sparsity 0.6", dict(normalize=False, target_sparsity=0.6)),
    ]


class Run:
    """Codes and searches one configuration after another over the same queries
    (cosine on data centred on the base mean, the centring the quantizer applies)."""

    def __init__(self, base, queries):
        mean = base.mean(0, dtype=np.float64).astype(np.float32)
        self.base = base
        self.queries_c = np.ascontiguousarray(queries - mean)
        self.truth = exact_knn_cosine(self.queries_c, base - mean)

    def config(self, label, kwargs):
        base, d = self.base, self.base.shape[1]
        quantizer = mivo.TernaryQuantizer(d, **kwargs)
        quantizer.fit(base)
        start = time.perf_counter()
        records = [quantizer.quantize(x) for x in base]
        quantize_s = time.perf_counter() - start
        distance = mivo.ternary_asymmetric_cosine_distance
        scores = np.empty((len(self.queries_c), len(base)), dtype=np.float32)

        def scan(i):
            q = self.queries_c[i]
            scores[i] = [distance(q, r) for r in records]

        scan_s = timed_loop(f"ternary {label}", len(self.queries_c), scan)
        return {
            "method": f"ternary, {label}",
            "bytes_per_vector": records[0].memory_bytes,
            "sparsity": float(np.mean([r.sparsity for r in records])),
            "recall": recall(top_k(scores, K), self.truth),
            "queries": len(self.queries_c),
            "quantize_vectors_per_s": len(base) / quantize_s,
            "queries_per_s": len(self.queries_c) / scan_s,
        }
