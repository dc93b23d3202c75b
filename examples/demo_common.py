"""Exact search, recall and the time budget shared by the demonstration's steps."""
import time

import numpy as np
from tqdm import tqdm

K = 10          # recall@K
RERANK = 100    # candidates re-ranked exactly


def squared_distances(queries, base):
    """Exact squared L2 distances in float64, so they can serve as the truth."""
    q = queries.astype(np.float64)
    b = base.astype(np.float64)
    d = (q * q).sum(1)[:, None] + (b * b).sum(1)[None, :] - 2.0 * (q @ b.T)
    return np.maximum(d, 0.0)


def exact_knn_l2(queries, base, k=K, chunk=256):
    """Indices of the k nearest base vectors of every query (chunked for memory)."""
    out = np.empty((len(queries), k), dtype=np.int64)
    for s in range(0, len(queries), chunk):
        out[s:s + chunk] = top_k(squared_distances(queries[s:s + chunk], base), k)
    return out


def exact_knn_cosine(queries, base, k=K):
    qn = queries / np.maximum(np.linalg.norm(queries, axis=1, keepdims=True), 1e-30)
    bn = base / np.maximum(np.linalg.norm(base, axis=1, keepdims=True), 1e-30)
    return top_k(-(qn.astype(np.float64) @ bn.T.astype(np.float64)), k)


def top_k(scores, k):
    """Row-wise indices of the k smallest scores, in increasing order."""
    scores = np.atleast_2d(scores)
    k = min(k, scores.shape[1])
    part = np.argpartition(scores, k - 1, axis=1)[:, :k]
    order = np.take_along_axis(scores, part, 1).argsort(1, kind="stable")
    return np.take_along_axis(part, order, 1)


def recall(found, truth, k=K):
    """Mean fraction of the true k nearest found among the first k results."""
    hits = sum(len(set(f[:k]) & set(t[:k])) for f, t in zip(found, truth))
    return hits / (k * len(truth))


def rerank_exact(query, base, candidates, k=K):
    """The k of `candidates` nearest to `query` by exact squared distance."""
    d = squared_distances(query[None, :], base[candidates])[0]
    return candidates[top_k(d, k)[0]]


def timed_loop(label, count, step):
    """Runs step(i) for i < count under a progress bar; returns the seconds spent."""
    start = time.perf_counter()
    for i in tqdm(range(count), desc=label, leave=False, unit="q", disable=None):
        step(i)
    return time.perf_counter() - start
