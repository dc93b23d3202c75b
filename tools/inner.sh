#!/usr/bin/env bash
# The jobs of ./dev as they run inside the toolchain root (or with MIVO_PYTHON).
set -euo pipefail
py=${MIVO_INNER_PYTHON:-python3}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
venv=build/venv-$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1

# Every build here treats compiler warnings as errors, the module's pip builds
# included (one setting for all of them, so switching jobs never reconfigures).
werror=-DMIVO_WERROR=ON
pip_werror=--config-settings=cmake.define.MIVO_WERROR=ON

# make_venv PYTHON DIR: a fresh venv that sees the system's packages. Debian's ensurepip
# serves only its default Python, so for another version (python3.15) the venv is made
# without pip and venv_pip runs pip from the system's packages or from the wheel that
# ensurepip itself installs.
make_venv() {
  rm -rf "$2"
  "$1" -m venv --system-site-packages "$2" >/dev/null 2>&1 ||
    { rm -rf "$2"; "$1" -m venv --system-site-packages --without-pip "$2"; }
}

# venv_pip DIR ARGS...: pip for the venv in DIR.
venv_pip() {
  local dir=$1 wheels=(/usr/share/python-wheels/pip-*.whl)
  shift
  if "$dir/bin/python" -c 'import pip' 2>/dev/null; then
    "$dir/bin/python" -m pip "$@"
  else
    "$dir/bin/python" "${wheels[-1]}/pip" "$@"
  fi
}

# Installs the module with pip (scikit-build-core) into a venv that sees the
# system's packages; the build directory is kept, so rebuilds are incremental.
install_module() {
  [ -x "$venv/bin/python" ] || make_venv "$py" "$venv"
  venv_pip "$venv" install -q --no-index --no-build-isolation --no-deps "$pip_werror" . >build/pip.log 2>&1 ||
    { cat build/pip.log >&2; exit 1; }
}

# Runs ctest in the build directory DIR (with the environment assignments that
# follow) and keeps its output in DIR/ctest.log. A pass prints the summary and the
# tests that did not run; a failure prints the whole log, every failing test's output
# in full.
run_ctest() {
  local dir=$1 log=$1/ctest.log
  shift
  if (cd "$dir" && env "$@" ctest --output-on-failure -j2) >"$log" 2>&1; then
    sed -n '/tests passed/,$p' "$log"
  else
    cat "$log"
    echo "ctest failed in $dir (log: $log)" >&2
    return 1
  fi
}

# check_wheel WHEEL: its platform tag, the newest symbol versions its module needs, and
# the stub packages (one per folder of stubs/) and licence it must carry.
check_wheel() {
  echo "$(basename "$1"): $(auditwheel show "$1" 2>/dev/null |
    sed -n '/consistent with/,/platform tag/p' | tr -s ' \n' ' ')"
  rm -rf build/wheel-check
  "$py" -m zipfile -e "$1" build/wheel-check
  for prefix in GLIBC_ GLIBCXX_; do
    printf '%s ' "$(objdump -T build/wheel-check/mivo*.so | grep -o "$prefix[0-9.]*" | sort -uV | tail -n 1)"
  done
  echo "are the newest symbol versions its modules need"
  for member in $(cd stubs && echo *-stubs/__init__.pyi) 'mivo-*.dist-info/licenses/LICENSE'; do
    compgen -G "build/wheel-check/$member" >/dev/null || { echo "$1 lacks $member" >&2; exit 1; }
  done
}

# check_sdist SDIST: it carries the licence and nothing of the working tree's outputs,
# tests or fuzz corpus (sdist.exclude and sdist.include in pyproject.toml).
check_sdist() {
  local members
  members=$(tar -tzf "$1")
  echo "$(basename "$1"): $(wc -l <<<"$members") files, $(du -k "$1" | cut -f1) KiB"
  grep -qx '[^/]*/LICENSE' <<<"$members" || { echo "$1 lacks LICENSE" >&2; exit 1; }
  if grep -E '^[^/]*/(build|out|dist|fuzz|tests|bench|examples|tools)/' <<<"$members"; then
    echo "$1 holds the files above, which no build needs" >&2
    exit 1
  fi
}

