"""Shared quantizers and records used from several threads at once."""
import threading

import mivo
import numpy as np

F32 = np.float32
THREADS = 4
ROUNDS = 20


def run_together(work):
    """Runs work(i) in THREADS threads released together; returns their results in order."""
    barrier = threading.Barrier(THREADS)
    results, errors = [None] * THREADS, []

    def body(i):
        try:
            barrier.wait()
            results[i] = work(i)
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(THREADS)]
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
