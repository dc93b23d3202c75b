"""mivo_batch's integer scan: its refusals, its estimates against the float ones, its
search against the exact top-k, the float answer for queries that are not finite, and
the per-record sums that the first call keeps with a batch."""
import threading

import mivo
import mivo_batch as mb
import numpy as np
import pytest
from conftest import raises_exact
from test_search import brute, exact_l2, make_case

F32 = np.float32
RANGE = "invalid config: query_bits -- must be 1-8"


def test_refusals():
    x, q, batch, queries = make_case(10, 8, 3)
    search = lambda **kw: mb.search(q, queries, batch, 3, **kw)  # noqa: E731
    cases = [
        (lambda: search(scan="fast"), ValueError,
         "argument 'scan': must be 'float' or 'int', not 'fast'"),
        (lambda: search(scan=b"int"), TypeError,
         "argument 'scan': must be 'float' or 'int', not b'int'"),
        (lambda: search(scan="float", query_bits=8), TypeError,
         "argument 'query_bits': only scan='int' quantizes the query; scan='float' takes no "
         "query_bits"),
        (lambda: search(query_bits=4), TypeError,
         "argument 'query_bits': only scan='int' quantizes the query; scan='float' takes no "
         "query_bits"),
        (lambda: search(stats={}), TypeError,
         "argument 'stats': only scan='int' counts what it scores; scan='float' takes no stats"),
        (lambda: search(scan="int", stats=[]), TypeError,
         "argument 'stats': expected a dict, got 'list'"),
        (lambda: search(scan="int", query_bits=0), ValueError, RANGE),
        (lambda: search(scan="int", query_bits=9), ValueError, RANGE),
        (lambda: search(scan="int", query_bits=-1), ValueError, RANGE),
        (lambda: search(scan="int", query_bits=2**70), ValueError, RANGE),
        (lambda: search(scan="int", query_bits=4.0), TypeError,
         "argument 'query_bits': 'float' object cannot be interpreted as an integer"),
        (lambda: mb.search(q, queries, batch, 3, None, "int"), TypeError,
         "search() takes 4 positional arguments but 6 were given"),
        (lambda: mb.integer_bounds(q, queries[0], batch, 4), TypeError,
         "integer_bounds() takes 3 positional arguments but 4 were given"),
        (lambda: mb.integer_bounds(q, queries[0], batch, query_bits=0), ValueError, RANGE),
        (lambda: mb.integer_bounds(q, queries[0][:7], batch), ValueError,
         "dimension mismatch: expected 8, got 7"),
        (lambda: mb.integer_bounds(mivo.RaBitQQuantizer(8, 5, 2), queries[0], batch), ValueError,
         "ex_bits mismatch: the batch has ex_bits 2, the quantizer (total_bits 2) makes ex_bits 1"),
    ]
    for call, exc, text in cases:
        with raises_exact(exc, text):
            call()


@pytest.mark.parametrize("bits, query_bits", [(1, 8), (2, 1), (4, 4), (8, 8), (5, 6)])
def test_estimates_lie_within_the_quantization_term_of_the_float_ones(bits, query_bits):
    x, q, batch, queries = make_case(200, 40, bits, seed=bits)
    for query in queries:
        est, lower, upper = mb.integer_bounds(q, query, batch, query_bits=query_bits)
        assert est.dtype == lower.dtype == upper.dtype == F32 and est.shape == (200,)
        assert (lower <= est).all() and (est <= upper).all()
        float_est = mb.approximate_l2_sqr(q, query, batch)
        _, float_upper = mb.bounds(q, query, batch)
        # The integer interval's half-width less the float one's is the quantization
        # term and the f32 margin; the difference of the estimates must lie within it.
        term = (upper - est) - (float_upper - float_est)
        assert (np.abs(est - float_est) <= term * F32(1.001)).all()


# Cases whose every true distance lies in its interval (checked); at fewer query bits
# the intervals are wider and miss less.
@pytest.mark.parametrize("bits, query_bits, k", [(1, 4, 5), (3, 5, 10), (4, 5, 10), (6, 6, 7),
                                                 (8, 8, 3)])
