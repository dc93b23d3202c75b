#!/usr/bin/env bash
# The aarch64 wheels, one per Python version: cross-built in the toolchain root by
# scikit-build-core (the arm64 leg's toolchain file, which also gives the arm64
# extension suffix, with the aarch64 platform tag from _PYTHON_HOST_PLATFORM), made
# self-contained there with auditwheel (it reads the platform from the wheel's name and
# finds the arm64 libhwy.so.1 through multiarch), then installed into a fresh virtual
# environment in the emulated arm64 root and smoke-tested there with the golden
# digests. That root has Highway installed, so the smoke test also shows that the
# module loads the copy inside the wheel rather than the system's.
#
#   tools/wheel_arm64.sh          build, then smoke-test (./dev wheel runs this)
#   tools/wheel_arm64.sh build    inside the toolchain root: the wheels into dist/
#   tools/wheel_arm64.sh smoke    inside the arm64 root: install and test them
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1

versions=(3.14 3.15)

# The repaired wheel of VERSION in dist/ (exactly one).
wheel_of() {
  local found=(dist/mivo-*-cp${1/./}-cp${1/./}-*_aarch64.whl)
  [ ${#found[@]} = 1 ] && [ -f "${found[0]}" ] ||
    { echo "expected one aarch64 wheel for Python $1 in dist/, found: ${found[*]}" >&2; return 1; }
  echo "${found[0]}"
}

build() {
  local version raw=build/wheel-arm64-raw wheel check
  rm -f dist/mivo-*_aarch64.whl
  mkdir -p build dist
  for version in "${versions[@]}"; do
    echo "== aarch64 wheel for Python $version"
    rm -rf "$raw" build/wheel-arm64-check
    # CMake reads the toolchain file from the environment (scikit-build-core refuses
    # its own toolchain setting when pip passes it).
    _PYTHON_HOST_PLATFORM=linux-aarch64 CMAKE_TOOLCHAIN_FILE="$here/cmake/aarch64-linux-gnu.cmake" \
      "python$version" -m pip wheel --no-index --no-build-isolation --no-deps -w "$raw" \
      --config-settings=cmake.define.MIVO_CROSS_PYTHON_VERSION="$version" . \
      >build/pip-wheel-arm64.log 2>&1 || { cat build/pip-wheel-arm64.log >&2; exit 1; }
    auditwheel repair -w dist "$raw"/mivo-*.whl >build/auditwheel-arm64.log 2>&1 ||
      { cat build/auditwheel-arm64.log >&2; exit 1; }
    wheel=$(wheel_of "$version")
    auditwheel show "$wheel" 2>/dev/null | sed -n '/consistent with/,/platform tag/p' | tr -s ' \n' ' '
    echo
    check=build/wheel-arm64-check
    "python$version" -m zipfile -e "$wheel" "$check"
    echo "holds" $(cd "$check" && ls mivo.*.so mivo.libs/libhwy*)
    for prefix in GLIBC_ GLIBCXX_; do
      printf '%s ' "$(aarch64-linux-gnu-objdump -T "$check"/mivo*.so | grep -o "$prefix[0-9.]*" |
        sort -uV | tail -n 1)"
    done
    echo "are the newest symbol versions its modules need"
    # The README names each wheel with its platform tag.
    grep -qF "$wheel" README.md || { echo "README.md does not name $wheel" >&2; exit 1; }
  done
}

smoke() {
  local version wheel venv
  for tool in cc c++ cmake; do
    if command -v "$tool" >/dev/null; then echo "the arm64 root has $tool" >&2; exit 1; fi
  done
  # Without a system Highway, loading the wheel's copy would prove nothing.
  # The cache's listing is read whole before it is searched: `ldconfig -p | grep -q` under
  # pipefail fails whenever grep's early exit stops ldconfig by SIGPIPE (a race that a
  # slow emulated ldconfig loses on the first run in a new root).
  local listing
  listing=$(ldconfig -p)
  grep -q 'libhwy\.so\.1 ' <<<"$listing" || { echo "the arm64 root has no system Highway" >&2; exit 1; }
  for version in "${versions[@]}"; do
    wheel=$(wheel_of "$version")
    venv=build/venv-wheel-arm64-$version
    rm -rf "$venv"
    # The root has ensurepip for its default Python only (python3.15-venv is not in its
    # package list), and installing pip into each venv is slow emulated: pip runs from
    # Debian's pip wheel instead, with the venv's interpreter, so it installs there.
    "python$version" -m venv --without-pip --system-site-packages "$venv"
    pip_wheel=(/usr/share/python-wheels/pip-*.whl)
    "$venv/bin/python" "${pip_wheel[0]}/pip" install -q --no-index "$wheel"
    echo "== pytest against the installed $wheel ($("python$version" --version), emulated)"
    (cd tests/wheel &&
      "$here/$venv/bin/python" -m pytest -q -p no:cacheprovider . ../python/test_golden.py)
  done
}

case "${1:-}" in
  build) build ;;
  smoke) smoke ;;
  "")
    tools/root.sh run bash tools/wheel_arm64.sh build
    MIVO_ROOT=arm64 tools/root.sh run env MIVO_EMULATED=1 bash tools/wheel_arm64.sh smoke
    ;;
  *) echo "usage: tools/wheel_arm64.sh [build|smoke]" >&2; exit 2 ;;
esac
