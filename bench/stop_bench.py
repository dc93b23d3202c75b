"""How soon a long mivo_batch call stops after Ctrl-C: the time from the interrupt to the
KeyboardInterrupt, against the 10 ms the calls are paced at (see stop_rows)."""
import _thread
import signal
import statistics
import threading
import time

import numpy as np

import mivo
import mivo_batch as mb

F32 = np.float32
INTERVAL_NS = 10e6  # the pacing interval of the calls


def stop_latency_ns(call, after_s=0.05):
    """Nanoseconds from an interrupt sent `after_s` into call() to its KeyboardInterrupt;
    None when the call ended first."""
    sent = []

    def interrupt():
        sent.append(time.perf_counter_ns())
        _thread.interrupt_main()

    timer = threading.Timer(after_s, interrupt)
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        timer.start()
        try:
            call()
        except KeyboardInterrupt:
            return time.perf_counter_ns() - sent[0]
        return None
    finally:
        timer.join()
        signal.signal(signal.SIGINT, previous)


def stop_rows(t, quick):
    d, n = 256, 20_000 if quick else 100_000
    rng = np.random.default_rng(8)
    q = mivo.RaBitQQuantizer(d, 3, 4)
    x = rng.standard_normal((n, d), dtype=F32)
    columns = (rng.integers(0, 256, (4 * n, d // 8), np.uint8),
               rng.integers(0, 256, (4 * n, 3 * d // 8), np.uint8),
               rng.uniform(0.5, 1.5, (4 * n, 6)).astype(F32))
    calls = {
        f"quantize {n} x {d}": lambda: mb.quantize(q, x),
        f"first integer call, {4 * n} x {d}": lambda: mb.integer_bounds(
            q, x[0], mb.QuantizedBatch.from_arrays(d, 3, *columns)),
    }
    for what, call in calls.items():
        times = [stop_latency_ns(call) for _ in range(3 if quick else 5)]
        if None in times:
            t.note(f"Ctrl-C during {what}: the call ended before the interrupt; not measured")
            continue
        t.add(f"Ctrl-C: {what}", statistics.median(times), "the pacing interval",
              INTERVAL_NS, ("<=", 2), unit="interrupt to exception, median")
