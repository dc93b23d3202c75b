#!/usr/bin/env bash
# The jobs of ./dev as they run inside the toolchain root (or with MIVO_PYTHON).
set -euo pipefail
py=${MIVO_INNER_PYTHON:-python3}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
venv=build/venv-$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1

# Installs the module with pip (scikit-build-core) into a venv that sees the
# system's packages; the build directory is kept, so rebuilds are incremental.
install_module() {
  [ -x "$venv/bin/python" ] || "$py" -m venv --system-site-packages "$venv"
  "$venv/bin/python" -m pip install -q --no-index --no-build-isolation --no-deps . >build/pip.log 2>&1 ||
    { cat build/pip.log >&2; exit 1; }
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
    cmake -S . -B build/root-cmake -G Ninja -DMIVO_BUILD_MODULE=OFF -DMIVO_BUILD_TESTS=ON >/dev/null
    cmake --build build/root-cmake
    (cd build/root-cmake && ctest --output-on-failure -j2 | tail -n 15)
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
      -DPython_EXECUTABLE="$(command -v "$py")" >/dev/null
    cmake --build build/asan
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    (cd build/asan && ASAN_OPTIONS=allocator_may_return_null=1 \
      ctest --output-on-failure -j2 | tail -n 3)
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
    if [ -z "$dbg" ]; then echo "debug-interpreter leg skipped: no ${py}-dbg" >&2; exit 0; fi
    echo "== pytest under the interpreter's debug build ($("$dbg" --version))"
    cmake -S . -B build/pydebug -G Ninja -DPython_EXECUTABLE="$dbg" >/dev/null
    cmake --build build/pydebug >/dev/null
    (cd tests/python &&
      PYTHONPATH="$here/build/pydebug" MIVO_TEST_LEG=pydebug MIVO_LEAK_CALLS=20000 \
      "$dbg" -m pytest -q -p no:cacheprovider "$@" .)
    ;;
  fuzz)
    shift
    bash tools/fuzz.sh "$@"
    ;;
  wheel)
    # scikit-build-core builds the wheel offline from the checkout (sharing the build
    # directory of install_module); auditwheel then copies libhwy.so.1 into it and
    # points the module at that copy, since Debian ships no static Highway.
    echo "== wheel"
    rm -rf build/wheel-raw build/wheel-check dist
    mkdir -p build
    "$py" -m pip wheel --no-index --no-build-isolation --no-deps -w build/wheel-raw . \
      >build/pip-wheel.log 2>&1 || { cat build/pip-wheel.log >&2; exit 1; }
    auditwheel repair -w dist build/wheel-raw/mivo-*.whl >build/auditwheel.log 2>&1 ||
      { cat build/auditwheel.log >&2; exit 1; }
    auditwheel show dist/mivo-*.whl 2>/dev/null | sed -n '/consistent with/,/platform tag/p' | tr -s ' \n' ' '
    echo
    "$py" -m zipfile -e dist/mivo-*.whl build/wheel-check
    for prefix in GLIBC_ GLIBCXX_; do
      printf '%s ' "$(objdump -T build/wheel-check/mivo*.so | grep -o "$prefix[0-9.]*" | sort -uV | tail -n 1)"
    done
    echo "are the newest symbol versions the modules need"
    # The README names the wheel and its platform tag.
    grep -qF "dist/$(ls dist)" README.md || { echo "README.md does not name dist/$(ls dist)" >&2; exit 1; }
    ;;
  wheel-smoke)
    # In the wheel root: a fresh environment, the wheel installed with pip, then its
    # smoke test and the golden digests against the installed module.
    for tool in cc c++ cmake; do
      if command -v "$tool" >/dev/null; then echo "the wheel root has $tool" >&2; exit 1; fi
    done
    if ldconfig -p | grep libhwy >/dev/null; then echo "the wheel root has Highway" >&2; exit 1; fi
    smoke=build/venv-wheel-smoke
    rm -rf "$smoke"
    "$py" -m venv --system-site-packages "$smoke"
    "$smoke/bin/python" -m pip install -q --no-index dist/mivo-*.whl
    echo "== pytest against the installed wheel ($("$py" --version))"
    (cd tests/wheel &&
      "$here/$smoke/bin/python" -m pytest -q -p no:cacheprovider . ../python/test_golden.py)
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
    cmake --build build/clang-gtest --target install >/dev/null
    cmake -S . -B build/clang "${libcxx[@]}" -DMIVO_BUILD_TESTS=ON \
      -DGTest_ROOT="$here/build/clang-gtest/install" -DPython_EXECUTABLE="$(command -v "$py")" >/dev/null
    cmake --build build/clang
    for binary in build/clang/mivo_core_tests build/clang/mivo.*.so build/clang/mivo_batch.*.so; do
      readelf -d "$binary" | grep -q 'libc++\.so' && ! readelf -d "$binary" | grep -q 'libstdc++' ||
        { echo "$binary is not linked against libc++ alone" >&2; exit 1; }
    done
    (cd build/clang && ctest --output-on-failure -j2 | tail -n 3)
    (cd tests/python && PYTHONPATH="$here/build/clang" MIVO_TEST_LEG=clang "$py" -m pytest -q \
      -p no:cacheprovider "$@" .)
    ;;
esac
