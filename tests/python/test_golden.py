"""The module's results against the committed golden digests, entry by entry."""
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "golden"))
import surface  # noqa: E402


@pytest.fixture(scope="module")
def computed():
    return surface.surface_digests()


def test_every_module_entry_matches(computed):
    problems = surface.differences(computed, surface.committed())
    assert problems == [], "\n".join(problems + [f"to regenerate after {surface.REGENERATE}"])


@pytest.mark.parametrize(
    "text, error",
    [
        (None, OSError),
        ("", ValueError),
        ("# only a comment\n", ValueError),
        ("module.x 1234\n", ValueError),
        ("module.x " + "0" * 64 + " extra\n", ValueError),
    ],
)
def test_unreadable_file_fails(tmp_path, text, error):
    path = tmp_path / "digests.txt"
    if text is not None:
        path.write_text(text)
    with pytest.raises(error):
        surface.committed(path)


def test_a_changed_digest_is_named(computed):
    want = dict(computed)
    name = sorted(want)[0]
    want[name] = "0" * 64
    del want[sorted(want)[1]]
    want["module.stale"] = "0" * 64
    assert surface.differences(computed, want) == [
        f"{name} differs: expected {'0' * 64}, computed {computed[name]}",
        f"{sorted(computed)[1]} is not in the golden file",
        "module.stale in the golden file is not computed",
    ]