case "$1" in
  demo)
    shift
    install_module
    "$venv/bin/python" examples/demo.py "$@"
    ;;
  bench)
    shift
    install_module
    "$venv/bin/python" bench/bench.py "$@"
    ;;
  python)
    # The interpreter the module is installed for, e.g. `./dev python -c "import mivo"`.
    shift
    install_module
    exec "$venv/bin/python" "$@"
    ;;
  shell)
    # A shell whose python3 is the venv's, so `import mivo` works in it.
    install_module
    PATH="$here/$venv/bin:$PATH" VIRTUAL_ENV="$here/$venv" exec bash
    ;;
  test)
    shift
    # The core and the frame keep the layout that .clang-format describes.
    echo "== src/ formatted (clang-format)"
    clang-format --dry-run --Werror src/*.h src/*.cpp src/lib/*.h src/lib/*.cpp src/batch/*.h src/batch/*.cpp
    echo "== C++ unit tests"
    cmake -S . -B build/root-cmake -G Ninja -DMIVO_BUILD_MODULE=OFF -DMIVO_BUILD_TESTS=ON \
      "$werror" >/dev/null
    cmake --build build/root-cmake
    # The compiled targets and the one this machine runs, in the leg's output.
    build/root-cmake/mivo_core_tests --gtest_brief=1 --gtest_filter='SimdTargets.*'
    run_ctest build/root-cmake
    echo "== pytest ($("$py" --version))"
    install_module
    (cd tests/python && MIVO_TEST_LEG=root "$here/$venv/bin/python" -m pytest -q "$@" .)
    ;;
  sanitize)
    # Core, module and tests instrumented with AddressSanitizer and
    # UndefinedBehaviorSanitizer. The interpreter itself is not instrumented, so
    # the ASan runtime is preloaded into it; its own leaks (interned objects kept
    # until exit) are not ours, so leak detection is on for the C++ tests only.
    # Python's small-object allocator is switched off so that ASan sees every
    # buffer. A refused huge allocation must surface as MemoryError, as it does
    # in a normal build, hence allocator_may_return_null. RSS means nothing under
    # ASan, so the leak tests check only reference counts, over fewer calls.
    shift
    echo "== C++ unit tests and pytest under AddressSanitizer + UBSan"
    cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DMIVO_SANITIZE=address,undefined,float-cast-overflow -DMIVO_BUILD_TESTS=ON \
      -DPython_EXECUTABLE="$(command -v "$py")" "$werror" >/dev/null
    cmake --build build/asan
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    run_ctest build/asan ASAN_OPTIONS=allocator_may_return_null=1
    (cd tests/python &&
      LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" \
      PYTHONMALLOC=malloc \
      ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
      PYTHONPATH="$here/build/asan" MIVO_TEST_LEG=sanitize MIVO_LEAK_CALLS=20000 \
      "$py" -m pytest -q -p no:cacheprovider "$@" .)
    ;;
  pydebug)
    # The interpreter's debug build checks every reference count and many C API
    # contracts (an error set while a result is returned, a negative count) with
    # assertions, and its allocators with guard bytes. Its ABI is the release one, so
    # NumPy's release build loads into it; the module is built against its headers.
    shift
    dbg=$(command -v "${py}-dbg" || command -v python3.14-dbg || true)
    if [ -z "$dbg" ]; then
      echo "debug-interpreter leg failed: neither ${py}-dbg nor python3.14-dbg is installed" >&2
      exit 1
    fi
    echo "== pytest under the interpreter's debug build ($("$dbg" --version))"
    cmake -S . -B build/pydebug -G Ninja -DPython_EXECUTABLE="$dbg" "$werror" >/dev/null
    cmake --build build/pydebug
    (cd tests/python &&
      PYTHONPATH="$here/build/pydebug" MIVO_TEST_LEG=pydebug MIVO_LEAK_CALLS=20000 \
      "$dbg" -m pytest -q -p no:cacheprovider "$@" .)
    ;;
  fuzz)
    shift
    bash tools/fuzz.sh "$@"
    ;;
  typing)
    # The stub packages against the built modules (stubtest) and mypy --strict over the
    # README's examples and tests/typing; Debian's mypy runs on the default Python only.
    "$py" -c 'import mypy' 2>/dev/null ||
      { echo "the typing leg needs mypy for $py (Debian: python3-mypy)" >&2; exit 1; }
    install_module
    "$venv/bin/python" tests/typing/check.py
    ;;
  newer-python)
    # The module built for another Python of the root (python3.15, with Debian's NumPy
    # for it) and every pytest file run on it.
    shift
    "$py" -c 'import numpy' 2>/dev/null || {
      echo "the $py leg cannot run: python3-numpy in the root has no build for $py" \
        "(import numpy fails)" >&2
      exit 1
    }
    echo "== pytest ($("$py" --version), NumPy $("$py" -c 'import numpy; print(numpy.__version__)'))"
    install_module
    (cd tests/python && MIVO_TEST_LEG="$py" "$here/$venv/bin/python" -m pytest -q \
      -p no:cacheprovider "$@" .)
    ;;
  wheel)
    # scikit-build-core builds a wheel for each Python of the root offline from the
    # checkout (sharing the build directories of install_module); auditwheel then copies
    # libhwy.so.1 into each and points the module at that copy, since Debian ships no
    # static Highway. python3-build makes the sdist from the same checkout, offline.
    echo "== wheels and sdist"
    rm -rf build/wheel-raw build/wheel-check dist
    mkdir -p build
    for python in "$py" python3.15; do
      "$python" -m pip wheel --no-index --no-build-isolation --no-deps "$pip_werror" -w build/wheel-raw . \
        >build/pip-wheel.log 2>&1 || { cat build/pip-wheel.log >&2; exit 1; }
    done
    for raw in build/wheel-raw/mivo-*.whl; do
      auditwheel repair -w dist "$raw" >build/auditwheel.log 2>&1 ||
        { cat build/auditwheel.log >&2; exit 1; }
    done
    "$py" -m build --sdist --no-isolation --outdir dist . >build/sdist.log 2>&1 ||
      { cat build/sdist.log >&2; exit 1; }
    for wheel in dist/*.whl; do check_wheel "$wheel"; done
    check_sdist dist/*.tar.gz
    # The README names every artefact with its tags.
    for artefact in dist/*; do
      grep -qF "$artefact" README.md || { echo "README.md does not name $artefact" >&2; exit 1; }
    done
    ;;
  wheel-smoke)
    # In the wheel root: for each wheel of this machine, a fresh environment of the
    # Python its tag names, the wheel installed with pip, then its smoke test and the
    # golden digests against the installed module.
    for tool in cc c++ cmake; do
      if command -v "$tool" >/dev/null; then echo "the wheel root has $tool" >&2; exit 1; fi
    done
    if ldconfig -p | grep libhwy >/dev/null; then echo "the wheel root has Highway" >&2; exit 1; fi
    for wheel in dist/*_"$(uname -m)".whl; do
      IFS=- read -r _ _ tag _ <<<"$(basename "$wheel")"
      python=python${tag:2:1}.${tag:3}
      smoke=build/venv-wheel-smoke-$tag
      make_venv "$python" "$smoke"
      venv_pip "$smoke" install -q --no-index "$wheel"
      echo "== pytest against the installed $(basename "$wheel") ($("$python" --version))"
      (cd tests/wheel &&
        "$here/$smoke/bin/python" -m pytest -q -p no:cacheprovider . ../python/test_golden.py)
    done
    ;;
  sdist-smoke)
    # The sdist built as the README tells a user without a package index: unpacked, a
    # venv that sees the system's packages, pip without build isolation; then the smoke
    # test (Highway comes from the system here, not bundled) and the golden digests. It
    # runs in the toolchain root: the roots' package lists are fixed, and none holds
    # only the README's build requirements.
    rm -rf build/sdist-check
    mkdir -p build/sdist-check
    tar -xzf dist/mivo-*.tar.gz -C build/sdist-check
    unpacked=$(echo "$here"/build/sdist-check/mivo-*)
    (cd "$unpacked" && "$py" -m venv --system-site-packages venv &&
      venv/bin/pip install -q --no-index --no-build-isolation . >../pip.log 2>&1) ||
      { cat build/sdist-check/pip.log >&2; exit 1; }
    echo "== pytest against the module built from $(basename dist/mivo-*.tar.gz) ($("$py" --version))"
    (cd tests/wheel && "$unpacked/venv/bin/python" -m pytest -q -p no:cacheprovider \
      -k "not test_highway_is_bundled" . ../python/test_golden.py)
    ;;
  clang)
    # The core, the C++ tests and the module built with clang against libc++ (the
    # toolchain of macOS), with the same flags; GoogleTest is built from its sources
    # with the same standard library, since the packaged one uses libstdc++.
    shift
    echo "== C++ unit tests and pytest built with clang and libc++"
    libcxx=(-DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS=-stdlib=libc++ -G Ninja)
    cmake -S /usr/src/googletest -B build/clang-gtest "${libcxx[@]}" -DBUILD_GMOCK=OFF \
      -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$here/build/clang-gtest/install" >/dev/null
    cmake --build build/clang-gtest --target install >build/clang-gtest.log 2>&1 ||
      { cat build/clang-gtest.log >&2; exit 1; }
    cmake -S . -B build/clang "${libcxx[@]}" -DMIVO_BUILD_TESTS=ON "$werror" \
      -DGTest_ROOT="$here/build/clang-gtest/install" -DPython_EXECUTABLE="$(command -v "$py")" >/dev/null
    cmake --build build/clang
    for binary in build/clang/mivo_core_tests build/clang/mivo.*.so build/clang/mivo_batch.*.so; do
      # Read whole, then searched: a pipe into grep -q can fail by SIGPIPE under pipefail.
      dynamic=$(readelf -d "$binary")
      grep -q 'libc++\.so' <<<"$dynamic" && ! grep -q 'libstdc++' <<<"$dynamic" ||
        { echo "$binary is not linked against libc++ alone" >&2; exit 1; }
    done
    run_ctest build/clang
    (cd tests/python && PYTHONPATH="$here/build/clang" MIVO_TEST_LEG=clang "$py" -m pytest -q \
      -p no:cacheprovider "$@" .)
    ;;
  *)
    echo "tools/inner.sh: unknown job '${1:-}'" >&2
    exit 2
    ;;
esac
