"""Writes tests/golden/digests.txt: the core's entries from the C++ test's scalar path,
the module's from tests/golden/surface.py. Run it in the toolchain root:

    tools/root.sh run python3 tests/golden/generate.py

The digests are the contract that the same inputs and seed give the same bits on
every machine, build and SIMD target. Regenerating is legitimate only for a deliberate
change of results (a new algorithm, a fixed defect in a result, a changed grid), and
the commit that does it says which entries change and why. A digest that differs on
some machine or leg is a defect to find and fix there, never a reason to regenerate.
The tests never run this script.
"""
import os
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
CHECKOUT = HERE.parents[1]
BUILD = CHECKOUT / "build" / "golden"
HEADER = """\
# Golden digests: SHA-256 over the exact bytes of results on a fixed grid ("name digest").
# core.* are checked by tests/cpp/test_golden.cpp on the scalar path and every SIMD
# target, module.* by tests/python/test_golden.py. Written by tests/golden/generate.py,
# whose header says when regenerating is legitimate; never edit by hand.
"""


def run(*args, **kwargs):
    subprocess.run(args, check=True, cwd=CHECKOUT, **kwargs)


def main():
    run("cmake", "-S", ".", "-B", str(BUILD), "-G", "Ninja", "-DMIVO_BUILD_TESTS=ON",
        f"-DPython_EXECUTABLE={sys.executable}", stdout=subprocess.DEVNULL)
    run("cmake", "--build", str(BUILD))
    with tempfile.TemporaryDirectory() as tmp:
        core_file = Path(tmp) / "core.txt"
        run(str(BUILD / "mivo_core_tests"), "--gtest_filter=Golden.ScalarPathMatchesFile",
            env={**os.environ, "MIVO_GOLDEN_CORE_OUT": str(core_file)},
            stdout=subprocess.DEVNULL)
        entries = dict(line.split() for line in core_file.read_text().splitlines())
    sys.path[:0] = [str(BUILD), str(HERE)]
    import surface

    entries.update(surface.surface_digests())
    body = "".join(f"{name} {entries[name]}\n" for name in sorted(entries))
    (HERE / "digests.txt").write_text(HEADER + body, encoding="ascii")
    print(f"wrote {len(entries)} entries to {HERE / 'digests.txt'}")


if __name__ == "__main__":
    main()
