"""Reprs read no settings: under a locale whose decimal separator is a comma they
still print a decimal point."""
import os
import shutil
import subprocess
import sys

import pytest

REPRS = {
    "TernaryVector, 0.2": (
        "mivo.TernaryQuantizer(5, normalize=False).quantize([1.0, 0.0, -1.0, 1.0, -1.0])",
        "TernaryVector(dimension=5, sparsity=0.20)"),
    "TernaryVector, 0.125": (
        "mivo.TernaryQuantizer(8, normalize=False).quantize([1.0] * 7 + [0.0])",
        "TernaryVector(dimension=8, sparsity=0.12)"),
    "QuantizedVector, tie": (
        "mivo.RaBitQQuantizer(1, 3).quantize([0.03125])",
        "QuantizedVector(dimension=1, ex_bits=3, residual_norm=0.0312)"),
    "QuantizedVector, large": (
        "mivo.RaBitQQuantizer(1, 3).quantize([-12345.5])",
        "QuantizedVector(dimension=1, ex_bits=3, residual_norm=12345.5000)"),
}


def unavailable(reason):
    # The host's Python may run where the locale tools are missing; the toolchain
    # root has them, so there the test must not pass without running.
    if os.environ.get("MIVO_TEST_LEG") == "host":
        pytest.skip(reason)
    pytest.fail(reason)


@pytest.fixture(scope="module")
def comma_reprs(tmp_path_factory):
    """The reprs printed by a fresh interpreter under de_DE.UTF-8, compiled into a
    temporary folder."""
    localedef = shutil.which("localedef")
    if localedef is None:
        unavailable("localedef not found (Debian package locales)")
    folder = tmp_path_factory.mktemp("locales")
    # The tools are not instrumented: no sanitizer runtime for them.
    plain = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    made = subprocess.run([localedef, "-i", "de_DE", "-f", "UTF-8", str(folder / "de_DE.UTF-8")],
                          capture_output=True, text=True, env=plain)
    if made.returncode != 0 or not (folder / "de_DE.UTF-8").is_dir():
        unavailable(f"cannot build de_DE.UTF-8 with localedef: {made.stderr.strip()}")
    code = "\n".join([
        "import locale, mivo",
        "locale.setlocale(locale.LC_ALL, '')",
        "assert locale.localeconv()['decimal_point'] == ',', locale.localeconv()",
        *(f"print(repr({expr}))" for expr, _ in REPRS.values()),
    ])
    env = {**os.environ, "LOCPATH": str(folder), "LC_ALL": "de_DE.UTF-8", "LANG": "de_DE.UTF-8"}
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            env=env, timeout=60)
    assert result.returncode == 0, result.stderr
    return dict(zip(REPRS, result.stdout.splitlines()))


@pytest.mark.parametrize("name", REPRS)
def test_repr_ignores_the_locale(comma_reprs, name):
    assert comma_reprs[name] == REPRS[name][1]
