"""Exact search and recall, shared by the demonstration's steps."""
import numpy as np

K = 10  # recall@K


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
