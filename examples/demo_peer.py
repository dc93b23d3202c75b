"""The peer: faiss IndexRaBitQ behind faiss's own RandomRotationMatrix, at a given bit
width, with float queries (qb = 0). It returns every (query, base) estimate, so its
error is measured over exactly the pairs that mivo's is."""
import time

import numpy as np

try:
    import faiss
except ImportError:  # the demonstration still runs without the peer
    faiss = None


def available():
    return faiss is not None


class Peer:
    """The rotation is what IndexPreTransform would apply at every train and add; with
    Debian's reference BLAS it costs seconds per pass, so the rotated base is made once
    and shared by all widths (queries are rotated the same way)."""

    def __init__(self, base, seed=1234):
        faiss.omp_set_num_threads(1)
        self.d = base.shape[1]
        self.rotation = faiss.RandomRotationMatrix(self.d, self.d)
        self.rotation.init(seed)
        self.base_r = self.rotation.apply(base)

    def estimates(self, queries, bits):
        """Estimated squared distances of shape (len(queries), len(base)), the bytes per
        vector of faiss's code, and the seconds its batched search took."""
        index = faiss.IndexRaBitQ(self.d, faiss.METRIC_L2, bits)
        # Training centres on the mean of the rotated base, the rotated mean of the
        # base: the same centroid that mivo's fit takes.
        index.train(self.base_r)
        index.add(self.base_r)
        index.qb = 0
        start = time.perf_counter()
        # A range search with an unbounded radius returns every pair without the
        # cost of sorting 10k results per query (same estimates as search).
        lims, dist, ids = index.range_search(self.rotation.apply(queries), 1e30)
        search_s = time.perf_counter() - start
        est = np.empty((len(queries), index.ntotal), dtype=np.float32)
        for i in range(len(queries)):
            est[i, ids[lims[i]:lims[i + 1]]] = dist[lims[i]:lims[i + 1]]
        return est, int(index.code_size), search_s
