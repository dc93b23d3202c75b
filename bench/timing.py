"""Timing and reporting helpers of the benchmark."""
import time


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


def human(ns):
    if ns is None:
        return "n/a"
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("µs", 1e3)):
        if ns >= scale:
            return f"{ns / scale:.3g} {unit}"
    return f"{ns:.3g} ns"


class Table:
    """Collects rows of (what, mivo time, peer, peer time, goal) and prints each as it
    comes, with the ratio peer/mivo (how many times faster mivo is) and the verdict."""

    header = f"{'row':48} {'mivo':>10}  {'peer':30} {'peer time':>10} {'ratio':>8}  goal"

    def __init__(self):
        self.rows = []
        print(self.header)
        print("-" * len(self.header))

    def add(self, what, mivo_ns, peer, peer_ns, goal=None, unit="per call", floor=None):
        """goal: ('>=', x) for a minimum speed-up, ('<=', x) for a maximum ratio.
        floor: the largest speed-up reachable at all, shown when the goal is missed."""
        ratio = peer_ns / mivo_ns if mivo_ns and peer_ns else None
        if goal is None or ratio is None:
            verdict = "" if goal is None else f"{goal[0]} {goal[1]}x: n/a"
        else:
            # A '<=' goal bounds mivo's time as a multiple of the peer's.
            met = ratio >= goal[1] if goal[0] == ">=" else mivo_ns / peer_ns <= goal[1]
            verdict = f"{goal[0]} {goal[1]}x: {'met' if met else 'MISSED'}"
            if not met and floor is not None:
                verdict += f" (floor {floor:.2f}x)"
        shown = ("n/a" if ratio is None else
                 f"{ratio:.2f}x" if goal is None or goal[0] == ">=" else
                 f"{mivo_ns / peer_ns:.2f}x")
        print(f"{what:48} {human(mivo_ns):>10}  {peer:30} {human(peer_ns):>10} "
              f"{shown:>8}  {verdict}", flush=True)
        self.rows.append({"row": what, "unit": unit, "mivo_ns": mivo_ns, "peer": peer,
                          "peer_ns": peer_ns, "speedup": ratio,
                          "goal": None if goal is None else f"{goal[0]} {goal[1]}x",
                          "verdict": verdict, "floor": floor})

    def note(self, text):
        print(f"  {text}", flush=True)
        self.rows.append({"note": text})
