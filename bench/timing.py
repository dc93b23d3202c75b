"""Timing and reporting helpers of the benchmark."""
import time

import numpy as np


def best_ns(fn, repeats):
    """The fastest of `repeats` runs of fn(), in nanoseconds: the run least disturbed
    by the other work on a shared machine."""
    best = None
    for _ in range(repeats):
        start = time.perf_counter_ns()
        fn()
        elapsed = time.perf_counter_ns() - start
        best = elapsed if best is None else min(best, elapsed)
    return best


# Below this many bytes a row is not bound by memory bandwidth: the data sits in the
# core's own caches and a NumPy call's fixed cost would dominate the "floor".
MEMORY_BOUND_BYTES = 1 << 20


def stream_ns(array, repeats):
    """The read-bandwidth floor for the bytes of `array`: the fastest plain streaming
    read NumPy does of them (a 64-bit sum and a 64-bit OR over every word), best of
    `repeats`. A row that must read these bytes cannot take less time than this. None
    for arrays too small to be bound by bandwidth."""
    if array.nbytes < MEMORY_BOUND_BYTES:
        return None
    words = np.ascontiguousarray(array).reshape(-1).view(np.uint8)
    words = words[:len(words) // 8 * 8].view(np.uint64)
    return min(best_ns(lambda: np.add.reduce(words), repeats),
               best_ns(lambda: np.bitwise_or.reduce(words), repeats))


def human(ns):
    if ns is None:
        return "n/a"
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("µs", 1e3)):
        if ns >= scale:
            return f"{ns / scale:.3g} {unit}"
    return f"{ns:.3g} ns"


class Table:
    """Collects rows of (what, mivo time, peer, peer time, goal) and prints each as it
    comes, with the ratio peer/mivo (how many times faster mivo is), for rows bound by
    memory bandwidth mivo's time over the read-bandwidth floor, and the verdict."""

    header = (f"{'row':48} {'mivo':>10}  {'peer':34} {'peer time':>10} {'ratio':>8} "
              f"{'floor':>6}  goal")

    def __init__(self):
        self.rows = []
        print(self.header)
        print("-" * len(self.header))

    def add(self, what, mivo_ns, peer, peer_ns, goal=None, unit="per call", ceiling=None,
            floor_ns=None):
        """goal: ('>=', x) for a minimum speed-up, ('<=', x) for a maximum ratio.
        floor_ns: the read-bandwidth floor of the bytes the row must read (same unit as
        the times); it makes peer/floor the largest speed-up reachable at all.
        ceiling: that largest speed-up when it has another cause. A goal above the
        ceiling cannot be met by any implementation: the ceiling is reported instead."""
        ratio = peer_ns / mivo_ns if mivo_ns and peer_ns else None
        if ceiling is None and floor_ns and peer_ns:
            ceiling = peer_ns / floor_ns
        if goal is None or ratio is None:
            verdict = "" if goal is None else f"{goal[0]} {goal[1]}x: n/a"
        else:
            # A '<=' goal bounds mivo's time as a multiple of the peer's.
            met = ratio >= goal[1] if goal[0] == ">=" else mivo_ns / peer_ns <= goal[1]
            if met:
                verdict = f"{goal[0]} {goal[1]}x: met"
            elif goal[0] == ">=" and ceiling is not None and goal[1] > ceiling:
                verdict = (f"ceiling {ceiling:.2f}x (goal {goal[1]}x is above it); "
                           f"{ratio / ceiling:.0%} of the ceiling reached")
            else:
                verdict = f"{goal[0]} {goal[1]}x: MISSED"
                if ceiling is not None:
                    verdict += f" (ceiling {ceiling:.2f}x)"
        shown = ("n/a" if ratio is None else
                 f"{ratio:.2f}x" if goal is None or goal[0] == ">=" else
                 f"{mivo_ns / peer_ns:.2f}x")
        floor = f"{mivo_ns / floor_ns:.2f}" if floor_ns and mivo_ns else ""
        print(f"{what:48} {human(mivo_ns):>10}  {peer:34} {human(peer_ns):>10} "
              f"{shown:>8} {floor:>6}  {verdict}", flush=True)
        self.rows.append({"row": what, "unit": unit, "mivo_ns": mivo_ns, "peer": peer,
                          "peer_ns": peer_ns, "speedup": ratio,
                          "goal": None if goal is None else f"{goal[0]} {goal[1]}x",
                          "verdict": verdict, "ceiling": ceiling, "floor_ns": floor_ns,
                          "mivo_over_floor": mivo_ns / floor_ns if floor_ns else None})

    def note(self, text):
        print(f"  {text}", flush=True)
        self.rows.append({"note": text})
