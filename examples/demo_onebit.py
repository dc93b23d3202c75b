"""One-bit codes: sign bits of the centred vectors, searched by Hamming distance with
the batch kernel; then the best candidates ordered by the asymmetric distance between
the float query and their sign vectors."""
import time

import numpy as np
from tqdm import tqdm

import mivo
from demo_common import K, RERANK, recall, top_k


def run(base, queries, truth):
    mean = base.mean(0, dtype=np.float64).astype(np.float32)
    base_c = np.ascontiguousarray(base - mean)
    queries_c = np.ascontiguousarray(queries - mean)
    # pack_binary treats every nonzero byte as a set bit: 1 where the value is >= 0.
    start = time.perf_counter()
    codes = np.stack([mivo.pack_binary((row >= 0).astype(np.uint8)) for row in base_c])
    encode_s = time.perf_counter() - start

    found_h, found_a = [], []
    hamming_s = asym_s = 0.0
    for q in tqdm(queries_c, desc="one-bit search", leave=False, unit="q", disable=None):
        start = time.perf_counter()
        qcode = mivo.pack_binary((q >= 0).astype(np.uint8))
        cand = top_k(mivo.batch_hamming_distances(qcode, codes), RERANK)[0]
        middle = time.perf_counter()
        # The asymmetric distance ||q - b||^2 with b in {-1,+1}^d orders candidates
        # by <q, b>, a finer score than the Hamming count, without decoding.
        asym = mivo.batch_asymmetric_l2(q, codes[cand])
        found_a.append(cand[top_k(asym, K)[0]])
        asym_s += time.perf_counter() - middle
        hamming_s += middle - start
        found_h.append(cand[:K])
    n = len(queries)
    return [
        {"method": "one-bit, Hamming", "bits": 1, "bytes_per_vector": int(codes.shape[1]),
         "recall": recall(found_h, truth), "queries_per_s": n / hamming_s, "queries": n,
         "encode_vectors_per_s": len(base) / encode_s},
        {"method": f"one-bit, Hamming, top {RERANK} by asym. L2", "bits": 1,
         "bytes_per_vector": int(codes.shape[1]), "recall": recall(found_a, truth),
         "queries_per_s": n / (hamming_s + asym_s), "queries": n,
         "encode_vectors_per_s": len(base) / encode_s},
    ]