def test_search_equals_the_exact_and_the_full_top_k_where_the_bounds_hold(bits, query_bits, k):
    x, q, batch, queries = make_case(300, 48, bits, seed=10 + bits)
    kw = dict(scan="int", query_bits=query_bits)
    stats = {"kept": 1}
    dist, ids = mb.search(q, queries, batch, k, stats=stats, **kw)
    assert stats["kept"] == 1 and stats["records"] == 4 * 300 and stats["float_queries"] == 0
    assert k * 4 <= stats["scored"] <= 4 * 300 and (stats["scored"] == 4 * 300 or bits > 1)
    exact, exact_ids, candidates = mb.search(q, queries, batch, k, vectors=x, **kw)
    for row, query in enumerate(queries):
        est, lower, upper = mb.integer_bounds(q, query, batch, query_bits=query_bits)
        truth = exact_l2(x, query)
        assert ((lower <= truth) & (truth <= upper)).all()
        want_d, want_i = brute(est, k)  # every record fully scored
        assert ids[row].tolist() == want_i.tolist()
        assert dist[row].tobytes() == want_d.tobytes()
        want_d, want_i = brute(truth, k)
        assert exact_ids[row].tolist() == want_i.tolist()
        assert exact[row].tobytes() == want_d.tobytes()
        assert k <= candidates[row] <= (lower <= np.sort(upper)[k - 1]).sum()


@pytest.mark.parametrize("bits", [1, 4])
def test_a_query_that_is_not_finite_gets_the_float_results(bits):
    x, q, batch, queries = make_case(60, 16, bits)
    queries[1, 3] = np.inf
    queries[2, 0] = np.nan
    queries[3, 5] = -np.inf
    for query in queries[1:]:
        got = mb.integer_bounds(q, query, batch, query_bits=3)
        want = (mb.approximate_l2_sqr(q, query, batch), *mb.bounds(q, query, batch))
        assert [a.tobytes() for a in got] == [a.tobytes() for a in want]
    for kw in ({}, {"vectors": x}):
        stats = {}
        ints = mb.search(q, queries, batch, 7, scan="int", query_bits=2, stats=stats, **kw)
        assert stats == {"records": 4 * 60, "scored": stats["scored"], "float_queries": 3}
        floats = mb.search(q, queries, batch, 7, scan="float", **kw)
        assert [a[1:].tobytes() for a in ints] == [a[1:].tobytes() for a in floats]
        assert [a.tobytes() for a in floats] == [a.tobytes()
                                                 for a in mb.search(q, queries, batch, 7, **kw)]


def test_threads_making_the_first_integer_call_on_a_batch_agree():
    x, q, batch, queries = make_case(3000, 64, 4)
    fresh = [mb.QuantizedBatch.from_arrays(64, 3, batch.binary_codes, batch.extended_codes,
                                           batch.factors) for _ in range(3)]
    barrier, results = threading.Barrier(4), []

    def run(b):
        barrier.wait()
        results.append(mb.search(q, queries, b, 5, vectors=x, scan="int"))

    threads = [threading.Thread(target=run, args=(fresh[i % 3],)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    want = [a.tobytes() for a in mb.search(q, queries, batch, 5, vectors=x, scan="int")]
    assert [[a.tobytes() for a in r] for r in results] == [want] * 4


# Every query of seeded Gaussian data: the search is the top k of integer_bounds'
# estimates, and with vectors the exact top k of its candidates (lower bound at most the
# k-th smallest upper bound), always: the same arithmetic, whatever is skipped. So the
# re-ranking is exact wherever every record's integer interval holds its distance.
@pytest.mark.parametrize("bits, query_bits", [(b, 8) for b in range(1, 9)] + [(3, 4), (6, 5)])
def test_pruning_gives_the_result_of_scoring_every_record(bits, query_bits):
    rng = np.random.default_rng(10)
    x = rng.standard_normal((350, 64), dtype=F32)
    queries, x = x[300:], x[:300]
    q = mivo.RaBitQQuantizer(64, 10, bits)
    q.fit(x)
    batch = mb.quantize(q, x)
    kw = dict(scan="int", query_bits=query_bits)
    dist, ids = mb.search(q, queries, batch, 10, **kw)
    exact, exact_ids, candidates = mb.search(q, queries, batch, 10, vectors=x, **kw)
    for row, query in enumerate(queries):
        est, lower, upper = mb.integer_bounds(q, query, batch, query_bits=query_bits)
        want_d, want_i = brute(est, 10)
        assert (ids[row].tolist(), dist[row].tobytes()) == (want_i.tolist(), want_d.tobytes())
        truth = exact_l2(x, query)
        chosen = lower <= np.sort(upper)[9]
        assert candidates[row] == chosen.sum()
        want_d, want_i = brute(np.where(chosen, truth, np.inf), 10)
        assert (exact_ids[row].tolist(), exact[row].tobytes()) == (want_i.tolist(),
                                                                   want_d.tobytes())
        if ((lower <= truth) & (truth <= upper)).all():
            assert exact_ids[row].tolist() == brute(truth, 10)[1].tolist()
