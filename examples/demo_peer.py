"""The peer: faiss's RaBitQ indexes behind faiss's own RandomRotationMatrix, searched
for the k nearest at a given bit width on one thread: IndexRaBitQ with float queries
(qb = 0) and with 8-bit queries (qb = 8), and IndexRaBitQFastScan where the loaded
faiss has it."""
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))
import faiss_peer  # noqa: E402
from demo_common import K, recall  # noqa: E402
from demo_search import timed  # noqa: E402

faiss = None  # set by load(); the demonstration still runs without the peer


def load(strong=True):
    """Loads the peer once: the strong build from ./dev faiss when it exists and
    `strong` is true, else Debian's."""
    global faiss
    faiss = faiss_peer.load(strong=strong)

FAST_SCAN = "IndexRaBitQFastScan"
FAST_SCAN_BLOCK = 32  # records per block of faiss's fast-scan layout (its default)


def available():
    return faiss is not None


def has_fast_scan():
    return faiss is not None and hasattr(faiss, FAST_SCAN)


def describe():
    return faiss_peer.describe(faiss)


class Peer:
    """The rotation is what IndexPreTransform would apply at every train, add and search;
    it is made once, applied to the base once, and to the queries inside each timing."""

    def __init__(self, base, seed=1234):
        self.d = base.shape[1]
        self.rotation = faiss.RandomRotationMatrix(self.d, self.d)
        self.rotation.init(seed)
        self.base_r = self.rotation.apply(base)

    def _search(self, index, method, bits, queries, truth):
        # Training centres on the mean of the rotated base, the rotated mean of the base:
        # the same centroid that mivo's fit takes.
        index.train(self.base_r)
        index.add(self.base_r)
        (_, ids), seconds = timed(lambda: index.search(self.rotation.apply(queries), K))
        return {"method": method, "bits": bits, "queries": len(queries),
                "recall": recall(ids, truth), "queries_per_s": len(queries) / seconds,
                "bytes_per_vector": int(index.code_size)}

    def rabitq(self, bits, qb, queries, truth):
        index = faiss.IndexRaBitQ(self.d, faiss.METRIC_L2, bits)
        index.qb = qb
        return self._search(index, f"faiss IndexRaBitQ qb={qb}", bits, queries, truth)

    def fast_scan(self, bits, queries, truth):
        index = getattr(faiss, FAST_SCAN)(self.d, faiss.METRIC_L2, FAST_SCAN_BLOCK, bits)
        return self._search(index, f"faiss {FAST_SCAN}", bits, queries, truth)
