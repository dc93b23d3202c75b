"""Output of the demonstration: terminal tables, a PNG figure and a JSON of all numbers."""
import json
import textwrap

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402  (the backend must be chosen first)

# One format per kind of column, so a column never mixes notations.
FORMATS = {
    "text": str,
    "count": lambda v: f"{v:,}",
    "rate": lambda v: f"{v:,.0f}",       # vectors/s, queries/s
    "recall": lambda v: f"{v:.3f}",
    "error": lambda v: f"{v:.2e}",       # three significant digits
    "ratio": lambda v: f"{v:.2f}",
    "share": lambda v: f"{v:.1%}",
}


def fmt(value, kind):
    if value is None:
        return "-"
    if isinstance(value, float) and value != value:
        return "nan"
    return FORMATS[kind](value)


def table(title, columns, rows):
    """Prints rows (dicts) under (header, key, kind) columns, aligned."""
    cells = [[fmt(r.get(key), kind) for _, key, kind in columns] for r in rows]
    widths = [max(len(h), *(len(c[i]) for c in cells)) if cells else len(h)
              for i, (h, _, _) in enumerate(columns)]
    print("\n" + textwrap.fill(title, 100, subsequent_indent="  "))
    print("  ".join(h.ljust(w) if i == 0 else h.rjust(w)
                    for i, ((h, _, _), w) in enumerate(zip(columns, widths))))
    print("  ".join("-" * w for w in widths))
    for c in cells:
        print("  ".join(v.ljust(w) if i == 0 else v.rjust(w)
                        for i, (v, w) in enumerate(zip(c, widths))))


def plot(path, title, speed, misses):
    """Two panels. Left, as search benchmarks draw it: recall@10 against queries per
    second (log scale), one line per method, each point labelled by its bits per
    dimension; `speed` maps a label to [(bits, recall, queries_per_s)]. Right: how often
    the true distance lies outside the bounds, against bits; `misses` maps a label to
    [(bits, share)] (a linear scale: a share can be 0)."""
    fig, (left, right) = plt.subplots(1, 2, figsize=(14, 6),
                                      gridspec_kw={"width_ratios": [1.8, 1]})
    for label, points in speed.items():
        bits, recalls, rates = zip(*points)
        line, = left.plot(recalls, rates, marker="o", label=label)
        for b, x, y in zip(bits, recalls, rates):
            left.annotate(str(b), (x, y), textcoords="offset points", xytext=(4, 4),
                          fontsize=8, color=line.get_color())
    left.set_yscale("log")
    left.set_xlabel("recall@10")
    left.set_ylabel("queries per second of CPU time (one thread, log scale)")
    left.set_title("speed against recall (point labels: bits per dimension)", fontsize=10)
    left.grid(True, which="both", alpha=0.3)
    left.legend(fontsize=7, loc="best")
    for label, points in misses.items():
        bits, shares = zip(*points)
        right.plot(bits, [100 * s for s in shares], marker="o", label=label)
    right.set_ylim(bottom=0)
    right.set_xticks(sorted({b for points in misses.values() for b, _ in points}))
    right.set_xlabel("bits per dimension")
    right.set_ylabel("% of (query, record) pairs")
    right.set_title("distance bounds missed", fontsize=10)
    right.grid(True, alpha=0.3)
    right.legend(fontsize=8)
    fig.suptitle(title)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def write_json(path, data):
    with open(path, "w") as f:
        json.dump(data, f, indent=2)
