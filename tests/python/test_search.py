"""mivo_batch.bounds and search: selection against a brute force, re-ranking against the
exact top-k, the refusals, and the calls that let other threads run."""
import _thread
import mmap
import signal
import threading
import time

import mivo
import mivo_batch as mb
import numpy as np
import pytest
from conftest import raises_exact

F32 = np.float32


def make_case(n, d, bits, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((n, d), dtype=F32)
    x[n // 2:n // 2 + 3] = x[:3]  # equal records: equal estimates, ties to the lower id
    q = mivo.RaBitQQuantizer(d, 5, bits)
    q.fit(x)
    return x, q, mb.quantize(q, x), rng.standard_normal((4, d), dtype=F32)


def exact_l2(x, query):
    """Squared distances summed in index order from -0.0, as f32 (no pairwise sums)."""
    return np.add.accumulate((x - query) ** 2, axis=1, dtype=F32)[:, -1]


def brute(values, k):
    """Stable argsort: ties to the lower id, NaN last."""
    ids = np.argsort(values, kind="stable")[:k]
    return values[ids], ids


@pytest.mark.parametrize("n, k", [(50, 1), (50, 10), (50, 50), (50, 80), (1, 3)])
def test_search_equals_brute_force_over_the_estimates(n, k):
    x, q, batch, queries = make_case(n, 16, 3)
    dist, ids = mb.search(q, queries, batch, k)
    assert dist.shape == ids.shape == (4, min(k, n)) and ids.dtype == np.int64
    for row, query in enumerate(queries):
        want_d, want_i = brute(mb.approximate_l2_sqr(q, query, batch), k)
        assert ids[row].tolist() == want_i.tolist()
        assert dist[row].tobytes() == want_d.tobytes()


@pytest.mark.parametrize("bits, k", [(1, 5), (8, 60)])
def test_reranking_with_every_record_a_candidate_equals_the_exact_top_k(bits, k):
    x, q, batch, queries = make_case(60, 24, bits, seed=bits)
    x[7] = np.nan  # its estimate clamps to 0; its interval is infinite; exact NaN ranks last
    batch = mb.quantize(q, x)
    factors = batch.factors.copy()
    factors[:, 4] = 0.0  # f_error 0: every interval infinite, every record a candidate
    every = mb.QuantizedBatch.from_arrays(24, bits - 1, batch.binary_codes,
                                          batch.extended_codes, factors)
    dist, ids, cand = mb.search(q, queries, every, k, vectors=x)
    assert cand.dtype == np.uint64 and cand.tolist() == [60] * 4
    for row, query in enumerate(queries):
        lower, upper = mb.bounds(q, query, batch)
        est = mb.approximate_l2_sqr(q, query, batch)
        assert (lower <= est).all() and (est <= upper).all()
        assert np.isinf(lower[7]) and np.isinf(upper[7])
        want_d, want_i = brute(exact_l2(x, query), k)
        assert ids[row].tolist() == want_i.tolist()
        assert dist[row].tobytes() == want_d.tobytes()


def test_refusals():
    x, q, batch, queries = make_case(10, 8, 2)
    cases = [
        (lambda: mb.search(q, queries, batch, 0), ValueError, "k must be at least 1"),
        (lambda: mb.search(q, queries, batch, -2), ValueError, "k must be at least 1"),
        (lambda: mb.search(q, queries, batch, 3, x), TypeError,
         "search() takes 4 positional arguments but 5 were given"),
        (lambda: mb.search(q, queries[0], batch, 3), TypeError,
         "argument 'queries': expected a 2-D float32 NumPy array of shape (m, dimension)"),
        (lambda: mb.search(q, queries, batch, 3, vectors=x[:9]), ValueError,
         "argument 'vectors': 9 rows for a batch of 10 records"),
        (lambda: mb.search(q, queries[:, :7], batch, 3), ValueError,
         "dimension mismatch: expected 8, got 7"),
        (lambda: mb.search(mivo.RaBitQQuantizer(8, 5, 3), queries, batch, 3), ValueError, None),
    ]
    for call, exc, text in cases:
        with raises_exact(exc, text):
            call()


def timed(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def long_search(q, queries, batch, seconds, **kw):
    """As many copies of queries as take about `seconds` to search."""
    mb.search(q, queries, batch, 10, **kw)  # an integer scan's first call computes its sums
    # The fastest of three: one run slowed by other work on the machine would make the
    # long search short enough to end before the test's signal.
    per = min(timed(lambda: mb.search(q, queries, batch, 10, **kw)) for _ in range(3))
    per /= len(queries)
    return np.repeat(queries, max(1, int(seconds / per / len(queries))), axis=0)


SCANS = [{}, {"scan": "int"}]


@pytest.mark.parametrize("kw", SCANS, ids=["float", "int"])
def test_a_fit_during_a_search_fails_and_leaves_the_result_alone(kw):
    x, q, batch, queries = make_case(20_000, 64, 4)
    many = long_search(q, queries, batch, 1.0, **kw)
    want = mb.search(q, many, batch, 10, **kw)
    started, results, refusals = threading.Event(), [], []

    def run():
        started.set()
        results.append(mb.search(q, many, batch, 10, **kw))

    worker = threading.Thread(target=run)
    worker.start()
    started.wait()
    while worker.is_alive():
        try:
            q.fit(x)  # the same centroid: a fit before the search starts changes nothing
        except RuntimeError as e:
            refusals.append(str(e))
    worker.join()
    assert refusals and set(refusals) == {"Already borrowed"}
    assert all(a.tobytes() == b.tobytes() for a, b in zip(results[0], want))


def seconds_until_interrupted(call, after):
    """Runs call(), interrupted by Ctrl-C `after` seconds in; the seconds it took to stop
    with KeyboardInterrupt."""
    timer = threading.Timer(after, _thread.interrupt_main)
    # Python's own SIGINT handler, whatever the test was started with: a process
    # started in the background of a shell inherits SIGINT ignored, and then
    # interrupt_main does nothing.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        start = time.perf_counter()
        timer.start()
        with pytest.raises(KeyboardInterrupt):
            call()
        return time.perf_counter() - start
    finally:
        timer.join()
        signal.signal(signal.SIGINT, previous)


@pytest.mark.parametrize("kw", SCANS, ids=["float", "int"])
def test_a_signal_stops_a_long_search_promptly(kw):
    x, q, batch, queries = make_case(20_000, 64, 4)
    many = long_search(q, queries, batch, 4.0, vectors=x, **kw)
    assert seconds_until_interrupted(lambda: mb.search(q, many, batch, 10, vectors=x, **kw),
                                     0.3) < 1.5

def test_a_result_size_that_wraps_is_a_memory_error():
    # 2^44 queries (a read-only anonymous map: no memory used) times 2^20 columns is 2^64
    # entries, which wraps to 0 in 64 bits.
    q = mivo.RaBitQQuantizer(1, 0, 1)
    batch = mb.quantize(q, np.ones((2**20, 1), F32))
    huge = mmap.mmap(-1, 2**46, flags=mmap.MAP_PRIVATE, prot=mmap.PROT_READ)
    try:
        queries = np.frombuffer(huge, F32).reshape(2**44, 1)
        for kw in SCANS:
            with raises_exact(MemoryError):
                mb.search(q, queries, batch, 2**20, **kw)
        del queries
    finally:
        huge.close()


D = 256


def first_integer_call(q, n, rng):
    """A first integer call on a new batch of n random records: it builds the kept data."""
    d = D
    arrays = (rng.integers(0, 256, (n, d // 8), np.uint8),
              rng.integers(0, 256, (n, 3 * d // 8), np.uint8),
              rng.uniform(0.5, 1.5, (n, 6)).astype(F32))
    return lambda: mb.integer_bounds(q, np.ones(d, F32), mb.QuantizedBatch.from_arrays(d, 3, *arrays))


def quantize_call(q, n, rng):
    x = rng.standard_normal((n, D), dtype=F32)
    return lambda: mb.quantize(q, x)


# Work of at least 20 pacing intervals; a quantize of 3 s, beyond the ceiling below, fails
# it when the call is not paced at all.
@pytest.mark.parametrize("make, seconds", [(first_integer_call, 1.0), (quantize_call, 3.0)],
                         ids=["int", "quantize"])
def test_a_signal_stops_long_batch_work(make, seconds):
    q, rng = mivo.RaBitQQuantizer(D, 3, 4), np.random.default_rng(5)
    per_record = timed(make(q, 2000, rng)) / 2000
    assert seconds_until_interrupted(make(q, int(seconds / per_record), rng), 0.1) < 2.0


@pytest.mark.parametrize("view", [lambda w: w[::2, :32], lambda w: w[::-1, 32:],
                                  lambda w: w[1:, 3:35], lambda w: w[:, ::2],
                                  lambda w: np.asfortranarray(w[:, :32])],
                         ids=["rows skipped", "reversed", "sliced", "columns skipped", "column-major"])
def test_queries_of_any_layout_give_the_results_of_their_copy(view):
    x, q, batch, _ = make_case(300, 32, 4)
    queries = view(np.random.default_rng(2).standard_normal((9, 64), dtype=F32))
    for kw in SCANS:
        got = mb.search(q, queries, batch, 5, vectors=x, **kw)
        want = mb.search(q, np.ascontiguousarray(queries), batch, 5, vectors=x, **kw)
        assert [a.tobytes() for a in got] == [a.tobytes() for a in want]
    with raises_exact(TypeError, "argument 'vectors': not C-contiguous and aligned; "
                      "np.ascontiguousarray makes a copy that is"):
        mb.search(q, queries, batch, 5, vectors=np.repeat(x, 2, axis=0)[::2])
