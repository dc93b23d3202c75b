"""Shared quantizers and records used from several threads at once."""
import collections
import struct
import sys
import threading
import time

import mivo
import numpy as np
import pytest

F32 = np.float32
THREADS = 4
ROUNDS = 20


def run_together(work, count=THREADS):
    """Runs work(i) in `count` threads released together; returns their results in order."""
    barrier = threading.Barrier(count)
    results, errors = [None] * count, []

    def body(i):
        try:
            barrier.wait()
            results[i] = work(i)
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    return results


def test_readers_share_a_quantizer_and_records():
    rng = np.random.default_rng(7)
    data = rng.standard_normal((16, 64)).astype(F32)
    rq = mivo.RaBitQQuantizer(64, 99, 5)
    rq.fit(data)
    tq = mivo.TernaryQuantizer(64, target_sparsity=0.5)
    tq.fit(data)
    records = [rq.quantize(x) for x in data]
    ternary = [tq.quantize(x) for x in data]

    def work(_):
        out = []
        for _ in range(ROUNDS):
            for j, x in enumerate(data):
                v = rq.quantize(x)
                t = tq.quantize(x)
                out.append((
                    v.codes, v.f_add, v.f_rescale, repr(v), repr(rq),
                    rq.approximate_l2_sqr(data[0], records[j]),
                    rq.approximate_distance(x, records[-1 - j]),
                    t.to_list(), repr(t),
                    mivo.ternary_hamming(ternary[j], ternary[0]),
                    mivo.ternary_inner_product(ternary[j], ternary[-1]),
                    mivo.ternary_cosine_similarity(t, ternary[j]),
                    mivo.ternary_asymmetric_inner_product(x, ternary[j]),
                    mivo.ternary_asymmetric_cosine_distance(data[0], ternary[j]),
                ))
        return out

    expected = work(None)
    for got in run_together(work):
        assert got == expected


def test_writers_on_separate_quantizers():
    rng = np.random.default_rng(8)
    data = rng.standard_normal((THREADS, 10, 32)).astype(F32)

    def work(i):
        rq = mivo.RaBitQQuantizer(32, i, 3)
        tq = mivo.TernaryQuantizer(32, normalize=False, target_sparsity=0.3)
        out = []
        for _ in range(ROUNDS):
            rq.fit(data[i])
            tq.fit(data[i])
            out.append((rq.quantize(data[i][0]).codes, tq.quantize(data[i][1]).to_list()))
        return out

    assert run_together(work) == [work(i) for i in range(THREADS)]


# --- Writers against readers, with conversions that hand the interpreter over ---

class Yielding:
    """A number whose conversion lets other threads run, so calls interleave."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)
        return self.value


def yielding(values):
    return [Yielding(v) for v in values]


@pytest.fixture
def switch_often():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def qv_state(v):
    return (tuple(v.codes), v.binary_codes, v.extended_codes, struct_bits(v.delta, v.vl, v.f_add,
            v.f_rescale, v.f_error, v.residual_norm), repr(v))


def struct_bits(*floats):
    return struct.pack(f"<{len(floats)}f", *floats)


def contend(workers, seconds=1.5):
    """Runs every worker in its own thread until the deadline; each returns a Counter.

    Every worker pauses between calls, so that each kind finds the object free now
    and then."""
    deadline = time.monotonic() + seconds

    def loop(i):
        counts = collections.Counter()
        while time.monotonic() < deadline:
            counts.update(workers[i]())
            time.sleep(3e-4)
        return counts

    return sum(run_together(loop, len(workers)), collections.Counter())


def attempt(call, *args):
    """Calls; a refusal counts by its text, and only the access refusals are allowed."""
    try:
        return call(*args), None
    except RuntimeError as e:
        assert str(e) in ("Already borrowed", "Already mutably borrowed")
        return None, str(e)


def test_rabitq_writers_against_readers(switch_often):
    rng = np.random.default_rng(11)
    d = 16
    centroids = [rng.standard_normal(d).astype(F32).tolist() for _ in range(2)]
    probes = [rng.standard_normal(d).astype(F32).tolist() for _ in range(3)]
    rq = mivo.RaBitQQuantizer(d, 5, 4)
    stored = rq.quantize(probes[0])
    stored_state = qv_state(stored)

    # What every read gives under either centroid, computed single-threaded.
    per_centroid = []
    for c in centroids:
        single = mivo.RaBitQQuantizer(d, 5, 4)
        single.set_centroid(c)
        per_centroid.append([(qv_state(single.quantize(p)),
                              struct_bits(single.approximate_l2_sqr(p, stored)))
                             for p in probes])
    rq.set_centroid(centroids[0])

    def writer(i):
        def work():
            _, refused = attempt(rq.set_centroid, yielding(centroids[i % 2]))
            return {refused or "wrote": 1}
        return work

    def reader(i):
        def work():
            p = yielding(probes[i % 3])
            v, refused = attempt(rq.quantize, p)
            if v is not None:
                assert qv_state(v) in [r[i % 3][0] for r in per_centroid]
            est, refused_too = attempt(rq.approximate_l2_sqr, p, stored)
            if est is not None:
                assert struct_bits(est) in [r[i % 3][1] for r in per_centroid]
            return collections.Counter([refused or "read", refused_too or "read"])
        return work

    totals = contend([writer(0), writer(1), reader(0), reader(1), reader(2)])
    assert totals["wrote"] > 0 and totals["read"] > 0
    assert totals["Already borrowed"] > 0, totals  # writers turned away from held objects
    assert totals["Already mutably borrowed"] > 0, totals  # readers turned away from a writer
    # Afterwards the quantizer holds one of the two centroids in full, and the shared
    # record is untouched.
    assert qv_state(stored) == stored_state
    after = [(qv_state(rq.quantize(p)), struct_bits(rq.approximate_l2_sqr(p, stored)))
             for p in probes]
    assert after in per_centroid


def test_ternary_fit_against_readers(switch_often):
    rng = np.random.default_rng(12)
    d, n = 8, 6
    datasets = [rng.standard_normal(n * d).astype(F32).tolist() for _ in range(2)]
    probes = [rng.standard_normal(d).astype(F32).tolist() for _ in range(2)]
    tq = mivo.TernaryQuantizer(d, normalize=False, target_sparsity=0.4)
    shared = tq.quantize(probes[0])

    expected = set()
    for data in datasets:
        single = mivo.TernaryQuantizer(d, normalize=False, target_sparsity=0.4)
        single.fit(data, num_vectors=n)
        for p in probes:
            t = single.quantize(p)
            expected.add((tuple(t.to_list()), repr(t),
                          mivo.ternary_inner_product(t, shared)))
    tq.fit(datasets[0], num_vectors=n)

    def writer(i):
        def work():
            _, refused = attempt(tq.fit, yielding(datasets[i % 2]), n)
            return {refused or "wrote": 1}
        return work

    def reader(i):
        def work():
            t, refused = attempt(tq.quantize, yielding(probes[i % 2]))
            if t is not None:
                assert (tuple(t.to_list()), repr(t), mivo.ternary_inner_product(t, shared)) \
                    in expected
                # The record is shared by readers only: it is never refused.
                assert mivo.ternary_asymmetric_inner_product(yielding(probes[0]), shared) == \
                    mivo.ternary_asymmetric_inner_product(probes[0], shared)
            return {refused or "read": 1}
        return work

    totals = contend([writer(0), writer(1), reader(0), reader(1)])
    assert totals["wrote"] > 0 and totals["read"] > 0
    assert totals["Already borrowed"] > 0 and totals["Already mutably borrowed"] > 0, totals
