"""The bench's page: out/bench.md, every row and note of a run under the machine, the
CPU, the BLAS and the faiss build it ran on, so figures are read with their context."""
import datetime
import os
import platform
import time


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def fmt_ns(ns, human):
    return "" if ns is None else human(ns)


def write(path, rows, *, quick, blas, faiss, mivo_version, started_load, human):
    """Markdown: a header naming the run's context, then one table row per bench row
    (notes as their own lines after the table they follow)."""
    lines = [
        "# mivo bench",
        "",
        f"- run: {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC, "
        f"{'--quick' if quick else 'full sizes'}, mivo {mivo_version}, "
        f"{time.process_time():.0f} s of CPU in the bench's process",
        f"- machine: {platform.node()}, {cpu_model()}, {os.cpu_count()} logical CPUs, "
        f"{platform.system()} {platform.release()} {platform.machine()}",
        f"- load average from other work: {started_load:.2f} at the start, "
        f"{os.getloadavg()[0]:.2f} at the end (ratios are measured in one run, so load "
        "disturbs them less than the times)",
        f"- BLAS: {blas}",
        f"- faiss: {faiss}",
        "- every row on one thread unless it says otherwise; ratio = peer time / mivo time",
        "",
    ]
    header = ["row", "mivo", "peer", "peer time", "ratio", "floor", "goal"]
    in_table = False
    for r in rows:
        if "note" in r:
            if in_table:
                lines.append("")
                in_table = False
            lines.append(f"- {r['note']}")
            continue
        if not in_table:
            lines += ["", "| " + " | ".join(header) + " |",
                      "|" + "|".join("---" for _ in header) + "|"]
            in_table = True
        ratio = "" if r["speedup"] is None else f"{r['speedup']:.2f}x"
        floor = "" if r["mivo_over_floor"] is None else f"{r['mivo_over_floor']:.2f}"
        lines.append("| " + " | ".join([
            r["row"], f"{fmt_ns(r['mivo_ns'], human)} {r['unit']}", r["peer"],
            fmt_ns(r["peer_ns"], human), ratio, floor, r["verdict"]]) + " |")
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")
