"""Output of the demonstration: terminal tables, a PNG plot and a JSON of all numbers."""
import json

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402  (the backend must be chosen first)


def fmt(value):
    if value is None:
        return "-"
    if isinstance(value, float):
        if value != value:
            return "nan"
        if abs(value) >= 1000:
            return f"{value:,.0f}"
        if abs(value) >= 0.1 or value == 0:
            return f"{value:.3f}"
        return f"{value:.2e}"
    return str(value)


def table(title, columns, rows):
    """Prints rows (dicts) under the given (header, key) columns, aligned."""
    cells = [[fmt(r.get(key)) for _, key in columns] for r in rows]
    widths = [max(len(h), *(len(c[i]) for c in cells)) if cells else len(h)
              for i, (h, _) in enumerate(columns)]
    print(f"\n{title}")
    print("  ".join(h.ljust(w) if i == 0 else h.rjust(w)
                    for i, ((h, _), w) in enumerate(zip(columns, widths))))
    print("  ".join("-" * w for w in widths))
    for c in cells:
        print("  ".join(v.ljust(w) if i == 0 else v.rjust(w)
                        for i, (v, w) in enumerate(zip(c, widths))))


def plot(path, title, series):
    """Recall@10 against bytes per vector; series maps a label to (xs, ys, joined):
    joined series are one method at several widths, the others separate points."""
    fig, ax = plt.subplots(figsize=(8, 5.5))
    for label, (xs, ys, joined) in series.items():
        if xs:
            ax.plot(xs, ys, marker="o" if joined else "s", label=label,
                    linestyle="-" if joined else "none")
    ax.set_xscale("log", base=2)
    ax.set_xlabel("bytes per vector")
    ax.set_ylabel("recall@10")
    ax.set_ylim(0, 1.02)
    ax.grid(True, which="both", alpha=0.3)
    ax.set_title(title)
    ax.legend(fontsize=8, loc="lower right")
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)


def write_json(path, data):
    with open(path, "w") as f:
        json.dump(data, f, indent=2)
