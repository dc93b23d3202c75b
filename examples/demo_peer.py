"""The peer: faiss IndexRaBitQ behind faiss's own RandomRotationMatrix, at a given bit
width, with float queries (qb = 0). It returns every (query, base) estimate, so its
error is measured over exactly the pairs that mivo's is."""
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))
import faiss_peer  # noqa: E402

faiss = faiss_peer.load()  # the demonstration still runs without the peer


def available():
    return faiss is not None


def describe():
    return faiss_peer.describe(faiss)


class Peer:
    """The rotation is what IndexPreTransform would apply at every train and add; it is
    made once and shared by all widths (queries are rotated the same way)."""

    def __init__(self, base, seed=1234):
        self.d = base.shape[1]
        self.rotation = faiss.RandomRotationMatrix(self.d, self.d)
        self.rotation.init(seed)
        self.base_r = self.rotation.apply(base)

    def estimates(self, queries, bits):
        """Estimated squared distances of shape (len(queries), len(base)), the bytes per
        vector of faiss's code, and the seconds faiss took to estimate them all, the
        query rotation included: the work mivo's per-pair loop does."""
        index = faiss.IndexRaBitQ(self.d, faiss.METRIC_L2, bits)
        # Training centres on the mean of the rotated base, the rotated mean of the
        # base: the same centroid that mivo's fit takes.
        index.train(self.base_r)
        index.add(self.base_r)
        index.qb = 0
        start = time.perf_counter()
        # A range search with an unbounded radius returns every pair's estimate, the
        # ones a top-k search ranks, without a heap per query.
        lims, dist, ids = index.range_search(self.rotation.apply(queries), 1e30)
        search_s = time.perf_counter() - start
        est = np.empty((len(queries), index.ntotal), dtype=np.float32)
        for i in range(len(queries)):
            est[i, ids[lims[i]:lims[i + 1]]] = dist[lims[i]:lims[i + 1]]
        return est, int(index.code_size), search_s
