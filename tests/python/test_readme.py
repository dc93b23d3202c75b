"""Every Python block of the README runs on its own and prints what the README shows."""
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"

# A fenced python block, optionally followed by a fenced text block holding its output.
BLOCK = re.compile(r"```python\n(.*?)```\n(?:\n```text\n(.*?)```\n)?", re.S)

# Messages that NumPy words itself, differently between its versions: only what the
# README prints before them is compared.
NUMPY_OWN = ("only 0-dimensional arrays can be converted to Python scalars",)


def blocks():
    found = BLOCK.findall(README.read_text(encoding="utf-8"))
    return [pytest.param(code, shown, id=f"block{i + 1}")
            for i, (code, shown) in enumerate(found)]


def test_readme_has_blocks():
    assert len(blocks()) >= 5


def same_line(printed, shown):
    for own in NUMPY_OWN:
        if shown.endswith(own):
            return printed.startswith(shown[:-len(own)]) and len(printed) > len(shown) - len(own)
    return printed == shown


@pytest.mark.parametrize("code, shown", blocks())
def test_readme_block_runs_alone(tmp_path, code, shown):
    done = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True,
                          text=True, timeout=120, env=os.environ.copy())
    assert done.returncode == 0, done.stderr
    printed = done.stdout.splitlines()
    assert shown, "the README shows no output after this block"
    expected = shown.splitlines()
    assert len(printed) == len(expected), done.stdout
    for p, s in zip(printed, expected):
        assert same_line(p, s), f"printed {p!r}, the README shows {s!r}"
