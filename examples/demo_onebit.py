"""One-bit codes: sign bits of the centred vectors, Hamming search, then re-ranking
of the best candidates by the asymmetric distance between the float query and the
candidates' sign vectors."""
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

    found_h, found_r = [], []
    start = time.perf_counter()
    for q in tqdm(queries_c, desc="one-bit search", leave=False, unit="q", disable=None):
        qcode = mivo.pack_binary((q >= 0).astype(np.uint8))
        ham = mivo.batch_hamming_distances(qcode, codes)
        cand = top_k(ham, RERANK)[0]
        found_h.append(cand[:K])
        # The asymmetric distance ||q - b||^2 with b in {-1,+1}^d orders candidates
        # by <q, b>, a finer score than the Hamming count, without decoding.
        asym = mivo.batch_asymmetric_l2(q, codes[cand])
        found_r.append(cand[top_k(asym, K)[0]])
    search_s = time.perf_counter() - start
    return {
        "method": "one-bit",
        "bytes_per_vector": int(codes.shape[1]),
        "recall_hamming": recall(found_h, truth),
        "recall_rerank": recall(found_r, truth),
        "encode_vectors_per_s": len(base) / encode_s,
        "queries_per_s": len(queries) / search_s,
        "queries": len(queries),
    }
