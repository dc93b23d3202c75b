"""mivo_batch.kmeans and assign: refusals, the model of the pinned arithmetic, threads,
and a signal that stops a long run."""
import _thread
import signal
import threading
import time

import mivo_batch as mb
import numpy as np
import pytest
from conftest import raises_exact

F32 = np.float32


def data(n=400, d=12, seed=0):
    return np.random.default_rng(seed).standard_normal((n, d), dtype=F32)


def model_distances(x, centroids):
    """Sum of (x - c)^2 in f32, term by term in dimension order from -0.0."""
    sums = np.full((len(x), len(centroids)), -0.0, F32)
    for j in range(x.shape[1]):
        diff = x[:, j, None] - centroids[None, :, j]
        sums = sums + diff * diff
    return sums


def test_refusals():
    x = data(20, 4)
    nan = x.copy()
    nan[7, 2] = np.nan
    cases = [
        (lambda: mb.kmeans(x, 0, seed=1), ValueError, "nlist must be at least 1"),
        (lambda: mb.kmeans(x, -3, seed=1), ValueError, "nlist must be at least 1"),
        (lambda: mb.kmeans(x, 21, seed=1), ValueError,
         "nlist (21) is above the number of vectors (20)"),
        (lambda: mb.kmeans(x, 2, seed=1, sample=0), ValueError, "sample must be at least 1"),
        (lambda: mb.kmeans(x, 2, seed=1, iterations=-1), ValueError,
         "iterations must be at least 0"),
        (lambda: mb.kmeans(x, 2, seed=1, threads=0), ValueError,
         "threads must be None or from 1 to 1024"),
        (lambda: mb.kmeans(nan, 2, seed=1), ValueError,
         "argument 'vectors': row 7 holds a value that is not finite (NaN or infinity)"),
        (lambda: mb.kmeans(x, 2), TypeError, None),
        (lambda: mb.kmeans(x, 2, 1), TypeError,
         "kmeans() takes 2 positional arguments but 3 were given"),
        (lambda: mb.kmeans(x.astype(np.float64), 2, seed=1), TypeError,
         "argument 'vectors': expected a 2-D float32 NumPy array of shape (n, dimension)"),
        (lambda: mb.kmeans(x, 2, seed=1, stats=[]), TypeError,
         "argument 'stats': expected a dict, got 'list'"),
        (lambda: mb.assign(x[:3], x[:, :3]), ValueError, "dimension mismatch: expected 4, got 3"),
        (lambda: mb.kmeans(np.zeros((2**32, 0), F32), 2**32 - 1, seed=1), ValueError,
         "at most 4294967294 centroids"),
        (lambda: mb.assign(x[:0], x), ValueError,
         "argument 'centroids': expected at least one centroid"),
        (lambda: mb.assign(nan[5:], x), ValueError,
         "argument 'centroids': row 2 holds a value that is not finite (NaN or infinity)"),
        (lambda: mb.assign(x, nan), ValueError,
         "argument 'vectors': row 7 holds a value that is not finite (NaN or infinity)"),
    ]
    for call, exc, text in cases:
        with raises_exact(exc, text):
            call()


def test_assign_is_the_model_argmin_with_ties_to_the_lower_id():
    x = data(300, 7)
    centroids = np.vstack([x[:40], x[:40]])  # every distance tied with a higher twin
    want = np.argmin(model_distances(x, centroids), axis=1)  # first of equal minima
    assert mb.assign(centroids, x, threads=2).tolist() == want.tolist()
    assert (want < 40).all()


def test_a_fixed_point_is_the_mean_of_the_model_assignment():
    x = data(500, 6, seed=4)
    stats = {}
    c = mb.kmeans(x, 9, seed=2, iterations=200, stats=stats)
    assert len(stats["computed"]) < 200 and stats["training_rows"] == 500
    assert stats["computed"][0] == 500 * 9
    nearest = mb.assign(c, x)
    for j in range(9):
        members = x[nearest == j]
        mean = np.add.accumulate(members, axis=0, dtype=F32)[-1] / F32(len(members))
        assert mean.tobytes() == c[j].tobytes()


def test_every_thread_count_gives_the_same_bits_and_a_seed_its_own():
    x = data(3000, 20, seed=1)
    want = mb.kmeans(x, 40, seed=5, sample=30, threads=1)
    for threads in (2, 3, None):
        assert mb.kmeans(x, 40, seed=5, sample=30, threads=threads).tobytes() == want.tobytes()
    assert mb.kmeans(x, 40, seed=6, sample=30).tobytes() != want.tobytes()


def test_a_signal_stops_a_long_kmeans_promptly():
    x = data(100_000, 64, seed=2)  # its first assignment alone outlasts the timer
    timer = threading.Timer(0.3, _thread.interrupt_main)
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        start = time.perf_counter()
        timer.start()
        with pytest.raises(KeyboardInterrupt):
            mb.kmeans(x, 4000, seed=1, iterations=10_000, threads=2)
        assert time.perf_counter() - start < 1.5
    finally:
        timer.join()
        signal.signal(signal.SIGINT, previous)
